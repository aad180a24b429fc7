#pragma once
// The tables an installation's catalogue (the info database's TableVersion
// and Tablestrt) lists for one system, and the row counts of a database
// file: what tavrel-web needs to back a whole system up and restore it.
// Read-only; the databases may be open in COMM at the same time.
#include <cstdint>
#include <string>
#include <vector>

namespace setup {

struct SystemCatalogue {
  int version = 0;                  // the database version of the system's key
  std::string versionName;          // TableVersion's t_name of that version
  std::vector<std::string> pgcs;    // PGC numbers with a row length for the system, in data set order
};

// Sets ODBCSYSINI and ODBCINI from the installation's env file, as COMM
// runs with them, so that the data source names are the installation's.
// False with `error` set when the file lacks either.
bool UseInstallationDataSources(const std::string& envFile, std::string& error);

// system, country, t_major and t_minor as the system reports them, read
// through the data source WebInfo (a file or a database server alike). The
// version is the TableVersion row (by tv_no) whose key range holds t_major
// followed by t_minor in two digits; past the last range, the last version
// plus 1. A PGC is listed when one of its Tablestrt rows accepts the system,
// the country and the version. 1; 0 with `error` set.
int ReadSystemCatalogue(int systemId, int countryId, int tMajor, int tMinor, SystemCatalogue& out,
                        std::string& error);

// The number of rows of `table` in the database file; -1 when it cannot be read.
long long CountTableRows(const std::string& path, const std::string& table);

}  // namespace setup
