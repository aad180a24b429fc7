#pragma once
// How the simulated system answers COMM, whatever carries the packets (a TCP
// connection or the framed serial line behind a modem): PGC table reads in
// numbered packets with COMM's acknowledgement after every tenth and the
// final packet, the link check's PGC20000 row, writes kept, FF FF answered
// with one packet, the restart packet ending the link, and the configured
// faults of the answers.
//
// It also holds COMM to the rules a real system relies on: every packet COMM
// sends is checked (header fields, the result byte of a request, sequence
// and final flag, an acknowledgement exactly where one is due and nowhere
// else, a refused request sent again), and each breach is a violation: one
// console line, counted, and with `strict` the end of the link.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "sim/options.h"
#include "sim/tables.h"
#include "sim/packet.h"

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
  // kMalformed: a header whose type or length no packet has (`problem` says which).
  virtual Receipt Receive(PacketBytes& packet, std::size_t& length, int timeoutMs) = 0;
  // Takes care of a packet that concerns the link rather than the system
  // (link control, a link that does not hold the system); true when it did.
  virtual bool Intercept(const std::uint8_t* packet, std::size_t length) = 0;
  // Ends the link; sets `dropped`.
  virtual void Drop() = 0;
  // One console line; `always` even when the console is quiet.
  virtual void Say(const std::string& text, bool always = false) = 0;

  bool dropped = false;
  std::string problem;  // of the last malformed receipt
  // The write under way: its message, the last sequence number taken.
  std::uint16_t writeId = 0;
  std::uint16_t writeSequence = 0;
  bool writeOwn = false;  // built by COMM, not relayed from the web front end
  Table writing;
  bool writeBroken = false;
  // The request last refused and how often in a row: COMM sends it again
  // up to five times and takes the sixth refusal.
  std::uint16_t refusedId = 0;
  int refusals = 0;
  bool resendDue = false;
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
  // Packets and exchanges of COMM that broke the rules, over every link.
  int violations() const { return violations_.load(); }
  // Counts and reports one; ends the link when strict.
  void Violation(Channel& channel, const std::string& what);

 private:
  void Dispatch(Channel& channel, const std::uint8_t* packet, std::size_t length);
  // The fields every request must have right; false after a violation.
  bool CheckRequest(Channel& channel, const Header& h);
  void AnswerRead(Channel& channel, const Header& request);
  void Refuse(Channel& channel, const Header& request);
  void TakeWrite(Channel& channel, const std::uint8_t* packet, std::size_t length);
  // Waits for COMM's acknowledgement of packet `sequence` of `messageId`;
  // false when none came (the answer ends).
  bool AwaitAck(Channel& channel, std::uint16_t messageId, int sequence);
  bool SendHeaderOnly(Channel& channel, std::uint8_t mode, std::uint16_t messageId, std::uint8_t result,
                      std::uint8_t recordLength = 0);
  // Whether the next request gets a fault: always when `every`, else while
  // `left` lasts (counting it down).
  bool TakeFault(int& left, bool every);

  const Options options_;
  TableStore tables_;
  std::atomic<int> restarts_{0};
  std::atomic<int> violations_{0};
  std::mutex mutex_;  // guards faultsLeft_: every link's thread takes faults from it
  Faults faultsLeft_;
};

}  // namespace sim
