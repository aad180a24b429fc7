#include "requests/dispatch.h"

#include "frame/counters.h"
#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "requests/catalogue.h"
#include "requests/file_requests.h"
#include "requests/request.h"
#include "requests/request_state.h"

namespace requests {
namespace {

int Reply(RequestContext& ctx, int result) {
  if (ctx.replied) return result;
  int sent = web::SendReplyToWeb(ctx.webSocket, ctx.replyId, result, ctx.reply.data(), ctx.msg, ctx.recordLength,
                                 ctx.totalLength, ctx.varNum);
  if (sent != RESULT_OK) return sent;
  if (ctx.afterReply != nullptr) ctx.afterReply(ctx);
  return result;
}

// Whether a request's steps may gather data in the connection's working
// buffer: those that talk to the system or store PGC data.
bool UsesWorkingBuffer(const web::WebMsg& msg) {
  if (msg.type == web::REQ_RESTART) return false;
  if (msg.type != web::REQ_CONTROL) return true;
  const std::uint16_t id = msg.messageId();
  return id == SYSTEM_COMMAND_SET || id == DOWNLOAD_PGC || id == STORE_PGC || id == UPLOAD_PGC;
}

// Runs the steps after a passed check; a request without steps here is not
// served (no reply, connection closed). A working buffer that cannot be had
// fails this request alone, before anything is sent or stored.
int RunSteps(RequestContext& ctx, RequestSteps steps) {
  if (steps == nullptr) return kNotARequest;
  if (UsesWorkingBuffer(ctx.msg) && ctx.work->data() == nullptr) {
    LogError(ctx.varNum, "Memory error", "Can not allocate the working buffer of the connection");
    return Reply(ctx, NO_MEMORY);
  }
  return Reply(ctx, steps(ctx));
}

int HandleControl(RequestContext& ctx) {
  const ControlRequest* request = FindControlRequest(ctx.msg.messageId());
  if (request == nullptr) return kNotARequest;
  ctx.replyId = request->replyId;
  ctx.recordLength = request->recordLength;
  ctx.totalLength = request->totalLength < 0 ? 0 : request->totalLength;
  int result = CheckRequestState(ctx.reply, ctx.recordLength, ctx.msg, ctx.varNum);
  // A logout is carried out whatever its check says.
  bool enforced = request->id != LOGOUT;
  if (result != RESULT_OK && (enforced || ctx.reply.empty())) {
    if (ctx.reply.empty()) ctx.totalLength = 0;
    if (request->id == FILE_CLOSE) GiveUpRefusedClose(ctx);
    return Reply(ctx, result);
  }
  return RunSteps(ctx, request->steps);
}

// The refusal of a PGC-family request in a state that has no place for it:
// reply id 0 with the request's message id and 58 bytes 0xFF.
int RefusePgc(RequestContext& ctx, int code, const char* suffix) {
  LogError(ctx.varNum, "COMM state error",
           Format("COMM is in %s state, please open$create a offline file or connect to system first%s",
                  SlotStateText(ctx.varNum), suffix));
  ctx.reply.assign(kPgcAnswerSize + 1, 0);
  FillPgcAnswer(ctx.reply.data(), ctx.msg);
  return Reply(ctx, code);
}

int HandlePgcFamily(RequestContext& ctx) {
  const state::Id current = SlotState(ctx.varNum);
  const std::uint8_t type = ctx.msg.type;
  const bool linked = type == web::REQ_PGC
                          ? current == state::kOnline || current == state::kDownload || current == state::kUpload
                          : current == state::kOnline;
  ctx.replyId = 0;
  ctx.recordLength = kPgcAnswerSize;
  ctx.totalLength = kPgcAnswerSize;
  if (current == state::kOffline || linked) {
    std::uint8_t mode = ctx.msg.mode();
    if (mode != web::kModeRead && mode != web::kModeWrite) return kNotARequest;
    int result = CheckRequestState(ctx.reply, ctx.recordLength, ctx.msg, ctx.varNum);
    if (result != RESULT_OK) return Reply(ctx, result);
    PgcPlace place = current == state::kOffline ? PgcPlace::kOffline : PgcPlace::kLinked;
    return RunSteps(ctx, PgcSteps(type, place, mode, ctx.msg.messageId()));
  }
  const bool idle = current == state::kIdle;
  switch (type) {
    case web::REQ_PGC: return idle ? RefusePgc(ctx, STATE_IDLE, "111.") : RefusePgc(ctx, STATE_WRONG, "222.");
    case web::REQ_TABLE_DOWNLOAD:
      return RefusePgc(ctx, idle ? STATE_IDLE : STATE_WRONG, idle ? "333." : "444.");
    default: return RefusePgc(ctx, idle ? STATE_IDLE : STATE_WRONG, idle ? "555." : "666.");
  }
}

int HandleRestart(RequestContext& ctx) {
  ctx.replyId = 0;
  ctx.recordLength = kPgcAnswerSize;
  ctx.totalLength = kPgcAnswerSize;
  int result = CheckRequestState(ctx.reply, ctx.recordLength, ctx.msg, ctx.varNum);
  if (result != RESULT_OK) return Reply(ctx, result);
  return RunSteps(ctx, RestartSteps());
}

int Dispatch(RequestContext& ctx) {
  switch (ctx.msg.type) {
    case web::REQ_CONTROL: return HandleControl(ctx);
    case web::REQ_PGC:
    case web::REQ_TABLE_DOWNLOAD:
    case web::REQ_TABLE_UPLOAD: return HandlePgcFamily(ctx);
    case web::REQ_RESTART: return HandleRestart(ctx);
    default: return kNotARequest;
  }
}

int CounterKind(const web::WebMsg& msg) {
  switch (msg.type) {
    case web::REQ_CONTROL: {
      std::uint16_t id = msg.messageId();
      bool known = FindControlRequest(id) != nullptr && id < counters::kControlKinds;
      return known ? static_cast<int>(id) : static_cast<int>(counters::kKindOther);
    }
    case web::REQ_PGC: return counters::kKindPgc;
    case web::REQ_TABLE_DOWNLOAD: return counters::kKindTableDownload;
    case web::REQ_TABLE_UPLOAD: return counters::kKindTableUpload;
    case web::REQ_RESTART: return counters::kKindRestart;
    default: return counters::kKindOther;
  }
}

}  // namespace

int HandleWebRequest(const std::uint8_t* raw, int webSocket, int& systemSocket, WorkingBuffer& work, int& workCounter,
                     int varNum) {
  RequestContext ctx;
  web::ParseWebMessage(ctx.msg, raw);
  ctx.webSocket = webSocket;
  ctx.systemSocket = &systemSocket;
  ctx.work = &work;
  ctx.workCounter = &workCounter;
  ctx.varNum = varNum;
  int result = Dispatch(ctx);
  counters::CountRequest(CounterKind(ctx.msg), result);
  return result;
}

}  // namespace requests
