#pragma once
// The user and info database files of an installation, made through SQLite
// directly: the tool runs before any data source exists.
#include <string>
#include <utility>
#include <vector>

#include "setup/dataset.h"
#include "setup/sql_target.h"

namespace setup {

// Creates the file and its missing tables, switches it to WAL, and inserts each
// user (user_level 0) or updates the password of one that exists. 1; 0 with
// the reason in `error`.
int PrepareUserDatabase(const std::string& path, const std::vector<std::pair<std::string, std::string>>& users,
                        std::string& error);
// The same on any target; `where` names it in an error.
int PrepareUserTables(SqlTarget& target, const std::vector<std::pair<std::string, std::string>>& users,
                      const std::string& where, std::string& error);
int PrepareInfoTables(SqlTarget& target, const Dataset& dataset, const std::string& where, std::string& error);

// Creates the info tables when missing and replaces their TableVersion,
// Tablestrt and TableLine rows with those of the data set.
int PrepareInfoDatabase(const std::string& path, const Dataset& dataset, std::string& error);

// The template database: a table "PGC<n>" for every PGC of the data set with
// the integer columns d1..dN of its widest row, and dbinfo. Rebuilt whole on
// every run and put in place by a rename; WAL is set in the file.
int BuildTemplate(const std::string& path, const Dataset& dataset, std::string& error);
std::vector<std::string> TemplateSchema(const Dataset& dataset);
// The CREATE TABLE IF NOT EXISTS statement the template has for `table`
// (case-insensitive: "pgc326", "PGC326", "dbinfo"); "" for a table it lacks.
std::string TemplateTableStatement(const Dataset& dataset, const std::string& table);
std::string PgcTableStatement(const std::string& number, int width);
std::string DbinfoTableStatement();
// user_instance (user_id, instance_id): which COMM instance last set a user's
// connect_state, so that an instance's start-up clears only its own marks.
// COMM creates it as well when an older installation lacks it.
std::string UserInstanceTableStatement();
// Adds `table` to the existing database file when missing, as the template
// has it. 1 when the table is there afterwards; 0 with the reason.
int AddMissingTable(const std::string& path, const std::string& table, const Dataset& dataset, std::string& error);
// Those of `tables` the database file lacks (names compared without regard to
// case). A file that cannot be read lacks them all.
// Turns SQLite's memory statistics off for the whole process (the ODBC driver
// shares the library): they take one process-wide mutex on every allocation,
// and a connection's first statement parses the template's whole schema with
// thousands of them, so that a hundred threads queue on that mutex, also
// those that hold the database lock. Call before any database is opened.
void QuietSqliteStatistics();

std::vector<std::string> MissingTables(const std::string& path, const std::vector<std::string>& tables);

// The statements that create the tables when missing, in creation order.
std::vector<std::string> UserDatabaseSchema();
std::vector<std::string> InfoDatabaseSchema();

}  // namespace setup
