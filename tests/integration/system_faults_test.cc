// The system link under stress: malformed or cut answers are refused with
// nothing stored while the server goes on serving, and slots on different
// systems transfer at the same time while a system keeps turning a second
// client away.
#include <gtest/gtest.h>

#include <thread>

#include "support/system_suite.h"

using namespace testsupport;

namespace {

constexpr std::uint16_t kPgc500 = 0x5000;  // 40-byte rows, 80 of them: 14 packets
constexpr int kRowsPerTable = 80;

// The first column of the first row of `sql` on a database file, bypassing
// the server; "" when there is none.
std::string Sqlite(const std::string& path, const std::string& sql) {
  std::vector<Row> rows = SqliteQuery(path, sql);
  return rows.empty() || rows[0].empty() ? "" : rows[0].begin()->second;
}

}  // namespace

class SystemFaults : public SystemSuite {
 protected:
  static void SetUpTestSuite() { Launch({"sf_a", "sf_b", "sf_c"}); }

  static SimulatedSystem StartSystem(const std::string& address, sim::Faults faults = {}) {
    sim::Options options;
    options.address = address;
    options.rowsPerTable = kRowsPerTable;
    options.faults = faults;
    return SystemSuite::StartSystem(options);
  }

  // Links `user` to the system at `address`; the work database's path, or
  // "" after a failure (with the result in `result`).
  static std::string Link(const std::string& user, const std::string& address, const char* request,
                          int* result = nullptr) {
    Exchange connect = CallOnce(*server_, user, LinkRequest(request, address));
    if (result != nullptr) *result = connect.answer.result();
    if (connect.answer.result() != 1) return "";
    return WorkDbPath(connect);
  }
};

TEST_F(SystemFaults, MalformedOrCutAnswersAreRefusedWithNothingStored) {
  struct Case {
    const char* name;
    sim::Malformed malformed;
    int closeAfterPackets;
    int result;
    const char* logged;  // each fault is refused by its own check
  } cases[] = {
      {"wrong packet type", sim::Malformed::kWrongType, 0, 170, "Message type received from system is error"},
      {"length below 10", sim::Malformed::kShortLength, 0, 170, "length = 65535"},
      {"length above 250", sim::Malformed::kLongLength, 0, 170, "length = 241"},
      {"sequence gap", sim::Malformed::kSequenceGap, 0, 170, "The seqence number of message is not continue."},
      {"message id change", sim::Malformed::kMessageIdChange, 0, 170, "The message ID of message is not same."},
      {"link cut after three packets", sim::Malformed::kNone, 3, 214, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t logMark = server_->Logs().size();
    sim::Faults faults;
    faults.malformed = c.malformed;
    faults.closeAfterPackets = c.closeAfterPackets;
    auto system = StartSystem("127.0.0.1", faults);
    ASSERT_TRUE(system);
    std::string workDb = Link("sf_a", "127.0.0.1", "TAKEOVER_SYSTEM");
    ASSERT_FALSE(workDb.empty());
    Sqlite(workDb, "insert into PGC500 (d1, d2) values (1, 2), (3, 4), (5, 6)");

    // A table read from the system replaces the work database's table only
    // once the whole answer has come.
    Exchange read = CallOnce(*server_, "sf_a", Pgc(web::REQ_TABLE_DOWNLOAD, web::kModeRead, kPgc500));
    ASSERT_TRUE(Answered(read, 0, c.result));
    EXPECT_EQ(Sqlite(workDb, "select count(*) from PGC500"), "3");
    EXPECT_NE(server_->Logs().find(c.logged, logMark), std::string::npos);
    EXPECT_EQ(Unlink("sf_a"), 1);
  }

  // The server goes on serving: a sound system is read whole.
  auto system = StartSystem("127.0.0.1");
  ASSERT_TRUE(system);
  std::string workDb = Link("sf_a", "127.0.0.1", "TAKEOVER_SYSTEM");
  ASSERT_FALSE(workDb.empty());
  Exchange read = CallOnce(*server_, "sf_a", Pgc(web::REQ_TABLE_DOWNLOAD, web::kModeRead, kPgc500));
  EXPECT_EQ(read.answer.result(), 1);
  EXPECT_EQ(read.answer.pieces.size(), 1u);  // nothing of the system's is relayed
  EXPECT_EQ(read.answer.data, RefusalData(kPgc500));
  EXPECT_EQ(Sqlite(workDb, "select count(*) from PGC500"), std::to_string(kRowsPerTable));
  EXPECT_EQ(Unlink("sf_a"), 1);
}

TEST_F(SystemFaults, TwoSlotsOnTwoSystemsTransferAtOnceAndAThirdUserIsRejected) {
  auto first = StartSystem("127.0.0.2");
  auto second = StartSystem("127.0.0.3");
  ASSERT_TRUE(first && second);
  ASSERT_FALSE(Link("sf_a", "127.0.0.2", "CONNECT_SYSTEM").empty());
  ASSERT_FALSE(Link("sf_b", "127.0.0.3", "CONNECT_SYSTEM").empty());
  int rejected = 0;
  EXPECT_TRUE(Link("sf_c", "127.0.0.2", "CONNECT_SYSTEM", &rejected).empty());
  EXPECT_EQ(rejected, CONNECT_FAIL_USED);

  sim::Table expected[2];
  first->tables().Read(kPgc500, expected[0]);
  second->tables().Read(kPgc500, expected[1]);
  constexpr int kReads = 5;
  int good[2] = {0, 0};
  auto reader = [&](int which, const char* user) {
    client::WebClient connection = server_->Connect(user);
    for (int i = 0; i < kReads; ++i) {
      client::Request read = Pgc(web::REQ_PGC, web::kModeRead, kPgc500);
      read.final = i == kReads - 1;
      Exchange answer = Call(connection, read);
      if (answer.rc == 1 && answer.answer.result() == 1 && answer.answer.data == expected[which].rows) ++good[which];
    }
    connection.WaitClosed(kCloseMs);
  };
  std::thread a(reader, 0, "sf_a");
  std::thread b(reader, 1, "sf_b");
  a.join();
  b.join();
  EXPECT_EQ(good[0], kReads);
  EXPECT_EQ(good[1], kReads);
  EXPECT_EQ(Unlink("sf_a"), 1);
  EXPECT_EQ(Unlink("sf_b"), 1);
  // The rejected user holds nothing and may link once the system is free.
  EXPECT_FALSE(Link("sf_c", "127.0.0.2", "CONNECT_SYSTEM").empty());
  EXPECT_EQ(Unlink("sf_c"), 1);
}
