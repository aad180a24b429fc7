#include "requests/request_state.h"

#include <cstring>
#include <filesystem>
#include <mutex>

#include "db/files.h"
#include "db/odbc.h"
#include "frame/config.h"
#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "frame/text.h"
#include "requests/request.h"
#include "users/request_layout.h"
#include "users/users.h"

namespace requests {
namespace {

constexpr std::size_t kNameAnswerSize = 52;
constexpr std::size_t kDownloadModeByte = 30;  // ALL_DOWNLOAD_START: 0 create, 1 reuse

int Refuse(int varNum, int code, const char* label, const std::string& text) {
  LogError(varNum, label, text);
  return code;
}

int StateRefusal(int varNum, int code, const char* format) {
  return Refuse(varNum, code, "COMM state error", Format(format, SlotStateText(varNum)));
}

constexpr const char* kConnectFirst = "COMM is in %s state, please connect to system first.";
constexpr const char* kIdleFirst = "COMM is in %s state, please make sure it is IDLE state first.";

bool OfflineFileExists(const std::string& name) {
  std::error_code ec;
  return std::filesystem::exists(Paths().offlineDatabasePath + name + ".mdb", ec);
}

void PutName(std::vector<std::uint8_t>& reply, const std::string& name) {
  if (reply.size() < kNameAnswerSize) reply.resize(kNameAnswerSize + 1, 0);
  PutField(reply.data(), kNameAnswerSize, name);
}

void PrepareReply(std::vector<std::uint8_t>& reply, const web::WebMsg& msg, int varNum) {
  const state::Id current = SlotState(varNum);
  auto pgcAnswer = [&] {
    if (reply.size() < static_cast<std::size_t>(kPgcAnswerSize)) reply.resize(kPgcAnswerSize + 1, 0);
    FillPgcAnswer(reply.data(), msg);
  };
  switch (msg.type) {
    case web::REQ_PGC:
    case web::REQ_TABLE_DOWNLOAD:
    case web::REQ_TABLE_UPLOAD:
      if ((current == state::kOffline || current == state::kOnline) &&
          (msg.mode() == web::kModeRead || msg.mode() == web::kModeWrite)) {
        pgcAnswer();
      }
      return;
    case web::REQ_RESTART: pgcAnswer(); return;
    default: break;
  }
  switch (msg.messageId()) {
    case CONNECT_SYSTEM:
    case TAKEOVER_SYSTEM: PutName(reply, WorkDatabaseName(varNum)); break;
    case FILE_CREATE:
    case FILE_OPEN: PutName(reply, RequestFileName(msg)); break;
    case ALL_DOWNLOAD_START:
    case ALL_UPLOAD_START: PutName(reply, FieldText(msg.data, 30)); break;
    case USER_SET:
    case USER_SET_EXT: pgcAnswer(); break;
    case LOGOUT: reply[0] = 0; break;
    default: break;
  }
}

// What a control request needs of the file it names, and how each missing
// condition is refused.
struct Refusal {
  int code;
  const char* label;
  const char* text;  // one %s: the file name
};
enum class Presence { kAny, kAbsent, kPresent, kByModeByte };
struct FileRule {
  bool downloadName;   // the name field is followed by the create/reuse byte
  Presence presence;   // kByModeByte: 0 create (absent), 1 reuse (present)
  Refusal whenPresent;  // the file exists where it must not
  Refusal whenAbsent;   // the file is missing where it must exist
  bool mustBeHeld;      // closing: a user must work on it; otherwise nobody may
  Refusal use;
};

constexpr Refusal kNone{0, "", ""};
constexpr Refusal kExistsOnCreate{FILE_EXIST_ERROR, "File error", "File %s.mdb exist error when create"};
constexpr Refusal kMissingOnOpen{FILE_MISSING, "File error", "File %s.mdb not exist error when open"};

constexpr FileRule kCreateFile{false, Presence::kAbsent, kExistsOnCreate, kNone, false,
                               {OPEN_FILE_USED, "DB error", "Open DB file %s.mdb already used error"}};
constexpr FileRule kOpenFile{false, Presence::kPresent, kNone, kMissingOnOpen, false,
                             {OPEN_FILE_USED, "DB error", "Open DB file %s.mdb already used error"}};
constexpr FileRule kCloseFile{false, Presence::kPresent, kNone,
                              {CLOSE_FILE_NOT_EXIST, "DB error", "Close DB file %s.mdb not exist"}, true,
                              {CLOSE_FILE_ALREADY_CLOSED, "DB error", "Close DB file %s already closed"}};
constexpr FileRule kDownloadFile{true, Presence::kByModeByte, kExistsOnCreate,
                                 {FILE_MISSING, "File error", "File %s.mdb is not exist error when open"}, false,
                                 {OPEN_FILE_USED, "DB error", "Open DB file %s.mdb already used"}};
constexpr FileRule kUploadFile{false, Presence::kPresent, kNone, kMissingOnOpen, false,
                               {OPEN_FILE_USED, "DB error", "Open DB file %s.mdb already used"}};

constexpr unsigned Bit(state::Id id) { return 1u << id; }
constexpr unsigned kAnyState = 0;

// A control request's precondition. States: `idleOnly` requests are refused
// (190) outside "idle"; otherwise an idle slot is refused with 189 and a slot
// in none of the `accepted` states with 190 and `wrongState`.
struct ControlRule {
  std::uint16_t request;
  bool idleOnly;
  unsigned accepted;  // Bit() of each state; kAnyState: no state rule
  const char* wrongState;  // one %s: the slot's state
  const FileRule* file;
  int (*extra)(const web::WebMsg& msg, int varNum);
};

int RefuseFile(int varNum, const Refusal& refusal, const std::string& name) {
  return Refuse(varNum, refusal.code, refusal.label, Format(refusal.text, name.c_str()));
}

// A user being deleted must not hold a slot.
int CheckUserDeletable(const web::WebMsg& msg, int varNum) {
  namespace layout = users::layout;
  if (msg.data[layout::kUserOp] != layout::kOpDelete) return RESULT_OK;
  std::string target = FieldText(msg.data + layout::kUserRecordId, layout::kIdWidth);
  if (FindSlotByUser(target) >= 0) {
    return Refuse(varNum, USER_HOLDS_SLOT, "User state error", "User is connecting to COMM, can not be deleted");
  }
  return RESULT_OK;
}

int CheckLoggedIn(const web::WebMsg& msg, int varNum) {
  std::string user = FieldText(msg.data, users::layout::kIdWidth);
  if (users::IsUserLoggedIn(user, varNum) != 1) {
    return Refuse(varNum, NOT_LOGGED_IN, "Login error", Format("user %s not login when logout", user.c_str()));
  }
  return RESULT_OK;
}

constexpr const char* kOpenOfflineFirst = "COMM is in %s state, please open$create an offline file first.";
constexpr const char* kOfflineOrDownloadFirst =
    "COMM is in %s state, please open$create an offline file or send ALL_DOWNLOAD_START message first.";
constexpr const char* kDownloadFirst = "COMM is in %s state, please change COMM to ALLDOWNLOAD state first.";
constexpr const char* kUploadFirst = "COMM is in %s state, please change COMM to ALLUPLOAD state first.";

constexpr ControlRule kControlRules[] = {
    {CONNECT_SYSTEM, true, kAnyState, kIdleFirst, nullptr, nullptr},
    {TAKEOVER_SYSTEM, true, kAnyState, kIdleFirst, nullptr, nullptr},
    {USER_SET, false, kAnyState, nullptr, nullptr, CheckUserDeletable},
    {USER_SET_EXT, false, kAnyState, nullptr, nullptr, CheckUserDeletable},
    {LOGOUT, false, kAnyState, nullptr, nullptr, CheckLoggedIn},
    {FILE_CREATE, true, kAnyState, kIdleFirst, &kCreateFile, nullptr},
    {FILE_OPEN, true, kAnyState, kIdleFirst, &kOpenFile, nullptr},
    {FILE_CLOSE, false, Bit(state::kOffline), kOpenOfflineFirst, &kCloseFile, nullptr},
    {STORE_PGC, false, Bit(state::kOffline) | Bit(state::kDownload), kOfflineOrDownloadFirst, nullptr, nullptr},
    {SYSTEM_COMMAND_SET, false, Bit(state::kOnline), kConnectFirst, nullptr, nullptr},
    {ALL_DOWNLOAD_START, false, Bit(state::kOnline), kConnectFirst, &kDownloadFile, nullptr},
    {ALL_DOWNLOAD_END, false, Bit(state::kDownload), kDownloadFirst, nullptr, nullptr},
    {DOWNLOAD_PGC, false, Bit(state::kDownload), kDownloadFirst, nullptr, nullptr},
    {ALL_UPLOAD_START, false, Bit(state::kOnline), kConnectFirst, &kUploadFile, nullptr},
    {ALL_UPLOAD_END, false, Bit(state::kUpload), kUploadFirst, nullptr, nullptr},
    {UPLOAD_PGC, false, Bit(state::kUpload), kUploadFirst, nullptr, nullptr},
};

int CheckControlState(const ControlRule& rule, int varNum) {
  const state::Id current = SlotState(varNum);
  const bool idle = current == state::kIdle;
  if (rule.idleOnly) return idle ? RESULT_OK : StateRefusal(varNum, STATE_WRONG, rule.wrongState);
  if (rule.accepted == kAnyState) return RESULT_OK;
  if (idle) return StateRefusal(varNum, STATE_IDLE, kConnectFirst);
  if ((rule.accepted & Bit(current)) != 0) return RESULT_OK;
  return StateRefusal(varNum, STATE_WRONG, rule.wrongState);
}

int CheckControlFile(const FileRule& rule, const web::WebMsg& msg, int varNum) {
  std::string name = rule.downloadName ? DownloadFileName(msg) : RequestFileName(msg);
  if (db::CheckFileName(name, varNum) != RESULT_OK) return FORMAT_ERROR;
  Presence presence = rule.presence;
  if (presence == Presence::kByModeByte) {
    std::uint8_t mode = msg.data[kDownloadModeByte];
    presence = mode == 0 ? Presence::kAbsent : mode == 1 ? Presence::kPresent : Presence::kAny;
  }
  const bool exists = OfflineFileExists(name);
  if (presence == Presence::kAbsent && exists) return RefuseFile(varNum, rule.whenPresent, name);
  if (presence == Presence::kPresent && !exists) return RefuseFile(varNum, rule.whenAbsent, name);
  int inUse = users::IsOfflineFileInUse(name, varNum);
  if (inUse != 0 && inUse != 1) return inUse;
  if ((inUse == 1) != rule.mustBeHeld) return RefuseFile(varNum, rule.use, name);
  return RESULT_OK;
}

int CheckControl(const web::WebMsg& msg, int varNum) {
  for (const ControlRule& rule : kControlRules) {
    if (rule.request != msg.messageId()) continue;
    int result = CheckControlState(rule, varNum);
    if (result == RESULT_OK && rule.file != nullptr) result = CheckControlFile(*rule.file, msg, varNum);
    if (result == RESULT_OK && rule.extra != nullptr) result = rule.extra(msg, varNum);
    return result;
  }
  return RESULT_OK;
}

}  // namespace

namespace {
// The name of a name field: its text up to the first zero byte, as the web
// front end writes it; whatever follows the zero is no part of the name.
std::string NameField(const std::uint8_t* bytes, std::size_t width) {
  return db::FileNameOf(FieldText(bytes, width));
}
}  // namespace

std::string RequestFileName(const web::WebMsg& msg) { return NameField(msg.data, msg.dataLength()); }

int CheckUserNotConnected(const web::WebMsg& msg, int varNum) {
  int connectState = 0;
  int result = users::GetConnectState(msg.user(), connectState, varNum);
  if (result != RESULT_OK) return result;
  if (connectState == 0) return RESULT_OK;
  LogError(varNum, "User state error", "user state is not idle");
  return USER_NOT_IDLE;
}

void RestoreState(int varNum) { SetState(varNum, SlotAt(varNum).savedState); }

std::string DownloadFileName(const web::WebMsg& msg) { return NameField(msg.data, kDownloadModeByte); }

std::string WorkDatabaseName(int varNum) { return Format("%s_%d", "workDB", varNum); }

int CheckRequestState(std::vector<std::uint8_t>& reply, int recordLength, const web::WebMsg& msg, int varNum) {
  int result = ZeroedAlloc(reply, static_cast<std::size_t>(recordLength) + 1, 1, varNum);
  if (result != RESULT_OK) return result;
  PrepareReply(reply, msg, varNum);

  switch (msg.type) {
    case web::REQ_RESTART:
      if (SlotState(varNum) != state::kOnline) return StateRefusal(varNum, STATE_WRONG, kConnectFirst);
      if (msg.mode() != web::kModeWrite) {
        return Refuse(varNum, FORMAT_ERROR, "Message format error", "Message Down$Up received from web is error");
      }
      return RESULT_OK;
    case web::REQ_CONTROL: return CheckControl(msg, varNum);
    default: return RESULT_OK;  // the PGC families always pass
  }
}

int RollBackDataBase(int connectState, const web::WebMsg& msg, int varNum) {
  std::string user;
  TrimTextQuiet(user, msg.userId);
  std::string sql = Format("Update userinfo set connect_state = %d where user_id = '%s'", connectState,
                           SqlText(user).c_str());
  LogRollBack(varNum, "RollBackDataBase", sql);
  std::lock_guard lock(DatabaseLock());
  int result = db::ExecuteSQL(db::UserDB(), sql, varNum);
  if (result != RESULT_OK) {
    LogError(varNum, "DB error", "SQL execution error when update userinfo table");
    return result;
  }
  return RESULT_OK;
}

}  // namespace requests
