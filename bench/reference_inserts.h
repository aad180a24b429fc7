#pragma once
// The two references a benchmark that stores PGC rows is measured against,
// both writing into a fresh copy of the installation's template database:
//   floor  the literal insert statements COMM itself runs, each committed
//          through ODBC on a data source registered with the installation's
//          options
//   limit  the same rows through one prepared statement per table, all in
//          one transaction, straight through SQLite
#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "db/files.h"
#include "db/odbc.h"
#include "frame/log.h"
#include "support/comm_server.h"

namespace benchref {

// Whole rows of one PGC table.
struct TableRows {
  std::string table;  // "PGC500"
  int rowLength = 0;
  std::vector<std::uint8_t> rows;

  std::size_t count() const { return rowLength > 0 ? rows.size() / static_cast<std::size_t>(rowLength) : 0; }
};

inline std::size_t RowCount(const std::vector<TableRows>& tables) {
  std::size_t n = 0;
  for (const TableRows& t : tables) n += t.count();
  return n;
}

inline double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The statement as COMM builds it: "insert into PGC724 ( d1, d2 ) values ( 1, 2 )".
inline std::string InsertSql(const std::string& table, const std::uint8_t* row, int rowLength) {
  std::string sql = "insert into " + table + " ( ";
  for (int c = 1; c <= rowLength; ++c) sql += "d" + std::to_string(c) + (c < rowLength ? ", " : " ) values ( ");
  for (int c = 0; c < rowLength; ++c) sql += std::to_string(row[c]) + (c + 1 < rowLength ? ", " : " )");
  return sql;
}

// A fresh copy of the template in DB_USER, "<name>.mdb"; its path.
inline std::string TemplateCopy(const testsupport::CommServer& server, const std::string& name) {
  std::string path = server.commDir() + "/DB_USER/" + name + ".mdb";
  std::filesystem::copy_file(server.commDir() + "/DB_WEB/WebInit.mdb", path,
                             std::filesystem::copy_options::overwrite_existing);
  return path;
}

// Points this process's ODBC and log at the installation, as the server sees them.
inline void UseInstallation(const testsupport::CommServer& server) {
  std::ifstream env(server.dir() + "/env");
  for (std::string line; std::getline(env, line);) {
    auto eq = line.find('=');
    if (eq != std::string::npos) setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
  }
  SetLogDirectory(server.commDir() + "/");
  SetInfoLevel(0);
}

// The floor; seconds, or -1 when the data source could not be used. The
// statements are built before the clock starts.
inline double OdbcLiteralInserts(const testsupport::CommServer& server, const std::vector<TableRows>& tables,
                                 const std::string& name = "benchref") {
  UseInstallation(server);
  std::string path = TemplateCopy(server, name);
  db::CreateDSN(name, server.commDir() + "/DB_USER/");
  std::vector<std::string> statements;
  for (const TableRows& t : tables)
    for (std::size_t at = 0; at < t.rows.size(); at += static_cast<std::size_t>(t.rowLength))
      statements.push_back(InsertSql(t.table, &t.rows[at], t.rowLength));
  db::ConnectionRecord record;
  if (db::ConnectDB(record, name) != 1) return -1;
  auto start = std::chrono::steady_clock::now();
  for (const std::string& sql : statements) db::ExecuteSQL(record, sql, 0);
  double s = Seconds(std::chrono::steady_clock::now() - start);
  db::DisconnectDB(record, 0);
  return s;
}

// The limit; seconds.
inline double SqlitePrepared(const testsupport::CommServer& server, const std::vector<TableRows>& tables,
                             const std::string& name = "benchlimit") {
  std::string path = TemplateCopy(server, name);
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
  auto start = std::chrono::steady_clock::now();
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  for (const TableRows& t : tables) {
    std::string sql = "insert into " + t.table + " ( ";
    for (int c = 1; c <= t.rowLength; ++c) sql += "d" + std::to_string(c) + (c < t.rowLength ? ", " : " ) values ( ");
    for (int c = 1; c <= t.rowLength; ++c) sql += c < t.rowLength ? "?, " : "? )";
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
    for (std::size_t at = 0; at < t.rows.size(); at += static_cast<std::size_t>(t.rowLength)) {
      for (int c = 0; c < t.rowLength; ++c) sqlite3_bind_int(stmt, c + 1, t.rows[at + c]);
      sqlite3_step(stmt);
      sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  double s = Seconds(std::chrono::steady_clock::now() - start);
  sqlite3_close(db);
  return s;
}

}  // namespace benchref
