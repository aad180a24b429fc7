#include "pgc/read.h"

namespace pgc {

int ReadPGCData(const web::WebMsg&, std::uint16_t, std::vector<std::uint8_t>& buffer, int& rowLength, int& byteCount,
                int) {
  buffer.assign(1, 0);
  rowLength = 0;
  byteCount = 0;
  return kGetDataError;
}
int ReadPGCRows(std::vector<std::uint8_t>&, std::string_view, std::string_view, int, int& byteCount, int,
                std::string_view) {
  byteCount = 0;
  return kSelectError;
}
int GetPGCRowLength(int& rowLength, std::string_view, std::string_view, std::string_view, std::string_view, int) {
  rowLength = 0;
  return kNoByteFound;
}
int GetCurrentVersion(std::string& version, std::string_view, std::string_view, int) {
  version.clear();
  return kVersionError;
}
int GetPGCValue(int& value, std::string_view, int, std::string_view, int) {
  value = 0;
  return -1;
}
int GetSystemDescription(std::string&, std::string&, std::string&, int) { return kNoByteFound; }

}  // namespace pgc
