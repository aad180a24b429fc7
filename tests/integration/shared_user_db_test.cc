// Two COMM instances on one user database on a PostgreSQL server: a login
// through one holds against the other, administration through one is seen
// by both, a takeover reaches across them, and each start-up clears only its
// own users' marks.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "frame/result_codes.h"
#include "sim/simulator.h"
#include "support/comm_server.h"
#include "support/pg_database.h"
#include "support/simulated_system.h"
#include "support/wire_helpers.h"

using namespace testsupport;
using client::Bytes;

class SharedUserDb : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    url_ = CreateServerDatabase(why);
    if (url_.empty()) {
      skipReason_ = why;
      return;
    }
    sim::Options system;
    system_ = StartSimulatedSystem(system);
    ServerOptions options;
    options.userDb = url_;
    options.users = {{"admin", "admin"}, {"sh_a", "pw"}, {"sh_b", "pw"}};
    first_ = LaunchServerForSystem(options, system.basePort);
    // The second installation runs tavrel-setup on the same database again.
    second_ = LaunchServerForSystem(options, system.basePort);
  }
  static void TearDownTestSuite() {
    first_.reset();
    second_.reset();
    system_.reset();
    if (!url_.empty()) DropServerDatabase(url_);
  }
  void SetUp() override {
    if (!skipReason_.empty()) GTEST_SKIP() << skipReason_;
    ASSERT_TRUE(system_);
    ASSERT_TRUE(first_ && first_->running());
    ASSERT_TRUE(second_ && second_->running());
  }

  static int Result(CommServer& server, const std::string& user, client::Request request) {
    return CallOnce(server, user, std::move(request)).answer.result();
  }
  static std::string Column(const std::string& user, const char* column) {
    auto row = first_->UserRow(user);
    return row ? (*row)[column] : "<no row>";
  }

  static inline std::string url_, skipReason_;
  static inline testsupport::SimulatedSystem system_;
  static inline std::unique_ptr<CommServer> first_, second_;
};

TEST_F(SharedUserDb, LoginThroughOneInstanceIsRefusedByTheOther) {
  ASSERT_EQ(CallOnce(*first_, "sh_a", Login("sh_a", "pw", "s1")).answer.result(), 1);
  Exchange again = CallOnce(*second_, "sh_a", Login("sh_a", "pw", "s2"));
  EXPECT_EQ(again.answer.result(), LOGIN_DUPLICATE);
  EXPECT_EQ(Column("sh_a", "session_id"), "s1");

  ASSERT_EQ(CallOnce(*first_, "sh_a", Logout("sh_a", "s1")).answer.result(), 1);
  EXPECT_EQ(CallOnce(*second_, "sh_a", Login("sh_a", "pw", "s2")).answer.result(), 1);
  EXPECT_EQ(CallOnce(*second_, "sh_a", Logout("sh_a", "s2")).answer.result(), 1);
}

TEST_F(SharedUserDb, SimultaneousLoginsThroughBothInstancesLetOneIn) {
  for (int round = 0; round < 10; ++round) {
    std::atomic<int> admitted{0}, refused{0};
    std::string winner;
    std::mutex lock;
    auto attempt = [&](CommServer& server, const std::string& session) {
      int result = CallOnce(server, "sh_b", Login("sh_b", "pw", session)).answer.result();
      if (result == 1) {
        ++admitted;
        std::lock_guard guard(lock);
        winner = session;
      } else if (result == LOGIN_DUPLICATE) {
        ++refused;
      }
    };
    std::thread one(attempt, std::ref(*first_), "r1");
    std::thread two(attempt, std::ref(*second_), "r2");
    one.join();
    two.join();
    ASSERT_EQ(admitted.load(), 1) << "round " << round;
    ASSERT_EQ(refused.load(), 1) << "round " << round;
    EXPECT_EQ(Column("sh_b", "session_id"), winner);
    ASSERT_EQ(CallOnce(*first_, "sh_b", Logout("sh_b", winner)).answer.result(), 1);
  }
}

TEST_F(SharedUserDb, AdministrationThroughOneIsSeenByTheOther) {
  ASSERT_EQ(Result(*first_, "admin", UserSet({client::UserRecord(client::kInsert, 1, "sh_new", "one")})), 1);
  EXPECT_EQ(CallOnce(*second_, "sh_new", Login("sh_new", "one", "s3")).answer.result(), 1);
  EXPECT_EQ(CallOnce(*second_, "sh_new", Logout("sh_new", "s3")).answer.result(), 1);
  // A second insert of the same id is refused wherever it comes from.
  EXPECT_EQ(Result(*second_, "admin", UserSet({client::UserRecord(client::kInsert, 1, "sh_new", "two")})),
            DB_INSERT_ERROR_EXIST);

  Bytes link = client::LinkRecord(client::kInsert, 0, "shared-trunk", {127, 0, 0, 1});
  ASSERT_EQ(CallOnce(*second_, "admin", client::MakeRequest("LINK_SET", link)).answer.result(), 1);
  link[0] = client::kDelete;
  EXPECT_EQ(CallOnce(*first_, "admin", client::MakeRequest("LINK_SET", link)).answer.result(), 1);
  EXPECT_EQ(Result(*first_, "admin", UserSet({client::UserRecord(client::kDelete, 1, "sh_new", "")})), 1);
  EXPECT_EQ(CallOnce(*second_, "sh_new", Login("sh_new", "one", "s4")).answer.result(), LOGIN_ID_ERR);
}

TEST_F(SharedUserDb, TakeoverReachesAUserOfTheOtherInstance) {
  client::WebClient a = first_->Connect("sh_a");
  ASSERT_EQ(Call(a, LinkRequest("CONNECT_SYSTEM")).answer.result(), 1);
  ASSERT_EQ(Column("sh_a", "connect_state"), "1");

  ASSERT_TRUE(Answered(CallOnce(*second_, "sh_b", LinkRequest("TAKEOVER_SYSTEM")), 14, 1));
  EXPECT_EQ(Column("sh_b", "connect_state"), "1");
  EXPECT_EQ(Column("sh_a", "connect_state"), "0");

  // The first instance finds its link gone on the next exchange and gives
  // the slot up; the mark it leaves stays cleared.
  EXPECT_NE(Call(a, client::MakeRequest("LINK_CHECK", {})).answer.result(), 1);
  EXPECT_EQ(CallOnce(*first_, "sh_a", Disconnect()).answer.result(), STATE_IDLE);
  EXPECT_EQ(Column("sh_a", "connect_state"), "0");
  EXPECT_EQ(Column("sh_b", "connect_state"), "1");
  EXPECT_EQ(CallOnce(*second_, "sh_b", Disconnect()).answer.result(), 1);
}

TEST_F(SharedUserDb, StartUpClearsOnlyItsOwnUsersMarks) {
  ASSERT_EQ(Result(*first_, "sh_a", client::MakeRequest("FILE_CREATE", client::FileNameData("mark_a"))), 1);
  ASSERT_EQ(Result(*second_, "sh_b", client::MakeRequest("FILE_CREATE", client::FileNameData("mark_b"))), 1);
  ASSERT_TRUE(Column("sh_a", "connect_state") == "2" && Column("sh_b", "connect_state") == "2");

  second_->Stop();
  ASSERT_TRUE(second_->Start());
  ASSERT_TRUE(second_->WaitListening());
  // The marks are cleared after the listener opens, before the timer starts.
  ASSERT_TRUE(second_->WaitConsole("Create CheckWebDisconnectTime", 10000));
  EXPECT_EQ(Column("sh_b", "connect_state"), "0");
  EXPECT_EQ(Column("sh_a", "connect_state"), "2") << "a user of the running first instance lost its mark";

  EXPECT_EQ(Result(*first_, "sh_a", client::MakeRequest("FILE_CLOSE", client::FileNameData("mark_a"))), 1);
  EXPECT_EQ(Column("sh_a", "connect_state"), "0");
}
