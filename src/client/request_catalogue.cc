#include "client/request_catalogue.h"

#include <algorithm>
#include <cctype>

namespace client {
namespace {

using web::kModeRead;
using web::kModeWrite;
constexpr std::uint8_t kControl = web::REQ_CONTROL;
constexpr std::uint8_t kPgc = web::REQ_PGC;
constexpr std::uint8_t kDownload = web::REQ_TABLE_DOWNLOAD;
constexpr std::uint8_t kUpload = web::REQ_TABLE_UPLOAD;

constexpr CatalogueEntry kEntries[] = {
    // Control requests: the message id is the control number.
    {"LOGIN", kControl, web::LOGIN, kModeWrite, 3, false, "log a user in; answer: data source names"},
    {"LOGIN_RESET", kControl, web::LOGIN_RESET, kModeWrite, 3, false, "give the user's slot up, then log in"},
    {"LOGOUT", kControl, web::LOGOUT, kModeWrite, 5, false, "log out and give the slot up; always succeeds"},
    {"USER_SET", kControl, web::USER_SET, kModeWrite, 0, false, "insert, update or delete users (34-byte records)"},
    {"LINK_SET", kControl, web::LINK_SET, kModeWrite, 0, false, "insert, update or delete links (70-byte records)"},
    {"FILE_LIST", kControl, web::FILE_LIST, kModeRead, 9, false, "list the offline database files"},
    {"FILE_DELETE", kControl, web::FILE_DELETE, kModeWrite, 11, false, "delete offline database files"},
    {"CONNECT_SYSTEM", kControl, web::CONNECT_SYSTEM, kModeWrite, 14, false, "link the slot to the system (port 5080)"},
    {"TAKEOVER_SYSTEM", kControl, web::TAKEOVER_SYSTEM, kModeWrite, 14, false, "take the system over (port 5081)"},
    {"SYSTEM_COMMAND_SET", kControl, web::SYSTEM_COMMAND_SET, kModeRead, 0, false, "read the five fixed system tables"},
    {"FILE_CREATE", kControl, web::FILE_CREATE, kModeWrite, 17, false, "create and open an offline file"},
    {"FILE_OPEN", kControl, web::FILE_OPEN, kModeWrite, 19, false, "open an offline file"},
    {"FILE_CLOSE", kControl, web::FILE_CLOSE, kModeWrite, 0, false, "close the offline file"},
    {"ALL_DOWNLOAD_START", kControl, web::ALL_DOWNLOAD_START, kModeWrite, 22, false, "open a download file"},
    {"ALL_DOWNLOAD_END", kControl, web::ALL_DOWNLOAD_END, kModeWrite, 0, false, "close the download file"},
    {"DOWNLOAD_PGC", kControl, web::DOWNLOAD_PGC, kModeRead, 0, false,
     "read one PGC table from the system into the download file"},
    {"ALL_UPLOAD_START", kControl, web::ALL_UPLOAD_START, kModeWrite, 26, false, "open an upload file"},
    {"ALL_UPLOAD_END", kControl, web::ALL_UPLOAD_END, kModeWrite, 0, false, "close the upload file"},
    {"UPLOAD_PGC", kControl, web::UPLOAD_PGC, kModeWrite, 0, false,
     "send one PGC table of the upload file to the system"},
    {"STORE_PGC", kControl, web::STORE_PGC, kModeWrite, 0, false, "store PGC data in the open file"},
    {"USER_SET_EXT", kControl, web::USER_SET_EXT, kModeWrite, 0, false,
     "update a user with personal data (238-byte record)"},
    {"FILE_USER_LIST", kControl, web::FILE_USER_LIST, kModeRead, 32, false, "list the user's spreadsheet files"},
    // The PGC families: the message id is the PGC message.
    {"LINK_CHECK", kPgc, web::kLinkCheckId, kModeRead, kOwnMessageId, false, "check the system link (answer relayed)"},
    {"DISCONNECT", kPgc, web::kDisconnectId, kModeRead, 0, false, "give the system link up"},
    {"KEEP_ALIVE", kPgc, web::kKeepAliveId, kModeRead, 0, false, "keep-alive read, answered at once"},
    {"PGC_READ", kPgc, 0, kModeRead, kOwnMessageId, true, "read one PGC message"},
    {"PGC_WRITE", kPgc, 0, kModeWrite, kOwnMessageId, true, "write one PGC message"},
    {"TABLE_DOWNLOAD_READ", kDownload, 0, kModeRead, kOwnMessageId, true, "read a PGC table"},
    {"TABLE_DOWNLOAD_WRITE", kDownload, 0, kModeWrite, 0, true, "store a PGC table packet"},
    {"TABLE_UPLOAD_READ", kUpload, 0, kModeRead, kOwnMessageId, true, "read a PGC table from the work database"},
    {"TABLE_UPLOAD_WRITE", kUpload, 0, kModeWrite, 0, true, "store a table packet; the final one goes to the system"},
    {"RESTART", web::REQ_RESTART, 0, kModeWrite, 0, true, "relay a packet after which the system restarts"},
};

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::span<const CatalogueEntry> Catalogue() { return kEntries; }

const CatalogueEntry* FindRequest(std::string_view name) {
  for (const CatalogueEntry& entry : kEntries)
    if (SameName(entry.name, name)) return &entry;
  return nullptr;
}

Request MakeRequest(const CatalogueEntry& entry, Bytes data) {
  Request request;
  request.type = entry.type;
  request.messageId = entry.messageId;
  request.mode = entry.mode;
  request.data = std::move(data);
  return request;
}

Request MakeRequest(std::string_view name, Bytes data) { return MakeRequest(*FindRequest(name), std::move(data)); }

}  // namespace client
