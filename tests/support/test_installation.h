#pragma once
// A provisioned installation for unit tests that need the real ODBC stack.
// One per test process: the driver manager caches data source lookups by
// name, so a process must not switch installations under the same names.
#include <string>
#include <vector>

namespace testsupport {

struct TestInstallation {
  std::string dir;      // the installation directory (tavrel-setup layout)
  std::string commDir;  // dir/comm, COMM's working directory
  std::string userDbPath;
  std::string infoDbPath;
};

// Provisions (once) a fresh installation in a temporary directory with the
// users "alice" (password "secret") and "bob" (password "pw"), exports
// WEB_PATH, ODBCSYSINI and ODBCINI to this process, makes commDir the log
// directory and opens the user and info connections (initDB).
const TestInstallation& SharedInstallation();

using SqlRows = std::vector<std::vector<std::string>>;

// Runs the statements of `sql` on the SQLite file at `path`, bypassing the
// code under test; the rows they give, NULL as "". A failure fails the test.
SqlRows SqliteRows(const std::string& path, const std::string& sql);
// The same on the user database file, for arranging and checking rows.
void UserDbExec(const std::string& sql);
SqlRows UserDbQuery(const std::string& sql);
// Deletes every row of userinfo and linkinfo and inserts alice and bob again.
void ResetUserTables();
// Everything the log files of the installation hold so far, whichever test
// wrote it.
std::string InstallationLog();

}  // namespace testsupport
