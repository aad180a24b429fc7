// Database files and their data sources against the real ODBC stack. Each
// test works in a working directory of its own (template, DB_USER,
// FILE_USER) and uses data source names no other test has used: the driver
// manager remembers a lookup by name for about 20 seconds.
#include "db/files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "db/odbc.h"
#include "frame/config.h"
#include "frame/slots.h"
#include "frame/text.h"
#include "requests/file_requests.h"
#include "setup/databases.h"
#include "support/comm_server.h"
#include "support/test_installation.h"

namespace {

namespace fs = std::filesystem;

constexpr int kSlot = 97;
using testsupport::ReadFile;

// The lines of a data source's section in the system file, "" when absent.
std::string DsnSection(const std::string& name) {
  std::string ini = ReadFile(testsupport::SharedInstallation().dir + "/odbc/odbc.ini");
  std::size_t start = ini.find("[" + name + "]\n");
  if (start == std::string::npos) return {};
  std::size_t end = ini.find("\n[", start + 1);
  return ini.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The first value of the first row, "<none>" when there is none.
std::string SqliteValue(const std::string& path, const std::string& sql) {
  auto rows = testsupport::SqliteRows(path, sql);
  return rows.empty() ? "<none>" : rows[0][0];
}

web::WebMsg DeleteRequest(const std::vector<std::string>& names) {
  web::WebMsg msg;
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::memcpy(msg.data + i * 30, names[i].data(), std::min<std::size_t>(names[i].size(), 30));
  }
  return msg;
}

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto& inst = testsupport::SharedInstallation();
    saved_ = Paths();
    static int testNumber = 0;
    prefix_ = "f" + std::to_string(getpid() % 10000) + "t" + std::to_string(++testNumber) + "_";
    comm_ = inst.dir + "/files-" + prefix_;
    fs::create_directories(comm_ + "/DB_WEB");
    fs::create_directories(comm_ + "/FILE_USER");
    fs::copy_file(inst.commDir + "/DB_WEB/WebInit.mdb", comm_ + "/DB_WEB/WebInit.mdb");
    SetPaths(BuildPaths(comm_, inst.dir + "/web"));
  }
  void TearDown() override {
    for (auto& record : SlotAt(kSlot).db) {
      if (record.open()) db::DisconnectDB(record, kSlot);
    }
    SetPaths(saved_);
  }

  // A name no other test uses.
  std::string Name(const std::string& base) { return prefix_ + base; }
  std::string Offline(const std::string& name) { return Paths().offlineDatabasePath + name + ".mdb"; }

  std::string comm_, prefix_;
  ServerPaths saved_;
};

TEST_F(Files, CreatedOfflineFileIsATemplateCopyWithAConnectableDataSource) {
  std::string name = Name("plant");
  ASSERT_EQ(db::CreateOfflineFile(name, kSlot), 1);
  EXPECT_EQ(db::FileExists(name, Paths().offlineDatabasePath), 1);
  EXPECT_EQ(SqliteValue(Offline(name), "select count(*) from sqlite_master where name = 'PGC724'"), "1");
  EXPECT_EQ(DsnSection(name).find("[" + name + "]\nDriver=SQLite3\nDatabase=" + Offline(name) +
                                  "\nJournalMode=WAL\nSyncPragma=NORMAL\nTimeout=5000\n"),
            0u);

  db::ConnectionRecord record;
  ASSERT_EQ(db::openDbFile(name, record, kSlot), 1);
  EXPECT_EQ(db::ExecuteSQL(record, "insert into PGC100 (d1, d2) values (3, 4)", kSlot), 1);
  EXPECT_EQ(db::DisconnectDB(record, kSlot), 1);
  EXPECT_EQ(SqliteValue(Offline(name), "select count(*) from PGC100"), "1");
  // A file that is not there is not made by connecting to its data source.
  ASSERT_EQ(db::CreateDSN(Name("absent"), Paths().offlineDatabasePath), 1);
  EXPECT_EQ(db::openDbFile(Name("absent"), record, kSlot), 215);
  EXPECT_FALSE(fs::exists(Offline(Name("absent"))));

  // Creating it again gives the empty template back, and no old WAL with it.
  std::ofstream(Offline(name) + "-wal") << "stale";
  ASSERT_EQ(db::CreateOfflineFile(name, kSlot), 1);
  EXPECT_FALSE(fs::exists(Offline(name) + "-wal"));
  EXPECT_EQ(SqliteValue(Offline(name), "select count(*) from PGC100"), "0");
}

TEST_F(Files, ANewFileIsMadeOnceAndNeverTakesAnotherDataSource) {
  // Of several requests creating one name at once, one makes it; the others
  // are refused and leave it alone.
  std::string name = Name("race");
  std::atomic<int> made{0}, refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      int rc = db::CreateNewOfflineFile(name, kSlot);
      if (rc == 1) ++made;
      if (rc == 181) ++refused;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(made.load(), 1);
  EXPECT_EQ(refused.load(), 3);
  EXPECT_EQ(SqliteValue(Offline(name), "select count(*) from sqlite_master where name = 'PGC724'"), "1");

  // Data source names compare without case: a file named like another but
  // for case, or like one of COMM's own data sources, would take it over.
  std::string iniPath = testsupport::SharedInstallation().dir + "/odbc/odbc.ini";
  auto mode = fs::status(iniPath).permissions();
  fs::permissions(iniPath, fs::perms::owner_read | fs::perms::owner_write);
  std::string ini = ReadFile(iniPath);
  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(db::CreateNewOfflineFile(upper, kSlot), 181);
  EXPECT_EQ(db::CreateOfflineFile(upper, kSlot), 181);
  for (const char* own : {"WebUser", "webinfo", "workDB_3", "ODBC"}) {
    EXPECT_EQ(db::CreateOfflineFile(own, kSlot), 170) << own;
    EXPECT_EQ(db::CreateNewOfflineFile(own, kSlot), 170) << own;
  }
  EXPECT_EQ(ReadFile(iniPath), ini);
  std::vector<std::string> entries;
  for (const auto& entry : fs::directory_iterator(Paths().offlineDatabasePath)) {
    entries.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(entries, std::vector<std::string>{name + ".mdb"});  // no copy left under a private name

  // A rewrite keeps the file's permissions (it may hold a server's password).
  ASSERT_EQ(db::CreateDSN(Name("perm"), Paths().offlineDatabasePath), 1);
  EXPECT_EQ(fs::status(iniPath).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  fs::permissions(iniPath, mode);
}

TEST_F(Files, NamesAreNormalisedAndTrimmedAlikeForFileAndDataSource) {
  std::string name = Name("n");
  ASSERT_EQ(db::CreateOfflineFile("  " + name + "\x01\x02 ", kSlot), 1);
  EXPECT_TRUE(fs::exists(Offline(name + "12")));
  EXPECT_NE(DsnSection(name + "12"), "");
  EXPECT_EQ(db::FileExists(name + "\x01\x02", Paths().offlineDatabasePath), 1);
}

TEST_F(Files, RefusesNamesThatAreNoPlainFileNameBeforeTouchingAnything) {
  const std::vector<std::string> bad = {"",       "   ",  std::string(31, 'a'), "../x",  "a/b", "a\\b", ".", "..",
                                        "a\nb",   "[x]",  "a=b",                "x;y",   std::string("ab\0cd", 5)};
  for (const std::string& name : bad) {
    SCOPED_TRACE(name);
    EXPECT_EQ(db::CheckFileName(name, kSlot), 170);
    EXPECT_EQ(db::CreateOfflineFile(name, kSlot), 170);
    EXPECT_EQ(db::CreateOnlineFile(name, kSlot), 170);
    EXPECT_EQ(db::DeleteDBFile(name, Paths().offlineDatabasePath, kSlot), 170);
    EXPECT_EQ(db::OpenUserDbFile(name, 18, setup::MissingTables, kSlot), 170);
    EXPECT_EQ(db::FileExists(name, Paths().offlineDatabasePath), 0);
  }
  EXPECT_EQ(db::CheckFileName(std::string(30, 'a'), kSlot), 1);
  EXPECT_EQ(db::CheckFileName(" " + std::string(30, 'a') + " ", kSlot), 1);
  EXPECT_TRUE(!fs::exists(Paths().offlineDatabasePath) || fs::is_empty(Paths().offlineDatabasePath));
  EXPECT_EQ(fs::directory_iterator(Paths().databasePath)->path().filename(), "WebInit.mdb");
  EXPECT_FALSE(fs::exists(comm_ + "/x.mdb"));
}

TEST_F(Files, OfflineListingGivesThirtyByteFieldsOfShortMdbNamesAndRegistersThem) {
  std::vector<std::uint8_t> list(5, 0xAA);
  int length = -1;
  fs::create_directories(Paths().offlineDatabasePath);
  ASSERT_EQ(db::ListOfflineFiles(list, length, kSlot), 1);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(list, std::vector<std::uint8_t>{0});

  std::string thirty = Name("") + std::string(30 - Name("").size(), 'x');
  ASSERT_EQ(db::CreateDSN(thirty, "/elsewhere/"), 1);
  for (const std::string& file : {Name("a") + ".mdb", thirty + ".mdb", thirty + "y.mdb", Name("a") + ".mdb-wal",
                                  Name("t") + ".txt"}) {
    std::ofstream(Paths().offlineDatabasePath + file) << "";
  }
  ASSERT_EQ(db::ListOfflineFiles(list, length, kSlot), 1);
  ASSERT_EQ(length, 60);
  ASSERT_EQ(list.size(), 62u);
  std::set<std::string> names;
  for (int k = 0; k < 2; ++k) names.insert(FieldText(list.data() + k * 30, 30));
  EXPECT_EQ(names, (std::set<std::string>{Name("a"), thirty}));
  // The data sources of listed files are registered again.
  EXPECT_NE(DsnSection(Name("a")).find("Database=" + Offline(Name("a"))), std::string::npos);
  EXPECT_NE(DsnSection(thirty).find("Database=" + Offline(thirty)), std::string::npos);
}

TEST_F(Files, ListingsOf800EntriesAreRefused) {
  fs::create_directories(Paths().offlineDatabasePath);
  for (int i = 0; i < 800; ++i) std::ofstream(Paths().offlineDatabasePath + "e" + std::to_string(i) + ".txt") << "";
  for (int i = 0; i < 800; ++i) std::ofstream(Paths().fileUserPath + "e" + std::to_string(i) + ".txt") << "";
  std::vector<std::uint8_t> list(3, 1);
  int length = -1;
  EXPECT_EQ(db::ListOfflineFiles(list, length, kSlot), 187);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(db::ListExcelFiles(list, length, kSlot), 187);
}

TEST_F(Files, ExcelListingGivesWholeNamesIn240ByteFields) {
  std::vector<std::uint8_t> list;
  int length = -1;
  ASSERT_EQ(db::ListExcelFiles(list, length, kSlot), 1);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(list, std::vector<std::uint8_t>{0});

  std::string longName = std::string(60, 'r') + ".xls";
  for (const std::string& file : {longName, std::string("plan.xlsx"), std::string("notes.txt")}) {
    std::ofstream(Paths().fileUserPath + file) << "";
  }
  ASSERT_EQ(db::ListExcelFiles(list, length, kSlot), 1);
  EXPECT_EQ(length, 240);
  ASSERT_GE(list.size(), 240u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(list.data())), longName);
}

TEST_F(Files, DeletingAListStopsAtAMissingNameKeepingEarlierDeletions) {
  std::string first = Name("one");
  ASSERT_EQ(db::CreateOfflineFile(first, kSlot), 1);
  EXPECT_EQ(requests::DeleteDBFiles(DeleteRequest({first, Name("missing")}), kSlot), 186);
  EXPECT_FALSE(fs::exists(Offline(first)));
  EXPECT_EQ(DsnSection(first), "");

  std::string kept = Name("kept");
  ASSERT_EQ(db::CreateOfflineFile(kept, kSlot), 1);
  EXPECT_EQ(requests::DeleteDBFiles(DeleteRequest({kept, "../evil"}), kSlot), 170);
  EXPECT_TRUE(fs::exists(Offline(kept)));
  EXPECT_EQ(requests::DeleteDBFiles(DeleteRequest({kept}), kSlot), 1);
  EXPECT_FALSE(fs::exists(Offline(kept)));
}

TEST_F(Files, AFileThatCannotBeRemovedKeepsItsDataSourceAnd180) {
  std::string name = Name("stuck");
  ASSERT_EQ(db::CreateOfflineFile(name, kSlot), 1);
  // A non-empty directory in the file's place cannot be removed, not even by root.
  fs::remove(Offline(name));
  fs::create_directories(Offline(name) + "/inside");
  EXPECT_EQ(requests::DeleteDBFiles(DeleteRequest({name}), kSlot), 180);
  EXPECT_NE(DsnSection(name).find("Database=" + Offline(name)), std::string::npos);
}

TEST_F(Files, WorkDatabaseLivesFromGoingOnlineToClosingEvenWhenItsFileStays) {
  std::string work = db::WorkDbName(kSlot);
  EXPECT_EQ(work, "workDB_97");
  ASSERT_EQ(db::CreateOnlineFile(work, kSlot), 1);
  ASSERT_EQ(db::OpenWorkDB(work, kSlot), 1);
  std::string path = Paths().onlineDatabasePath + work + ".mdb";
  EXPECT_EQ(db::ExecuteSQL(SlotAt(kSlot).db[kWorkDb], "insert into PGC724 (d1) values (1)", kSlot), 1);
  EXPECT_EQ(db::CloseWorkDB(kSlot), 1);
  EXPECT_FALSE(SlotAt(kSlot).db[kWorkDb].open());
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(fs::exists(path + "-wal"));
  EXPECT_EQ(DsnSection(work), "");

  // Its file cannot be deleted: the data source goes, the result is still 1.
  fs::create_directories(path + "/inside");
  EXPECT_EQ(db::CloseWorkDB(kSlot), 1);
  EXPECT_TRUE(fs::exists(path));
}

TEST_F(Files, OpeningAUserFileAddsMissingTablesAndClosingDisconnectsIt) {
  std::string name = Name("old");
  ASSERT_EQ(db::CreateOfflineFile(name, kSlot), 1);
  std::string path = Offline(name);
  ASSERT_EQ(SqliteValue(path, "drop table PGC326"), "<none>");
  ASSERT_EQ(SqliteValue(path, "insert into pgc327 (d1) values (9)"), "<none>");
  ASSERT_EQ(SqliteValue(path, "select count(*) from sqlite_master where name = 'PGC326'"), "0");

  ASSERT_EQ(db::OpenUserDbFile(name, 18, setup::MissingTables, kSlot), 1);
  EXPECT_TRUE(SlotAt(kSlot).db[kOfflineDb].open());
  EXPECT_EQ(SqliteValue(path, "select count(*) from sqlite_master where name = 'PGC326'"), "1");
  EXPECT_EQ(SqliteValue(path, "select d1 from PGC327"), "9");  // an existing table is left as it was
  // The open connection sees the table Tabulon added.
  EXPECT_EQ(db::ExecuteSQL(SlotAt(kSlot).db[kOfflineDb], "insert into PGC326 (d1) values (5)", kSlot), 1);

  EXPECT_EQ(db::CloseDbFile(name, 20, kSlot), 1);
  EXPECT_FALSE(SlotAt(kSlot).db[kOfflineDb].open());
  EXPECT_NE(db::CloseDbFile(name, 20, kSlot), 1);  // nothing left to disconnect
  EXPECT_EQ(db::CloseDbFile(name, 99, kSlot), 1);

  ASSERT_EQ(db::OpenUserDbFile(name, 21, setup::MissingTables, kSlot), 1);
  web::WebMsg close;
  close.bodyHeader[web::kMessageId - web::kBodyType + 1] = 23;
  ASSERT_EQ(close.messageId(), 23);
  EXPECT_EQ(db::CloseDbFile(FieldText(close.data, db::kMaxFileNameLength), close.messageId(), kSlot), 1);
  EXPECT_FALSE(SlotAt(kSlot).db[kDownloadDb].open());
}

TEST_F(Files, TabulonAddsOnlyTablesTheTemplateKnowsAndOnlyToExistingFiles) {
  std::string name = Name("tab");
  ASSERT_EQ(db::CreateOfflineFile(name, kSlot), 1);
  std::string path = Offline(name);
  ASSERT_EQ(SqliteValue(path, "drop table dbinfo"), "<none>");
  EXPECT_EQ(db::RunTabulon(path, "DBINFO"), 1);
  EXPECT_EQ(SqliteValue(path, "select count(*) from pragma_table_info('dbinfo')"), "12");
  EXPECT_EQ(db::RunTabulon(path, "nosuchtable"), 1);  // it ran; the table is not made
  EXPECT_EQ(SqliteValue(path, "select count(*) from sqlite_master where name = 'nosuchtable'"), "0");
  EXPECT_EQ(db::RunTabulon(Paths().offlineDatabasePath + "absent.mdb", "pgc326"), 1);
  EXPECT_FALSE(fs::exists(Paths().offlineDatabasePath + "absent.mdb"));

  // Only missing tables are handed to Tabulon; names compare without case,
  // and a file that cannot be read lacks them all.
  using Names = std::vector<std::string>;
  EXPECT_EQ(setup::MissingTables(path, {"PGC326", "dbinfo", "pgc_none"}), Names{"pgc_none"});
  EXPECT_EQ(setup::MissingTables(Paths().offlineDatabasePath + "absent.mdb", {"pgc326", "dbinfo"}),
            (Names{"pgc326", "dbinfo"}));
  EXPECT_FALSE(fs::exists(Paths().offlineDatabasePath + "absent.mdb"));
}

TEST_F(Files, ConcurrentDataSourceRegistrationsLoseNothing) {
  constexpr int kThreads = 4, kEach = 25;
  auto name = [&](int t, int i) { return Name("c" + std::to_string(t) + "_" + std::to_string(i)); };
  // Runs `step` for every name, a thread per t; the number of steps that failed.
  auto everywhere = [&](const std::function<int(const std::string&)>& step) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        for (int i = 0; i < kEach; ++i) failures += step(name(t, i)) != 1;
      });
    for (auto& thread : threads) thread.join();
    return failures.load();
  };
  EXPECT_EQ(everywhere([](const std::string& n) { return db::CreateDSN(n, Paths().offlineDatabasePath); }), 0);
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kEach; ++i) ASSERT_NE(DsnSection(name(t, i)).find("Timeout=5000"), std::string::npos);
  EXPECT_EQ(everywhere([](const std::string& n) { return db::DeleteDSN(n, kSlot); }), 0);
  EXPECT_EQ(ReadFile(testsupport::SharedInstallation().dir + "/odbc/odbc.ini").find("[" + Name("c")),
            std::string::npos);
  EXPECT_NE(DsnSection("WebUser"), "");
}

}  // namespace
