// A web connection served end to end on a socket pair: the first message,
// the slot of its user, the exchange, and what becomes of the slot after.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "client/request_data.h"
#include "client/web_client.h"
#include "frame/config.h"
#include "frame/log.h"
#include "frame/slots.h"
#include "platform/socket.h"
#include "requests/request.h"
#include "server/connection.h"
#include "server/web_timer.h"
#include "web/web_timer.h"
#include "support/test_installation.h"

namespace {

class WebSession : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto& inst = testsupport::SharedInstallation();
    SetPaths(BuildPaths(inst.commDir, inst.dir + "/web"));
    testsupport::ResetUserTables();
    ClearAllFlags();
    for (int i = 0; i < kSlotCount; ++i) web::StopWebDisconnectTimer(i);
  }
  void TearDown() override {
    for (auto& t : servers_) t.join();
    ClearAllFlags();
    for (int i = 0; i < kSlotCount; ++i) web::StopWebDisconnectTimer(i);
  }

  // A client connected to a connection served by ServeConnection.
  client::WebClient Connect(const std::string& user) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    platform::SetNonBlocking(fds[0]);
    servers_.emplace_back([fd = fds[0]] { server::ServeConnection(fd); });
    client::WebClient c{platform::Socket(fds[1])};
    c.SetUser(user);
    return c;
  }
  static client::Request LinkSet(bool final) {
    return {.messageId = requests::LINK_SET, .userId = {}, .data = {}, .final = final};
  }
  // One final request of `user` on a connection of its own, served to its end; the call's result.
  int Once(const std::string& user, client::Request request, client::Answer& answer) {
    auto c = Connect(user);
    request.final = true;
    int rc = c.Call(request, answer);
    EXPECT_TRUE(rc != 1 || c.WaitClosed(5000) == 1);
    JoinServers();
    return rc;
  }
  // Puts `user` on slot `varNum` as if an earlier request had linked it.
  static void Linked(int varNum, const std::string& user) {
    SetSlotInUse(1, varNum);
    SetSlotIndex(user, varNum);
    SetState(varNum, state::kOnline);
    SlotAt(varNum).userId = user;
    testsupport::UserDbExec("update userinfo set connect_state = 1 where user_id = '" + user + "'");
  }
  void JoinServers() {
    for (auto& t : servers_) t.join();
    servers_.clear();
  }
  std::string ConnectState(const std::string& user) {
    return testsupport::UserDbQuery("select connect_state from userinfo where user_id = '" + user + "'")[0][0];
  }

  std::vector<std::thread> servers_;
};

TEST_F(WebSession, IdleSlotIsFreedWhenTheConnectionEnds) {
  client::Answer answer;
  ASSERT_EQ(Once("alice", LinkSet(true), answer), 1);
  EXPECT_EQ(answer.result(), 1);
  EXPECT_EQ(FindSlotByUser("alice"), -1);
  EXPECT_EQ(FindFreeSlot(), 0);
}

// The time-out counts in whole seconds: 275.5 s give up after 275 s.
TEST_F(WebSession, LinkedSlotOutlivesItsConnectionUntilTheTimerFires) {
  Linked(2, "bob");
  SlotAt(2).webDisconnectTimeoutMs = 275500;
  client::Answer answer;
  ASSERT_EQ(Once("bob", LinkSet(true), answer), 1);
  std::uint32_t bobStart = SlotAt(2).timer.startTick.load();
  EXPECT_EQ(server::SweepWebTimers(bobStart + 275000), 0);
  EXPECT_EQ(server::SweepWebTimers(bobStart + 275001), 1);

  Linked(4, "alice");
  ASSERT_EQ(Once("alice", LinkSet(true), answer), 1);

  Slot& slot = SlotAt(4);
  EXPECT_EQ(FindSlotByUser("alice"), 4);
  ASSERT_EQ(slot.timer.stopped.load(), 0);
  EXPECT_EQ(slot.webMessageFlag.load(), 0);
  std::uint32_t start = slot.timer.startTick.load();

  EXPECT_EQ(server::SweepWebTimers(start + 300000), 0);  // not a moment early
  EXPECT_EQ(SlotState(4), state::kOnline);
  EXPECT_EQ(server::SweepWebTimers(start + 300001), 1);
  EXPECT_EQ(SlotState(4), state::kIdle);
  EXPECT_EQ(FindSlotByUser("alice"), -1);
  EXPECT_EQ(slot.inUse, 0);
  EXPECT_EQ(ConnectState("alice"), "0");
}

TEST_F(WebSession, OfflineFileIsClosedWhenTheTimerFires) {
  client::Request create{.messageId = requests::FILE_CREATE, .userId = {}, .data = client::FileNameData("timerfile")};
  client::Answer answer;
  ASSERT_EQ(Once("bob", create, answer), 1);
  ASSERT_EQ(answer.result(), 1);
  int varNum = FindSlotByUser("bob");
  ASSERT_GE(varNum, 0);
  EXPECT_EQ(SlotState(varNum), state::kOffline);
  EXPECT_TRUE(SlotAt(varNum).db[kOfflineDb].open());
  EXPECT_EQ(ConnectState("bob"), "2");

  std::uint32_t start = SlotAt(varNum).timer.startTick.load();
  EXPECT_EQ(server::SweepWebTimers(start + 300001), 1);
  EXPECT_EQ(SlotState(varNum), state::kIdle);
  EXPECT_FALSE(SlotAt(varNum).db[kOfflineDb].open());
  EXPECT_EQ(ConnectState("bob"), "0");
  EXPECT_EQ(FindSlotByUser("bob"), -1);
}

TEST_F(WebSession, ReturningUserStopsTheTimerAndKeepsTheSlot) {
  Linked(6, "alice");
  client::Answer answer;
  ASSERT_EQ(Once("alice", LinkSet(true), answer), 1);
  ASSERT_EQ(SlotAt(6).timer.stopped.load(), 0);
  auto c = Connect("alice");
  ASSERT_EQ(c.Call(LinkSet(false), answer), 1);  // served on the same slot
  EXPECT_EQ(SlotAt(6).timer.stopped.load(), 1);
  std::uint32_t start = SlotAt(6).timer.startTick.load();
  EXPECT_EQ(server::SweepWebTimers(start + 400000), 0);  // a stopped timer never fires
  EXPECT_EQ(SlotState(6), state::kOnline);
  ASSERT_EQ(c.Call(LinkSet(true), answer), 1);
}

TEST_F(WebSession, BrokenConnectionGivesTheSlotUpAtOnce) {
  Linked(3, "bob");
  {
    auto c = Connect("bob");
    client::Answer answer;
    ASSERT_EQ(c.Call(LinkSet(false), answer), 1);
  }  // closed without a final message
  JoinServers();
  EXPECT_EQ(SlotState(3), state::kIdle);
  EXPECT_EQ(FindSlotByUser("bob"), -1);
  EXPECT_EQ(ConnectState("bob"), "0");
}

TEST_F(WebSession, SecondConnectionOfABusyUserGetsTheBusyReply) {
  SetSlotInUse(1, 0);
  SetSlotIndex("alice", 0);
  SlotAt(0).webMessageFlag = 1;  // a thread is still serving alice
  auto c = Connect("alice");
  ASSERT_EQ(c.Send(LinkSet(true)), 1);
  client::Reply reply;
  ASSERT_EQ(c.ReceiveReply(reply, 5000), 1);
  EXPECT_EQ(reply.raw.size(), 30u);
  EXPECT_EQ(reply.result, 191);
  EXPECT_EQ(c.WaitClosed(5000), 1);
  JoinServers();
  EXPECT_EQ(SlotAt(0).webMessageFlag.load(), 1);  // the other thread's slot is untouched
}

TEST_F(WebSession, UserWhoseSlotFreesWithinTheWaitIsServed) {
  SetSlotInUse(1, 0);
  SetSlotIndex("alice", 0);
  SlotAt(0).webMessageFlag = 1;
  auto c = Connect("alice");
  ASSERT_EQ(c.Send(LinkSet(true)), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  {
    std::lock_guard lock(SlotLock());
    FreeSlotLocked(0);
    SlotReleased().notify_all();
  }
  client::Answer answer;
  ASSERT_EQ(c.ReceiveAnswer(answer, 5000), 1);
  EXPECT_EQ(answer.result(), 1);
}

TEST_F(WebSession, NoReplyWhenEverySlotIsTaken) {
  for (int i = 0; i < kSlotCount; ++i) {
    SetSlotInUse(1, i);
    SetSlotIndex("user" + std::to_string(i), i);
  }
  auto c = Connect("alice");
  ASSERT_EQ(c.Send(LinkSet(true)), 1);
  EXPECT_EQ(c.WaitClosed(5000), 1);
}

}  // namespace
