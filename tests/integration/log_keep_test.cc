// A server of an installation made with --keep-logs removes the oldest log
// files at start-up, and writes on in the newest.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "frame/log.h"
#include "support/comm_server.h"

using namespace testsupport;
namespace fs = std::filesystem;

TEST(LogKeep, ServerStartedWithAKeptTotalRemovesTheOldestLogFiles) {
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
  EXPECT_FALSE(fs::exists(path(1)));
  EXPECT_FALSE(fs::exists(path(2)));
  EXPECT_FALSE(fs::exists(path(3)));
  EXPECT_TRUE(fs::exists(path(4)));
  EXPECT_FALSE(fs::exists(path(6)));
  std::ifstream in(path(5));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.rfind("\nearlier line \n", 0), 0u);
  EXPECT_NE(text.find("Log file CommLog_3.txt removed"), std::string::npos) << text;
}
