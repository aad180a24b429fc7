#include "support/test_installation.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include "db/odbc.h"
#include "frame/log.h"
#include "setup/installation.h"

namespace testsupport {
namespace {

const std::vector<std::pair<std::string, std::string>> kUsers = {{"alice", "secret"}, {"bob", "pw"}};

TestInstallation* installation = nullptr;

[[noreturn]] void Abort(const std::string& why) {
  std::fprintf(stderr, "test installation: %s\n", why.c_str());
  std::abort();
}

// Left in place when TAVREL_KEEP_TEST_INSTALLATION is set, to read the logs.
void RemoveAtExit() {
  db::CloseUserAndInfoDB(kServerLog);
  if (std::getenv("TAVREL_KEEP_TEST_INSTALLATION") != nullptr) {
    std::fprintf(stderr, "test installation kept in %s\n", installation->dir.c_str());
    return;
  }
  std::error_code ec;
  std::filesystem::remove_all(installation->dir, ec);
}

TestInstallation* Provision() {
  std::error_code ec;
  std::string base = std::filesystem::temp_directory_path(ec).string();  // $TMPDIR, else /tmp
  if (ec) base = "/tmp";
  std::string directory = base + "/tavrel-test-XXXXXX";
  char* pattern = directory.data();
  if (mkdtemp(pattern) == nullptr) Abort("mkdtemp failed in " + base);
  SetupOptions options;
  options.dir = pattern;
  options.infoLevel = 9;
  options.users = kUsers;
  std::string error;
  if (ProvisionInstallation(options, error) != 1) Abort(error);

  InstallationPaths paths = PathsOf(pattern);
  auto* made = new TestInstallation{paths.dir, paths.commDir, paths.userDb, paths.infoDb};
  setenv("WEB_PATH", paths.webDir.c_str(), 1);
  setenv("ODBCSYSINI", paths.odbcDir.c_str(), 1);
  setenv("ODBCINI", paths.userIni.c_str(), 1);
  SetLogDirectory(paths.commDir + "/");
  SetInfoLevel(9);
  int rc = db::initDB();
  if (rc != 1) Abort("initDB returned " + std::to_string(rc));
  installation = made;
  std::atexit(RemoveAtExit);
  return made;
}

int AddRow(void* rows, int columns, char** values, char**) {
  auto& row = static_cast<SqlRows*>(rows)->emplace_back();
  for (int i = 0; i < columns; ++i) row.emplace_back(values[i] ? values[i] : "");
  return 0;
}

}  // namespace

const TestInstallation& SharedInstallation() {
  static TestInstallation* made = Provision();
  return *made;
}

SqlRows SqliteRows(const std::string& path, const std::string& sql) {
  SqlRows rows;
  sqlite3* db = nullptr;
  char* message = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK ||
      sqlite3_busy_timeout(db, 5000) != SQLITE_OK || sqlite3_exec(db, sql.c_str(), AddRow, &rows, &message) != SQLITE_OK)
    ADD_FAILURE() << path << ": " << sql.substr(0, 200) << ": " << (message ? message : sqlite3_errmsg(db));
  sqlite3_free(message);
  sqlite3_close(db);
  return rows;
}

void UserDbExec(const std::string& sql) { SqliteRows(SharedInstallation().userDbPath, sql); }
SqlRows UserDbQuery(const std::string& sql) { return SqliteRows(SharedInstallation().userDbPath, sql); }

std::string InstallationLog() {
  std::string text;
  for (const auto& entry : std::filesystem::directory_iterator(SharedInstallation().commDir))
    if (entry.path().filename().string().rfind("CommLog_", 0) == 0) {
      std::ifstream in(entry.path());
      text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  return text;
}

void ResetUserTables() {
  std::string sql = "BEGIN; DELETE FROM userinfo; DELETE FROM linkinfo;";
  for (const auto& [id, password] : kUsers) {
    sql += " INSERT INTO userinfo (user_id, user_pwd, user_level) VALUES ('" + id + "', '" + password + "', 0);";
  }
  UserDbExec(sql + " COMMIT;");
}

}  // namespace testsupport
