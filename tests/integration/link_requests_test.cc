// Requests of a slot linked to a simulated system, over the wire: the
// command set, the link check and a link that breaks under it, PGC reads
// and writes relayed to and from the system, tables read from it and
// uploaded to it, the restart, and the system's refusals.
//
// One server serves the suite; every test starts its own system (with the
// faults it needs) on the suite's ports and uses its own user.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "web/sxm_format.h"
#include "support/system_suite.h"

using namespace testsupport;
using client::Bytes;
namespace fs = std::filesystem;

namespace {

constexpr std::uint16_t kLinkCheck = 0x0000;
constexpr std::uint16_t kPgc500 = 0x5000;  // 40-byte rows, replaced as a whole
constexpr std::uint16_t kPgc501 = 0x5010;  // 60-byte rows; column 52 (from 0) is the web time-out in minutes
constexpr std::uint16_t kPgc724 = 0x7240;
constexpr std::uint16_t kPgc806 = 0x8060;
constexpr std::uint16_t kRestart = 0x0002;  // the simulator restarts on this message
constexpr int kRow500 = 40;
constexpr int kRow501 = 60;
constexpr int kTimeoutColumn = 52;
constexpr int kRowsPerTable = 80;  // PGC500 in 14 packets: acknowledged after the tenth and the last
constexpr int kTimeoutMinutes = 7;

client::Request LinkCheck() { return Pgc(web::REQ_PGC, web::kModeRead, kLinkCheck); }
// A read of the work database (type 162, mode read, while online).
client::Request WorkRead(std::uint16_t id) { return Pgc(web::REQ_TABLE_UPLOAD, web::kModeRead, id); }

// Whether the log shows a request for `messageId` sent to the system.
bool Requested(const std::string& logs, std::uint16_t messageId) {
  const std::string text = "messageID=" + std::to_string(messageId);
  for (std::size_t at = logs.find(text); at != std::string::npos; at = logs.find(text, at + 1)) {
    std::size_t next = at + text.size();
    if (next == logs.size() || logs[next] < '0' || logs[next] > '9') return true;
  }
  return false;
}

template <typename Condition>
bool WaitFor(Condition condition, int timeoutMs = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace

class LinkRequests : public SystemSuite {
 protected:
  static void SetUpTestSuite() {
    Launch({"lk_set", "lk_stop", "lk_check", "lk_timer", "lk_broken", "lk_download", "lk_error", "lk_read",
            "lk_write", "lk_upload", "lk_restart"},
           2);
  }
  void SetUp() override {
    SystemSuite::SetUp();
    if (HasFatalFailure()) return;
    logMark_ = server_->Logs().size();
  }
  void TearDown() override { system_.reset(); }

  bool StartSystem(sim::Faults faults = {}, int timeoutMinutes = kTimeoutMinutes) {
    sim::Options options;
    options.rowsPerTable = kRowsPerTable;
    options.identity.webTimeoutMinutes = timeoutMinutes;
    options.faults = faults;
    system_ = SystemSuite::StartSystem(options);
    return system_ != nullptr;
  }

  // Links `user` to the system; `workDb` receives the work database's name.
  // A takeover links the slot as a connect does, without the three seconds
  // a connect watches for the system's reject.
  static void Link(const std::string& user, std::string& workDb) {
    Exchange connect = CallOnce(*server_, user, LinkRequest("TAKEOVER_SYSTEM"));
    ASSERT_TRUE(Answered(connect, 14, 1));
    workDb = FieldAt(connect.answer.data, 0, 52);
  }
  // Links and checks the link, which stores the system's identity: the work
  // database then knows its row lengths.
  static void LinkAndCheck(const std::string& user, std::string& workDb) {
    ASSERT_NO_FATAL_FAILURE(Link(user, workDb));
    ASSERT_TRUE(Answered(CallOnce(*server_, user, LinkCheck()), kLinkCheck, 1));
  }

  static bool WorkDbExists(const std::string& workDb) {
    return fs::exists(server_->commDir() + "/DB_WEB/" + workDb + ".mdb");
  }
  static bool DsnRegistered(const std::string& name) {
    std::ifstream in(server_->dir() + "/odbc/odbc.ini");
    std::string line;
    while (std::getline(in, line))
      if (line == "[" + name + "]") return true;
    return false;
  }
  // The slot left nothing behind: no work database or its data source, no
  // mark on the user, and the slot is "idle" again.
  void ExpectGivenUp(const std::string& user, const std::string& workDb) {
    EXPECT_FALSE(WorkDbExists(workDb));
    EXPECT_FALSE(DsnRegistered(workDb));
    EXPECT_EQ(UserField(user), "0");
    Exchange idle = CallOnce(*server_, user, Pgc(web::REQ_PGC, web::kModeRead, kPgc500));
    EXPECT_EQ(idle.answer.result(), STATE_IDLE);
  }
  std::string NewLogs() const { return server_->Logs().substr(logMark_); }
  Bytes SystemRows(std::uint16_t id) {
    sim::Table table;
    system_->tables().Read(id, table);
    return table.rows;
  }

  std::size_t logMark_ = 0;
};

TEST_F(LinkRequests, SystemCommandSetLoadsItsTablesIntoTheWorkDatabase) {
  ASSERT_TRUE(StartSystem());
  std::string workDb;
  ASSERT_NO_FATAL_FAILURE(LinkAndCheck("lk_set", workDb));
  Exchange set = CallOnce(*server_, "lk_set", client::MakeRequest("SYSTEM_COMMAND_SET"));
  ASSERT_TRUE(Answered(set, 0, 1));
  EXPECT_EQ(set.answer.data.size(), 60u);
  const std::string logs = NewLogs();
  for (std::uint16_t id : {0x8060, 0x7240, 0x8240, 0x2171, 0x8020}) EXPECT_TRUE(Requested(logs, id)) << id;

  Exchange stored = CallOnce(*server_, "lk_set", WorkRead(kPgc724));
  ASSERT_EQ(stored.answer.result(), 1);
  EXPECT_EQ(SortedRows(stored.answer.data, 12), SortedRows(SystemRows(kPgc724), 12));
  EXPECT_EQ(Unlink("lk_set"), 1);
}

TEST_F(LinkRequests, SystemCommandSetStopsAtTheCommandWhoseLinkBreaks) {
  // PGC806 comes in 5 packets; the link drops after the first packet of PGC724.
  sim::Faults faults;
  faults.closeAfterPackets = 6;
  ASSERT_TRUE(StartSystem(faults));
  std::string workDb;
  ASSERT_NO_FATAL_FAILURE(Link("lk_stop", workDb));
  Exchange set = CallOnce(*server_, "lk_stop", client::MakeRequest("SYSTEM_COMMAND_SET"));
  ASSERT_EQ(set.rc, 1);
  EXPECT_EQ(set.answer.replyId(), 0);
  EXPECT_NE(set.answer.result(), 1);
  std::string logs = NewLogs();
  EXPECT_TRUE(Requested(logs, kPgc806) && Requested(logs, kPgc724));
  EXPECT_FALSE(Requested(logs, 0x8240));  // the commands after the broken one were never sent
  EXPECT_EQ(Unlink("lk_stop"), 1);
}

TEST_F(LinkRequests, LinkCheckRelaysTheSystemsIdentityAndTakesItsTimeOut) {
  ASSERT_TRUE(StartSystem());
  std::string workDb;
  ASSERT_NO_FATAL_FAILURE(Link("lk_check", workDb));
  client::WebClient connection = server_->Connect("lk_check");
  Exchange check = Call(connection, Final(LinkCheck()));
  ASSERT_EQ(check.rc, 1);
  EXPECT_EQ(connection.WaitClosed(kCloseMs), 1);  // the relayed answer is the only one
  ASSERT_EQ(check.answer.pieces.size(), 1u);
  EXPECT_TRUE(Answered(check, kLinkCheck, 1));
  EXPECT_EQ(check.answer.data, SystemRows(kLinkCheck));
  ASSERT_GT(check.answer.data.size(), 8u);
  EXPECT_EQ(check.answer.data[8], kTimeoutMinutes);
  EXPECT_NE(NewLogs().find("the time out value is changed to 7 minutes"), std::string::npos);
  // The slot stays linked after its connection ended.
  EXPECT_TRUE(WorkDbExists(workDb));
  EXPECT_EQ(UserField("lk_check"), "1");
  EXPECT_EQ(Unlink("lk_check"), 1);
}

TEST_F(LinkRequests, LinkCheckOnABrokenLinkGivesTheSlotUp) {
  ASSERT_TRUE(StartSystem());
  std::string workDb;
  ASSERT_NO_FATAL_FAILURE(Link("lk_broken", workDb));
  ASSERT_TRUE(WorkDbExists(workDb));
  system_->Stop();

  Exchange check = CallOnce(*server_, "lk_broken", LinkCheck());
  ASSERT_EQ(check.rc, 1);
  EXPECT_EQ(check.answer.replyId(), 0);
  EXPECT_NE(check.answer.result(), 1);
  EXPECT_EQ(check.answer.data, RefusalData(kLinkCheck));
  ExpectGivenUp("lk_broken", workDb);

  // Linking again works: nothing of the old link stands in the way.
  system_.reset();
  ASSERT_TRUE(StartSystem());
  ASSERT_NO_FATAL_FAILURE(LinkAndCheck("lk_broken", workDb));
  EXPECT_EQ(Unlink("lk_broken"), 1);
}

TEST_F(LinkRequests, LinkCheckFailingInADownloadAlsoClosesTheDownloadFile) {
  ASSERT_TRUE(StartSystem());
  std::string workDb;
  ASSERT_NO_FATAL_FAILURE(Link("lk_download", workDb));
  client::WebClient connection = server_->Connect("lk_download");
  client::Request start = client::MakeRequest("ALL_DOWNLOAD_START", client::DownloadStartData("lkdl", 0));
  ASSERT_EQ(Call(connection, start).answer.result(), 1);
  ASSERT_EQ(Call(connection, client::MakeRequest("DOWNLOAD_PGC", client::PgcTableData(kPgc724))).answer.result(), 1);
  const std::string wal = server_->commDir() + "/DB_USER/lkdl.mdb-wal";
  EXPECT_TRUE(fs::exists(wal));  // the download file is open
  system_->Stop();
  Exchange failed = Call(connection, Final(LinkCheck()));
  ASSERT_EQ(failed.rc, 1);
  EXPECT_NE(failed.answer.result(), 1);
  connection.WaitClosed(kCloseMs);
  ExpectGivenUp("lk_download", workDb);
  EXPECT_FALSE(fs::exists(wal));  // its last connection closed
}

TEST_F(LinkRequests, LinkCheckEndedByASpecialErrorRelaysTheSystemsPacketOnly) {
  sim::Faults faults;
  faults.specialError = 3;
  ASSERT_TRUE(StartSystem(faults));
  std::string workDb;
  ASSERT_NO_FATAL_FAILURE(Link("lk_error", workDb));
  client::WebClient connection = server_->Connect("lk_error");
  ASSERT_TRUE(Answered(Call(connection, Final(LinkCheck())), kLinkCheck, 3));
  EXPECT_EQ(connection.WaitClosed(kCloseMs), 1);  // no reply of COMM's own follows
  ExpectGivenUp("lk_error", workDb);
}

// The keep-alive is answered by COMM itself. (Were its answer acknowledged,
// the system would answer that acknowledgement, an FF FF packet itself, too,
// and the next read would take the stray answer for its own.)
TEST_F(LinkRequests, PgcReadsAreRelayedPacketByPacketAndKeepAlivesLeaveTheLinkInStep) {
  ASSERT_TRUE(StartSystem());
  std::string workDb;
  ASSERT_NO_FATAL_FAILURE(LinkAndCheck("lk_read", workDb));
  client::WebClient connection = server_->Connect("lk_read");
  Exchange alive = Call(connection, Pgc(web::REQ_PGC, web::kModeRead, sxm::kKeepAliveId));
  ASSERT_TRUE(Answered(alive, 0, 1));
  EXPECT_EQ(alive.answer.pieces.size(), 1u);
  EXPECT_EQ(alive.answer.data, RefusalData(sxm::kKeepAliveId));
  Exchange read = Call(connection, Pgc(web::REQ_PGC, web::kModeRead, kPgc500));
  ASSERT_TRUE(Answered(read, kPgc500, 1));
  EXPECT_EQ(read.answer.pieces.size(), 14u);
  EXPECT_EQ(read.answer.data, SystemRows(kPgc500));
  // The tenth packet's acknowledgement kept the system going; a second read
  // on the same link finds it in step.
  Exchange again = Call(connection, Final(Pgc(web::REQ_PGC, web::kModeRead, kPgc724)));
  ASSERT_EQ(again.rc, 1);
  EXPECT_EQ(again.answer.replyId(), kPgc724);
  EXPECT_EQ(again.answer.data, SystemRows(kPgc724));
  EXPECT_EQ(connection.WaitClosed(kCloseMs), 1);
  EXPECT_FALSE(Requested(NewLogs(), kPgc500));  // a relayed read is the web's packet, not one of COMM's
  // A relayed read of a stored message is stored whole, not only its final packet.
  Exchange stored = CallOnce(*server_, "lk_read", WorkRead(kPgc724));
  EXPECT_EQ(SortedRows(stored.answer.data, 12), SortedRows(SystemRows(kPgc724), 12));
  EXPECT_EQ(Unlink("lk_read"), 1);
}

TEST_F(LinkRequests, PgcWriteIsStoredInTheWorkDatabaseAndTheSystemsAnswerRelayed) {
  ASSERT_TRUE(StartSystem());
  std::string workDb;
  ASSERT_NO_FATAL_FAILURE(LinkAndCheck("lk_write", workDb));
  // Five rows in two packets, the web time-out of 3 minutes in column 52.
  Bytes rows = KeyedRows(5, kRow501, 0);
  for (int i = 0; i < 5; ++i) rows[static_cast<std::size_t>(i * kRow501 + kTimeoutColumn)] = 3;
  client::WebClient connection = server_->Connect("lk_write");
  const std::size_t split = 4 * kRow501;
  Bytes head(rows.begin(), rows.begin() + split);
  ASSERT_TRUE(Answered(Call(connection, Pgc(web::REQ_PGC, web::kModeWrite, kPgc501, head, kRow501)), kPgc501, 1));
  client::Request last = Pgc(web::REQ_PGC, web::kModeWrite, kPgc501, Bytes(rows.begin() + split, rows.end()), kRow501);
  last.final = true;
  ASSERT_TRUE(Answered(Call(connection, last), kPgc501, 1));
  EXPECT_EQ(connection.WaitClosed(kCloseMs), 1);

  EXPECT_EQ(SystemRows(kPgc501), rows);
  Exchange stored = CallOnce(*server_, "lk_write", WorkRead(kPgc501));
  ASSERT_EQ(stored.answer.result(), 1);
  EXPECT_EQ(SortedRows(stored.answer.data, kRow501), SortedRows(rows, kRow501));
  EXPECT_NE(NewLogs().find("the time out value is changed to 3 minutes"), std::string::npos);
  EXPECT_EQ(Unlink("lk_write"), 1);
}

TEST_F(LinkRequests, TableUploadReachesTheSystemOnlyWithItsFinalPacket) {
  ASSERT_TRUE(StartSystem());
  std::string workDb;
  ASSERT_NO_FATAL_FAILURE(LinkAndCheck("lk_upload", workDb));
  const Bytes before = SystemRows(kPgc500);
  Bytes rows = KeyedRows(18, kRow500, 9);  // three web packets, three system packets
  client::WebClient connection = server_->Connect("lk_upload");
  for (int packet = 0; packet < 3; ++packet) {
    auto from = rows.begin() + packet * 6 * kRow500;
    client::Request r = Pgc(web::REQ_TABLE_UPLOAD, web::kModeWrite, kPgc500, Bytes(from, from + 6 * kRow500), kRow500);
    r.final = packet == 2;
    ASSERT_TRUE(Answered(Call(connection, r), 0, 1)) << "packet " << packet;
    if (!r.final) {
      EXPECT_EQ(SystemRows(kPgc500), before) << "packet " << packet;
    }
  }
  EXPECT_EQ(SortedRows(SystemRows(kPgc500), kRow500), SortedRows(rows, kRow500));
  connection.Close();
  EXPECT_EQ(Unlink("lk_upload"), 1);
}

TEST_F(LinkRequests, RestartGivesTheSlotUp) {
  ASSERT_TRUE(StartSystem());
  std::string workDb;
  ASSERT_NO_FATAL_FAILURE(Link("lk_restart", workDb));
  Exchange restart =
      CallOnce(*server_, "lk_restart", Pgc(web::REQ_RESTART, web::kModeWrite, kRestart, Bytes(4, 0)));
  ASSERT_TRUE(Answered(restart, 0, 1));
  EXPECT_TRUE(WaitFor([&] { return system_->restarts() == 1; }));
  EXPECT_NE(server_->Console().find("receive system restart message, reset link and state"), std::string::npos);
  ExpectGivenUp("lk_restart", workDb);
}

// A slot keeps the time-out its last link check set, so this runs on a
// server of its own.
class LinkTimeout : public LinkRequests {};

TEST_F(LinkTimeout, LinkCheckTimeOutGovernsHowLongTheSlotOutlivesItsConnection) {
  // A system that allows 0 minutes: the slot is given up as soon as its
  // connection ends, where the default would keep it for five minutes.
  ASSERT_TRUE(StartSystem({}, 0));
  std::string workDb;
  ASSERT_NO_FATAL_FAILURE(Link("lk_timer", workDb));
  EXPECT_TRUE(WorkDbExists(workDb));
  ASSERT_EQ(CallOnce(*server_, "lk_timer", LinkCheck()).answer.result(), 1);
  EXPECT_TRUE(WaitFor([&] { return !WorkDbExists(workDb); }));
  EXPECT_TRUE(WaitFor([&] { return UserField("lk_timer") == "0"; }));
}
