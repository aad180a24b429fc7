#include "requests/link_requests.h"

namespace requests {

int SystemCommandSetSteps(RequestContext&) { return kNotARequest; }
int LinkCheckSteps(RequestContext&) { return kNotARequest; }
int RestartSystemSteps(RequestContext&) { return kNotARequest; }
int OnlinePgcWriteSteps(RequestContext&) { return kNotARequest; }
int OnlinePgcReadSteps(RequestContext&) { return kNotARequest; }
int OnlineTableReadSteps(RequestContext&) { return kNotARequest; }
int OnlineTableUploadSteps(RequestContext&) { return kNotARequest; }
int ReadLinkTimeout(const sxm::Packet&, int) { return 0; }

}  // namespace requests
