// The log files: the shape of a line, the level filter, the change to the
// next file, and over months of service: writing resumes in the newest file,
// a removed file is noticed, and with a kept total the oldest files go.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "frame/log.h"
#include "support/comm_server.h"
#include "support/scratch_log.h"
#include "support/wire_helpers.h"

namespace fs = std::filesystem;

namespace {

class LogFiles : public ::testing::Test {
 protected:
  void TearDown() override {
    SetInfoLevel(9);
    SetLogKeepLimit(0);
  }
  std::string Path(int number) const { return dir_ + "/CommLog_" + std::to_string(number) + ".txt"; }
  std::string Read(int number) const { return testsupport::ReadFile(Path(number)); }
  // A file of the given size without its bytes on the disk.
  void MakeFile(int number, std::uintmax_t size) const {
    std::ofstream(Path(number)).close();
    fs::resize_file(Path(number), size);
  }
  testsupport::ScratchLog log_;
  const std::string dir_ = log_.dir();
};

TEST_F(LogFiles, LineCarriesSlotTimeLevelAndLabel) {
  LogError(3, "Socket error", "boom");
  LogError(kServerLog, "DB error", "server line");
  std::string text = Read(1);
  // Each record: a line end, the line, a blank and a line end.
  ASSERT_EQ(text.rfind("\n3...", 0), 0u) << text;
  EXPECT_NE(text.find("...Error...Socket error: boom \n \n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n999..."), std::string::npos);
  EXPECT_TRUE(testsupport::IsLocalTimeText(text.substr(5, 19))) << text;
}

TEST_F(LogFiles, InfoLevelDropsHigherDigits) {
  SetInfoLevel(2);
  LogError(1, "E", "error-line");
  LogDebug(1, "debug-line");
  std::uint8_t bytes[] = {1};
  LogBytes(1, "dump-line", bytes, 1);
  LogSQL(1, "sql-line", "x");
  LogStateChanged(1, "state-line");
  std::string text = Read(1);
  for (const char* kept : {"error-line", "debug-line"}) EXPECT_NE(text.find(kept), std::string::npos) << kept;
  for (const char* dropped : {"dump-line", "sql-line", "state-line"})
    EXPECT_EQ(text.find(dropped), std::string::npos) << dropped;

  // Level 0 keeps the errors only.
  SetInfoLevel(0);
  LogError(1, "E", "error-at-zero");
  LogDebug(1, "debug-at-zero");
  text = Read(1);
  EXPECT_NE(text.find("error-at-zero"), std::string::npos);
  EXPECT_EQ(text.find("debug-at-zero"), std::string::npos);

  // Only the first digit of the level counts: 10 acts as 1.
  SetInfoLevel(10);
  LogDebug(1, "debug-at-ten");
  SetInfoLevel(-1);
  LogError(1, "E", "error-at-minus-one");
  text = Read(1);
  EXPECT_EQ(text.find("debug-at-ten"), std::string::npos);
  EXPECT_EQ(text.find("error-at-minus-one"), std::string::npos);
}

TEST_F(LogFiles, MessageDumpIsUpperHexWithoutLeadingZeros) {
  std::uint8_t bytes[] = {0x02, 0xFF, 0x00, 0x0A};
  EXPECT_EQ(FormatMessageBytes(bytes, "recv from web, head", 4), "3Message...recv from web, head: 2 FF 0 A ");
}

TEST_F(LogFiles, FileOverFiveMillionBytesStartsTheNextOne) {
  MakeFile(1, kLogFileLimit);
  LogError(1, "E", "still-first");
  EXPECT_FALSE(fs::exists(Path(2)));
  EXPECT_NE(Read(1).find("still-first"), std::string::npos);

  MakeFile(1, kLogFileLimit + 1);
  LogError(1, "E", "goes-second");
  EXPECT_NE(Read(2).find("goes-second"), std::string::npos);
  EXPECT_EQ(fs::file_size(Path(1)), kLogFileLimit + 1);  // never touched again
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

TEST_F(LogFiles, WritingResumesInTheNewestFileAndNoticesItsRemoval) {
  // Files removed for space leave a gap at the front: new lines must not fill it.
  MakeFile(3, 10);
  MakeFile(4, 10);
  LogError(1, "E", "after-restart");
  EXPECT_NE(Read(4).find("after-restart"), std::string::npos);
  EXPECT_FALSE(fs::exists(Path(1)));

  // Someone removes the file being written: the next line is not lost.
  fs::remove(Path(4));
  LogError(1, "E", "after-removal");
  EXPECT_NE(Read(3).find("after-removal"), std::string::npos);
}

TEST_F(LogFiles, KeptTotalRemovesTheOldestFilesWhenAFileIsBegun) {
  const std::uintmax_t full = kLogFileLimit + 1;
  for (int number = 1; number <= 4; ++number) MakeFile(number, full);
  SetLogKeepLimit(3 * kLogFileLimit);
  LogError(1, "E", "fifth-file");
  // Four full files and the new one exceed three files' worth: the two oldest go.
  EXPECT_FALSE(fs::exists(Path(1)) || fs::exists(Path(2)));
  EXPECT_TRUE(fs::file_size(Path(3)) == full && fs::file_size(Path(4)) == full);
  std::string current = Read(5);
  EXPECT_NE(current.find("fifth-file"), std::string::npos);
  EXPECT_NE(current.find("Log file CommLog_1.txt removed"), std::string::npos) << current;

  // The file being written stays, however small the kept total.
  SetLogKeepLimit(1);
  EXPECT_FALSE(fs::exists(Path(3)) || fs::exists(Path(4)));
  LogError(1, "E", "still-here");
  EXPECT_NE(Read(5).find("still-here"), std::string::npos);
}

}  // namespace
