#pragma once
// The operator's status server: HTTP on 127.0.0.1 only, on its own thread,
// serving "/" (a page that refreshes itself), "/metrics" (Prometheus text)
// and "/status.json". It only reads: slots through their view lock, counters
// through atomics.
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace status {

class StatusServer {
 public:
  StatusServer();
  ~StatusServer();
  StatusServer(const StatusServer&) = delete;
  StatusServer& operator=(const StatusServer&) = delete;

  // Binds 127.0.0.1:port and starts serving. 1; 0 when the port cannot be bound.
  int Start(std::uint16_t port);
  void Stop();

 private:
  std::unique_ptr<httplib::Server> http_;
  std::thread thread_;
};

// Start-up: starts the process's status server when COMM's working directory
// holds a status port. A port that cannot be bound is logged and COMM goes on
// without the page: the operator's view must never keep the server down.
void StartConfiguredStatusServer(const std::string& commDir);

}  // namespace status
