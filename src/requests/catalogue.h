#pragma once
// The request catalogue: control requests by number, with their reply ids,
// reply lengths and steps. A request whose steps are not provided here is
// treated as an unknown one (no reply, connection closed).
#include <cstdint>

#include "requests/request.h"

namespace requests {

struct ControlRequest {
  std::uint16_t id;
  const char* name;
  std::uint16_t replyId;
  int recordLength;
  int totalLength;  // -1: set by the steps
  RequestSteps steps;
};

// nullptr for a number that is not a control request.
const ControlRequest* FindControlRequest(std::uint16_t id);

// Steps of the PGC families (types 19, 161, 162) by slot state and mode, and
// of the restart (type 160); nullptr where none is provided.
enum class PgcPlace { kOffline, kLinked };
RequestSteps PgcSteps(std::uint8_t type, PgcPlace place, std::uint8_t mode, std::uint16_t messageId);
RequestSteps RestartSteps();

}  // namespace requests
