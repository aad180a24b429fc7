// Linking a slot to a simulated system over the wire: connect, the work
// database and the user's mark, the reject of a second user, disconnect, and
// a takeover that gives up the old user's slot while a connection serves it.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/system_suite.h"

using namespace testsupport;
namespace fs = std::filesystem;

class Connect : public SystemSuite {
 protected:
  static void SetUpTestSuite() {
    sim::Options system;
    Launch({"cn_a", "cn_b", "cn_c", "to_a", "to_b"}, 2, &system);
  }
};

TEST_F(Connect, ConnectOpensTheWorkDatabaseAndDisconnectClosesIt) {
  Exchange connect = CallOnce(*server_, "cn_a", LinkRequest());
  ASSERT_TRUE(Answered(connect, 14, 1));
  std::string workDb = FieldAt(connect.answer.data, 0, 52);
  EXPECT_EQ(workDb.rfind("workDB_", 0), 0u);
  EXPECT_TRUE(fs::exists(server_->commDir() + "/DB_WEB/" + workDb + ".mdb"));
  EXPECT_EQ(UserField("cn_a", "connect_state"), "1");

  // A second user on the same system is turned away by it.
  ASSERT_TRUE(Answered(CallOnce(*server_, "cn_b", LinkRequest()), 14, CONNECT_FAIL_USED));
  EXPECT_EQ(UserField("cn_b", "connect_state"), "0");

  // The linked slot outlived its connection; a connect now is refused by state.
  EXPECT_EQ(CallOnce(*server_, "cn_a", LinkRequest()).answer.result(), 190);

  ASSERT_TRUE(Answered(CallOnce(*server_, "cn_a", Disconnect()), 0, 1));
  EXPECT_EQ(UserField("cn_a", "connect_state"), "0");
  EXPECT_FALSE(fs::exists(server_->commDir() + "/DB_WEB/" + workDb + ".mdb"));

  // The system is free again.
  EXPECT_EQ(CallOnce(*server_, "cn_b", LinkRequest()).answer.result(), 1);
  EXPECT_EQ(CallOnce(*server_, "cn_b", Disconnect()).answer.result(), 1);
}

TEST_F(Connect, UserWithAConnectionMarkIsRefused) {
  ASSERT_TRUE(server_->Exec("update userinfo set connect_state = 1 where user_id = 'cn_c'"));
  EXPECT_TRUE(Answered(CallOnce(*server_, "cn_c", LinkRequest()), 14, USER_NOT_IDLE));
  ASSERT_TRUE(server_->Exec("update userinfo set connect_state = 0 where user_id = 'cn_c'"));
}

TEST_F(Connect, TakeoverGivesUpASlotServedByAnOpenConnectionBeforeItsNextRequest) {
  client::WebClient a = server_->Connect("to_a");
  Exchange connect = Call(a, LinkRequest("CONNECT_SYSTEM"));
  ASSERT_TRUE(Answered(connect, 14, 1));

  ASSERT_TRUE(Answered(CallOnce(*server_, "to_b", LinkRequest("TAKEOVER_SYSTEM")), 14, 1));
  EXPECT_TRUE(UserField("to_b") == "1" && UserField("to_a") == "0");
  Exchange after = Call(a, Final(Disconnect()));
  ASSERT_TRUE(after.rc == 1 && after.answer.result() == STATE_IDLE) << after.rc << " " << int(after.answer.result());
  a.WaitClosed(kCloseMs);
  EXPECT_FALSE(fs::exists(WorkDbPath(connect)));
  EXPECT_EQ(UserField("to_a"), "0");
  EXPECT_EQ(CallOnce(*server_, "to_b", Disconnect()).answer.result(), 1);
}
