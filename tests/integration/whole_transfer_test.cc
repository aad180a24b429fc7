// Whole-database transfers against the real server and a simulated system:
// tavrel-web's BACKUP and RESTORE of a whole system into a file and back into
// an emptied system, a failure that names its table and result, the command
// lines refused before anything is sent, and the start, feed and end
// requests' modes, refusals and state changes.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "pgc/catalogue.h"
#include "sim/tables.h"
#include "support/system_suite.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr int kRowsPerTable = 4;

// The message id of every PGC table the system has.
std::vector<std::uint16_t> SystemTables(sim::TableStore& tables) {
  std::vector<std::uint16_t> ids;
  for (const std::string& pgcNo : pgc::MessageTablePGCNumbers()) {
    std::uint16_t id = 0;
    if (pgc::ParsePGCNumber(pgcNo, id, 0) == 1 && tables.RowLengthOf(id) > 0) ids.push_back(id);
  }
  return ids;
}

client::Request Control(const char* name, client::Bytes data = {}) { return client::MakeRequest(name, std::move(data)); }

// The system's description as the web hands it to a download file: version
// (2 bytes), country, system, then texts and numbers.
client::Bytes InfoRecord(const sim::Identity& identity) {
  client::Bytes info(58, 0);
  int version = sim::DatabaseVersionOf(identity);
  info[0] = static_cast<std::uint8_t>(version >> 8);
  info[1] = static_cast<std::uint8_t>(version);
  info[2] = static_cast<std::uint8_t>(identity.countryId);
  info[3] = static_cast<std::uint8_t>(identity.systemId);
  return info;
}

}  // namespace

class WholeTransfer : public SystemSuite {
 protected:
  static void SetUpTestSuite() {
    sim::Options system;
    system.rowsPerTable = kRowsPerTable;
    Launch({"wt_a", "wt_b", "wt_c", "tr_b", "tr_c", "tr_d"}, 2, &system);
  }
  void TearDown() override {
    if (server_ && !user_.empty()) CallOnce(*server_, user_, Disconnect());
  }

  void Link(const std::string& user) {
    user_ = user;
    ASSERT_TRUE(Answered(CallOnce(*server_, user, LinkRequest()), 14, 1));
  }

  // tavrel-web with the installation and `user`; its exit status.
  int Web(const std::string& user, std::vector<std::string> words, std::string& output) {
    std::vector<std::string> argv = {std::string(TAVREL_BIN_DIR) + "/tavrel-web", "--install", server_->dir(),
                                     "--user", user};
    argv.insert(argv.end(), words.begin(), words.end());
    return RunProgram(argv, output);
  }

  std::string FilePath(const std::string& name) { return server_->commDir() + "/DB_USER/" + name + ".mdb"; }
  Exchange Once(const client::Request& request) { return CallOnce(*server_, user_, request); }
  std::uint8_t ResultOf(const client::Request& request) { return Once(request).answer.result(); }

  std::string user_;
};

TEST_F(WholeTransfer, BackupThenRestoreIntoAnEmptiedSystemGivesTheSameTables) {
  sim::TableStore& tables = system_->tables();
  std::vector<std::uint16_t> ids = SystemTables(tables);
  ASSERT_GT(ids.size(), 100u);
  std::map<std::uint16_t, sim::Table> original;
  for (std::uint16_t id : ids) ASSERT_EQ(tables.Read(id, original[id]), 1);

  // With the user database on a server the catalogue comes from there alone.
  if (!server_->userDbUrl().empty()) {
    ASSERT_FALSE(fs::exists(server_->dir() + "/data/WebInfo.db"));
  }

  ASSERT_NO_FATAL_FAILURE(Link("wt_a"));
  std::string output;
  ASSERT_EQ(Web("wt_a", {"BACKUP", "name=monday"}, output), 0) << output;
  // Not a terminal: one plain line per table and a summary.
  const std::string count = std::to_string(ids.size());
  EXPECT_NE(output.find("BACKUP monday: 1/" + count + " tables"), std::string::npos) << output;
  EXPECT_NE(output.find("BACKUP monday done: " + count + " tables, "), std::string::npos) << output;
  EXPECT_EQ(output.find(" 0 rows in"), std::string::npos) << output;
  EXPECT_EQ(output.find('\r'), std::string::npos);

  for (std::uint16_t id : ids) tables.Write(id, sim::Table{original[id].recordLength, {}});
  ASSERT_EQ(Web("wt_a", {"RESTORE", "name=monday"}, output), 0) << output;
  EXPECT_NE(output.find("RESTORE monday done: " + count + " tables"), std::string::npos);
  int differing = 0;
  for (std::uint16_t id : ids) {
    sim::Table now;
    ASSERT_EQ(tables.Read(id, now), 1);
    if (now.recordLength != original[id].recordLength || now.rows != original[id].rows) {
      if (++differing <= 5) ADD_FAILURE() << "table " << std::hex << id << " differs after the round trip";
    }
  }
  EXPECT_EQ(differing, 0);
}

TEST_F(WholeTransfer, ALinkLostMidwayNamesTheTableAndItsResultAndEndsTheTransfer) {
  // A second system on another loopback address, same port, that drops its
  // link after 40 packets: well into the tables.
  sim::Options faulty;
  faulty.address = "127.0.0.2";
  faulty.basePort = port_;
  faulty.rowsPerTable = kRowsPerTable;
  faulty.console = false;
  faulty.faults.closeAfterPackets = 40;
  sim::Simulator dropping(faulty);
  std::string error;
  if (dropping.Start(error) != 1) GTEST_SKIP() << "no second system on 127.0.0.2: " << error;

  user_ = "wt_b";
  ASSERT_EQ(CallOnce(*server_, user_, LinkRequest("CONNECT_SYSTEM", "127.0.0.2")).answer.result(), 1);
  std::string output;
  EXPECT_EQ(Web(user_, {"BACKUP", "name=broken"}, output), 1) << output;
  std::size_t at = output.find("tavrel-web: BACKUP broken failed at PGC");
  ASSERT_NE(at, std::string::npos) << output;
  EXPECT_NE(output.find(": result ", at), std::string::npos) << output.substr(at);
  EXPECT_EQ(output.find(" 0 of 239"), std::string::npos) << output.substr(at);
  EXPECT_NE(output.find("the user is back online"), std::string::npos) << output.substr(at);
  // The download was ended: the slot no longer holds the file.
  EXPECT_NE(CallOnce(*server_, user_, client::MakeRequest("ALL_DOWNLOAD_END")).answer.result(), 1);
  dropping.Stop();
}

TEST_F(WholeTransfer, BadCommandLinesAreRefusedAndAnExistingFileIsKept) {
  std::string output;
  std::vector<std::string> base = {std::string(TAVREL_BIN_DIR) + "/tavrel-web", "--port",
                                   std::to_string(server_->port()), "--user", "wt_c", "BACKUP", "name=x"};
  EXPECT_EQ(RunProgram(base, output), 2);
  EXPECT_NE(output.find("needs --install"), std::string::npos) << output;
  EXPECT_EQ(Web("wt_c", {"BACKUP"}, output), 2);
  EXPECT_NE(output.find("name=FILE is required"), std::string::npos) << output;
  EXPECT_EQ(Web("wt_c", {"RESTORE", "name=a", "file=b"}, output), 2);
  EXPECT_EQ(Web("wt_c", {"BACKUP", "name=" + std::string(31, 'n')}, output), 2);
  EXPECT_EQ(Web("wt_c", {"BACKUP", "name=a", ",", "FILE_LIST"}, output), 2);
  EXPECT_NE(output.find("must be the last request"), std::string::npos) << output;

  // A backup never overwrites a file: the start is refused and the file stays.
  ASSERT_NO_FATAL_FAILURE(Link("wt_c"));
  ASSERT_EQ(Web("wt_c", {"BACKUP", "name=keep"}, output), 0) << output;
  auto size = fs::file_size(FilePath("keep"));
  EXPECT_EQ(Web("wt_c", {"BACKUP", "name=keep"}, output), 1);
  EXPECT_NE(output.find("failed at ALL_DOWNLOAD_START: result"), std::string::npos) << output;
  EXPECT_EQ(fs::file_size(FilePath("keep")), size);
  // A restore of a file that does not exist is refused before any table.
  EXPECT_EQ(Web("wt_c", {"RESTORE", "name=nosuch"}, output), 1);
  EXPECT_NE(output.find("failed at ALL_UPLOAD_START: result 188"), std::string::npos) << output;
  EXPECT_NE(output.find("0 of "), std::string::npos);
}

TEST_F(WholeTransfer, DownloadStartCreatesOrReusesByModeAndAnOddModeLeavesTheSlotOnline) {
  ASSERT_NO_FATAL_FAILURE(Link("tr_b"));
  ASSERT_FALSE(fs::exists(FilePath("modes")));
  Exchange create = Once(Control("ALL_DOWNLOAD_START", client::DownloadStartData("modes", 0)));
  ASSERT_TRUE(Answered(create, 22, 1));
  EXPECT_EQ(FieldAt(create.answer.data, 0, 52), "modes");
  EXPECT_TRUE(fs::exists(FilePath("modes")));
  ASSERT_EQ(ResultOf(Control("ALL_DOWNLOAD_END")), 1);

  ASSERT_TRUE(Answered(Once(Control("ALL_DOWNLOAD_START", client::DownloadStartData("modes", 1))), 0, 1));
  ASSERT_EQ(ResultOf(Control("ALL_DOWNLOAD_END")), 1);

  EXPECT_TRUE(Answered(Once(Control("ALL_DOWNLOAD_START", client::DownloadStartData("modes", 5))), 0, 170));
  // Back online: nothing to end, and a download can start.
  EXPECT_EQ(ResultOf(Control("ALL_DOWNLOAD_END")), 190);
  ASSERT_EQ(ResultOf(Control("ALL_DOWNLOAD_START", client::DownloadStartData("modes", 1))), 1);
  ASSERT_EQ(ResultOf(Control("ALL_DOWNLOAD_END")), 1);
}

TEST_F(WholeTransfer, FailedReuseReturnsOnlineAndKeepsTheUsersConnectionMark) {
  // A file without a data source cannot be connected to.
  fs::copy_file(server_->commDir() + "/DB_WEB/WebInit.mdb", server_->commDir() + "/DB_USER/orphan.mdb");
  ASSERT_NO_FATAL_FAILURE(Link("tr_c"));
  EXPECT_TRUE(Answered(Once(Control("ALL_DOWNLOAD_START", client::DownloadStartData("orphan", 1))), 0, DB_INIT_ERROR));
  EXPECT_EQ(ResultOf(Control("ALL_DOWNLOAD_END")), 190);
  EXPECT_EQ(UserField("tr_c"), "1");
  // Still linked: a download into a new file goes ahead.
  ASSERT_EQ(ResultOf(Control("ALL_DOWNLOAD_START", client::DownloadStartData("notorphan", 0))), 1);
  ASSERT_EQ(ResultOf(Control("ALL_DOWNLOAD_END")), 1);
}

TEST_F(WholeTransfer, UploadOfAnEmptyTableSendsNothing) {
  sim::TableStore& tables = system_->tables();
  const std::uint16_t id = 0x1000;
  sim::Table kept;
  ASSERT_EQ(tables.Read(id, kept), 1);
  kept.rows.assign(kept.rows.size(), 0x5A);
  tables.Write(id, kept);

  ASSERT_NO_FATAL_FAILURE(Link("tr_d"));
  ASSERT_EQ(ResultOf(Control("ALL_DOWNLOAD_START", client::DownloadStartData("emptyup", 0))), 1);
  ASSERT_EQ(ResultOf(Control("STORE_PGC", InfoRecord(tables.identity()))), 1);
  ASSERT_EQ(ResultOf(Control("ALL_DOWNLOAD_END")), 1);

  ASSERT_TRUE(Answered(Once(Control("ALL_UPLOAD_START", client::FileNameData("emptyup"))), 26, 1));
  EXPECT_TRUE(Answered(Once(Control("UPLOAD_PGC", client::PgcTableData(id))), 0, 1));
  ASSERT_EQ(ResultOf(Control("ALL_UPLOAD_END")), 1);

  sim::Table now;
  ASSERT_EQ(tables.Read(id, now), 1);
  EXPECT_EQ(now.rows, kept.rows);
}
