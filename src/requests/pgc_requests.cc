#include "requests/pgc_requests.h"

#include "frame/log.h"
#include "frame/result_codes.h"
#include "pgc/read.h"
#include "pgc/store.h"
#include "requests/file_requests.h"

namespace requests {
namespace {

void ReloadTimeout(RequestContext& ctx) { ReloadPgc501Timeout(ctx.msg.messageId(), ctx.varNum); }

int Store(RequestContext& ctx) {
  return pgc::StoreWebData(ctx.msg, *ctx.work, *ctx.workCounter, ctx.msg.messageId(), ctx.varNum);
}

// A failure answers with reply id 0, the code and the 60 prepared bytes.
int ErrorReply(RequestContext& ctx, int result) {
  ctx.replyId = 0;
  ctx.recordLength = kPgcAnswerSize;
  ctx.totalLength = kPgcAnswerSize;
  return result;
}

// A read answers with the request's message id and the rows read.
int Read(RequestContext& ctx) {
  std::vector<std::uint8_t> rows;
  int rowLength = 0, byteCount = 0;
  int result = pgc::ReadPGCData(ctx.msg, ctx.msg.messageId(), rows, rowLength, byteCount, ctx.varNum);
  if (result != RESULT_OK) return ErrorReply(ctx, result);
  ctx.reply = std::move(rows);
  ctx.replyId = ctx.msg.messageId();
  ctx.recordLength = rowLength;
  ctx.totalLength = byteCount;
  return RESULT_OK;
}

}  // namespace

void ReloadPgc501Timeout(std::uint16_t messageId, int varNum) {
  if (messageId == kPgc501Id && LoadPGC501Timeout(varNum) != RESULT_OK) {
    LogError(varNum, "DB error", "can not get time out from PGC501 table");
  }
}

int PgcStoreSteps(RequestContext& ctx) {
  ctx.afterReply = ReloadTimeout;
  int result = Store(ctx);
  if (result != RESULT_OK) return ErrorReply(ctx, result);
  ctx.replyId = ctx.msg.messageId();
  ctx.recordLength = 0;
  ctx.totalLength = 0;
  return RESULT_OK;
}

int PgcReadSteps(RequestContext& ctx) {
  // The keep-alive message is answered without reading anything.
  if (ctx.msg.messageId() == kKeepAliveId) return RESULT_OK;
  return Read(ctx);
}

int TableStoreSteps(RequestContext& ctx) { return Store(ctx); }

int TableReadSteps(RequestContext& ctx) { return Read(ctx); }

int StorePgcSteps(RequestContext& ctx) { return Store(ctx); }

}  // namespace requests
