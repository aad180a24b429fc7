#include "db/user_writers.h"

#include <gtest/gtest.h>

#include <numeric>

#include "frame/slots.h"
#include "support/test_installation.h"
#include "users/users.h"
#include "unit/users_test_support.h"

namespace {

using namespace db;
using userstest::kSlot;

LinkRecord NumberedLink() {
  LinkRecord link;
  link.link_type = 200;
  for (int i = 0; i < kLinkParams; ++i) link.link_info[i] = static_cast<std::uint8_t>(100 + i);
  for (int i = 0; i < kLinkNameBytes; ++i) link.link_name[i] = static_cast<std::uint8_t>(i + 1);
  return link;
}

TEST(UserStatements, LinkBytesHoldNameThenTypeThenParameters) {
  std::array<std::uint8_t, LinkRecord::kSize> bytes{};
  std::iota(bytes.begin(), bytes.end(), 1);  // byte i holds i + 1
  LinkRecord link = LinkRecord::FromBytes(bytes.data());
  EXPECT_EQ(link.link_name[0], 1);
  EXPECT_EQ(link.link_name[19], 20);
  EXPECT_EQ(link.link_type, 21);
  EXPECT_EQ(link.link_info[0], 22);
  EXPECT_EQ(link.link_info[47], 69);
  EXPECT_EQ(link.ToBytes(), bytes);

  // A row comes in table order: type, parameters, name.
  Row row;
  row.push_back("7");
  for (int i = 0; i < 48; ++i) row.push_back(std::to_string(30 + i));
  for (int i = 0; i < 20; ++i) row.push_back(std::to_string(i));
  LinkRecord fromRow = LinkRecord::FromRow(row);
  EXPECT_EQ(fromRow.link_type, 7);
  EXPECT_EQ(fromRow.link_info[47], 77);
  EXPECT_EQ(fromRow.link_name[19], 19);
}

class UserWriters : public ::testing::Test {
 protected:
  void SetUp() override {
    userstest::PrepareUserTables();
  }
};

TEST_F(UserWriters, DeleteOfAbsentUserSucceedsAndUpdateOfAbsentUserIs217) {
  EXPECT_EQ(DeleteUser("nobody", kSlot), 1);
  UserRecord ghost;
  ghost.user_id = "nobody";
  EXPECT_EQ(UpdateUser(ghost, kSlot), 217);
  EXPECT_EQ(userstest::UserCount(), 2);
}

TEST_F(UserWriters, InsertThatTheTableRefusesIs218) {
  UserRecord user;
  user.user_id = "alice";  // the user id is the table's key
  EXPECT_EQ(InsertUser(user, kSlot), 218);
  EXPECT_TRUE(userstest::LogContains("Insert user info table error"));
  EXPECT_EQ(userstest::UserColumn("alice", "user_pwd"), "secret");
}

TEST_F(UserWriters, UpdateInfoMatchesOnlyWhenAllTwentyNameBytesAgree) {
  LinkRecord link = NumberedLink();
  ASSERT_EQ(InsertLink(link, kSlot), 1);
  LinkRecord other = link;
  other.link_name[19] = 99;  // differs in the last name byte only
  other.link_type = 1;
  EXPECT_EQ(UpdateInfo(other, kSlot), 217);
  EXPECT_EQ(testsupport::UserDbQuery("SELECT link_type FROM linkinfo")[0][0], "200");
  link.link_info[47] = 1;
  EXPECT_EQ(UpdateInfo(link, kSlot), 1);
  EXPECT_EQ(testsupport::UserDbQuery("SELECT link_info48 FROM linkinfo")[0][0], "1");
  EXPECT_EQ(DeleteLink(other, kSlot), 1);  // no such link: nothing to do
  EXPECT_EQ(userstest::LinkCount(), 1);
  EXPECT_EQ(DeleteLink(link, kSlot), 1);
  EXPECT_EQ(userstest::LinkCount(), 0);
}

class DbInfoWriter : public ::testing::Test {
 protected:
  void SetUp() override { userstest::PrepareUserTables(); }
  void TearDown() override {
    db::ConnectionRecord& record = SlotAt(kSlot).db[kOfflineDb];
    if (record.open()) {
      ExecuteSQL(record, "delete from dbinfo", kSlot);
      DisconnectDB(record, kSlot);
    }
    SetState(kSlot, state::kIdle);
  }
};

TEST_F(DbInfoWriter, RefusesStatesWithoutADatabaseFileWith165) {
  DbInfoRecord info;
  SetState(kSlot, state::kOnline);
  EXPECT_EQ(InsertDBInfo(info, kSlot), 165);
  EXPECT_TRUE(userstest::LogContains("User state:online error, not offline or AllDownLoad"));
  SetState(kSlot, state::kIdle);
  EXPECT_EQ(InsertDBInfo(info, kSlot), 165);
}

TEST_F(DbInfoWriter, WritesTheRowThatTheIdentityReadersRead) {
  // The info database carries a dbinfo table too; it stands in for a file.
  ASSERT_EQ(ConnectDB(SlotAt(kSlot).db[kOfflineDb], kInfoDsn), 1);
  SetState(kSlot, state::kOffline);
  ExecuteSQL(SlotAt(kSlot).db[kOfflineDb], "delete from dbinfo", kSlot);
  DbInfoRecord info;
  info.dbVersion = 1234;
  info.countryId = 3;
  info.systemId = 17;
  info.text1 = "sys";
  ASSERT_EQ(InsertDBInfo(info, kSlot), 1);
  Row row;
  ASSERT_EQ(SelectMatchingRecords(SlotAt(kSlot).db[kOfflineDb], "dbinfo", 12, row, "", kSlot), 1);
  EXPECT_EQ(row[0], "1234");
  EXPECT_EQ(row[1], "3");
  EXPECT_EQ(row[2], "sys");
  EXPECT_EQ(row[3], "17");

  std::string text;
  EXPECT_EQ(users::GetDBInfoSystemID(text, kSlot), 1);
  EXPECT_EQ(text, "17");
  EXPECT_EQ(users::GetDBInfoCountryID(text, kSlot), 1);
  EXPECT_EQ(text, "3");
  EXPECT_EQ(users::GetDBVersion(text, kSlot), 1);
  EXPECT_EQ(text, "1234");

  ExecuteSQL(SlotAt(kSlot).db[kOfflineDb], "delete from dbinfo", kSlot);
  EXPECT_EQ(users::GetDBInfoSystemID(text, kSlot), 245);
  EXPECT_EQ(users::GetDBVersion(text, kSlot), 248);

  SetState(kSlot, state::kIdle);
  text = "stale";
  EXPECT_EQ(users::GetDBInfoSystemID(text, kSlot), 1);
  EXPECT_EQ(text, "");
}

TEST_F(DbInfoWriter, SystemTableReadersTakeTheirColumns) {
  db::ConnectionRecord& record = SlotAt(kSlot).db[kOfflineDb];
  ASSERT_EQ(ConnectDB(record, kInfoDsn), 1);
  SetState(kSlot, state::kOffline);
  std::string columns = "d1 integer";
  std::string values = "100";
  for (int i = 2; i <= 14; ++i) {
    columns += ", d" + std::to_string(i) + " integer";
    values += ", " + std::to_string(100 + i - 1);
  }
  ASSERT_EQ(ExecuteSQL(record, "create table PGC20000 (" + columns + ")", kSlot), 1);
  std::string text;
  EXPECT_EQ(users::GetTMajor(text, kSlot), 206);
  EXPECT_EQ(users::GetTMinor(text, kSlot), 164);
  ASSERT_EQ(ExecuteSQL(record, "insert into PGC20000 values (" + values + ")", kSlot), 1);
  EXPECT_EQ(users::GetSystemID(text, kSlot), 1);
  EXPECT_EQ(text, "100");
  EXPECT_EQ(users::GetCountryID(text, kSlot), 1);
  EXPECT_EQ(text, "103");
  EXPECT_EQ(users::GetTMajor(text, kSlot), 1);
  EXPECT_EQ(text, "109");
  EXPECT_EQ(users::GetTMinor(text, kSlot), 1);
  EXPECT_EQ(text, "110");
  ExecuteSQL(record, "drop table PGC20000", kSlot);
}

}  // namespace
