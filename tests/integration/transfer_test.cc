// Whole-database transfers over the wire: a download of every PGC table of a
// simulated system into a file, the upload of that file back, and the
// start, feed and end requests' refusals and state changes.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "pgc/catalogue.h"
#include "sim/tables.h"
#include "support/system_suite.h"

using namespace testsupport;
using client::Bytes;
namespace fs = std::filesystem;

namespace {

constexpr int kRowsPerTable = 3;

client::Request Control(const char* name, Bytes data = {}) { return client::MakeRequest(name, std::move(data)); }

// The message id of every PGC table the system has, one per table.
std::vector<std::uint16_t> SystemTables(sim::TableStore& tables) {
  std::vector<std::uint16_t> ids;
  for (const std::string& pgcNo : pgc::MessageTablePGCNumbers()) {
    std::uint16_t id = 0;
    if (pgc::ParsePGCNumber(pgcNo, id, 0) == 1 && tables.RowLengthOf(id) > 0) ids.push_back(id);
  }
  return ids;
}

// The system's description as the web hands it to a download file: version
// (2 bytes), country, system, then texts and numbers.
Bytes InfoRecord(const sim::Identity& identity) {
  Bytes info(58, 0);
  int version = sim::DatabaseVersionOf(identity);
  info[0] = static_cast<std::uint8_t>(version >> 8);
  info[1] = static_cast<std::uint8_t>(version);
  info[2] = static_cast<std::uint8_t>(identity.countryId);
  info[3] = static_cast<std::uint8_t>(identity.systemId);
  return info;
}

}  // namespace

class Transfer : public SystemSuite {
 protected:
  static void SetUpTestSuite() {
    sim::Options system;
    system.rowsPerTable = kRowsPerTable;
    Launch({"tr_a", "tr_b", "tr_c", "tr_d"}, 2, &system);
  }
  // Whatever a test left behind, the system is free for the next one.
  void TearDown() override {
    if (server_ && !user_.empty()) CallOnce(*server_, user_, Disconnect());
  }

  // Links `user`'s slot to the simulated system on a connection of its own.
  void Link(const std::string& user) {
    user_ = user;
    Exchange connect = CallOnce(*server_, user, LinkRequest());
    ASSERT_EQ(connect.rc, 1);
    ASSERT_EQ(connect.answer.result(), 1);
  }
  Exchange Once(const client::Request& request) { return CallOnce(*server_, user_, request); }
  std::uint8_t ResultOf(const client::Request& request) { return Once(request).answer.result(); }

  static bool FileExists(const std::string& name) {
    return fs::exists(server_->commDir() + "/DB_USER/" + name + ".mdb");
  }

  std::string user_;
};

TEST_F(Transfer, WholeDownloadThenUploadLeavesTheSystemWithTheSameTables) {
  sim::TableStore& tables = system_->tables();
  std::vector<std::uint16_t> ids = SystemTables(tables);
  ASSERT_GT(ids.size(), 100u);
  std::map<std::uint16_t, sim::Table> original;
  for (std::uint16_t id : ids) ASSERT_EQ(tables.Read(id, original[id]), 1);

  ASSERT_NO_FATAL_FAILURE(Link("tr_a"));
  {
    client::WebClient c = server_->Connect("tr_a");
    Exchange start = Call(c, Control("ALL_DOWNLOAD_START", client::DownloadStartData("whole", 0)));
    ASSERT_EQ(start.answer.result(), 1);
    for (std::uint16_t id : ids) {
      Exchange e = Call(c, Control("DOWNLOAD_PGC", client::PgcTableData(id)));
      ASSERT_EQ(e.rc, 1) << std::hex << id;
      ASSERT_EQ(e.answer.result(), 1) << std::hex << id;
      EXPECT_EQ(e.answer.replyId(), 0);
    }
    // The web supplies the system's description, which the upload selects row lengths by.
    ASSERT_EQ(Call(c, Control("STORE_PGC", InfoRecord(tables.identity()))).answer.result(), 1);
    client::Request end = Control("ALL_DOWNLOAD_END");
    end.final = true;
    ASSERT_EQ(Call(c, end).answer.result(), 1);
    c.WaitClosed(kCloseMs);
  }
  // Closed and back online: a second end is refused by state.
  EXPECT_EQ(ResultOf(Control("ALL_DOWNLOAD_END")), 190);

  // The file opens offline and holds the system's rows.
  ASSERT_EQ(ResultOf(Disconnect()), 1);
  {
    client::WebClient c = server_->Connect("tr_a");
    ASSERT_EQ(Call(c, Control("FILE_OPEN", client::FileNameData("whole"))).answer.result(), 1);
    client::Request read;
    read.type = web::REQ_PGC;
    read.mode = web::kModeRead;
    read.messageId = 0x7240;
    Exchange rows = Call(c, read);
    ASSERT_EQ(rows.answer.result(), 1);
    EXPECT_EQ(rows.answer.data, original[0x7240].rows);
    client::Request close = Control("FILE_CLOSE", client::FileNameData("whole"));
    close.final = true;
    ASSERT_EQ(Call(c, close).answer.result(), 1);
    c.WaitClosed(kCloseMs);
  }

  // Upload into a system whose tables have been emptied.
  for (std::uint16_t id : ids) tables.Write(id, sim::Table{original[id].recordLength, {}});
  ASSERT_NO_FATAL_FAILURE(Link("tr_a"));
  {
    client::WebClient c = server_->Connect("tr_a");
    Exchange start = Call(c, Control("ALL_UPLOAD_START", client::FileNameData("whole")));
    EXPECT_EQ(start.answer.replyId(), 26);
    ASSERT_EQ(start.answer.result(), 1);
    for (std::uint16_t id : ids) {
      Exchange e = Call(c, Control("UPLOAD_PGC", client::PgcTableData(id)));
      ASSERT_EQ(e.rc, 1) << std::hex << id;
      ASSERT_EQ(e.answer.result(), 1) << std::hex << id;
    }
    client::Request end = Control("ALL_UPLOAD_END");
    end.final = true;
    ASSERT_EQ(Call(c, end).answer.result(), 1);
    c.WaitClosed(kCloseMs);
  }
  EXPECT_EQ(ResultOf(Control("ALL_UPLOAD_END")), 190);
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

TEST_F(Transfer, DownloadStartCreatesOrReusesByModeAndAnOddModeLeavesTheSlotOnline) {
  ASSERT_NO_FATAL_FAILURE(Link("tr_b"));
  ASSERT_FALSE(FileExists("modes"));
  Exchange create = Once(Control("ALL_DOWNLOAD_START", client::DownloadStartData("modes", 0)));
  EXPECT_EQ(create.answer.replyId(), 22);
  ASSERT_EQ(create.answer.result(), 1);
  EXPECT_EQ(FieldAt(create.answer.data, 0, 52), "modes");
  EXPECT_TRUE(FileExists("modes"));
  ASSERT_EQ(ResultOf(Control("ALL_DOWNLOAD_END")), 1);

  Exchange reuse = Once(Control("ALL_DOWNLOAD_START", client::DownloadStartData("modes", 1)));
  EXPECT_EQ(reuse.answer.replyId(), 0);
  ASSERT_EQ(reuse.answer.result(), 1);
  ASSERT_EQ(ResultOf(Control("ALL_DOWNLOAD_END")), 1);

  Exchange odd = Once(Control("ALL_DOWNLOAD_START", client::DownloadStartData("modes", 5)));
  EXPECT_EQ(odd.answer.replyId(), 0);
  EXPECT_EQ(odd.answer.result(), 170);
  // Back online: nothing to end, and a download can start.
  EXPECT_EQ(ResultOf(Control("ALL_DOWNLOAD_END")), 190);
  ASSERT_EQ(ResultOf(Control("ALL_DOWNLOAD_START", client::DownloadStartData("modes", 1))), 1);
  ASSERT_EQ(ResultOf(Control("ALL_DOWNLOAD_END")), 1);
}

TEST_F(Transfer, FailedReuseReturnsOnlineAndKeepsTheUsersConnectionMark) {
  // A file without a data source cannot be connected to.
  fs::copy_file(server_->commDir() + "/DB_WEB/WebInit.mdb", server_->commDir() + "/DB_USER/orphan.mdb");
  ASSERT_NO_FATAL_FAILURE(Link("tr_c"));
  Exchange reuse = Once(Control("ALL_DOWNLOAD_START", client::DownloadStartData("orphan", 1)));
  EXPECT_EQ(reuse.answer.replyId(), 0);
  EXPECT_EQ(reuse.answer.result(), DB_INIT_ERROR);
  EXPECT_EQ(ResultOf(Control("ALL_DOWNLOAD_END")), 190);
  auto row = server_->UserRow("tr_c");
  ASSERT_TRUE(row);
  EXPECT_EQ((*row)["connect_state"], "1");
  // Still linked: a download into a new file goes ahead.
  ASSERT_EQ(ResultOf(Control("ALL_DOWNLOAD_START", client::DownloadStartData("notorphan", 0))), 1);
  ASSERT_EQ(ResultOf(Control("ALL_DOWNLOAD_END")), 1);
}

TEST_F(Transfer, UploadOfAnEmptyTableSendsNothing) {
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

  Exchange start = Once(Control("ALL_UPLOAD_START", client::FileNameData("emptyup")));
  EXPECT_EQ(start.answer.replyId(), 26);
  ASSERT_EQ(start.answer.result(), 1);
  Exchange upload = Once(Control("UPLOAD_PGC", client::PgcTableData(id)));
  EXPECT_EQ(upload.answer.replyId(), 0);
  EXPECT_EQ(upload.answer.result(), 1);
  ASSERT_EQ(ResultOf(Control("ALL_UPLOAD_END")), 1);

  sim::Table now;
  ASSERT_EQ(tables.Read(id, now), 1);
  EXPECT_EQ(now.rows, kept.rows);
}
