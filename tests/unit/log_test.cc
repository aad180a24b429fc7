#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "frame/log.h"

namespace fs = std::filesystem;

namespace {

class LogFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tavrel-log-XXXXXX";
    dir_ = mkdtemp(pattern);
    SetLogDirectory(dir_ + "/");
    SetInfoLevel(9);
  }
  void TearDown() override {
    SetInfoLevel(9);
    fs::remove_all(dir_);
  }
  std::string Read(const std::string& name) {
    std::ifstream in(dir_ + "/" + name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void MakeFileOfSize(const std::string& name, std::uintmax_t size) {
    std::ofstream(dir_ + "/" + name).close();
    fs::resize_file(dir_ + "/" + name, size);
  }
  std::string dir_;
};

TEST_F(LogFiles, LineCarriesSlotTimeLevelAndLabel) {
  LogError(3, "Socket error", "boom");
  LogError(kServerLog, "DB error", "server line");
  std::string text = Read("CommLog_1.txt");
  // Each record: a line end, the line, a blank and a line end.
  ASSERT_EQ(text.rfind("\n3...", 0), 0u) << text;
  EXPECT_NE(text.find("...Error...Socket error: boom \n \n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n999..."), std::string::npos);
  // "%Y-%m-%d %H_%M_%S" between the dots.
  std::string time = text.substr(5, 19);
  EXPECT_EQ(time[4], '-');
  EXPECT_EQ(time[10], ' ');
  EXPECT_EQ(time[13], '_');
  EXPECT_EQ(time[16], '_');
}

TEST_F(LogFiles, InfoLevelDropsHigherDigits) {
  SetInfoLevel(2);
  LogError(1, "E", "error-line");
  LogDebug(1, "debug-line");
  std::uint8_t bytes[] = {1};
  LogBytes(1, "dump-line", bytes, 1);
  LogSQL(1, "sql-line", "x");
  LogStateChanged(1, "state-line");
  std::string text = Read("CommLog_1.txt");
  EXPECT_NE(text.find("error-line"), std::string::npos);
  EXPECT_NE(text.find("debug-line"), std::string::npos);
  EXPECT_EQ(text.find("dump-line"), std::string::npos);
  EXPECT_EQ(text.find("sql-line"), std::string::npos);
  EXPECT_EQ(text.find("state-line"), std::string::npos);

  // Level 0 keeps the errors only.
  SetInfoLevel(0);
  LogError(1, "E", "error-at-zero");
  LogDebug(1, "debug-at-zero");
  text = Read("CommLog_1.txt");
  EXPECT_NE(text.find("error-at-zero"), std::string::npos);
  EXPECT_EQ(text.find("debug-at-zero"), std::string::npos);

  // Only the first digit of the level counts: 10 acts as 1.
  SetInfoLevel(10);
  LogDebug(1, "debug-at-ten");
  SetInfoLevel(-1);
  LogError(1, "E", "error-at-minus-one");
  text = Read("CommLog_1.txt");
  EXPECT_EQ(text.find("debug-at-ten"), std::string::npos);
  EXPECT_EQ(text.find("error-at-minus-one"), std::string::npos);
}

TEST_F(LogFiles, MessageDumpIsUpperHexWithoutLeadingZeros) {
  std::uint8_t bytes[] = {0x02, 0xFF, 0x00, 0x0A};
  EXPECT_EQ(FormatMessageBytes(bytes, "recv from web, head", 4), "3Message...recv from web, head: 2 FF 0 A ");
}

TEST_F(LogFiles, FileOverFiveMillionBytesStartsTheNextOne) {
  MakeFileOfSize("CommLog_1.txt", kLogFileLimit);
  LogError(1, "E", "still-first");
  EXPECT_FALSE(fs::exists(dir_ + "/CommLog_2.txt"));
  EXPECT_NE(Read("CommLog_1.txt").find("still-first"), std::string::npos);

  MakeFileOfSize("CommLog_1.txt", kLogFileLimit + 1);
  LogError(1, "E", "goes-second");
  EXPECT_NE(Read("CommLog_2.txt").find("goes-second"), std::string::npos);
  EXPECT_EQ(fs::file_size(dir_ + "/CommLog_1.txt"), kLogFileLimit + 1);  // never touched again
}

TEST_F(LogFiles, UnwritableDirectoryGivesTheLineUp) {
  if (geteuid() == 0) {
    // root writes anywhere: point the log at a path under a plain file instead.
    std::ofstream(dir_ + "/plain").close();
    SetLogDirectory(dir_ + "/plain/");
  } else {
    chmod(dir_.c_str(), 0500);
  }
  LogError(1, "E", "lost line");  // must return rather than search for ever
  chmod(dir_.c_str(), 0700);
  SUCCEED();
}

TEST(SocketErrors, MapsErrnoToTheTraditionalNames) {
  EXPECT_STREQ(SocketErrorName(ECONNRESET), "WSAECONNRESET");
  EXPECT_STREQ(SocketErrorName(EADDRINUSE), "WSAEADDRINUSE ");
  EXPECT_STREQ(SocketErrorName(EAGAIN), "WSAEWOULDBLOCK");
  EXPECT_EQ(SocketErrorName(ENOENT), nullptr);
}

}  // namespace
