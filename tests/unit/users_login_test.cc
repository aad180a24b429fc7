#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <thread>
#include <vector>

#include "support/test_installation.h"
#include "unit/users_test_support.h"
#include "users/users.h"

namespace {

using namespace userstest;
using testsupport::UserDbExec;

class Login : public ::testing::Test {
 protected:
  void SetUp() override {
    userstest::PrepareUserTables();
    reply.fill(0);
  }
  std::array<std::uint8_t, 240> reply{};

  bool AllFailureBytes(std::size_t from, std::size_t to) const {
    return std::all_of(reply.begin() + from, reply.begin() + to, [](std::uint8_t b) { return b == 0xFF; });
  }
};

TEST_F(Login, UnknownIdIs208WithAllFailureBytes) {
  EXPECT_EQ(users::CheckLoginID(LoginRequest("mallory", "secret"), reply.data(), kSlot), 208);
  EXPECT_TRUE(AllFailureBytes(0, 120));
  EXPECT_EQ(reply[120], 0);  // nothing beyond the answer
  EXPECT_TRUE(LogContains("Login ID:mallory invalid"));
  EXPECT_EQ(users::CheckLoginID(LoginRequest("alice", "whatever"), reply.data(), kSlot), 1);
}

TEST_F(Login, IdFieldEndsAtItsFirstZeroByte) {
  Bytes data(79, 0);
  PutText(data, 0, 16, "alice");
  data[6] = 'X';  // after the terminating zero: not part of the id
  PutText(data, 16, 16, "secret");
  web::WebMsg request = Request(web::REQ_CONTROL, 1, "alice", data);
  EXPECT_EQ(users::CheckLoginID(request, reply.data(), kSlot), 1);
  EXPECT_EQ(users::CheckLoginPassword(request, reply.data(), kSlot), 1);
}

TEST_F(Login, WrongPasswordIs209AndTheGivenPasswordIsLogged) {
  EXPECT_EQ(users::CheckLoginPassword(LoginRequest("alice", "Secret"), reply.data(), kSlot), 209);
  EXPECT_TRUE(AllFailureBytes(0, 120));
  EXPECT_TRUE(LogContains("Login password: Secreterror"));
  reply.fill(0);
  EXPECT_EQ(users::CheckLoginPassword(LoginRequest("alice", "secret"), reply.data(), kSlot), 1);
  EXPECT_EQ(reply[0], 0);
}

TEST_F(Login, QuotesInIdOrPasswordCannotOpenTheDoor) {
  EXPECT_EQ(users::CheckLoginID(LoginRequest("x' or '1'='1", "p"), reply.data(), kSlot), 208);
  EXPECT_EQ(users::CheckLoginPassword(LoginRequest("alice", "' or ''='"), reply.data(), kSlot), 209);
  UserDbExec("INSERT INTO userinfo (user_id, user_pwd, user_level) VALUES ('o''neil', 'it''s', 0)");
  EXPECT_EQ(users::CheckLoginID(LoginRequest("o'neil", "it's"), reply.data(), kSlot), 1);
  EXPECT_EQ(users::CheckLoginPassword(LoginRequest("o'neil", "it's"), reply.data(), kSlot), 1);
}

TEST_F(Login, SecondLoginIs210WithTheFirstAddressInBytes104To118) {
  EXPECT_EQ(users::CheckLoginDuplicate(LoginRequest("alice", "secret"), reply.data(), kSlot), 1);
  UserDbExec("UPDATE userinfo SET login_state = 1, ip = '192.168.1.20' WHERE user_id = 'alice'");
  EXPECT_EQ(users::CheckLoginDuplicate(LoginRequest("alice", "secret"), reply.data(), kSlot), 210);
  EXPECT_TRUE(AllFailureBytes(0, 104));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply.data() + 104), 12), "192.168.1.20");
  EXPECT_TRUE(reply[116] == 0 && reply[118] == 0 && reply[119] == 0xFF);
  EXPECT_TRUE(LogContains("login ID: alice has already login"));
}

// The stored row itself is read back over the wire by the login tests; here,
// a connection mark left behind is cleared, only the user's own row changes,
// and the lookups tell an unknown user apart.
TEST_F(Login, RecordedLoginClearsAStaleMarkAndTheLookupsTellUnknownUsers) {
  UserDbExec("UPDATE userinfo SET connect_state = 1 WHERE user_id = 'alice'");
  ASSERT_EQ(users::UpdateUserRecord(LoginRequest("alice", "secret", "sess-A", "10.1.1.1"), 1, kSlot), 1);
  EXPECT_EQ(UserColumn("alice", "connect_state"), "0");
  EXPECT_EQ(UserColumn("bob", "login_state"), "0");

  EXPECT_EQ(users::IsUserLoggedIn("alice", kSlot), 1);
  EXPECT_EQ(users::IsUserLoggedIn("bob", kSlot), 0);
  EXPECT_EQ(users::IsUserLoggedIn("nobody", kSlot), 237);
  EXPECT_EQ(users::CheckSessionID(LogoutRequest("alice", "sess-A"), "alice", kSlot), 1);
  EXPECT_EQ(users::CheckSessionID(LogoutRequest("alice", "sess-B"), "alice", kSlot), 0);
  EXPECT_EQ(users::CheckSessionID(LogoutRequest("nobody", "sess-A"), "nobody", kSlot), 241);
}

TEST_F(Login, LoginOfUnknownUserIs221) {
  EXPECT_EQ(users::UpdateUserRecord(LoginRequest("nobody", "x"), 1, kSlot), 221);
  EXPECT_TRUE(LogContains("no user info can be update"));
}

TEST_F(Login, ConcurrentLoginsOfOneUserCountEveryOne) {
  constexpr int kThreads = 4;
  constexpr int kEach = 10;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < kEach; ++i) {
        if (users::UpdateUserRecord(LoginRequest("alice", "secret"), 1, t) != 1) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int f : failures) EXPECT_EQ(f, 0);
  EXPECT_EQ(UserColumn("alice", "login_count"), std::to_string(kThreads * kEach));
}

class Session : public Login {};

TEST_F(Session, ConnectAndOfflineWorkMarkTheRow) {
  Bytes connect(52, 0);
  connect[0] = 2;  // modem
  for (int i = 0; i < 48; ++i) connect[4 + i] = static_cast<std::uint8_t>(200 + i % 50);
  ASSERT_EQ(users::UpdateUserRecord(Request(web::REQ_CONTROL, 12, "bob", connect), 12, kSlot), 1);
  auto row = UserRow("bob", "connect_state, link_type, connect_info1, connect_info48, length(connect_time)");
  EXPECT_EQ(row, (std::vector<std::string>{"1", "2", "200", "247", "19"}));
  int state = 0;
  EXPECT_EQ(users::GetConnectState("bob", state, kSlot), 1);
  EXPECT_EQ(state, 1);
  EXPECT_EQ(users::IsUserNotConnected("bob", kSlot), 0);

  std::string holder;
  EXPECT_EQ(users::FindUserOnLink(Request(web::REQ_CONTROL, 12, "alice", connect), holder, kSlot), 1);
  EXPECT_EQ(holder, "bob");
  std::string statement;
  EXPECT_EQ(users::setIPOfConnectOnline(Request(web::REQ_CONTROL, 13, "alice", connect), holder, statement, kSlot), 1);
  EXPECT_EQ(statement, "Update userinfo set connect_state = 0 where user_id = 'bob'");
  connect[51] = 0;  // another link
  EXPECT_EQ(users::FindUserOnLink(Request(web::REQ_CONTROL, 12, "alice", connect), holder, kSlot), 243);

  ASSERT_EQ(users::UpdateUserRecord(Request(web::REQ_PGC, 1, "bob", {}), 1, kSlot), 1);
  EXPECT_EQ(users::IsUserNotConnected("bob", kSlot), 1);

  Bytes file(30, 0);
  PutText(file, 0, 30, "site'A");
  ASSERT_EQ(users::UpdateUserRecord(Request(web::REQ_CONTROL, 18, "bob", file), 18, kSlot), 1);
  EXPECT_EQ(UserRow("bob", "connect_state, connect_offline"), (std::vector<std::string>{"2", "site'A"}));
  EXPECT_EQ(users::IsOfflineFileInUse("site'A", kSlot), 1);
  EXPECT_EQ(users::IsOfflineFileInUse("x' or '1'='1", kSlot), 0);
  ASSERT_EQ(users::UpdateUserRecord(Request(web::REQ_CONTROL, 20, "bob", file), 20, kSlot), 1);
  EXPECT_EQ(UserColumn("bob", "connect_state"), "0");
  EXPECT_EQ(users::IsOfflineFileInUse("site'A", kSlot), 0);
}

}  // namespace
