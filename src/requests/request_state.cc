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
  return Refuse(varNum, code, "COMM state error", Format(format, SlotState(varNum).c_str()));
}

constexpr const char* kConnectFirst = "COMM is in %s state, please connect to system first.";
constexpr const char* kIdleFirst = "COMM is in %s state, please make sure it is IDLE state first.";

bool OfflineFileExists(const std::string& name) {
  std::error_code ec;
  return std::filesystem::exists(Paths().offlineDatabasePath + name + ".mdb", ec);
}

// 1 when no user works on the file; 177 (with the given text) when one does;
// the count's failure code otherwise.
int FileNotInUse(const std::string& name, int varNum, const char* text) {
  int inUse = users::IsOfflineFileInUse(name, varNum);
  if (inUse == 0) return RESULT_OK;
  if (inUse == 1) return Refuse(varNum, OPEN_FILE_USED, "DB error", Format(text, name.c_str()));
  return inUse;
}

void PutName(std::vector<std::uint8_t>& reply, const std::string& name) {
  if (reply.size() < kNameAnswerSize) reply.resize(kNameAnswerSize + 1, 0);
  PutField(reply.data(), kNameAnswerSize, name);
}

void PrepareReply(std::vector<std::uint8_t>& reply, const web::WebMsg& msg, int varNum) {
  const std::string& state = SlotState(varNum);
  auto pgcAnswer = [&] {
    if (reply.size() < static_cast<std::size_t>(kPgcAnswerSize)) reply.resize(kPgcAnswerSize + 1, 0);
    FillPgcAnswer(reply.data(), msg);
  };
  switch (msg.type) {
    case web::REQ_PGC:
    case web::REQ_TABLE_DOWNLOAD:
    case web::REQ_TABLE_UPLOAD:
      if ((state == state::kOffline || state == state::kOnline) &&
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

int CheckControl(const web::WebMsg& msg, int varNum) {
  const std::string& state = SlotState(varNum);
  const bool idle = state == state::kIdle;
  switch (msg.messageId()) {
    case CONNECT_SYSTEM:
    case TAKEOVER_SYSTEM:
      if (!idle) return StateRefusal(varNum, STATE_WRONG, kIdleFirst);
      return RESULT_OK;
    case USER_SET:
    case USER_SET_EXT: {
      if (msg.data[0] != 2) return RESULT_OK;
      std::string target = FieldText(msg.data + 2, 16);
      if (FindSlotByUser(target) >= 0) {
        return Refuse(varNum, USER_HOLDS_SLOT, "User state error", "User is connecting to COMM, can not be deleted");
      }
      return RESULT_OK;
    }
    case LOGOUT: {
      std::string user = FieldText(msg.data, 16);
      if (users::IsUserLoggedIn(user, varNum) != 1) {
        return Refuse(varNum, NOT_LOGGED_IN, "Login error", Format("user %s not login when logout", user.c_str()));
      }
      return RESULT_OK;
    }
    case FILE_CREATE: {
      if (!idle) return StateRefusal(varNum, STATE_WRONG, kIdleFirst);
      std::string name = RequestFileName(msg);
      if (db::CheckFileName(name, varNum) != RESULT_OK) return FORMAT_ERROR;
      if (OfflineFileExists(name)) {
        return Refuse(varNum, FILE_EXIST_ERROR, "File error", Format("File %s.mdb exist error when create", name.c_str()));
      }
      return FileNotInUse(name, varNum, "Open DB file %s.mdb already used error");
    }
    case FILE_OPEN: {
      if (!idle) return StateRefusal(varNum, STATE_WRONG, kIdleFirst);
      std::string name = RequestFileName(msg);
      if (db::CheckFileName(name, varNum) != RESULT_OK) return FORMAT_ERROR;
      if (!OfflineFileExists(name)) {
        return Refuse(varNum, FILE_MISSING, "File error", Format("File %s.mdb not exist error when open", name.c_str()));
      }
      return FileNotInUse(name, varNum, "Open DB file %s.mdb already used error");
    }
    case FILE_CLOSE: {
      if (idle) return StateRefusal(varNum, STATE_IDLE, kConnectFirst);
      if (state != state::kOffline) {
        return StateRefusal(varNum, STATE_WRONG, "COMM is in %s state, please open$create an offline file first.");
      }
      std::string name = RequestFileName(msg);
      if (db::CheckFileName(name, varNum) != RESULT_OK) return FORMAT_ERROR;
      if (!OfflineFileExists(name)) {
        return Refuse(varNum, CLOSE_FILE_NOT_EXIST, "DB error", Format("Close DB file %s.mdb not exist", name.c_str()));
      }
      int inUse = users::IsOfflineFileInUse(name, varNum);
      if (inUse == 0) {
        return Refuse(varNum, CLOSE_FILE_ALREADY_CLOSED, "DB error", Format("Close DB file %s already closed", name.c_str()));
      }
      return inUse == 1 ? RESULT_OK : inUse;
    }
    case STORE_PGC:
      if (idle) return StateRefusal(varNum, STATE_IDLE, kConnectFirst);
      if (state != state::kOffline && state != state::kDownload) {
        return StateRefusal(varNum, STATE_WRONG,
                            "COMM is in %s state, please open$create an offline file or send ALL_DOWNLOAD_START message first.");
      }
      return RESULT_OK;
    case SYSTEM_COMMAND_SET:
      if (idle) return StateRefusal(varNum, STATE_IDLE, kConnectFirst);
      if (state != state::kOnline) return StateRefusal(varNum, STATE_WRONG, kConnectFirst);
      return RESULT_OK;
    case ALL_DOWNLOAD_START: {
      if (idle) return StateRefusal(varNum, STATE_IDLE, kConnectFirst);
      if (state != state::kOnline) return StateRefusal(varNum, STATE_WRONG, kConnectFirst);
      std::string name = DownloadFileName(msg);
      if (db::CheckFileName(name, varNum) != RESULT_OK) return FORMAT_ERROR;
      std::uint8_t mode = msg.data[kDownloadModeByte];
      if (mode == 0 && OfflineFileExists(name)) {
        return Refuse(varNum, FILE_EXIST_ERROR, "File error", Format("File %s.mdb exist error when create", name.c_str()));
      }
      if (mode == 1 && !OfflineFileExists(name)) {
        return Refuse(varNum, FILE_MISSING, "File error", Format("File %s.mdb is not exist error when open", name.c_str()));
      }
      return FileNotInUse(name, varNum, "Open DB file %s.mdb already used");
    }
    case ALL_DOWNLOAD_END:
    case DOWNLOAD_PGC:
      if (idle) return StateRefusal(varNum, STATE_IDLE, kConnectFirst);
      if (state != state::kDownload) {
        return StateRefusal(varNum, STATE_WRONG, "COMM is in %s state, please change COMM to ALLDOWNLOAD state first.");
      }
      return RESULT_OK;
    case ALL_UPLOAD_START: {
      if (idle) return StateRefusal(varNum, STATE_IDLE, kConnectFirst);
      if (state != state::kOnline) return StateRefusal(varNum, STATE_WRONG, kConnectFirst);
      std::string name = RequestFileName(msg);
      if (db::CheckFileName(name, varNum) != RESULT_OK) return FORMAT_ERROR;
      if (!OfflineFileExists(name)) {
        return Refuse(varNum, FILE_MISSING, "File error", Format("File %s.mdb not exist error when open", name.c_str()));
      }
      return FileNotInUse(name, varNum, "Open DB file %s.mdb already used");
    }
    case ALL_UPLOAD_END:
    case UPLOAD_PGC:
      if (idle) return StateRefusal(varNum, STATE_IDLE, kConnectFirst);
      if (state != state::kUpload) {
        return StateRefusal(varNum, STATE_WRONG, "COMM is in %s state, please change COMM to ALLUPLOAD state first.");
      }
      return RESULT_OK;
    default: return RESULT_OK;
  }
}

}  // namespace

namespace {
// The bytes of a name field without its zero padding; a zero byte inside the
// name stays, so that the name check refuses it.
std::string NameField(const std::uint8_t* bytes, std::size_t width) {
  std::string raw(reinterpret_cast<const char*>(bytes), width);
  raw.erase(raw.find_last_not_of('\0') + 1);
  return db::FileNameOf(raw);
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

void RestoreState(int varNum) { SetState(varNum, SlotAt(varNum).savedState.c_str()); }

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
