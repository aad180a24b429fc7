#pragma once
// A slot database for the PGC tests: an SQLite file of its own with the PGC
// tables the tests use, reached through a data source registered once per
// process in the installation's odbc.ini (before any lookup of the name: the
// driver manager caches lookups, failures included). Rows are arranged and
// checked through SQLite directly, bypassing the code under test.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "db/odbc.h"
#include "frame/slots.h"
#include "support/test_installation.h"
#include "support/web_msg.h"

namespace pgctest {

constexpr int kSlot = 11;
constexpr const char* kDsn = "PgcTestDb";

using Bytes = std::vector<std::uint8_t>;
using Rows = std::vector<std::vector<std::string>>;

// Tables of the test database and their widths.
struct TableShape {
  const char* name;
  int columns;
};
constexpr TableShape kTables[] = {
    {"PGC100", 4},  {"PGC101", 150}, {"PGC102", 210}, {"PGC201", 4},  {"PGC702", 3},
    {"PGC710", 4},  {"PGC722", 4},   {"PGC723", 4},   {"PGC724", 10}, {"PGC501", 60},
};

inline std::string Columns(int count, const char* type) {
  std::string out;
  for (int i = 1; i <= count; ++i) out += (i > 1 ? ", d" : "d") + std::to_string(i) + " " + type;
  return out;
}

inline std::string DatabasePath() { return testsupport::SharedInstallation().dir + "/pgc_test.mdb"; }

// Creates the file and registers its data source, once per process.
inline void PrepareDatabase() {
  static std::once_flag once;
  std::call_once(once, [] {
    const auto& installation = testsupport::SharedInstallation();
    std::string sql = "PRAGMA journal_mode=WAL;";
    for (const TableShape& table : kTables)
      sql += std::string("CREATE TABLE ") + table.name + " (" + Columns(table.columns, "INTEGER") + ");";
    testsupport::SqliteRows(DatabasePath(), sql + "CREATE TABLE PGC20000 (" + Columns(14, "TEXT") + ");"
        "CREATE TABLE dbinfo (db_version INTEGER, country_id INTEGER, country_name TEXT, system_id INTEGER,"
        " system_name TEXT, version_text TEXT, info1 INTEGER, info2 INTEGER, info3 INTEGER, info4 INTEGER,"
        " info5 INTEGER, info6 INTEGER)");
    std::lock_guard lock(db::DsnLock());
    std::ofstream ini(installation.dir + "/odbc/odbc.ini", std::ios::app);
    ini << "\n[" << kDsn << "]\nDriver=SQLite3\nDatabase=" << DatabasePath()
        << "\nJournalMode=WAL\nSyncPragma=NORMAL\nTimeout=5000\n";
  });
}

inline void PgcExec(const std::string& sql) { testsupport::SqliteRows(DatabasePath(), sql); }
inline Rows PgcQuery(const std::string& sql) { return testsupport::SqliteRows(DatabasePath(), sql); }
inline void InfoExec(const std::string& sql) { testsupport::SqliteRows(testsupport::SharedInstallation().infoDbPath, sql); }

// The info tables a test rewrites are put back as they were afterwards, for
// the tests that rely on the installation's own rows.
constexpr const char* kInfoTables[] = {"Tablestrt", "TableVersion", "TableLine"};
inline void SaveInfoTables() {
  for (const char* table : kInfoTables) {
    InfoExec(std::string("DROP TABLE IF EXISTS saved_") + table + "; CREATE TABLE saved_" + table +
             " AS SELECT * FROM " + table);
  }
}
inline void RestoreInfoTables() {
  for (const char* table : kInfoTables) {
    InfoExec(std::string("BEGIN; DELETE FROM ") + table + "; INSERT INTO " + table + " SELECT * FROM saved_" + table +
             "; DROP TABLE saved_" + table + "; COMMIT");
  }
}

// The rows of a table as numbers, in the given order.
inline std::vector<Bytes> TableRows(const std::string& table, int columns, const std::string& orderBy = "rowid") {
  std::vector<Bytes> out;
  for (const auto& row : PgcQuery("SELECT " + Columns(columns, "") + " FROM " + table + " ORDER BY " + orderBy)) {
    Bytes& bytes = out.emplace_back();
    for (const auto& text : row) bytes.push_back(static_cast<std::uint8_t>(std::stoi(text)));
  }
  return out;
}

inline void InsertRow(const std::string& table, const Bytes& row) {
  std::string values;
  for (std::size_t i = 0; i < row.size(); ++i) values += (i ? ", " : "") + std::to_string(row[i]);
  PgcExec("INSERT INTO " + table + " (" + Columns(static_cast<int>(row.size()), "") + ") VALUES (" + values + ")");
}

// Puts the test slot into `state` with its database of that state connected
// to the test file; every PGC table starts empty.
class PgcSlotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PrepareDatabase();
    for (const TableShape& table : kTables) PgcExec(std::string("DELETE FROM ") + table.name);
    PgcExec("DELETE FROM dbinfo; DELETE FROM PGC20000");
    SaveInfoTables();
    UseState(state::kOffline);
  }
  void TearDown() override {
    RestoreInfoTables();
    Slot& slot = SlotAt(kSlot);
    for (auto& record : slot.db) {
      if (record.open()) db::DisconnectDB(record, kSlot);
    }
    slot.state = state::kIdle;
  }
  void UseState(state::Id newState) {
    Slot& slot = SlotAt(kSlot);
    slot.state = newState;
    db::ConnectionRecord* record = SlotDatabase(kSlot);
    if (record != nullptr && !record->open()) {
      ASSERT_EQ(db::ConnectDB(*record, kDsn), 1);
    }
  }
};

// A PGC web request carrying `data` as its packet's body.
inline web::WebMsg Packet(std::uint8_t type, std::uint16_t messageId, std::uint16_t finalSeq,
                          std::uint8_t recordLength, const Bytes& data) {
  return testsupport::WebMsgOf({.type = type, .userId = "alice", .mode = web::kModeWrite, .messageId = messageId,
                                .finalSeq = finalSeq, .recordLength = recordLength, .data = testsupport::View(data)});
}

constexpr std::uint16_t kOnlyPacket = 0xF001;  // final flag, sequence 1

}  // namespace pgctest
