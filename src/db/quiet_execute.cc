#include "db/quiet_execute.h"

#include <sql.h>
#include <sqlext.h>

#include <mutex>

#include "frame/log.h"

namespace db {

int ExecuteQuietly(ConnectionRecord& record, const std::string& sql) {
  if (!record.open()) return -1;
  // The statement and its commit must not interleave with another thread's
  // work on a shared connection: a commit covers the whole connection.
  std::lock_guard lock(DatabaseLock());
  auto dbc = static_cast<SQLHDBC>(record.dbc);
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt))) return -1;
  SQLRETURN rc = SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS);
  bool ran = SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA;
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  SQLEndTran(SQL_HANDLE_DBC, dbc, ran ? SQL_COMMIT : SQL_ROLLBACK);
  return ran ? 1 : -1;
}

}  // namespace db
