#include "setup/system_catalogue.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <memory>


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

std::string Text(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  return text ? reinterpret_cast<const char*>(text) : "";
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

bool ReadVersion(sqlite3* db, int key, SystemCatalogue& out) {
  Statement stmt = Prepare(db, "SELECT db_version, t_name, key_low, key_high FROM TableVersion ORDER BY rowid");
  if (!stmt) return false;
  bool any = false;
  while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
    any = true;
    out.version = sqlite3_column_int(stmt.get(), 0);
    out.versionName = Text(stmt.get(), 1);
    if (sqlite3_column_int(stmt.get(), 2) <= key && key <= sqlite3_column_int(stmt.get(), 3)) return true;
  }
  if (!any) return false;
  // A system newer than every row is taken as the version after the last one.
  ++out.version;
  out.versionName.clear();
  return true;
}

}  // namespace

int ReadSystemCatalogue(const std::string& infoDbPath, int systemId, int countryId, int tMajor, int tMinor,
                        SystemCatalogue& out, std::string& error) {
  out = SystemCatalogue{};
  Database db = OpenReadOnly(infoDbPath);
  if (!db) {
    error = "cannot open " + infoDbPath;
    return 0;
  }
  if (!ReadVersion(db.get(), tMajor * 100 + tMinor, out)) {
    error = "no TableVersion rows in " + infoDbPath;
    return 0;
  }
  Statement stmt =
      Prepare(db.get(), "SELECT pgcno, system_mask, country_mask, version_range FROM Tablestrt ORDER BY rowid");
  if (!stmt) {
    error = "cannot read Tablestrt in " + infoDbPath + ": " + sqlite3_errmsg(db.get());
    return 0;
  }
  while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
    std::string pgc = Text(stmt.get(), 0);
    if (!MaskAccepts(Text(stmt.get(), 1), systemId) || !MaskAccepts(Text(stmt.get(), 2), countryId + 1) ||
        !VersionInRange(Text(stmt.get(), 3), out.version))
      continue;
    if (std::find(out.pgcs.begin(), out.pgcs.end(), pgc) == out.pgcs.end()) out.pgcs.push_back(pgc);
  }
  return 1;
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
