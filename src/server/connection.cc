#include "server/connection.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "frame/text.h"
#include "platform/socket.h"
#include "requests/dispatch.h"
#include "requests/request.h"
#include "requests/slot_release.h"
#include "server/shutdown.h"
#include "server/web_timer.h"
#include "web/web_timer.h"
#include "web/web_message.h"

namespace server {
namespace {

constexpr auto kUserBusyWait = std::chrono::milliseconds(2000);
constexpr int kNoSlot = -1;
constexpr int kUserBusy = -2;
constexpr int kCloseDrainMs = 2000;

void ProcessedLine(int varNum) { Console("\n~~~~~~~~~  %d...one message is processed  ~~~~~~~~~~~\n\n", varNum); }

// Finds the user's slot or allocates the lowest free one, and makes this
// thread its owner. kUserBusy when another connection of the user still
// holds it after the wait, kNoSlot when all slots are taken.
int ClaimSlot(const std::string& userId) {
  for (int look = 0; look < 2; ++look) {
    std::unique_lock lock(SlotLock());
    int varNum = FindSlotByUserLocked(userId);
    if (varNum >= 0) {
      Slot& slot = SlotAt(varNum);
      if (slot.webMessageFlag.load() != 0) {
        lock.unlock();
        if (WaitUserNotBusy(varNum) != 0) return kUserBusy;
        continue;  // freed meanwhile: look the user up again
      }
      web::StopWebDisconnectTimer(varNum);
      slot.inUse = 1;
      slot.webMessageFlag = 1;
      return varNum;
    }
    varNum = FindFreeSlotLocked();
    if (varNum < 0) return kNoSlot;
    Slot& slot = SlotAt(varNum);
    slot.inUse = 1;
    slot.indexEntry = std::to_string(varNum) + "$" + userId;
    slot.webMessageFlag = 1;
    return varNum;
  }
  return kUserBusy;
}

// The end of a connection: a slot that holds nothing is freed at once; any
// other keeps its resources and its web disconnect timer starts.
void ReleaseSlot(int varNum) {
  std::lock_guard lock(SlotLock());
  Slot& slot = SlotAt(varNum);
  if (slot.state != state::kIdle) {
    slot.webMessageFlag = 0;
    web::StartWebDisconnectTimer(varNum);
    Console("\n%d...end of handle web msg...", varNum);
  } else {
    FreeSlotLocked(varNum);
  }
  SlotReleased().notify_all();
}

void AnswerThread(int varNum, platform::Socket& socket, web::RawMessage& message, std::uint16_t sequence) {
  Slot& slot = SlotAt(varNum);
  WorkingBuffer work;
  int workCounter = 0;
  for (;;) {
    Console("\n%d...begin to handle web msg...", varNum);
    bool final = web::IsFinalFlag(message[web::kFinalSeq]) == 1;
    requests::ReleaseIfTakenOver(varNum);
    int result = requests::HandleWebRequest(message.data(), socket.fd(), slot.systemSocket, work, workCounter,
                                            varNum);
    if (result != RESULT_OK || final) break;
    if (!RequestFinished(socket.fd())) break;  // stopping: no further message is taken
    result = web::ReceiveWebMessage(socket.fd(), message, sequence, false, varNum);
    if (result != RESULT_OK) {
      requests::ResetLinkAndFlag(slot.systemSocket, varNum);
      break;
    }
    RequestStarted(socket.fd());
  }
  requests::ReleaseIfTakenOver(varNum);
  ReleaseSlot(varNum);
}

}  // namespace

int WaitUserNotBusy(int varNum) {
  Slot& slot = SlotAt(varNum);
  std::unique_lock lock(SlotLock());
  if (SlotReleased().wait_for(lock, kUserBusyWait, [&] { return slot.webMessageFlag.load() == 0; })) return 0;
  lock.unlock();
  ShowAllFlags();
  ReportSocketError(varNum, errno);
  LogError(varNum, "User busy", "Wait for current user processing time out");
  return 1;
}

void ServeConnection(int fd) {
  platform::Socket socket(fd);
  // The accepted socket lingers 0 seconds, so a plain close would reset the
  // connection and drop reply pieces the peer has not read yet.
  struct GracefulClose {
    platform::Socket& socket;
    ~GracefulClose() { socket.CloseGracefully(kCloseDrainMs); }
  } closeAtEnd{socket};
  // Known to the graceful stop from here until just before the close.
  struct Registered {
    int fd;
    ~Registered() { ConnectionClosed(fd); }
  } registered{socket.fd()};
  ConnectionOpened(socket.fd());
  web::RawMessage message{};
  std::uint16_t sequence = 0;
  Console("\nreceiving the first packet... ... ... ...");
  if (web::ReceiveWebMessage(socket.fd(), message, sequence, true, kServerLog) != RESULT_OK) {
    ProcessedLine(kServerLog);
    return;
  }
  RequestStarted(socket.fd());
  std::string userId = FieldText(message.data() + web::kUserId, web::kUserIdSize);
  if (userId.empty()) {
    // No slot for it: a slot's user is how it is found again, and an empty
    // id is never found.
    LogError(kServerLog, "User error", "Message without user id, no slot is given to it");
    ProcessedLine(kServerLog);
    return;
  }
  int varNum = ClaimSlot(userId);
  if (varNum == kUserBusy) {
    int busy = FindSlotByUser(userId);
    int logNumber = busy >= 0 ? busy : kServerLog;
    LogDebug(logNumber, "The user's previous message is processing now, try again later");
    web::SendBusyReply(socket.fd(), message.data(), logNumber);
    ProcessedLine(logNumber);
    return;
  }
  if (varNum == kNoSlot) {
    Console("\nThread number is Max, try again later");
    ProcessedLine(kServerLog);
    return;
  }
  LogDebug(varNum, Format("create a new thread, messageID=%X %X", message[web::kMessageId], message[web::kMessageId + 1]));
  Console("\nCreate AnswerThread  OK.");
  ProcessedLine(varNum);
  AnswerThread(varNum, socket, message, sequence);
}

}  // namespace server
