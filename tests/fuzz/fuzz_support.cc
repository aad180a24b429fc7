#include "fuzz_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

#include "db/odbc.h"
#include "frame/config.h"
#include "frame/log.h"
#include "frame/slots.h"
#include "platform/socket.h"
#include "requests/slot_release.h"
#include "web/web_timer.h"
#include "support/test_installation.h"

namespace fuzzsupport {
namespace {

std::string odbcIniPath;
std::string pristineOdbcIni;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void EmptyDirectory(const std::string& dir) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) std::filesystem::remove_all(entry.path(), ec);
}

}  // namespace

void PrepareInstallation() {
  static std::once_flag once;
  std::call_once(once, [] {
    // The installation on tmpfs: the databases stay real, their syncs cost
    // nothing.
    if (::access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
    const auto& installation = testsupport::SharedInstallation();
    std::filesystem::current_path(installation.commDir);
    // The modem ports: plain files, so that a modem link fails at once
    // instead of reaching for the machine's serial ports.
    std::filesystem::create_directory("dev");
    for (int n = 1; n <= 16; ++n) std::ofstream("dev/COM" + std::to_string(n));
    std::filesystem::create_directory("DB_USER");
    std::filesystem::create_directory("FILE_USER");
    SetPaths(BuildPaths(installation.commDir, installation.dir + "/web"));
    platform::IgnoreSigpipe();
    int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      std::fflush(stdout);
      ::dup2(null, STDOUT_FILENO);
      ::close(null);
    }
    SetInfoLevel(0);
    // Error lines still go to the log files; a long run keeps the newest
    // 50 MB of them, as an operator's limit would.
    SetLogKeepLimit(50000000);
    odbcIniPath = installation.dir + "/odbc/odbc.ini";
    pristineOdbcIni = ReadWhole(odbcIniPath);
  });
}

void ResetServerState() {
  for (int varNum = 0; varNum < kSlotCount; ++varNum) {
    Slot& slot = SlotAt(varNum);
    web::StopWebDisconnectTimer(varNum);
    if (slot.state != state::kIdle) requests::ResetLinkAndFlag(slot.systemSocket, varNum);
    for (auto& record : slot.db) {
      if (record.open()) db::DisconnectDB(record, varNum);
    }
    slot.state = state::kIdle;
    slot.savedState = state::kIdle;
    std::lock_guard lock(SlotLock());
    if (slot.inUse) FreeSlotLocked(varNum);
  }
  testsupport::ResetUserTables();
  const ServerPaths& paths = Paths();
  EmptyDirectory(paths.offlineDatabasePath);
  EmptyDirectory(paths.fileUserPath);
  std::lock_guard lock(db::DsnLock());
  if (ReadWhole(odbcIniPath) != pristineOdbcIni) std::ofstream(odbcIniPath, std::ios::binary) << pristineOdbcIni;
}

pid_t ThreadId() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

namespace {

// The system call thread `tid` is blocked in (/proc/self/task/TID/syscall:
// its number first), -1 while it runs or when that cannot be read.
long BlockedIn(pid_t tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/syscall", static_cast<int>(tid));
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[32] = {};
  long n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0 || text[0] < '0' || text[0] > '9') return -1;
  return std::strtol(text, nullptr, 10);
}

bool Waiting(pid_t tid, bool sleepsCount, int unread) {
  long call = BlockedIn(tid);
  bool waits = call == SYS_poll || call == SYS_ppoll ||
               (sleepsCount && (call == SYS_clock_nanosleep || call == SYS_nanosleep));
  if (!waits || unread < 0) return waits;
  int queued = 0;
  return ::ioctl(unread, FIONREAD, &queued) != 0 || queued == 0;
}

}  // namespace

bool AwaitFarEndTurn(int fd, int done, pid_t tid, bool sleepsCount, int unread, int limitMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  int idleLooks = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p[2] = {{fd, POLLIN, 0}, {done, POLLIN, 0}};
    const timespec moment{0, 50000};
    if (::ppoll(p, 2, &moment, nullptr) > 0) return p[0].revents != 0;
    idleLooks = Waiting(tid, sleepsCount, unread) ? idleLooks + 1 : 0;
    if (idleLooks == 2) return false;
  }
  return false;
}

std::vector<std::span<const std::uint8_t>> Chunks(const std::uint8_t* data, std::size_t size) {
  std::vector<std::span<const std::uint8_t>> out;
  std::size_t at = 0;
  while (at < size) {
    std::size_t length = data[at++];
    if (at < size) length = (length << 8) | data[at++];
    if (length > size - at) length = size - at;
    out.emplace_back(data + at, length);
    at += length;
  }
  return out;
}

}  // namespace fuzzsupport
