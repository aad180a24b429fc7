#pragma once
// The simulated switching system, TCP side: listens on one address at the
// base port (the system's 5080) and the base port + 1 (5081, takeover),
// serves the PGC tables of a TableStore in SXM packets and keeps the tables
// clients write. One client holds the system at a time; a second client on
// the base port gets the reject packet, a client on base + 1 takes the
// system over with the link-control packet.
//
// Faults can be injected so that COMM's error paths can be driven.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/socket.h"
#include "sim/tables.h"

namespace sim {

enum class Malformed {
  kNone,
  kWrongType,        // the first answer packet has type 0x14
  kShortLength,      // the first answer packet's length field reads 9
  kLongLength,       // the first answer packet's length field reads 251
  kSequenceGap,      // the second packet is numbered 3 (a one-packet answer: the first is numbered 2)
  kMessageIdChange,  // the second packet carries another message ID
};

// Each fault with a count applies to that many read requests in turn, over
// all connections (0: to every request).
struct Faults {
  int refuseCount = 0;          // answer with result 0 (always a count, never "every")
  int specialError = 0;         // 2, 3 or 10; 0 = off
  int specialErrorCount = 1;
  int closeAfterPackets = 0;    // a link is dropped once it has carried n answer packets; 0 = never
  int delayMs = 0;              // before every answer
  Malformed malformed = Malformed::kNone;
  int malformedCount = 1;
};

struct Options {
  std::string address = "127.0.0.1";
  std::uint16_t basePort = 5080;
  int rowsPerTable = 25;
  Identity identity;
  std::uint16_t restartId = 0x0002;  // a packet with this message ID restarts the system
  int ackTimeoutMs = 15000;          // how long an answer waits for COMM's acknowledgement
  bool console = true;               // one console line per exchange
  Faults faults;
};

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

  TableStore& tables() { return tables_; }
  int restarts() const { return restarts_.load(); }

  struct Link;

 private:
  void AcceptLoop(int listener, bool takeoverPort);
  void Serve(std::shared_ptr<Link> link);
  void JoinFinishedLinks();
  void Dispatch(Link& link, const std::uint8_t* packet, std::size_t length);
  void AnswerRead(Link& link, const std::uint8_t* header);
  void TakeWrite(Link& link, const std::uint8_t* packet, std::size_t length);
  void LinkControl(Link& link);
  bool SendPacket(Link& link, const std::uint8_t* bytes, std::size_t length);
  bool SendHeaderOnly(Link& link, std::uint8_t mode, std::uint16_t messageId, std::uint8_t result,
                      std::uint8_t recordLength = 0);
  bool AwaitAck(Link& link, std::uint16_t messageId);
  bool Holds(const Link& link);
  // Whether the next request gets a fault: always when `every`, else while
  // `left` lasts (counting it down).
  bool TakeFault(int& left, bool every);
  void Say(const Link& link, const std::string& text);

  const Options options_;
  TableStore tables_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> restarts_{0};
  platform::Socket listeners_[2];
  std::thread acceptors_[2];

  std::mutex mutex_;  // guards everything below; taken by the accept and link threads
  std::vector<std::pair<std::shared_ptr<Link>, std::thread>> threads_;  // joined when their link has finished
  std::vector<std::shared_ptr<Link>> links_;
  std::shared_ptr<Link> holder_;
  int nextLinkId_ = 1;
  Faults faultsLeft_;
};

}  // namespace sim
