#include "requests/catalogue.h"

#include <cstring>

#include "requests/connect_requests.h"
#include "requests/file_requests.h"
#include "requests/login_requests.h"
#include "requests/link_requests.h"
#include "requests/pgc_requests.h"
#include "requests/transfer_requests.h"

namespace requests {
namespace {

// Lengths are the reply's record length and total length.
constexpr ControlRequest kControlRequests[] = {
    {LOGIN, "LOGIN", 3, 120, 120, LoginSteps},
    {LOGIN_RESET, "LOGIN_RESET", 3, 120, 120, LoginResetSteps},
    {LOGOUT, "LOGOUT", 5, 0, 0, LogoutSteps},
    {USER_SET, "USER_SET", 0, 60, 60, UserAdminSteps},
    {LINK_SET, "LINK_SET", 0, 60, 60, UserAdminSteps},
    {FILE_LIST, "FILE_LIST", 9, 30, -1, FileListSteps},
    {FILE_DELETE, "FILE_DELETE", 11, 60, 60, FileDeleteSteps},
    {CONNECT_SYSTEM, "CONNECT_SYSTEM", 14, 52, 52, ConnectSteps},
    {TAKEOVER_SYSTEM, "TAKEOVER_SYSTEM", 14, 52, 52, ConnectSteps},
    {SYSTEM_COMMAND_SET, "SYSTEM_COMMAND_SET", 0, 60, 60, SystemCommandSetSteps},
    {FILE_CREATE, "FILE_CREATE", 17, 52, 52, FileCreateSteps},
    {FILE_OPEN, "FILE_OPEN", 19, 52, 52, FileOpenSteps},
    {FILE_CLOSE, "FILE_CLOSE", 0, 60, 60, FileCloseSteps},
    {ALL_DOWNLOAD_START, "ALL_DOWNLOAD_START", 22, 52, 52, DownloadStartSteps},
    {ALL_DOWNLOAD_END, "ALL_DOWNLOAD_END", 0, 60, 60, DownloadEndSteps},
    {DOWNLOAD_PGC, "DOWNLOAD_PGC", 0, 60, 60, DownloadPgcSteps},
    {ALL_UPLOAD_START, "ALL_UPLOAD_START", 26, 52, 52, UploadStartSteps},
    {ALL_UPLOAD_END, "ALL_UPLOAD_END", 0, 60, 60, UploadEndSteps},
    {UPLOAD_PGC, "UPLOAD_PGC", 0, 60, 60, UploadPgcSteps},
    {STORE_PGC, "STORE_PGC", 0, 60, 60, StorePgcSteps},
    {USER_SET_EXT, "USER_SET_EXT", 0, 60, 60, UserAdminSteps},
    {FILE_USER_LIST, "FILE_USER_LIST", 32, 240, -1, FileUserListSteps},
};

}  // namespace

const ControlRequest* FindControlRequest(std::uint16_t id) {
  for (const auto& request : kControlRequests) {
    if (request.id == id) return &request;
  }
  return nullptr;
}

RequestSteps PgcSteps(std::uint8_t type, PgcPlace place, std::uint8_t mode, std::uint16_t messageId) {
  const bool write = mode == web::kModeWrite;
  if (place == PgcPlace::kOffline) {
    if (type == web::REQ_PGC) return write ? PgcStoreSteps : PgcReadSteps;
    return write ? TableStoreSteps : TableReadSteps;
  }
  // Linked: type 19 goes to the system; a table written by the web (161) or
  // read back by it (162) stays in the work database.
  if (type == web::REQ_PGC) {
    if (write) return OnlinePgcWriteSteps;
    if (messageId == kLinkCheckId) return LinkCheckSteps;
    if (messageId == kDisconnectId) return DisconnectSteps;
    return OnlinePgcReadSteps;
  }
  if (type == web::REQ_TABLE_DOWNLOAD) return write ? TableStoreSteps : OnlineTableReadSteps;
  return write ? OnlineTableUploadSteps : TableReadSteps;
}
RequestSteps RestartSteps() { return RestartSystemSteps; }

void FillPgcAnswer(std::uint8_t* out, const web::WebMsg& msg) {
  web::Put16(out, msg.messageId());
  std::memset(out + 2, 0xFF, kPgcAnswerSize - 2);
}

}  // namespace requests
