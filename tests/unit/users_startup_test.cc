#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/log.h"
#include "support/test_installation.h"
#include "unit/users_test_support.h"
#include "users/users.h"

namespace {

using namespace userstest;
using testsupport::UserDbExec;
using testsupport::UserDbQuery;

std::vector<std::string> ColumnNames() {
  std::vector<std::string> names;
  for (const auto& row : UserDbQuery("SELECT name FROM pragma_table_info('userinfo') ORDER BY cid")) {
    names.push_back(row[0]);
  }
  return names;
}

class StartupRepair : public ::testing::Test {
 protected:
  void SetUp() override {
    userstest::PrepareUserTables();
    createSql = UserDbQuery("SELECT sql FROM sqlite_master WHERE type = 'table' AND name = 'userinfo'")[0][0];
    currentColumns = ColumnNames();
  }
  // Later tests expect the table exactly as provisioned.
  void TearDown() override {
    UserDbExec("DROP TABLE userinfo");
    UserDbExec(createSql);
    testsupport::ResetUserTables();
  }
  std::string createSql;
  std::vector<std::string> currentColumns;
};

TEST_F(StartupRepair, CurrentLayoutIsLeftUntouched) {
  UserDbExec("ALTER TABLE userinfo ADD COLUMN extra integer");
  std::vector<std::string> before = ColumnNames();
  EXPECT_EQ(users::CheckUserInfoFields(kServerLog), 1);
  EXPECT_EQ(ColumnNames(), before);
  EXPECT_EQ(UserColumn("alice", "user_pwd"), "secret");
}

TEST_F(StartupRepair, OldLayoutGetsUserLevelAndPersonalColumnsAtTheEnd) {
  // The old layout: the level in "level", personal data in the middle.
  std::string columns = "user_id varchar(16), user_pwd varchar(16), level integer, name varchar(30), "
                        "ip varchar(15), session_id varchar(32), login_state integer, login_count integer, "
                        "login_time varchar(19), connect_state integer, link_type integer, "
                        "connect_time varchar(19), connect_offline varchar(30)";
  for (int i = 1; i <= 48; ++i) columns += ", connect_info" + std::to_string(i) + " integer";
  columns += ", phone varchar(30)";
  UserDbExec("DROP TABLE userinfo");
  UserDbExec("CREATE TABLE userinfo (" + columns + ")");
  UserDbExec("INSERT INTO userinfo (user_id, user_pwd, level, name) VALUES ('old', 'pw', 3, 'Olga')");

  ASSERT_EQ(users::CheckUserInfoFields(kServerLog), 1);

  EXPECT_EQ(ColumnNames(), currentColumns);
  EXPECT_EQ(UserRow("old", "user_pwd, name"), (std::vector<std::string>{"pw", ""}));  // personal data is lost

  // And the repaired table serves the readers that address it by position.
  std::string password;
  EXPECT_EQ(users::GetOriginPassword("old", password, kServerLog), 1);
  EXPECT_EQ(password, "pw");
}

class StartupMarks : public ::testing::Test {
 protected:
  void SetUp() override { userstest::PrepareUserTables(); }
};

TEST_F(StartupMarks, EveryConnectionMarkIsClearedHoweverManyThereAre) {
  std::string sql = "BEGIN; INSERT INTO userinfo (user_id, user_pwd, user_level, connect_state) VALUES ('idle''r', 'x', 0, 2);";
  for (int i = 0; i < 150; ++i) {
    sql += " INSERT INTO userinfo (user_id, user_pwd, user_level, connect_state) VALUES ('u" + std::to_string(i) +
           "', 'p', 0, " + std::to_string(1 + i % 2) + ");";
  }
  UserDbExec(sql + " COMMIT;");
  EXPECT_EQ(users::ClearConnectStates(kServerLog), 1);
  EXPECT_EQ(UserDbQuery("SELECT count(*) FROM userinfo WHERE connect_state <> 0")[0][0], "0");
  EXPECT_EQ(UserCount(), 153);
  EXPECT_EQ(users::ClearConnectStates(kServerLog), 1);  // nothing left to clear
}

}  // namespace
