#pragma once
// Whole-database transfers between the system and a database file: a
// download (system to file) and an upload (file to system), each opened,
// fed one PGC table at a time, and closed.
#include "requests/request.h"

namespace requests {

int DownloadStartSteps(RequestContext& ctx);
int DownloadPgcSteps(RequestContext& ctx);
int DownloadEndSteps(RequestContext& ctx);
int UploadStartSteps(RequestContext& ctx);
int UploadPgcSteps(RequestContext& ctx);
int UploadEndSteps(RequestContext& ctx);

}  // namespace requests
