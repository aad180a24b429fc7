#include <gtest/gtest.h>

#include "support/test_installation.h"
#include "unit/users_test_support.h"
#include "users/users.h"

namespace {

using namespace userstest;
using testsupport::UserDbExec;
using testsupport::UserDbQuery;

constexpr std::uint8_t kInsert = 0;
constexpr std::uint8_t kUpdate = 1;
constexpr std::uint8_t kDelete = 2;

// USER_SET and LINK_SET of alice's with the given records.
struct UserRecord {
  std::uint8_t op, level;
  const char* id;
  const char* password;
};
int Users(std::initializer_list<UserRecord> records, std::size_t extraBytes = 0) {
  Bytes data;
  for (const UserRecord& r : records) AppendUserRecord(data, r.op, r.level, r.id, r.password);
  data.resize(data.size() + extraBytes, 0);
  return users::MaintainUsers(Request(web::REQ_CONTROL, 6, "alice", data), kSlot);
}
struct LinkRecord {
  std::uint8_t op, type;
  const char* name;
  std::uint8_t firstParam;
};
int Links(std::initializer_list<LinkRecord> records) {
  Bytes data;
  for (const LinkRecord& r : records) AppendLinkRecord(data, r.op, r.type, r.name, r.firstParam);
  return users::MaintainLinks(Request(web::REQ_CONTROL, 7, "alice", data), kSlot);
}

class UserAdmin : public ::testing::Test {
 protected:
  void SetUp() override { userstest::PrepareUserTables(); }
};

TEST_F(UserAdmin, InsertOfExistingUserIs219AndKeepsEarlierRecords) {
  EXPECT_EQ(Users({{kInsert, 3, "carol", "c-pw"}, {kInsert, 0, "alice", "other"}, {kInsert, 0, "dave", "d-pw"}}), 219);
  EXPECT_EQ(UserRow("carol", "user_pwd, user_level"), (std::vector<std::string>{"c-pw", "3"}));
  EXPECT_EQ(UserColumn("alice", "user_pwd"), "secret");
  EXPECT_EQ(UserColumn("dave", "user_pwd"), "<no row>");
  EXPECT_TRUE(LogContains("already exist user:alice when insert userinfo table"));
}

TEST_F(UserAdmin, UpdateChangesPasswordAndLevelAndKeepsTheRest) {
  UserDbExec("UPDATE userinfo SET ip = '1.1.1.1', login_count = 5, email = 'a@b' WHERE user_id = 'alice'");
  ASSERT_EQ(Users({{kUpdate, 4, "alice", "new-pw"}}), 1);
  EXPECT_EQ(UserRow("alice", "user_pwd, user_level, ip, login_count, email"),
            (std::vector<std::string>{"new-pw", "4", "1.1.1.1", "5", "a@b"}));
  EXPECT_EQ(UserColumn("bob", "user_pwd"), "pw");
}

TEST_F(UserAdmin, RecordsThatAreNotWholeOrNameNoUserAreRefusedAndChangeNothing) {
  struct Case {
    std::uint8_t op;
    const char* id;
    std::size_t extraBytes;
    int result;
    const char* logged;
  } cases[] = {
      {kInsert, "carol", 1, 169, "Length of data is error:35/34"},
      {kUpdate, "nobody", 0, 221, "no user:nobody info when update"},
      {kDelete, "nobody", 0, 224, "no user:nobody info when delete"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Users({{c.op, 1, c.id, "pw"}}, c.extraBytes), c.result) << c.logged;
    EXPECT_TRUE(LogContains(c.logged));
    EXPECT_EQ(UserCount(), 2);
  }
}

TEST_F(UserAdmin, UserIdThatOccursTwiceIs222OnUpdateAnd225OnDelete) {
  KeylessUserTable keyless;
  UserDbExec("INSERT INTO userinfo (user_id, user_pwd, user_level) VALUES ('bob', 'twin', 0)");
  EXPECT_EQ(Users({{kUpdate, 0, "bob", "x"}}), 222);
  EXPECT_EQ(Users({{kDelete, 0, "bob", ""}}), 225);
  EXPECT_EQ(UserDbQuery("SELECT count(*) FROM userinfo WHERE user_id = 'bob'")[0][0], "2");
}

TEST_F(UserAdmin, DeleteOfLoggedInUserIs216AndLeavesTheRow) {
  UserDbExec("UPDATE userinfo SET login_state = 1 WHERE user_id = 'bob'");
  EXPECT_EQ(Users({{kDelete, 0, "bob", ""}}), 216);
  EXPECT_TRUE(LogContains("user:bob is login when delete user"));
  EXPECT_EQ(UserColumn("bob", "user_pwd"), "pw");

  UserDbExec("UPDATE userinfo SET login_state = 0 WHERE user_id = 'bob'");
  EXPECT_EQ(Users({{kDelete, 0, "bob", ""}}), 1);
  EXPECT_EQ(UserColumn("bob", "user_pwd"), "<no row>");
  EXPECT_EQ(UserCount(), 1);
}

TEST_F(UserAdmin, UnknownOperationIsSkipped) {
  EXPECT_EQ(Users({{7, 0, "alice", ""}, {kInsert, 0, "erin", "e"}}), 1);
  EXPECT_EQ(UserCount(), 3);
}

TEST_F(UserAdmin, QuotedIdsAreUsersOfTheirOwn) {
  ASSERT_EQ(Users({{kInsert, 0, "bob' --", "p'w"}, {kUpdate, 2, "bob' --", "q'w"}}), 1);
  EXPECT_EQ(UserRow("bob' --", "user_pwd, user_level"), (std::vector<std::string>{"q'w", "2"}));
  EXPECT_EQ(UserRow("bob", "user_pwd, user_level"), (std::vector<std::string>{"pw", "0"}));
  EXPECT_EQ(Users({{kDelete, 0, "alice' or '1'='1", ""}}), 224);
  EXPECT_EQ(Users({{kDelete, 0, "bob' --", ""}}), 1);
  EXPECT_EQ(UserCount(), 2);
}

TEST_F(UserAdmin, ExtendedUpdateSetsPersonalDataOfTheRecordsOwnUser) {
  Bytes data(238, 0);
  PutText(data, 0, 16, "bob");
  PutText(data, 16, 16, "bob-pw");
  PutText(data, 32, 24, "Bob O'Brien");
  PutText(data, 56, 26, "555-1");
  PutText(data, 82, 26, "555-2");
  PutText(data, 108, 60, "1 Main St");
  PutText(data, 168, 40, "engineer");
  PutText(data, 208, 30, "bob@example.org");
  // The head names the requesting administrator, not the row.
  ASSERT_EQ(users::UpdateUserRecord(Request(web::REQ_CONTROL, 30, "alice", data), 30, kSlot), 1);
  EXPECT_EQ(UserRow("bob", "user_pwd, name, phone, mobile, address, job, email"),
            (std::vector<std::string>{"bob-pw", "Bob O'Brien", "555-1", "555-2", "1 Main St", "engineer",
                                      "bob@example.org"}));
  EXPECT_EQ(UserRow("alice", "user_pwd, name"), (std::vector<std::string>{"secret", ""}));

  PutText(data, 0, 16, "nobody");
  EXPECT_EQ(users::UpdateUserRecord(Request(web::REQ_CONTROL, 30, "alice", data), 30, kSlot), 221);
}

class LinkAdmin : public UserAdmin {
 protected:
  // The columns of the only link.
  static std::vector<std::string> LinkColumns(const std::string& columns) {
    auto rows = UserDbQuery("SELECT " + columns + " FROM linkinfo");
    return rows.size() == 1 ? rows[0] : std::vector<std::string>{std::to_string(rows.size()) + " rows"};
  }
};

TEST_F(LinkAdmin, InsertUpdateAndDeleteALink) {
  ASSERT_EQ(Links({{kInsert, 1, "plant-A", 10}}), 1);
  EXPECT_EQ(LinkColumns("link_type, link_name1, link_name8, link_info1, link_info48"),
            (std::vector<std::string>{"1", std::to_string('p'), "0", "10", "57"}));
  ASSERT_EQ(Links({{kUpdate, 2, "plant-A", 100}}), 1);
  EXPECT_EQ(LinkColumns("link_type, link_info48"), (std::vector<std::string>{"2", "147"}));
  ASSERT_EQ(Links({{kDelete, 0, "plant-A", 0}}), 1);
  EXPECT_EQ(LinkCount(), 0);
}

TEST_F(LinkAdmin, InsertWithAnExistingNameIs219WhateverTypeAndParameters) {
  ASSERT_EQ(Links({{kInsert, 0, "plant-A", 1}}), 1);
  EXPECT_EQ(Links({{kInsert, 2, "plant-B", 5}, {kInsert, 1, "plant-A", 9}}), 219);
  EXPECT_TRUE(LogContains("already exist link name when insert"));
  EXPECT_EQ(LinkCount(), 2);
  EXPECT_EQ(UserDbQuery("SELECT link_type FROM linkinfo WHERE link_name7 = 65")[0][0], "0");
}

TEST_F(LinkAdmin, AbsentAndDuplicatedLinksAreRefused) {
  EXPECT_EQ(users::MaintainLinks(Request(web::REQ_CONTROL, 7, "alice", Bytes(71, 0)), kSlot), 169);
  EXPECT_TRUE(LogContains("Length of data is error:71/70"));

  EXPECT_EQ(Links({{kUpdate, 0, "ghost", 0}}), 221);
  EXPECT_EQ(Links({{kDelete, 0, "ghost", 0}}), 224);
  ASSERT_EQ(Links({{kInsert, 0, "twin", 0}}), 1);
  UserDbExec("INSERT INTO linkinfo SELECT * FROM linkinfo");
  EXPECT_EQ(Links({{kUpdate, 0, "twin", 0}}), 222);
  EXPECT_EQ(Links({{kDelete, 0, "twin", 0}}), 225);
  EXPECT_EQ(LinkCount(), 2);
}

}  // namespace
