// Readers of single columns: one column of a user's userinfo row, or of the
// system-identity rows (dbinfo, PGC20000) of the database a slot works on.
#include <cstdlib>
#include <string>

#include "db/odbc.h"
#include "db/user_writers.h"
#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "frame/text.h"
#include "users/user_internal.h"
#include "users/users.h"

namespace users {

namespace {

// What a reader answers when no row matches and when the read fails.
struct ReaderCodes {
  int noRow;
  const char* noRowText;
  int error;
  const char* errorText;
};

int ReadColumn(db::ConnectionRecord& database, const char* table, int columns, const std::string& condition,
               int position, const ReaderCodes& codes, std::string& out, int varNum,
               const std::string& columnList = "*") {
  db::Row row;
  int result = db::SelectMatchingRecords(database, table, columns, row, condition, varNum, columnList);
  if (result == DB_EXECUTE_NO_RESULT) {
    LogError(varNum, "DB error", codes.noRowText);
    return codes.noRow;
  }
  if (result != RESULT_OK) {
    LogError(varNum, "DB error", codes.errorText);
    return codes.error;
  }
  out = position < static_cast<int>(row.size()) ? row[position] : std::string();
  return RESULT_OK;
}

// Reads only the one column: a user row has 66 columns, and describing all of
// them costs the driver several times the read itself.
int ReadUserColumn(const std::string& condition, const char* column, const ReaderCodes& codes, std::string& out,
                   int varNum) {
  return ReadColumn(db::UserDB(), db::kUserTable, 1, condition, 0, codes, out, varNum, column);
}

// The slot's system database; nullptr (and an empty answer) in "idle".
int ReadSlotColumn(const char* table, int columns, int position, const ReaderCodes& codes, std::string& out,
                   int varNum) {
  db::ConnectionRecord* database = SlotDatabase(varNum);
  if (database == nullptr) {
    out.clear();
    return RESULT_OK;
  }
  return ReadColumn(*database, table, columns, "", position, codes, out, varNum);
}

constexpr const char* kSystemTable = "PGC20000";
constexpr int kSystemTableColumns = 14;

}  // namespace

std::string UserCondition(const std::string& userId) { return "user_id = '" + SqlText(userId) + "'"; }

int GetOriginPassword(const std::string& userId, std::string& out, int varNum) {
  static constexpr ReaderCodes codes{PASSWORD_NOT_FOUND, "no match origin password found", PASSWORD_READ_ERROR,
                                     "an error occurred when get origin password"};
  return ReadUserColumn(UserCondition(userId), "user_pwd", codes, out, varNum);
}

int GetLoginState(const std::string& userId, std::string& out, int varNum) {
  static constexpr ReaderCodes codes{LOGIN_STATE_NOT_FOUND, "no match login state found", LOGIN_STATE_READ_ERROR, "An error occurred when get login state"};
  return ReadUserColumn(UserCondition(userId), "login_state", codes, out, varNum);
}

int GetIP(const std::string& userId, std::string& out, int varNum) {
  static constexpr ReaderCodes codes{IP_NOT_FOUND, "no match IP found", IP_READ_ERROR, "An error occurred when get IP"};
  return ReadUserColumn(UserCondition(userId), "ip", codes, out, varNum);
}

int GetSessionID(const std::string& userId, std::string& out, int varNum) {
  static constexpr ReaderCodes codes{SESSION_ID_NOT_FOUND, "no session ID found", SESSION_ID_READ_ERROR, "An error occurred when get session ID"};
  return ReadUserColumn(UserCondition(userId), "session_id", codes, out, varNum);
}

int GetConnectState(const std::string& userId, std::string& out, int varNum) {
  static constexpr ReaderCodes codes{USER_ROW_NOT_FOUND, "no connect state found GetConnectState", USER_ROW_READ_ERROR,
                                     "An error occurred when get connect state"};
  return ReadUserColumn(UserCondition(userId), "connect_state", codes, out, varNum);
}

int GetConnectState(const std::string& userId, int& state, int varNum) {
  std::string text;
  int result = GetConnectState(userId, text, varNum);
  if (result != RESULT_OK) return result;
  state = std::atoi(text.c_str());
  return RESULT_OK;
}

int GetUserID(const std::string& condition, std::string& out, int varNum) {
  static constexpr ReaderCodes codes{USER_ROW_NOT_FOUND, "no connect state found GetUserID", USER_ROW_READ_ERROR,
                                     "An error occurred when get connect state"};
  return ReadUserColumn(condition, "user_id", codes, out, varNum);
}

int GetDBInfoSystemID(std::string& out, int varNum) {
  static constexpr ReaderCodes codes{SYSTEM_ID_NOT_FOUND, "no match system ID found", SYSTEM_ID_READ_ERROR, "An error occurred when get system ID"};
  return ReadSlotColumn(db::kDbInfoTable, db::kDbInfoColumns, 3, codes, out, varNum);
}

int GetDBInfoCountryID(std::string& out, int varNum) {
  static constexpr ReaderCodes codes{COUNTRY_ID_NOT_FOUND, "no match country ID found", COUNTRY_ID_READ_ERROR, "An error occurred when get country ID"};
  return ReadSlotColumn(db::kDbInfoTable, db::kDbInfoColumns, 1, codes, out, varNum);
}

int GetDBVersion(std::string& out, int varNum) {
  static constexpr ReaderCodes codes{DB_VERSION_NOT_FOUND, "no match DB version found", DB_VERSION_READ_ERROR, "An error occurred when get DB version"};
  return ReadSlotColumn(db::kDbInfoTable, db::kDbInfoColumns, 0, codes, out, varNum);
}

int GetSystemID(std::string& out, int varNum) {
  static constexpr ReaderCodes codes{SYSTEM_ID_NOT_FOUND, "no match system ID found", SYSTEM_ID_READ_ERROR, "An error occurred when get system ID"};
  return ReadSlotColumn(kSystemTable, kSystemTableColumns, 0, codes, out, varNum);
}

int GetCountryID(std::string& out, int varNum) {
  static constexpr ReaderCodes codes{COUNTRY_ID_NOT_FOUND, "no match country ID found", COUNTRY_ID_READ_ERROR, "An error occurred when get country ID"};
  return ReadSlotColumn(kSystemTable, kSystemTableColumns, 3, codes, out, varNum);
}

int GetTMajor(std::string& out, int varNum) {
  static constexpr ReaderCodes codes{T_MAJOR_NOT_FOUND, "no match t_major found", T_MAJOR_READ_ERROR, "An error occurred when get t_major"};
  return ReadSlotColumn(kSystemTable, kSystemTableColumns, 9, codes, out, varNum);
}

int GetTMinor(std::string& out, int varNum) {
  static constexpr ReaderCodes codes{T_MINOR_NOT_FOUND, "no match t_minor found", T_MINOR_READ_ERROR, "An error occurred when get t_minor"};
  return ReadSlotColumn(kSystemTable, kSystemTableColumns, 10, codes, out, varNum);
}

}  // namespace users
