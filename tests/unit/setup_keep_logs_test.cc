// tavrel-setup --keep-logs: stored in the installation's env file, where
// COMM reads it, without touching tavrel.conf; kept on a refresh; bad values
// refused with nothing changed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/comm_server.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class KeepLogsOption : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tavrel-keeplogs-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    dir_ = root_ + "/inst";
  }
  void TearDown() override { fs::remove_all(root_); }
  int Setup(std::vector<std::string> arguments, std::string* output = nullptr) {
    arguments.insert(arguments.begin(), std::string(TAVREL_BIN_DIR) + "/tavrel-setup");
    arguments.push_back(dir_);
    std::string text;
    int status = testsupport::RunProgram(arguments, text);
    if (output) *output = text;
    return status;
  }
  std::string Env() const { return ReadFile(dir_ + "/env"); }
  std::string Config() const { return ReadFile(dir_ + "/web/info/tavrel.conf"); }
  std::string root_, dir_;
};

TEST_F(KeepLogsOption, IsStoredInTheEnvFileKeptOnRefreshAndTurnedOffWithZero) {
  ASSERT_EQ(Setup({"--port", "6100", "--keep-logs", "250"}), 0);
  EXPECT_NE(Env().find("\nTAVREL_KEEP_LOGS_MB=250\n"), std::string::npos) << Env();
  EXPECT_EQ(Config(), "TAVREL_PORT:6100\nINFO_LEVEL:2\n");
  ASSERT_EQ(Setup({"--user", "ann:pw"}), 0);
  EXPECT_NE(Env().find("\nTAVREL_KEEP_LOGS_MB=250\n"), std::string::npos) << Env();
  ASSERT_EQ(Setup({"--keep-logs", "0"}), 0);
  EXPECT_EQ(Env().find("TAVREL_KEEP_LOGS"), std::string::npos) << Env();
}

TEST_F(KeepLogsOption, BadValuesAreRefusedAndChangeNothing) {
  ASSERT_EQ(Setup({"--keep-logs", "40"}), 0);
  std::string env = Env(), config = Config();
  for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
           {"--keep-logs", "lots"}, {"--keep-logs", "-5"}, {"--keep-logs", "1000001"}, {"--keep-logs", "12MB"},
           {"--keep-logs", ""}}) {
    std::string output;
    EXPECT_EQ(Setup(bad, &output), 2) << bad[1];
    EXPECT_NE(output.find("--keep-logs"), std::string::npos) << output;
  }
  std::string output;
  std::vector<std::string> missing = {std::string(TAVREL_BIN_DIR) + "/tavrel-setup", "--keep-logs"};
  EXPECT_EQ(testsupport::RunProgram(missing, output), 2);
  EXPECT_EQ(Env(), env);
  EXPECT_EQ(Config(), config);
}

}  // namespace
