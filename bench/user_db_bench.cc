// Logins per second with the user database on SQLite and on PostgreSQL:
// 50 clients, each repeating connect, LOGIN, LOGOUT, against
//   sqlite   one instance on the SQLite files
//   pg       one instance on a PostgreSQL database
//   pg x2    two instances sharing one PostgreSQL database (half the
//            clients on each)
// in one run. The server is the one TAVREL_TEST_PG names; to start a
// throwaway one around the run:
//   bash -c 'source scripts/postgres.sh; trap stop_test_postgres EXIT; start_test_postgres;
//            build/bin/user_db_bench --seconds 10'
// Usage: user_db_bench [--seconds N] [--clients N]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/request_data.h"
#include "client/web_client.h"
#include "requests/request.h"
#include "support/comm_server.h"
#include "support/pg_database.h"

namespace {

using Clock = std::chrono::steady_clock;

// Clients spread over the servers in turn; logins per second and errors.
void Logins(const char* label, const std::vector<testsupport::CommServer*>& servers, int clients, int seconds) {
  std::atomic<long> exchanges{0}, errors{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  auto start = Clock::now();
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      testsupport::CommServer& server = *servers[i % servers.size()];
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
  std::printf("%-7s %d clients x (connect, LOGIN, LOGOUT) for %.1f s: %ld logins, %.0f per second, errors %ld\n",
              label, clients, elapsed, exchanges.load(), exchanges.load() / elapsed, errors.load());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 10, clients = 50;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--clients") == 0) clients = std::atoi(argv[i + 1]);
  }
  testsupport::ServerOptions options;
  options.infoLevel = 0;  // production logging: errors only
  options.users.clear();
  for (int i = 0; i < std::max(clients, 1); ++i) options.users.emplace_back("u" + std::to_string(i), "pw");

  {
    options.userDb = "sqlite";
    auto server = testsupport::LaunchServer(options);
    if (!server) return 1;
    Logins("sqlite", {server.get()}, clients, seconds);
  }
  std::string why;
  std::string url = testsupport::CreateServerDatabase(why);
  if (url.empty()) {
    std::printf("pg      skipped: %s\n", why.c_str());
    return 0;
  }
  options.userDb = url;
  {
    auto server = testsupport::LaunchServer(options);
    if (!server) return 1;
    Logins("pg", {server.get()}, clients, seconds);
  }
  {
    auto first = testsupport::LaunchServer(options);
    auto second = testsupport::LaunchServer(options);
    if (!first || !second) return 1;
    Logins("pg x2", {first.get(), second.get()}, clients, seconds);
  }
  testsupport::DropServerDatabase(url);
  return 0;
}
