#pragma once
// Linking a slot to the system and giving the link up.
#include "requests/request.h"

namespace requests {

int ConnectSteps(RequestContext& ctx);     // CONNECT_SYSTEM, TAKEOVER_SYSTEM
int DisconnectSteps(RequestContext& ctx);  // type 19, read, message id 1

// Closes what a linked slot holds: the system link, the work database and a
// download or upload file. The slot's state is left to the caller; failures
// are in the log.
void CloseLinkedSlot(RequestContext& ctx);

}  // namespace requests
