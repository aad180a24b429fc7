#include "server/shutdown.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "db/odbc.h"
#include "frame/log.h"
#include "frame/slots.h"
#include "platform/socket.h"
#include "platform/tcp_listen.h"
#include "platform/thread.h"
#include "server/web_timer.h"

namespace server {
namespace {

constexpr auto kRequestGrace = std::chrono::seconds(10);
// After the grace, connections still busy are cut; their threads get this
// long to notice and let their slots go.
constexpr auto kCutConnectionWait = std::chrono::seconds(2);
// Slots whose web timer fires just now are given up by the timer thread;
// the stop waits this long in all for such owners.
constexpr auto kSlotClaimWait = std::chrono::seconds(5);
constexpr int kExitStopped = 0;
constexpr const char* kStopLabel = "Server stop";

// The open web connections: socket -> busy (a request is being handled).
// Guarded by connectionsLock; `stopping` is set once, under it.
std::mutex connectionsLock;
std::condition_variable connectionsChanged;
std::map<int, bool> connections;
bool stopping = false;

// Ends the reading side of every connection that waits for its next message:
// its thread sees the end at once and gives the connection up.
void EndWaitingConnections() {
  std::lock_guard lock(connectionsLock);
  stopping = true;
  for (const auto& [socket, busy] : connections) {
    if (!busy) platform::ShutdownRead(socket);
  }
}

// True when every connection ended before the deadline.
bool WaitConnectionsEnded(std::chrono::steady_clock::duration limit) {
  std::unique_lock lock(connectionsLock);
  return connectionsChanged.wait_for(lock, limit, [] { return connections.empty(); });
}

void CutRemainingConnections() {
  std::lock_guard lock(connectionsLock);
  LogError(kServerLog, kStopLabel,
           Format("%zu request(s) still in progress after %lld seconds, their connections are cut", connections.size(),
                  static_cast<long long>(kRequestGrace.count())));
  for (const auto& entry : connections) platform::ShutdownBoth(entry.first);
}

// Takes a slot over from nobody, as the web timer does before it gives a slot
// up: waits for the thread that still owns it. False when it stays owned
// past the deadline.
bool ClaimForStop(int varNum, std::chrono::steady_clock::time_point deadline) {
  Slot& slot = SlotAt(varNum);
  std::unique_lock lock(SlotLock());
  if (!SlotReleased().wait_until(lock, deadline, [&] { return slot.webMessageFlag.load() == 0; })) return false;
  slot.webMessageFlag = 1;
  slot.timer.stopped = 1;
  return true;
}

void ReleaseClaim(int varNum) {
  std::lock_guard lock(SlotLock());
  SlotAt(varNum).webMessageFlag = 0;
  SlotReleased().notify_all();
}

// Every slot that holds anything is given up. The number of slots that could
// not be claimed.
int GiveEverySlotUp() {
  int left = 0;
  auto deadline = std::chrono::steady_clock::now() + kSlotClaimWait;
  for (int varNum = 0; varNum < kSlotCount; ++varNum) {
    if (!ClaimForStop(varNum, deadline)) {
      LogError(varNum, kStopLabel, "The slot is still in use and is left as it is");
      ++left;
      continue;
    }
    if (SlotState(varNum) == state::kIdle) {
      ReleaseClaim(varNum);
      continue;
    }
    LogDebug(varNum, Format("Give up the slot of user %s (%s)", SlotAt(varNum).userId.c_str(),
                            SlotStateText(varNum)),
             kStopLabel);
    GiveUpClaimedSlot(varNum);
  }
  return left;
}

// A second stop signal while the first is being served ends the process at once.
void WatchForSecondSignal(platform::StopSignals& signals) {
  platform::StartDetachedThread([&signals] {
    int signal = signals.Wait();
    if (signal < 0) return;
    Console("\n%s received again: COMM ends at once\n", platform::SignalName(signal));
    std::_Exit(128 + signal);
  });
}

}  // namespace

void ConnectionOpened(int socket) {
  std::lock_guard lock(connectionsLock);
  connections[socket] = false;
  // A connection accepted just before the stop: it has no request yet.
  if (stopping) platform::ShutdownRead(socket);
}

void ConnectionClosed(int socket) {
  std::lock_guard lock(connectionsLock);
  connections.erase(socket);
  connectionsChanged.notify_all();
}

void RequestStarted(int socket) {
  std::lock_guard lock(connectionsLock);
  connections[socket] = true;
}

bool RequestFinished(int socket) {
  std::lock_guard lock(connectionsLock);
  connections[socket] = false;
  return !stopping;
}

void StopGracefully(platform::StopSignals& signals, int signal, int listener) {
  const char* name = platform::SignalName(signal);
  Console("\n%s received: stop accepting, let the requests in progress finish, give every slot up", name);
  LogError(kServerLog, kStopLabel, Format("%s received, COMM stops", name));
  platform::NotifyServiceManager("STOPPING=1");
  platform::ShutdownAndClose(listener);
  WatchForSecondSignal(signals);

  EndWaitingConnections();
  if (!WaitConnectionsEnded(kRequestGrace)) {
    CutRemainingConnections();
    WaitConnectionsEnded(kCutConnectionWait);
  }
  int left = GiveEverySlotUp();
  db::CloseUserAndInfoDB(kServerLog);
  LogError(kServerLog, kStopLabel,
           left == 0 ? std::string("Every slot is given up, COMM ended")
                     : Format("COMM ended with %d slot(s) still in use", left));
  std::fflush(stdout);
  // Detached threads (the web timer, connections that were cut) may still
  // run: end without destroying the state they use.
  std::_Exit(kExitStopped);
}

}  // namespace server
