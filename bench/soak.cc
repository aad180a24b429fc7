// A long run of many web users against the real tavrel-comm on loopback,
// each doing what the web front end does, one request per connection.
// Offline users log in, create a file, store the system description, write a
// table in one or several packets and read it back, close, open and read
// again, close, delete, log out. Online users (the first --online of them)
// each link to a simulated system of their own and check the link, read a
// table from the system packet by packet, download it into the work
// database and read it back, upload rows to the system, download a few
// tables into a file, then unlink, delete the file and log out.
// Reports sessions, requests per second, rows, every unexpected result,
// every read-back that differs, every rule a system saw broken, each
// request's latency (median, 99th percentile, maximum) and the server's
// memory, descriptors and threads after the first minute and at the end.
// Usage: soak [--minutes N] [--users N] [--online N] [--system-log 1]
// (--system-log 1: each simulated system prints a line per exchange.)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/request_catalogue.h"
#include "client/request_data.h"
#include "sim/simulator.h"
#include "support/comm_server.h"
#include "support/wire_helpers.h"

namespace {

using Clock = std::chrono::steady_clock;
using client::Bytes;
using testsupport::Exchange;
using testsupport::Pgc;

constexpr std::uint16_t kReplacedTable = 0x5000;  // 40-byte rows, replaced as a whole
constexpr std::uint16_t kLinkCheck = 0x0000;
constexpr std::uint16_t kDownloaded[] = {0x5000, 0x7240, 0x8060};
constexpr int kRow = 40;
constexpr int kSystemRows = 80;  // a table read from a system comes in 14 packets

struct Figures {
  Clock::time_point start = Clock::now();
  std::mutex lock;
  std::map<std::string, std::vector<double>> latencyMs;
  std::vector<std::string> unexpected;
  long unexpectedCount = 0;
  long differences = 0;
  std::atomic<long> sessions{0}, requests{0}, rows{0};

  void Note(const std::string& what) {
    std::lock_guard guard(lock);
    ++unexpectedCount;
    if (unexpected.size() < 50) unexpected.push_back(Stamped(what));
  }
  // `what` with the seconds since the start, to match against the logs.
  std::string Stamped(const std::string& what) const {
    char at[32];
    std::snprintf(at, sizeof at, "%.1f s: ", std::chrono::duration<double>(Clock::now() - start).count());
    return at + what;
  }
};

std::string ProcStatus(int pid, const char* key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) {
      auto at = line.find_first_not_of(" \t", std::strlen(key));
      return at == std::string::npos ? "?" : line.substr(at);
    }
  }
  return "?";
}

std::string Resources(int pid) {
  std::size_t fds = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); ++it) {
    ++fds;
  }
  return "RSS " + ProcStatus(pid, "VmRSS:") + ", descriptors " + std::to_string(fds) + ", threads " +
         ProcStatus(pid, "Threads:");
}

std::vector<Bytes> Sorted(const Bytes& rows) {
  std::vector<Bytes> out;
  for (std::size_t at = 0; at + kRow <= rows.size(); at += kRow) out.emplace_back(rows.begin() + at, rows.begin() + at + kRow);
  std::sort(out.begin(), out.end());
  return out;
}

// What every user shares: one request per connection, timed, its result checked.
class Client {
 public:
  Client(testsupport::CommServer& server, Figures& figures, int index)
      : server_(server), figures_(figures), id_("u" + std::to_string(index)), session_("session-" + id_) {}

 protected:
  Exchange Timed(const std::string& name, client::WebClient& connection, const client::Request& request) {
    auto start = Clock::now();
    Exchange out = testsupport::Call(connection, request);
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    figures_.requests.fetch_add(1);
    std::lock_guard guard(figures_.lock);
    figures_.latencyMs[name].push_back(ms);
    return out;
  }
  Exchange Once(const std::string& name, client::Request request) {
    client::WebClient connection = server_.Connect(id_);
    request.final = true;
    Exchange out = Timed(name, connection, request);
    if (out.rc == 1) connection.WaitClosed(testsupport::kCloseMs);
    return out;
  }
  bool Check(const std::string& name, const Exchange& out, int result = 1) {
    if (out.rc == 1 && out.answer.result() == result) return true;
    figures_.Note(id_ + " " + name + ": call " + std::to_string(out.rc) + ", result " +
                  std::to_string(out.rc == 1 ? out.answer.result() : 0));
    return false;
  }
  bool Expect(const std::string& name, const client::Request& request, int result = 1) {
    return Check(name, Once(name, request), result);
  }
  bool Same(const std::string& what, const std::vector<Bytes>& got, const std::vector<Bytes>& wanted) {
    if (got == wanted) return true;
    std::lock_guard guard(figures_.lock);
    ++figures_.differences;
    if (figures_.unexpected.size() < 50) figures_.unexpected.push_back(figures_.Stamped(id_ + " " + what + " differs"));
    return false;
  }
  // Rows in packets of six, on one connection, the last packet final.
  bool WriteInPackets(const std::string& name, std::uint8_t type, std::uint16_t id, const Bytes& rows) {
    client::WebClient connection = server_.Connect(id_);
    for (std::size_t at = 0; at < rows.size(); at += 6 * kRow) {
      client::Request r = Pgc(type, web::kModeWrite, id,
                              Bytes(rows.begin() + at, rows.begin() + std::min(rows.size(), at + 6 * kRow)), kRow);
      r.final = at + 6 * kRow >= rows.size();
      if (!Check(name, Timed(name, connection, r))) return false;
    }
    connection.WaitClosed(testsupport::kCloseMs);
    figures_.rows.fetch_add(static_cast<long>(rows.size() / kRow));
    return true;
  }
  client::Request Login() const {
    return client::MakeRequest("LOGIN", client::LoginData(id_, "pw", session_, "127.0.0.1"));
  }
  client::Request Logout() const { return client::MakeRequest("LOGOUT", client::LogoutData(id_, session_)); }

  testsupport::CommServer& server_;
  Figures& figures_;
  std::string id_, session_;
};

class OfflineUser : Client {
 public:
  using Client::Client;

  // One session; after a failed step the rest is skipped, but the file is
  // still closed and deleted and the user logged out.
  void Session(int number) {
    std::string file = id_ + "_" + std::to_string(number % 4);
    bool ok = Expect("LOGIN", Login());
    ok = ok && Expect("FILE_CREATE", client::MakeRequest("FILE_CREATE", client::FileNameData(file)));
    if (ok) {
      Bytes info(58, 0);
      info[1] = 1;
      info[3] = 1;
      ok = Expect("STORE_PGC", client::MakeRequest("STORE_PGC", info));
      int count = 1 + (number * 7 + static_cast<int>(id_.size())) % 30;  // 1..30 rows: one to five packets
      Bytes rows = testsupport::KeyedRows(count, kRow, number);
      ok = ok && WriteInPackets("TABLE_WRITE", web::REQ_TABLE_DOWNLOAD, kReplacedTable, rows);
      ok = ok && ReadBack(rows);
      ok = ok && Expect("FILE_CLOSE", client::MakeRequest("FILE_CLOSE", client::FileNameData(file)));
      ok = ok && Expect("FILE_OPEN", client::MakeRequest("FILE_OPEN", client::FileNameData(file)));
      ok = ok && ReadBack(rows);
      Expect("FILE_CLOSE", client::MakeRequest("FILE_CLOSE", client::FileNameData(file)));
      Expect("FILE_DELETE", client::MakeRequest("FILE_DELETE", client::FileNameFields({file})));
    } else {
      // A create that timed out here may still have finished: clear up so
      // that the next session does not meet the file (not counted).
      Once("FILE_CLOSE after a failed create", client::MakeRequest("FILE_CLOSE", client::FileNameData(file)));
      Once("FILE_DELETE after a failed create", client::MakeRequest("FILE_DELETE", client::FileNameFields({file})));
    }
    Expect("LOGOUT", Logout());
    figures_.sessions.fetch_add(1);
  }

 private:
  bool ReadBack(const Bytes& rows) {
    Exchange out = Once("TABLE_READ", Pgc(web::REQ_TABLE_DOWNLOAD, web::kModeRead, kReplacedTable));
    return Check("TABLE_READ", out) && Same("TABLE_READ", Sorted(out.answer.data), Sorted(rows));
  }
};

class OnlineUser : Client {
 public:
  OnlineUser(testsupport::CommServer& server, Figures& figures, int index, sim::Simulator& system, std::string address)
      : Client(server, figures, index), system_(system), address_(std::move(address)) {}

  // One session on the user's own system; after a failed step the rest is
  // skipped, but the link is given up, the file deleted and the user logged out.
  void Session(int number) {
    std::string file = id_ + "_dl";
    bool ok = Expect("LOGIN", Login());
    ok = ok && Expect("CONNECT_SYSTEM", testsupport::LinkRequest("CONNECT_SYSTEM", address_));
    if (ok) {
      ok = Expect("LINK_CHECK", Pgc(web::REQ_PGC, web::kModeRead, kLinkCheck));
      for (int round = 0; ok && round < 3; ++round) ok = Round(number * 3 + round);
      ok = ok && Download(file);
      Expect("DISCONNECT", testsupport::Disconnect());
      if (ok) Expect("FILE_DELETE", client::MakeRequest("FILE_DELETE", client::FileNameFields({file})));
    }
    if (!ok) Once("FILE_DELETE after a failure", client::MakeRequest("FILE_DELETE", client::FileNameFields({file})));
    Expect("LOGOUT", Logout());
    figures_.sessions.fetch_add(1);
  }

 private:
  // A read relayed from the system, the table downloaded into the work
  // database and read back, then new rows uploaded to the system.
  bool Round(int salt) {
    Exchange read = Once("PGC_READ (14 packets)", Pgc(web::REQ_PGC, web::kModeRead, kReplacedTable));
    if (!Check("PGC_READ", read) || !Same("PGC_READ", Sorted(read.answer.data), SystemRows())) return false;
    if (!Expect("TABLE_DOWNLOAD_READ", Pgc(web::REQ_TABLE_DOWNLOAD, web::kModeRead, kReplacedTable))) return false;
    Exchange stored = Once("TABLE_UPLOAD_READ", Pgc(web::REQ_TABLE_UPLOAD, web::kModeRead, kReplacedTable));
    if (!Check("TABLE_UPLOAD_READ", stored) || !Same("TABLE_UPLOAD_READ", Sorted(stored.answer.data), SystemRows()))
      return false;
    Bytes rows = testsupport::KeyedRows(kSystemRows, kRow, salt);
    return WriteInPackets("TABLE_UPLOAD_WRITE", web::REQ_TABLE_UPLOAD, kReplacedTable, rows) &&
           Same("the system's table after an upload", SystemRows(), Sorted(rows));
  }
  bool Download(const std::string& file) {
    client::WebClient connection = server_.Connect(id_);
    bool ok = Check("ALL_DOWNLOAD_START", Timed("ALL_DOWNLOAD_START", connection,
                                                client::MakeRequest("ALL_DOWNLOAD_START", client::DownloadStartData(file, 0))));
    for (std::uint16_t id : kDownloaded) {
      ok = ok && Check("DOWNLOAD_PGC", Timed("DOWNLOAD_PGC", connection,
                                             client::MakeRequest("DOWNLOAD_PGC", client::PgcTableData(id))));
    }
    client::Request end = client::MakeRequest("ALL_DOWNLOAD_END");
    end.final = true;
    ok = ok && Check("ALL_DOWNLOAD_END", Timed("ALL_DOWNLOAD_END", connection, end));
    if (ok) connection.WaitClosed(testsupport::kCloseMs);
    return ok;
  }
  std::vector<Bytes> SystemRows() {
    sim::Table table;
    system_.tables().Read(kReplacedTable, table);
    return Sorted(table.rows);
  }

  sim::Simulator& system_;
  std::string address_;
};

}  // namespace

int main(int argc, char** argv) {
  double minutes = 10;
  int users = 100;
  int online = 10;
  bool systemLog = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--minutes") == 0) minutes = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--users") == 0) users = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--online") == 0) online = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--system-log") == 0) systemLog = std::atoi(argv[i + 1]) != 0;
  }
  online = std::clamp(online, 0, std::min(users, 200));

  // Each online user's system on an address of its own, all on one pair of ports.
  std::vector<std::unique_ptr<sim::Simulator>> systems;
  auto address = [](int i) { return "127.0.1." + std::to_string(i + 1); };
  std::uint16_t port = 0;
  for (int attempt = 0; attempt < 30 && static_cast<int>(systems.size()) < online; ++attempt) {
    systems.clear();
    port = static_cast<std::uint16_t>(20000 + std::rand() % 40000);
    for (int i = 0; i < online; ++i) {
      sim::Options system;
      system.address = address(i);
      system.basePort = port;
      system.rowsPerTable = kSystemRows;
      system.console = systemLog;
      system.strict = true;
      auto started = std::make_unique<sim::Simulator>(system);
      std::string error;
      if (started->Start(error) != 1) break;
      systems.push_back(std::move(started));
    }
  }
  if (static_cast<int>(systems.size()) < online) {
    std::fprintf(stderr, "soak: cannot start %d simulated systems\n", online);
    return 1;
  }
  testsupport::ServerOptions options;
  options.infoLevel = 0;  // production logging: errors only
  options.users.clear();
  for (int i = 0; i < users; ++i) options.users.emplace_back("u" + std::to_string(i), "pw");
  auto server = online > 0 ? testsupport::LaunchServerForSystem(options, port) : testsupport::LaunchServer(options);
  if (!server) return 1;
  int pid = server->pid();

  Figures figures;
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  auto start = figures.start = Clock::now();
  for (int i = 0; i < users; ++i) {
    threads.emplace_back([&, i] {
      if (i < online) {
        OnlineUser user(*server, figures, i, *systems[i], address(i));
        for (int n = 0; !stop.load(); ++n) user.Session(n);
      } else {
        OfflineUser user(*server, figures, i);
        for (int n = 0; !stop.load(); ++n) user.Session(n);
      }
    });
  }
  auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(minutes * 60));
  std::string firstMinute;
  while (Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (firstMinute.empty() && Clock::now() - start >= std::chrono::minutes(1)) firstMinute = Resources(pid);
  }
  std::string atEnd = Resources(pid);
  stop = true;
  for (auto& t : threads) t.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  std::printf("\nsoak: %d users for %.1f s: %ld sessions, %ld requests (%.1f per second), %ld rows written\n", users,
              elapsed, figures.sessions.load(), figures.requests.load(), figures.requests.load() / elapsed,
              figures.rows.load());
  int violations = 0;
  for (auto& system : systems) {
    system->Stop();
    violations += system->violations();
  }
  std::printf("soak: %d of them online: %d rules broken as the systems saw it\n", online, violations);
  std::printf("soak: unexpected results %ld, differing read-backs %ld\n", figures.unexpectedCount, figures.differences);
  for (const auto& line : figures.unexpected) std::printf("  unexpected: %s\n", line.c_str());
  std::printf("soak: server after the first minute: %s\n", firstMinute.empty() ? "(run shorter than a minute)" : firstMinute.c_str());
  std::printf("soak: server at the end: %s\n", atEnd.c_str());
  std::printf("soak: latency in ms (count, median, p99, max):\n");
  for (auto& [name, times] : figures.latencyMs) {
    std::sort(times.begin(), times.end());
    std::printf("  %-34s %7zu %9.1f %9.1f %9.1f\n", name.c_str(), times.size(), times[times.size() / 2],
                times[std::min(times.size() - 1, times.size() * 99 / 100)], times.back());
  }
  return figures.unexpectedCount == 0 && figures.differences == 0 && violations == 0 ? 0 : 1;
}
