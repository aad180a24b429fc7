#pragma once
// What one web request carries through its handling. Nothing here survives
// the request; lasting effects live in the slot, the user table and the
// databases.
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "frame/working_buffer.h"
#include "web/web_message.h"

namespace requests {

struct RequestContext {
  web::WebMsg msg;
  int webSocket = -1;
  int* systemSocket = nullptr;    // the slot's system socket
  WorkingBuffer* work = nullptr;
  int* workCounter = nullptr;
  int varNum = 0;

  std::vector<std::uint8_t> reply;  // reply data, prepared by CheckRequestState
  int recordLength = 0;
  int totalLength = 0;
  std::uint16_t replyId = 0;
  bool replied = false;  // a step talked to the web client itself: send nothing more
  // Work that follows the reply once it has been sent, whatever its result.
  void (*afterReply)(RequestContext&) = nullptr;
};

// A request's steps: run after its precondition check passed; returns the
// result code that the reply carries.
using RequestSteps = int (*)(RequestContext&);

// Control request numbers (message id of a type-2 request).
enum ControlId : std::uint16_t {
  LOGIN = 1,
  LOGIN_RESET = 2,
  LOGOUT = 4,
  USER_SET = 6,
  LINK_SET = 7,
  FILE_LIST = 8,
  FILE_DELETE = 10,
  CONNECT_SYSTEM = 12,
  TAKEOVER_SYSTEM = 13,
  SYSTEM_COMMAND_SET = 15,
  FILE_CREATE = 16,
  FILE_OPEN = 18,
  FILE_CLOSE = 20,
  ALL_DOWNLOAD_START = 21,
  ALL_DOWNLOAD_END = 23,
  DOWNLOAD_PGC = 24,
  ALL_UPLOAD_START = 25,
  ALL_UPLOAD_END = 27,
  UPLOAD_PGC = 28,
  STORE_PGC = 29,
  USER_SET_EXT = 30,
  FILE_USER_LIST = 31,
};

// Message ids of type-19 requests on a linked slot.
constexpr std::uint16_t kLinkCheckId = 0;
constexpr std::uint16_t kDisconnectId = 1;
constexpr std::uint16_t kKeepAliveId = 0xFFFF;

// Result of a request that is not one (unknown type, control id or mode) or
// whose steps this server does not carry out: no reply, connection closed.
constexpr int kNotARequest = 0;

// The PGC501 message: after it is written, the slot's web disconnect
// time-out is read again from the PGC501 table.
constexpr std::uint16_t kPgc501Id = 0x5010;

// The 60-byte answer of the PGC families: the request's message id bytes,
// then 58 bytes 0xFF.
constexpr int kPgcAnswerSize = 60;
void FillPgcAnswer(std::uint8_t* out, const web::WebMsg& msg);

}  // namespace requests
