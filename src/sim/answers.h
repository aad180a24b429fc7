#pragma once
// How the simulated system answers COMM, whatever carries the packets (a TCP
// connection or the framed serial line behind a modem): PGC table reads in
// numbered packets with COMM's acknowledgement after every tenth and the
// final packet, the link check's PGC20000 row, writes kept, FF FF answered
// with one packet, the restart packet ending the link, and the configured
// faults of the answers.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "sim/options.h"
#include "sim/tables.h"
#include "system/sxm_format.h"

namespace sim {

constexpr int kWaitForever = -1;

enum class Receipt { kPacket, kClosed, kTimedOut, kMalformed };

// One link to COMM as the answers see it. A link is used by one thread at a
// time, which also owns the exchange state below.
class Channel {
 public:
  virtual ~Channel() = default;

  // One packet to COMM; false when it did not go out or the link ended with it.
  virtual bool Send(const std::uint8_t* packet, std::size_t length) = 0;
  // One packet from COMM within `timeoutMs` (kWaitForever: no limit).
  virtual Receipt Receive(sxm::Packet& packet, std::size_t& length, int timeoutMs) = 0;
  // Takes care of a packet that concerns the link rather than the system
  // (link control, a link that does not hold the system); true when it did.
  virtual bool Intercept(const std::uint8_t* packet, std::size_t length) = 0;
  // Ends the link; sets `dropped`.
  virtual void Drop() = 0;
  // One console line.
  virtual void Say(const std::string& text) = 0;

  bool dropped = false;
  // The table a write is gathering.
  sxm::ReceiveState writeState;
  Table writing;
  bool writeBroken = false;
  // A request that came where an acknowledgement was awaited: served next.
  sxm::Packet pending{};
  std::size_t pendingLength = 0;
};

class Answers {
 public:
  explicit Answers(const Options& options);
  Answers(const Answers&) = delete;
  Answers& operator=(const Answers&) = delete;

  // Answers the link's packets until it ends.
  void Serve(Channel& channel);

  TableStore& tables() { return tables_; }
  int restarts() const { return restarts_.load(); }

 private:
  void Dispatch(Channel& channel, const std::uint8_t* packet, std::size_t length);
  void AnswerRead(Channel& channel, const std::uint8_t* header);
  void TakeWrite(Channel& channel, const std::uint8_t* packet, std::size_t length);
  bool AwaitAck(Channel& channel, std::uint16_t messageId);
  bool SendHeaderOnly(Channel& channel, std::uint8_t mode, std::uint16_t messageId, std::uint8_t result,
                      std::uint8_t recordLength = 0);
  // Whether the next request gets a fault: always when `every`, else while
  // `left` lasts (counting it down).
  bool TakeFault(int& left, bool every);

  const Options options_;
  TableStore tables_;
  std::atomic<int> restarts_{0};
  std::mutex mutex_;  // guards faultsLeft_: every link's thread takes faults from it
  Faults faultsLeft_;
};

}  // namespace sim
