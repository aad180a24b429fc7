#pragma once
// Reading PGC rows back into the system's data format: each row as its
// row-length bytes (column dN gives byte N), rows one after another. The row
// length of a PGC comes from the info database's Tablestrt for the system's
// type, country and database version.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "web/web_message.h"
#include "frame/result_codes.h"

namespace pgc {

constexpr int kReadColumns = 240;
constexpr int kTablestrtColumns = 48;
constexpr int kTableVersionColumns = 8;
constexpr int kTableLineColumns = 36;

// The rows a web request (types 2, 19, 161, 162) asks for, from the slot's
// database. `buffer` receives rowCount*rowLength bytes (one zero byte for an
// empty table), `byteCount` how many of them are data. 1 or an error code.
int ReadPGCData(const web::WebMsg& request, std::uint16_t messageId, std::vector<std::uint8_t>& buffer,
                int& rowLength, int& byteCount, int varNum);

// The rows of `table` matching `condition` (all when empty), ordered by
// `ordering` (none when empty), written from the start of `buffer`, which
// grows when the rows do not fit. 1; -1; -5. Nothing is read in a slot state
// other than "offline", "online", "upload" (1 with byteCount 0).
int ReadPGCRows(std::vector<std::uint8_t>& buffer, std::string_view table, std::string_view condition, int rowLength,
                int& byteCount, int varNum, std::string_view ordering);

// The row length of a PGC for a system: the first Tablestrt row of the PGC
// whose system mask, country mask and version range accept it. 1; 211; 229.
int GetPGCRowLength(int& rowLength, std::string_view pgcNo, std::string_view systemId, std::string_view countryId,
                    std::string_view dbVersion, int varNum);

// The database version of a system from TableVersion by its t_major and
// t_minor; past the last range, the last row's version plus 1. 1; 129; 130; 140.
int GetCurrentVersion(std::string& version, std::string_view tMajor, std::string_view tMinor, int varNum);

// Column `column` (from 0) of the first row of `table` matching `condition`
// in the slot's database, as a number. 1 or the select's result.
int GetPGCValue(int& value, std::string_view condition, int column, std::string_view table, int varNum);

// The system ID, country ID and database version that select row lengths:
// from dbinfo in "offline"/"upload", else from PGC20000 and TableVersion.
int GetSystemDescription(std::string& systemId, std::string& countryId, std::string& dbVersion, int varNum);

}  // namespace pgc
