#pragma once
// Points the process log at a new empty directory for as long as it lives,
// so that a test can read back what was logged; removes it afterwards.
#include <unistd.h>

#include <filesystem>
#include <string>

#include "frame/log.h"
#include "support/comm_server.h"

namespace testsupport {

class ScratchLog {
 public:
  ScratchLog() {
    char pattern[] = "/tmp/tavrel-log-XXXXXX";
    dir_ = mkdtemp(pattern);
    SetLogDirectory(dir_ + "/");
    SetInfoLevel(9);
  }
  ~ScratchLog() { std::filesystem::remove_all(dir_); }
  ScratchLog(const ScratchLog&) = delete;
  ScratchLog& operator=(const ScratchLog&) = delete;

  const std::string& dir() const { return dir_; }
  // Everything logged so far.
  std::string Text() const { return ReadFile(dir_ + "/CommLog_1.txt"); }

 private:
  std::string dir_;
};

}  // namespace testsupport
