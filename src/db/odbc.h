#pragma once
// The ODBC access layer: connection records, one statement per transaction,
// counting, selecting, cursor walks and diagnostics. Knows nothing of table
// contents; callers build the SQL text.
#include <string>
#include <vector>

#include "db/connection_record.h"

namespace db {


// A selected row: column texts in column order (NULL or unreadable -> "").
using Row = std::vector<std::string>;

constexpr std::size_t kColumnTextMax = 299;  // a column text is cut to this length

int ConnectDB(ConnectionRecord& record, const std::string& dsn);  // 1; 215
int DisconnectDB(ConnectionRecord& record, int varNum);            // 1; 226; 227; 228
int ExecuteSQL(ConnectionRecord& record, const std::string& sql, int varNum);  // 1; -2 no row touched; -1
int getRowCount(ConnectionRecord& record, const std::string& table, const std::string& condition, int varNum);
int SelectMatchingRecords(ConnectionRecord& record, const std::string& table, int columns, Row& row,
                          const std::string& condition, int varNum);  // 1; -2; -1

// An open cursor handed from SelectFirstMatchingRecord to its caller. Its
// destructor commits on the connection and releases the statement, so every
// exit of a walk ends it properly.
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
};

int SelectFirstMatchingRecord(Cursor& cursor, ConnectionRecord& record, const std::string& table, int columns,
                              Row& row, const std::string& condition, int varNum, const std::string& ordering);
int FetchNextRecord(Cursor& cursor, int columns, Row& row, int varNum);  // 1; -2 end; -1

// The process-wide user ("WebUser") and info ("WebInfo") connections. Whole
// operations on them run under DatabaseLock() (frame/log.h).
ConnectionRecord& UserDB();
ConnectionRecord& InfoDB();
int initDB();
void CloseUserAndInfoDB(int varNum);

// "Update userInfo set connect_state = 0 where user_id = '%s'"; 1; 217.
int ResetConnectState(const std::string& userId, int varNum);

// Commits (or rolls back) the connection's open transaction; for cursor walks
// and the start-up repair.
void CommitConnection(ConnectionRecord& record);

}  // namespace db
