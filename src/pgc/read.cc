#include "pgc/read.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "db/odbc.h"
#include "frame/counters.h"
#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "frame/text.h"
#include "pgc/catalogue.h"
#include "users/users.h"

namespace pgc {
namespace {

constexpr const char* kTablestrt = "Tablestrt";
constexpr const char* kTableVersion = "TableVersion";

// Column positions (from 0) of the info tables.
constexpr int kStrtRowLength = 1;
constexpr int kStrtSystemMask = 5;
constexpr int kStrtCountryMask = 6;
constexpr int kStrtVersionRange = 7;
constexpr int kVersionText = 1;
constexpr int kVersionKeyLow = 5;
constexpr int kVersionKeyHigh = 6;
constexpr std::size_t kRangeDigits = 5;  // version range: lowest 5 digits, highest 5 digits

constexpr int kKeyRowNotice = 100;  // key rows read before the console hears of it

// The database rows are read from: offline, work or upload database.
db::ConnectionRecord* ReadDatabase(int varNum) {
  const state::Id current = SlotState(varNum);
  if (current == state::kOffline || current == state::kOnline || current == state::kUpload) return SlotDatabase(varNum);
  return nullptr;
}

// A column's decimal text as a byte: "255" -> 0xFF, "" -> 0.
std::uint8_t ColumnByte(const std::string& text) { return static_cast<std::uint8_t>(std::atoi(text.c_str())); }

bool IsDecimal(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

long Number(std::string_view text) { return std::atol(std::string(text).c_str()); }

// Whether a mask text has "1" at the 1-based `position`.
bool MaskAccepts(const std::string& mask, long position) {
  return position >= 1 && static_cast<std::size_t>(position) <= mask.size() && mask[position - 1] == '1';
}

bool VersionInRange(const std::string& range, long version) {
  if (range.size() < 2 * kRangeDigits) return false;
  long low = Number(std::string_view(range).substr(0, kRangeDigits));
  long high = Number(std::string_view(range).substr(kRangeDigits, kRangeDigits));
  return low <= version && version <= high;
}

bool RowAccepts(const db::Row& row, long systemId, long countryId, long version) {
  return MaskAccepts(row[kStrtSystemMask], systemId) && MaskAccepts(row[kStrtCountryMask], countryId + 1) &&
         VersionInRange(row[kStrtVersionRange], version);
}

// t_major followed by t_minor padded on the left with zeros to two digits.
long SystemKey(std::string_view tMajor, std::string_view tMinor) {
  std::string key(tMajor);
  if (tMinor.size() < 2) key.append(2 - tMinor.size(), '0');
  key.append(tMinor);
  return Number(key);
}

// The whole table or the rows below the request's key rows, read into `out`.
int ReadKeyRows(const web::WebMsg& request, std::uint16_t messageId, const std::string& pgcNo, int rowLength,
                int capacity, std::vector<std::uint8_t>& out, int& byteCount, int varNum) {
  const std::string table = PGCTableName(pgcNo);
  const int keyLength = request.recordLength();
  if (keyLength == 0) {
    LogError(varNum, "math error", Format("div zero when request down PGC%s", pgcNo.c_str()));
    return DIVIDE_ZERO_ERROR;
  }
  const int dataLength = static_cast<int>(request.dataLength());
  const int keyRows = dataLength / keyLength;
  std::vector<std::uint8_t> part(out.size());
  std::string condition;
  for (int index = 0; index < keyRows; ++index) {
    if (index == kKeyRowNotice) Console("indexNum = %d\n", index);
    const std::uint8_t* key = request.data + static_cast<std::size_t>(index) * keyLength;
    if (IsSpecialKeyCode(messageId)) {
      BuildReadCondition(messageId, key[0], keyLength > 1 ? key[1] : 0, condition);
    } else {
      condition.clear();
      for (int j = 0; j < keyLength; ++j) condition += Format("d%d = %d and ", j + 1, key[j]);
    }
    condition.resize(condition.size() >= 4 ? condition.size() - 4 : 0);

    int partCount = 0;
    int rc = ReadPGCRows(part, table, condition, rowLength, partCount, varNum, "");
    if (rc != RESULT_OK) {
      LogError(varNum, "DB error", Format("Get data of PGC%s, execute error", pgcNo.c_str()));
      return GET_DATA_ERROR;
    }
    if (byteCount + partCount > capacity) {
      LogError(varNum, "DB error", Format("Get data of PGC%s, buffer size error", pgcNo.c_str()));
      return GET_DATA_ERROR;
    }
    std::memcpy(out.data() + byteCount, part.data(), static_cast<std::size_t>(partCount));
    byteCount += partCount;
  }
  return RESULT_OK;
}

// The rows counted for a request of `type`, in the database the type reads.
int CountRows(std::uint8_t type, const std::string& table, int varNum) {
  Slot& slot = SlotAt(varNum);
  db::ConnectionRecord* database = nullptr;
  if (type == web::REQ_CONTROL) {
    database = &slot.db[kUploadDb];
  } else if (type == web::REQ_PGC) {
    database = &slot.db[kOfflineDb];
  } else if (slot.state == state::kOnline || slot.state == state::kOffline) {
    database = SlotDatabase(varNum);
  }
  if (database == nullptr) return DB_EXECUTE_ERROR;
  return db::getRowCount(*database, table, "", varNum);
}

bool IsReadType(std::uint8_t type) {
  return type == web::REQ_CONTROL || type == web::REQ_PGC || type == web::REQ_TABLE_DOWNLOAD ||
         type == web::REQ_TABLE_UPLOAD;
}

}  // namespace

int GetSystemDescription(std::string& systemId, std::string& countryId, std::string& dbVersion, int varNum) {
  const state::Id current = SlotState(varNum);
  if (current == state::kOffline || current == state::kUpload) {
    int rc = users::GetDBVersion(dbVersion, varNum);
    if (rc == RESULT_OK) rc = users::GetDBInfoCountryID(countryId, varNum);
    if (rc == RESULT_OK) rc = users::GetDBInfoSystemID(systemId, varNum);
    return rc;
  }
  std::string tMajor, tMinor;
  int rc = users::GetSystemID(systemId, varNum);
  if (rc == RESULT_OK) rc = users::GetCountryID(countryId, varNum);
  if (rc == RESULT_OK) rc = users::GetTMajor(tMajor, varNum);
  if (rc == RESULT_OK) rc = users::GetTMinor(tMinor, varNum);
  if (rc == RESULT_OK) rc = GetCurrentVersion(dbVersion, tMajor, tMinor, varNum);
  return rc;
}

int GetPGCRowLength(int& rowLength, std::string_view pgcNo, std::string_view systemId, std::string_view countryId,
                    std::string_view dbVersion, int varNum) {
  // The number stands unquoted in the condition: only digits may go there.
  if (!IsDecimal(pgcNo)) {
    LogError(varNum, "DB error", "no byte found error");
    return NO_BYTE_FOUND_ERROR;
  }
  const long system = Number(systemId), country = Number(countryId), version = Number(dbVersion);
  db::Cursor cursor;
  db::Row row;
  int rc = db::SelectFirstMatchingRecord(cursor, db::InfoDB(), kTablestrt, kTablestrtColumns, row,
                                         "pgcno = " + std::string(pgcNo), varNum, "");
  if (rc == DB_EXECUTE_NO_RESULT) {
    LogError(varNum, "DB error", "Get no record when get record from tablestrt");
  } else if (rc != RESULT_OK) {
    LogError(varNum, "DB error", "An error occurred when get record from tablestrt");
    LogError(varNum, "DB error", "An error occurred when get bytes from tablestrt");
    return TABLESTRT_ERROR;
  }
  while (rc == RESULT_OK) {
    if (RowAccepts(row, system, country, version)) {
      rowLength = std::atoi(row[kStrtRowLength].c_str());
      cursor.Close();
      return RESULT_OK;
    }
    rc = db::FetchNextRecord(cursor, kTablestrtColumns, row, varNum);
  }
  cursor.Close();
  if (rc == DB_EXECUTE_ERROR) {
    LogError(varNum, "DB error", "An error occurred when get bytes from tablestrt");
    return TABLESTRT_ERROR;
  }
  LogError(varNum, "DB error", "no byte found error");
  return NO_BYTE_FOUND_ERROR;
}

int GetCurrentVersion(std::string& version, std::string_view tMajor, std::string_view tMinor, int varNum) {
  const long key = SystemKey(tMajor, tMinor);
  db::Cursor cursor;
  db::Row row;
  // Rows are walked in the data set's order, which a server keeps only when
  // asked: it may return a table refilled by tavrel-setup in any order.
  int rc = db::SelectFirstMatchingRecord(cursor, db::InfoDB(), kTableVersion, kTableVersionColumns, row, "", varNum,
                                         "tv_no");
  if (rc == DB_EXECUTE_NO_RESULT) {
    LogError(varNum, "DB error", "Get no record when get current version from tableVersion");
    return NO_VERSION_ROW;
  }
  if (rc != RESULT_OK) {
    LogError(varNum, "DB error", "An error occurred when get current version from tableVersion");
    return VERSION_ERROR;
  }
  std::string lastVersion;
  while (rc == RESULT_OK) {
    lastVersion = row[kVersionText];
    if (Number(row[kVersionKeyLow]) <= key && key <= Number(row[kVersionKeyHigh])) {
      version = row[kVersionText];
      cursor.Close();
      return RESULT_OK;
    }
    rc = db::FetchNextRecord(cursor, kTableVersionColumns, row, varNum);
  }
  cursor.Close();
  if (rc == DB_EXECUTE_ERROR) {
    LogError(varNum, "DB error", "An error occurred when get current version from tableVersion");
    return VERSION_ERROR;
  }
  if (rc != DB_EXECUTE_NO_RESULT) {
    LogError(varNum, "DB error", "an unknown error when get current version from tableVersion");
    return UNKNOWN_DB_ERROR;
  }
  // A system newer than every row is taken as the version after the last one.
  LogError(varNum, "DB error", "no current version found error");
  version = std::to_string(Number(lastVersion) + 1);
  return RESULT_OK;
}

int ReadPGCRows(std::vector<std::uint8_t>& buffer, std::string_view table, std::string_view condition, int rowLength,
                int& byteCount, int varNum, std::string_view ordering) {
  byteCount = 0;
  db::ConnectionRecord* database = ReadDatabase(varNum);
  if (database == nullptr) return RESULT_OK;
  const int columns = std::clamp(rowLength, 0, kReadColumns);
  db::Cursor cursor;
  db::Row row;
  int rc = db::SelectFirstMatchingRecord(cursor, *database, std::string(table), columns, row, std::string(condition),
                                         varNum, std::string(ordering));
  if (rc == DB_EXECUTE_NO_RESULT) {
    if (buffer.empty()) buffer.resize(1);
    buffer[0] = 0;
    return RESULT_OK;
  }
  if (rc != RESULT_OK) {
    LogError(varNum, "select from PGC table error.", Format("Select from %s error", std::string(table).c_str()));
    return SELECT_ERROR;
  }
  while (rc == RESULT_OK) {
    // The table may have grown since the caller counted its rows.
    if (buffer.size() < static_cast<std::size_t>(byteCount + columns)) {
      buffer.resize(static_cast<std::size_t>(byteCount + columns));
    }
    for (int j = 0; j < columns; ++j) buffer[static_cast<std::size_t>(byteCount + j)] = ColumnByte(row[j]);
    byteCount += columns;
    rc = db::FetchNextRecord(cursor, columns, row, varNum);
  }
  cursor.Close();
  return rc == DB_EXECUTE_NO_RESULT ? RESULT_OK : DB_EXECUTE_ERROR;
}

int ReadPGCData(const web::WebMsg& request, std::uint16_t messageId, std::vector<std::uint8_t>& buffer,
                int& rowLength, int& byteCount, int varNum) {
  buffer.assign(1, 0);
  byteCount = 0;
  std::string pgcNo;
  int rc = FindPGCByMessageID(messageId, pgcNo, varNum);
  if (rc != RESULT_OK) return rc;
  const std::string table = PGCTableName(pgcNo);

  std::string systemId, countryId, dbVersion;
  rc = GetSystemDescription(systemId, countryId, dbVersion, varNum);
  if (rc != RESULT_OK) return rc;
  rc = GetPGCRowLength(rowLength, pgcNo, systemId, countryId, dbVersion, varNum);
  if (rc != RESULT_OK) return rc;
  if (rowLength <= 0 || rowLength > kReadColumns) {
    LogError(varNum, "DB error", "no byte found error");
    return NO_BYTE_FOUND_ERROR;
  }
  if (!IsReadType(request.type)) {
    LogError(varNum, "Message format error", "Message received from web is error");
    return FORMAT_ERROR;
  }

  int rowCount = CountRows(request.type, table, varNum);
  if (rowCount < 0) {
    LogError(varNum, "DB error",
             request.type == web::REQ_CONTROL ? "Get row count error" : "An error occurred when Get row count");
    return ROW_COUNT_ERROR;
  }
  if (rowCount == 0) return RESULT_OK;

  rc = ZeroedAlloc(buffer, static_cast<std::size_t>(rowCount), static_cast<std::size_t>(rowLength) + 1, varNum);
  if (rc != RESULT_OK) return rc;

  std::string ordering;
  const bool byKeys = request.type == web::REQ_PGC && IsKeyTablePGC(pgcNo) == 1 && request.dataLength() > 0;
  if (byKeys) {
    rc = ReadKeyRows(request, messageId, pgcNo, rowLength, rowCount * rowLength, buffer, byteCount, varNum);
  } else {
    if (request.type != web::REQ_PGC) GetOrderColumns(messageId, ordering);
    rc = ReadPGCRows(buffer, table, "", rowLength, byteCount, varNum, ordering);
    if (rc != RESULT_OK) {
      LogError(varNum, "DB error", Format("Get data of PGC%s, execute error", pgcNo.c_str()));
      return GET_DATA_ERROR;
    }
  }
  if (rc == RESULT_OK) counters::CountRowsRead(static_cast<std::uint64_t>(byteCount / rowLength));
  return rc;
}

int GetPGCValue(int& value, std::string_view condition, int column, std::string_view table, int varNum) {
  db::ConnectionRecord* database = ReadDatabase(varNum);
  if (database == nullptr || column < 0 || column >= kReadColumns) return DB_EXECUTE_ERROR;
  db::Row row;
  int rc = db::SelectMatchingRecords(*database, std::string(table), column + 1, row, std::string(condition), varNum);
  if (rc != RESULT_OK) return rc;
  value = std::atoi(row[static_cast<std::size_t>(column)].c_str());
  return RESULT_OK;
}

}  // namespace pgc
