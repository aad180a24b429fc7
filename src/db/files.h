#pragma once
// Database files and their data sources. Every database COMM works on is a
// copy of the template "WebInit.mdb" in DB_WEB, named "<name>.mdb" and
// reached through a system data source of the same name:
//   DB_WEB/   the template and the work databases of online slots
//             ("workDB_<slot>")
//   DB_USER/  offline, download and upload files
//   FILE_USER/ spreadsheet files (".xls") offered to the web
//
// Names that come from web requests pass CheckFileName before anything
// changes; every operation here that takes such a name refuses a bad one with
// 170, so no request can create, open or delete a file outside DB_USER and
// DB_WEB.
//
// Locking: file creation holds no lock of its own: a new file is copied under
// a private name and put in place in one step (see CreateNewOfflineFile for
// how two creations of one name are kept apart). Every write of the data
// source file takes db::DsnLock() (see db/data_sources.h). Per-slot
// connection records are used only by the thread serving the slot.
//
// Data source names compare without case, so the names of offline files
// (DB_USER) must neither differ from another's only in case nor be one of
// COMM's own data sources (WebUser, WebInfo, workDB_<slot>, the driver
// manager's sections): such a file would take over the other's data source.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "frame/connection_record.h"
#include "frame/result_codes.h"

namespace db {

constexpr std::size_t kMaxFileNameLength = 30;   // 30-character fields, 31 bytes with the zero
constexpr std::size_t kMaxListEntries = 800;     // a listing this full is refused (187)
constexpr std::size_t kOfflineListField = 30;    // one name in the offline file list
constexpr std::size_t kExcelListField = 240;     // one name in the spreadsheet list
constexpr std::size_t kMaxDeleteNames = 8;       // 30-byte name fields in 240 data bytes
constexpr const char* kTemplateFile = "WebInit.mdb";
constexpr const char* kDatabaseExtension = ".mdb";
constexpr const char* kExcelExtension = ".xls";
constexpr const char* kTabulonProgram = "Tabulon";

// The tables OpenUserDbFile makes sure of in a file made by an older template.
extern const char* const kTablesAddedOnOpen[13];

// 1 when `name` (already normalised and trimmed by the caller or not) may be
// used as a file and data source name: after normalising and trimming it is
// 1 to 30 characters, not "." or "..", and holds no "/", "\", zero byte,
// control character or a character the data source file cannot carry in a
// section name. Otherwise logs and returns 170.
int CheckFileName(const std::string& name, int varNum);
// The form in which a name is used for both the file and its data source:
// bytes 1..9 turned into digits, then trimmed.
std::string FileNameOf(const std::string& name);

// "workDB_<slot>".
std::string WorkDbName(int varNum);

// A file of that name is replaced by the empty template (181 when one exists
// whose name differs only in case).
int CreateOfflineFile(const std::string& name, int varNum);  // 1; 170; 178; 181; 182
// As CreateOfflineFile, but a file that exists (checked in the same step that
// puts the new one in place) is left alone and refused with 181; of two
// requests creating one name at once, one gets 181. A failure leaves no file.
int CreateNewOfflineFile(const std::string& name, int varNum);  // 1; 170; 178; 181; 182
int CreateOnlineFile(const std::string& name, int varNum);      // 1; 170; 178; 182
// Registers the system data source `name` for "<directory><name>.mdb";
// `directory` ends in "/". 1; 182 (170 for a bad name, logged).
int CreateDSN(const std::string& name, const std::string& directory);
int DeleteDSN(const std::string& name, int varNum);                                 // 1; 170; 179
int DeleteDBFile(const std::string& name, const std::string& directory, int varNum);  // 1; 170; 180
// 1 when "<name>.mdb" is an entry of `directory` (case-sensitive), else 0.
int FileExists(const std::string& name, const std::string& directory);

// The web's lists. `result` is replaced; `length` is the number of bytes the
// reply carries (0 with a one-byte buffer holding 0 when there is no file).
int ListOfflineFiles(std::vector<std::uint8_t>& result, int& length, int varNum);  // 1; 187
int ListExcelFiles(std::vector<std::uint8_t>& result, int& length, int varNum);    // 1; 187

// Removes an offline file and its data source; when the file cannot be
// deleted the data source is registered again. The caller has checked that
// the file exists and nobody works on it. 1; 179; 180; 182.
int DeleteOfflineFile(const std::string& name, int varNum);

int OpenWorkDB(const std::string& name, int varNum);  // 1; 170; 215
int CloseWorkDB(int varNum);                           // 1; 179
// Operation codes are the control request numbers (web::ControlId):
// FILE_CREATE, FILE_OPEN (offline), ALL_DOWNLOAD_START, ALL_UPLOAD_START open;
// FILE_CLOSE, ALL_DOWNLOAD_END, ALL_UPLOAD_END close.
// `missingTables` names those of the tables given that the file at the path
// lacks (the database files are read through ODBC only, so the caller that may
// look into the file supplies it).
using MissingTablesFinder =
    std::function<std::vector<std::string>(const std::string& path, const std::vector<std::string>& tables)>;
int OpenUserDbFile(const std::string& name, int operation, const MissingTablesFinder& missingTables,
                   int varNum);  // 1; 170; 215
int CloseDbFile(const std::string& name, int operation, int varNum);     // 1 or a DisconnectDB code
// Connects `record` to the data source of `name`: the file its section names,
// with the attributes COMM registers (see db::ConnectionString). No data
// source, or a file that is not there, fails. 1; 170; 215.
int openDbFile(const std::string& name, ConnectionRecord& record, int varNum);

// Runs "Tabulon <path>?<table>" and waits for it: 1 when it ran (its exit
// code is not examined), 0 when it could not be started.
int RunTabulon(const std::string& path, const std::string& table);

}  // namespace db
