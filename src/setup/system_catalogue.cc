#include "setup/system_catalogue.h"

#include <sqlite3.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>

#include "db/driver_connection.h"
#include "db/odbc.h"
#include "setup/dataset.h"
#include "setup/installation.h"

namespace setup {
namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr int kRangeDigits = 5;

struct Closer {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct Finalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Database = std::unique_ptr<sqlite3, Closer>;
using Statement = std::unique_ptr<sqlite3_stmt, Finalizer>;

Database OpenReadOnly(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  return Database(db);
}

Statement Prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) return nullptr;
  return Statement(stmt);
}

bool MaskAccepts(const std::string& mask, int position) {
  return position >= 1 && static_cast<std::size_t>(position) <= mask.size() && mask[position - 1] == '1';
}

bool VersionInRange(const std::string& range, int version) {
  if (range.size() < 2 * kRangeDigits) return false;
  int low = std::atoi(range.substr(0, kRangeDigits).c_str());
  int high = std::atoi(range.substr(kRangeDigits, kRangeDigits).c_str());
  return low <= version && version <= high;
}

// TableVersion is walked by tv_no, the data set's order, as COMM walks it.
bool ReadVersion(db::DriverConnection& info, int key, SystemCatalogue& out) {
  std::vector<std::vector<std::string>> rows;
  if (!info.Select("SELECT db_version, t_name, key_low, key_high FROM TableVersion ORDER BY tv_no", 4, rows) ||
      rows.empty())
    return false;
  for (const std::vector<std::string>& row : rows) {
    out.version = std::atoi(row[0].c_str());
    out.versionName = row[1];
    if (std::atoi(row[2].c_str()) <= key && key <= std::atoi(row[3].c_str())) return true;
  }
  // A system newer than every row is taken as the version after the last one.
  ++out.version;
  out.versionName.clear();
  return true;
}

// Puts the PGCs into the order of the data set the installation was made
// from; those it does not know go after those it does, as they came.
void SortByDataset(std::vector<std::string>& pgcs) {
  std::map<std::string, std::size_t> position;
  for (const PgcEntry& entry : DefaultDataset().pgcs) position.emplace(entry.number, position.size());
  auto at = [&](const std::string& pgc) {
    auto found = position.find(pgc);
    return found == position.end() ? position.size() : found->second;
  };
  std::stable_sort(pgcs.begin(), pgcs.end(), [&](const std::string& a, const std::string& b) { return at(a) < at(b); });
}

}  // namespace

int ReadSystemCatalogue(int systemId, int countryId, int tMajor, int tMinor, SystemCatalogue& out,
                        std::string& error) {
  out = SystemCatalogue{};
  db::DriverConnection info(std::string("DSN=") + db::kInfoDsn + ";");
  if (!info.ok()) {
    error = std::string("data source ") + db::kInfoDsn + ": " + info.error();
    return 0;
  }
  if (!ReadVersion(info, tMajor * 100 + tMinor, out)) {
    error = info.error().empty() ? std::string("no TableVersion rows in ") + db::kInfoDsn
                                 : "cannot read TableVersion: " + info.error();
    return 0;
  }
  // A server keeps no insertion order: the rows come by PGC number and the
  // PGCs are put back into the data set's order, the order a file made by
  // tavrel-setup holds them in.
  std::vector<std::vector<std::string>> rows;
  if (!info.Select("SELECT pgcno, system_mask, country_mask, version_range FROM Tablestrt ORDER BY pgcno", 4,
                   rows)) {
    error = "cannot read Tablestrt: " + info.error();
    return 0;
  }
  for (const std::vector<std::string>& row : rows) {
    const std::string& pgc = row[0];
    if (!MaskAccepts(row[1], systemId) || !MaskAccepts(row[2], countryId + 1) || !VersionInRange(row[3], out.version))
      continue;
    if (std::find(out.pgcs.begin(), out.pgcs.end(), pgc) == out.pgcs.end()) out.pgcs.push_back(pgc);
  }
  SortByDataset(out.pgcs);
  return 1;
}

bool UseInstallationDataSources(const std::string& envFile, std::string& error) {
  for (const char* name : {"ODBCSYSINI", "ODBCINI"}) {
    std::string value = EnvValue(envFile, name);
    if (value.empty()) {
      error = envFile + " names no " + name;
      return false;
    }
    ::setenv(name, value.c_str(), 1);
  }
  return true;
}

long long CountTableRows(const std::string& path, const std::string& table) {
  Database db = OpenReadOnly(path);
  if (!db) return -1;
  std::string quoted;
  for (char c : table) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  Statement stmt = Prepare(db.get(), "SELECT count(*) FROM \"" + quoted + "\"");
  if (!stmt || sqlite3_step(stmt.get()) != SQLITE_ROW) return -1;
  return sqlite3_column_int64(stmt.get(), 0);
}

}  // namespace setup
