// Taking the system over from another user: the old user's slot is given up
// with its work database and link, whether or not a connection serves it.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/system_suite.h"

using namespace testsupport;
namespace fs = std::filesystem;

class Takeover : public SystemSuite {
 protected:
  static void SetUpTestSuite() {
    sim::Options system;
    Launch({"to_a", "to_b"}, 9, &system);
  }
  // to_b takes the system over, and gives it back afterwards.
  static void TakeOverAndCheck() {
    Exchange takeover = CallOnce(*server_, "to_b", LinkRequest("TAKEOVER_SYSTEM"));
    ASSERT_EQ(takeover.rc, 1);
    EXPECT_EQ(takeover.answer.replyId(), 14);
    EXPECT_EQ(takeover.answer.result(), 1);
    EXPECT_EQ(UserField("to_b"), "1");
    EXPECT_EQ(UserField("to_a"), "0");
  }
};

TEST_F(Takeover, SlotWithoutAConnectionIsGivenUpAtOnce) {
  Exchange connect = CallOnce(*server_, "to_a", LinkRequest("CONNECT_SYSTEM"));
  ASSERT_EQ(connect.answer.result(), 1);
  ASSERT_TRUE(fs::exists(WorkDbPath(connect)));

  TakeOverAndCheck();
  EXPECT_FALSE(fs::exists(WorkDbPath(connect)));
  // The old slot is idle: its user may connect again once the system is free.
  EXPECT_EQ(CallOnce(*server_, "to_a", Disconnect()).answer.result(), STATE_IDLE);
  EXPECT_EQ(CallOnce(*server_, "to_b", Disconnect()).answer.result(), 1);
  EXPECT_EQ(CallOnce(*server_, "to_a", LinkRequest("CONNECT_SYSTEM")).answer.result(), 1);
  EXPECT_EQ(CallOnce(*server_, "to_a", Disconnect()).answer.result(), 1);
}

TEST_F(Takeover, SlotServedByAnOpenConnectionIsGivenUpBeforeItsNextRequest) {
  client::WebClient a = server_->Connect("to_a");
  Exchange connect = Call(a, LinkRequest("CONNECT_SYSTEM"));
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
  EXPECT_EQ(UserField("to_a"), "0");
  EXPECT_EQ(CallOnce(*server_, "to_b", Disconnect()).answer.result(), 1);
}
