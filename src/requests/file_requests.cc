#include "requests/file_requests.h"

#include "db/files.h"
#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "pgc/read.h"
#include "requests/login_requests.h"
#include "requests/request_state.h"

namespace requests {
namespace {

constexpr int kNoTimeout = -3;

// The slot's work on a file it just opened: its time-out from the file's
// PGC501, and the user who works on it.
void AfterOpen(RequestContext& ctx) {
  if (LoadPGC501Timeout(ctx.varNum) != RESULT_OK) {
    LogError(ctx.varNum, "DB error", "can not get time out from PGC501 table");
  }
  SlotAt(ctx.varNum).userId = ctx.msg.user();
}

void AfterClose(RequestContext& ctx) { SetState(ctx.varNum, state::kIdle); }

// Create (with `create`) or open an offline file and make the slot "offline".
int OpenOffline(RequestContext& ctx, bool create) {
  int result = CheckUserNotConnected(ctx.msg, ctx.varNum);
  if (result != RESULT_OK) return result;
  Slot& slot = SlotAt(ctx.varNum);
  std::string name = RequestFileName(ctx.msg);
  slot.savedState = slot.state;
  SetState(ctx.varNum, state::kOffline);
  result = RecordUserRequest(ctx.msg, ctx.msg.messageId(), ctx.reply.data(), ctx.varNum);
  if (result != RESULT_OK) {
    RestoreState(ctx.varNum);
    return result;
  }
  if (create) {
    result = db::CreateOfflineFile(name, ctx.varNum);
    if (result != RESULT_OK) {
      RollBackDataBase(0, ctx.msg, ctx.varNum);
      RestoreState(ctx.varNum);
      return result;
    }
  }
  result = db::OpenUserDbFile(name, ctx.msg.messageId(), ctx.varNum);
  if (result != RESULT_OK) {
    RollBackDataBase(0, ctx.msg, ctx.varNum);
    RestoreState(ctx.varNum);
  }
  ctx.afterReply = AfterOpen;
  return result;
}

}  // namespace

int WebTimeoutFromMinutes(int minutes) { return minutes * 60 * 1000 - minutes * 5000; }

int LoadPGC501Timeout(int varNum) {
  int minutes = 0;
  int result = pgc::GetPGCValue(minutes, "", 52, "PGC501", varNum);
  if (result == DB_EXECUTE_NO_RESULT) {
    LogError(varNum, "DB error", "no match time out value found");
    return kNoTimeout;
  }
  if (result != RESULT_OK) {
    LogError(varNum, "DB error", "an error occurred when get time out value");
    return kNoTimeout;
  }
  SlotAt(varNum).webDisconnectTimeoutMs = WebTimeoutFromMinutes(minutes);
  LogDebug(varNum, Format("\nthe time out value is changed to %d minutes", minutes));
  return RESULT_OK;
}

int FileListSteps(RequestContext& ctx) {
  int length = 0;
  int result = db::ListOfflineFiles(ctx.reply, length, ctx.varNum);
  ctx.totalLength = length;
  return result;
}

int FileUserListSteps(RequestContext& ctx) {
  int length = 0;
  int result = db::ListExcelFiles(ctx.reply, length, ctx.varNum);
  ctx.totalLength = length;
  return result;
}

int FileDeleteSteps(RequestContext& ctx) { return db::DeleteDBFiles(ctx.msg, ctx.varNum); }

int FileCreateSteps(RequestContext& ctx) { return OpenOffline(ctx, true); }
int FileOpenSteps(RequestContext& ctx) { return OpenOffline(ctx, false); }

int FileCloseSteps(RequestContext& ctx) {
  int result = RecordUserRequest(ctx.msg, ctx.msg.messageId(), ctx.reply.data(), ctx.varNum);
  if (result != RESULT_OK) return result;
  result = db::CloseDbFile(ctx.msg, ctx.varNum);
  if (result != RESULT_OK) RollBackDataBase(2, ctx.msg, ctx.varNum);
  // The slot leaves the file even when closing it failed: the user table
  // keeps the mark, so the file stays refused to others.
  ctx.afterReply = AfterClose;
  return result;
}

void GiveUpRefusedClose(RequestContext& ctx) {
  // The web front end has let the file go, whatever was wrong with the
  // request: a file left open behind the slot would stay refused to every
  // other user until the web timer gave the slot up.
  if (SlotState(ctx.varNum) != state::kOffline) return;
  LogoutSlot(SlotAt(ctx.varNum).userId, *ctx.systemSocket, ctx.varNum);
}

}  // namespace requests
