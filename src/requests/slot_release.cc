#include "requests/slot_release.h"

#include "db/files.h"
#include "db/odbc.h"
#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "system/tcp_link.h"

namespace requests {
namespace {

int DisconnectSlotDb(int varNum, SlotDbKind kind, const char* what) {
  Slot& slot = SlotAt(varNum);
  if (db::DisconnectDB(slot.db[kind], varNum) != RESULT_OK) {
    LogDBLinkChanged(varNum, "DisconnectDB", Format("Disconnect %s DB error", what));
    return SLOT_DB_DISCONNECT_ERROR;
  }
  LogDBLinkChanged(varNum, "DisconnectDB", Format("Disconnect %s DB success", what));
  return RESULT_OK;
}


}  // namespace

// The system link goes with the slot: with the link-control packet, or
// without a word when the system has already moved on to another client.
int EndLink(int& systemSocket, int varNum, LinkEnd end) {
  if (end == LinkEnd::kQuiet) return systemlink::CloseLinkQuietly(systemSocket, varNum);
  return systemlink::DisconnectFromSystem(systemSocket, varNum);
}

int DisconnectSlot(int& systemSocket, int varNum, LinkEnd end) {
  const state::Id current = SlotState(varNum);
  if (current == state::kOnline) {
    db::CloseWorkDB(varNum);
    EndLink(systemSocket, varNum, end);
    return RESULT_OK;
  }
  if (current == state::kOffline) return DisconnectSlotDb(varNum, kOfflineDb, "offline");
  if (current == state::kDownload || current == state::kUpload) {
    bool download = current == state::kDownload;
    int result = DisconnectSlotDb(varNum, download ? kDownloadDb : kUploadDb, download ? "download" : "upload");
    // A transfer keeps the work database of "online" open; it goes with the
    // link, also when the transfer file would not close: a link left open
    // behind the slot would hold the system.
    db::CloseWorkDB(varNum);
    EndLink(systemSocket, varNum, end);
    return result;
  }
  return RESULT_OK;
}

int ResetSlotAndUser(int varNum) {
  if (SlotState(varNum) == state::kIdle) return RESULT_OK;
  int result = ResetSlotToIdle(varNum);
  if (result != RESULT_OK) return result;
  if (db::ResetConnectState(SlotAt(varNum).userId, varNum) != RESULT_OK) {
    LogError(varNum, "Index array error", "Set IDLE state to state index array error");
    return SLOT_USER_RESET_ERROR;
  }
  return RESULT_OK;
}

int ReleaseTakenOverSlot(int oldVarNum, int /*varNum*/) {
  Slot& slot = SlotAt(oldVarNum);
  {
    std::lock_guard lock(SlotLock());
    if (slot.webMessageFlag.load() != 0) {
      // Its databases belong to the thread serving it, which gives the
      // link up itself before it handles anything more.
      slot.linkTakenOver = 1;
      return RESULT_OK;
    }
    slot.webMessageFlag = 1;  // nobody serves it: keep the web timer off it meanwhile
  }
  int result = ResetLinkAndFlag(slot.systemSocket, oldVarNum, LinkEnd::kQuiet);
  std::lock_guard lock(SlotLock());
  if (slot.state == state::kIdle) FreeSlotLocked(oldVarNum);
  slot.webMessageFlag = 0;
  SlotReleased().notify_all();
  return result;
}

int ReleaseIfTakenOver(int varNum) {
  Slot& slot = SlotAt(varNum);
  if (slot.linkTakenOver.exchange(0) == 0) return RESULT_OK;
  LogDebug(varNum, "The system was taken over by another user, reset link and state");
  return ResetLinkAndFlag(slot.systemSocket, varNum, LinkEnd::kQuiet);
}

int ResetLinkAndFlag(int& systemSocket, int varNum, LinkEnd end) {
  SetSlotInUse(0, varNum);
  if (SlotState(varNum) == state::kIdle) return RESULT_OK;
  // The slot is given up even when a database would not close: what did
  // close is gone, and a slot left in its state would point at it.
  int result = DisconnectSlot(systemSocket, varNum, end);
  int reset = ResetSlotAndUser(varNum);
  return result != RESULT_OK ? result : reset;
}

}  // namespace requests
