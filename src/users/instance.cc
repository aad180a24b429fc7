// Several COMM instances may share one user database on a server. A user's
// connect_state mark is set by the instance that serves the user; the table
// user_instance (user_id, instance_id) records which one, beside userinfo
// rather than in it, so that the columns the web front end reads stay as
// they are. Start-up clears only the marks of its own instance's users, and
// a takeover of a system held through another instance clears the old
// user's mark instead of giving up a slot that is not here.
#include <cstdlib>
#include <mutex>
#include <string>

#include "db/odbc.h"
#include "db/quiet_execute.h"
#include "db/user_writers.h"
#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/text.h"
#include "platform/host.h"
#include "users/user_internal.h"
#include "users/users.h"

namespace users {

namespace {

constexpr const char* kInstanceTable = "user_instance";
constexpr std::size_t kInstanceIdWidth = 255;
constexpr const char* kCreateInstanceTable =
    "CREATE TABLE IF NOT EXISTS user_instance (user_id varchar(16) NOT NULL PRIMARY KEY, "
    "instance_id varchar(255) DEFAULT '')";

std::string MakeInstanceId() {
  const char* given = std::getenv("TAVREL_INSTANCE");
  std::string id = given != nullptr && *given != '\0' ? given
                                                        : platform::HostName() + ":" + platform::CurrentDirectory();
  if (id.size() > kInstanceIdWidth) id.resize(kInstanceIdWidth);
  return id;
}

}  // namespace

const std::string& InstanceId() {
  static const std::string id = MakeInstanceId();
  return id;
}

std::string OwnMarksCondition() {
  std::string me = SqlText(InstanceId());
  return "(user_id in (select user_id from user_instance where instance_id = '" + me +
         "') or user_id not in (select user_id from user_instance))";
}

int PrepareInstanceTable(int varNum) {
  db::ConnectionRecord& userDb = db::UserDB();
  if (!userDb.open()) return DB_EXECUTE_ERROR;
  LogSQL(varNum, "PrepareInstanceTable", kCreateInstanceTable);
  return db::ExecuteSQL(userDb, kCreateInstanceTable, varNum) == RESULT_OK ? RESULT_OK : DB_EXECUTE_ERROR;
}

int ClaimUserMark(const std::string& userId, int varNum) {
  // One statement on both back ends: a second instance claiming the same user
  // at once replaces the row instead of failing on the key.
  std::string sql = Format("insert into %s (user_id, instance_id) values ('%s', '%s') on conflict (user_id) do "
                           "update set instance_id = excluded.instance_id",
                           kInstanceTable, SqlText(userId).c_str(), SqlText(InstanceId()).c_str());
  LogSQL(varNum, "ClaimUserMark", sql);
  std::lock_guard lock(DatabaseLock());
  if (db::ExecuteSQL(db::UserDB(), sql, varNum) == RESULT_OK) return RESULT_OK;
  LogError(varNum, "DB error", "SQL execution error when update user_instance table");
  return DB_UPDATE_ERROR;
}

int MarkHeldElsewhere(const std::string& userId, int varNum) {
  std::string condition = UserCondition(userId) + " and instance_id <> '" + SqlText(InstanceId()) + "'";
  int count = db::getRowCount(db::UserDB(), kInstanceTable, condition, varNum);
  if (count < 0) {
    LogError(varNum, "DB error", "Get row count from user_instance table error");
    return DB_EXECUTE_ERROR;
  }
  return count > 0 ? 1 : 0;
}

}  // namespace users
