// Taking the system over from another user: the old user's slot is given up
// with its work database and link, whether or not a connection serves it.
#include <gtest/gtest.h>

#include <filesystem>

#include "sim/simulator.h"
#include "support/comm_server.h"
#include "support/simulated_system.h"
#include "support/wire_helpers.h"

using namespace testsupport;
using client::Bytes;
namespace fs = std::filesystem;

class Takeover : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sim::Options system;
    system_ = StartSimulatedSystem(system);
    ServerOptions options;
    options.users = {{"to_a", "pw"}, {"to_b", "pw"}};
    server_ = LaunchServerForSystem(options, system.basePort);
  }
  static void TearDownTestSuite() {
    server_.reset();
    system_.reset();
  }
  void SetUp() override {
    ASSERT_TRUE(system_);
    ASSERT_TRUE(server_ && server_->running());
  }

  static client::Request Link(const char* request) {
    Bytes data;
    client::ConnectTcpData(client::kLinkIpv4, "127.0.0.1", data);
    return client::MakeRequest(request, data);
  }
  static std::string ConnectState(const std::string& user) {
    auto row = server_->UserRow(user);
    return row ? (*row)["connect_state"] : "<no row>";
  }
  static std::string WorkDbPath(const Exchange& connect) {
    return server_->commDir() + "/DB_WEB/" + FieldAt(connect.answer.data, 0, 52) + ".mdb";
  }

  // to_b takes the system over, and gives it back afterwards.
  static void TakeOverAndCheck() {
    Exchange takeover = CallOnce(*server_, "to_b", Link("TAKEOVER_SYSTEM"));
    ASSERT_EQ(takeover.rc, 1);
    EXPECT_EQ(takeover.answer.replyId(), 14);
    EXPECT_EQ(takeover.answer.result(), 1);
    EXPECT_EQ(ConnectState("to_b"), "1");
    EXPECT_EQ(ConnectState("to_a"), "0");
  }

  static inline SimulatedSystem system_;
  static inline std::unique_ptr<CommServer> server_;
};

TEST_F(Takeover, SlotWithoutAConnectionIsGivenUpAtOnce) {
  Exchange connect = CallOnce(*server_, "to_a", Link("CONNECT_SYSTEM"));
  ASSERT_EQ(connect.answer.result(), 1);
  ASSERT_TRUE(fs::exists(WorkDbPath(connect)));

  TakeOverAndCheck();
  EXPECT_FALSE(fs::exists(WorkDbPath(connect)));
  // The old slot is idle: its user may connect again once the system is free.
  EXPECT_EQ(CallOnce(*server_, "to_a", Disconnect()).answer.result(), STATE_IDLE);
  EXPECT_EQ(CallOnce(*server_, "to_b", Disconnect()).answer.result(), 1);
  EXPECT_EQ(CallOnce(*server_, "to_a", Link("CONNECT_SYSTEM")).answer.result(), 1);
  EXPECT_EQ(CallOnce(*server_, "to_a", Disconnect()).answer.result(), 1);
}

TEST_F(Takeover, SlotServedByAnOpenConnectionIsGivenUpBeforeItsNextRequest) {
  client::WebClient a = server_->Connect("to_a");
  Exchange connect = Call(a, Link("CONNECT_SYSTEM"));
  ASSERT_EQ(connect.rc, 1);
  ASSERT_EQ(connect.answer.result(), 1);

  TakeOverAndCheck();
  client::Request next = Disconnect();
  next.final = true;
  Exchange after = Call(a, next);
  ASSERT_EQ(after.rc, 1);
  EXPECT_EQ(after.answer.result(), STATE_IDLE);
  a.WaitClosed(kCloseMs);
  EXPECT_FALSE(fs::exists(WorkDbPath(connect)));
  EXPECT_EQ(ConnectState("to_a"), "0");
  EXPECT_EQ(CallOnce(*server_, "to_b", Disconnect()).answer.result(), 1);
}
