// A long run of many web users against the real tavrel-comm on loopback,
// each doing what the web front end does, one request per connection: log
// in, create a file, store the system description, write a table in one or
// several packets and read it back, close, open and read again, close,
// delete, log out. Reports sessions, requests per second, rows, every
// unexpected result, every read-back that differs, each request's latency
// (median, 99th percentile, maximum) and the server's memory, descriptors
// and threads after the first minute and at the end.
// Usage: soak [--minutes N] [--users N]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/request_catalogue.h"
#include "client/request_data.h"
#include "support/comm_server.h"
#include "support/wire_helpers.h"

namespace {

using Clock = std::chrono::steady_clock;
using client::Bytes;
using testsupport::Exchange;

constexpr std::uint16_t kReplacedTable = 0x5000;  // 40-byte rows, replaced as a whole
constexpr int kRow = 40;

struct Figures {
  std::mutex lock;
  std::map<std::string, std::vector<double>> latencyMs;
  std::vector<std::string> unexpected;
  long unexpectedCount = 0;
  long differences = 0;
  std::atomic<long> sessions{0}, requests{0}, rows{0};

  void Note(const std::string& what) {
    std::lock_guard guard(lock);
    ++unexpectedCount;
    if (unexpected.size() < 50) unexpected.push_back(what);
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

Bytes Rows(int count, int salt) {
  Bytes rows(static_cast<std::size_t>(count) * kRow);
  for (int i = 0; i < count; ++i) {
    std::uint8_t* row = &rows[static_cast<std::size_t>(i) * kRow];
    row[0] = static_cast<std::uint8_t>(i >> 8);
    row[1] = static_cast<std::uint8_t>(i);
    for (int c = 2; c < kRow; ++c) row[c] = static_cast<std::uint8_t>(i * 13 + c + salt);
  }
  return rows;
}

std::vector<Bytes> Sorted(const Bytes& rows) {
  std::vector<Bytes> out;
  for (std::size_t at = 0; at + kRow <= rows.size(); at += kRow) out.emplace_back(rows.begin() + at, rows.begin() + at + kRow);
  std::sort(out.begin(), out.end());
  return out;
}

client::Request Table(std::uint8_t mode, Bytes data = {}) {
  client::Request r;
  r.type = web::REQ_TABLE_DOWNLOAD;
  r.mode = mode;
  r.messageId = kReplacedTable;
  r.recordLength = kRow;
  r.data = std::move(data);
  return r;
}

class User {
 public:
  User(testsupport::CommServer& server, Figures& figures, int index)
      : server_(server), figures_(figures), id_("u" + std::to_string(index)), session_("session-" + id_) {}

  // One session; after a failed step the rest is skipped, but the file is
  // still closed and deleted and the user logged out.
  void Session(int number) {
    std::string file = id_ + "_" + std::to_string(number % 4);
    client::Request login = client::MakeRequest("LOGIN", client::LoginData(id_, "pw", session_, "127.0.0.1"));
    bool ok = Expect("LOGIN", login, 1);
    ok = ok && Expect("FILE_CREATE", client::MakeRequest("FILE_CREATE", client::FileNameData(file)), 1);
    if (ok) {
      Bytes info(58, 0);
      info[1] = 1;
      info[3] = 1;
      ok = Expect("STORE_PGC", client::MakeRequest("STORE_PGC", info), 1);
      int count = 1 + (number * 7 + static_cast<int>(id_.size())) % 30;  // 1..30 rows: one to five packets
      Bytes rows = Rows(count, number);
      ok = ok && Write(rows);
      ok = ok && ReadBack(rows);
      ok = ok && Expect("FILE_CLOSE", client::MakeRequest("FILE_CLOSE", client::FileNameData(file)), 1);
      ok = ok && Expect("FILE_OPEN", client::MakeRequest("FILE_OPEN", client::FileNameData(file)), 1);
      ok = ok && ReadBack(rows);
      Expect("FILE_CLOSE", client::MakeRequest("FILE_CLOSE", client::FileNameData(file)), 1);
      Expect("FILE_DELETE", client::MakeRequest("FILE_DELETE", client::FileNameFields({file})), 1);
    } else {
      // A create that timed out here may still have finished: clear up so
      // that the next session does not meet the file (not counted).
      Once("FILE_CLOSE after a failed create", client::MakeRequest("FILE_CLOSE", client::FileNameData(file)));
      Once("FILE_DELETE after a failed create", client::MakeRequest("FILE_DELETE", client::FileNameFields({file})));
    }
    Expect("LOGOUT", client::MakeRequest("LOGOUT", client::LogoutData(id_, session_)), 1);
    figures_.sessions.fetch_add(1);
  }

 private:
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
  bool Expect(const std::string& name, const client::Request& request, int result) {
    Exchange out = Once(name, request);
    if (out.rc == 1 && out.answer.result() == result) return true;
    figures_.Note(id_ + " " + name + ": call " + std::to_string(out.rc) + ", result " +
                  std::to_string(out.rc == 1 ? out.answer.result() : 0));
    return false;
  }
  bool Write(const Bytes& rows) {
    client::WebClient connection = server_.Connect(id_);
    for (std::size_t at = 0; at < rows.size(); at += 6 * kRow) {
      client::Request r = Table(web::kModeWrite, Bytes(rows.begin() + at, rows.begin() + std::min(rows.size(), at + 6 * kRow)));
      r.final = at + 6 * kRow >= rows.size();
      Exchange out = Timed("TABLE_WRITE", connection, r);
      if (out.rc != 1 || out.answer.result() != 1) {
        figures_.Note(id_ + " TABLE_WRITE: call " + std::to_string(out.rc) + ", result " +
                      std::to_string(out.rc == 1 ? out.answer.result() : 0));
        return false;
      }
    }
    connection.WaitClosed(testsupport::kCloseMs);
    figures_.rows.fetch_add(static_cast<long>(rows.size() / kRow));
    return true;
  }
  bool ReadBack(const Bytes& rows) {
    Exchange out = Once("TABLE_READ", Table(web::kModeRead));
    if (out.rc != 1) {
      figures_.Note(id_ + " TABLE_READ: call " + std::to_string(out.rc));
      return false;
    }
    if (Sorted(out.answer.data) != Sorted(rows)) {
      std::lock_guard guard(figures_.lock);
      ++figures_.differences;
      return false;
    }
    return true;
  }

  testsupport::CommServer& server_;
  Figures& figures_;
  std::string id_, session_;
};

}  // namespace

int main(int argc, char** argv) {
  double minutes = 10;
  int users = 100;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--minutes") == 0) minutes = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--users") == 0) users = std::atoi(argv[i + 1]);
  }
  testsupport::ServerOptions options;
  options.infoLevel = 0;  // production logging: errors only
  options.users.clear();
  for (int i = 0; i < users; ++i) options.users.emplace_back("u" + std::to_string(i), "pw");
  auto server = testsupport::LaunchServer(options);
  if (!server) return 1;
  int pid = server->pid();

  Figures figures;
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  auto start = Clock::now();
  for (int i = 0; i < users; ++i) {
    threads.emplace_back([&, i] {
      User user(*server, figures, i);
      for (int n = 0; !stop.load(); ++n) user.Session(n);
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

  std::printf("soak: %d users for %.1f s: %ld sessions, %ld requests (%.1f per second), %ld rows written\n", users,
              elapsed, figures.sessions.load(), figures.requests.load(), figures.requests.load() / elapsed,
              figures.rows.load());
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
  return figures.unexpectedCount == 0 && figures.differences == 0 ? 0 : 1;
}
