// Login checks and sessions: is the id known, the password right, the user
// already logged in; the session and connection checks of later requests.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

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

std::string LoginUserId(const web::WebMsg& request) {
  return FieldText(request.data + layout::kLoginUserId, layout::kIdWidth);
}

void FillFailurePattern(std::uint8_t* reply) { std::memset(reply, layout::kFailureByte, kLoginAnswerSize); }

constexpr std::size_t kDataSourceNameField = 52;

}  // namespace

int CheckLoginID(const web::WebMsg& request, std::uint8_t* reply, int varNum) {
  std::string userId = LoginUserId(request);
  int count = db::getRowCount(db::UserDB(), db::kUserTable, UserCondition(userId), varNum);
  if (count == DB_EXECUTE_ERROR || count == DB_EXECUTE_NO_RESULT) {
    LogError(varNum, "DB error", "Get row count from user info error");
    return ROW_COUNT_ERROR;
  }
  if (count == 0) {
    FillFailurePattern(reply);
    LogError(varNum, "login error", Format("Login ID:%s invalid", userId.c_str()));
    return LOGIN_ID_ERR;
  }
  return RESULT_OK;
}

int CheckLoginPassword(const web::WebMsg& request, std::uint8_t* reply, int varNum) {
  std::string userId = LoginUserId(request);
  std::string given = FieldText(request.data + layout::kLoginPassword, layout::kPasswordWidth);
  std::string stored;
  int result = GetOriginPassword(userId, stored, varNum);
  if (result != RESULT_OK) return result;
  if (stored != given) {
    FillFailurePattern(reply);
    LogError(varNum, "login error", Format("Login password: %serror", given.c_str()));
    return LOGIN_PWD_ERR;
  }
  return RESULT_OK;
}

int CheckLoginDuplicate(const web::WebMsg& request, std::uint8_t* reply, int varNum) {
  std::string userId = LoginUserId(request);
  std::string state;
  int result = GetLoginState(userId, state, varNum);
  if (result != RESULT_OK) return result;
  if (state != "1") {
    // Another connection, or another instance on a shared database, may log
    // the same user in at the same moment: the row is taken only while it is
    // free, so exactly one of them gets it.
    std::string sql = "update userinfo set login_state = 1 where " + UserCondition(userId) + " and login_state <> 1";
    LogSQL(varNum, "CheckLoginDuplicate", sql);
    int taken;
    {
      std::lock_guard lock(DatabaseLock());
      taken = db::ExecuteSQL(db::UserDB(), sql, varNum);
    }
    if (taken == RESULT_OK) return RESULT_OK;
    if (taken != DB_EXECUTE_NO_RESULT) {
      LogError(varNum, "DB error", "SQL execution error when update userinfo table");
      return 238;
    }
  }
  std::string address;
  result = GetIP(userId, address, varNum);
  if (result != RESULT_OK) return result;
  // The web front end shows where the first login came from.
  FillFailurePattern(reply);
  PutField(reply + layout::kAnswerAddress, layout::kAnswerAddressWidth, address);
  LogError(varNum, "DB error", Format("login ID: %s has already login", userId.c_str()));
  return LOGIN_DUPLICATE;
}

int IsUserLoggedIn(const std::string& userId, int varNum) {
  std::string state;
  int result = GetLoginState(userId, state, varNum);
  if (result != RESULT_OK) return result;
  return state == "1" ? 1 : 0;
}

int IsUserLoggedInByRequest(const web::WebMsg& request, int varNum) {
  std::string userId = FieldText(request.data + layout::kUserRecordId, layout::kIdWidth);
  std::string state;
  int result = GetLoginState(userId, state, varNum);
  if (result != RESULT_OK) return result;
  return std::atoi(state.c_str()) != 0 ? 1 : 0;
}

int CheckSessionID(const web::WebMsg& request, const std::string& userId, int varNum) {
  std::string given = FieldText(request.data + layout::kSessionId, layout::kSessionWidth);
  std::string stored;
  int result = GetSessionID(userId, stored, varNum);
  if (result != RESULT_OK) return result;
  return stored == given ? 1 : 0;
}

int IsUserNotConnected(const std::string& userId, int varNum) {
  std::string state;
  int result = GetConnectState(std::string(userId.c_str()), state, varNum);
  if (result != RESULT_OK) return result;
  return std::atoi(state.c_str()) == 0 ? 1 : 0;
}

int IsOfflineFileInUse(const std::string& fileName, int varNum) {
  std::string condition = "connect_state = 2 and connect_offline = '" + SqlText(fileName) + "' ";
  int count = db::getRowCount(db::UserDB(), db::kUserTable, condition, varNum);
  if (count == DB_EXECUTE_ERROR || count == DB_EXECUTE_NO_RESULT) {
    LogError(varNum, "DB error", "Get row count error");
    return ROW_COUNT_ERROR;
  }
  if (count < 0) {
    LogError(varNum, "Unknown error", "An unknown error occurs when get row count from user info table");
    return UNKNOWN_DB_ERROR;
  }
  return count == 0 ? 0 : 1;
}

int FindUserOnLink(const web::WebMsg& request, std::string& userId, int varNum) {
  std::string condition = "connect_state = 1 ";
  for (int i = 0; i < db::kLinkParams; ++i) {
    // The logged statement has always shown a tab before every fourth "and".
    condition += (i % 4 == 3) ? "\tand " : "and ";
    condition += Format("connect_info%d = %d ", i + 1, request.data[layout::kConnectParams + i]);
  }
  return GetUserID(condition, userId, varNum);
}

int setIPOfConnectOnline(const web::WebMsg& /*request*/, const std::string& userId, std::string& statement,
                         int varNum) {
  db::Row row;
  std::string holder = userId;
  if (db::SelectMatchingRecords(db::UserDB(), db::kUserTable, db::kUserColumns, row, UserCondition(userId),
                                varNum) == RESULT_OK &&
      !row.empty()) {
    holder = row[db::usercol::kUserId];
  }
  statement = "Update userinfo set connect_state = 0 where user_id = '" + SqlText(holder) + "'";
  LogSQL(varNum, "setIPOfConnectOnline", statement);
  return RESULT_OK;
}

int GetDataSourceNames(std::uint8_t* out104) {
  PutField(out104, kDataSourceNameField, "WebUser");
  PutField(out104 + kDataSourceNameField, kDataSourceNameField, "WebInfo");
  return RESULT_OK;
}

}  // namespace users
