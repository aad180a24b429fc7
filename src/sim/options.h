#pragma once
// What the simulated system is told: who it is, how much it serves, and the
// faults it injects into its answers so that COMM's error paths can be driven.
#include <cstdint>
#include <string>

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
  std::string address = "127.0.0.1";  // TCP only
  std::uint16_t basePort = 5080;      // TCP only
  int rowsPerTable = 25;
  Identity identity;
  std::uint16_t restartId = 0x0002;  // a packet with this message ID restarts the system
  int ackTimeoutMs = 15000;          // how long an answer waits for COMM's acknowledgement
  bool console = true;               // one console line per exchange
  bool strict = false;               // the first violation by COMM ends its link
  Faults faults;
};

}  // namespace sim
