#pragma once
// A connection by connection string (no data source), for tools that prepare
// a database server before any data source names it. Autocommit is off:
// statements between "BEGIN" and "COMMIT" (or "ROLLBACK") are one
// transaction, every other statement commits on its own. Statements use "?"
// for text parameters.
#include <sql.h>
#include <sqlext.h>

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

 private:
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
