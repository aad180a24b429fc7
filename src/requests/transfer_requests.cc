#include "requests/transfer_requests.h"

namespace requests {

int DownloadStartSteps(RequestContext&) { return kNotARequest; }
int DownloadPgcSteps(RequestContext&) { return kNotARequest; }
int DownloadEndSteps(RequestContext&) { return kNotARequest; }
int UploadStartSteps(RequestContext&) { return kNotARequest; }
int UploadPgcSteps(RequestContext&) { return kNotARequest; }
int UploadEndSteps(RequestContext&) { return kNotARequest; }

}  // namespace requests
