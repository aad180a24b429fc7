#pragma once
// Process-wide operating counters for the status page. Every counter is a
// relaxed atomic: any thread adds, the status server reads, nothing waits.
// They live this low so that request handling, the system link and PGC
// storage can count without knowing who reads them.
#include <array>
#include <atomic>
#include <cstdint>

namespace counters {

// Requests are counted by kind and by the result byte of their reply. A
// control request's kind is its control number (below kControlKinds); the
// other request types each have one kind. Request handling decides the kind.
constexpr int kControlKinds = 32;
enum RequestKind : int {
  kKindPgc = kControlKinds,  // type 19
  kKindTableDownload,        // type 161
  kKindTableUpload,          // type 162
  kKindRestart,              // type 160
  kKindOther,                // an unknown type or control number
  kRequestKinds
};
constexpr int kResultCodes = 256;  // the reply carries the low 8 bits of the code

void CountRequest(int kind, int result);
std::uint64_t RequestCount(int kind, int resultByte);

void CountRowsStored(std::uint64_t rows);
void CountRowsRead(std::uint64_t rows);
void CountSystemLinkFailure();
// A thread that had to wait for the transfer flag, and for how long.
void CountTransferFlagWait(std::uint64_t waitedUs);

struct Totals {
  std::uint64_t rowsStored = 0;
  std::uint64_t rowsRead = 0;
  std::uint64_t systemLinkFailures = 0;
  std::uint64_t transferFlagWaits = 0;
  std::uint64_t transferFlagWaitUs = 0;
};
Totals ReadTotals();

// Seconds since the process counted its start (MarkStart at start-up).
void MarkStart();
std::uint64_t UptimeSeconds();

}  // namespace counters
