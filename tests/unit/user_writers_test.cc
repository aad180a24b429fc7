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

// What a reader of the slot's identity gives: its text, or its result when that is not 1.
std::string Read(int (*reader)(std::string&, int)) {
  std::string text = "stale";
  int rc = reader(text, kSlot);
  return rc == 1 ? text : "result " + std::to_string(rc);
}

TEST(UserStatements, LinkBytesHoldNameThenTypeThenParameters) {
  std::array<std::uint8_t, LinkRecord::kSize> bytes{};
  std::iota(bytes.begin(), bytes.end(), 1);  // byte i holds i + 1
  LinkRecord link = LinkRecord::FromBytes(bytes.data());
  EXPECT_EQ((std::vector<int>{link.link_name[0], link.link_name[19], link.link_type, link.link_info[0],
                              link.link_info[47]}),
            (std::vector<int>{1, 20, 21, 22, 69}));
  EXPECT_EQ(link.ToBytes(), bytes);

  // A row comes in table order: type, parameters, name.
  Row row;
  row.push_back("7");
  for (int i = 0; i < 48; ++i) row.push_back(std::to_string(30 + i));
  for (int i = 0; i < 20; ++i) row.push_back(std::to_string(i));
  LinkRecord fromRow = LinkRecord::FromRow(row);
  EXPECT_EQ((std::vector<int>{fromRow.link_type, fromRow.link_info[47], fromRow.link_name[19]}),
            (std::vector<int>{7, 77, 19}));
}

class UserWriters : public ::testing::Test {
 protected:
  void SetUp() override { userstest::PrepareUserTables(); }
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
  EXPECT_EQ(Row(row.begin(), row.begin() + 4), (Row{"1234", "3", "sys", "17"}));
  EXPECT_EQ(Read(users::GetDBInfoSystemID), "17");
  EXPECT_EQ(Read(users::GetDBInfoCountryID), "3");
  EXPECT_EQ(Read(users::GetDBVersion), "1234");

  ExecuteSQL(SlotAt(kSlot).db[kOfflineDb], "delete from dbinfo", kSlot);
  EXPECT_EQ(Read(users::GetDBInfoSystemID), "result 245");
  EXPECT_EQ(Read(users::GetDBVersion), "result 248");

  SetState(kSlot, state::kIdle);
  EXPECT_EQ(Read(users::GetDBInfoSystemID), "");
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
  EXPECT_EQ(Read(users::GetTMajor), "result 206");
  EXPECT_EQ(Read(users::GetTMinor), "result 164");
  ASSERT_EQ(ExecuteSQL(record, "insert into PGC20000 values (" + values + ")", kSlot), 1);
  EXPECT_EQ((std::vector{Read(users::GetSystemID), Read(users::GetCountryID), Read(users::GetTMajor),
                         Read(users::GetTMinor)}),
            (std::vector<std::string>{"100", "103", "109", "110"}));
  ExecuteSQL(record, "drop table PGC20000", kSlot);
}

}  // namespace
