#include "requests/login_requests.h"

#include <cstring>

#include "db/odbc.h"
#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "frame/text.h"
#include "requests/slot_release.h"
#include "users/users.h"

namespace requests {
namespace {

void WriteLoginAnswer(std::uint8_t* reply, bool success) {
  std::memset(reply, 0xFF, users::kLoginAnswerSize);
  if (success) users::GetDataSourceNames(reply);
}

int RecordLogin(RequestContext& ctx) {
  return RecordUserRequest(ctx.msg, ctx.msg.messageId(), ctx.reply.data(), ctx.varNum);
}

}  // namespace

int RecordUserRequest(const web::WebMsg& msg, std::uint16_t messageId, std::uint8_t* reply, int varNum) {
  if (msg.type == web::REQ_PGC) {
    return messageId == kDisconnectId ? users::UpdateUserRecord(msg, messageId, varNum) : RESULT_OK;
  }
  if (msg.type != web::REQ_CONTROL) return RESULT_OK;
  switch (messageId) {
    case LOGIN:
    case LOGIN_RESET: {
      int result = users::UpdateUserRecord(msg, messageId, varNum);
      WriteLoginAnswer(reply, result == RESULT_OK);
      return result;
    }
    case LOGOUT:
    case USER_SET:
    case CONNECT_SYSTEM:
    case TAKEOVER_SYSTEM:
    case FILE_CREATE:
    case FILE_OPEN:
    case FILE_CLOSE:
    case USER_SET_EXT: return users::UpdateUserRecord(msg, messageId, varNum);
    case LINK_SET: return users::MaintainLinks(msg, varNum);
    default: return RESULT_OK;
  }
}

int LogoutSlot(const std::string& userId, int& systemSocket, int varNum) {
  // DisconnectSlot closes all it can also past a failure; the user and the
  // slot are let go all the same, since what they held is closed or lost.
  int result = DisconnectSlot(systemSocket, varNum);
  if (db::ResetConnectState(userId, varNum) != RESULT_OK) {
    LogError(varNum, "Index array error", "Set IDLE state to state index array error");
    if (result == RESULT_OK) result = SLOT_USER_RESET_ERROR;
  }
  SetState(varNum, state::kIdle);
  SlotAt(varNum).serialLineFlag = 0;
  return result;
}

int LoginSteps(RequestContext& ctx) {
  int result = users::CheckLoginID(ctx.msg, ctx.reply.data(), ctx.varNum);
  if (result == RESULT_OK) result = users::CheckLoginPassword(ctx.msg, ctx.reply.data(), ctx.varNum);
  if (result == RESULT_OK) result = users::CheckLoginDuplicate(ctx.msg, ctx.reply.data(), ctx.varNum);
  if (result != RESULT_OK) return result;
  return RecordLogin(ctx);
}

int LoginResetSteps(RequestContext& ctx) {
  int result = LogoutSlot(ctx.msg.user(), *ctx.systemSocket, ctx.varNum);
  if (result != RESULT_OK) return result;
  return RecordLogin(ctx);
}

int LogoutSteps(RequestContext& ctx) {
  // A logout always succeeds towards the web; its step failures are in the log.
  RecordUserRequest(ctx.msg, ctx.msg.messageId(), ctx.reply.data(), ctx.varNum);
  LogoutSlot(ctx.msg.user(), *ctx.systemSocket, ctx.varNum);
  SetState(ctx.varNum, state::kIdle);
  return RESULT_OK;
}

int UserAdminSteps(RequestContext& ctx) {
  return RecordUserRequest(ctx.msg, ctx.msg.messageId(), ctx.reply.data(), ctx.varNum);
}

}  // namespace requests
