#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "frame/config.h"
#include "frame/log.h"
#include "support/comm_server.h"

namespace {

class ConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tavrel-conf-XXXXXX";
    dir_ = mkdtemp(pattern);
    path_ = dir_ + "/tavrel.conf";
    SetLogDirectory(dir_ + "/");
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string Read() const { return testsupport::ReadFile(path_); }
  std::string dir_, path_;
};

TEST(ConfigValue, TakesTheNumberBetweenFirstAndSecondColon) {
  EXPECT_EQ(ConfigLineValue("TAVREL_PORT:5000\n"), 5000);
  EXPECT_EQ(ConfigLineValue("TAVREL_PORT:5000:extra\n"), 5000);
  EXPECT_EQ(ConfigLineValue("TAVREL_PORT 5000\n"), 0);
  EXPECT_EQ(ConfigLineValue("X: 7abc"), 7);
  EXPECT_EQ(ConfigLineValue("X:-3"), -3);
  EXPECT_EQ(ConfigLineValue("X:abc"), 0);
}

TEST_F(ConfigFile, StartUpKeepsTwoLinesAndAWebLogLineAndWritesItsPath) {
  Write("TAVREL_PORT:6001\nINFO_LEVEL:2\n");
  EXPECT_EQ(GetConfigPort(path_, kServerLog), 6001);
  EXPECT_EQ(GetConfigInfoLevel(path_, kServerLog), 2);
  const std::pair<const char*, const char*> cases[] = {
      {"TAVREL_PORT:6001\nINFO_LEVEL:2\n", "TAVREL_PORT:6001\nINFO_LEVEL:2\nWEB_LOG:0\nCOMM_PATH:/c\n"},
      {"P:1\nL:2\nWEB_LOG:whatever:x\nCOMM_PATH:/old\nfifth line\n", "P:1\nL:2\nWEB_LOG:whatever:x\nCOMM_PATH:/c\n"},
      {"P:1\nL:2\nmy WEB_LOG:1\n", "P:1\nL:2\nWEB_LOG:0\nCOMM_PATH:/c\n"},  // only a line that starts with it
      {"P:1\nL:2", "P:1\nL:2\nWEB_LOG:0\nCOMM_PATH:/c\n"},  // the last line without its end stays on its own
  };
  for (const auto& [before, after] : cases) {
    Write(before);
    ASSERT_EQ(UpdateConfigWebLogAndPath(path_, "/c", kServerLog), 1) << before;
    EXPECT_EQ(Read(), after) << before;
  }
}

TEST_F(ConfigFile, MissingFileIsRefused) {
  EXPECT_EQ(GetConfigPort(path_, kServerLog), -1);
  EXPECT_EQ(GetConfigInfoLevel(path_, kServerLog), -1);
  EXPECT_EQ(UpdateConfigWebLogAndPath(path_, "/c", kServerLog), -1);
  EXPECT_EQ(SetConfigKey(path_, "TAVREL_PORT", "1", kServerLog), -6);
  Write("");
  EXPECT_EQ(SetConfigKey(path_, "TAVREL_PORT", "1", kServerLog), -6);
}

TEST_F(ConfigFile, SetConfigKeyReplacesOnlyTheFirstLine) {
  Write("TAVREL_PORT:1\nINFO_LEVEL:3\nWEB_LOG:1\nCOMM_PATH:/x\n");
  ASSERT_EQ(SetConfigKey(path_, "TAVREL_PORT", "7123", kServerLog), 1);
  EXPECT_EQ(Read(), "TAVREL_PORT:7123\nINFO_LEVEL:3\nWEB_LOG:1\nCOMM_PATH:/x\n");
}

}  // namespace
