// The log lines of the running server: their shape, and every level
// written at info level 9 (the filter at level 2: Login's server).
#include <gtest/gtest.h>

#include "support/comm_server.h"
#include "support/wire_helpers.h"

using namespace testsupport;

namespace {

// A login of "logger" (a Debug, Message and SQL line or more), then a message
// with a broken sequence number (an Error line).
void ProduceLinesOfEveryLevel(CommServer& server) {
  Exchange login = CallOnce(server, "logger", Login("logger", "pw", "s1"));
  ASSERT_EQ(login.rc, 1);
  ASSERT_EQ(login.answer.result(), 1);
  client::WebClient broken = server.Connect("logger");
  client::Request request = Logout("logger", "s1");
  request.sequence = 2;
  ASSERT_EQ(broken.Send(request), 1);
  EXPECT_EQ(broken.WaitClosed(kCloseMs), 1);
}

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

// The lines of `logs` that contain `what`, each without its line end.
std::vector<std::string> LinesWith(const std::string& logs, const std::string& what) {
  std::vector<std::string> lines;
  for (std::size_t at = logs.find(what); at != std::string::npos; at = logs.find(what, at + 1)) {
    std::size_t begin = logs.rfind('\n', at);
    begin = begin == std::string::npos ? 0 : begin + 1;
    lines.push_back(logs.substr(begin, logs.find('\n', at) - begin));
  }
  return lines;
}

const char* kSequenceError = "Error...Web message format error: The seqence number of message is not continue.";

}  // namespace

TEST(Logging, ServerLinesCarry999TheTimeAndTheLevelName) {
  auto server = LaunchServer({.users = {{"logger", "pw"}}, .infoLevel = 9});
  ASSERT_TRUE(server);
  ProduceLinesOfEveryLevel(*server);
  std::string logs = server->Logs();
  // The head of the first message: type 2, head byte 0, body length 0x59
  // (79 bytes of login data), then the user id "logger".
  auto heads = LinesWith(logs, "...Message...recv from web, head: 2 0 0 59 6C 6F 67 67 65 72 0 ");
  ASSERT_FALSE(heads.empty()) << logs;
  const std::string& line = heads.front();
  EXPECT_EQ(line.substr(0, 6), "999...") << line;
  EXPECT_TRUE(IsLocalTimeText(line.substr(6, 19))) << line;
  EXPECT_EQ(line.substr(25, 3), "...") << line;
  EXPECT_TRUE(Has(logs, kSequenceError)) << logs;
  EXPECT_TRUE(Has(logs, "...Debug...Debug: ")) << logs;
  EXPECT_TRUE(Has(logs, "...SQL...")) << logs;
  // Every record is a line end, the line (ending in a blank), a blank and a
  // line end.
  ASSERT_GT(logs.size(), 2u);
  EXPECT_EQ(logs[0], '\n');
  std::size_t end = logs.find('\n', 1);
  EXPECT_EQ(logs.substr(end - 1, 4), " \n \n") << logs.substr(0, 300);
}
