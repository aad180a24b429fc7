#include "requests/connect_requests.h"

#include "db/files.h"
#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "platform/socket.h"
#include "requests/login_requests.h"
#include "requests/request_state.h"
#include "system/tcp_link.h"

namespace requests {
namespace {

// A connect that failed after the link was made gives the link up again,
// the socket or the modem port: a link left open behind the slot would hold
// the system until COMM ends.
void DropLink(RequestContext& ctx) {
  RollBackDataBase(0, ctx.msg, ctx.varNum);
  systemlink::DisconnectFromSystem(*ctx.systemSocket, ctx.varNum);
  SlotAt(ctx.varNum).serialLineFlag = 0;
}

}  // namespace

int ConnectSteps(RequestContext& ctx) {
  int result = CheckUserNotConnected(ctx.msg, ctx.varNum);
  if (result != RESULT_OK) return result;
  Slot& slot = SlotAt(ctx.varNum);
  slot.savedState = slot.state;
  SetState(ctx.varNum, state::kOnline);

  std::uint16_t id = ctx.msg.messageId();
  result = systemlink::ConnectToSystem(*ctx.systemSocket, ctx.msg, id, ctx.varNum);
  if (result != RESULT_OK) {
    // A socket left behind by the failed connect is closed here.
    if (*ctx.systemSocket >= 0) platform::ShutdownAndClose(*ctx.systemSocket);
    *ctx.systemSocket = -1;
    RestoreState(ctx.varNum);
    return result;
  }
  // A modem link speaks the serial line from here on, however it was made,
  // so that every later exchange and every way of giving it up uses the port.
  if (ctx.msg.data[systemlink::kLinkTypeAt] == systemlink::kLinkModem) slot.serialLineFlag = 1;
  result = RecordUserRequest(ctx.msg, id, ctx.reply.data(), ctx.varNum);
  if (result != RESULT_OK) {
    DropLink(ctx);
    RestoreState(ctx.varNum);
    return result;
  }
  std::string workDb = WorkDatabaseName(ctx.varNum);
  result = db::CreateOnlineFile(workDb, ctx.varNum);
  if (result != RESULT_OK) {
    DropLink(ctx);
    RestoreState(ctx.varNum);
    return result;
  }
  result = db::OpenWorkDB(workDb, ctx.varNum);
  if (result != RESULT_OK) {
    DropLink(ctx);
    db::CloseWorkDB(ctx.varNum);  // the file and data source just created
  }
  ShowAllFlags();
  slot.userId = ctx.msg.user();
  if (result != RESULT_OK) RestoreState(ctx.varNum);
  return result;
}

void CloseLinkedSlot(RequestContext& ctx) {
  Slot& slot = SlotAt(ctx.varNum);
  systemlink::DisconnectFromSystem(*ctx.systemSocket, ctx.varNum);
  db::CloseWorkDB(ctx.varNum);
  if (slot.state == state::kDownload) db::CloseDbFile(slot.db[kDownloadDb].dsn, ALL_DOWNLOAD_END, ctx.varNum);
  if (slot.state == state::kUpload) db::CloseDbFile(slot.db[kUploadDb].dsn, ALL_UPLOAD_END, ctx.varNum);
}

int DisconnectSteps(RequestContext& ctx) {
  // A disconnect always succeeds towards the web; its step failures are in the log.
  CloseLinkedSlot(ctx);
  // The user's connection mark must go with the link: left behind, it would
  // refuse every later connect of the user as "not idle". When the full
  // record cannot be written, the mark alone is cleared.
  if (RecordUserRequest(ctx.msg, ctx.msg.messageId(), ctx.reply.data(), ctx.varNum) != RESULT_OK) {
    RollBackDataBase(0, ctx.msg, ctx.varNum);
  }
  SetState(ctx.varNum, state::kIdle);
  SlotAt(ctx.varNum).serialLineFlag = 0;
  return RESULT_OK;
}

}  // namespace requests
