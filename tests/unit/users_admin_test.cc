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

web::WebMsg UserSet(const Bytes& data) { return Request(web::REQ_CONTROL, 6, "alice", data); }
web::WebMsg LinkSet(const Bytes& data) { return Request(web::REQ_CONTROL, 7, "alice", data); }

class UserAdmin : public ::testing::Test {
 protected:
  void SetUp() override {
    userstest::PrepareUserTables();
  }
};

TEST_F(UserAdmin, InsertOfExistingUserIs219AndKeepsEarlierRecords) {
  Bytes data;
  AppendUserRecord(data, kInsert, 3, "carol", "c-pw");
  AppendUserRecord(data, kInsert, 0, "alice", "other");
  AppendUserRecord(data, kInsert, 0, "dave", "d-pw");
  EXPECT_EQ(users::MaintainUsers(UserSet(data), kSlot), 219);
  EXPECT_EQ(UserRow("carol", "user_pwd, user_level"), (std::vector<std::string>{"c-pw", "3"}));
  EXPECT_EQ(UserColumn("alice", "user_pwd"), "secret");
  EXPECT_EQ(UserColumn("dave", "user_pwd"), "<no row>");
  EXPECT_TRUE(LogContains("already exist user:alice when insert userinfo table"));
}

TEST_F(UserAdmin, UpdateChangesPasswordAndLevelAndKeepsTheRest) {
  UserDbExec("UPDATE userinfo SET ip = '1.1.1.1', login_count = 5, email = 'a@b' WHERE user_id = 'alice'");
  Bytes data;
  AppendUserRecord(data, kUpdate, 4, "alice", "new-pw");
  ASSERT_EQ(users::MaintainUsers(UserSet(data), kSlot), 1);
  EXPECT_EQ(UserRow("alice", "user_pwd, user_level, ip, login_count, email"),
            (std::vector<std::string>{"new-pw", "4", "1.1.1.1", "5", "a@b"}));
  EXPECT_EQ(UserColumn("bob", "user_pwd"), "pw");
}

TEST_F(UserAdmin, RecordsThatAreNotWholeOrNameNoUserAreRefusedAndChangeNothing) {
  struct Case {
    std::uint8_t op;
    const char* id;
    int extraBytes;
    int result;
    const char* logged;
  } cases[] = {
      {kInsert, "carol", 1, 169, "Length of data is error:35/34"},
      {kUpdate, "nobody", 0, 221, "no user:nobody info when update"},
      {kDelete, "nobody", 0, 224, "no user:nobody info when delete"},
  };
  for (const Case& c : cases) {
    Bytes data;
    AppendUserRecord(data, c.op, 1, c.id, "pw");
    data.resize(data.size() + static_cast<std::size_t>(c.extraBytes), 0);
    EXPECT_EQ(users::MaintainUsers(UserSet(data), kSlot), c.result) << c.logged;
    EXPECT_TRUE(LogContains(c.logged));
    EXPECT_EQ(UserCount(), 2);
  }
}

TEST_F(UserAdmin, UserIdThatOccursTwiceIs222OnUpdateAnd225OnDelete) {
  KeylessUserTable keyless;
  UserDbExec("INSERT INTO userinfo (user_id, user_pwd, user_level) VALUES ('bob', 'twin', 0)");
  Bytes update;
  AppendUserRecord(update, kUpdate, 0, "bob", "x");
  EXPECT_EQ(users::MaintainUsers(UserSet(update), kSlot), 222);
  Bytes remove;
  AppendUserRecord(remove, kDelete, 0, "bob", "");
  EXPECT_EQ(users::MaintainUsers(UserSet(remove), kSlot), 225);
  EXPECT_EQ(UserDbQuery("SELECT count(*) FROM userinfo WHERE user_id = 'bob'")[0][0], "2");
}

TEST_F(UserAdmin, DeleteOfLoggedInUserIs216AndLeavesTheRow) {
  UserDbExec("UPDATE userinfo SET login_state = 1 WHERE user_id = 'bob'");
  Bytes data;
  AppendUserRecord(data, kDelete, 0, "bob", "");
  EXPECT_EQ(users::MaintainUsers(UserSet(data), kSlot), 216);
  EXPECT_TRUE(LogContains("user:bob is login when delete user"));
  EXPECT_EQ(UserColumn("bob", "user_pwd"), "pw");

  UserDbExec("UPDATE userinfo SET login_state = 0 WHERE user_id = 'bob'");
  EXPECT_EQ(users::MaintainUsers(UserSet(data), kSlot), 1);
  EXPECT_EQ(UserColumn("bob", "user_pwd"), "<no row>");
  EXPECT_EQ(UserCount(), 1);
}

TEST_F(UserAdmin, UnknownOperationIsSkipped) {
  Bytes data;
  AppendUserRecord(data, 7, 0, "alice", "");
  AppendUserRecord(data, kInsert, 0, "erin", "e");
  EXPECT_EQ(users::MaintainUsers(UserSet(data), kSlot), 1);
  EXPECT_EQ(UserCount(), 3);
}

TEST_F(UserAdmin, QuotedIdsAreUsersOfTheirOwn) {
  Bytes data;
  AppendUserRecord(data, kInsert, 0, "bob' --", "p'w");
  AppendUserRecord(data, kUpdate, 2, "bob' --", "q'w");
  ASSERT_EQ(users::MaintainUsers(UserSet(data), kSlot), 1);
  EXPECT_EQ(UserRow("bob' --", "user_pwd, user_level"), (std::vector<std::string>{"q'w", "2"}));
  EXPECT_EQ(UserRow("bob", "user_pwd, user_level"), (std::vector<std::string>{"pw", "0"}));
  Bytes remove;
  AppendUserRecord(remove, kDelete, 0, "alice' or '1'='1", "");
  EXPECT_EQ(users::MaintainUsers(UserSet(remove), kSlot), 224);
  AppendUserRecord(remove, kDelete, 0, "bob' --", "");
  EXPECT_EQ(users::MaintainUsers(UserSet(Bytes(remove.begin() + 34, remove.end())), kSlot), 1);
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
  static std::string LinkColumn(const std::string& column) {
    auto rows = UserDbQuery("SELECT " + column + " FROM linkinfo");
    return rows.size() == 1 ? rows[0][0] : "<" + std::to_string(rows.size()) + " rows>";
  }
};

TEST_F(LinkAdmin, InsertUpdateAndDeleteALink) {
  Bytes insert;
  AppendLinkRecord(insert, kInsert, 1, "plant-A", 10);
  ASSERT_EQ(users::MaintainLinks(LinkSet(insert), kSlot), 1);
  EXPECT_EQ(LinkColumn("link_type"), "1");
  EXPECT_EQ(LinkColumn("link_name1"), std::to_string('p'));
  EXPECT_EQ(LinkColumn("link_name8"), "0");
  EXPECT_EQ(LinkColumn("link_info1"), "10");
  EXPECT_EQ(LinkColumn("link_info48"), "57");

  Bytes update;
  AppendLinkRecord(update, kUpdate, 2, "plant-A", 100);
  ASSERT_EQ(users::MaintainLinks(LinkSet(update), kSlot), 1);
  EXPECT_EQ(LinkColumn("link_type"), "2");
  EXPECT_EQ(LinkColumn("link_info48"), "147");

  Bytes remove;
  AppendLinkRecord(remove, kDelete, 0, "plant-A", 0);
  ASSERT_EQ(users::MaintainLinks(LinkSet(remove), kSlot), 1);
  EXPECT_EQ(LinkCount(), 0);
}

TEST_F(LinkAdmin, InsertWithAnExistingNameIs219WhateverTypeAndParameters) {
  Bytes first;
  AppendLinkRecord(first, kInsert, 0, "plant-A", 1);
  ASSERT_EQ(users::MaintainLinks(LinkSet(first), kSlot), 1);
  Bytes second;
  AppendLinkRecord(second, kInsert, 2, "plant-B", 5);
  AppendLinkRecord(second, kInsert, 1, "plant-A", 9);
  EXPECT_EQ(users::MaintainLinks(LinkSet(second), kSlot), 219);
  EXPECT_TRUE(LogContains("already exist link name when insert"));
  EXPECT_EQ(LinkCount(), 2);
  EXPECT_EQ(UserDbQuery("SELECT link_type FROM linkinfo WHERE link_name7 = 65")[0][0], "0");
}

TEST_F(LinkAdmin, AbsentAndDuplicatedLinksAreRefused) {
  Bytes data(71, 0);
  EXPECT_EQ(users::MaintainLinks(LinkSet(data), kSlot), 169);
  EXPECT_TRUE(LogContains("Length of data is error:71/70"));

  Bytes update;
  AppendLinkRecord(update, kUpdate, 0, "ghost", 0);
  EXPECT_EQ(users::MaintainLinks(LinkSet(update), kSlot), 221);
  Bytes remove;
  AppendLinkRecord(remove, kDelete, 0, "ghost", 0);
  EXPECT_EQ(users::MaintainLinks(LinkSet(remove), kSlot), 224);

  Bytes insert;
  AppendLinkRecord(insert, kInsert, 0, "twin", 0);
  ASSERT_EQ(users::MaintainLinks(LinkSet(insert), kSlot), 1);
  UserDbExec("INSERT INTO linkinfo SELECT * FROM linkinfo");
  Bytes updateTwin;
  AppendLinkRecord(updateTwin, kUpdate, 0, "twin", 0);
  EXPECT_EQ(users::MaintainLinks(LinkSet(updateTwin), kSlot), 222);
  Bytes removeTwin;
  AppendLinkRecord(removeTwin, kDelete, 0, "twin", 0);
  EXPECT_EQ(users::MaintainLinks(LinkSet(removeTwin), kSlot), 225);
  EXPECT_EQ(LinkCount(), 2);
}

}  // namespace
