#pragma once
// Linking a slot to the system and giving the link up.
#include "requests/request.h"

namespace requests {

int ConnectSteps(RequestContext& ctx);     // CONNECT_SYSTEM, TAKEOVER_SYSTEM
int DisconnectSteps(RequestContext& ctx);  // type 19, read, message id 1

}  // namespace requests
