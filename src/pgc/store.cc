#include "pgc/store.h"

namespace pgc {

int StoreWebData(const web::WebMsg&, requests::WorkingBuffer&, int& workCounter, std::uint16_t, int) {
  workCounter = 0;
  return kInsertError;
}
int StorePGCPacket(const web::WebMsg&, std::uint16_t, int) { return kInsertError; }
int ReplacePGCRows(const std::uint8_t*, int, int, std::uint16_t, std::string_view, int) { return kInsertError; }
int ClearAndReplacePGCRows(const std::uint8_t*, int, int, std::uint16_t, std::string_view, int) { return kInsertError; }
int MergePGCRows(const std::uint8_t*, int, int, std::uint16_t, int) { return kInsertError; }
int StoreMultiDatabase(const std::uint8_t*, int, int, std::uint16_t, int) { return kInsertError; }
int PGCRowExists(std::string_view, const std::uint8_t*, int, int) { return kRowCountError; }
int InsertPGC(std::string_view, const std::uint8_t*, int, int) { return kInsertError; }
int InsertPGCRow(std::string_view, const std::uint8_t*, int, int) { return kInsertError; }
int UpdatePGC(std::string_view, const std::uint8_t*, int, int) { return kUpdateError; }
int RowCountOf(int, int, int& rowCount, int) { rowCount = 0; return kDivideZero; }
int PacketCountOf(int, int, int, int& packetCount, int) { packetCount = 0; return kLengthError; }
int RowsPerPacket(int, int& rowsPerPacket, int) { rowsPerPacket = 0; return kDivideZero; }
void BuildInsertPGCSql(std::string& out, std::string_view, const std::uint8_t*, int) { out.clear(); }
std::vector<std::string> BuildUpdatePGCSql(std::string_view, const std::uint8_t*, int, std::string_view) { return {}; }

}  // namespace pgc
