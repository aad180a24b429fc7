// Linking a slot to a simulated system over the wire: connect, the work
// database and the user's mark, the reject of a second user, disconnect.
#include <gtest/gtest.h>

#include <filesystem>

#include "sim/simulator.h"
#include "support/simulated_system.h"
#include "support/comm_server.h"
#include "support/wire_helpers.h"

using namespace testsupport;
using client::Bytes;
namespace fs = std::filesystem;

class Connect : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sim::Options system;
    system_ = StartSimulatedSystem(system);
    port_ = system.basePort;
    ServerOptions options;
    options.infoLevel = 2;
    options.users = {{"cn_a", "pw"}, {"cn_b", "pw"}, {"cn_c", "pw"}};
    server_ = LaunchServerForSystem(options, port_);
  }
  static void TearDownTestSuite() {
    server_.reset();
    system_.reset();
  }
  void SetUp() override {
    ASSERT_TRUE(system_);
    ASSERT_TRUE(server_ && server_->running());
  }

  static client::Request ConnectRequest(std::uint8_t linkType = client::kLinkIpv4) {
    Bytes data;
    client::ConnectTcpData(client::kLinkIpv4, "127.0.0.1", data);
    data[0] = linkType;
    return client::MakeRequest("CONNECT_SYSTEM", data);
  }
  static std::string Field(const std::string& user, const std::string& column) {
    auto row = server_->UserRow(user);
    return row ? (*row)[column] : "<no row>";
  }

  static inline SimulatedSystem system_;
  static inline std::uint16_t port_ = 0;
  static inline std::unique_ptr<CommServer> server_;
};

TEST_F(Connect, ConnectOpensTheWorkDatabaseAndDisconnectClosesIt) {
  Exchange connect = CallOnce(*server_, "cn_a", ConnectRequest());
  ASSERT_EQ(connect.rc, 1);
  EXPECT_EQ(connect.answer.replyId(), 14);
  ASSERT_EQ(connect.answer.result(), 1);
  std::string workDb = FieldAt(connect.answer.data, 0, 52);
  EXPECT_EQ(workDb.rfind("workDB_", 0), 0u);
  EXPECT_TRUE(fs::exists(server_->commDir() + "/DB_WEB/" + workDb + ".mdb"));
  EXPECT_EQ(Field("cn_a", "connect_state"), "1");

  // A second user on the same system is turned away by it.
  Exchange second = CallOnce(*server_, "cn_b", ConnectRequest());
  ASSERT_EQ(second.rc, 1);
  EXPECT_EQ(second.answer.replyId(), 14);
  EXPECT_EQ(second.answer.result(), CONNECT_FAIL_USED);
  EXPECT_EQ(Field("cn_b", "connect_state"), "0");

  // The linked slot outlived its connection; a connect now is refused by state.
  EXPECT_EQ(CallOnce(*server_, "cn_a", ConnectRequest()).answer.result(), 190);

  Exchange disconnect = CallOnce(*server_, "cn_a", Disconnect());
  ASSERT_EQ(disconnect.rc, 1);
  EXPECT_EQ(disconnect.answer.replyId(), 0);
  EXPECT_EQ(disconnect.answer.result(), 1);
  EXPECT_EQ(Field("cn_a", "connect_state"), "0");
  EXPECT_FALSE(fs::exists(server_->commDir() + "/DB_WEB/" + workDb + ".mdb"));

  // The system is free again.
  Exchange again = CallOnce(*server_, "cn_b", ConnectRequest());
  EXPECT_EQ(again.answer.result(), 1);
  EXPECT_EQ(CallOnce(*server_, "cn_b", Disconnect()).answer.result(), 1);
}

TEST_F(Connect, UserWithAConnectionMarkIsRefused) {
  ASSERT_TRUE(server_->Exec("update userinfo set connect_state = 1 where user_id = 'cn_c'"));
  Exchange connect = CallOnce(*server_, "cn_c", ConnectRequest());
  EXPECT_EQ(connect.answer.replyId(), 14);
  EXPECT_EQ(connect.answer.result(), USER_NOT_IDLE);
  ASSERT_TRUE(server_->Exec("update userinfo set connect_state = 0 where user_id = 'cn_c'"));
}
