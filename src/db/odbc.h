#pragma once
// The ODBC access layer: connection records, one statement per transaction,
// counting, selecting, cursor walks and diagnostics. Knows nothing of table
// contents; callers build the SQL text.
//
// Locking: the process-wide user and info connections (UserDB(), InfoDB())
// are shared by every answer thread, and a commit belongs to the whole
// connection, so each operation on them runs from start to end under
// DatabaseLock() (frame/log.h). A cursor on one of them keeps the lock until
// it is closed. Per-slot connections are used by one thread at a time and
// take no lock.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "frame/connection_record.h"

namespace db {

// A selected row: column texts in column order (NULL or unreadable -> "").
using Row = std::vector<std::string>;

constexpr std::size_t kColumnTextMax = 299;     // a column text is cut to this length
constexpr std::size_t kMaxStatementText = 4999;  // longer statements are refused, never cut

constexpr const char* kUserDsn = "WebUser";
constexpr const char* kInfoDsn = "WebInfo";

int ConnectDB(ConnectionRecord& record, const std::string& dsn);  // 1; 215
// The same with a whole connection string (no data source is looked up);
// `dsn` is the name the record keeps. An empty `connection` connects by `dsn`.
int ConnectDB(ConnectionRecord& record, const std::string& dsn, const std::string& connection);
int DisconnectDB(ConnectionRecord& record, int varNum);            // 1; 226; 227; 228
int ExecuteSQL(ConnectionRecord& record, const std::string& sql, int varNum);  // 1; -2 no row touched; -1
int getRowCount(ConnectionRecord& record, const std::string& table, const std::string& condition, int varNum);
// The first matching row. `columnList` names the columns read ("*": the whole
// row); a reader of one column names just that column, since the driver
// describes every column of the result on each statement.
int SelectMatchingRecords(ConnectionRecord& record, const std::string& table, int columns, Row& row,
                          const std::string& condition, int varNum, const std::string& columnList = "*");  // 1; -2; -1

// An open cursor handed from SelectFirstMatchingRecord to its caller. Close()
// (and the destructor) commits on the connection and releases the statement,
// so every exit of a walk ends it properly. A cursor on a shared connection
// holds DatabaseLock() while open: it must be closed by the thread that
// opened it, and should not be kept open across slow work.
class Cursor {
 public:
  Cursor() = default;
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;
  ~Cursor() { Close(); }
  void Close();
  bool open() const { return stmt_ != nullptr; }

 private:
  friend int SelectFirstMatchingRecord(Cursor&, ConnectionRecord&, const std::string&, int, Row&,
                                       const std::string&, int, const std::string&);
  friend int FetchNextRecord(Cursor&, int, Row&, int);
  void* stmt_ = nullptr;
  ConnectionRecord* record_ = nullptr;
  std::unique_lock<std::recursive_mutex> lock_;  // owned only on a shared connection
};

int SelectFirstMatchingRecord(Cursor& cursor, ConnectionRecord& record, const std::string& table, int columns,
                              Row& row, const std::string& condition, int varNum, const std::string& ordering);
int FetchNextRecord(Cursor& cursor, int columns, Row& row, int varNum);  // 1; -2 end; -1

// Makes the statements on a slot's connection one transaction, from the
// constructor to Commit(): a table is then replaced whole or not at all, and
// the file is synced once instead of once per row. A statement that fails
// rolls everything back; so does leaving without Commit(). On a shared
// connection (or none) statements go on committing one by one.
class Transaction {
 public:
  explicit Transaction(ConnectionRecord* record);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  // 1; -1 when a statement of the transaction failed or the commit did.
  int Commit(int varNum);

 private:
  ConnectionRecord* record_ = nullptr;
};

// An insert of rows of byte values, prepared once on a connection and
// executed per row with the values bound as parameters: a table of many rows
// is parsed once instead of once per row. `sql` has one marker per column.
// Each row is committed like ExecuteSQL's statement, or left to the
// Transaction that groups it.
class PreparedInsert {
 public:
  PreparedInsert(ConnectionRecord& record, std::string sql, int columns);
  ~PreparedInsert();
  PreparedInsert(const PreparedInsert&) = delete;
  PreparedInsert& operator=(const PreparedInsert&) = delete;
  // 1; -1 when the statement cannot be prepared or the row is refused.
  int Execute(const std::uint8_t* row, int varNum);
  ConnectionRecord& record() const { return record_; }

 private:
  bool Prepare(int varNum);
  ConnectionRecord& record_;
  std::string sql_;
  void* stmt_ = nullptr;
  std::vector<std::int32_t> values_;  // the bound parameters (SQLINTEGER), one per column
};

// Deletes the rows of `table` that match `condition` (every row when empty)
// in the slot's database of state "offline", "online" or "download": 1, also
// when no row matched; 165 in any other state; 250 when the delete fails.
int ClearTable(const std::string& table, const std::string& condition, int varNum);

// Prints and logs every diagnostic record of a statement handle; 1.
int ReportStatementError(void* stmt, int varNum);

// The process-wide user ("WebUser") and info ("WebInfo") connections.
ConnectionRecord& UserDB();
ConnectionRecord& InfoDB();
bool IsSharedConnection(const ConnectionRecord& record);
// True when the connection reaches a database server (PostgreSQL) rather
// than a file only this process uses.
bool IsServerDatabase(ConnectionRecord& record);
int initDB();
void CloseUserAndInfoDB(int varNum);

// "Update userInfo set connect_state = 0 where user_id = '%s'"; 1; 217.
int ResetConnectState(const std::string& userId, int varNum);

// Commits the connection's open transaction; for cursor walks and the
// start-up repair.
void CommitConnection(ConnectionRecord& record);

// Every change of the data source file happens under this lock (see
// db/data_sources.h; the file is replaced whole, so connects by name need no
// lock). It is the innermost lock: while holding it take no other lock and do
// not log (the log takes DatabaseLock(), which a thread waiting here may hold).
std::mutex& DsnLock();

}  // namespace db
