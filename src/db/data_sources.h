#pragma once
// The system data source file ($ODBCSYSINI/odbc.ini, /etc/odbc.ini without
// it), which COMM writes itself instead of through the ODBC installer: the
// installer rewrites the whole file once per key, in place, so a data source
// of five keys cost five rewrites and a reader could meet a truncated file.
// Here every change is one read, one write of a temporary file beside it
// and one rename over it, so a reader (a connect by name, in this process or
// another) sees either the old or the new file, never half of one.
//
// Every rewrite holds DsnLock() against the other threads of this process
// and an advisory lock (flock) on the file's directory against other
// processes that rewrite it: a second COMM on the same file, tavrel-setup.
// Sections are written the way the installer writes them ("[name]",
// "Key=Value" lines, a blank line after each); section names compare without
// case, as the driver manager looks them up. Every other line of the file
// stays as it was.
#include <map>
#include <string>
#include <vector>

namespace db {

struct DataSource {
  std::string name;
  std::string database;  // the file's path
};

std::string DataSourceFilePath();

// Adds or replaces the section of each source in one rewrite. False when the
// file could not be written (nothing changed then).
bool RegisterDataSources(const std::vector<DataSource>& sources);
// Removes every section of that name (none is no failure). False when the
// file could not be written.
bool RemoveDataSource(const std::string& name);

// The Database of the first section of that name (any case), as the driver
// manager would find it; false when there is none or it names no file.
bool FindDataSource(const std::string& name, std::string& database);

// The attributes of the source's section as a connection string, for a
// connect that looks nothing up: for a connect by name the driver manager
// reads the whole data source file dozens of times, under a lock of its own
// that every other connect waits for, so a connect by name costs time in
// proportion to the number of registered files. NoCreat: a file that is
// missing fails the connect instead of being made empty. "" when the path
// cannot be carried in a connection string.
std::string ConnectionString(const DataSource& source);

// Database and Timeout of every section, read in one pass (by the section
// name as written).
struct DataSourceEntry {
  std::string database, timeout;
};
std::map<std::string, DataSourceEntry> ReadDataSources();

// The cross-process lock of the data source file, for a program that writes
// the file by other means (tavrel-setup). Not to be taken under DsnLock().
class DataSourceFileLock {
 public:
  explicit DataSourceFileLock(const std::string& dsnFile);
  ~DataSourceFileLock();
  DataSourceFileLock(const DataSourceFileLock&) = delete;
  DataSourceFileLock& operator=(const DataSourceFileLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace db
