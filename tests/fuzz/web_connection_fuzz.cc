// A web connection as a peer drives it: the bytes of the input's first chunk
// arrive on an accepted socket and go through the receive path and the
// request handling of the slot they claim, against the real databases of a
// provisioned installation. A connect to a system reaches a scripted system
// on loopback whose successive answers are the input's further chunks, so
// that slots reach every state: idle, offline, online, download, upload.
// The installation's template keeps only the tables inputs reach (see
// KeepReachedTables), so that a connect reads a schema of a few dozen tables
// instead of every PGC's: the fuzzer's time goes into COMM rather than into
// SQLite's schema parser, and a PGC without a table takes the database's
// error paths.
#include <netinet/in.h>
#include <sqlite3.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <span>
#include <thread>
#include <vector>

#include "db/files.h"
#include "frame/config.h"
#include "fuzz_support.h"
#include "platform/socket.h"
#include "server/connection.h"
#include "system/tcp_link.h"

namespace {

int listener4 = -1;
int listener6 = -1;
sockaddr_in address4{};
sockaddr_in6 address6{};

int Listen(int family) {
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (family == AF_INET) {
    address4.sin_family = AF_INET;
    address4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address4;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address4), length) != 0 || ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address4), &length) != 0) {
      ::close(fd);
      return -1;
    }
  } else {
    address6.sin6_family = AF_INET6;
    address6.sin6_addr = in6addr_loopback;
    socklen_t length = sizeof address6;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address6), length) != 0 || ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address6), &length) != 0) {
      ::close(fd);
      return -1;
    }
  }
  return fd;
}

// The PGCs whose tables stay: those of the seeds' messages, the key and
// multi-database PGCs with their slave and source, and the tables a file
// is given when it is opened (without them every open would run Tabulon).
void KeepReachedTables(const std::string& templatePath) {
  static const char* const kept[] = {"101", "102", "105", "500", "705", "710", "722", "723", "724", "806", "852"};
  std::string keep = "'dbinfo'";
  for (const char* pgc : kept) keep += std::string(", 'PGC") + pgc + "'";
  for (const char* table : db::kTablesAddedOnOpen) keep += std::string(", '") + table + "'";
  sqlite3* db = nullptr;
  if (sqlite3_open(templatePath.c_str(), &db) != SQLITE_OK) std::abort();
  std::string drops = "BEGIN;";
  sqlite3_stmt* stmt = nullptr;
  std::string select = "SELECT name FROM sqlite_master WHERE type = 'table' AND name COLLATE NOCASE NOT IN (" + keep + ")";
  if (sqlite3_prepare_v2(db, select.c_str(), -1, &stmt, nullptr) != SQLITE_OK) std::abort();
  while (sqlite3_step(stmt) == SQLITE_ROW)
    drops += std::string(" DROP TABLE \"") + reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)) + "\";";
  sqlite3_finalize(stmt);
  if (sqlite3_exec(db, (drops + " COMMIT; VACUUM;").c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
  sqlite3_close(db);
}

// Plays the system: each chunk goes out when COMM has sent a packet or waits
// for the system; after the last one the link is closed. The wake descriptor
// ends the play when the input is done.
void PlaySystem(int listener, int wake, pid_t comm, std::span<const std::span<const std::uint8_t>> answers) {
  std::size_t next = 0;
  for (;;) {
    pollfd p[2] = {{listener, POLLIN, 0}, {wake, POLLIN, 0}};
    if (::poll(p, 2, -1) <= 0) continue;
    if (p[1].revents != 0) return;
    int link = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (link < 0) continue;
    while (next < answers.size()) {
      if (fuzzsupport::AwaitFarEndTurn(link, wake, comm, true, -1, 2000)) {
        std::uint8_t sink[4096];
        if (::recv(link, sink, sizeof sink, MSG_DONTWAIT) == 0) break;
      } else if (pollfd w{wake, POLLIN, 0}; ::poll(&w, 1, 0) > 0) {
        break;
      }
      const auto& answer = answers[next++];
      if (platform::SendAll(link, answer.data(), answer.size(), 1000) != 0) break;
    }
    ::close(link);
  }
}

}  // namespace

// Every connect of the process goes to the scripted system: nothing leaves
// the machine whatever address an input names.
extern "C" int connect(int fd, const sockaddr* address, socklen_t length) {
  if (address != nullptr && address->sa_family == AF_INET && listener4 >= 0) {
    return static_cast<int>(::syscall(SYS_connect, fd, &address4, sizeof address4));
  }
  if (address != nullptr && address->sa_family == AF_INET6 && listener6 >= 0) {
    return static_cast<int>(::syscall(SYS_connect, fd, &address6, sizeof address6));
  }
  (void)length;
  errno = ECONNREFUSED;
  return -1;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::PrepareInstallation();
  KeepReachedTables(Paths().databasePath + db::kTemplateFile);
  systemlink::SetLinkTimers(2000, 1);
  listener4 = Listen(AF_INET);
  listener6 = Listen(AF_INET6);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto chunks = fuzzsupport::Chunks(data, size);
  if (chunks.empty()) return 0;
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  platform::SetNonBlocking(fds[0]);
  platform::SendAll(fds[1], chunks[0].data(), chunks[0].size(), 1000);
  ::shutdown(fds[1], SHUT_WR);

  int wake = ::eventfd(0, EFD_CLOEXEC);
  if (wake < 0) std::abort();
  std::span<const std::span<const std::uint8_t>> answers(chunks.data() + 1, chunks.size() - 1);
  pid_t comm = fuzzsupport::ThreadId();
  std::thread system4([&] { PlaySystem(listener4, wake, comm, answers); });
  std::thread system6;
  if (listener6 >= 0) system6 = std::thread([&] { PlaySystem(listener6, wake, comm, answers); });
  // The web side reads every reply, as a well-behaved peer does.
  std::thread web([peer = fds[1]] {
    std::uint8_t sink[4096];
    for (;;) {
      pollfd p{peer, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) break;
      if (::recv(peer, sink, sizeof sink, 0) <= 0) break;
    }
  });

  server::ServeConnection(fds[0]);
  web.join();
  ::close(fds[1]);
  fuzzsupport::ResetServerState();
  std::uint64_t one = 1;
  if (::write(wake, &one, sizeof one) != sizeof one) std::abort();
  system4.join();
  if (system6.joinable()) system6.join();
  ::close(wake);
  return 0;
}
