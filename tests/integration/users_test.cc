// Login, login reset, logout and user administration over the wire, checked
// against the user table the server writes (run again on PostgreSQL, where
// the user database's own SQL matters: quotes in ids, the personal columns).
#include <gtest/gtest.h>

#include "support/system_suite.h"

using namespace testsupport;
using client::Bytes;
using client::kDelete;
using client::kInsert;
using client::kUpdate;

class Users : public ServerSuite {
 protected:
  static void SetUpTestSuite() {
    LaunchWith({{"lg_ok", "Secret"}, {"lg_reset", "pw"}, {"lg_out", "pw"}, {"lg_sess", "pw"}, {"lg_never", "pw"},
                {"admin", "admin"}, {"ua_ext", "pw"}, {"ua_keep1", "pw1"}, {"ua_keep2", "pw2"}});
  }

  static Exchange LoginOnce(const std::string& user, const std::string& password, const std::string& session,
                            const std::string& ip = "127.0.0.1") {
    return CallOnce(*server_, user, testsupport::Login(user, password, session, ip));
  }
  // A USER_SET from the administrator on its own connection.
  static Exchange Admin(const std::vector<Bytes>& records) { return CallOnce(*server_, "admin", UserSet(records)); }
  static std::vector<Row> AllUsers() { return server_->Query("select * from userinfo order by user_id"); }
};

TEST_F(Users, SuccessAnswersTheDataSourceNamesAndRecordsTheSession) {
  Exchange login = LoginOnce("lg_ok", "Secret", "session-ok", "10.1.2.3");
  ASSERT_TRUE(Answered(login, 3, 1));
  EXPECT_EQ(login.answer.recordLength(), 120);
  const Bytes& data = login.answer.data;
  ASSERT_EQ(data.size(), 120u);
  Bytes expected(120, 0);
  std::copy_n("WebUser", 7, expected.begin());
  std::copy_n("WebInfo", 7, expected.begin() + 52);
  std::fill(expected.begin() + 104, expected.end(), 0xFF);
  EXPECT_EQ(data, expected);

  EXPECT_EQ(UserFields("lg_ok", {"login_state", "session_id", "ip", "connect_state", "login_count"}),
            (std::vector<std::string>{"1", "session-ok", "10.1.2.3", "0", "1"}));
  EXPECT_TRUE(IsLocalTimeText(UserField("lg_ok", "login_time"))) << UserField("lg_ok", "login_time");
}

TEST_F(Users, LoginResetOfALoggedInUserTakesTheNewSession) {
  ASSERT_EQ(LoginOnce("lg_reset", "pw", "first").answer.result(), 1);
  Exchange reset = CallOnce(*server_, "lg_reset",
                            client::MakeRequest("LOGIN_RESET", client::LoginData("lg_reset", "pw", "second", "10.9.8.7")));
  ASSERT_TRUE(Answered(reset, 3, 1));
  EXPECT_EQ(FieldAt(reset.answer.data, 0, 52), "WebUser");
  EXPECT_EQ(UserFields("lg_reset", {"session_id", "ip", "login_state", "login_count"}),
            (std::vector<std::string>{"second", "10.9.8.7", "1", "2"}));
}

// A logout succeeds on the wire whatever the session; only the right one ends the login.
TEST_F(Users, LogoutSucceedsAlwaysAndEndsOnlyTheLoginOfItsSession) {
  client::WebClient connection = server_->Connect("lg_out");
  ASSERT_EQ(Call(connection, testsupport::Login("lg_out", "pw", "s-out")).answer.result(), 1);
  client::Request logout = Logout("lg_out", "s-out");
  logout.final = true;
  Exchange out = Call(connection, logout);
  ASSERT_TRUE(Answered(out, 5, 1));
  EXPECT_TRUE(out.answer.data.empty());
  EXPECT_EQ(UserField("lg_out", "login_state"), "0");
  EXPECT_EQ(LoginOnce("lg_out", "pw", "s-again").answer.result(), 1);

  ASSERT_EQ(LoginOnce("lg_sess", "pw", "mine").answer.result(), 1);
  for (const char* user : {"lg_sess", "lg_never"}) {
    ASSERT_TRUE(Answered(CallOnce(*server_, user, Logout(user, "someone-else")), 5, 1)) << user;
  }
  EXPECT_EQ(UserFields("lg_sess", {"login_state", "session_id"}), (std::vector<std::string>{"1", "mine"}));
  // At info level 2 the server logs errors and debug lines only, on file and console.
  std::string logs = server_->Logs();
  EXPECT_NE(logs.find("user lg_never not login when logout"), std::string::npos);
  EXPECT_EQ(logs.find("...Message..."), std::string::npos);
  EXPECT_EQ(logs.find("...SQL..."), std::string::npos);
  EXPECT_EQ(server_->Console().find("...Message...recv from web"), std::string::npos);
  EXPECT_EQ(UserField("lg_never", "login_state"), "0");
}

TEST_F(Users, QuotesInUserIdsAreRefusedOrStoredExactly) {
  auto before = AllUsers();
  Exchange insert = Admin({client::UserRecord(kInsert, 2, "o'hara", "p'w")});
  ASSERT_EQ(insert.rc, 1);
  auto row = server_->UserRow("o'hara");
  if (insert.answer.result() == 1) {
    ASSERT_TRUE(row);
    EXPECT_EQ(insert.answer.data, RefusalData(6));  // the answer of user administration
    EXPECT_EQ((*row)["user_pwd"], "p'w");
    EXPECT_EQ(AllUsers().size(), before.size() + 1);
    Exchange login = CallOnce(*server_, "o'hara", Login("o'hara", "p'w", "s1"));
    EXPECT_EQ(login.answer.result(), 1);
  } else {
    EXPECT_FALSE(row);
    EXPECT_EQ(AllUsers(), before);
  }
  // A delete whose id reads as a condition must match no one.
  auto afterInsert = AllUsers();
  Exchange remove = Admin({client::UserRecord(kDelete, 0, "x' or '1'='1", "")});
  ASSERT_TRUE(remove.rc == 1 && remove.answer.result() != 1) << remove.rc;
  Exchange update = Admin({client::UserRecord(kUpdate, 0, "ua_keep1' or '1'='1", "hacked")});
  ASSERT_TRUE(update.rc == 1 && update.answer.result() != 1) << update.rc;
  EXPECT_EQ(AllUsers(), afterInsert);
}

TEST_F(Users, ExtendedRecordStoresPersonalData) {
  client::ExtendedUser user{"ua_ext", "pw2", "Ada Lovelace", "+44 20 1234", "+44 77 5678",
                            "12 St James's Square, London", "Analyst", "ada@example.org"};
  Exchange ext = CallOnce(*server_, "admin", client::MakeRequest("USER_SET_EXT", client::ExtendedUserRecord(user)));
  ASSERT_TRUE(Answered(ext, 0, 1));
  EXPECT_EQ(ext.answer.data, RefusalData(30));
  auto row = server_->UserRow("ua_ext");
  ASSERT_TRUE(row);
  EXPECT_EQ((*row)["user_pwd"], "pw2");
  EXPECT_EQ((*row)["name"], user.name);
  EXPECT_EQ((*row)["phone"], user.phone);
  EXPECT_EQ((*row)["mobile"], user.mobile);
  EXPECT_EQ((*row)["address"], user.address);
  EXPECT_EQ((*row)["job"], user.job);
  EXPECT_EQ((*row)["email"], user.email);
}
