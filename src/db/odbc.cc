#include "db/odbc.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "db/fault_injection.h"
#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "frame/text.h"

namespace db {
namespace {

constexpr SQLLEN kColumnBufferSize = 300;         // one column read: 299 characters and the zero
constexpr SQLSMALLINT kStatementMessageSize = 2000;
constexpr SQLSMALLINT kConnectMessageSize = 513;
constexpr SQLULEN kCountTimeoutSeconds = 5;

void ReportDiagnostics(SQLSMALLINT type, SQLHANDLE handle, int varNum);

bool Succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

SQLCHAR* Text(const std::string& s) { return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s.c_str())); }

// Ending a transaction or releasing a handle never changes an operation's
// result; an unusual outcome is only shown on the console.
void NoteHousekeeping(SQLRETURN rc) {
  if (rc == SQL_SUCCESS) return;
  if (rc == SQL_SUCCESS_WITH_INFO) {
    Console("OK?");
  } else {
    Console("\n****************DB ERROR***************\n");
  }
}

void NoteInfo(SQLRETURN rc) {
  if (rc == SQL_SUCCESS_WITH_INFO) Console("\nSQL_SUCCESS_WITH_INFO");
}

// Ends the statement's transaction, unless a Transaction groups it with
// others: then only a rollback ends it, and marks the group failed. False
// when a commit failed: it is rolled back then, so that neither a change
// reported as failed nor a reader's lock stays behind.
bool EndTransaction(ConnectionRecord& record, SQLSMALLINT completion, int varNum = kServerLog) {
  if (record.dbc == nullptr) return completion != SQL_COMMIT;
  if (record.transactionDepth > 0) {
    if (completion != SQL_ROLLBACK) return true;
    record.transactionFailed = true;
  }
  if (completion == SQL_COMMIT) {
    SQLRETURN rc = fault::InjectFault(fault::Step::kCommit, varNum) ? SQL_ERROR
                                                                    : SQLEndTran(SQL_HANDLE_DBC, record.dbc, SQL_COMMIT);
    if (Succeeded(rc)) {
      NoteHousekeeping(rc);
      return true;
    }
    ReportDiagnostics(SQL_HANDLE_DBC, record.dbc, varNum);
    NoteHousekeeping(SQLEndTran(SQL_HANDLE_DBC, record.dbc, SQL_ROLLBACK));
    return false;
  }
  NoteHousekeeping(SQLEndTran(SQL_HANDLE_DBC, record.dbc, completion));
  return true;
}

SQLRETURN ExecDirect(SQLHSTMT stmt, const std::string& sql, int varNum) {
  if (fault::InjectFault(fault::Step::kStatement, varNum)) return SQL_ERROR;
  return SQLExecDirect(stmt, Text(sql), SQL_NTS);
}

SQLRETURN Fetch(SQLHSTMT stmt, int varNum) {
  if (fault::InjectFault(fault::Step::kFetch, varNum)) return SQL_ERROR;
  return SQLFetch(stmt);
}

// Holds the database lock for the length of one operation on a shared
// connection; an empty lock for a per-slot one.
std::unique_lock<std::recursive_mutex> LockFor(const ConnectionRecord& record) {
  if (IsSharedConnection(record)) return std::unique_lock<std::recursive_mutex>(DatabaseLock());
  return {};
}

// One statement handle, released when it goes out of scope unless handed on.
class Statement {
 public:
  explicit Statement(void* dbc) {
    if (dbc == nullptr) return;
    allocResult_ = SQLAllocHandle(SQL_HANDLE_STMT, dbc, &handle_);
    if (!Succeeded(allocResult_)) handle_ = SQL_NULL_HSTMT;
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() {
    if (handle_ == SQL_NULL_HSTMT) return;
    NoteHousekeeping(SQLFreeHandle(SQL_HANDLE_STMT, handle_));
  }
  explicit operator bool() const { return handle_ != SQL_NULL_HSTMT; }
  SQLHSTMT get() const { return handle_; }
  SQLRETURN allocResult() const { return allocResult_; }
  // Ends the result set so that the commit that follows finds no reader.
  void CloseCursor() const { SQLFreeStmt(handle_, SQL_CLOSE); }
  SQLHSTMT Release() {
    SQLHSTMT h = handle_;
    handle_ = SQL_NULL_HSTMT;
    return h;
  }

 private:
  SQLHSTMT handle_ = SQL_NULL_HSTMT;
  SQLRETURN allocResult_ = SQL_INVALID_HANDLE;
};

// Prints and logs each diagnostic record of a handle, in order.
void ReportDiagnostics(SQLSMALLINT type, SQLHANDLE handle, int varNum) {
  SQLCHAR state[6];
  SQLCHAR message[kStatementMessageSize];
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  for (SQLSMALLINT i = 1; Succeeded(SQLGetDiagRec(type, handle, i, state, &native, message, sizeof message, &length));
       ++i) {
    Console("^^^^^^^^^^\n\t\t%d...%s\n^^^^^^^^^\n", static_cast<int>(native), reinterpret_cast<char*>(message));
    LogError(varNum, "DB error", Format("DB error:%s", reinterpret_cast<char*>(message)));
  }
}

// A statement could not be had: the connection tells why.
void ReportAllocationFailure(const ConnectionRecord& record, int varNum) {
  if (record.dbc == nullptr) {
    LogError(varNum, "DB error", "DB error:connection is not open");
    return;
  }
  ReportDiagnostics(SQL_HANDLE_DBC, record.dbc, varNum);
}

bool StatementFits(const std::string& sql, int varNum) {
  if (sql.size() <= kMaxStatementText) return true;
  LogError(varNum, "DB error", "DB error:statement longer than 4999 characters");
  return false;
}

// Only an update or a delete can "touch no row".
bool ChangesRows(std::string_view sql) {
  while (!sql.empty() && std::isspace(static_cast<unsigned char>(sql.front()))) sql.remove_prefix(1);
  auto startsWith = [&](std::string_view word) {
    if (sql.size() < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(sql[i])) != word[i]) return false;
    }
    return sql.size() == word.size() || !std::isalnum(static_cast<unsigned char>(sql[word.size()]));
  };
  return startsWith("update") || startsWith("delete");
}

void ReadRow(SQLHSTMT stmt, int columns, Row& row) {
  row.assign(columns > 0 ? static_cast<std::size_t>(columns) : 0, std::string());
  char buffer[kColumnBufferSize];
  for (int i = 1; i <= columns; ++i) {
    SQLLEN indicator = 0;
    SQLRETURN rc = SQLGetData(stmt, static_cast<SQLUSMALLINT>(i), SQL_C_CHAR, buffer, sizeof buffer, &indicator);
    if (!Succeeded(rc) || indicator == SQL_NULL_DATA) continue;
    row[i - 1].assign(buffer, strnlen(buffer, kColumnTextMax));
  }
}

std::string CountStatement(const std::string& table, const std::string& condition) {
  if (condition.empty()) return "Select Count(*) from " + table + " ";
  return "Select Count(*) From " + table + " Where " + condition;
}

std::string SelectStatement(const std::string& table, const std::string& condition, const std::string& ordering,
                            const std::string& columnList = "*") {
  std::string sql = condition.empty() ? "Select " + columnList + " from " + table
                                      : "Select " + columnList + " From " + table + " Where " + condition;
  if (!ordering.empty()) sql += " order by " + ordering;
  return sql;
}

// --- Connecting -------------------------------------------------------------

void PrintConnectDiagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  if (handle == SQL_NULL_HANDLE) return;
  SQLCHAR state[6];
  SQLCHAR message[kConnectMessageSize];
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  for (SQLSMALLINT i = 1; SQLGetDiagRec(type, handle, i, state, &native, message, sizeof message, &length) ==
                          SQL_SUCCESS;
       ++i) {
    Console("\n **** ERROR *****\n");
    Console("         SQLSTATE: %s\n", reinterpret_cast<char*>(state));
    Console("Native Error Code: %ld\n", static_cast<long>(native));
    Console("%s \n", reinterpret_cast<char*>(message));
  }
}

SQLRETURN Rollback(const ConnectionRecord& record) {
  if (record.dbc != nullptr) return SQLEndTran(SQL_HANDLE_DBC, record.dbc, SQL_ROLLBACK);
  if (record.env != nullptr) return SQLEndTran(SQL_HANDLE_ENV, record.env, SQL_ROLLBACK);
  return SQL_INVALID_HANDLE;
}

void ClassifyConnectResult(SQLRETURN rc, const ConnectionRecord& record) {
  switch (rc) {
    case SQL_INVALID_HANDLE:
      Console("\n ** FATAL ERROR, Attempting to rollback transaction **\n");
      Console(Rollback(record) == SQL_SUCCESS ? "Rollback Successful, Exiting application\n"
                                              : "Rollback Failed, Exiting application\n");
      break;
    case SQL_SUCCESS:
      break;
    case SQL_SUCCESS_WITH_INFO:
      Console("\n ** Warning Message, application continuing\n");
      break;
    case SQL_NO_DATA:
      Console("\n ** No Data Found ** \n");
      break;
    default:
      Console("\n ** Invalid Return Code ** \n");
      Console(" ** Attempting to rollback transaction **\n");
      Rollback(record);
      break;
  }
}

int ConnectFailed(const char* consoleLine, SQLRETURN rc, const ConnectionRecord& record) {
  Console("%s", consoleLine);
  PrintConnectDiagnostics(SQL_HANDLE_ENV, record.env);
  PrintConnectDiagnostics(SQL_HANDLE_DBC, record.dbc);
  ClassifyConnectResult(rc, record);
  return DB_INIT_ERROR;
}

// SQLDisconnect on a handle whose connect failed: nothing to disconnect, but
// the handles must still be released.
bool NeverConnected(SQLHDBC dbc) {
  SQLCHAR state[6] = {};
  SQLCHAR message[kConnectMessageSize];
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  if (!Succeeded(SQLGetDiagRec(SQL_HANDLE_DBC, dbc, 1, state, &native, message, sizeof message, &length))) {
    return false;
  }
  return std::strcmp(reinterpret_cast<char*>(state), "08003") == 0;
}

int DisconnectFailed(int varNum) {
  Console("\n\nDisconnect DB error\n\n");
  LogError(varNum, "DB error", "Disconnect DB error");
  return DB_DISCONNECT_ERROR;
}

void LogDisconnect(int rc, int varNum, const char* okText, const char* errorText) {
  LogDBLinkChanged(varNum, "DisconnectDB", rc == RESULT_OK ? okText : errorText);
}

int OpenShared(ConnectionRecord& record, const char* dsn, const char* what) {
  if (record.open()) return RESULT_OK;
  int rc = ConnectDB(record, dsn);
  if (rc == RESULT_OK) {
    LogDBLinkChanged(kServerLog, "initDB", Format("init %s DB success", what));
    return RESULT_OK;
  }
  int closed = DisconnectDB(record, kServerLog);
  LogDBLinkChanged(kServerLog, "DisconnectDB",
                   Format(closed == RESULT_OK ? "Disconnect %s DB success" : "Disconnect %s DB error", what));
  return rc;
}

}  // namespace

std::mutex& DsnLock() {
  static std::mutex lock;
  return lock;
}

ConnectionRecord& UserDB() {
  static ConnectionRecord record;
  return record;
}

ConnectionRecord& InfoDB() {
  static ConnectionRecord record;
  return record;
}

bool IsSharedConnection(const ConnectionRecord& record) { return &record == &UserDB() || &record == &InfoDB(); }

bool IsServerDatabase(ConnectionRecord& record) {
  auto lock = LockFor(record);
  if (record.dbc == nullptr) return false;
  char name[64] = {};
  SQLSMALLINT length = 0;
  if (!Succeeded(SQLGetInfo(record.dbc, SQL_DBMS_NAME, name, sizeof name, &length))) return false;
  return std::string_view(name).find("PostgreSQL") != std::string_view::npos;
}

int ConnectDB(ConnectionRecord& record, const std::string& dsn) { return ConnectDB(record, dsn, ""); }

int ConnectDB(ConnectionRecord& record, const std::string& dsn, const std::string& connection) {
  // A record still holding handles would lose them here.
  if (record.env != nullptr || record.dbc != nullptr) DisconnectDB(record, kServerLog);
  record.dsn = dsn;

  SQLHENV env = SQL_NULL_HENV;
  SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  if (Succeeded(rc)) record.env = env;
  if (rc != SQL_SUCCESS) return ConnectFailed("\nSQLAllocHandle Error!!!\n", rc, record);

  rc = SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  if (rc != SQL_SUCCESS) return ConnectFailed("\nSQLSetEnvAttr Error!!!\n", rc, record);

  SQLHDBC dbc = SQL_NULL_HDBC;
  rc = SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  if (Succeeded(rc)) record.dbc = dbc;
  if (rc != SQL_SUCCESS) return ConnectFailed("\nSQLAllocHandle Error!!!\n", rc, record);

  // No lock: the data source file is only ever replaced whole (see
  // db/data_sources.h).
  std::string empty;
  if (fault::InjectFault(fault::Step::kConnect, kServerLog)) {
    rc = SQL_ERROR;
  } else if (connection.empty()) {
    rc = SQLConnect(dbc, Text(dsn), SQL_NTS, Text(empty), SQL_NTS, Text(empty), SQL_NTS);
  } else {
    SQLSMALLINT length = 0;
    rc = SQLDriverConnect(dbc, nullptr, Text(connection), SQL_NTS, nullptr, 0, &length, SQL_DRIVER_NOPROMPT);
  }
  if (!Succeeded(rc)) return ConnectFailed("\nSQLConnect Error!!!\n", rc, record);

  rc = SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
  if (rc != SQL_SUCCESS) return ConnectFailed("\nSQLSetConnectAttr Error!!!\n", rc, record);
  return RESULT_OK;
}

int DisconnectDB(ConnectionRecord& record, int varNum) {
  auto lock = LockFor(record);
  if (record.dbc == nullptr) {
    Console("\ndisconnect error\n");
    // An environment without a connection is of no use to anyone.
    if (record.env != nullptr && SQLFreeHandle(SQL_HANDLE_ENV, record.env) == SQL_SUCCESS) record.env = nullptr;
    return DisconnectFailed(varNum);
  }
  SQLRETURN rc = SQLDisconnect(record.dbc);
  if (!Succeeded(rc) && !NeverConnected(record.dbc)) return DisconnectFailed(varNum);

  if (SQLFreeHandle(SQL_HANDLE_DBC, record.dbc) != SQL_SUCCESS) {
    LogError(varNum, "DB error", "Free connect DB error");
    return DB_FREE_CONNECT_ERROR;
  }
  record.dbc = nullptr;
  if (record.env != nullptr && SQLFreeHandle(SQL_HANDLE_ENV, record.env) != SQL_SUCCESS) {
    LogError(varNum, "DB error", "Free env error");
    return DB_FREE_ENV_ERROR;
  }
  record.env = nullptr;
  return RESULT_OK;
}

int ReportStatementError(void* stmt, int varNum) {
  if (stmt != nullptr) ReportDiagnostics(SQL_HANDLE_STMT, stmt, varNum);
  return RESULT_OK;
}

int ExecuteSQL(ConnectionRecord& record, const std::string& sql, int varNum) {
  auto lock = LockFor(record);
  if (!StatementFits(sql, varNum)) return DB_EXECUTE_ERROR;
  Statement stmt(record.dbc);
  if (!stmt) {
    ReportAllocationFailure(record, varNum);
    EndTransaction(record, SQL_ROLLBACK);
    return DB_EXECUTE_ERROR;
  }
  SQLRETURN rc = ExecDirect(stmt.get(), sql, varNum);
  if (Succeeded(rc)) {
    SQLLEN touched = -1;
    bool noRow = ChangesRows(sql) && Succeeded(SQLRowCount(stmt.get(), &touched)) && touched == 0;
    // A change whose commit failed is gone: it must not be reported done.
    if (!EndTransaction(record, SQL_COMMIT, varNum)) return DB_EXECUTE_ERROR;
    return noRow ? DB_EXECUTE_NO_RESULT : RESULT_OK;
  }
  if (rc == SQL_NO_DATA) {
    if (!EndTransaction(record, SQL_COMMIT, varNum)) return DB_EXECUTE_ERROR;
    return DB_EXECUTE_NO_RESULT;
  }
  ReportStatementError(stmt.get(), varNum);
  // Whatever the failure, no part of the statement may stay pending.
  EndTransaction(record, SQL_ROLLBACK);
  return DB_EXECUTE_ERROR;
}

int getRowCount(ConnectionRecord& record, const std::string& table, const std::string& condition, int varNum) {
  auto lock = LockFor(record);
  std::string sql = CountStatement(table, condition);
  if (!StatementFits(sql, varNum)) return DB_EXECUTE_ERROR;
  Statement stmt(record.dbc);
  NoteInfo(stmt.allocResult());
  if (!stmt) {
    ReportAllocationFailure(record, varNum);
    EndTransaction(record, SQL_COMMIT);
    return DB_EXECUTE_ERROR;
  }
  LogSQL(varNum, "getRowCount", sql);
  NoteInfo(SQLSetStmtAttr(stmt.get(), SQL_ATTR_ASYNC_ENABLE, reinterpret_cast<SQLPOINTER>(SQL_ASYNC_ENABLE_OFF), 0));
  NoteInfo(SQLSetStmtAttr(stmt.get(), SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(kCountTimeoutSeconds), 0));

  SQLINTEGER count = 0;
  SQLLEN indicator = 0;
  SQLRETURN rc = ExecDirect(stmt.get(), sql, varNum);
  if (Succeeded(rc)) rc = SQLBindCol(stmt.get(), 1, SQL_C_LONG, &count, sizeof count, &indicator);
  if (Succeeded(rc)) rc = Fetch(stmt.get(), varNum);
  int result = count;
  if (rc == SQL_NO_DATA) {
    result = DB_EXECUTE_NO_RESULT;
  } else if (!Succeeded(rc)) {
    ReportStatementError(stmt.get(), varNum);
    result = DB_EXECUTE_ERROR;
  }
  stmt.CloseCursor();
  EndTransaction(record, SQL_COMMIT);
  return result;
}

namespace {
// Runs a select and fetches its first row: 1 with the row read, -2 when
// there is none, -1 on a failure (reported). On every result but 1 the
// statement's result set is already closed and the transaction ended.
// `stmt` is allocated by the caller on the record's connection.
int SelectFirstRow(ConnectionRecord& record, const std::string& sql, const char* label, int columns, Row& row,
                   int varNum, Statement& stmt) {
  if (!StatementFits(sql, varNum)) return DB_EXECUTE_ERROR;
  if (!stmt) {
    ReportAllocationFailure(record, varNum);
    EndTransaction(record, SQL_COMMIT);
    return DB_EXECUTE_ERROR;
  }
  LogSQL(varNum, label, sql);
  SQLRETURN rc = ExecDirect(stmt.get(), sql, varNum);
  if (Succeeded(rc)) rc = Fetch(stmt.get(), varNum);
  if (Succeeded(rc)) {
    ReadRow(stmt.get(), columns, row);
    return RESULT_OK;
  }
  int result = DB_EXECUTE_NO_RESULT;
  if (rc != SQL_NO_DATA) {
    ReportStatementError(stmt.get(), varNum);
    result = DB_EXECUTE_ERROR;
  }
  stmt.CloseCursor();
  EndTransaction(record, SQL_COMMIT);
  return result;
}
}  // namespace

int SelectMatchingRecords(ConnectionRecord& record, const std::string& table, int columns, Row& row,
                          const std::string& condition, int varNum, const std::string& columnList) {
  auto lock = LockFor(record);
  Statement stmt(record.dbc);
  int result = SelectFirstRow(record, SelectStatement(table, condition, "", columnList), "SelectMatchingRecords",
                              columns, row, varNum, stmt);
  if (result == RESULT_OK) {
    stmt.CloseCursor();
    EndTransaction(record, SQL_COMMIT);
  }
  return result;
}

int SelectFirstMatchingRecord(Cursor& cursor, ConnectionRecord& record, const std::string& table, int columns,
                              Row& row, const std::string& condition, int varNum, const std::string& ordering) {
  cursor.Close();
  auto lock = LockFor(record);
  Statement stmt(record.dbc);
  int result = SelectFirstRow(record, SelectStatement(table, condition, ordering), "SelectFirstMatchingRecord",
                              columns, row, varNum, stmt);
  if (result == RESULT_OK) {
    cursor.stmt_ = stmt.Release();
    cursor.record_ = &record;
    cursor.lock_ = std::move(lock);
  }
  return result;
}

int FetchNextRecord(Cursor& cursor, int columns, Row& row, int varNum) {
  if (!cursor.open()) {
    LogError(varNum, "DB error", "DB error:no open cursor to fetch from");
    return DB_EXECUTE_ERROR;
  }
  SQLRETURN rc = Fetch(cursor.stmt_, varNum);
  if (rc == SQL_NO_DATA) return DB_EXECUTE_NO_RESULT;
  if (!Succeeded(rc)) {
    ReportStatementError(cursor.stmt_, varNum);
    return DB_EXECUTE_ERROR;
  }
  ReadRow(cursor.stmt_, columns, row);
  return RESULT_OK;
}

void Cursor::Close() {
  if (stmt_ != nullptr) {
    SQLFreeStmt(stmt_, SQL_CLOSE);
    if (record_ != nullptr) EndTransaction(*record_, SQL_COMMIT);
    NoteHousekeeping(SQLFreeHandle(SQL_HANDLE_STMT, stmt_));
  }
  stmt_ = nullptr;
  record_ = nullptr;
  if (lock_.owns_lock()) lock_.unlock();
  lock_ = std::unique_lock<std::recursive_mutex>();
}

Transaction::Transaction(ConnectionRecord* record) {
  if (record == nullptr || !record->open() || IsSharedConnection(*record)) return;
  record_ = record;
  if (record_->transactionDepth++ == 0) record_->transactionFailed = false;
}

Transaction::~Transaction() {
  if (record_ == nullptr) return;
  if (--record_->transactionDepth > 0) {
    record_->transactionFailed = true;  // the enclosing transaction cannot commit a part
  } else if (record_->dbc != nullptr) {
    NoteHousekeeping(SQLEndTran(SQL_HANDLE_DBC, record_->dbc, SQL_ROLLBACK));
  }
}

int Transaction::Commit(int varNum) {
  if (record_ == nullptr) return RESULT_OK;
  ConnectionRecord* record = record_;
  record_ = nullptr;
  if (--record->transactionDepth > 0) return record->transactionFailed ? DB_EXECUTE_ERROR : RESULT_OK;
  if (record->transactionFailed || record->dbc == nullptr) return DB_EXECUTE_ERROR;
  SQLRETURN rc = fault::InjectFault(fault::Step::kCommit, varNum) ? SQL_ERROR
                                                                  : SQLEndTran(SQL_HANDLE_DBC, record->dbc, SQL_COMMIT);
  if (Succeeded(rc)) return RESULT_OK;
  LogError(varNum, "DB error", "Commit of a transaction failed");
  NoteHousekeeping(SQLEndTran(SQL_HANDLE_DBC, record->dbc, SQL_ROLLBACK));
  return DB_EXECUTE_ERROR;
}

PreparedInsert::PreparedInsert(ConnectionRecord& record, std::string sql, int columns)
    : record_(record), sql_(std::move(sql)), values_(static_cast<std::size_t>(std::max(columns, 0))) {}

PreparedInsert::~PreparedInsert() {
  if (stmt_ != nullptr) NoteHousekeeping(SQLFreeHandle(SQL_HANDLE_STMT, stmt_));
}

bool PreparedInsert::Prepare(int varNum) {
  if (!StatementFits(sql_, varNum)) return false;
  Statement stmt(record_.dbc);
  if (!stmt) {
    ReportAllocationFailure(record_, varNum);
    return false;
  }
  SQLRETURN rc = SQLPrepare(stmt.get(), Text(sql_), SQL_NTS);
  for (std::size_t i = 0; Succeeded(rc) && i < values_.size(); ++i) {
    rc = SQLBindParameter(stmt.get(), static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0,
                          0, &values_[i], 0, nullptr);
  }
  if (!Succeeded(rc)) {
    ReportStatementError(stmt.get(), varNum);
    return false;
  }
  stmt_ = stmt.Release();
  return true;
}

int PreparedInsert::Execute(const std::uint8_t* row, int varNum) {
  auto lock = LockFor(record_);
  if (stmt_ == nullptr && !Prepare(varNum)) {
    EndTransaction(record_, SQL_ROLLBACK);
    return DB_EXECUTE_ERROR;
  }
  for (std::size_t i = 0; i < values_.size(); ++i) values_[i] = row[i];
  SQLRETURN rc = fault::InjectFault(fault::Step::kStatement, varNum) ? SQL_ERROR : SQLExecute(stmt_);
  if (Succeeded(rc)) return EndTransaction(record_, SQL_COMMIT, varNum) ? RESULT_OK : DB_EXECUTE_ERROR;
  ReportStatementError(stmt_, varNum);
  EndTransaction(record_, SQL_ROLLBACK);
  return DB_EXECUTE_ERROR;
}

int ClearTable(const std::string& table, const std::string& condition, int varNum) {
  std::string sql = "Delete from " + table;
  if (!condition.empty()) sql += " where " + condition;
  LogSQL(varNum, "ClearTable", sql);
  ConnectionRecord* record = nullptr;
  if (varNum >= 0 && varNum < kSlotCount) {
    Slot& slot = SlotAt(varNum);
    if (slot.state == state::kOffline) record = &slot.db[kOfflineDb];
    if (slot.state == state::kOnline) record = &slot.db[kWorkDb];
    if (slot.state == state::kDownload) record = &slot.db[kDownloadDb];
  }
  if (record == nullptr) {
    LogError(varNum, "User state error",
             Format("User state:%s error, not offline or AllDownLoad or online",
                    varNum >= 0 && varNum < kSlotCount ? SlotStateText(varNum) : ""));
    return USER_STATE_ERROR;
  }
  int rc = ExecuteSQL(*record, sql, varNum);
  if (rc == RESULT_OK || rc == DB_EXECUTE_NO_RESULT) return RESULT_OK;
  LogError(varNum, "DB error", Format("Clear table:%s tableName error", table.c_str()));
  return CLEAR_TABLE_ERROR;
}

void CommitConnection(ConnectionRecord& record) {
  auto lock = LockFor(record);
  EndTransaction(record, SQL_COMMIT);
}

int initDB() {
  int rc = OpenShared(UserDB(), kUserDsn, "user");
  if (rc != RESULT_OK) return rc;
  return OpenShared(InfoDB(), kInfoDsn, "info");
}

void CloseUserAndInfoDB(int varNum) {
  LogDisconnect(DisconnectDB(UserDB(), varNum), varNum, "Disconnect user DB success", "Disconnect user DB error");
  LogDisconnect(DisconnectDB(InfoDB(), varNum), varNum, "Disconnect info DB success", "Disconnect info DB error");
}

int ResetConnectState(const std::string& userId, int varNum) {
  std::lock_guard lock(DatabaseLock());
  std::string sql = "Update userInfo set connect_state = 0 where user_id = '" + SqlText(userId) + "'";
  LogSQL(varNum, "UpdateUser", sql);
  if (ExecuteSQL(UserDB(), sql, varNum) == RESULT_OK) return RESULT_OK;
  LogError(varNum, "DB error", "Update user info table error");
  return DB_UPDATE_ERROR;
}

}  // namespace db
