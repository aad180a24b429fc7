#include "server/web_timer.h"

#include <chrono>
#include <thread>

#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "platform/thread.h"
#include "requests/slot_release.h"
#include "system/modem.h"

namespace server {
namespace {

constexpr auto kSweepInterval = std::chrono::milliseconds(10);

// Claims a slot whose timer has expired for the giving-up, unless its user
// came back in the meantime. Returns true when this thread now owns it.
bool ClaimExpired(int varNum) {
  std::lock_guard lock(SlotLock());
  Slot& slot = SlotAt(varNum);
  if (slot.timer.stopped.load() != 0 || slot.webMessageFlag.load() != 0) return false;
  slot.webMessageFlag = 1;
  slot.timer.stopped = 1;
  return true;
}

void Fire(int varNum, int seconds) {
  ShowAllFlags();
  Console("\n%d second up --- main process", seconds);
  Console("\ntime out, reset link and state:");
  GiveUpClaimedSlot(varNum);
}

}  // namespace

void GiveUpClaimedSlot(int varNum) {
  Slot& slot = SlotAt(varNum);
  LogDebug(varNum, "Stop Modem Alive Timer");
  modem::StopModemAliveTimerOf(varNum);
  LogDebug(varNum, "Stop Modem Disconnect Timer");
  if (requests::ResetLinkAndFlag(slot.systemSocket, varNum) != RESULT_OK) {
    LogError(varNum, "DB error", "\nReset Link and Flag error\n");
  }
  std::lock_guard lock(SlotLock());
  if (slot.state == state::kIdle) FreeSlotLocked(varNum);
  slot.webMessageFlag = 0;
  SlotReleased().notify_all();
}


int SweepWebTimers(std::uint32_t now) {
  int fired = 0;
  for (int varNum = 0; varNum < kSlotCount; ++varNum) {
    WebTimer& timer = SlotAt(varNum).timer;
    if (timer.stopped.load() != 0) continue;
    std::uint32_t start = timer.startTick.load();
    auto elapsed = static_cast<std::int32_t>(now - start);
    int seconds = timer.timeoutMs.load() / 1000;
    if (elapsed <= static_cast<std::int64_t>(seconds) * 1000) {
      if (start != timer.lastSeenTick) Console("\nReset WebTimer(%d Seconds)!!\n", seconds);
      timer.lastSeenTick = start;
      continue;
    }
    if (!ClaimExpired(varNum)) continue;
    Fire(varNum, seconds);
    ++fired;
  }
  return fired;
}

void CheckWebDisconnectTime() {
  for (;;) {
    SweepWebTimers(platform::TickCount());
    std::this_thread::sleep_for(kSweepInterval);
  }
}

}  // namespace server
