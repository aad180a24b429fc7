#include "requests/transfer_requests.h"

#include "db/files.h"
#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "pgc/read.h"
#include "requests/file_requests.h"
#include "requests/link_requests.h"
#include "requests/request_state.h"
#include "setup/databases.h"
#include "system/transfer.h"

namespace requests {
namespace {

// ALL_DOWNLOAD_START data: the file name (30 bytes), then the creation mode.
constexpr std::size_t kCreationModeByte = 30;
enum CreationMode : std::uint8_t { kCreateFile = 0, kReuseFile = 1 };

// The PGC message a DOWNLOAD_PGC or UPLOAD_PGC names in data bytes 0-1; the
// request's own message id is the control number.
std::uint16_t PgcMessageId(const RequestContext& ctx) { return web::Get16(ctx.msg.data); }

// Moves the slot to `target` after saving the state it leaves.
void EnterState(int varNum, state::Id target) {
  Slot& slot = SlotAt(varNum);
  slot.savedState = slot.state;
  SetState(varNum, target);
}

// ALL_DOWNLOAD_END and ALL_UPLOAD_END: back to "online", the file's
// connection closed. A close that fails keeps the transfer state and the
// connection, so that the end can be asked for again.
int EndTransfer(RequestContext& ctx, SlotDbKind kind, int operation) {
  EnterState(ctx.varNum, state::kOnline);
  int result = db::CloseDbFile(SlotAt(ctx.varNum).db[kind].dsn, operation, ctx.varNum);
  if (result != RESULT_OK) RestoreState(ctx.varNum);
  return result;
}

}  // namespace

int DownloadStartSteps(RequestContext& ctx) {
  const std::string name = DownloadFileName(ctx.msg);
  const std::uint8_t mode = ctx.msg.data[kCreationModeByte];
  EnterState(ctx.varNum, state::kDownload);
  int result = RESULT_OK;
  switch (mode) {
    case kCreateFile:
      result = db::CreateOfflineFile(name, ctx.varNum);
      if (result == RESULT_OK) result = db::OpenUserDbFile(name, ALL_DOWNLOAD_START, setup::MissingTables, ctx.varNum);
      ctx.replyId = ALL_DOWNLOAD_START_REPLY;
      break;
    case kReuseFile:
      // The user's connection mark is left alone on failure: the slot stays
      // linked, and the mark is how a takeover finds the user on the link.
      result = db::OpenUserDbFile(name, ALL_DOWNLOAD_START, setup::MissingTables, ctx.varNum);
      ctx.replyId = 0;
      break;
    default:
      LogError(ctx.varNum, "Message format error", "Message received from web is error");
      result = FORMAT_ERROR;
      ctx.replyId = 0;
      break;
  }
  if (result != RESULT_OK) RestoreState(ctx.varNum);
  return result;
}

int DownloadPgcSteps(RequestContext& ctx) {
  // The request itself carries no body to the system: one zero byte, a
  // header-only packet.
  static constexpr std::uint8_t kEmptyBody[1] = {0};
  sxm::Packet packet{};
  return systemlink::ReadTableFromSystem(ctx.webSocket, *ctx.systemSocket, PgcMessageId(ctx), ctx.msg, packet,
                                         kEmptyBody, false, 0, sxm::kHeaderSize, WorkingGathering(ctx), ctx.varNum);
}

int DownloadEndSteps(RequestContext& ctx) { return EndTransfer(ctx, kDownloadDb, ALL_DOWNLOAD_END); }

int UploadStartSteps(RequestContext& ctx) {
  EnterState(ctx.varNum, state::kUpload);
  int result = db::OpenUserDbFile(RequestFileName(ctx.msg), ALL_UPLOAD_START, setup::MissingTables, ctx.varNum);
  if (result != RESULT_OK) RestoreState(ctx.varNum);
  return result;
}

int UploadPgcSteps(RequestContext& ctx) {
  const std::uint16_t messageId = PgcMessageId(ctx);
  std::vector<std::uint8_t> rows;
  int rowLength = 0, byteCount = 0;
  int result = pgc::ReadPGCData(ctx.msg, messageId, rows, rowLength, byteCount, ctx.varNum);
  if (result != RESULT_OK) return result;
  // An empty table is not sent: the system keeps what it has.
  if (byteCount > 0) {
    result = systemlink::SendTableToSystem(*ctx.systemSocket, messageId, ctx.msg, rows.data(), rowLength, byteCount,
                                           ctx.varNum);
    if (result != RESULT_OK) return result;
  }
  if (messageId == kPgc501Id && LoadPGC501Timeout(ctx.varNum) != RESULT_OK) {
    LogError(ctx.varNum, "DB error", "can not get time out from PGC501 table");
  }
  return RESULT_OK;
}

int UploadEndSteps(RequestContext& ctx) { return EndTransfer(ctx, kUploadDb, ALL_UPLOAD_END); }

}  // namespace requests
