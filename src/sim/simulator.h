#pragma once
// The simulated switching system, TCP side: listens on one address at the
// base port (the system's 5080) and the base port + 1 (5081, takeover),
// serves the PGC tables of a TableStore in SXM packets and keeps the tables
// clients write. One client holds the system at a time; a second client on
// the base port gets the reject packet, a client on base + 1 takes the
// system over with the link-control packet.
//
// The answers themselves are sim/answers.h, shared with the modem.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/socket.h"
#include "sim/answers.h"
#include "sim/options.h"

namespace sim {

class Simulator {
 public:
  explicit Simulator(const Options& options);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Binds both ports and starts serving. 1; 0 with `error` set.
  int Start(std::string& error);
  // Drops every link and waits for the threads.
  void Stop();

  TableStore& tables() { return answers_.tables(); }
  int restarts() const { return answers_.restarts(); }
  // Rules COMM broke on any link so far.
  int violations() const { return answers_.violations(); }

  struct Link;

 private:
  void AcceptLoop(int listener, bool takeoverPort);
  void Serve(std::shared_ptr<Link> link);
  void JoinFinishedLinks();
  void LinkControl(Link& link);
  void Drop(Link& link);
  bool Holds(const Link& link);
  void Say(const Link& link, const std::string& text, bool always = false);

  const Options options_;
  Answers answers_;
  std::atomic<bool> stopping_{false};
  platform::Socket listeners_[2];
  std::thread acceptors_[2];

  std::mutex mutex_;  // guards everything below; taken by the accept and link threads
  std::vector<std::pair<std::shared_ptr<Link>, std::thread>> threads_;  // joined when their link has finished
  std::vector<std::shared_ptr<Link>> links_;
  std::shared_ptr<Link> holder_;
  int nextLinkId_ = 1;
};

}  // namespace sim
