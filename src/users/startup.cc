// Start-up work on the user database: bring an old userinfo layout up to
// date, and clear the connection marks that a previous run left behind.
#include <mutex>
#include <string>
#include <vector>

#include "db/odbc.h"
#include "db/quiet_execute.h"
#include "db/user_writers.h"
#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/text.h"
#include "users/user_internal.h"
#include "users/users.h"

namespace users {

namespace {

constexpr const char* kProbeCurrentLayout = "Select * From userinfo Where user_level = 0";

// The old layout kept the level as "level" and the personal columns in
// another place; they are dropped (their data is lost) and added again at the
// end, where rows are read by position.
constexpr const char* kDropOldColumns[] = {
    "alter table userinfo drop [level]",   "alter table userinfo drop name",    "alter table userinfo drop phone",
    "alter table userinfo drop mobile",    "alter table userinfo drop address", "alter table userinfo drop job",
    "alter table userinfo drop email",
};
constexpr const char* kAddCurrentColumns[] = {
    "alter table userinfo add user_level byte",  "alter table userinfo add name varchar(30)",
    "alter table userinfo add phone varchar(30)", "alter table userinfo add mobile varchar(30)",
    "alter table userinfo add address varchar(60)", "alter table userinfo add job varchar(60)",
    "alter table userinfo add email varchar(30)",
};

}  // namespace

int CheckUserInfoFields(int varNum) {
  db::ConnectionRecord& userDb = db::UserDB();
  if (!userDb.open()) return DB_EXECUTE_ERROR;
  std::lock_guard lock(DatabaseLock());
  if (db::ExecuteQuietly(userDb, kProbeCurrentLayout) == RESULT_OK) {
    db::CommitConnection(userDb);
    return PrepareInstanceTable(varNum);
  }
  for (const char* sql : kDropOldColumns) {
    LogSQL(varNum, "CheckUserInfoFields", sql);
    db::ExecuteQuietly(userDb, sql);
  }
  for (const char* sql : kAddCurrentColumns) {
    LogSQL(varNum, "CheckUserInfoFields", sql);
    if (db::ExecuteSQL(userDb, sql, varNum) != RESULT_OK) {
      db::CommitConnection(userDb);
      return DB_EXECUTE_ERROR;
    }
  }
  db::CommitConnection(userDb);
  return PrepareInstanceTable(varNum);
}

int ClearConnectStates(int varNum) {
  // Every marked user is collected, however many: a mark left standing would
  // refuse that user's next connect.
  // A user database on a server may be shared with other running instances,
  // whose users' marks are theirs to clear; a file belongs to this one alone.
  std::string condition = "connect_state <> 0";
  if (db::IsServerDatabase(db::UserDB())) condition += " and " + OwnMarksCondition();
  std::vector<std::string> ids;
  int walk;
  {
    db::Cursor cursor;
    db::Row row;
    walk = db::SelectFirstMatchingRecord(cursor, db::UserDB(), db::kUserTable, db::kUserColumns, row,
                                         condition, varNum, "");
    if (walk == DB_EXECUTE_NO_RESULT) return RESULT_OK;
    if (walk != RESULT_OK) {
      LogError(varNum, "DB error", "An error occurred when get user ID from userInfo table");
      return -5;
    }
    while (walk == RESULT_OK) {
      ids.push_back(row.empty() ? std::string() : row[db::usercol::kUserId]);
      walk = db::FetchNextRecord(cursor, db::kUserColumns, row, varNum);
    }
  }
  if (walk == DB_EXECUTE_ERROR) return DB_EXECUTE_ERROR;

  for (const std::string& id : ids) {
    std::string sql = "Update userinfo set connect_state = 0 where user_id = '" + SqlText(id) + "'";
    LogSQL(varNum, "ClearConnectStates", sql);
    int result;
    {
      std::lock_guard lock(DatabaseLock());
      result = db::ExecuteSQL(db::UserDB(), sql, varNum);
    }
    // A row that is gone, or was cleared meanwhile, needs nothing more.
    if (result != RESULT_OK && result != DB_EXECUTE_NO_RESULT) {
      LogError(varNum, "DB error", "SQL execution error when update userinfo table");
      return -5;
    }
  }
  return RESULT_OK;
}

}  // namespace users
