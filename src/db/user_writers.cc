#include "db/user_writers.h"

#include <cstdlib>
#include <mutex>

#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "frame/text.h"

namespace db {

namespace {

const std::string& Column(const Row& row, int position) {
  static const std::string empty;
  return position < static_cast<int>(row.size()) ? row[position] : empty;
}

std::string TextColumn(const Row& row, int position, std::size_t width) {
  std::string text = Column(row, position);
  if (text.size() > width) text.resize(width);
  return text;
}

std::int32_t NumberColumn(const Row& row, int position) {
  return static_cast<std::int32_t>(std::strtol(Column(row, position).c_str(), nullptr, 10));
}

std::uint8_t ByteColumn(const Row& row, int position) { return static_cast<std::uint8_t>(NumberColumn(row, position)); }

// "'<value>'" with quotes doubled inside.
std::string Quoted(const std::string& value) {
  std::string out(1, '\'');
  out += SqlText(value);
  out += '\'';
  return out;
}

// Statement runner shared by the user-database writers: log, run under the
// database lock, map the layer's result to the writer's.
int RunUserDbWriter(const char* writer, const std::string& sql, bool noRowIsSuccess, const char* errorText,
                    int errorCode, int varNum) {
  LogSQL(varNum, writer, sql);
  int result;
  {
    std::lock_guard lock(DatabaseLock());
    result = ExecuteSQL(UserDB(), sql, varNum);
  }
  if (result == RESULT_OK || (noRowIsSuccess && result == DB_EXECUTE_NO_RESULT)) return RESULT_OK;
  LogError(varNum, "DB error", errorText);
  return errorCode;
}

}  // namespace

UserRecord UserRecord::FromRow(const Row& row) {
  namespace c = usercol;
  namespace w = userwidth;
  UserRecord u;
  u.user_id = TextColumn(row, c::kUserId, w::kUserId);
  u.user_pwd = TextColumn(row, c::kUserPwd, w::kUserPwd);
  u.ip = TextColumn(row, c::kIp, w::kIp);
  u.session_id = TextColumn(row, c::kSessionId, w::kSessionId);
  u.login_state = ByteColumn(row, c::kLoginState);
  u.login_count = NumberColumn(row, c::kLoginCount);
  u.login_time = TextColumn(row, c::kLoginTime, w::kTime);
  u.connect_state = ByteColumn(row, c::kConnectState);
  u.link_type = ByteColumn(row, c::kLinkType);
  u.connect_time = TextColumn(row, c::kConnectTime, w::kTime);
  u.connect_offline = TextColumn(row, c::kConnectOffline, w::kConnectOffline);
  for (int i = 0; i < kLinkParams; ++i) u.connect_info[i] = NumberColumn(row, c::kConnectInfo1 + i);
  u.user_level = ByteColumn(row, c::kUserLevel);
  u.name = TextColumn(row, c::kName, w::kName);
  u.phone = TextColumn(row, c::kPhone, w::kPhone);
  u.mobile = TextColumn(row, c::kMobile, w::kMobile);
  u.address = TextColumn(row, c::kAddress, w::kAddress);
  u.job = TextColumn(row, c::kJob, w::kJob);
  u.email = TextColumn(row, c::kEmail, w::kEmail);
  return u;
}

LinkRecord LinkRecord::FromBytes(const std::uint8_t* bytes69) {
  LinkRecord link;
  for (int i = 0; i < kLinkNameBytes; ++i) link.link_name[i] = bytes69[kNameOffset + i];
  link.link_type = bytes69[kTypeOffset];
  for (int i = 0; i < kLinkParams; ++i) link.link_info[i] = bytes69[kInfoOffset + i];
  return link;
}

std::array<std::uint8_t, LinkRecord::kSize> LinkRecord::ToBytes() const {
  std::array<std::uint8_t, kSize> bytes{};
  for (int i = 0; i < kLinkNameBytes; ++i) bytes[kNameOffset + i] = link_name[i];
  bytes[kTypeOffset] = link_type;
  for (int i = 0; i < kLinkParams; ++i) bytes[kInfoOffset + i] = link_info[i];
  return bytes;
}

LinkRecord LinkRecord::FromRow(const Row& row) {
  LinkRecord link;
  link.link_type = ByteColumn(row, 0);
  for (int i = 0; i < kLinkParams; ++i) link.link_info[i] = ByteColumn(row, 1 + i);
  for (int i = 0; i < kLinkNameBytes; ++i) link.link_name[i] = ByteColumn(row, 1 + kLinkParams + i);
  return link;
}

int ParseDbInfoRecord(const std::uint8_t* data, std::size_t length, DbInfoRecord& out) {
  if (length < DbInfoRecord::kDataSize) return RECORD_LENGTH_ERROR;
  using R = DbInfoRecord;
  out.dbVersion = data[R::kVersion] << 8 | data[R::kVersion + 1];
  out.countryId = data[R::kCountry];
  out.systemId = data[R::kSystem];
  out.text1 = FieldText(data + R::kText1, R::kText1Width);
  out.text2 = FieldText(data + R::kText2, R::kText2Width);
  out.text3 = FieldText(data + R::kText3, R::kText3Width);
  for (std::size_t i = 0; i < out.tail.size(); ++i) out.tail[i] = data[R::kNumbers + i];
  return RESULT_OK;
}

std::string LinkNameCondition(const LinkRecord& link) {
  std::string condition;
  for (int i = 0; i < kLinkNameBytes; ++i) {
    condition += Format("link_name%d = %d ", i + 1, link.link_name[i]);
    if (i + 1 < kLinkNameBytes) condition += "and ";
  }
  return condition;
}

std::string BuildInsertUserSql(const UserRecord& user) {
  std::string sql = Format("insert into %s (", kUserTable);
  sql += "user_id, user_pwd, user_level";
  sql += ")";
  sql += " values (";
  sql += Quoted(user.user_id) + ", ";
  sql += Quoted(user.user_pwd) + ", ";
  sql += std::to_string(user.user_level);
  sql += ")";
  return sql;
}

std::string BuildInsertLinkSql(const LinkRecord& link) {
  std::string sql = Format("insert into %s (", kLinkTable);
  sql += "link_type, ";
  for (int i = 1; i <= kLinkParams; ++i) sql += Format("link_info%d, ", i);
  for (int i = 1; i <= kLinkNameBytes; ++i) {
    sql += Format("link_name%d", i);
    if (i < kLinkNameBytes) sql += ", ";
  }
  sql += ")";
  sql += " values (";
  sql += Format("%d, ", link.link_type);
  for (std::uint8_t value : link.link_info) sql += Format("%d, ", value);
  for (int i = 0; i < kLinkNameBytes; ++i) {
    sql += Format(i + 1 < kLinkNameBytes ? "%d, " : "%d", link.link_name[i]);
  }
  sql += ")";
  return sql;
}

std::string BuildUpdateUserSql(const UserRecord& user) {
  std::string sql = Format("update %s set ", kUserTable);
  sql += "user_id = " + Quoted(user.user_id) + ", ";
  sql += "user_pwd = " + Quoted(user.user_pwd) + ", ";
  sql += "ip = " + Quoted(user.ip) + ", ";
  sql += "session_id = " + Quoted(user.session_id) + ", ";
  sql += Format("login_state = %d, ", user.login_state);
  sql += "login_count = ";
  sql += Format("%d, ", user.login_count);
  sql += "login_time = " + Quoted(user.login_time) + ", ";
  sql += Format("connect_state = %d, ", user.connect_state);
  sql += Format("link_type = %d, ", user.link_type);
  sql += "connect_time = " + Quoted(user.connect_time) + ", ";
  sql += "connect_offline = " + Quoted(user.connect_offline) + ", ";
  for (int i = 0; i < kLinkParams; ++i) sql += Format("connect_info%d = %d, ", i + 1, user.connect_info[i]);
  sql += Format("user_level = %d, ", user.user_level);
  sql += "name = " + Quoted(user.name) + ", ";
  sql += "phone = " + Quoted(user.phone) + ", ";
  sql += "mobile = " + Quoted(user.mobile) + ", ";
  sql += "address = " + Quoted(user.address) + ", ";
  sql += "job = " + Quoted(user.job) + ", ";
  sql += "email = " + Quoted(user.email) + " ";
  sql += "where user_id = " + Quoted(user.user_id);
  return sql;
}

std::string BuildUpdateInfoSql(const LinkRecord& link) {
  std::string sql = Format("update %s set ", kLinkTable);
  sql += Format("link_type = %d, ", link.link_type);
  for (int i = 0; i < kLinkParams; ++i) {
    sql += Format(i + 1 < kLinkParams ? "link_info%d = %d, " : "link_info%d = %d ", i + 1, link.link_info[i]);
  }
  sql += "where (";
  for (int i = 0; i < kLinkNameBytes; ++i) {
    sql += Format(i + 1 < kLinkNameBytes ? "link_name%d = %d and " : "link_name%d = %d )", i + 1, link.link_name[i]);
  }
  return sql;
}

std::string BuildDeleteUserSql(const std::string& userId) {
  return Format("delete from %s where user_id=", kUserTable) + Quoted(userId);
}

std::string BuildDeleteLinkSql(const LinkRecord& link) {
  return Format("delete from %s where %s ", kLinkTable, LinkNameCondition(link).c_str());
}

std::string BuildInsertDBInfoSql(const DbInfoRecord& info) {
  std::string sql = Format("insert into %s values( ", kDbInfoTable);
  sql += Format("%d, ", info.dbVersion);
  sql += Format("%d, ", info.countryId);
  sql += Quoted(info.text1) + ", ";
  sql += Format("%d, ", info.systemId);
  sql += Quoted(info.text2) + ", ";
  sql += Quoted(info.text3) + ", ";
  for (std::size_t i = 0; i < info.tail.size(); ++i) {
    sql += Format(i + 1 < info.tail.size() ? "%d, " : "%d ", info.tail[i]);
  }
  sql += ")";
  return sql;
}

int InsertUser(const UserRecord& user, int varNum) {
  return RunUserDbWriter("InsertUser", BuildInsertUserSql(user), false, "Insert user info table error",
                         DB_INSERT_ERROR, varNum);
}

int InsertLink(const LinkRecord& link, int varNum) {
  return RunUserDbWriter("InsertLink", BuildInsertLinkSql(link), false, "Insert link info table error",
                         DB_INSERT_ERROR, varNum);
}

int UpdateUser(const UserRecord& user, int varNum) {
  return RunUserDbWriter("UpdateUser", BuildUpdateUserSql(user), false, "Update user info table error",
                         DB_UPDATE_ERROR, varNum);
}

int UpdateInfo(const LinkRecord& link, int varNum) {
  return RunUserDbWriter("UpdateInfo", BuildUpdateInfoSql(link), false, "Update link info table error",
                         DB_UPDATE_ERROR, varNum);
}

int DeleteUser(const std::string& userId, int varNum) {
  return RunUserDbWriter("DeleteUser", BuildDeleteUserSql(userId), true, "Delete user info table error",
                         DB_DELETE_ERROR, varNum);
}

int DeleteLink(const LinkRecord& link, int varNum) {
  return RunUserDbWriter("DeleteLink", BuildDeleteLinkSql(link), true, "Delete link info table error",
                         DB_DELETE_ERROR, varNum);
}

int InsertDBInfo(const DbInfoRecord& info, int varNum) {
  const state::Id current = SlotState(varNum);
  ConnectionRecord* database = nullptr;
  if (current == state::kOffline || current == state::kDownload) database = SlotDatabase(varNum);
  if (database == nullptr) {
    LogError(varNum, "User state error", Format("User state:%s error, not offline or AllDownLoad", state::Text(current)));
    return USER_STATE_ERROR;
  }
  std::string sql = BuildInsertDBInfoSql(info);
  LogSQL(varNum, "InsertDBInfo", sql);
  if (ExecuteSQL(*database, sql, varNum) != RESULT_OK) {
    LogError(varNum, "DB error", "Insert DB info error");
    return DB_INSERT_ERROR;
  }
  return RESULT_OK;
}

}  // namespace db
