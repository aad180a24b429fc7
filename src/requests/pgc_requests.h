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

}  // namespace requests
