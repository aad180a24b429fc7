#include "db/files.h"

#include <fcntl.h>
#include <strings.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>

#include "db/data_sources.h"
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

constexpr const char* kWorkDbPrefix = "workDB_";
constexpr std::size_t kMaxListedName = 240;     // a listing slot holds 240 characters
constexpr std::size_t kOfflineNameLimit = 35;   // offline entries must be shorter than this
// Characters the installer refuses in a data source name, or that would end
// a section header of the data source file early.
constexpr std::string_view kBadNameCharacters = "/\\[]{}(),;?*=!@";

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

// A name that would take over a data source COMM keeps for itself: the
// user and info databases, a slot's work database, the driver manager's own
// sections. Data source names compare without case.
bool IsReservedName(const std::string& name) {
  for (const char* reserved : {"WebUser", "WebInfo", "ODBC", "ODBC Data Sources", "Default"}) {
    if (strcasecmp(name.c_str(), reserved) == 0) return true;
  }
  return strncasecmp(name.c_str(), kWorkDbPrefix, std::strlen(kWorkDbPrefix)) == 0;
}

// An offline file's name: a plain file name that no data source of COMM's
// own uses. 1 or 170 (logged).
int CheckOfflineName(const std::string& name, int varNum) {
  if (CheckFileName(name, varNum) != RESULT_OK) return FORMAT_ERROR;
  if (!IsReservedName(FileNameOf(name))) return RESULT_OK;
  LogError(varNum, "Message format error", Format("File name is not allowed:%s", name.c_str()));
  return FORMAT_ERROR;
}

// Another entry of the directory whose name differs from `entry` only in
// case: its data source would be the same one.
bool HasCaseTwin(const std::string& directory, const std::string& entry) {
  for (const std::string& other : ListDirectory(directory)) {
    if (other != entry && strcasecmp(other.c_str(), entry.c_str()) == 0) return true;
  }
  return false;
}

void RemoveDatabaseFile(const std::string& path) {
  std::error_code ec;
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path + suffix, ec);
}

enum class IfExists { kReplace, kRefuse };

// Puts a copy of the template at `target`. The copy is made under a name of
// its own beside the target (no listing shows it) and then put in place in
// one step, so that no lock is held while the file is copied: with kRefuse
// by a hard link, which fails when the name is taken, so that of two
// requests creating one name only one succeeds; with kReplace by a rename
// over the old file. A database file travels with its write-ahead log: a
// WAL left beside a new copy would be replayed into it.
// 1; 178 (copy failed); 181 (kRefuse and the name is taken).
int InstallTemplateCopy(const std::string& target, IfExists ifExists) {
  static std::atomic<unsigned> counter{0};
  std::string from = Paths().databasePath + kTemplateFile;
  std::string copy = target + ".new" + std::to_string(getpid()) + "_" + std::to_string(counter.fetch_add(1));
  std::error_code ec;
  if (!fs::copy_file(from, copy, fs::copy_options::overwrite_existing, ec) || ec) {
    fs::remove(copy, ec);
    return COPY_FILE_ERROR;
  }
  if (ifExists == IfExists::kRefuse) {
    bool taken = link(copy.c_str(), target.c_str()) != 0;
    int error = errno;
    fs::remove(copy, ec);
    if (taken) return error == EEXIST ? FILE_EXIST_ERROR : COPY_FILE_ERROR;
    // The name is ours now; a WAL still beside it is a deleted file's.
    for (const char* suffix : {"-wal", "-shm"}) fs::remove(target + suffix, ec);
  } else {
    for (const char* suffix : {"-wal", "-shm"}) fs::remove(target + suffix, ec);
    if (rename(copy.c_str(), target.c_str()) != 0) {
      fs::remove(copy, ec);
      return COPY_FILE_ERROR;
    }
  }
  if (fs::exists(from + "-wal", ec)) {
    fs::copy_file(from + "-wal", target + "-wal", fs::copy_options::overwrite_existing, ec);
    if (ec) {
      RemoveDatabaseFile(target);  // a copy without its WAL lacks rows
      return COPY_FILE_ERROR;
    }
  }
  return RESULT_OK;
}

int CreateFile(const std::string& name, const std::string& directory, IfExists ifExists, bool offline, int varNum) {
  std::string fileName = FileNameOf(name);
  std::string target = directory + MdbName(fileName);
  std::error_code ec;
  fs::create_directories(directory, ec);  // an existing directory is no error
  if (ifExists == IfExists::kReplace && HasCaseTwin(directory, MdbName(fileName))) {
    LogError(varNum, "File error", Format("File %s exists in another case", target.c_str()));
    return FILE_EXIST_ERROR;
  }
  int rc = InstallTemplateCopy(target, ifExists);
  if (rc == RESULT_OK && ifExists == IfExists::kRefuse && HasCaseTwin(directory, MdbName(fileName))) {
    RemoveDatabaseFile(target);
    rc = FILE_EXIST_ERROR;
  }
  if (rc == FILE_EXIST_ERROR) {
    LogError(varNum, "File error", Format("File %s exists", target.c_str()));
    return rc;
  }
  if (rc != RESULT_OK) {
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
    if (ifExists == IfExists::kRefuse) RemoveDatabaseFile(target);  // what this request made
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

std::string WorkDbName(int varNum) { return kWorkDbPrefix + std::to_string(varNum); }

int CreateOfflineFile(const std::string& name, int varNum) {
  if (CheckOfflineName(name, varNum) != RESULT_OK) return FORMAT_ERROR;
  return CreateFile(name, Paths().offlineDatabasePath, IfExists::kReplace, true, varNum);
}

int CreateNewOfflineFile(const std::string& name, int varNum) {
  if (CheckOfflineName(name, varNum) != RESULT_OK) return FORMAT_ERROR;
  return CreateFile(name, Paths().offlineDatabasePath, IfExists::kRefuse, true, varNum);
}

int CreateOnlineFile(const std::string& name, int varNum) {
  if (CheckFileName(name, varNum) != RESULT_OK) return FORMAT_ERROR;
  return CreateFile(name, Paths().onlineDatabasePath, IfExists::kReplace, false, varNum);
}

int CreateDSN(const std::string& name, const std::string& directory) {
  if (CheckFileName(name, kServerLog) != RESULT_OK) return FORMAT_ERROR;
  std::string fileName = FileNameOf(name);
  return RegisterDataSources({{fileName, directory + MdbName(fileName)}}) ? RESULT_OK : CREATE_DSN_ERROR;
}

int DeleteDSN(const std::string& name, int varNum) {
  if (CheckFileName(name, varNum) != RESULT_OK) return FORMAT_ERROR;
  std::string fileName = FileNameOf(name);
  if (RemoveDataSource(fileName)) return RESULT_OK;
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
    if (IsSafeName(name) && FileNameOf(name) == name && !IsReservedName(name)) names.push_back(name);
  }
  PackNames(names, kOfflineListField, result, length);
  // One read of the data sources, and one write for all that are missing or
  // point elsewhere: the cost stays linear in the files.
  std::map<std::string, DataSourceEntry> sources = ReadDataSources();
  std::vector<DataSource> missing;
  for (const std::string& name : names) {
    auto found = sources.find(name);
    bool inPlace = found != sources.end() && found->second.database == directory + MdbName(name) &&
                   found->second.timeout == "5000";
    if (!inPlace) missing.push_back({name, directory + MdbName(name)});
  }
  RegisterDataSources(missing);  // failures here are ignored
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
  if (CheckOfflineName(name, varNum) != RESULT_OK) return FORMAT_ERROR;
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
  std::string fileName = FileNameOf(name);
  // The data source is looked up here, once, and the file connected with its
  // attributes; without one the connect by name fails as it always did.
  std::string database, connection;
  if (FindDataSource(fileName, database)) connection = ConnectionString({fileName, database});
  int rc = ConnectDB(record, fileName, connection);
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
  if (CheckOfflineName(name, varNum) != RESULT_OK) return FORMAT_ERROR;
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
