// Login, login reset and logout over the wire, checked against the user
// table the server writes.
#include <gtest/gtest.h>

#include "support/system_suite.h"

using namespace testsupport;
using client::Bytes;

class Login : public ServerSuite {
 protected:
  static void SetUpTestSuite() {
    LaunchWith({{"lg_ok", "Secret"}, {"lg_reset", "pw"}, {"lg_out", "pw"}, {"lg_sess", "pw"}, {"lg_never", "pw"}});
  }

  static Exchange LoginOnce(const std::string& user, const std::string& password, const std::string& session,
                            const std::string& ip = "127.0.0.1") {
    return CallOnce(*server_, user, testsupport::Login(user, password, session, ip));
  }
  static std::string Field(const std::string& user, const std::string& column) {
    auto row = server_->UserRow(user);
    return row ? (*row)[column] : "<no row>";
  }

};

TEST_F(Login, SuccessAnswersTheDataSourceNamesAndRecordsTheSession) {
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

  auto row = server_->UserRow("lg_ok");
  ASSERT_TRUE(row);
  EXPECT_EQ((*row)["login_state"], "1");
  EXPECT_EQ((*row)["session_id"], "session-ok");
  EXPECT_EQ((*row)["ip"], "10.1.2.3");
  EXPECT_EQ((*row)["connect_state"], "0");
  EXPECT_EQ((*row)["login_count"], "1");
  EXPECT_TRUE(IsLocalTimeText((*row)["login_time"])) << (*row)["login_time"];
}

TEST_F(Login, LoginResetOfALoggedInUserTakesTheNewSession) {
  ASSERT_EQ(LoginOnce("lg_reset", "pw", "first").answer.result(), 1);
  Exchange reset = CallOnce(*server_, "lg_reset",
                            client::MakeRequest("LOGIN_RESET", client::LoginData("lg_reset", "pw", "second", "10.9.8.7")));
  ASSERT_TRUE(Answered(reset, 3, 1));
  EXPECT_EQ(FieldAt(reset.answer.data, 0, 52), "WebUser");
  EXPECT_EQ(Field("lg_reset", "session_id"), "second");
  EXPECT_EQ(Field("lg_reset", "ip"), "10.9.8.7");
  EXPECT_EQ(Field("lg_reset", "login_state"), "1");
  EXPECT_EQ(Field("lg_reset", "login_count"), "2");
}

// A logout succeeds on the wire whatever the session; only the right one ends the login.
TEST_F(Login, LogoutSucceedsAlwaysAndEndsOnlyTheLoginOfItsSession) {
  client::WebClient connection = server_->Connect("lg_out");
  ASSERT_EQ(Call(connection, testsupport::Login("lg_out", "pw", "s-out")).answer.result(), 1);
  client::Request logout = Logout("lg_out", "s-out");
  logout.final = true;
  Exchange out = Call(connection, logout);
  ASSERT_TRUE(Answered(out, 5, 1));
  EXPECT_TRUE(out.answer.data.empty());
  EXPECT_EQ(Field("lg_out", "login_state"), "0");
  EXPECT_EQ(LoginOnce("lg_out", "pw", "s-again").answer.result(), 1);

  ASSERT_EQ(LoginOnce("lg_sess", "pw", "mine").answer.result(), 1);
  for (const char* user : {"lg_sess", "lg_never"}) {
    Exchange other = CallOnce(*server_, user, Logout(user, "someone-else"));
    ASSERT_TRUE(Answered(other, 5, 1)) << user;
  }
  EXPECT_EQ(Field("lg_sess", "login_state"), "1");
  EXPECT_EQ(Field("lg_sess", "session_id"), "mine");
  // At info level 2 the server logs errors and debug lines only, on file and console.
  std::string logs = server_->Logs();
  EXPECT_NE(logs.find("user lg_never not login when logout"), std::string::npos);
  EXPECT_EQ(logs.find("...Message..."), std::string::npos);
  EXPECT_EQ(logs.find("...SQL..."), std::string::npos);
  EXPECT_EQ(server_->Console().find("...Message...recv from web"), std::string::npos);
  EXPECT_EQ(Field("lg_never", "login_state"), "0");
}
