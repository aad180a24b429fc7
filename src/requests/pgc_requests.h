#pragma once
// PGC data requests that work on the slot's database: stores and reads of
// types 19, 161 and 162, and the control request STORE_PGC.
#include "requests/request.h"

namespace requests {

int StorePgcSteps(RequestContext& ctx);       // STORE_PGC
int PgcStoreSteps(RequestContext& ctx);       // 19 offline, write
int PgcReadSteps(RequestContext& ctx);        // 19 offline, read
int TableStoreSteps(RequestContext& ctx);     // 161/162 offline, and 161 online, write
int TableReadSteps(RequestContext& ctx);      // 161/162 offline, and 162 online, read

// After a write of `messageId`: when it is the PGC501 message, the slot's web
// disconnect time-out is read again from its table. A failure is only logged.
void ReloadPgc501Timeout(std::uint16_t messageId, int varNum);

}  // namespace requests
