#pragma once
// Requests of a slot linked to the system: the command set, the link check,
// the restart, and the PGC requests (types 19, 161, 162) that reach the
// system.
#include "requests/request.h"
#include "web/sxm_format.h"
#include "system/transfer.h"

namespace requests {

int SystemCommandSetSteps(RequestContext& ctx);
int LinkCheckSteps(RequestContext& ctx);
int RestartSystemSteps(RequestContext& ctx);
int OnlinePgcWriteSteps(RequestContext& ctx);    // type 19, mode 0xF1
int OnlinePgcReadSteps(RequestContext& ctx);     // type 19, mode 0xF0, ids other than 0 and 1
int OnlineTableReadSteps(RequestContext& ctx);   // type 161, mode 0xF0
int OnlineTableUploadSteps(RequestContext& ctx); // type 162, mode 0xF1

// The connection's working buffer as the transfer sequences gather into it.
systemlink::Gathering WorkingGathering(RequestContext& ctx);

// The web disconnect time-out from body byte 8 of the link check's answer.
int ReadLinkTimeout(const sxm::Packet& answer, int varNum);

}  // namespace requests
