// Client slots seen from the wire: the busy reply to a second connection of
// a user who is still being served, and the limit of 100 users at a time.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/comm_server.h"
#include "support/wire_helpers.h"

using namespace testsupport;
using client::Bytes;

namespace {

using Clock = std::chrono::steady_clock;

// A connection whose user holds a slot: its request was answered and the
// server now waits (about five seconds) for the next message.
struct Holder {
  client::WebClient connection;
  std::string user;
  Clock::time_point lastReply;
};

bool Hold(CommServer& server, Holder& holder) {
  holder.connection = server.Connect(holder.user);
  Exchange logout = Call(holder.connection, Logout(holder.user, "x"));
  holder.lastReply = Clock::now();
  return logout.rc == 1 && logout.answer.result() == 1;
}

// Sends the next message on holders whose wait runs low, so that every slot
// stays taken however long the set-up takes.
bool Refresh(std::vector<Holder>& holders) {
  for (Holder& holder : holders) {
    if (!holder.connection.connected()) continue;
    if (Clock::now() - holder.lastReply < std::chrono::milliseconds(2500)) continue;
    Exchange again = Call(holder.connection, Logout(holder.user, "x"));
    if (again.rc != 1) return false;
    holder.lastReply = Clock::now();
  }
  return true;
}

}  // namespace

TEST(Slots, SecondConnectionOfUserStillBeingServedGetsTheBusyReply) {
  auto server = LaunchServer();
  ASSERT_TRUE(server);
  client::WebClient first = server->Connect("sl_busy");
  ASSERT_EQ(Call(first, Logout("sl_busy", "x")).rc, 1);

  client::WebClient second = server->Connect("sl_busy");
  client::Request request = Logout("sl_busy", "x");
  request.messageId = 4;
  ASSERT_EQ(second.Send(request), 1);
  client::Reply busy;
  ASSERT_EQ(second.ReceiveReply(busy, kReplyMs), 1) << server->Console();

  Bytes expected = {2, 255, 0, 10, 's', 'l', '_', 'b', 'u', 's', 'y', 0, 0, 0, 0, 0, 0, 0, 0, 0,
                    0x13, 0xF0, 0, 4, 0xF0, 1, 0, 10, 0, 191};
  EXPECT_EQ(busy.raw, expected);
  EXPECT_EQ(busy.result, 191);

  // The first connection is still served.
  client::Request last = Logout("sl_busy", "x");
  last.final = true;
  Exchange more = Call(first, last);
  ASSERT_EQ(more.rc, 1);
  EXPECT_EQ(more.answer.replyId(), 5);
}

TEST(Slots, HundredAndFirstUserGetsNoReplyWhileHundredHoldSlots) {
  auto server = LaunchServer();
  ASSERT_TRUE(server);
  std::vector<Holder> holders(100);
  for (std::size_t i = 0; i < holders.size(); ++i) {
    holders[i].user = "hold" + std::to_string(i);
    ASSERT_TRUE(Hold(*server, holders[i])) << "user " << i << "\n" << server->Console().substr(0, 2000);
    ASSERT_TRUE(Refresh(holders));
  }
  ASSERT_TRUE(Refresh(holders));

  std::size_t consoleBefore = server->Console().size();
  client::WebClient extra = server->Connect("one_too_many");
  ASSERT_EQ(extra.Send(Logout("one_too_many", "x")), 1);
  client::Reply reply;
  int rc = extra.ReceiveReply(reply, 2000);
  EXPECT_NE(rc, 1) << "a reply with result " << int(reply.result);
  EXPECT_TRUE(server->WaitConsole("\nThread number is Max, try again later", 5000, consoleBefore));

  // Once the holders go, a slot is free again.
  holders.clear();
  bool served = false;
  for (int attempt = 0; attempt < 40 && !served; ++attempt) {
    Exchange later = CallOnce(*server, "after_the_rush", Logout("after_the_rush", "x"));
    served = later.rc == 1 && later.answer.replyId() == 5;
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  EXPECT_TRUE(served);
  EXPECT_TRUE(server->running());
}
