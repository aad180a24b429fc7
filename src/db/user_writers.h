#pragma once
// The writers of the user database (userinfo, linkinfo) and of a system
// database's dbinfo row. Each statement is built from fixed pieces by a pure
// Build... function, logged at level SQL with the writer's name as label and
// run as its own transaction. Text values always go through SqlText(), so a
// quote in an id, password or address cannot end its literal early.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "db/odbc.h"

namespace db {

constexpr const char* kUserTable = "userinfo";
constexpr const char* kLinkTable = "linkinfo";
constexpr const char* kDbInfoTable = "dbinfo";

constexpr int kUserColumns = 66;
constexpr int kLinkColumns = 69;
constexpr int kDbInfoColumns = 12;
constexpr int kLinkParams = 48;
constexpr int kLinkNameBytes = 20;

// Column positions of a userinfo row.
namespace usercol {
constexpr int kUserId = 0;
constexpr int kUserPwd = 1;
constexpr int kIp = 2;
constexpr int kSessionId = 3;
constexpr int kLoginState = 4;
constexpr int kLoginCount = 5;
constexpr int kLoginTime = 6;
constexpr int kConnectState = 7;
constexpr int kLinkType = 8;
constexpr int kConnectTime = 9;
constexpr int kConnectOffline = 10;
constexpr int kConnectInfo1 = 11;  // connect_info1..48 at 11..58
constexpr int kUserLevel = 59;
constexpr int kName = 60;
constexpr int kPhone = 61;
constexpr int kMobile = 62;
constexpr int kAddress = 63;
constexpr int kJob = 64;
constexpr int kEmail = 65;
}  // namespace usercol

// Widest text each userinfo text column holds.
namespace userwidth {
constexpr std::size_t kUserId = 16;
constexpr std::size_t kUserPwd = 16;
constexpr std::size_t kIp = 15;
constexpr std::size_t kSessionId = 32;
constexpr std::size_t kTime = 19;
constexpr std::size_t kConnectOffline = 30;
constexpr std::size_t kName = 30;
constexpr std::size_t kPhone = 30;
constexpr std::size_t kMobile = 30;
constexpr std::size_t kAddress = 60;
constexpr std::size_t kJob = 60;
constexpr std::size_t kEmail = 30;
}  // namespace userwidth

// One userinfo row, every column in table order.
struct UserRecord {
  std::string user_id;
  std::string user_pwd;
  std::string ip;
  std::string session_id;
  std::uint8_t login_state = 0;
  std::int32_t login_count = 0;
  std::string login_time;
  std::uint8_t connect_state = 0;
  std::uint8_t link_type = 0;
  std::string connect_time;
  std::string connect_offline;
  std::array<std::int32_t, kLinkParams> connect_info{};
  std::uint8_t user_level = 0;
  std::string name;
  std::string phone;
  std::string mobile;
  std::string address;
  std::string job;
  std::string email;

  // From a selected row of 66 column texts (missing columns read as empty);
  // texts are cut to their column widths, numbers read as decimal.
  static UserRecord FromRow(const Row& row);
};

// One linkinfo row. Its byte form is 69 bytes: the 20 name bytes, the type,
// then the 48 parameters. A link administration record carries the same
// fields in another order (operation, type, name, parameters).
struct LinkRecord {
  static constexpr std::size_t kSize = 69;
  static constexpr std::size_t kNameOffset = 0;
  static constexpr std::size_t kTypeOffset = 20;
  static constexpr std::size_t kInfoOffset = 21;

  std::uint8_t link_type = 0;
  std::array<std::uint8_t, kLinkParams> link_info{};
  std::array<std::uint8_t, kLinkNameBytes> link_name{};

  static LinkRecord FromBytes(const std::uint8_t* bytes69);
  std::array<std::uint8_t, kSize> ToBytes() const;
  // From a selected row in table order: link_type, link_info1..48, link_name1..20.
  static LinkRecord FromRow(const Row& row);
};

// The single dbinfo row that identifies the system a database was read from.
// Column order: version, country id, text, system id, text, text, six numbers.
struct DbInfoRecord {
  // The system's info message:
  //   version(2, high byte first) country(1) system(1) text1(20) text2(20)
  //   text3(8) numbers(6)
  static constexpr std::size_t kVersion = 0;
  static constexpr std::size_t kCountry = 2;
  static constexpr std::size_t kSystem = 3;
  static constexpr std::size_t kText1 = 4;
  static constexpr std::size_t kText1Width = 20;
  static constexpr std::size_t kText2 = 24;
  static constexpr std::size_t kText2Width = 20;
  static constexpr std::size_t kText3 = 44;
  static constexpr std::size_t kText3Width = 8;
  static constexpr std::size_t kNumbers = 52;
  static constexpr std::size_t kDataSize = 58;

  int dbVersion = 0;
  int countryId = 0;
  std::string text1;
  int systemId = 0;
  std::string text2;
  std::string text3;
  std::array<int, 6> tail{};
};

// Splits the system's info data (layout in DbInfoRecord). 1; 169 when fewer
// than 58 bytes are given.
int ParseDbInfoRecord(const std::uint8_t* data, std::size_t length, DbInfoRecord& out);

// Conditions over the 20 name columns of linkinfo.
// "link_name1 = %d and " ... "link_name20 = %d " (counting and deleting).
std::string LinkNameCondition(const LinkRecord& link);

// Statement texts of the writers.
std::string BuildInsertUserSql(const UserRecord& user);
std::string BuildInsertLinkSql(const LinkRecord& link);
std::string BuildUpdateUserSql(const UserRecord& user);
std::string BuildUpdateInfoSql(const LinkRecord& link);
std::string BuildDeleteUserSql(const std::string& userId);
std::string BuildDeleteLinkSql(const LinkRecord& link);
std::string BuildInsertDBInfoSql(const DbInfoRecord& info);

// The writers. User-database writers run on UserDB() under DatabaseLock().
int InsertUser(const UserRecord& user, int varNum);          // 1; 218
int InsertLink(const LinkRecord& link, int varNum);          // 1; 218
int UpdateUser(const UserRecord& user, int varNum);          // 1; 217 (also when no row matched)
int UpdateInfo(const LinkRecord& link, int varNum);          // 1; 217 (also when no row matched)
int DeleteUser(const std::string& userId, int varNum);       // 1 (also when no row matched); 223
int DeleteLink(const LinkRecord& link, int varNum);          // 1 (also when no row matched); 223
// On the slot database of a slot in state "offline" or "download"; 1; 165; 218.
int InsertDBInfo(const DbInfoRecord& info, int varNum);

}  // namespace db
