#include "pgc/store.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "db/odbc.h"
#include "db/user_writers.h"
#include "frame/counters.h"
#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "frame/text.h"
#include "pgc/catalogue.h"

namespace pgc {
namespace {

constexpr const char* kSlavePGC = "722";
constexpr const char* kSlaveSourcePGC = "PGC724";
constexpr const char* kTableLine = "TableLine";
constexpr int kTableLineColumns = 36;
constexpr int kTableLineFirstValue = 3;  // column 4, counted from 0
constexpr int kUpdateChunk = 100;        // columns set by one update statement

bool SqlLogged() { return LevelPasses('4'); }

void AppendNumber(std::string& out, unsigned value) {
  char digits[12];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  (void)ec;
  out.append(digits, end);
}

std::uint16_t SequenceField(const web::WebMsg& msg) {
  return web::Get16(msg.bodyHeader + (web::kFinalSeq - web::kBodyType));
}
int SequenceNumber(const web::WebMsg& msg) { return SequenceField(msg) & web::kSequenceMask; }
bool IsFirstPacket(const web::WebMsg& msg) { return SequenceNumber(msg) == 1; }
bool IsLastPacket(const web::WebMsg& msg) { return web::IsFinalFlag(msg.finalSeqHigh()) == 1; }

// The length field of the embedded packet less its header; 0 when it holds no data.
int PacketDataLength(const web::WebMsg& msg) { return static_cast<int>(msg.dataLength()); }

// The connection rows are written to: offline, work or download database.
db::ConnectionRecord* InsertDatabase(int varNum) {
  const state::Id current = SlotState(varNum);
  if (current == state::kOffline || current == state::kOnline || current == state::kDownload) return SlotDatabase(varNum);
  return nullptr;
}

// The connection rows are compared and updated in: offline or work database.
db::ConnectionRecord* MergeDatabase(int varNum) {
  const state::Id current = SlotState(varNum);
  if (current == state::kOffline || current == state::kOnline) return SlotDatabase(varNum);
  return nullptr;
}

// Inserts the rows of one table and row length. The statement is prepared
// once, on the first row, and each row only binds its values; its text with
// the values written out is built only for the SQL log.
class RowInserter {
 public:
  RowInserter(std::string_view pgcNo, int rowLength) : pgcNo_(pgcNo), rowLength_(rowLength) {
    prefix_ = "insert into PGC";
    prefix_.append(pgcNo);
    prefix_ += " ( ";
    for (int i = 1; i <= rowLength; ++i) {
      prefix_ += 'd';
      AppendNumber(prefix_, static_cast<unsigned>(i));
      if (i < rowLength) prefix_ += ", ";
    }
    prefix_ += " ) values ( ";
  }

  std::string Build(const std::uint8_t* row) const {
    std::string sql = prefix_;
    for (int i = 0; i < rowLength_; ++i) {
      AppendNumber(sql, row[i]);
      if (i + 1 < rowLength_) sql += ", ";
    }
    return sql + " )";
  }

  // `label` names the operation in the SQL log; `errorText` is logged with the
  // table number when the insert fails.
  int Insert(const std::uint8_t* row, const char* label, const char* errorText, int varNum) {
    if (SqlLogged()) LogSQL(varNum, label, Build(row));
    db::ConnectionRecord* database = InsertDatabase(varNum);
    if (database != nullptr && (!prepared_ || &prepared_->record() != database)) {
      std::string sql = prefix_;
      for (int i = 0; i < rowLength_; ++i) sql += i + 1 < rowLength_ ? "?, " : "? )";
      prepared_ = std::make_unique<db::PreparedInsert>(*database, std::move(sql), rowLength_);
    }
    if (database != nullptr && prepared_->Execute(row, varNum) == RESULT_OK) {
      counters::CountRowsStored(1);
      return RESULT_OK;
    }
    LogError(varNum, "DB error", Format(errorText, pgcNo_.c_str()));
    return DB_INSERT_ERROR;
  }

 private:
  std::string pgcNo_;
  int rowLength_;
  std::string prefix_;
  std::unique_ptr<db::PreparedInsert> prepared_;
};

constexpr const char* kInsertPGCError = "Insert PGC%s error, without commit";

// Ends the transaction that grouped a table's statements.
int CommitRows(db::Transaction& transaction, int varNum) {
  if (transaction.Commit(varNum) != RESULT_OK) return DB_INSERT_ERROR;
  LogDebug(varNum, "commit DB");
  return RESULT_OK;
}
constexpr const char* kInsertRowError = "Insert PGC%s error";

int InsertRows(RowInserter& inserter, const std::uint8_t* data, int rowCount, int rowLength, const char* label,
               const char* errorText, int varNum) {
  for (int i = 0; i < rowCount; ++i) {
    int rc = inserter.Insert(data + static_cast<std::size_t>(i) * rowLength, label, errorText, varNum);
    if (rc != RESULT_OK) return rc;
  }
  return RESULT_OK;
}

// Row count and PGC number of data about to be stored.
int CheckRowsAndFindPGC(int dataLength, int rowLength, std::uint16_t messageId, int& rowCount, std::string& pgcNo,
                        int varNum) {
  int rc = RowCountOf(dataLength, rowLength, rowCount, varNum);
  if (rc != RESULT_OK) return rc;
  return FindPGCByMessageID(messageId, pgcNo, varNum);
}

// The PGC 724 pairs (d1, d2) whose d3 is one of the values `condition` names.
int CollectSlavePairs(const std::string& condition, std::vector<std::pair<std::uint8_t, std::uint8_t>>& pairs,
                      int varNum) {
  db::ConnectionRecord* database = MergeDatabase(varNum);
  if (database == nullptr) {
    LogError(varNum, "COMM state error",
             Format("COMM is in %s state, here need online/offline state when insert into slave table.",
                    SlotStateText(varNum)));
    return STATE_WRONG;
  }
  db::Cursor cursor;
  db::Row row;
  int rc = db::SelectFirstMatchingRecord(cursor, *database, kSlaveSourcePGC, 2, row, condition, varNum, "");
  if (rc == DB_EXECUTE_NO_RESULT) {
    LogDebug(varNum, "PGC724 has no match data");
    return RESULT_OK;
  }
  if (rc != RESULT_OK) return DB_EXECUTE_ERROR;
  while (rc == RESULT_OK) {
    pairs.emplace_back(static_cast<std::uint8_t>(std::atoi(row[0].c_str())),
                       static_cast<std::uint8_t>(std::atoi(row[1].c_str())));
    rc = db::FetchNextRecord(cursor, 2, row, varNum);
  }
  cursor.Close();
  return rc == DB_EXECUTE_NO_RESULT ? RESULT_OK : DB_EXECUTE_ERROR;
}

// Copies the PGC 723 rows into the slave table once per pair, with bytes 1
// and 2 of every row replaced by the pair.
int InsertIntoSlave(const std::uint8_t* data, int dataLength, int rowLength, const std::string& condition,
                    int varNum) {
  std::vector<std::pair<std::uint8_t, std::uint8_t>> pairs;
  int rc = CollectSlavePairs(condition, pairs, varNum);
  if (rc != RESULT_OK || pairs.empty()) return rc;
  if (dataLength < 1) {
    LogDebug(varNum, "data insert into slave table, data length = 0");
    return RESULT_OK;
  }
  int rowCount = 0;
  rc = RowCountOf(dataLength, rowLength, rowCount, varNum);
  if (rc != RESULT_OK) return rc;

  RowInserter inserter(kSlavePGC, rowLength);
  std::vector<std::uint8_t> row(static_cast<std::size_t>(rowLength));
  std::string slaveTable = PGCTableName(kSlavePGC);
  db::Transaction transaction(InsertDatabase(varNum));
  for (const auto& [a, b] : pairs) {
    rc = db::ClearTable(slaveTable, Format("d1 = %d and d2 = %d", a, b), varNum);
    if (rc != RESULT_OK) return rc;
    for (int i = 0; i < rowCount; ++i) {
      std::memcpy(row.data(), data + static_cast<std::size_t>(i) * rowLength, row.size());
      row[0] = a;
      if (rowLength > 1) row[1] = b;
      rc = inserter.Insert(row.data(), "InsertPGC", kInsertRowError, varNum);
      if (rc != RESULT_OK) return rc;
    }
  }
  return CommitRows(transaction, varNum);
}

int StoreInfoRecord(const web::WebMsg& request, int varNum) {
  db::DbInfoRecord info;
  // Parsed before the old row goes, so that a short record leaves it in place.
  int rc = db::ParseDbInfoRecord(request.data, request.dataLength(), info);
  if (rc != RESULT_OK) {
    LogError(varNum, "DB error",
             Format("Length of data is error:%d/%d", static_cast<int>(request.dataLength()),
                    static_cast<int>(db::DbInfoRecord::kDataSize)));
    return rc;
  }
  // The old row goes only together with the new one's arrival.
  db::Transaction transaction(SlotDatabase(varNum));
  rc = db::ClearTable(db::kDbInfoTable, "", varNum);
  if (rc != RESULT_OK) return rc;
  rc = db::InsertDBInfo(info, varNum);
  if (rc != RESULT_OK) return rc;
  return transaction.Commit(varNum) == RESULT_OK ? RESULT_OK : DB_INSERT_ERROR;
}

// The gathered rows of one PGC, stored the way the PGC's rows are identified.
int StoreGathered(const std::uint8_t* data, int dataLength, int rowLength, std::uint16_t messageId, int varNum) {
  std::string pgcNo;
  int rc = FindPGCByMessageID(messageId, pgcNo, varNum);
  if (rc != RESULT_OK) return rc;
  if (messageId == kMultiDatabaseId) return StoreMultiDatabase(data, dataLength, rowLength, messageId, varNum);
  if (IsKeyTable2PGC(pgcNo) == 1 || IsKeyTablePGC(pgcNo) == 1) {
    return MergePGCRows(data, dataLength, rowLength, messageId, varNum);
  }
  return ReplacePGCRows(data, dataLength, rowLength, messageId, "", varNum);
}

bool IsPgcDataType(std::uint8_t type) {
  return type == web::REQ_PGC || type == web::REQ_RESTART || type == web::REQ_TABLE_DOWNLOAD ||
         type == web::REQ_TABLE_UPLOAD;
}

}  // namespace

int RowCountOf(int dataLength, int rowLength, int& rowCount, int varNum) {
  if (rowLength == 0) {
    LogError(varNum, "Math error", Format("^^^Can not divide zero^^^:%d/%d", dataLength, rowLength));
    return DIVIDE_ZERO_ERROR;
  }
  // No table holds a longer row, and the row buffers are sized for 240 bytes.
  if (rowLength < 0 || rowLength > kMaxRowLength) {
    LogError(varNum, "Math error", Format("Length of record is error:%d/%d", rowLength, kMaxRowLength));
    return DIVIDE_ZERO_ERROR;
  }
  if (dataLength < 0 || dataLength % rowLength != 0) {
    LogError(varNum, "DB error", Format("Length of data is error:%d/%d", dataLength, rowLength));
    return RECORD_LENGTH_ERROR;
  }
  rowCount = dataLength / rowLength;
  return RESULT_OK;
}

int PacketCountOf(int dataLength, int rowLength, int rowsPerPacket, int& packetCount, int varNum) {
  if (rowLength <= 0 || dataLength < 0 || dataLength % rowLength != 0 || rowsPerPacket <= 0) {
    LogError(varNum, "DB error", Format("Length of data is error:%d/%d", dataLength, rowLength));
    return RECORD_LENGTH_ERROR;
  }
  int rows = dataLength / rowLength;
  packetCount = rows / rowsPerPacket + (rows % rowsPerPacket != 0 ? 1 : 0);
  return RESULT_OK;
}

int RowsPerPacket(int rowLength, int& rowsPerPacket, int varNum) {
  if (rowLength <= 0) {
    LogError(varNum, "DB error", Format("Can not divide zero:%d/%d", kMaxPacketData, rowLength));
    return DIVIDE_ZERO_ERROR;
  }
  rowsPerPacket = kMaxPacketData / rowLength;
  return RESULT_OK;
}

void BuildInsertPGCSql(std::string& out, std::string_view pgcNo, const std::uint8_t* row, int rowLength) {
  RowInserter inserter(pgcNo, rowLength);
  out = inserter.Build(row);
}

std::vector<std::string> BuildUpdatePGCSql(std::string_view pgcNo, const std::uint8_t* row, int rowLength,
                                           std::string_view keyCondition) {
  std::vector<std::string> statements;
  // Ranges 1-100, 100-200, 200-N: the boundary columns are set twice.
  for (int first = 1; first <= rowLength; first = first == 1 ? kUpdateChunk : first + kUpdateChunk) {
    int last = std::min(rowLength, first == 1 ? kUpdateChunk : first + kUpdateChunk);
    if (first > 1 && first >= rowLength) break;
    std::string sql = "Update PGC";
    sql.append(pgcNo);
    sql += " set ";
    for (int i = first; i <= last; ++i) {
      sql += 'd';
      AppendNumber(sql, static_cast<unsigned>(i));
      sql += '=';
      AppendNumber(sql, row[i - 1]);
      if (i < last) sql += ',';
    }
    sql += " where ";
    sql.append(keyCondition);
    sql += ' ';
    statements.push_back(std::move(sql));
  }
  return statements;
}

int InsertPGC(std::string_view pgcNo, const std::uint8_t* row, int rowLength, int varNum) {
  RowInserter inserter(pgcNo, rowLength);
  return inserter.Insert(row, "InsertPGC", kInsertPGCError, varNum);
}

int InsertPGCRow(std::string_view pgcNo, const std::uint8_t* row, int rowLength, int varNum) {
  RowInserter inserter(pgcNo, rowLength);
  return inserter.Insert(row, "InsertPGC", kInsertRowError, varNum);
}

int UpdatePGC(std::string_view pgcNo, const std::uint8_t* row, int rowLength, int varNum) {
  std::string pgc(pgcNo);
  if (rowLength > kMaxUpdateColumns) {
    LogError(varNum, "DB error",
             Format("PGC%s fields number is too long, fields number = %d", pgc.c_str(), rowLength));
    return DB_UPDATE_ERROR;
  }
  std::string condition;
  int rc = BuildKeyCondition(pgcNo, row, static_cast<std::size_t>(std::max(rowLength, 0)), condition, varNum);
  if (rc != RESULT_OK) return rc;

  std::vector<std::string> statements = BuildUpdatePGCSql(pgcNo, row, rowLength, condition);
  db::ConnectionRecord* database = MergeDatabase(varNum);
  static constexpr const char* kLabels[] = {"UpdatePGC1", "UpdatePGC2", "UpdatePGC3"};
  for (std::size_t i = 0; i < statements.size(); ++i) {
    const char* label = statements.size() == 1 ? "UpdatePGC" : kLabels[std::min<std::size_t>(i, 2)];
    if (SqlLogged()) LogSQL(varNum, label, statements[i]);
    if (database == nullptr || db::ExecuteSQL(*database, statements[i], varNum) != RESULT_OK) {
      LogError(varNum, "DB error", Format("Update PGC%s error", pgc.c_str()));
      return DB_UPDATE_ERROR;
    }
  }
  counters::CountRowsStored(1);
  return RESULT_OK;
}

int PGCRowExists(std::string_view pgcNo, const std::uint8_t* row, int rowLength, bool& exists, int varNum) {
  std::string condition;
  int rc = BuildKeyCondition(pgcNo, row, static_cast<std::size_t>(std::max(rowLength, 0)), condition, varNum);
  if (rc != RESULT_OK) return rc;
  db::ConnectionRecord* database = MergeDatabase(varNum);
  exists = true;
  if (database == nullptr) return RESULT_OK;
  int count = db::getRowCount(*database, PGCTableName(pgcNo), condition, varNum);
  exists = count > 0;
  if (count >= 0) return RESULT_OK;
  std::string pgc(pgcNo);
  if (count == DB_EXECUTE_ERROR || count == DB_EXECUTE_NO_RESULT) {
    LogError(varNum, "DB error", Format("Get row count from PGC%s error", pgc.c_str()));
    return ROW_COUNT_ERROR;
  }
  LogError(varNum, "Unknown error", Format("An unknown error occurs when get row count from PGC%s", pgc.c_str()));
  return UNKNOWN_DB_ERROR;
}

int ReplacePGCRows(const std::uint8_t* data, int dataLength, int rowLength, std::uint16_t messageId,
                   std::string_view condition, int varNum) {
  if (dataLength < 1) {
    LogDebug(varNum, "data length = 0");
    return RESULT_OK;
  }
  int rowCount = 0;
  std::string pgcNo;
  int rc = CheckRowsAndFindPGC(dataLength, rowLength, messageId, rowCount, pgcNo, varNum);
  if (rc != RESULT_OK) return rc;
  db::Transaction transaction(InsertDatabase(varNum));
  rc = db::ClearTable(PGCTableName(pgcNo), std::string(condition), varNum);
  if (rc != RESULT_OK) return rc;
  RowInserter inserter(pgcNo, rowLength);
  rc = InsertRows(inserter, data, rowCount, rowLength, "InsertPGC", kInsertPGCError, varNum);
  if (rc != RESULT_OK) return rc;
  return CommitRows(transaction, varNum);
}

int ClearAndReplacePGCRows(const std::uint8_t* data, int dataLength, int rowLength, std::uint16_t messageId,
                           std::string_view condition, int varNum) {
  std::string pgcNo;
  int rc = FindPGCByMessageID(messageId, pgcNo, varNum);
  if (rc != RESULT_OK) return rc;
  // Data that cannot be cut into rows is refused before the old rows go.
  int rowCount = 0;
  if (dataLength >= 1) {
    rc = RowCountOf(dataLength, rowLength, rowCount, varNum);
    if (rc != RESULT_OK) return rc;
  }
  db::Transaction transaction(InsertDatabase(varNum));
  rc = db::ClearTable(PGCTableName(pgcNo), std::string(condition), varNum);
  if (rc != RESULT_OK) return rc;
  if (dataLength < 1) {
    LogDebug(varNum, "data length = 0");
    return transaction.Commit(varNum) == RESULT_OK ? RESULT_OK : DB_INSERT_ERROR;
  }
  RowInserter inserter(pgcNo, rowLength);
  rc = InsertRows(inserter, data, rowCount, rowLength, "InsertPGC", kInsertPGCError, varNum);
  if (rc != RESULT_OK) return rc;
  return CommitRows(transaction, varNum);
}

int MergePGCRows(const std::uint8_t* data, int dataLength, int rowLength, std::uint16_t messageId, int varNum) {
  int rowCount = 0;
  std::string pgcNo;
  int rc = FindPGCByMessageID(messageId, pgcNo, varNum);
  if (rc != RESULT_OK) return rc;
  rc = RowCountOf(dataLength, rowLength, rowCount, varNum);
  if (rc != RESULT_OK) return rc;
  RowInserter inserter(pgcNo, rowLength);
  db::Transaction transaction(MergeDatabase(varNum));
  for (int i = 0; i < rowCount; ++i) {
    const std::uint8_t* row = data + static_cast<std::size_t>(i) * rowLength;
    bool exists = false;
    rc = PGCRowExists(pgcNo, row, rowLength, exists, varNum);
    if (rc != RESULT_OK) return rc;
    rc = exists ? UpdatePGC(pgcNo, row, rowLength, varNum) : inserter.Insert(row, "InsertPGC", kInsertRowError, varNum);
    if (rc != RESULT_OK) return rc;
  }
  return CommitRows(transaction, varNum);
}

namespace {
int StoreMasterAndSlave(const std::uint8_t* data, int dataLength, int rowLength, std::uint16_t messageId,
                        int varNum) {
  if (dataLength <= 0) {
    LogDebug(varNum, "data insert into multi Database, data length = 0");
    return RESULT_OK;
  }
  int key = data[0];
  int rc = ReplacePGCRows(data, dataLength, rowLength, messageId, Format("d1 = %d", key), varNum);
  if (rc != RESULT_OK) return rc;

  std::string pgcNo;
  rc = FindPGCByMessageID(messageId, pgcNo, varNum);
  if (rc != RESULT_OK) return rc;
  db::Row line;
  rc = db::SelectMatchingRecords(db::InfoDB(), kTableLine, kTableLineColumns, line,
                                 "pgc_no = '" + SqlText(Format("%s%02d", pgcNo.c_str(), key)) + "'", varNum);
  if (rc != RESULT_OK) return rc;

  // The values stand in the columns after the count; no more than were read.
  int count = std::atoi(line[1].c_str());
  count = std::clamp(count, 0, kTableLineColumns - kTableLineFirstValue);
  if (count == 0) {
    // No condition would select every row of PGC724.
    LogDebug(varNum, "PGC724 has no match data");
    return RESULT_OK;
  }
  std::string condition;
  for (int i = 0; i < count; ++i) {
    condition += Format("d3 = %d or ", std::atoi(line[kTableLineFirstValue + i].c_str()));
  }
  condition.resize(condition.size() - 3);
  return InsertIntoSlave(data, dataLength, rowLength, condition, varNum);
}
}  // namespace

int StoreMultiDatabase(const std::uint8_t* data, int dataLength, int rowLength, std::uint16_t messageId,
                       int varNum) {
  // A database fault leaves neither the master's rows nor their copies in
  // the slave. The master's rows stay, as they always did, for a key without
  // a TableLine row (-2) and for a slave refused in the slot's state (190).
  db::Transaction transaction(InsertDatabase(varNum));
  int rc = StoreMasterAndSlave(data, dataLength, rowLength, messageId, varNum);
  if (rc != RESULT_OK && rc != DB_EXECUTE_NO_RESULT && rc != STATE_WRONG) return rc;
  return transaction.Commit(varNum) == RESULT_OK ? rc : DB_EXECUTE_ERROR;
}

int StorePGCPacket(const web::WebMsg& packet, std::uint16_t messageId, int varNum) {
  int dataLength = PacketDataLength(packet);
  if (dataLength <= 0) {
    LogDebug(varNum, "data length = 0");
    return RESULT_OK;
  }
  int rowLength = packet.recordLength();
  int rowCount = 0;
  std::string pgcNo;
  int rc = CheckRowsAndFindPGC(dataLength, rowLength, messageId, rowCount, pgcNo, varNum);
  if (rc != RESULT_OK) return rc;
  db::Transaction transaction(InsertDatabase(varNum));
  if (IsFirstPacket(packet)) {
    rc = db::ClearTable(PGCTableName(pgcNo), "", varNum);
    if (rc != RESULT_OK) return rc;
  }
  RowInserter inserter(pgcNo, rowLength);
  rc = InsertRows(inserter, packet.data, rowCount, rowLength, "InsertPGC", kInsertRowError, varNum);
  if (rc != RESULT_OK) return rc;
  return CommitRows(transaction, varNum);
}

int StoreWebData(const web::WebMsg& request, WorkingBuffer& buffer, int& workCounter,
                 std::uint16_t messageId, int varNum) {
  if (request.type == web::REQ_CONTROL) {
    if (messageId == web::STORE_PGC) return StoreInfoRecord(request, varNum);
    LogError(varNum, "Message format error", "Message received from web is error");
    return FORMAT_ERROR;
  }
  if (!IsPgcDataType(request.type)) {
    LogError(varNum, "Message format error", "Message received from web is error");
    return FORMAT_ERROR;
  }
  int dataLength = PacketDataLength(request);
  if (dataLength <= 0) {
    LogDebug(varNum, "data length = 0");
    return RESULT_OK;
  }

  if (IsFirstPacket(request)) workCounter = 0;
  const int capacity = static_cast<int>(WorkingBuffer::size());
  if (workCounter < 0 || workCounter > capacity - dataLength) {
    LogError(varNum, "DB error", Format("Data of PGC is too long for the buffer:%d/%d", workCounter + dataLength,
                                        capacity));
    workCounter = 0;
    return GATHER_OVERFLOW;
  }
  std::memcpy(buffer.data() + workCounter, request.data, static_cast<std::size_t>(dataLength));
  workCounter += dataLength;
  LogDebug(varNum, Format("*ptrActualLength=%d", workCounter));

  if (!IsLastPacket(request)) return RESULT_OK;

  // Checked before anything is stored: a refused table leaves its rows as
  // they were, and the next table starts gathering from nothing.
  int rowCount = 0;
  int rc = RowCountOf(workCounter, request.recordLength(), rowCount, varNum);
  if (rc == RESULT_OK) rc = StoreGathered(buffer.data(), workCounter, request.recordLength(), messageId, varNum);
  if (rc != RESULT_OK) workCounter = 0;
  return rc;
}

}  // namespace pgc
