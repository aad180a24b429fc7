// The log files over months of service: writing resumes in the newest file,
// a removed file is noticed, and with a kept total the oldest files go.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "frame/log.h"

namespace fs = std::filesystem;

namespace {

class LogFileSet : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tavrel-logset-XXXXXX";
    dir_ = mkdtemp(pattern);
    SetLogDirectory(dir_ + "/");
    SetInfoLevel(9);
  }
  void TearDown() override {
    SetLogKeepLimit(0);
    fs::remove_all(dir_);
  }
  std::string Path(int number) const { return dir_ + "/CommLog_" + std::to_string(number) + ".txt"; }
  std::string Read(int number) const {
    std::ifstream in(Path(number));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // A file of the given size without its bytes on the disk.
  void MakeFile(int number, std::uintmax_t size) const {
    std::ofstream(Path(number)).close();
    fs::resize_file(Path(number), size);
  }
  std::string dir_;
};

TEST_F(LogFileSet, WritingResumesInTheNewestFileAndNoticesItsRemoval) {
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

TEST_F(LogFileSet, KeptTotalRemovesTheOldestFilesWhenAFileIsBegun) {
  const std::uintmax_t full = kLogFileLimit + 1;
  for (int number = 1; number <= 4; ++number) MakeFile(number, full);
  SetLogKeepLimit(3 * kLogFileLimit);
  LogError(1, "E", "fifth-file");
  // Four full files and the new one exceed three files' worth: the two oldest go.
  EXPECT_FALSE(fs::exists(Path(1)));
  EXPECT_FALSE(fs::exists(Path(2)));
  EXPECT_EQ(fs::file_size(Path(3)), full);
  EXPECT_EQ(fs::file_size(Path(4)), full);
  std::string current = Read(5);
  EXPECT_NE(current.find("fifth-file"), std::string::npos);
  EXPECT_NE(current.find("Log file CommLog_1.txt removed"), std::string::npos) << current;

  // The file being written stays, however small the kept total.
  SetLogKeepLimit(1);
  EXPECT_FALSE(fs::exists(Path(3)));
  EXPECT_FALSE(fs::exists(Path(4)));
  LogError(1, "E", "still-here");
  EXPECT_NE(Read(5).find("still-here"), std::string::npos);
}

}  // namespace
