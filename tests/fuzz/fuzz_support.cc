#include "fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
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
