#include "frame/counters.h"

#include <chrono>

namespace counters {
namespace {

using Clock = std::chrono::steady_clock;

std::array<std::array<std::atomic<std::uint64_t>, kResultCodes>, kRequestKinds> requests;
std::atomic<std::uint64_t> rowsStored{0};
std::atomic<std::uint64_t> rowsRead{0};
std::atomic<std::uint64_t> linkFailures{0};
std::atomic<std::uint64_t> flagWaits{0};
std::atomic<std::uint64_t> flagWaitUs{0};
std::atomic<Clock::rep> startTicks{Clock::now().time_since_epoch().count()};

void Add(std::atomic<std::uint64_t>& counter, std::uint64_t n) { counter.fetch_add(n, std::memory_order_relaxed); }
std::uint64_t Get(const std::atomic<std::uint64_t>& counter) { return counter.load(std::memory_order_relaxed); }

}  // namespace

void CountRequest(int kind, int result) {
  if (kind < 0 || kind >= kRequestKinds) kind = kKindOther;
  Add(requests[kind][static_cast<std::uint8_t>(result)], 1);
}

std::uint64_t RequestCount(int kind, int resultByte) {
  if (kind < 0 || kind >= kRequestKinds || resultByte < 0 || resultByte >= kResultCodes) return 0;
  return Get(requests[kind][resultByte]);
}

void CountRowsStored(std::uint64_t rows) { Add(rowsStored, rows); }
void CountRowsRead(std::uint64_t rows) { Add(rowsRead, rows); }
void CountSystemLinkFailure() { Add(linkFailures, 1); }
void CountTransferFlagWait(std::uint64_t waitedUs) {
  Add(flagWaits, 1);
  Add(flagWaitUs, waitedUs);
}

Totals ReadTotals() {
  return Totals{Get(rowsStored), Get(rowsRead), Get(linkFailures), Get(flagWaits), Get(flagWaitUs)};
}

void MarkStart() { startTicks.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed); }

std::uint64_t UptimeSeconds() {
  Clock::duration since = Clock::now().time_since_epoch() - Clock::duration(startTicks.load(std::memory_order_relaxed));
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count());
}

}  // namespace counters
