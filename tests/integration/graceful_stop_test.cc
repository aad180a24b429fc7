// Stopping the server by signal: whatever its slots hold is given up as the
// web disconnect timer would give it up, the request in progress is
// answered, and the process ends with exit code 0; a second signal ends it at
// once.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "sim/simulator.h"
#include "support/comm_server.h"
#include "support/simulated_system.h"
#include "support/wire_helpers.h"

using namespace testsupport;
using client::Bytes;
namespace fs = std::filesystem;

namespace {

constexpr int kStopLimitMs = 10000;
constexpr std::uint16_t kTablePgc = 0x7240;

client::Request Control(const char* name, Bytes data = {}) { return client::MakeRequest(name, std::move(data)); }

// The data sources of odbc.ini that point at work databases. (An offline
// file keeps its data source as long as the file exists.)
std::vector<std::string> WorkDataSources(const CommServer& server) {
  std::vector<std::string> lines;
  std::ifstream in(server.dir() + "/odbc/odbc.ini");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("Database=") && line.find("/DB_WEB/") != std::string::npos) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> WorkDatabases(const CommServer& server) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(server.commDir() + "/DB_WEB")) {
    std::string name = entry.path().filename().string();
    if (!name.starts_with("WebInit.mdb")) names.push_back(name);
  }
  return names;
}

// The service manager's end of NOTIFY_SOCKET: a datagram socket in a
// scratch directory.
class NotifySocket {
 public:
  NotifySocket() {
    char pattern[] = "/tmp/tavrel-notify-XXXXXX";
    dir_ = mkdtemp(pattern);
    path_ = dir_ + "/notify";
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~NotifySocket() {
    if (fd_ >= 0) ::close(fd_);
    fs::remove_all(dir_);
  }
  bool ok() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }
  // The next message, "" when none comes in time.
  std::string Next(int timeoutMs) {
    pollfd wait{fd_, POLLIN, 0};
    if (::poll(&wait, 1, timeoutMs) != 1) return {};
    char text[256];
    ssize_t n = ::recv(fd_, text, sizeof text, 0);
    return n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string();
  }

 private:
  std::string dir_, path_;
  int fd_ = -1;
};

}  // namespace

TEST(GracefulStop, GivesEverySlotUpAnswersTheRequestInProgressAndEndsWithZero) {
  // Two systems, so that one slot stays linked while another downloads; the
  // second answers slowly, so that the stop finds its request running.
  sim::Options first;
  first.rowsPerTable = 3;
  auto linked = StartSimulatedSystem(first);
  ASSERT_TRUE(linked);
  sim::Options second = first;
  second.address = "127.0.0.2";
  second.faults.delayMs = 1500;
  second.console = false;
  auto slow = std::make_unique<sim::Simulator>(second);
  std::string error;
  ASSERT_EQ(slow->Start(error), 1) << error;

  ServerOptions options;
  options.users = {{"gs_online", "pw"}, {"gs_offline", "pw"}, {"gs_down", "pw"}};
  auto server = LaunchServerForSystem(options, first.basePort);
  ASSERT_TRUE(server);

  ASSERT_EQ(CallOnce(*server, "gs_online", LinkRequest("CONNECT_SYSTEM", "127.0.0.1")).answer.result(), 1);
  ASSERT_EQ(CallOnce(*server, "gs_offline", Control("FILE_CREATE", client::FileNameData("kept"))).answer.result(), 1);
  ASSERT_EQ(CallOnce(*server, "gs_down", LinkRequest("CONNECT_SYSTEM", "127.0.0.2")).answer.result(), 1);
  client::WebClient download = server->Connect("gs_down");
  ASSERT_EQ(Call(download, Control("ALL_DOWNLOAD_START", client::DownloadStartData("whole", 0))).answer.result(), 1);
  EXPECT_FALSE(WorkDataSources(*server).empty());
  EXPECT_FALSE(WorkDatabases(*server).empty());

  std::size_t before = server->Console().size();
  ASSERT_EQ(download.Send(Control("DOWNLOAD_PGC", client::PgcTableData(kTablePgc))), 1);
  ASSERT_TRUE(server->WaitConsole("begin to handle web msg", kReplyMs, before)) << server->Console();
  auto stopAt = std::chrono::steady_clock::now();
  ASSERT_TRUE(server->Signal(SIGTERM));

  client::Answer answer;
  ASSERT_EQ(download.ReceiveAnswer(answer, kReplyMs), 1) << "the request in progress was not answered";
  EXPECT_EQ(answer.result(), 1);
  EXPECT_EQ(server->WaitExit(kStopLimitMs + 5000), std::optional<int>(0)) << server->Console();
  EXPECT_LT(ElapsedMs(stopAt), kStopLimitMs);

  std::string logs = server->Logs();
  // The link-control packet went out on both links before they were closed.
  EXPECT_EQ(Count(logs, "Disconnect with system success"), 2) << logs;
  EXPECT_NE(logs.find("Every slot is given up, COMM ended"), std::string::npos) << logs;
  EXPECT_TRUE(WorkDataSources(*server).empty()) << WorkDataSources(*server).front();
  EXPECT_TRUE(WorkDatabases(*server).empty()) << WorkDatabases(*server).front();
  // The offline file itself is the user's and stays.
  EXPECT_TRUE(fs::exists(server->commDir() + "/DB_USER/kept.mdb"));
  for (const Row& row : server->Query("select user_id, connect_state from userinfo"))
    EXPECT_EQ(row.at("connect_state"), "0") << row.at("user_id");
}

TEST(GracefulStop, TellsTheServiceManagerWhenReadyAndWhenStopping) {
  NotifySocket manager;
  ASSERT_TRUE(manager.ok());
  LaunchOptions underSystemd;
  underSystemd.setEnv["NOTIFY_SOCKET"] = manager.path();
  auto server = LaunchServer({}, underSystemd);
  ASSERT_TRUE(server);
  EXPECT_EQ(manager.Next(kReplyMs), "READY=1");
  // Ready means the port answers.
  client::WebClient connection = server->Connect("admin");
  EXPECT_EQ(Call(connection, Login("admin", "admin", "s-ready")).answer.result(), 1);
  connection.Close();
  ASSERT_TRUE(server->Signal(SIGTERM));
  EXPECT_EQ(manager.Next(kReplyMs), "STOPPING=1");
  EXPECT_EQ(server->WaitExit(kStopLimitMs), std::optional<int>(0)) << server->Console();
}

TEST(GracefulStop, SecondSignalEndsAtOnce) {
  sim::Options slowSystem;
  slowSystem.faults.delayMs = 8000;
  auto system = StartSimulatedSystem(slowSystem);
  ASSERT_TRUE(system);
  ServerOptions options;
  options.users = {{"gs_wait", "pw"}};
  auto server = LaunchServerForSystem(options, slowSystem.basePort);
  ASSERT_TRUE(server);
  client::WebClient waiting = server->Connect("gs_wait");
  std::size_t before = server->Console().size();
  ASSERT_EQ(waiting.Send(LinkRequest("CONNECT_SYSTEM", "127.0.0.1")), 1);
  ASSERT_TRUE(server->WaitConsole("begin to handle web msg", kReplyMs, before)) << server->Console();

  ASSERT_TRUE(server->Signal(SIGTERM));
  ASSERT_TRUE(server->WaitConsole("SIGTERM received", kReplyMs)) << server->Console();
  auto again = std::chrono::steady_clock::now();
  ASSERT_TRUE(server->Signal(SIGINT));
  EXPECT_EQ(server->WaitExit(3000), std::optional<int>(128 + SIGINT)) << "still running after a second signal:\n" << server->Console();
  EXPECT_LT(ElapsedMs(again), 3000);
}
