#pragma once
// A connection by connection string (no data source), for tools that prepare
// a database server before any data source names it. Autocommit is off:
// statements between "BEGIN" and "COMMIT" (or "ROLLBACK") are one
// transaction, every other statement commits on its own. Statements use "?"
// for text parameters.
#include <sql.h>
#include <sqlext.h>

#include <cstddef>
#include <string>
#include <vector>

namespace db {

class DriverConnection {
 public:
  explicit DriverConnection(const std::string& connection) {
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_)) ||
        !SQL_SUCCEEDED(SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0)) ||
        !SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_))) {
      error_ = "cannot allocate ODBC handles";
      return;
    }
    SQLRETURN rc = SQLDriverConnect(dbc_, nullptr, Chars(connection), SQL_NTS, nullptr, 0, nullptr,
                                    SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
      error_ = "cannot connect: " + Diagnostics(SQL_HANDLE_DBC, dbc_);
      return;
    }
    connected_ = true;
    SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
  }
  DriverConnection(const DriverConnection&) = delete;
  DriverConnection& operator=(const DriverConnection&) = delete;
  ~DriverConnection() {
    if (connected_) {
      SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
      SQLDisconnect(dbc_);
    }
    if (dbc_ != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    if (env_ != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }

  bool ok() const { return connected_ && error_.empty(); }
  const std::string& error() const { return error_; }
  void SetError(const std::string& error) { error_ = error; }

  bool Exec(const std::string& sql) {
    if (sql == "BEGIN") {
      grouped_ = true;
      return true;
    }
    if (sql == "COMMIT" || sql == "ROLLBACK") {
      grouped_ = false;
      if (SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, dbc_, sql == "COMMIT" ? SQL_COMMIT : SQL_ROLLBACK))) return true;
      error_ = sql + " failed: " + Diagnostics(SQL_HANDLE_DBC, dbc_);
      return false;
    }
    return Run(sql, {}) >= 0;
  }

  int Run(const std::string& sql, const std::vector<std::string>& values) {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt))) {
      error_ = "cannot allocate a statement: " + Diagnostics(SQL_HANDLE_DBC, dbc_);
      return -1;
    }
    std::vector<SQLLEN> lengths(values.size());
    SQLRETURN rc = SQL_SUCCESS;
    for (std::size_t i = 0; i < values.size() && SQL_SUCCEEDED(rc); ++i) {
      lengths[i] = static_cast<SQLLEN>(values[i].size());
      rc = SQLBindParameter(stmt, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR,
                            std::max<SQLULEN>(values[i].size(), 1), 0, Chars(values[i]), lengths[i], &lengths[i]);
    }
    if (SQL_SUCCEEDED(rc)) rc = SQLExecDirect(stmt, Chars(sql), SQL_NTS);
    SQLLEN changed = 0;
    int result = -1;
    if (rc == SQL_NO_DATA) {
      result = 0;
    } else if (SQL_SUCCEEDED(rc)) {
      result = SQL_SUCCEEDED(SQLRowCount(stmt, &changed)) && changed > 0 ? static_cast<int>(changed) : 0;
    } else {
      error_ = Diagnostics(SQL_HANDLE_STMT, stmt) + " in: " + sql.substr(0, 80);
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    if (!grouped_) SQLEndTran(SQL_HANDLE_DBC, dbc_, result < 0 ? SQL_ROLLBACK : SQL_COMMIT);
    return result;
  }

  // The rows a query returns, each as the texts of its first `columns`
  // columns (NULL -> ""). False with error() set when the query fails.
  bool Select(const std::string& sql, std::size_t columns, std::vector<std::vector<std::string>>& rows) {
    rows.clear();
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt))) {
      error_ = "cannot allocate a statement: " + Diagnostics(SQL_HANDLE_DBC, dbc_);
      return false;
    }
    SQLRETURN rc = SQLExecDirect(stmt, Chars(sql), SQL_NTS);
    while (SQL_SUCCEEDED(rc)) {
      rc = SQLFetch(stmt);
      if (!SQL_SUCCEEDED(rc)) break;
      std::vector<std::string>& row = rows.emplace_back(columns);
      for (std::size_t c = 0; c < columns && SQL_SUCCEEDED(rc); ++c) rc = ReadText(stmt, c + 1, row[c]);
    }
    bool ok = rc == SQL_NO_DATA;
    if (!ok) error_ = Diagnostics(SQL_HANDLE_STMT, stmt) + " in: " + sql.substr(0, 80);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    // A reader keeps no transaction open: a file stays free for its writers.
    if (!grouped_) SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
    return ok;
  }

 private:
  // A column's whole text, read in parts when it is longer than the buffer.
  static SQLRETURN ReadText(SQLHSTMT stmt, std::size_t column, std::string& text) {
    text.clear();
    char part[256];
    for (;;) {
      SQLLEN length = 0;
      SQLRETURN rc = SQLGetData(stmt, static_cast<SQLUSMALLINT>(column), SQL_C_CHAR, part, sizeof part, &length);
      if (rc == SQL_NO_DATA) return SQL_SUCCESS;
      if (!SQL_SUCCEEDED(rc)) return rc;
      if (length == SQL_NULL_DATA) return SQL_SUCCESS;
      // Cut short: the buffer is full but for its terminating zero.
      bool more = rc == SQL_SUCCESS_WITH_INFO && (length == SQL_NO_TOTAL || length >= static_cast<SQLLEN>(sizeof part));
      text.append(part, more ? sizeof part - 1 : static_cast<std::size_t>(length));
      if (!more) return SQL_SUCCESS;
    }
  }

  static SQLCHAR* Chars(const std::string& s) { return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s.c_str())); }

  static std::string Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    std::string out;
    SQLCHAR state[6];
    SQLCHAR message[1024];
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    for (SQLSMALLINT i = 1;
         SQL_SUCCEEDED(SQLGetDiagRec(type, handle, i, state, &native, message, sizeof message, &length)); ++i) {
      if (!out.empty()) out += "; ";
      out += reinterpret_cast<char*>(message);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out.empty() ? "unknown error" : out;
  }

  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  bool connected_ = false;
  bool grouped_ = false;
  std::string error_;
};

}  // namespace db
