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

int DisconnectSlot(int& systemSocket, int varNum) {
  const state::Id current = SlotState(varNum);
  if (current == state::kOnline) {
    db::CloseWorkDB(varNum);
    systemlink::DisconnectFromSystem(systemSocket, varNum);
    return RESULT_OK;
  }
  if (current == state::kOffline) return DisconnectSlotDb(varNum, kOfflineDb, "offline");
  if (current == state::kDownload || current == state::kUpload) {
    bool download = current == state::kDownload;
    int result = DisconnectSlotDb(varNum, download ? kDownloadDb : kUploadDb, download ? "download" : "upload");
    if (result != RESULT_OK) return result;
    // A transfer keeps the work database of "online" open; it goes with the link.
    db::CloseWorkDB(varNum);
    systemlink::DisconnectFromSystem(systemSocket, varNum);
    return RESULT_OK;
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
  int result = ResetLinkAndFlag(slot.systemSocket, oldVarNum);
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
  return ResetLinkAndFlag(slot.systemSocket, varNum);
}

int ResetLinkAndFlag(int& systemSocket, int varNum) {
  SetSlotInUse(0, varNum);
  if (SlotState(varNum) == state::kIdle) return RESULT_OK;
  int result = DisconnectSlot(systemSocket, varNum);
  if (result != RESULT_OK) return result;
  return ResetSlotAndUser(varNum);
}

}  // namespace requests
