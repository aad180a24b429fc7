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

// The control request numbers and the REQ_PGC message ids belong to the
// wire format.
using web::ControlId;
using enum web::ControlId;
using web::kDisconnectId;
using web::kKeepAliveId;
using web::kLinkCheckId;

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
