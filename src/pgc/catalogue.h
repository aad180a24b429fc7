#pragma once
// The PGC catalogue: which message ID belongs to which PGC number, which
// columns identify a row of a PGC table, and the WHERE and ORDER BY texts
// formed for a PGC. Fixed at build time; never changes at run time.
//
// PGC number: three or four decimal digits ("724", "8451"). PGC code: the
// number read as four hexadecimal digits, a three-digit number with "0"
// appended ("724" -> 0x7240). A PGC table is "PGC<number>", its columns
// d1..dN hold the bytes of one row (1-based) as integers 0 to 255.
//
// Row bytes are given as pointer and length; a byte a key column needs that
// lies past the row's length reads as 0, as in a zeroed 240-byte row buffer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>
#include "frame/result_codes.h"

namespace pgc {

constexpr std::size_t kRecordSize = 50;  // a catalogue record: "key$value", zero padded
constexpr std::size_t kKeyTableRecords = 127;
constexpr std::size_t kKeyTable2Records = 16;
constexpr std::size_t kMessageTableRecords = 242;
constexpr std::size_t kSpecialKeyCodes = 22;
constexpr int kMaxKeyColumns = 10;

// The records in search order, "key$value".
const char* const* PGCKeyTable();          // kKeyTableRecords entries
const char* const* PGCKeyTable2();         // kKeyTable2Records entries
const char* const* PGCMessageTable();      // kMessageTableRecords entries
const std::uint16_t* SpecialKeyCodes();    // kSpecialKeyCodes entries

// The keys of the message-ID table that are PGC table numbers: every key in
// record order, each once (217 stands twice in the table), without "20000"
// and "tmID_LINK_DISC". Every database holds a table "PGC<number>" for each.
const std::vector<std::string>& MessageTablePGCNumbers();

// "PGC" followed by the number.
std::string PGCTableName(std::string_view pgcNo);

int ParsePGCNumber(std::string_view pgcNo, std::uint16_t& code, int varNum);           // 1; 133
int FindPGCByMessageID(std::uint16_t messageId, std::string& pgcNo, int varNum);       // 1; 167
int IsKeyTablePGC(std::string_view pgcNo);                                             // 1; 0
int IsKeyTable2PGC(std::string_view pgcNo);                                            // 1; 0
int IsSpecialKeyPGC(std::string_view pgcNo, int varNum);                               // 1; 0; 133
bool IsSpecialKeyCode(std::uint16_t code);

// The WHERE text that identifies one row: "d1 = 3 and d2 = 7 " (a trailing
// blank). 1; 175; 133.
int BuildKeyCondition(std::string_view pgcNo, const std::uint8_t* row, std::size_t rowLength, std::string& condition,
                      int varNum);
// The same for a PGC whose row identity does not follow the key tables. 1;
// 133; 175 for a code that is no special-key code.
int BuildSpecialKeyCondition(const std::uint8_t* row, std::size_t rowLength, std::string_view pgcNo,
                             std::string& condition, int varNum);
// The rows of one PGC below the two request bytes k1, k2: the text ends with
// " and ", which the caller cuts off (only " and " for other message IDs). 1.
int BuildReadCondition(std::uint16_t messageId, std::uint8_t k1, std::uint8_t k2, std::string& condition);
// The ORDER BY columns of a whole-table read, or an empty text. 1.
int GetOrderColumns(std::uint16_t messageId, std::string& ordering);

}  // namespace pgc
