#include "requests/file_requests.h"

#include <cstring>

#include "db/files.h"
#include "frame/config.h"
#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "frame/text.h"
#include "pgc/read.h"
#include "requests/login_requests.h"
#include "requests/request_state.h"
#include "setup/databases.h"
#include "users/users.h"

namespace requests {
namespace {

// The slot's work on a file it just opened: its time-out from the file's
// PGC501, and the user who works on it.
void AfterOpen(RequestContext& ctx) {
  if (LoadPGC501Timeout(ctx.varNum) != RESULT_OK) {
    LogError(ctx.varNum, "DB error", "can not get time out from PGC501 table");
  }
  SlotAt(ctx.varNum).userId = ctx.msg.user();
}

void AfterClose(RequestContext& ctx) { SetState(ctx.varNum, state::kIdle); }

// The names of a delete request: 30-byte fields up to the first empty one.
std::vector<std::string> RequestedNames(const web::WebMsg& request) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < db::kMaxDeleteNames; ++i) {
    std::string name(reinterpret_cast<const char*>(request.data + i * db::kMaxFileNameLength),
                     db::kMaxFileNameLength);
    name.resize(std::strlen(name.c_str()));
    if (name.empty()) break;
    names.push_back(name);
  }
  return names;
}

int DeleteOneFile(const std::string& name, int varNum) {
  if (!db::FileExists(name, Paths().offlineDatabasePath)) {
    LogError(varNum, "DB error", Format("Delete DB file %s.mdb is not exist", name.c_str()));
    return FILE_NOT_FOUND;
  }
  int inUse = users::IsOfflineFileInUse(name, varNum);
  if (inUse == 1) {
    LogError(varNum, "DB error", Format("Delete DB file %s is used error", name.c_str()));
    return DELETE_FILE_USED;
  }
  if (inUse == ROW_COUNT_ERROR) return ROW_COUNT_ERROR;
  if (inUse != 0) return RESULT_OK;  // the user table could not tell: leave this file alone
  return db::DeleteOfflineFile(name, varNum);
}

// Create (with `create`) or open an offline file and make the slot "offline".
int OpenOffline(RequestContext& ctx, bool create) {
  int result = CheckUserNotConnected(ctx.msg, ctx.varNum);
  if (result != RESULT_OK) return result;
  Slot& slot = SlotAt(ctx.varNum);
  std::string name = RequestFileName(ctx.msg);
  slot.savedState = slot.state;
  SetState(ctx.varNum, state::kOffline);
  result = RecordUserRequest(ctx.msg, ctx.msg.messageId(), ctx.reply.data(), ctx.varNum);
  if (result != RESULT_OK) {
    RestoreState(ctx.varNum);
    return result;
  }
  if (create) {
    // The name was free at the precondition check; another user's create may
    // have taken it since.
    result = db::CreateNewOfflineFile(name, ctx.varNum);
    if (result != RESULT_OK) {
      RollBackDataBase(0, ctx.msg, ctx.varNum);
      RestoreState(ctx.varNum);
      return result;
    }
  }
  result = db::OpenUserDbFile(name, ctx.msg.messageId(), setup::MissingTables, ctx.varNum);
  if (result != RESULT_OK) {
    // A file made by this request that could not be opened goes again: left
    // behind, it would refuse the user's next try with "file exists".
    if (create) db::DeleteOfflineFile(db::FileNameOf(name), ctx.varNum);
    RollBackDataBase(0, ctx.msg, ctx.varNum);
    RestoreState(ctx.varNum);
  }
  ctx.afterReply = AfterOpen;
  return result;
}

}  // namespace

int WebTimeoutFromMinutes(int minutes) { return minutes * 60 * 1000 - minutes * 5000; }

int LoadPGC501Timeout(int varNum) {
  int minutes = 0;
  int result = pgc::GetPGCValue(minutes, "", 52, "PGC501", varNum);
  if (result == DB_EXECUTE_NO_RESULT) {
    LogError(varNum, "DB error", "no match time out value found");
    return TIMEOUT_READ_ERROR;
  }
  if (result != RESULT_OK) {
    LogError(varNum, "DB error", "an error occurred when get time out value");
    return TIMEOUT_READ_ERROR;
  }
  SlotAt(varNum).webDisconnectTimeoutMs = WebTimeoutFromMinutes(minutes);
  LogDebug(varNum, Format("\nthe time out value is changed to %d minutes", minutes));
  return RESULT_OK;
}

int FileListSteps(RequestContext& ctx) {
  int length = 0;
  int result = db::ListOfflineFiles(ctx.reply, length, ctx.varNum);
  ctx.totalLength = length;
  return result;
}

int FileUserListSteps(RequestContext& ctx) {
  int length = 0;
  int result = db::ListExcelFiles(ctx.reply, length, ctx.varNum);
  ctx.totalLength = length;
  return result;
}

int DeleteDBFiles(const web::WebMsg& request, int varNum) {
  std::vector<std::string> names = RequestedNames(request);
  // Every name is checked before the first file goes.
  for (const std::string& name : names) {
    if (db::CheckFileName(name, varNum) != RESULT_OK) return FORMAT_ERROR;
  }
  for (const std::string& name : names) {
    int rc = DeleteOneFile(db::FileNameOf(name), varNum);
    if (rc != RESULT_OK) return rc;
  }
  return RESULT_OK;
}

int FileDeleteSteps(RequestContext& ctx) { return DeleteDBFiles(ctx.msg, ctx.varNum); }

int FileCreateSteps(RequestContext& ctx) { return OpenOffline(ctx, true); }
int FileOpenSteps(RequestContext& ctx) { return OpenOffline(ctx, false); }

int FileCloseSteps(RequestContext& ctx) {
  int result = RecordUserRequest(ctx.msg, ctx.msg.messageId(), ctx.reply.data(), ctx.varNum);
  if (result != RESULT_OK) return result;
  // The slot's record is closed whatever the request names: refusing a bad
  // name here would leave the connection open behind an idle slot.
  result = db::CloseDbFile(FieldText(ctx.msg.data, db::kMaxFileNameLength), ctx.msg.messageId(), ctx.varNum);
  if (result != RESULT_OK) RollBackDataBase(2, ctx.msg, ctx.varNum);
  // The slot leaves the file even when closing it failed: the user table
  // keeps the mark, so the file stays refused to others.
  ctx.afterReply = AfterClose;
  return result;
}

void GiveUpRefusedClose(RequestContext& ctx) {
  // The web front end has let the file go, whatever was wrong with the
  // request: a file left open behind the slot would stay refused to every
  // other user until the web timer gave the slot up.
  if (SlotState(ctx.varNum) != state::kOffline) return;
  LogoutSlot(SlotAt(ctx.varNum).userId, *ctx.systemSocket, ctx.varNum);
}

}  // namespace requests
