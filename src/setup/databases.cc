#include "setup/databases.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <cstdio>
#include <system_error>

#include "setup/sql_target.h"

namespace setup {
namespace {

namespace fs = std::filesystem;

constexpr int kBusyTimeoutMs = 5000;

std::string Numbered(const std::string& prefix, int first, int last, const std::string& type) {
  std::string out;
  for (int i = first; i <= last; ++i) out += ", " + prefix + std::to_string(i) + " " + type;
  return out;
}

// Every column has a default, so that a row inserted with a few values has
// no NULL: COMM reads whole rows as texts and numbers.
const std::string kNumber = "integer DEFAULT 0";

std::string Text(int width) { return "varchar(" + std::to_string(width) + ") DEFAULT ''"; }

class SqliteFile : public SqlTarget {
 public:
  explicit SqliteFile(const std::string& path) {
    int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
      error_ = path + ": " + (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
      return;
    }
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  }
  SqliteFile(const SqliteFile&) = delete;
  SqliteFile& operator=(const SqliteFile&) = delete;
  ~SqliteFile() { sqlite3_close(db_); }

  bool ok() const { return error_.empty(); }
  void SetError(const std::string& error) override { error_ = error; }
  const std::string& error() const override { return error_; }

  bool Exec(const std::string& sql) override {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
    error_ = std::string(message ? message : "unknown error") + " in: " + sql.substr(0, 80);
    sqlite3_free(message);
    return false;
  }

  // WAL is a property of the file; the data sources' JournalMode only asks
  // for it at connect time and is skipped silently while the file is locked.
  bool UseWal() {
    sqlite3_stmt* stmt = nullptr;
    bool wal = false;
    if (sqlite3_prepare_v2(db_, "PRAGMA journal_mode=WAL", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      auto mode = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
      wal = mode != nullptr && std::string(mode) == "wal";
    }
    sqlite3_finalize(stmt);
    if (!wal) error_ = "could not switch to WAL journal mode";
    return wal;
  }

  // Runs a statement with text parameters; the number of rows it changed, or
  // -1 with error() set.
  int Run(const std::string& sql, const std::vector<std::string>& values) override {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      error_ = sqlite3_errmsg(db_);
      return -1;
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
      sqlite3_bind_text(stmt, static_cast<int>(i + 1), values[i].c_str(), -1, SQLITE_TRANSIENT);
    }
    int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) {
      error_ = sqlite3_errmsg(db_);
      return -1;
    }
    return sqlite3_changes(db_);
  }

 private:
  sqlite3* db_ = nullptr;
  std::string error_;
};

bool CreateTables(SqlTarget& file, const std::vector<std::string>& schema) {
  if (!file.Exec("BEGIN")) return false;
  for (const std::string& sql : schema) {
    if (!file.Exec(sql)) {
      file.Exec("ROLLBACK");
      return false;
    }
  }
  return file.Exec("COMMIT");
}

bool AddUser(SqlTarget& file, const std::string& id, const std::string& password) {
  int changed = file.Run("UPDATE userinfo SET user_pwd = ? WHERE user_id = ?", {password, id});
  if (changed != 0) return changed > 0;
  return file.Run("INSERT INTO userinfo (user_id, user_pwd, user_level) VALUES (?, ?, 0)", {id, password}) == 1;
}

int Fail(std::string& error, const std::string& path, const SqlTarget& file) {
  error = path + ": " + file.error();
  return 0;
}

std::string IntText(int value) { return std::to_string(value); }

// Rows go in many to a statement: a server answers every statement over the
// network, and one per row made a run take seconds.
constexpr std::size_t kRowsPerInsert = 100;

bool InsertRows(SqlTarget& file, const std::string& table, const std::string& columns,
                const std::vector<std::vector<std::string>>& rows) {
  for (std::size_t first = 0; first < rows.size(); first += kRowsPerInsert) {
    std::size_t last = std::min(rows.size(), first + kRowsPerInsert);
    std::string sql = "INSERT INTO " + table + " (" + columns + ") VALUES ";
    std::vector<std::string> values;
    for (std::size_t r = first; r < last; ++r) {
      sql += r == first ? "(" : ", (";
      for (std::size_t c = 0; c < rows[r].size(); ++c) sql += c == 0 ? "?" : ", ?";
      sql += ")";
      values.insert(values.end(), rows[r].begin(), rows[r].end());
    }
    if (file.Run(sql, values) != static_cast<int>(last - first)) return false;
  }
  return true;
}

// The rows the data set gives the info tables replace whatever a former run
// left there, in one transaction.
bool FillInfoTables(SqlTarget& file, const Dataset& dataset) {
  if (!file.Exec("BEGIN")) return false;
  bool ok = file.Exec("DELETE FROM TableVersion") && file.Exec("DELETE FROM Tablestrt") &&
            file.Exec("DELETE FROM TableLine");
  std::vector<std::vector<std::string>> versions;
  for (const VersionEntry& v : dataset.versions) {
    versions.push_back({IntText(static_cast<int>(versions.size()) + 1), IntText(v.version), v.name, IntText(v.keyLow),
                        IntText(v.keyHigh)});
  }
  ok = ok && InsertRows(file, "TableVersion", "tv_no, db_version, t_name, key_low, key_high", versions);
  std::vector<std::vector<std::string>> strt;
  for (const PgcEntry& pgc : dataset.pgcs) {
    for (const PgcRowLength& row : pgc.lengths) {
      strt.push_back({pgc.number, IntText(row.length), "PGC" + pgc.number, row.SystemMask(), row.CountryMask(),
                      row.VersionRange()});
    }
  }
  ok = ok && InsertRows(file, "Tablestrt", "pgcno, row_length, pgc_name, system_mask, country_mask, version_range",
                        strt);
  // Lines differ in their number of values: one statement per line length.
  std::map<std::size_t, std::vector<std::vector<std::string>>> lines;
  for (const LineEntry& line : dataset.lines) {
    char key[16];
    std::snprintf(key, sizeof key, "723%02d", line.key);
    std::vector<std::string> values = {key, IntText(static_cast<int>(line.d3.size()))};
    for (int value : line.d3) values.push_back(IntText(value));
    lines[line.d3.size()].push_back(values);
  }
  for (const auto& [count, rows] : lines) {
    std::string columns = "pgc_no, line_count";
    for (std::size_t i = 0; i < count; ++i) columns += ", value" + std::to_string(i + 1);
    ok = ok && InsertRows(file, "TableLine", columns, rows);
  }
  if (!ok) {
    std::string why = file.error();
    file.Exec("ROLLBACK");
    file.SetError(why);
    return false;
  }
  return file.Exec("COMMIT");
}

}  // namespace

std::vector<std::string> UserDatabaseSchema() {
  std::string userinfo = "CREATE TABLE IF NOT EXISTS userinfo (user_id varchar(16) NOT NULL PRIMARY KEY";
  userinfo += ", user_pwd " + Text(16) + ", ip " + Text(15) + ", session_id " + Text(32);
  userinfo += ", login_state " + kNumber + ", login_count " + kNumber + ", login_time " + Text(19);
  userinfo += ", connect_state " + kNumber + ", link_type " + kNumber + ", connect_time " + Text(19);
  userinfo += ", connect_offline " + Text(30);
  userinfo += Numbered("connect_info", 1, 48, kNumber);
  userinfo += ", user_level " + kNumber + ", name " + Text(30) + ", phone " + Text(30) + ", mobile " + Text(30);
  userinfo += ", address " + Text(60) + ", job " + Text(60) + ", email " + Text(30) + ")";

  std::string linkinfo = "CREATE TABLE IF NOT EXISTS linkinfo (link_type " + kNumber;
  linkinfo += Numbered("link_info", 1, 48, kNumber) + Numbered("link_name", 1, 20, kNumber) + ")";
  return {userinfo, linkinfo, UserInstanceTableStatement()};
}

std::string UserInstanceTableStatement() {
  return "CREATE TABLE IF NOT EXISTS user_instance (user_id varchar(16) NOT NULL PRIMARY KEY, instance_id " +
         Text(255) + ")";
}

std::string DbinfoTableStatement() {
  return "CREATE TABLE IF NOT EXISTS dbinfo (db_version " + kNumber + ", country_id " + kNumber + ", country_name " +
         Text(20) + ", system_id " + kNumber + ", system_name " + Text(20) + ", version_text " + Text(8) +
         Numbered("info", 1, 6, kNumber) + ")";
}

std::vector<std::string> InfoDatabaseSchema() {
  std::string version = "CREATE TABLE IF NOT EXISTS TableVersion (tv_no " + kNumber + ", db_version " + kNumber +
                        ", t_name " + Text(30) + ", t_date " + Text(19) + ", remark " + Text(60) + ", key_low " +
                        kNumber + ", key_high " + kNumber + ", reserve " + Text(30) + ")";
  std::string strt = "CREATE TABLE IF NOT EXISTS Tablestrt (pgcno " + kNumber + ", row_length " + kNumber +
                     ", pgc_name " + Text(60) + ", key_columns " + Text(60) + ", remark " + Text(60) +
                     ", system_mask " + Text(60) + ", country_mask " + Text(60) + ", version_range " + Text(10) +
                     Numbered("field", 1, 40, Text(60)) + ")";
  std::string line = "CREATE TABLE IF NOT EXISTS TableLine (pgc_no " + Text(10) + ", line_count " + kNumber +
                     ", line_name " + Text(30) + Numbered("value", 1, 33, Text(10)) + ")";
  return {version, strt, line, DbinfoTableStatement(),
          "CREATE INDEX IF NOT EXISTS tablestrt_pgcno ON Tablestrt (pgcno)"};
}

int PrepareUserTables(SqlTarget& target, const std::vector<std::pair<std::string, std::string>>& users,
                      const std::string& where, std::string& error) {
  if (!CreateTables(target, UserDatabaseSchema())) return Fail(error, where, target);
  for (const auto& [id, password] : users) {
    if (!AddUser(target, id, password)) return Fail(error, where, target);
  }
  return 1;
}

int PrepareInfoTables(SqlTarget& target, const Dataset& dataset, const std::string& where, std::string& error) {
  if (!CreateTables(target, InfoDatabaseSchema()) || !FillInfoTables(target, dataset)) {
    return Fail(error, where, target);
  }
  return 1;
}

int PrepareUserDatabase(const std::string& path, const std::vector<std::pair<std::string, std::string>>& users,
                        std::string& error) {
  SqliteFile file(path);
  if (!file.ok() || !file.UseWal()) return Fail(error, path, file);
  return PrepareUserTables(file, users, path, error);
}

int PrepareInfoDatabase(const std::string& path, const Dataset& dataset, std::string& error) {
  SqliteFile file(path);
  if (!file.ok() || !file.UseWal()) return Fail(error, path, file);
  return PrepareInfoTables(file, dataset, path, error);
}

std::string PgcTableStatement(const std::string& number, int width) {
  std::string sql = "CREATE TABLE IF NOT EXISTS PGC" + number + " (d1 " + kNumber;
  return sql + Numbered("d", 2, width, kNumber) + ")";
}

std::vector<std::string> TemplateSchema(const Dataset& dataset) {
  std::vector<std::string> schema;
  for (const PgcEntry& pgc : dataset.pgcs) schema.push_back(PgcTableStatement(pgc.number, pgc.Width()));
  schema.push_back(DbinfoTableStatement());
  return schema;
}

std::string TemplateTableStatement(const Dataset& dataset, const std::string& table) {
  std::string lower = table;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower == "dbinfo") return DbinfoTableStatement();
  if (lower.rfind("pgc", 0) != 0) return {};
  const PgcEntry* pgc = dataset.Find(lower.substr(3));
  return pgc == nullptr ? std::string() : PgcTableStatement(pgc->number, pgc->Width());
}

int BuildTemplate(const std::string& path, const Dataset& dataset, std::string& error) {
  // Built beside the target and renamed over it: COMM copies the template
  // whenever a slot goes online, and must never find half of one.
  std::string temporary = path + ".tmp" + std::to_string(getpid());
  std::error_code ec;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) fs::remove(temporary + suffix, ec);
  {
    SqliteFile file(temporary);
    if (!file.ok() || !file.UseWal() || !CreateTables(file, TemplateSchema(dataset))) {
      Fail(error, path, file);
      for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(temporary + suffix, ec);
      return 0;
    }
  }  // the last connection's close folds the WAL back into the file
  // A stale WAL beside the new file would be replayed into it.
  for (const char* suffix : {"-wal", "-shm"}) fs::remove(path + suffix, ec);
  fs::rename(temporary, path, ec);
  if (ec) {
    fs::remove(temporary, ec);
    error = "cannot write " + path;
    return 0;
  }
  return 1;
}

int AddMissingTable(const std::string& path, const std::string& table, const Dataset& dataset, std::string& error) {
  std::string sql = TemplateTableStatement(dataset, table);
  if (sql.empty()) {
    error = "no such table in the template: " + table;
    return 0;
  }
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    error = "no database file " + path;
    return 0;
  }
  SqliteFile file(path);
  // CREATE TABLE IF NOT EXISTS compares names without regard to case, as
  // every statement on these files does.
  if (!file.ok() || !file.Exec(sql)) return Fail(error, path, file);
  return 1;
}

std::vector<std::string> MissingTables(const std::string& path, const std::vector<std::string>& tables) {
  sqlite3* db = nullptr;
  sqlite3_stmt* stmt = nullptr;
  std::vector<std::string> missing;
  bool readable = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
                  sqlite3_busy_timeout(db, kBusyTimeoutMs) == SQLITE_OK &&
                  sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ? COLLATE NOCASE",
                                     -1, &stmt, nullptr) == SQLITE_OK;
  for (const std::string& table : tables) {
    bool present = false;
    if (readable) {
      sqlite3_reset(stmt);
      sqlite3_bind_text(stmt, 1, table.c_str(), -1, SQLITE_TRANSIENT);
      int rc = sqlite3_step(stmt);
      present = rc == SQLITE_ROW;
      readable = rc == SQLITE_ROW || rc == SQLITE_DONE;
    }
    if (!present) missing.push_back(table);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return missing;
}

void QuietSqliteStatistics() { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); }

}  // namespace setup
