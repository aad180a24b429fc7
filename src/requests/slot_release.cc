#include "requests/slot_release.h"

#include "db/files.h"
#include "db/odbc.h"
#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "platform/socket.h"

namespace requests {
namespace {

int DisconnectSlotDb(int varNum, SlotDbKind kind, const char* what) {
  Slot& slot = SlotAt(varNum);
  if (db::DisconnectDB(slot.db[kind], varNum) != RESULT_OK) {
    LogDBLinkChanged(varNum, "DisconnectDB", Format("Disconnect %s DB error", what));
    return code::kSlotDbDisconnect;
  }
  LogDBLinkChanged(varNum, "DisconnectDB", Format("Disconnect %s DB success", what));
  return RESULT_OK;
}

void CloseSystemLink(int& systemSocket) {
  if (systemSocket >= 0) platform::ShutdownAndClose(systemSocket);
  systemSocket = -1;
}

}  // namespace

int DisconnectSlot(int& systemSocket, int varNum) {
  const std::string& state = SlotState(varNum);
  if (state == state::kOnline) {
    db::CloseWorkDB(varNum);
    CloseSystemLink(systemSocket);
    return RESULT_OK;
  }
  if (state == state::kOffline) return DisconnectSlotDb(varNum, kOfflineDb, "offline");
  if (state == state::kDownload || state == state::kUpload) {
    bool download = state == state::kDownload;
    int result = DisconnectSlotDb(varNum, download ? kDownloadDb : kUploadDb, download ? "download" : "upload");
    if (result != RESULT_OK) return result;
    CloseSystemLink(systemSocket);
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
    return code::kSlotUserReset;
  }
  return RESULT_OK;
}

int ResetLinkAndFlag(int& systemSocket, int varNum) {
  SetSlotInUse(0, varNum);
  if (SlotState(varNum) == state::kIdle) return RESULT_OK;
  int result = DisconnectSlot(systemSocket, varNum);
  if (result != RESULT_OK) return result;
  return ResetSlotAndUser(varNum);
}

}  // namespace requests
