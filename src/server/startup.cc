#include "server/startup.h"

#include <malloc.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "db/odbc.h"
#include "frame/config.h"
#include "frame/counters.h"
#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "platform/process.h"
#include "platform/peer_filter.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "requests/slot_release.h"
#include "server/connection.h"
#include "server/shutdown.h"
#include "server/status/status_server.h"
#include "server/peer_gate.h"
#include "server/web_timer.h"
#include "setup/databases.h"
#include "web/web_timer.h"
#include "system/tcp_link.h"
#include "users/users.h"

namespace server {
namespace {

constexpr std::size_t kCurrentPathBuffer = 300;
constexpr std::size_t kWebPathBuffer = 256;
constexpr int kExitFatal = 1;
constexpr long kMaxKeepLogsMb = 1000000;

// Ends start-up: closes what is open and returns the exit code.
int CriticalEnd(int listener) {
  Console("\nSome critical error occurred. Program is ended");
  if (listener >= 0) platform::ShutdownAndClose(listener);
  db::CloseUserAndInfoDB(kServerLog);
  return kExitFatal;
}

void Fatal(const char* label, const char* text) { LogError(kServerLog, label, text); }

// The web front end's directory. On this platform it comes from the
// environment; a missing value reads like a missing registry value.
int GetWebPathFromRegistry(std::string& webPath) {
  const char* value = std::getenv("WEB_PATH");
  if (value == nullptr || std::string(value).size() >= kWebPathBuffer) {
    Console("\nQuery from registry error\n");
    return REGISTRY_ERROR;
  }
  webPath = value;
  return RESULT_OK;
}

// The kept total of the log files from TAVREL_KEEP_LOGS_MB (written into the
// installation's env file by tavrel-setup --keep-logs); unset keeps them all.
void ApplyLogKeepLimit() {
  const char* text = std::getenv("TAVREL_KEEP_LOGS_MB");
  if (text == nullptr || *text == '\0') return;
  char* end = nullptr;
  long megabytes = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || megabytes < 0 || megabytes > kMaxKeepLogsMb) {
    LogError(kServerLog, "Log file",
             Format("TAVREL_KEEP_LOGS_MB=%s is not a number of megabytes, every log file is kept", text));
    return;
  }
  SetLogKeepLimit(static_cast<std::uintmax_t>(megabytes) * 1000000u);
  if (megabytes > 0) Console("\nlog files kept within %ld MB", megabytes);
}

void MakeDirectory(const char* name, const std::string& currentPath) {
  std::error_code ec;
  if (std::filesystem::create_directory(name, ec)) {
    Console("Make directory successfully, %s/%s\n", currentPath.c_str(), name);
  }
}

// Asks the operator for ports until one binds; stores it on line 1. Without
// a terminal nobody can answer (a service, a pipe): false, so that the
// process ends and its supervisor tries again later.
bool PortDialogue(int listener, int port, const std::string& configFilePath) {
  for (;;) {
    LogError(kServerLog, "Socket error", Format("\nbind to port:%d failed.", port));
    ReportSocketError(kServerLog, errno);
    if (!platform::StandardInputIsTerminal()) {
      LogError(kServerLog, "Socket error",
               Format("The port %d is used and standard input is not a terminal to ask for another one", port));
      return false;
    }
    long entered = 0;
    bool prompt = true;
    for (;;) {
      if (prompt) Console("\nThe port number is used, please input another port numbers: ");
      std::string line;
      prompt = static_cast<bool>(std::getline(std::cin, line));
      if (!prompt) {
        // No operator to answer: wait rather than spin on a closed input.
        sleep(1);
        std::cin.clear();
        continue;
      }
      char* end = nullptr;
      entered = std::strtol(line.c_str(), &end, 10);
      if (end != line.c_str()) break;
    }
    port = static_cast<std::uint16_t>(entered);
    if (platform::BindAny(listener, static_cast<std::uint16_t>(port)) == 0) {
      Console("\nbind to new port:%d OK.", port);
      SetConfigKey(configFilePath, "TAVREL_PORT", std::to_string(port), kServerLog);
      return true;
    }
  }
}

int OpenListener(int port, const std::string& configFilePath) {
  int listener = platform::CreateListenerSocket();
  if (listener < 0) {
    Fatal("Socket error", Format("Error  at  socket():%ld", static_cast<long>(errno)).c_str());
    return -1;
  }
  if (platform::SetLingerZero(listener) != 0) {
    Fatal("SOCKET error", "Winsock set linger option error when connect with m_socket");
  }
  // Reuse before binding: a restarted server must not be kept off its port by
  // the connections of its predecessor.
  platform::SetReuseAddress(listener);
  if (platform::BindAny(listener, static_cast<std::uint16_t>(port)) == 0) {
    Console("\nbind to port:%d OK.", port);
  } else if (!PortDialogue(listener, port, configFilePath)) {
    platform::ShutdownAndClose(listener);
    return -3;
  }
  if (platform::SetReuseAddress(listener) != 0) {
    Fatal("SOCKET error", "Winsock set reuse option error when connect with m_socket");
  }
  if (platform::Listen(listener) != 0) {
    Fatal("Socket error", "Error  listening  on  socket.");
    platform::ShutdownAndClose(listener);
    return -2;
  }
  Console("\nlistening  ok.");
  return listener;
}

// Serves connections until a stop signal arrives; returns its number.
int AcceptLoop(int listener, platform::StopSignals& stop) {
  for (;;) {
    Console("\nWaiting  for  next  client  to  connect...");
    int client = AcceptConnection(listener, stop.fd());
    if (client == kStopRequested) return stop.Wait();
    if (!AdmitPeer(client)) continue;
    Console("\nClient  Connected.");
    if (platform::SetReuseAddress(client) != 0) {
      LogError(kServerLog, "SOCKET error", "Winsock set reuse option error when connect with ClientSocket");
    }
    if (platform::SetLingerZero(client) != 0) {
      LogError(kServerLog, "SOCKET error", "Winsock set linger option error when connect with ClientSocket");
    }
    if (platform::SetNonBlocking(client) != 0) {
      LogError(kServerLog, "SOCKET error", "Winsock set non-Block error when connect to web");
      std::_Exit(SOCKET_SET_NONBLOCK_ERROR);
    }
    int rc = platform::StartDetachedThread([client] { ServeConnection(client); });
    if (rc != 0) {
      LogError(kServerLog, "Thread error", Format("hThread=%d", 0));
      LogError(kServerLog, "Thread error", "CreatThread  AnswerThread()  failed. Please try again");
      platform::ShutdownAndClose(client);
    }
  }
}

// Finds the installation from the working directory and reads the
// configuration file: the paths, the port and the log level. False after a
// fatal error has been reported.
bool Configure(std::string& currentPath, int& port) {
  char cwd[kCurrentPathBuffer] = {};
  if (getcwd(cwd, sizeof cwd) == nullptr) {
    LogError(kServerLog, "Current path error", "Get currently path error");
  } else {
    currentPath = cwd;
  }
  Console("\ncurrentPath=%s", currentPath.c_str());
  ServerPaths paths = BuildPaths(currentPath, "");
  SetLogDirectory(paths.logDirectory);
  Console("\ndatabasePath=%s", paths.databasePath.c_str());
  Console("\nonlineDatabasePath=%s", paths.onlineDatabasePath.c_str());
  Console("\nofflineDatabasePath=%s", paths.offlineDatabasePath.c_str());

  std::string webPath;
  if (GetWebPathFromRegistry(webPath) != RESULT_OK) {
    Fatal("Regsitry error", "Error occurs when get config file path from registry ");
    return false;
  }
  paths = BuildPaths(currentPath, webPath);
  SetPaths(paths);

  port = GetConfigPort(paths.configFilePath, kServerLog);
  if (port == -1) {
    Fatal("File error", "Error occurs when get port number from config file ");
    return false;
  }
  port = static_cast<std::uint16_t>(port);
  int infoLevel = GetConfigInfoLevel(paths.configFilePath, kServerLog);
  if (infoLevel == -1) {
    Fatal("File error", "Error occurs when get info level from config file ");
    return false;
  }
  SetInfoLevel(infoLevel);
  ApplyLogKeepLimit();
  if (UpdateConfigWebLogAndPath(paths.configFilePath, currentPath, kServerLog) != RESULT_OK) {
    Fatal("File error", "Error occurs when check web log from config file ");
    return false;
  }
  Console("\nconfigFilePath=%s", paths.configFilePath.c_str());
  Console("\nportNum=%d\n", port);
  // A production server must not dial a test port unnoticed.
  std::string overrides = systemlink::LinkOverridesLine();
  if (!overrides.empty()) LogError(kServerLog, "Config warning", overrides);
  return true;
}

}  // namespace

int RunServer() {
  platform::IgnoreSigpipe();
  counters::MarkStart();
  // glibc gives every busy thread an arena of its own and rarely returns
  // their memory: with a hundred connection threads the resident size grows
  // to several times the live heap. Two arenas keep it close to it; the
  // environment's MALLOC_ARENA_MAX, when set, still decides.
  if (std::getenv("MALLOC_ARENA_MAX") == nullptr) mallopt(M_ARENA_MAX, 2);
  setup::QuietSqliteStatistics();

  std::string currentPath;
  int port = 0;
  if (!Configure(currentPath, port)) return CriticalEnd(-1);

  MakeDirectory("DB_USER", currentPath);
  MakeDirectory("FILE_USER", currentPath);

  if (db::initDB() != RESULT_OK) {
    Fatal("DB error", "init user info table or info table error");
    return CriticalEnd(-1);
  }
  ClearAllFlags();
  // A takeover gives up the old user's slot with everything it holds.
  systemlink::SetOldSlotRelease(requests::ReleaseTakenOverSlot);

  if (LoadAllowList(currentPath + "/" + kAllowListFile) != RESULT_OK) {
    Fatal("File error", "Error occurs when read the allow-list of web peers ");
    return CriticalEnd(-1);
  }
  int listener = OpenListener(port, Paths().configFilePath);
  if (listener < 0) return CriticalEnd(-1);
  // From here on a stop signal is an event of the accept loop; every thread
  // started below inherits the blocked signals.
  platform::StopSignals stop;
  if (stop.Open() != 0) {
    Fatal("Signal error", "Cannot watch for stop signals");
    return CriticalEnd(listener);
  }

  if (users::CheckUserInfoFields(kServerLog) != RESULT_OK) {
    Fatal("DB error", "Error occurred when check field in user info table.");
    return CriticalEnd(listener);
  }
  if (users::ClearConnectStates(kServerLog) != RESULT_OK) {
    Fatal("DB error", "Error occurred when clear all connection flags in user info table.");
    return CriticalEnd(listener);
  }
  for (int varNum = 0; varNum < kSlotCount; ++varNum) web::StopWebDisconnectTimer(varNum);

  if (platform::StartDetachedThread(CheckWebDisconnectTime) != 0) {
    LogError(kServerLog, "Thread error", Format("hThread_web=%d", 0));
    LogError(kServerLog, "Thread error", "CreatThread  CheckWebDisconnectTime()  failed.");
  } else {
    Console("\nCreate CheckWebDisconnectTime  OK.");
  }
  status::StartConfiguredStatusServer(currentPath);
  platform::NotifyServiceManager("READY=1");
  int stopSignal = AcceptLoop(listener, stop);
  StopGracefully(stop, stopSignal, listener);
}

}  // namespace server
