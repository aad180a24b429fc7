#include "requests/link_requests.h"

#include <vector>

#include "db/files.h"
#include "db/odbc.h"
#include "frame/counters.h"
#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "pgc/read.h"
#include "pgc/store.h"
#include "requests/connect_requests.h"
#include "requests/file_requests.h"
#include "requests/pgc_requests.h"
#include "requests/slot_release.h"
#include "system/tcp_link.h"
#include "system/transfer.h"

namespace requests {
namespace {

// The tables a freshly linked slot loads from the system, in this order.
constexpr std::uint16_t kSystemCommandSet[] = {0x8060, 0x7240, 0x8240, 0x2171, 0x8020};

// A request COMM builds itself: one zero byte that the header-only packet
// does not carry.
constexpr std::uint8_t kEmptyBody[1] = {0};
constexpr std::uint16_t kEmptyRequestLength = sxm::kHeaderSize;

// The link check asks for PGC20000 with a body of two bytes, read as one
// two-byte record.
constexpr std::uint8_t kLinkCheckBody[2] = {0x00, 0xFF};
constexpr std::uint8_t kLinkCheckRecordLength = sizeof kLinkCheckBody;
constexpr std::uint16_t kLinkCheckLength = sxm::kHeaderSize + sizeof kLinkCheckBody;

// Body byte of the link check's answer that holds the web disconnect
// time-out in minutes.
constexpr int kTimeoutByte = 8;

// A link check that failed gives the whole link up: the system link, the
// work database, a transfer file (whose record the next transfer on this slot
// would otherwise find in use), the slot and the user's mark. The steps' own
// failures are in the log; the slot ends "idle" whatever they return.
void GiveUpLink(RequestContext& ctx) {
  Slot& slot = SlotAt(ctx.varNum);
  counters::CountSystemLinkFailure();
  CloseLinkedSlot(ctx);
  ResetSlotToIdle(ctx.varNum);
  db::ResetConnectState(slot.userId, ctx.varNum);
  SetState(ctx.varNum, state::kIdle);
  slot.serialLineFlag = 0;
}

}  // namespace

systemlink::Gathering WorkingGathering(RequestContext& ctx) {
  return {ctx.work->data(), WorkingBuffer::size(), ctx.workCounter};
}

int SystemCommandSetSteps(RequestContext& ctx) {
  sxm::Packet packet{};
  for (std::uint16_t id : kSystemCommandSet) {
    int result = systemlink::RequestFromSystem(ctx.webSocket, *ctx.systemSocket, id, ctx.msg, packet, kEmptyBody,
                                               false, 0, kEmptyRequestLength, WorkingGathering(ctx), ctx.varNum);
    // A system that answered but did not succeed says why in the result byte.
    if (result == RESULT_OK && packet[sxm::kResult] != sxm::kResultRequest) result = packet[sxm::kResult];
    if (result != RESULT_OK) return result;
  }
  return RESULT_OK;
}

int LinkCheckSteps(RequestContext& ctx) {
  sxm::Packet packet{};
  int result = systemlink::RequestFromSystem(ctx.webSocket, *ctx.systemSocket, kLinkCheckId, ctx.msg, packet,
                                             kLinkCheckBody, true, kLinkCheckRecordLength, kLinkCheckLength,
                                             WorkingGathering(ctx), ctx.varNum);
  if (result == RESULT_OK) {
    // The system's answer has gone to the web already.
    ctx.replied = true;
    if (ReadLinkTimeout(packet, ctx.varNum) != RESULT_OK)
      LogError(ctx.varNum, "DB error", "can not get time out from PGC20000 table");
    return RESULT_OK;
  }
  GiveUpLink(ctx);
  // After a special error the web has the system's packets and nothing more.
  if (result == SPECIAL_SYSTEM_ERROR) ctx.replied = true;
  return result;
}

int RestartSystemSteps(RequestContext& ctx) {
  sxm::Packet packet{};
  bool sent = false;
  int result = systemlink::RestartSystem(*ctx.systemSocket, ctx.msg.messageId(), ctx.msg, packet, sent, ctx.varNum);
  if (!sent) return result;
  // The system drops the link as it restarts, whether or not the packet
  // could be stored.
  Console("\nreceive system restart message, reset link and state");
  int reset = ResetLinkAndFlag(*ctx.systemSocket, ctx.varNum);
  if (reset != RESULT_OK) {
    LogError(ctx.varNum, "DB error", "\nSet IDLE state to userinfo table error\n");
    if (result == RESULT_OK) result = reset;
  }
  return result;
}

int OnlinePgcWriteSteps(RequestContext& ctx) {
  sxm::Packet packet{};
  const std::uint16_t id = ctx.msg.messageId();
  int result = systemlink::WriteToSystem(ctx.webSocket, *ctx.systemSocket, id, ctx.msg, packet,
                                         WorkingGathering(ctx), ctx.varNum);
  if (result != RESULT_OK) return result;
  ctx.replied = true;
  ReloadPgc501Timeout(id, ctx.varNum);
  return RESULT_OK;
}

int OnlinePgcReadSteps(RequestContext& ctx) {
  sxm::Packet packet{};
  const std::uint16_t id = ctx.msg.messageId();
  int result = systemlink::ReadFromSystem(ctx.webSocket, *ctx.systemSocket, id, ctx.msg, packet,
                                          WorkingGathering(ctx), ctx.varNum);
  if (result != RESULT_OK) return result;
  // The keep-alive's answer is not relayed, so it is answered from here.
  if (id != kKeepAliveId) ctx.replied = true;
  return RESULT_OK;
}

int OnlineTableReadSteps(RequestContext& ctx) {
  sxm::Packet packet{};
  return systemlink::ReadTableFromSystem(ctx.webSocket, *ctx.systemSocket, ctx.msg.messageId(), ctx.msg, packet,
                                         kEmptyBody, false, 0, kEmptyRequestLength, WorkingGathering(ctx),
                                         ctx.varNum);
}

int OnlineTableUploadSteps(RequestContext& ctx) {
  const std::uint16_t id = ctx.msg.messageId();
  int result = TableStoreSteps(ctx);
  if (result != RESULT_OK || web::IsFinalFlag(ctx.msg.finalSeqHigh()) != 1) return result;
  // The table goes to the system whole, as the work database now holds it.
  std::vector<std::uint8_t> rows;
  int rowLength = 0;
  int byteCount = 0;
  result = pgc::ReadPGCData(ctx.msg, id, rows, rowLength, byteCount, ctx.varNum);
  if (result != RESULT_OK) return result;
  return systemlink::SendTableToSystem(*ctx.systemSocket, id, ctx.msg, rows.data(), rowLength, byteCount, ctx.varNum);
}

int ReadLinkTimeout(const sxm::Packet& answer, int varNum) {
  const int length = sxm::LengthOf(answer.data());
  const int bodyLength = length - static_cast<int>(sxm::kHeaderSize);
  // Byte 8 needs a body of nine bytes; a length the packet cannot hold is no answer at all.
  if (bodyLength <= kTimeoutByte || length > static_cast<int>(sxm::kMaxPacket)) {
    LogError(varNum, "DB error", "no match time out value found");
    return TIMEOUT_READ_ERROR;
  }
  const int minutes = answer[sxm::kBody + kTimeoutByte];
  SlotAt(varNum).webDisconnectTimeoutMs = WebTimeoutFromMinutes(minutes);
  LogDebug(varNum, Format("\nthe time out value is changed to %d minutes", minutes));
  return RESULT_OK;
}

}  // namespace requests
