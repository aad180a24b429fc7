#include "support/pg_database.h"

#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "setup/postgres.h"

namespace testsupport {
namespace {

SQLCHAR* Chars(const std::string& s) { return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s.c_str())); }

std::string Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  SQLCHAR state[6], message[1024];
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(SQLGetDiagRec(type, handle, 1, state, &native, message, sizeof message, &length))) return "?";
  return reinterpret_cast<char*>(message);
}

// In PostgreSQL mode, every test skips when there is no server to use.
class ServerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string why;
    if (TestServerUrl(why).empty()) GTEST_SKIP() << why;
  }
};

[[maybe_unused]] const bool registered = [] {
  if (UserDbOnServer()) ::testing::AddGlobalTestEnvironment(new ServerEnvironment);
  return true;
}();

}  // namespace

bool UserDbOnServer() {
  const char* mode = std::getenv("TAVREL_TEST_USER_DB");
  return mode != nullptr && std::string(mode) == "postgresql";
}

std::string TestServerUrl(std::string& why) {
  const char* url = std::getenv("TAVREL_TEST_PG");
  if (url == nullptr || *url == '\0') {
    why = "no PostgreSQL server for the tests (TAVREL_TEST_PG unset; scripts/test.sh starts one)";
    return {};
  }
  if (setup::FindPsqlOdbcDriver().empty()) {
    why = "the PostgreSQL ODBC driver (odbc-postgresql) is not installed";
    return {};
  }
  return url;
}

bool ServerQuery(const std::string& url, const std::string& sql, std::vector<std::map<std::string, std::string>>& rows,
                 std::string& why, std::vector<std::string>* columnNames) {
  setup::PgTarget target;
  if (!setup::ParsePgUrl(url, target, why)) return false;
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  bool ok = SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)) &&
            SQL_SUCCEEDED(SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0)) &&
            SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc));
  std::string connection = setup::PgConnectionString(target, setup::FindPsqlOdbcDriver());
  if (ok && !SQL_SUCCEEDED(SQLDriverConnect(dbc, nullptr, Chars(connection), SQL_NTS, nullptr, 0, nullptr,
                                            SQL_DRIVER_NOPROMPT))) {
    why = "connect: " + Diagnostics(SQL_HANDLE_DBC, dbc);
    ok = false;
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    dbc = SQL_NULL_HDBC;
  }
  if (ok) ok = SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt));
  if (ok) {
    SQLRETURN rc = SQLExecDirect(stmt, Chars(sql), SQL_NTS);
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
      why = Diagnostics(SQL_HANDLE_STMT, stmt) + " in: " + sql;
      ok = false;
    }
  }
  SQLSMALLINT columns = 0;
  if (ok && SQL_SUCCEEDED(SQLNumResultCols(stmt, &columns)) && columns > 0) {
    std::vector<std::string> names;
    for (SQLSMALLINT c = 1; c <= columns; ++c) {
      SQLCHAR name[256];
      SQLSMALLINT nameLength = 0, type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      SQLDescribeCol(stmt, c, name, sizeof name, &nameLength, &type, &size, &digits, &nullable);
      names.emplace_back(reinterpret_cast<char*>(name));
    }
    if (columnNames != nullptr) *columnNames = names;
    while (SQL_SUCCEEDED(SQLFetch(stmt))) {
      auto& row = rows.emplace_back();
      for (SQLSMALLINT c = 1; c <= columns; ++c) {
        char buffer[1024] = {};
        SQLLEN indicator = 0;
        SQLGetData(stmt, c, SQL_C_CHAR, buffer, sizeof buffer, &indicator);
        row[names[c - 1]] = indicator == SQL_NULL_DATA ? "" : buffer;
      }
    }
  }
  if (stmt != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  if (dbc != SQL_NULL_HDBC) {
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  }
  if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
  return ok;
}

std::string CreateServerDatabase(std::string& why) {
  std::string server = TestServerUrl(why);
  if (server.empty()) return {};
  static std::atomic<int> counter{0};
  std::string name = "tavrel_t" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
  std::vector<std::map<std::string, std::string>> rows;
  // psqlODBC commits each statement by itself (autocommit), as CREATE
  // DATABASE needs.
  ServerQuery(server + "/postgres", "DROP DATABASE IF EXISTS " + name, rows, why);
  if (!ServerQuery(server + "/postgres", "CREATE DATABASE " + name, rows, why)) return {};
  return server + "/" + name;
}

void DropServerDatabase(const std::string& url) {
  std::size_t slash = url.rfind('/');
  if (slash == std::string::npos) return;
  std::vector<std::map<std::string, std::string>> rows;
  std::string why;
  ServerQuery(url.substr(0, slash) + "/postgres", "DROP DATABASE IF EXISTS " + url.substr(slash + 1) + " WITH (FORCE)",
              rows, why);
}

}  // namespace testsupport
