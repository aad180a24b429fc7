#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "db/odbc.h"
#include "frame/log.h"
#include "frame/slots.h"
#include "setup/installation.h"
#include "support/wire_helpers.h"
#include "support/test_installation.h"

namespace {

using db::Row;

std::string LogText() { return testsupport::InstallationLog(); }

// A table of the user database with rows (id, txt) for ids 1..count.
void MakeProbeTable(const std::string& name, int count) {
  std::string sql = "DROP TABLE IF EXISTS " + name + "; CREATE TABLE " + name + " (id integer, txt varchar(500));";
  sql += "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(count) +
         ") INSERT INTO " + name + " SELECT i, 'row' || i FROM n;";
  testsupport::UserDbExec(sql);
}

// A per-slot style record on the user database: no lock is taken for it.
struct SlotRecord {
  db::ConnectionRecord record;
  SlotRecord() { EXPECT_EQ(db::ConnectDB(record, db::kUserDsn), 1); }
  ~SlotRecord() {
    if (record.open()) db::DisconnectDB(record, 7);
  }
};

bool LockFreeForOtherThreads() {
  bool free = false;
  std::thread([&] {
    free = DatabaseLock().try_lock();
    if (free) DatabaseLock().unlock();
  }).join();
  return free;
}

class OdbcLayer : public ::testing::Test {
 protected:
  // The log texts are looked for in the installation's directory, whichever
  // test provisioned it and whatever tests ran in between.
  void SetUp() override {
    SetLogDirectory(testsupport::SharedInstallation().commDir + "/");
    SetInfoLevel(9);
  }
  db::ConnectionRecord& user = db::UserDB();
};

TEST_F(OdbcLayer, RowCountWithAndWithoutConditionAndOfMissingTable) {
  MakeProbeTable("count_probe", 12);
  EXPECT_EQ(db::getRowCount(user, "count_probe", "", 1), 12);
  EXPECT_EQ(db::getRowCount(user, "count_probe", "id > 9", 1), 3);
  EXPECT_EQ(db::getRowCount(user, "count_probe", "id > 99", 1), 0);

  EXPECT_EQ(db::getRowCount(user, "no_such_probe", "", 1), -1);
  EXPECT_EQ(testsupport::Count(LogText(), "DB error: DB error:[SQLite]no such table: no_such_probe"), 1);
  // The failed count left nothing pending: the connection goes on working.
  EXPECT_EQ(db::getRowCount(user, "count_probe", "", 1), 12);
}

TEST_F(OdbcLayer, SelectMatchingRecordsReadsFirstRowOnlyWithNullEmptyAndLongTextCut) {
  std::string long400(400, 'x');
  testsupport::UserDbExec("DROP TABLE IF EXISTS sel_probe; CREATE TABLE sel_probe (id integer, a varchar, b varchar);"
                          "INSERT INTO sel_probe VALUES (1, NULL, '" + long400 + "'), (2, 'second', 'row');");
  Row row = {"stale"};
  ASSERT_EQ(db::SelectMatchingRecords(user, "sel_probe", 3, row, "id >= 1", 1), 1);
  EXPECT_EQ(row, (Row{"1", "", std::string(db::kColumnTextMax, 'x')}));

  // Columns asked for beyond the row's end come back empty.
  ASSERT_EQ(db::SelectMatchingRecords(user, "sel_probe", 5, row, "id = 2", 1), 1);
  EXPECT_EQ(row, (Row{"2", "second", "row", "", ""}));

  Row untouched = {"keep"};
  EXPECT_EQ(db::SelectMatchingRecords(user, "sel_probe", 3, untouched, "id = 3", 1), -2);
  EXPECT_EQ(untouched, Row{"keep"});
  EXPECT_EQ(db::SelectMatchingRecords(user, "no_such_probe", 3, row, "", 1), -1);
}

TEST_F(OdbcLayer, SelectFirstWithoutRowLeavesNothingOpen) {
  MakeProbeTable("first_probe", 3);
  SlotRecord slot;
  Row row;
  {
    db::Cursor cursor;
    EXPECT_EQ(db::SelectFirstMatchingRecord(cursor, slot.record, "first_probe", 2, row, "id > 5", 1, ""), -2);
    EXPECT_FALSE(cursor.open());
    EXPECT_EQ(db::SelectFirstMatchingRecord(cursor, slot.record, "no_such_probe", 2, row, "", 1, ""), -1);
    EXPECT_FALSE(cursor.open());
    db::Cursor shared;
    EXPECT_EQ(db::SelectFirstMatchingRecord(shared, user, "first_probe", 2, row, "id > 5", 1, ""), -2);
    EXPECT_TRUE(LockFreeForOtherThreads());
  }
  // A statement or transaction still open would make the disconnect fail.
  EXPECT_EQ(db::DisconnectDB(slot.record, 7), 1);
}

TEST_F(OdbcLayer, CursorWalkVisitsEveryRowInOrderAndCloseEndsIt) {
  constexpr int kRows = 1500;
  MakeProbeTable("walk_probe", kRows);
  SlotRecord slot;
  Row row;
  db::Cursor cursor;
  int rc = db::SelectFirstMatchingRecord(cursor, slot.record, "walk_probe", 2, row, "", 1, "id desc");
  ASSERT_EQ(rc, 1);
  ASSERT_TRUE(cursor.open());
  int expected = kRows;
  bool inOrder = true;
  int seen = 0;
  for (; rc == 1; rc = db::FetchNextRecord(cursor, 2, row, 1)) {
    inOrder = inOrder && row == Row{std::to_string(expected), "row" + std::to_string(expected)};
    --expected;
    ++seen;
  }
  EXPECT_EQ(rc, -2);
  EXPECT_EQ(seen, kRows);
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(db::FetchNextRecord(cursor, 2, row, 1), -2);  // stays at the end
  cursor.Close();
  EXPECT_FALSE(cursor.open());
  EXPECT_EQ(db::FetchNextRecord(cursor, 2, row, 1), -1);
  EXPECT_EQ(db::DisconnectDB(slot.record, 7), 1);
}

TEST_F(OdbcLayer, CursorOnSharedConnectionHoldsTheLockUntilClosed) {
  MakeProbeTable("lock_probe", 4);
  Row row;
  db::Cursor cursor;
  ASSERT_EQ(db::SelectFirstMatchingRecord(cursor, user, "lock_probe", 2, row, "id > 1", 1, "id"), 1);
  EXPECT_EQ(row[0], "2");
  EXPECT_FALSE(LockFreeForOtherThreads());
  // The owning thread may still log and use the connection meanwhile.
  EXPECT_EQ(db::getRowCount(user, "lock_probe", "", 1), 4);
  cursor.Close();
  EXPECT_TRUE(LockFreeForOtherThreads());
}

TEST_F(OdbcLayer, ExecuteReportsUntouchedRowsAndRollsBackFailures) {
  MakeProbeTable("exec_probe", 2);
  EXPECT_EQ(db::ExecuteSQL(user, "update exec_probe set txt = 'x' where id = 99", 1), -2);
  EXPECT_EQ(db::ExecuteSQL(user, "  DELETE from exec_probe where id = 99", 1), -2);
  EXPECT_EQ(db::ExecuteSQL(user, "update exec_probe set txt = 'x' where id = 1", 1), 1);
  EXPECT_EQ(db::ExecuteSQL(user, "insert into exec_probe values (3, 'three')", 1), 1);
  EXPECT_EQ(db::ExecuteSQL(user, "insert into exec_probe values (oops", 1), -1);
  EXPECT_EQ(db::ExecuteSQL(user, "delete from exec_probe", 1), 1);
  EXPECT_EQ(db::ExecuteSQL(user, "delete from exec_probe", 1), -2);

  // Every statement is committed by itself: another connection sees the result.
  testsupport::UserDbExec("insert into exec_probe values (5, 'five')");
  EXPECT_EQ(testsupport::UserDbQuery("select count(*) from exec_probe")[0][0], "1");
  EXPECT_EQ(db::getRowCount(user, "exec_probe", "", 1), 1);
}

TEST_F(OdbcLayer, OverlongStatementIsRefusedNotCut) {
  MakeProbeTable("long_probe", 3);
  // Cut at 4999 characters this would still be a valid delete of every row.
  std::string sql = "delete from long_probe where id > 0 or id = 1" + std::string(5000, ' ') + "and id = 2";
  EXPECT_EQ(db::ExecuteSQL(user, sql, 1), -1);
  EXPECT_EQ(db::getRowCount(user, "long_probe", "", 1), 3);
  EXPECT_EQ(db::getRowCount(user, "long_probe", std::string(5000, ' ') + "id = 1", 1), -1);
}

TEST_F(OdbcLayer, ResetConnectStateClearsOnlyTheNamedUser) {
  testsupport::ResetUserTables();
  testsupport::UserDbExec("update userinfo set connect_state = 1");
  EXPECT_EQ(db::ResetConnectState("alice", 1), 1);
  EXPECT_EQ(db::ResetConnectState("nobody", 1), 217);
  EXPECT_EQ(db::ResetConnectState("nobody' or user_id = 'bob", 1), 217);
  auto rows = testsupport::UserDbQuery("select user_id, connect_state from userinfo order by user_id");
  EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{{"alice", "0"}, {"bob", "1"}}));
}

TEST_F(OdbcLayer, DisconnectOfClosedOrNeverOpenedRecordIs226) {
  db::ConnectionRecord never;
  EXPECT_EQ(db::DisconnectDB(never, 7), 226);
  SlotRecord slot;
  EXPECT_EQ(db::DisconnectDB(slot.record, 7), 1);
  EXPECT_FALSE(slot.record.open());
  EXPECT_EQ(db::DisconnectDB(slot.record, 7), 226);
  EXPECT_NE(LogText().find("Error...DB error: Disconnect DB error"), std::string::npos);
}

TEST_F(OdbcLayer, ConnectToUnknownSourceIs215AndReleasesCleanly) {
  db::ConnectionRecord record;
  EXPECT_EQ(db::ConnectDB(record, "NoSuchSourceAnywhere"), 215);
  // The handles of the failed connect are released, not left behind.
  EXPECT_EQ(db::DisconnectDB(record, 7), 1);
  EXPECT_TRUE(record.env == nullptr && record.dbc == nullptr);
}

TEST_F(OdbcLayer, ClearTableWorksOnlyInStatesWithADatabase) {
  constexpr int kSlot = 41;
  MakeProbeTable("clear_probe", 5);
  Slot& slot = SlotAt(kSlot);
  ASSERT_EQ(db::ConnectDB(slot.db[kWorkDb], db::kUserDsn), 1);

  slot.state = state::kIdle;
  EXPECT_EQ(db::ClearTable("clear_probe", "", kSlot), 165);
  slot.state = state::kUpload;
  EXPECT_EQ(db::ClearTable("clear_probe", "", kSlot), 165);
  EXPECT_EQ(db::ClearTable("clear_probe", "", kServerLog), 165);
  EXPECT_EQ(db::getRowCount(user, "clear_probe", "", 1), 5);
  EXPECT_NE(LogText().find("User state:upload error, not offline or AllDownLoad or online"), std::string::npos);

  slot.state = state::kOnline;
  EXPECT_EQ(db::ClearTable("clear_probe", "id > 3", kSlot), 1);
  EXPECT_EQ(db::getRowCount(user, "clear_probe", "", 1), 3);
  EXPECT_EQ(db::ClearTable("clear_probe", "", kSlot), 1);
  EXPECT_EQ(db::ClearTable("clear_probe", "", kSlot), 1);  // already empty
  EXPECT_EQ(db::ClearTable("no_such_probe", "", kSlot), 250);

  slot.state = state::kIdle;
  EXPECT_EQ(db::DisconnectDB(slot.db[kWorkDb], kSlot), 1);
}

// Slots work on their own connections in parallel, without the database lock.
TEST_F(OdbcLayer, SlotConnectionsWorkInParallel) {
  constexpr int kSlots = 4;
  constexpr int kRounds = 100;
  testsupport::UserDbExec("DROP TABLE IF EXISTS slot_tally; CREATE TABLE slot_tally (id integer, n integer);"
                          "INSERT INTO slot_tally VALUES (0, 0), (1, 0), (2, 0), (3, 0);");
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int s = 0; s < kSlots; ++s) {
    threads.emplace_back([&, s] {
      SlotRecord slot;
      std::string update = "update slot_tally set n = n + 1 where id = " + std::to_string(s);
      for (int i = 0; i < kRounds; ++i) {
        if (db::ExecuteSQL(slot.record, update, s) != 1) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(testsupport::UserDbQuery("select sum(n) from slot_tally")[0][0], std::to_string(kSlots * kRounds));
}

// initDB without a "WebUser" source. Runs in a child process of its own: the
// driver manager remembers looked-up source names for about 20 seconds, so
// this process, which already found "WebUser", cannot stand in.
TEST(OdbcStartUp, InitWithoutUserSourceIs215AndLeavesInfoClosed) {
  char pattern[] = "/tmp/tavrel-initdb-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  SetupOptions options;
  options.dir = pattern;
  std::string error;
  ASSERT_EQ(ProvisionInstallation(options, error), 1) << error;
  InstallationPaths paths = PathsOf(pattern);
  std::ofstream(paths.odbcIni, std::ios::trunc) << "[WebInfo]\nDriver=SQLite3\nDatabase=" << paths.infoDb << "\n";

  std::string odbcsysini = "ODBCSYSINI=" + paths.odbcDir, odbcini = "ODBCINI=" + paths.userIni;
  std::string logDir = "TAVREL_CHILD_LOG_DIR=" + paths.commDir + "/";
  std::string filter = "--gtest_filter=OdbcStartUpChild.*";
  char* argv[] = {const_cast<char*>("unit_tests"), filter.data(), nullptr};
  char* envp[] = {odbcsysini.data(), odbcini.data(), logDir.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, envp), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;

  const std::string log = testsupport::ReadFile(paths.commDir + "/CommLog_1.txt");
  EXPECT_NE(log.find("child ran"), std::string::npos);
  EXPECT_EQ(log.find("init info DB success"), std::string::npos);
  std::filesystem::remove_all(pattern);
}

TEST(OdbcStartUpChild, InitWithoutUserSource) {
  const char* logDir = std::getenv("TAVREL_CHILD_LOG_DIR");
  if (logDir == nullptr) GTEST_SKIP() << "runs only as the child of OdbcStartUp";
  SetLogDirectory(logDir);
  LogError(kServerLog, "test", "child ran");
  EXPECT_EQ(db::initDB(), 215);
  EXPECT_FALSE(db::UserDB().open());
  EXPECT_FALSE(db::InfoDB().open());
}

}  // namespace
