// Storing a whole PGC table from the web: 2,000 rows of 40 bytes sent as
// type-161 write packets (six rows each) into an offline database, against
// the same literal inserts run straight through ODBC, one committed statement
// each. The stored path should reach at least 3/4 of the literal rate.
#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "db/odbc.h"
#include "frame/log.h"
#include "frame/slots.h"
#include "pgc/store.h"
#include "requests/request.h"
#include "support/test_installation.h"
#include "web/web_format.h"
#include "web/web_message.h"

namespace {
using Clock = std::chrono::steady_clock;

constexpr int kSlot = 0;
constexpr int kRows = 2000;
constexpr int kRowLength = 40;
constexpr int kRowsPerPacket = 240 / kRowLength;
constexpr int kRounds = 5;
constexpr const char* kDsn = "PgcBenchDb";
constexpr std::uint16_t kMessageId = 0x2010;  // PGC 201: replaced whole, no key lookups

std::string ColumnList() {
  std::string out;
  for (int i = 1; i <= kRowLength; ++i) out += (i > 1 ? ", d" : "d") + std::to_string(i);
  return out;
}

std::uint8_t ByteOf(int row, int column) { return static_cast<std::uint8_t>((row * 7 + column * 13) % 256); }

bool PrepareDatabase(const std::string& path, const std::string& odbcIni) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
  std::string sql = "PRAGMA journal_mode=WAL; CREATE TABLE IF NOT EXISTS PGC201 (";
  for (int i = 1; i <= kRowLength; ++i) sql += (i > 1 ? ", d" : "d") + std::to_string(i) + " INTEGER";
  sql += ")";
  bool ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  std::lock_guard lock(db::DsnLock());
  std::ofstream ini(odbcIni, std::ios::app);
  ini << "\n[" << kDsn << "]\nDriver=SQLite3\nDatabase=" << path
      << "\nJournalMode=WAL\nSyncPragma=NORMAL\nTimeout=5000\n";
  return ok;
}

std::vector<web::WebMsg> Packets() {
  std::vector<web::WebMsg> packets;
  int packetCount = (kRows + kRowsPerPacket - 1) / kRowsPerPacket;
  for (int p = 0; p < packetCount; ++p) {
    std::string data;
    for (int r = p * kRowsPerPacket; r < std::min(kRows, (p + 1) * kRowsPerPacket); ++r) {
      for (int c = 0; c < kRowLength; ++c) data += static_cast<char>(ByteOf(r, c));
    }
    std::uint8_t raw[web::kMaxMessage];
    web::MessageFields fields;
    fields.type = web::REQ_TABLE_DOWNLOAD;
    fields.userId = "alice";
    fields.mode = web::kModeWrite;
    fields.messageId = kMessageId;
    fields.finalSeq = static_cast<std::uint16_t>((p + 1 == packetCount ? 0xF000 : 0) | ((p + 1) & 0x0FFF));
    fields.recordLength = kRowLength;
    fields.data = data;
    web::BuildMessage(raw, fields);
    web::ParseWebMessage(packets.emplace_back(), raw);
  }
  return packets;
}

std::vector<std::string> LiteralInserts() {
  std::vector<std::string> statements;
  std::string prefix = "insert into PGC201 ( " + ColumnList() + " ) values ( ";
  for (int r = 0; r < kRows; ++r) {
    std::string sql = prefix;
    for (int c = 0; c < kRowLength; ++c) sql += (c ? ", " : "") + std::to_string(ByteOf(r, c));
    statements.push_back(sql + " )");
  }
  return statements;
}

// Each statement on its own handle and committed, as any single write is.
bool RunLiteral(void* dbc, const std::vector<std::string>& statements) {
  for (const std::string& sql : statements) {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt))) return false;
    SQLRETURN rc = SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT);
    if (!SQL_SUCCEEDED(rc)) return false;
  }
  return true;
}

// Seconds of one round after `reset`, or a negative value when it failed.
double Seconds(const std::function<bool()>& round, const std::function<void()>& reset) {
  reset();
  auto start = Clock::now();
  if (!round()) return -1;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
  const auto& installation = testsupport::SharedInstallation();
  if (!PrepareDatabase(installation.dir + "/pgc_bench.mdb", installation.dir + "/odbc/odbc.ini")) return 1;
  SetInfoLevel(0);
  Slot& slot = SlotAt(kSlot);
  slot.state = state::kOffline;
  db::ConnectionRecord& record = slot.db[kOfflineDb];
  if (db::ConnectDB(record, kDsn) != 1) return 1;

  auto reset = [&] { db::ExecuteSQL(record, "delete from PGC201", kSlot); };
  std::vector<std::string> statements = LiteralInserts();
  std::vector<web::WebMsg> packets = Packets();
  WorkingBuffer buffer;
  int counter = 0;
  auto literalRound = [&] { return RunLiteral(record.dbc, statements); };
  auto storedRound = [&] {
    for (const web::WebMsg& packet : packets) {
      if (pgc::StoreWebData(packet, buffer, counter, kMessageId, kSlot) != 1) return false;
    }
    return db::getRowCount(record, "PGC201", "", kSlot) == kRows;
  };
  // Rounds alternate, so that a change in the machine's load touches both.
  double literal = 1e9, stored = 1e9;
  for (int i = 0; i < kRounds; ++i) {
    double a = Seconds(literalRound, reset);
    double b = Seconds(storedRound, reset);
    if (a < 0 || b < 0) {
      std::printf("round failed\n");
      return 1;
    }
    literal = std::min(literal, a);
    stored = std::min(stored, b);
  }

  double ratio = literal / stored;
  std::printf("%-48s %8.0f rows/s\n", "literal inserts through ODBC", kRows / literal);
  std::printf("%-48s %8.0f rows/s\n", "type-161 packets through StoreWebData", kRows / stored);
  std::printf("%-48s %8.2f (target 0.75)\n", "ratio", ratio);
  db::DisconnectDB(record, kSlot);
  slot.state = state::kIdle;
  return ratio >= 0.75 ? 0 : 2;
}
