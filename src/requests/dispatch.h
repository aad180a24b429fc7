#pragma once
#include <cstdint>

#include "requests/request.h"

namespace requests {

// Handles one web request of a connection: selects it by type and number,
// checks its preconditions, runs its steps and sends its reply. 1 lets the
// connection carry a further request; anything else ends it.
int HandleWebRequest(const std::uint8_t* raw, int webSocket, int& systemSocket, WorkingBuffer& work, int& workCounter,
                     int varNum);

}  // namespace requests
