// Web link benchmarks against the real tavrel-comm on loopback:
//   roundtrip  1,000 LINK_SET requests without records on one connection:
//              median and 99th percentile round trip
//   logins     50 clients, each repeating connect, LOGIN, LOGOUT for 20 s:
//              exchanges per second, errors, server memory
// Usage: web_bench [roundtrip|logins|all] [--seconds N] [--clients N]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "client/request_data.h"
#include "client/web_client.h"
#include "requests/request.h"
#include "support/comm_server.h"

namespace {

using Clock = std::chrono::steady_clock;

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

std::string ProcStatus(int pid, const char* key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return line.substr(std::strlen(key));
  }
  return "?";
}

int ServerPid(const testsupport::CommServer& server) {
  // The server is the only tavrel-comm whose working directory is ours.
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code ec;
    auto cwd = std::filesystem::read_symlink(entry.path() / "cwd", ec);
    if (!ec && cwd == server.commDir()) return std::stoi(name);
  }
  return -1;
}

void RoundTrip(testsupport::CommServer& server) {
  constexpr int kRequests = 1000;
  auto c = server.Connect("u0");
  std::vector<double> times;
  client::Request linkSet;
  linkSet.type = web::REQ_CONTROL;
  linkSet.messageId = requests::LINK_SET;
  int errors = 0;
  for (int i = 0; i < kRequests; ++i) {
    linkSet.final = i == kRequests - 1;
    client::Answer answer;
    auto start = Clock::now();
    int rc = c.Call(linkSet, answer);
    times.push_back(Micros(Clock::now() - start));
    if (rc != 1 || answer.result() != 1) ++errors;
  }
  std::sort(times.begin(), times.end());
  std::printf("roundtrip: %d LINK_SET requests on one connection: median %.1f us, p99 %.1f us, max %.1f us, errors %d\n",
              kRequests, times[times.size() / 2], times[times.size() * 99 / 100], times.back(), errors);
}

void Logins(testsupport::CommServer& server, int clients, int seconds) {
  std::atomic<long> exchanges{0}, errors{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  auto start = Clock::now();
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      std::string user = "u" + std::to_string(i);
      std::string session = "session-" + user;
      while (!stop.load()) {
        auto c = server.Connect(user);
        client::Request login;
        login.messageId = requests::LOGIN;
        login.data = client::LoginData(user, "pw", session, "127.0.0.1");
        client::Request logout;
        logout.messageId = requests::LOGOUT;
        logout.data = client::LogoutData(user, session);
        logout.final = true;
        client::Answer answer;
        bool ok = c.connected() && c.Call(login, answer) == 1 && answer.result() == 1 &&
                  c.Call(logout, answer) == 1 && answer.result() == 1;
        (ok ? exchanges : errors).fetch_add(1);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  stop = true;
  for (auto& t : threads) t.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  int pid = ServerPid(server);
  std::printf("logins: %d clients x (connect, LOGIN, LOGOUT) for %.1f s: %ld exchanges, %.0f per second, errors %ld\n",
              clients, elapsed, exchanges.load(), exchanges.load() / elapsed, errors.load());
  std::printf("logins: server memory: RSS%s, peak%s\n", ProcStatus(pid, "VmRSS:").c_str(),
              ProcStatus(pid, "VmHWM:").c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::string which = argc > 1 ? argv[1] : "all";
  int seconds = 20, clients = 50;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--clients") == 0) clients = std::atoi(argv[i + 1]);
  }
  testsupport::ServerOptions options;
  options.infoLevel = 0;  // production logging: errors only
  options.users.clear();
  for (int i = 0; i < std::max(clients, 1); ++i) options.users.emplace_back("u" + std::to_string(i), "pw");
  auto server = testsupport::LaunchServer(options);
  if (!server) return 1;
  if (which == "roundtrip" || which == "all") RoundTrip(*server);
  if (which == "logins" || which == "all") Logins(*server, clients, seconds);
  return 0;
}
