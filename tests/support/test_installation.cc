#include "support/test_installation.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

// The test's own connection to the user database file.
class UserFile {
 public:
  UserFile() {
    if (sqlite3_open_v2(SharedInstallation().userDbPath.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << "cannot open the user database: " << sqlite3_errmsg(db_);
    }
    sqlite3_busy_timeout(db_, 5000);
  }
  ~UserFile() { sqlite3_close(db_); }
  sqlite3* get() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace

const TestInstallation& SharedInstallation() {
  static TestInstallation* made = Provision();
  return *made;
}

void UserDbExec(const std::string& sql) {
  UserFile file;
  char* message = nullptr;
  if (sqlite3_exec(file.get(), sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    ADD_FAILURE() << "UserDbExec(" << sql << "): " << (message ? message : "?");
  }
  sqlite3_free(message);
}

std::vector<std::vector<std::string>> UserDbQuery(const std::string& sql) {
  UserFile file;
  std::vector<std::vector<std::string>> rows;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(file.get(), sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << "UserDbQuery(" << sql << "): " << sqlite3_errmsg(file.get());
    return rows;
  }
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    std::vector<std::string>& row = rows.emplace_back();
    for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
      auto text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
      row.emplace_back(text ? text : "");
    }
  }
  if (rc != SQLITE_DONE) ADD_FAILURE() << "UserDbQuery(" << sql << "): " << sqlite3_errmsg(file.get());
  sqlite3_finalize(stmt);
  return rows;
}

void ResetUserTables() {
  std::string sql = "BEGIN; DELETE FROM userinfo; DELETE FROM linkinfo;";
  for (const auto& [id, password] : kUsers) {
    sql += " INSERT INTO userinfo (user_id, user_pwd, user_level) VALUES ('" + id + "', '" + password + "', 0);";
  }
  UserDbExec(sql + " COMMIT;");
}

}  // namespace testsupport
