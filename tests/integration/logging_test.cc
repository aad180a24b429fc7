// Log lines of the running server and their filtering by the info level of
// the configuration file.
#include <gtest/gtest.h>

#include <regex>

#include "support/comm_server.h"
#include "support/wire_helpers.h"

using namespace testsupport;

namespace {

std::unique_ptr<CommServer> ServerAtLevel(int level) {
  ServerOptions options;
  options.infoLevel = level;
  options.users = {{"logger", "pw"}};
  return LaunchServer(options);
}

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

const char* kSequenceError = "Error...Web message format error: The seqence number of message is not continue.";

}  // namespace

TEST(Logging, ServerLinesCarry999TheTimeAndTheLevelName) {
  auto server = ServerAtLevel(9);
  ASSERT_TRUE(server);
  ProduceLinesOfEveryLevel(*server);
  std::string logs = server->Logs();
  // The head of the first message: type 2, head byte 0, body length 0x59
  // (79 bytes of login data), then the user id "logger".
  std::regex head(R"(\n999\.\.\.\d{4}-\d\d-\d\d \d\d_\d\d_\d\d\.\.\.Message\.\.\.recv from web, head: 2 0 0 59 6C 6F 67 67 65 72 0 )");
  EXPECT_TRUE(std::regex_search(logs, head)) << logs;
  EXPECT_TRUE(Has(logs, kSequenceError)) << logs;
  EXPECT_TRUE(Has(logs, "...Debug...Debug: ")) << logs;
  EXPECT_TRUE(Has(logs, "...SQL...")) << logs;
  // Every record is a line end, the line, a blank and a line end.
  EXPECT_TRUE(std::regex_search(logs, std::regex(R"(^\n\d+\.\.\.[^\n]* \n \n)"))) << logs.substr(0, 300);
}

TEST(Logging, InfoLevelTwoKeepsErrorAndDebugAndDropsTheRest) {
  auto server = ServerAtLevel(2);
  ASSERT_TRUE(server);
  ProduceLinesOfEveryLevel(*server);
  std::string logs = server->Logs();
  EXPECT_TRUE(Has(logs, kSequenceError)) << logs;
  EXPECT_TRUE(Has(logs, "...Debug...")) << logs;
  EXPECT_FALSE(Has(logs, "...Message...")) << logs;
  EXPECT_FALSE(Has(logs, "...SQL...")) << logs;
  EXPECT_FALSE(Has(logs, "...State Changed...")) << logs;
  // Dropped lines do not reach the console either.
  EXPECT_FALSE(Has(server->Console(), "...Message...recv from web"));
}

TEST(Logging, InfoLevelZeroKeepsOnlyErrors) {
  auto server = ServerAtLevel(0);
  ASSERT_TRUE(server);
  ProduceLinesOfEveryLevel(*server);
  std::string logs = server->Logs();
  EXPECT_TRUE(Has(logs, "\n999..."));
  EXPECT_TRUE(Has(logs, kSequenceError)) << logs;
  EXPECT_FALSE(Has(logs, "...Debug...")) << logs;
  EXPECT_FALSE(Has(logs, "...Message...")) << logs;
}
