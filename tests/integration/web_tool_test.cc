// tavrel-web against the real server: a session on one connection, the exit
// status of a failed request, the port taken from an installation.
#include <gtest/gtest.h>

#include "support/system_suite.h"

using namespace testsupport;

namespace {

std::string Tool() { return std::string(TAVREL_BIN_DIR) + "/tavrel-web"; }

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

}  // namespace

class WebTool : public ServerSuite {
 protected:
  static void SetUpTestSuite() { LaunchWith({{"admin", "admin"}, {"wt_user", "pw"}}, 0); }

  static int Run(std::vector<std::string> args, std::string& output) {
    args.insert(args.begin(), Tool());
    return RunProgram(args, output);
  }
};

TEST_F(WebTool, SessionOfLoginUserSetAndLogoutSucceedsOnOneConnection) {
  std::string out;
  int status = Run({"--install", server_->dir(), "--user", "admin", "LOGIN", "password=admin", "session=s1",
                    "ip=10.0.0.1", ",", "USER_SET", "op=insert", "user=wt_new", "password=np", "level=2", "op=update",
                    "user=wt_user", "password=changed", ",", "LOGOUT", "session=s1"},
                   out);
  EXPECT_EQ(status, 0) << out;
  EXPECT_TRUE(Has(out, "< reply id 3, result 1 (success), record length 120")) << out;
  EXPECT_TRUE(Has(out, "\"WebUser\" \"WebInfo\"")) << out;
  EXPECT_TRUE(Has(out, "sequence 3 (final)")) << out;
  EXPECT_TRUE(Has(out, "< reply id 5, result 1 (success)")) << out;
  EXPECT_EQ((std::vector{UserField("wt_new", "user_level"), UserField("wt_user", "user_pwd"),
                         UserField("admin", "login_state")}),
            (std::vector<std::string>{"2", "changed", "0"}));
}

// A failed request, a request without reply and a refusal end with status 1.
TEST_F(WebTool, FailuresEndWithStatusOneAndShowWhatCameBack) {
  const std::string port = std::to_string(server_->port());
  // The request words and what the output shows.
  const std::pair<std::vector<std::string>, std::vector<std::string>> cases[] = {
      {{"LOGIN", "password=wrong", ",", "USER_SET", "op=insert", "user=wt_never", "password=x"},
       {"result 209 (LOGIN_PWD_ERR)"}},
      {{"CUSTOM", "msg-id=3"}, {"connection closed without reply"}},
      {{"PGC_READ", "msg-id=0x7240"}, {"< reply id 0, result 189 (no name)", "0000   72 40 FF FF"}},
  };
  for (const auto& [words, shown] : cases) {
    std::vector<std::string> args = {"--port", port, "--user", "admin"};
    args.insert(args.end(), words.begin(), words.end());
    std::string out;
    EXPECT_EQ(Run(args, out), 1) << out;
    for (const std::string& text : shown) EXPECT_TRUE(Has(out, text)) << out;
  }
  // The sequence stopped at the failed login.
  EXPECT_FALSE(server_->UserRow("wt_never"));
}

TEST_F(WebTool, BadCommandLinesAreRefusedWithStatusTwo) {
  std::string out;
  EXPECT_EQ(Run({"--port", "1", "LOGIN", "passwrd=x"}, out), 2);
  EXPECT_TRUE(Has(out, "unknown field passwrd")) << out;
  EXPECT_EQ(Run({"--port", "1", "NOT_A_REQUEST"}, out), 2);
  EXPECT_EQ(Run({"--port", "1", "PGC_READ"}, out), 2);  // a PGC read names its message
  EXPECT_EQ(Run({"--port", "1", "LOGIN", ",", ","}, out), 2);
  EXPECT_EQ(Run({"LOGIN"}, out), 2);
  EXPECT_EQ(Run({"--help"}, out), 0);
  EXPECT_TRUE(Has(out, "--install DIR")) << out;
}
