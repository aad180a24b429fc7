// Administration of users and links: a request carries whole fixed-size
// records, each inserting, updating or deleting one user or one link. Records
// are handled in order; the first failure ends the request and the records
// before it keep their effect.
#include <algorithm>
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

// A copy of `request` whose data is the one record at `record`: each record
// is handled as a request of its own, so the request field readers apply.
web::WebMsg RecordRequest(const web::WebMsg& request, const std::uint8_t* record, std::size_t size) {
  web::WebMsg copy = request;
  size = std::min(size, web::kMaxData);
  std::memset(copy.data, 0, sizeof copy.data);
  std::memcpy(copy.data, record, size);
  web::Put16(copy.bodyHeader + (web::kBodyLength - web::kBodyType),
             static_cast<std::uint16_t>(web::kBodyHeaderSize + size));
  return copy;
}

void LogDbError(int varNum, const char* format, const std::string& userId) {
  LogError(varNum, "DB error", Format(format, userId.c_str()));
}

int InsertUserRecord(const web::WebMsg& record, const std::string& userId, int count, int varNum) {
  if (count != 0) {
    LogDbError(varNum, "already exist user:%s when insert userinfo table", userId);
    return DB_INSERT_ERROR_EXIST;
  }
  db::UserRecord user;
  user.user_id = userId;
  user.user_pwd = FieldText(record.data + layout::kUserRecordPassword, layout::kPasswordWidth);
  user.user_level = record.data[layout::kUserLevel];
  int result = db::InsertUser(user, varNum);
  if (result != RESULT_OK) LogDbError(varNum, "SQL execution error when insert userinfo:%s table", userId);
  return result;
}

int UpdateUserFromRecord(const web::WebMsg& record, const std::string& userId, int count, int varNum) {
  if (count == 0) {
    LogDbError(varNum, "no user:%s info when update", userId);
    return DB_UPDATE_ERROR_NO_RECORD;
  }
  if (count > 1) {
    LogDbError(varNum, "multi user:%s info when update", userId);
    return DB_UPDATE_ERROR_MULTI_RECORD;
  }
  db::Row row;
  int result = db::SelectMatchingRecords(db::UserDB(), db::kUserTable, db::kUserColumns, row,
                                         UserCondition(userId), varNum);
  if (result != RESULT_OK) return result;
  db::UserRecord user = db::UserRecord::FromRow(row);
  user.user_id = userId;
  user.user_pwd = FieldText(record.data + layout::kUserRecordPassword, layout::kPasswordWidth);
  user.user_level = record.data[layout::kUserLevel];
  result = db::UpdateUser(user, varNum);
  if (result != RESULT_OK) LogDbError(varNum, "SQL execution error when insert userinfo:%s table", userId);
  return result;
}

int DeleteUserRecord(const web::WebMsg& record, const std::string& userId, int count, int varNum) {
  if (count == 0) {
    LogDbError(varNum, "no user:%s info when delete", userId);
    return DB_DELETE_ERROR_NO_RECORD;
  }
  if (count > 1) {
    LogDbError(varNum, "multi user:%s info when delete", userId);
    return DB_DELETE_ERROR_MULTI_RECORD;
  }
  // A state that cannot be read refuses the delete as well.
  if (IsUserLoggedInByRequest(record, varNum) != 0) {
    LogDbError(varNum, "user:%s is login when delete user", userId);
    return DB_DELETE_ERROR_USER_LOGIN;
  }
  int result = db::DeleteUser(userId, varNum);
  if (result != RESULT_OK) LogDbError(varNum, "SQL execution error when delete userinfo:%s table", userId);
  return result;
}

int MaintainOneUser(const web::WebMsg& record, int varNum) {
  std::string userId = FieldText(record.data + layout::kUserRecordId, layout::kIdWidth);
  // Count and change belong together: two requests must not both find a
  // user id free and both insert it.
  std::lock_guard lock(DatabaseLock());
  int count = db::getRowCount(db::UserDB(), db::kUserTable, UserCondition(userId), varNum);
  if (count < 0) {
    LogError(varNum, "DB error", "Get row count error");
    return ROW_COUNT_ERROR;
  }
  switch (record.data[layout::kUserOp]) {
    case layout::kOpInsert: return InsertUserRecord(record, userId, count, varNum);
    case layout::kOpUpdate: return UpdateUserFromRecord(record, userId, count, varNum);
    case layout::kOpDelete: return DeleteUserRecord(record, userId, count, varNum);
    default: return RESULT_OK;  // an unknown operation leaves the record out
  }
}

db::LinkRecord LinkFromRecord(const std::uint8_t* record) {
  db::LinkRecord link;
  link.link_type = record[layout::kLinkType];
  for (int i = 0; i < db::kLinkNameBytes; ++i) link.link_name[i] = record[layout::kLinkName + i];
  for (int i = 0; i < db::kLinkParams; ++i) link.link_info[i] = record[layout::kLinkParams + i];
  return link;
}

int InsertLinkRecord(const db::LinkRecord& link, int count, int varNum) {
  if (count != 0) {
    LogError(varNum, "DB error", "already exist link name when insert");
    return DB_INSERT_ERROR_EXIST;
  }
  int result = db::InsertLink(link, varNum);
  if (result != RESULT_OK) LogError(varNum, "DB error", "SQL execution error when insert linkinfo table");
  return result;
}

int UpdateLinkRecord(const db::LinkRecord& link, int count, int varNum) {
  if (count == 0) {
    LogError(varNum, "DB error", "no link info when update");
    return DB_UPDATE_ERROR_NO_RECORD;
  }
  if (count > 1) {
    LogError(varNum, "DB error", "multi link info when update");
    return DB_UPDATE_ERROR_MULTI_RECORD;
  }
  db::Row row;
  int result = db::SelectMatchingRecords(db::UserDB(), db::kLinkTable, db::kLinkColumns, row,
                                         db::LinkNameCondition(link), varNum);
  if (result != RESULT_OK) return result;
  // Every column of the stored link is given by the record.
  db::LinkRecord stored = db::LinkRecord::FromRow(row);
  stored.link_type = link.link_type;
  stored.link_info = link.link_info;
  stored.link_name = link.link_name;
  result = db::UpdateInfo(stored, varNum);
  if (result != RESULT_OK) LogError(varNum, "DB error", "SQL execution error when update linkinfo table");
  return result;
}

int DeleteLinkRecord(const db::LinkRecord& link, int count, int varNum) {
  if (count == 0) {
    LogError(varNum, "DB error", "no link info when delete");
    return DB_DELETE_ERROR_NO_RECORD;
  }
  if (count > 1) {
    LogError(varNum, "DB error", "multi link info when delete");
    return DB_DELETE_ERROR_MULTI_RECORD;
  }
  int result = db::DeleteLink(link, varNum);
  if (result != RESULT_OK) LogError(varNum, "DB error", "SQL execution error when delete linkinfo table");
  return result;
}

int MaintainOneLink(const std::uint8_t* record, int varNum) {
  db::LinkRecord link = LinkFromRecord(record);
  std::lock_guard lock(DatabaseLock());
  int count = db::getRowCount(db::UserDB(), db::kLinkTable, db::LinkNameCondition(link), varNum);
  if (count < 0) {
    LogError(varNum, "DB error", "Get row count from link info table error");
    return ROW_COUNT_ERROR;
  }
  switch (record[layout::kLinkOp]) {
    case layout::kOpInsert: return InsertLinkRecord(link, count, varNum);
    case layout::kOpUpdate: return UpdateLinkRecord(link, count, varNum);
    case layout::kOpDelete: return DeleteLinkRecord(link, count, varNum);
    default: return RESULT_OK;
  }
}

}  // namespace

int MaintainUsers(const web::WebMsg& request, int varNum) {
  std::size_t length = request.dataLength();
  if (length % layout::kUserRecordSize != 0) {
    LogError(varNum, "DB error", Format("Length of data is error:%d/34", static_cast<int>(length)));
    return RECORD_LENGTH_ERROR;
  }
  for (std::size_t offset = 0; offset < length; offset += layout::kUserRecordSize) {
    web::WebMsg record = RecordRequest(request, request.data + offset, layout::kUserRecordSize);
    int result = MaintainOneUser(record, varNum);
    if (result != RESULT_OK) return result;
  }
  return RESULT_OK;
}

int MaintainLinks(const web::WebMsg& request, int varNum) {
  std::size_t length = request.dataLength();
  if (length % layout::kLinkRecordSize != 0) {
    LogError(varNum, "DB error", Format("Length of data is error:%d/70", static_cast<int>(length)));
    return RECORD_LENGTH_ERROR;
  }
  for (std::size_t offset = 0; offset < length; offset += layout::kLinkRecordSize) {
    int result = MaintainOneLink(request.data + offset, varNum);
    if (result != RESULT_OK) return result;
  }
  return RESULT_OK;
}

}  // namespace users
