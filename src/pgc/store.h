#pragma once
// Storing system data into PGC tables of the slot's database (work database
// "online", offline database "offline", download database "download"). Data
// is a stream of fixed-length rows; row i is bytes i*rowLength ..
// i*rowLength+rowLength-1, and byte N of a row goes to column dN.
//
// The statements that store one table (or one packet of it) are one
// transaction: a failure in the middle leaves the table as it was. Statements
// on a slot connection take no lock; a slot's connections are used by one
// thread at a time.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "frame/working_buffer.h"
#include "web/web_message.h"
#include "frame/result_codes.h"

namespace pgc {

constexpr int kMaxRowLength = 240;            // a row has at most 240 columns
constexpr int kMaxPacketData = 240;           // data bytes of one packet
constexpr int kMaxUpdateColumns = 255;
constexpr std::uint16_t kMultiDatabaseId = 0x7230;  // PGC 723, copied into its slave PGC 722

// One packet of a web write request (types 19, 160, 161, 162; or the control
// request 29 carrying the info record). Packets are gathered in the working
// buffer, `workCounter` bytes so far; a first packet (sequence 1) starts
// over, and the last packet (final flag) stores the whole: merged row by row
// for a PGC of a key table, the multi-database set for PGC 723, else the
// table replaced. Gathered data that would overflow the buffer (168), a row
// length of 0 or above 240 (166) or data that is not whole rows (169) is
// refused with nothing stored, and the gathering starts clean again.
int StoreWebData(const web::WebMsg& request, WorkingBuffer& buffer, int& workCounter,
                 std::uint16_t messageId, int varNum);

// One packet of a transfer, stored as it arrives: a first packet (sequence 1)
// empties the table, then the packet's rows are inserted.
int StorePGCPacket(const web::WebMsg& packet, std::uint16_t messageId, int varNum);

// Deletes the rows that match `condition` (all rows when empty) and inserts
// the data's rows. Data of length 0 leaves the table untouched.
int ReplacePGCRows(const std::uint8_t* data, int dataLength, int rowLength, std::uint16_t messageId,
                   std::string_view condition, int varNum);
// As ReplacePGCRows, but the rows are deleted even for data of length 0.
int ClearAndReplacePGCRows(const std::uint8_t* data, int dataLength, int rowLength, std::uint16_t messageId,
                           std::string_view condition, int varNum);
// Each row updated where its key matches a stored row, inserted otherwise;
// rows the data does not mention stay.
int MergePGCRows(const std::uint8_t* data, int dataLength, int rowLength, std::uint16_t messageId, int varNum);
// PGC 723: the rows of key data[0] replaced, then copied into PGC 722 once
// per ("d1", "d2") pair of the PGC724 rows that TableLine names for the key.
int StoreMultiDatabase(const std::uint8_t* data, int dataLength, int rowLength, std::uint16_t messageId,
                       int varNum);

// Whether a row with the row's key exists, into `exists`. 1; ROW_COUNT_ERROR;
// UNKNOWN_DB_ERROR; NO_KEY_COLUMNS; PGC_NUMBER_ERROR.
int PGCRowExists(std::string_view pgcNo, const std::uint8_t* row, int rowLength, bool& exists, int varNum);
// One row inserted into "PGC<pgcNo>". 1; 218. InsertPGC and InsertPGCRow
// differ only in their log text.
int InsertPGC(std::string_view pgcNo, const std::uint8_t* row, int rowLength, int varNum);
int InsertPGCRow(std::string_view pgcNo, const std::uint8_t* row, int rowLength, int varNum);
// One row updated by its key, in statements of at most 100 columns. 1; 217.
int UpdatePGC(std::string_view pgcNo, const std::uint8_t* row, int rowLength, int varNum);

int RowCountOf(int dataLength, int rowLength, int& rowCount, int varNum);                            // 1; 166; 169
int PacketCountOf(int dataLength, int rowLength, int rowsPerPacket, int& packetCount, int varNum);  // 1; 169
int RowsPerPacket(int rowLength, int& rowsPerPacket, int varNum);                                    // 1; 166

// Statement texts. `out` is overwritten, so a caller can keep one string
// across rows. "insert into PGC724 ( d1, d2, d3 ) values ( 1, 2, 3 )".
void BuildInsertPGCSql(std::string& out, std::string_view pgcNo, const std::uint8_t* row, int rowLength);
// The update statements of one row, by column ranges 1-100, 100-200, 200-N.
std::vector<std::string> BuildUpdatePGCSql(std::string_view pgcNo, const std::uint8_t* row, int rowLength,
                                           std::string_view keyCondition);

}  // namespace pgc
