// The user's own row, kept up to date by the requests that log a user in and
// out, connect and disconnect, and open and close offline files.
#include <mutex>
#include <string>

#include "db/files.h"
#include "db/odbc.h"
#include "db/user_writers.h"
#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/text.h"
#include "users/request_layout.h"
#include "users/user_internal.h"
#include "users/users.h"

namespace users {

namespace {

// What a request does to the row.
enum class Change { kNone, kDisconnect, kLogin, kLogout, kConnect, kOfflineOpen, kOfflineClose };

Change ChangeOf(std::uint8_t type, std::uint16_t messageId) {
  if (type == web::REQ_PGC) return messageId == web::kDisconnectId ? Change::kDisconnect : Change::kNone;
  if (type != web::REQ_CONTROL) return Change::kNone;
  switch (messageId) {
    case web::LOGIN:
    case web::LOGIN_RESET: return Change::kLogin;
    case web::LOGOUT: return Change::kLogout;
    case web::CONNECT_SYSTEM:
    case web::TAKEOVER_SYSTEM: return Change::kConnect;
    case web::FILE_CREATE:
    case web::FILE_OPEN: return Change::kOfflineOpen;
    case web::FILE_CLOSE: return Change::kOfflineClose;
    default: return Change::kNone;
  }
}

// The user whose row the request changes: from the message head, or from
// the data where the request names the user itself.
std::string RowUserId(const web::WebMsg& request, Change change) {
  switch (change) {
    case Change::kLogin:
    case Change::kLogout: return FieldText(request.data + layout::kLoginUserId, layout::kIdWidth);
    case Change::kNone: return {};
    default: return request.user();
  }
}

std::string DataText(const web::WebMsg& request, layout::ExtField field) {
  return FieldText(request.data + field.offset, field.width);
}

void ApplyChange(db::UserRecord& user, const web::WebMsg& request, Change change) {
  switch (change) {
    case Change::kDisconnect:
      user.connect_state = 0;
      break;
    case Change::kLogin:
      user.session_id = FieldText(request.data + layout::kLoginSessionId, layout::kSessionWidth);
      user.ip = FieldText(request.data + layout::kLoginAddress, layout::kAddressWidth);
      user.login_state = 1;
      user.connect_state = 0;
      user.login_count += 1;
      user.login_time = LocalTimeText();
      break;
    case Change::kLogout:
      user.login_state = 0;
      user.connect_state = 0;
      break;
    case Change::kConnect:
      user.connect_state = 1;
      user.link_type = request.data[layout::kConnectLinkType];
      for (int i = 0; i < db::kLinkParams; ++i) user.connect_info[i] = request.data[layout::kConnectParams + i];
      user.connect_time = LocalTimeText();
      break;
    case Change::kOfflineOpen:
      user.connect_offline = db::FileNameOf(FieldText(request.data + layout::kOfflineFile, layout::kOfflineFileWidth));
      user.connect_state = 2;
      user.connect_time = LocalTimeText();
      break;
    case Change::kOfflineClose:
      user.connect_offline = db::FileNameOf(FieldText(request.data + layout::kOfflineFile, layout::kOfflineFileWidth));
      user.connect_state = 0;
      break;
    case Change::kNone:
      break;
  }
}

// A logout is honoured only from the session that logged in.
int CheckLogoutSession(const web::WebMsg& request, const std::string& userId, int varNum) {
  int same = CheckSessionID(request, userId, varNum);
  if (same == 0) {
    LogError(varNum, "log out error", "different session ID when log out");
    return DIFFERENT_SESSION_ID;
  }
  if (same != 1) {
    LogError(varNum, "DB error", "get session ID error");
    return same;
  }
  return RESULT_OK;
}

int ReadUserRow(const std::string& userId, db::UserRecord& user, int varNum) {
  db::Row row;
  int result =
      db::SelectMatchingRecords(db::UserDB(), db::kUserTable, db::kUserColumns, row, UserCondition(userId), varNum);
  if (result != RESULT_OK) return result;
  user = db::UserRecord::FromRow(row);
  return RESULT_OK;
}

// The long user record: the user's password and personal data.
int UpdateUserExtended(const web::WebMsg& request, int varNum) {
  std::string userId = DataText(request, layout::kExtUserId);
  std::lock_guard lock(DatabaseLock());
  int count = db::getRowCount(db::UserDB(), db::kUserTable, UserCondition(userId), varNum);
  if (count < 0) {
    LogError(varNum, "DB error", "Get row count error");
    return ROW_COUNT_ERROR;
  }
  if (count == 0) {
    LogError(varNum, "DB error", Format("no user:%s info when update", userId.c_str()));
    return DB_UPDATE_ERROR_NO_RECORD;
  }
  if (count > 1) {
    LogError(varNum, "DB error", Format("multi user:%s info when update", userId.c_str()));
    return DB_UPDATE_ERROR_MULTI_RECORD;
  }
  db::UserRecord user;
  int result = ReadUserRow(userId, user, varNum);
  if (result != RESULT_OK) return result;
  user.user_pwd = DataText(request, layout::kExtPassword);
  user.name = DataText(request, layout::kExtName);
  user.phone = DataText(request, layout::kExtPhone);
  user.mobile = DataText(request, layout::kExtMobile);
  user.address = DataText(request, layout::kExtAddress);
  user.job = DataText(request, layout::kExtJob);
  user.email = DataText(request, layout::kExtEmail);
  result = db::UpdateUser(user, varNum);
  if (result != RESULT_OK) {
    LogError(varNum, "DB error", Format("SQL execution error when insert userinfo:%s table", userId.c_str()));
  }
  return result;
}

int UpdateOwnRow(const web::WebMsg& request, Change change, const std::string& userId, std::uint16_t messageId,
                 int varNum) {
  // Count, read and write stay together, so that two requests for the same
  // row (a login beside a connect) cannot lose one another's change.
  std::lock_guard lock(DatabaseLock());
  std::string condition = change == Change::kNone ? std::string() : UserCondition(userId);
  int count = db::getRowCount(db::UserDB(), db::kUserTable, condition, varNum);
  if (count < 0) {
    LogError(varNum, "DB error", "Get row count error");
    return ROW_COUNT_ERROR;
  }
  if (change == Change::kNone) return RESULT_OK;
  bool login = messageId == web::LOGIN || messageId == web::LOGIN_RESET;
  if (count == 0) {
    LogError(varNum, "DB error", login ? "no user info can be update" : "no user info when update");
    return DB_UPDATE_ERROR_NO_RECORD;
  }
  if (count > 1) {
    LogError(varNum, "DB error", login ? "multi users info when update" : "multi user info when update");
    return DB_UPDATE_ERROR_MULTI_RECORD;
  }
  if (change == Change::kLogout) {
    int result = CheckLogoutSession(request, userId, varNum);
    if (result != RESULT_OK) return result;
  }
  // The duplicate check took the row for this login (login_state 1).
  bool claimed = messageId == web::LOGIN && change == Change::kLogin;
  db::UserRecord user;
  int result = ReadUserRow(userId, user, varNum);
  if (result == RESULT_OK) {
    ApplyChange(user, request, change);
    result = db::UpdateUser(user, varNum);
    if (result != RESULT_OK) LogError(varNum, "DB error", "SQL execution error when update userinfo table");
  }
  if (result != RESULT_OK) {
    // A refused login leaves the user free to log in again.
    if (claimed) db::ExecuteSQL(db::UserDB(), "update userinfo set login_state = 0 where " + UserCondition(userId), varNum);
    return result;
  }
  // The mark is this instance's to clear at its next start; a claim that
  // fails leaves it to whoever held it before, and the request stands.
  if (user.connect_state != 0) ClaimUserMark(userId, varNum);
  return RESULT_OK;
}

}  // namespace

int UpdateUserRecord(const web::WebMsg& request, std::uint16_t messageId, int varNum) {
  if (request.type == web::REQ_CONTROL && messageId == web::USER_SET) {
    int result = MaintainUsers(request, varNum);
    if (result != RESULT_OK) return result;
  }
  if (request.type == web::REQ_CONTROL && messageId == web::USER_SET_EXT) {
    int result = UpdateUserExtended(request, varNum);
    if (result != RESULT_OK) return result;
  }
  Change change = ChangeOf(request.type, messageId);
  return UpdateOwnRow(request, change, RowUserId(request, change), messageId, varNum);
}

}  // namespace users
