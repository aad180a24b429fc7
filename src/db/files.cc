#include "db/files.h"

#include <fcntl.h>
#include <strings.h>
#include <odbcinst.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

#include "db/odbc.h"
#include "frame/config.h"
#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "frame/text.h"
#include "web/web_format.h"

extern char** environ;

namespace db {

const char* const kTablesAddedOnOpen[13] = {"pgc326", "pgc327", "pgc423", "pgc763", "pgc764", "pgc8301", "pgc8372",
                                            "pgc8452", "pgc865", "pgc867", "pgc8421", "pgc225", "pgc199"};

namespace {

namespace fs = std::filesystem;

constexpr const char* kDriverName = "SQLite3";
constexpr const char* kDsnFile = "odbc.ini";
constexpr std::size_t kMaxListedName = 240;     // a listing slot holds 240 characters
constexpr std::size_t kOfflineNameLimit = 35;   // offline entries must be shorter than this
// Characters the installer refuses in a data source name, or that would end
// a section header of the data source file early.
constexpr std::string_view kBadNameCharacters = "/\\[]{}(),;?*=!@";

// Attributes of every file's data source, after its Driver and Database.
constexpr std::pair<const char*, const char*> kDsnSettings[] = {
    {"JournalMode", "WAL"}, {"SyncPragma", "NORMAL"}, {"Timeout", "5000"}};

std::string MdbName(const std::string& name) { return name + kDatabaseExtension; }

bool EndsWith(const std::string& text, std::string_view end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The entries of a directory in the order the file system gives them; "."
// and ".." are never among them. Stops at kMaxListEntries.
std::vector<std::string> ListDirectory(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
    if (names.size() == kMaxListEntries) break;
  }
  return names;
}

bool IsSafeName(const std::string& name) {
  if (name.empty() || name.size() > kMaxFileNameLength || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f || kBadNameCharacters.find(static_cast<char>(c)) != std::string_view::npos) {
      return false;
    }
  }
  return true;
}

// The writes of one data source under the one lock. Nothing here logs (see
// DsnLock()); the mode is process-wide and reset by the installer, so it is
// set before every write.
bool WriteDsn(const std::string& name, const std::string& path) {
  std::lock_guard lock(DsnLock());
  SQLSetConfigMode(ODBC_SYSTEM_DSN);
  // Writes the section afresh with its Driver line.
  if (!SQLWriteDSNToIni(name.c_str(), kDriverName)) return false;
  SQLSetConfigMode(ODBC_SYSTEM_DSN);
  if (!SQLWritePrivateProfileString(name.c_str(), "Database", path.c_str(), kDsnFile)) return false;
  for (const auto& [key, value] : kDsnSettings) {
    SQLSetConfigMode(ODBC_SYSTEM_DSN);
    if (!SQLWritePrivateProfileString(name.c_str(), key, value, kDsnFile)) return false;
  }
  return true;
}

// Database and Timeout of every data source of the system DSN file, read in
// one pass: a listing asks about each of its files, and the installer
// library would read and parse the whole file for every single question.
struct DsnEntry {
  std::string database, timeout;
};
std::map<std::string, DsnEntry> ReadDataSources() {
  const char* dir = std::getenv("ODBCSYSINI");
  std::string path = std::string(dir != nullptr ? dir : "/etc") + "/" + kDsnFile;
  std::map<std::string, DsnEntry> out;
  auto trim = [](std::string text) {
    std::size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return std::string();
    return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
  };
  std::lock_guard lock(DsnLock());
  std::ifstream in(path);
  DsnEntry* section = nullptr;
  for (std::string line; std::getline(in, line);) {
    line = trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      std::size_t end = line.find(']');
      section = end == std::string::npos ? nullptr : &out[line.substr(1, end - 1)];
      continue;
    }
    std::size_t equals = line.find('=');
    if (section == nullptr || equals == std::string::npos) continue;
    std::string key = trim(line.substr(0, equals));
    std::string value = trim(line.substr(equals + 1));
    if (strcasecmp(key.c_str(), "Database") == 0) section->database = value;
    if (strcasecmp(key.c_str(), "Timeout") == 0) section->timeout = value;
  }
  return out;
}

bool RemoveDsn(const std::string& name) {
  std::lock_guard lock(DsnLock());
  SQLSetConfigMode(ODBC_SYSTEM_DSN);
  return SQLRemoveDSNFromIni(name.c_str()) != 0;
}

// A database file travels with its write-ahead log: a WAL left beside a new
// copy would be replayed into it, and one left behind a copied file holds
// rows the copy lacks.
bool CopyDatabaseFile(const std::string& from, const std::string& to) {
  std::error_code ec;
  for (const char* suffix : {"-wal", "-shm"}) fs::remove(to + suffix, ec);
  if (!fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec) || ec) return false;
  if (fs::exists(from + "-wal", ec)) {
    fs::copy_file(from + "-wal", to + "-wal", fs::copy_options::overwrite_existing, ec);
    if (ec) return false;
  }
  return true;
}

int CreateFile(const std::string& name, const std::string& directory, std::mutex& lock, bool offline, int varNum) {
  if (CheckFileName(name, varNum) != RESULT_OK) return FORMAT_ERROR;
  std::string fileName = FileNameOf(name);
  std::string target = directory + MdbName(fileName);
  std::unique_lock guard(lock);
  std::error_code ec;
  fs::create_directories(directory, ec);  // an existing directory is no error
  if (!CopyDatabaseFile(Paths().databasePath + kTemplateFile, target)) {
    LogError(varNum, "File error",
             offline ? Format("File %s copy error when create", target.c_str()) : "Create new online file error");
    return COPY_FILE_ERROR;
  }
  if (CreateDSN(fileName, directory) != RESULT_OK) {
    if (offline) {
      LogError(varNum, "File error", Format("DSN %s error when create", fileName.c_str()));
    } else {
      LogError(varNum, "ODBC error", "Create new DSN error");
    }
    return CREATE_DSN_ERROR;
  }
  return RESULT_OK;
}

// Fills `result` with one zero-padded field per listed name; a listing
// without names is a single zero byte and length 0.
void PackNames(const std::vector<std::string>& names, std::size_t field, std::vector<std::uint8_t>& result,
               int& length) {
  if (names.empty()) {
    result.assign(1, 0);
    length = 0;
    return;
  }
  result.assign(names.size() * (field + 1), 0);
  for (std::size_t k = 0; k < names.size(); ++k) PutField(result.data() + k * field, field, names[k]);
  length = static_cast<int>(names.size() * field);
}

int ListFull(std::vector<std::uint8_t>& result, int& length, int varNum, const char* text) {
  LogError(varNum, "file error", text);
  result.clear();
  length = 0;
  return LIST_FULL;
}

ConnectionRecord* RecordForOperation(int operation, int varNum, const char** what) {
  Slot& slot = SlotAt(varNum);
  switch (operation) {
    case web::FILE_CREATE:
    case web::FILE_OPEN:
    case web::FILE_CLOSE:
      *what = "offline";
      return &slot.db[kOfflineDb];
    case web::ALL_DOWNLOAD_START:
    case web::ALL_DOWNLOAD_END:
      *what = "download";
      return &slot.db[kDownloadDb];
    case web::ALL_UPLOAD_START:
    case web::ALL_UPLOAD_END:
      *what = "upload";
      return &slot.db[kUploadDb];
    default:
      return nullptr;
  }
}

bool IsOpenOperation(int operation) {
  return operation == web::FILE_CREATE || operation == web::FILE_OPEN || operation == web::ALL_DOWNLOAD_START ||
         operation == web::ALL_UPLOAD_START;
}
bool IsCloseOperation(int operation) {
  return operation == web::FILE_CLOSE || operation == web::ALL_DOWNLOAD_END || operation == web::ALL_UPLOAD_END;
}

std::string ExecutableDirectory() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : self.parent_path().string();
}

// Starts Tabulon with every descriptor above the standard ones closed: the
// child must not hold COMM's sockets or database files open.
bool SpawnTabulon(const std::string& argument, pid_t& pid) {
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  std::string program = kTabulonProgram;
  char* argv[] = {program.data(), const_cast<char*>(argument.c_str()), nullptr};
  std::string beside = ExecutableDirectory() + "/" + kTabulonProgram;
  int rc = -1;
  if (!beside.empty() && access(beside.c_str(), X_OK) == 0) {
    rc = posix_spawn(&pid, beside.c_str(), &actions, nullptr, argv, environ);
  }
  if (rc != 0) rc = posix_spawnp(&pid, kTabulonProgram, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0;
}

}  // namespace

std::mutex& OfflineFileLock() {
  static std::mutex lock;
  return lock;
}

std::mutex& OnlineFileLock() {
  static std::mutex lock;
  return lock;
}

std::string FileNameOf(const std::string& name) {
  std::string out;
  TrimTextQuiet(out, NormaliseName(name));
  return out;
}

int CheckFileName(const std::string& name, int varNum) {
  if (IsSafeName(FileNameOf(name))) return RESULT_OK;
  LogError(varNum, "Message format error", Format("File name is not allowed:%s", name.c_str()));
  return FORMAT_ERROR;
}

std::string WorkDbName(int varNum) { return Format("%s_%d", "workDB", varNum); }

int CreateOfflineFile(const std::string& name, int varNum) {
  return CreateFile(name, Paths().offlineDatabasePath, OfflineFileLock(), true, varNum);
}

int CreateOnlineFile(const std::string& name, int varNum) {
  return CreateFile(name, Paths().onlineDatabasePath, OnlineFileLock(), false, varNum);
}

int CreateDSN(const std::string& name, const std::string& directory) {
  if (CheckFileName(name, kServerLog) != RESULT_OK) return FORMAT_ERROR;
  std::string fileName = FileNameOf(name);
  return WriteDsn(fileName, directory + MdbName(fileName)) ? RESULT_OK : CREATE_DSN_ERROR;
}

int DeleteDSN(const std::string& name, int varNum) {
  if (CheckFileName(name, varNum) != RESULT_OK) return FORMAT_ERROR;
  std::string fileName = FileNameOf(name);
  if (RemoveDsn(fileName)) return RESULT_OK;
  LogError(varNum, "ODBC error", Format("Delete DSN:DSN=%s error", fileName.c_str()));
  return DELETE_DSN_ERROR;
}

int DeleteDBFile(const std::string& name, const std::string& directory, int varNum) {
  if (CheckFileName(name, varNum) != RESULT_OK) return FORMAT_ERROR;
  std::string path = directory + MdbName(FileNameOf(name));
  std::error_code ec;
  if (!fs::remove(path, ec) || ec) {
    LogError(varNum, "File error", Format("File %s delete error", path.c_str()));
    return DELETE_FILE_ERROR;
  }
  // Only once the file is gone: its WAL may hold committed rows.
  for (const char* suffix : {"-wal", "-shm"}) fs::remove(path + suffix, ec);
  return RESULT_OK;
}

int FileExists(const std::string& name, const std::string& directory) {
  if (!IsSafeName(FileNameOf(name))) return 0;
  std::string wanted = MdbName(FileNameOf(name));
  for (const std::string& entry : ListDirectory(directory)) {
    if (entry == wanted) return 1;
  }
  return 0;
}

int ListOfflineFiles(std::vector<std::uint8_t>& result, int& length, int varNum) {
  const std::string& directory = Paths().offlineDatabasePath;
  std::vector<std::string> entries = ListDirectory(directory);
  if (entries.size() >= kMaxListEntries) return ListFull(result, length, varNum, "Offline file is reach MAX number");
  std::vector<std::string> names;
  for (const std::string& entry : entries) {
    if (entry.size() >= kOfflineNameLimit || !EndsWith(entry, kDatabaseExtension)) continue;
    std::string name = entry.substr(0, entry.size() - std::strlen(kDatabaseExtension));
    // A name no request could use again is not offered.
    if (IsSafeName(name) && FileNameOf(name) == name) names.push_back(name);
  }
  PackNames(names, kOfflineListField, result, length);
  std::map<std::string, DsnEntry> sources = ReadDataSources();
  for (const std::string& name : names) {
    auto found = sources.find(name);
    bool inPlace = found != sources.end() && found->second.database == directory + MdbName(name) &&
                   found->second.timeout == "5000";
    if (!inPlace) CreateDSN(name, directory);
  }
  return RESULT_OK;
}

int ListExcelFiles(std::vector<std::uint8_t>& result, int& length, int varNum) {
  std::vector<std::string> entries = ListDirectory(Paths().fileUserPath);
  if (entries.size() >= kMaxListEntries) return ListFull(result, length, varNum, "Excel file is reach MAX number");
  std::vector<std::string> names;
  for (const std::string& entry : entries) {
    if (entry.size() <= kMaxListedName && EndsWith(entry, kExcelExtension)) names.push_back(entry);
  }
  PackNames(names, kExcelListField, result, length);
  return RESULT_OK;
}

int DeleteOfflineFile(const std::string& name, int varNum) {
  const std::string& directory = Paths().offlineDatabasePath;
  if (DeleteDSN(name, varNum) != RESULT_OK) return DELETE_DSN_ERROR;
  if (DeleteDBFile(name, directory, varNum) == RESULT_OK) return RESULT_OK;
  if (CreateDSN(name, directory) != RESULT_OK) {
    LogError(varNum, "compansate operation error", Format("DSN %s error when create", name.c_str()));
    return CREATE_DSN_ERROR;
  }
  return DELETE_FILE_ERROR;
}

int openDbFile(const std::string& name, ConnectionRecord& record, int varNum) {
  if (CheckFileName(name, varNum) != RESULT_OK) return FORMAT_ERROR;
  int rc = ConnectDB(record, FileNameOf(name));
  if (rc == RESULT_OK) return RESULT_OK;
  LogError(varNum, "DB error", "Open DB file error");
  int closed = DisconnectDB(record, varNum);
  LogDBLinkChanged(varNum, "DisconnectDB",
                   closed == RESULT_OK ? "Disconnect 'openDbFile' DB success" : "Disconnect 'openDbFile' DB error");
  return rc;
}

int OpenWorkDB(const std::string& name, int varNum) { return openDbFile(name, SlotAt(varNum).db[kWorkDb], varNum); }

int CloseWorkDB(int varNum) {
  int closed = DisconnectDB(SlotAt(varNum).db[kWorkDb], varNum);
  LogDBLinkChanged(varNum, "DisconnectDB",
                   closed == RESULT_OK ? "Disconnect work DB success" : "Disconnect work DB error");
  std::string name = WorkDbName(varNum);
  if (DeleteDSN(name, varNum) != RESULT_OK) return DELETE_DSN_ERROR;
  const std::string& directory = Paths().onlineDatabasePath;
  if (DeleteDBFile(name, directory, varNum) != RESULT_OK) {
    LogError(varNum, "File error", Format("can not delete database file:%s", (directory + MdbName(name)).c_str()));
    Console("\nCan not delete database file");
  }
  return RESULT_OK;
}

int OpenUserDbFile(const std::string& name, int operation, const MissingTablesFinder& missingTables, int varNum) {
  if (CheckFileName(name, varNum) != RESULT_OK) return FORMAT_ERROR;
  const char* what = "";
  ConnectionRecord* record = IsOpenOperation(operation) ? RecordForOperation(operation, varNum, &what) : nullptr;
  if (record != nullptr) {
    int rc = openDbFile(name, *record, varNum);
    if (rc != RESULT_OK) return rc;
    PublishSlotFile(varNum, FileNameOf(name));
  }
  std::string path = Paths().offlineDatabasePath + MdbName(FileNameOf(name));
  // Tabulon opens the file afresh for each table; most files already have
  // them all, so only the missing ones are handed to it.
  std::vector<std::string> wanted(std::begin(kTablesAddedOnOpen), std::end(kTablesAddedOnOpen));
  for (const std::string& table : missingTables(path, wanted)) RunTabulon(path, table);
  return RESULT_OK;
}

int CloseDbFile(const std::string& /*name*/, int operation, int varNum) {
  const char* what = "";
  ConnectionRecord* record = IsCloseOperation(operation) ? RecordForOperation(operation, varNum, &what) : nullptr;
  if (record == nullptr) return RESULT_OK;
  int rc = DisconnectDB(*record, varNum);
  if (rc != RESULT_OK) return rc;
  LogDBLinkChanged(varNum, "DisconnectDB", Format("Disconnect %s DB success", what));
  PublishSlotFile(varNum, "");
  return RESULT_OK;
}

int RunTabulon(const std::string& path, const std::string& table) {
  pid_t pid = 0;
  if (!SpawnTabulon(path + "?" + table, pid)) {
    AppendLogFile(Format("%s...%s table create error\n", LocalTimeText().c_str(), table.c_str()));
    return 0;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return 1;
}

}  // namespace db
