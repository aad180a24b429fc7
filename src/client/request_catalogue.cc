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
    {"LOGIN", kControl, 1, kModeWrite, 3, false, "log a user in; answer: data source names"},
    {"LOGIN_RESET", kControl, 2, kModeWrite, 3, false, "give the user's slot up, then log in"},
    {"LOGOUT", kControl, 4, kModeWrite, 5, false, "log out and give the slot up; always succeeds"},
    {"USER_SET", kControl, 6, kModeWrite, 0, false, "insert, update or delete users (34-byte records)"},
    {"LINK_SET", kControl, 7, kModeWrite, 0, false, "insert, update or delete links (70-byte records)"},
    {"FILE_LIST", kControl, 8, kModeRead, 9, false, "list the offline database files"},
    {"FILE_DELETE", kControl, 10, kModeWrite, 11, false, "delete offline database files"},
    {"CONNECT_SYSTEM", kControl, 12, kModeWrite, 14, false, "link the slot to the system (port 5080)"},
    {"TAKEOVER_SYSTEM", kControl, 13, kModeWrite, 14, false, "take the system over (port 5081)"},
    {"SYSTEM_COMMAND_SET", kControl, 15, kModeRead, 0, false, "read the five fixed system tables"},
    {"FILE_CREATE", kControl, 16, kModeWrite, 17, false, "create and open an offline file"},
    {"FILE_OPEN", kControl, 18, kModeWrite, 19, false, "open an offline file"},
    {"FILE_CLOSE", kControl, 20, kModeWrite, 0, false, "close the offline file"},
    {"ALL_DOWNLOAD_START", kControl, 21, kModeWrite, 22, false, "open a download file"},
    {"ALL_DOWNLOAD_END", kControl, 23, kModeWrite, 0, false, "close the download file"},
    {"DOWNLOAD_PGC", kControl, 24, kModeRead, 0, false, "read one PGC table from the system into the download file"},
    {"ALL_UPLOAD_START", kControl, 25, kModeWrite, 26, false, "open an upload file"},
    {"ALL_UPLOAD_END", kControl, 27, kModeWrite, 0, false, "close the upload file"},
    {"UPLOAD_PGC", kControl, 28, kModeWrite, 0, false, "send one PGC table of the upload file to the system"},
    {"STORE_PGC", kControl, 29, kModeWrite, 0, false, "store PGC data in the open file"},
    {"USER_SET_EXT", kControl, 30, kModeWrite, 0, false, "update a user with personal data (238-byte record)"},
    {"FILE_USER_LIST", kControl, 31, kModeRead, 32, false, "list the user's spreadsheet files"},
    // The PGC families: the message id is the PGC message.
    {"LINK_CHECK", kPgc, 0x0000, kModeRead, kOwnMessageId, false, "check the system link (answer relayed)"},
    {"DISCONNECT", kPgc, 0x0001, kModeRead, 0, false, "give the system link up"},
    {"KEEP_ALIVE", kPgc, 0xFFFF, kModeRead, 0, false, "keep-alive read, answered at once"},
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
