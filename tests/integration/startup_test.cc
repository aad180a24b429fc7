// Start-up of the real server: the missing web path, a taken port asked for
// again on a terminal and ending a server without one, the configuration
// file rewritten, and the oldest log files removed to the kept total.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "frame/log.h"
#include "support/comm_server.h"
#include "support/wire_helpers.h"

using namespace testsupport;
namespace fs = std::filesystem;

TEST(Startup, MissingWebPathEndsTheProcessWithExitCodeOne) {
  CommServer server;
  ASSERT_TRUE(server.provisioned()) << server.error();
  LaunchOptions withoutWebPath;
  withoutWebPath.dropEnv = {"WEB_PATH"};
  ASSERT_TRUE(server.Start(withoutWebPath));
  EXPECT_EQ(server.WaitExit(20000), std::optional<int>(1)) << server.Console();
  std::string console = server.Console();
  EXPECT_NE(console.find("\nQuery from registry error\n"), std::string::npos) << console;
  EXPECT_NE(console.find("\nSome critical error occurred. Program is ended"), std::string::npos) << console;
  EXPECT_EQ(console.find("listening  ok."), std::string::npos);
  EXPECT_NE(server.Logs().find("Regsitry error: Error occurs when get config file path from registry"),
            std::string::npos)
      << server.Logs();
}

TEST(Startup, ATakenPortIsAskedForAgainOnATerminalAndEndsAServerWithout) {
  CommServer holder;
  ASSERT_TRUE(holder.provisioned()) << holder.error();
  ASSERT_TRUE(holder.Start() && holder.WaitListening()) << holder.Console();
  CommServer service({.port = holder.port()});
  ASSERT_TRUE(service.provisioned()) << service.error();
  ASSERT_TRUE(service.Start({.answerPortPrompt = false, .terminalInput = false}));
  EXPECT_EQ(service.WaitExit(20000), std::optional<int>(1)) << service.Console();
  EXPECT_EQ(service.Console().find("please input another port"), std::string::npos) << service.Console();
  EXPECT_NE(service.Logs().find("is used and standard input is not a terminal"), std::string::npos) << service.Logs();

  CommServer server({.port = holder.port()});
  ASSERT_TRUE(server.provisioned()) << server.error();
  std::string before = server.ReadConfig();
  ASSERT_TRUE(server.Start({.answerPortPrompt = false}));
  const std::string prompt = "\nThe port number is used, please input another port numbers: ";
  ASSERT_TRUE(server.WaitConsole(prompt, 20000)) << server.Console();
  std::size_t afterFirst = server.Console().size();
  server.Input("not-a-number\n");
  ASSERT_TRUE(server.WaitConsole(prompt, 20000, afterFirst)) << "a non-number must be asked again:\n"
                                                             << server.Console();
  std::uint16_t port = FreePort();
  server.Input(std::to_string(port) + "\n");
  ASSERT_TRUE(server.WaitListening()) << server.Console();
  EXPECT_NE(server.Console().find("\nbind to new port:" + std::to_string(port) + " OK."), std::string::npos);
  // Line 1 takes the new port; the lines below are as start-up leaves them.
  std::string commPath = "COMM_PATH:" + fs::canonical(server.commDir()).string() + "\n";
  EXPECT_EQ(server.ReadConfig(),
            "TAVREL_PORT:" + std::to_string(port) + "\n" + before.substr(before.find('\n') + 1) + "WEB_LOG:0\n" + commPath);
  client::WebClient connection;
  connection.SetUser("admin");
  ASSERT_EQ(connection.Connect("127.0.0.1", port), 1);
  EXPECT_TRUE(Answered(Call(connection, Login("admin", "admin", "s-port")), 3, 1));
}

// An installation made with --keep-logs: the oldest log files go at start-up,
// and the server writes on in the newest.
TEST(Startup, AKeptLogTotalRemovesTheOldestLogFiles) {
  CommServer server;
  ASSERT_TRUE(server.provisioned()) << server.error();
  std::string output;
  ASSERT_EQ(RunProgram({std::string(TAVREL_BIN_DIR) + "/tavrel-setup", "--keep-logs", "8", server.dir()}, output), 0)
      << output;
  auto path = [&](int number) { return server.commDir() + "/CommLog_" + std::to_string(number) + ".txt"; };
  for (int number = 1; number <= 4; ++number) {
    std::ofstream(path(number)).close();
    fs::resize_file(path(number), kLogFileLimit + 1);
  }
  std::ofstream(path(5)) << "\nearlier line \n";
  ASSERT_TRUE(server.Start() && server.WaitListening()) << server.Console();

  // 4 full files and the fifth make 20 MB: the three oldest go to fit 8 MB.
  for (int number : {1, 2, 3}) EXPECT_FALSE(fs::exists(path(number))) << number;
  EXPECT_TRUE(fs::exists(path(4)));
  EXPECT_FALSE(fs::exists(path(6)));
  std::string text = ReadFile(path(5));
  EXPECT_EQ(text.rfind("\nearlier line \n", 0), 0u);
  EXPECT_NE(text.find("Log file CommLog_3.txt removed"), std::string::npos) << text;
}
