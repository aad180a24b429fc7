// Web message framing over the wire: sequence numbers, length and type
// checks, unknown requests, the connection's life after each request,
// malformed input that must not disturb the server, and requests refused by
// their preconditions in state "idle" as the web front end sees them (the
// reply id, the result and the prepared data; every refusal ends the
// connection).
#include <gtest/gtest.h>

#include <chrono>

#include "support/system_suite.h"

using namespace testsupport;
using client::Bytes;

namespace {

struct Refusal {
  const char* name;
  std::uint16_t messageId;  // for the PGC families
  Bytes data;
  int result;
  int replyId;
  Bytes answer;
};

Bytes Zeros(std::size_t n) { return Bytes(n, 0); }

Bytes NameAnswer(const std::string& name) {
  Bytes out(52, 0);
  std::copy(name.begin(), name.end(), out.begin());
  return out;
}

}  // namespace

class Framing : public ServerSuite {
 protected:
  static void SetUpTestSuite() { LaunchWith({{"fr_seq", "pw"}, {"fr_fail", "pw"}, {"pc_user", "pw"}}); }
  void TearDown() override { EXPECT_TRUE(server_->running()) << "the server ended:\n" << server_->Console(); }

  // Sends `bytes` as the first thing on a fresh connection and expects the
  // server to close it without a reply.
  void ExpectClosedWithoutReply(const Bytes& bytes, const std::string& what) {
    client::WebClient connection = server_->Connect("fr_raw");
    ASSERT_TRUE(connection.connected());
    ASSERT_EQ(connection.SendRaw(bytes), 1);
    EXPECT_EQ(connection.WaitClosed(kCloseMs), 1) << what;
  }

  // A LOGOUT of `user` on the wire, as sequence 1.
  static Bytes Wire(const std::string& user, bool final = true) {
    client::Request request = Logout(user, "x");
    request.final = final;
    return client::EncodeRequest(request, user, 1);
  }

  // The server still answers: a LOGOUT of a fresh user gets reply id 5.
  void ExpectServerStillServes(const std::string& user) {
    ASSERT_TRUE(Answered(CallOnce(*server_, user, Logout(user, "x")), 5, 1)) << server_->Console();
  }


  static void ExpectRefused(const Refusal& r) {
    SCOPED_TRACE(r.name + std::string(" ") + std::to_string(r.messageId));
    client::Request request = client::MakeRequest(r.name, r.data);
    const client::CatalogueEntry* entry = client::FindRequest(r.name);
    if (entry->takesMessageId) request.messageId = r.messageId;
    client::WebClient connection = server_->Connect("pc_user");
    Exchange refused = Call(connection, request);  // not final: the refusal alone ends it
    ASSERT_TRUE(Answered(refused, r.replyId, r.result)) << server_->Console().substr(0, 3000);
    EXPECT_EQ(refused.answer.data, r.answer);
    EXPECT_EQ(connection.WaitClosed(kCloseMs), 1);
  }
};

TEST_F(Framing, BadFirstMessagesAreClosedWithoutReplyAndChangeNothing) {
  std::vector<std::pair<Bytes, std::string>> cases;
  client::Request login = Login("fr_seq", "pw", "s1");
  cases.push_back({client::EncodeRequest(login, "fr_seq", 2), "sequence 2"});
  for (std::uint8_t type : {0, 1, 3, 7, 20, 159, 163, 255}) {
    Bytes bytes = Wire("fr_raw");
    bytes[web::kType] = type;
    cases.push_back({bytes, "type " + std::to_string(type)});
  }
  for (std::uint16_t id : {0, 3, 5, 9, 11, 14, 17, 19, 22, 26, 32, 0x0102}) {
    client::Request request;
    request.messageId = id;
    request.final = true;
    cases.push_back({client::EncodeRequest(request, "fr_raw", 1), "control id " + std::to_string(id)});
  }
  for (const auto& [bytes, what] : cases) ExpectClosedWithoutReply(bytes, what);
  auto row = server_->UserRow("fr_seq");
  ASSERT_TRUE(row);
  EXPECT_TRUE((*row)["login_state"] == "0" && (*row)["session_id"].empty());
}

// Keeping a connection for the next request: RequestFollowedAtOnceByTheNextIsServedAtOnce.
TEST_F(Framing, FailedRequestOrFinalFlagEndsTheConnectionRightAfterTheReply) {
  client::WebClient failed = server_->Connect("fr_fail");
  ASSERT_TRUE(Answered(Call(failed, Login("fr_fail", "wrong", "s1")), 3, LOGIN_PWD_ERR));
  EXPECT_EQ(failed.WaitClosed(kCloseMs), 1);

  client::WebClient connection = server_->Connect("fr_final");
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Call(connection, Final(Logout("fr_final", "x"))).rc, 1);
  EXPECT_EQ(connection.WaitClosed(kCloseMs), 1);
  // Not the five-second wait for a further message.
  EXPECT_LT(ElapsedMs(start), 4000);
}

TEST_F(Framing, RequestFollowedAtOnceByTheNextIsServedAtOnce) {
  client::WebClient connection = server_->Connect("fr_pair");
  Bytes both = Wire("fr_pair", false);
  client::Request second = Logout("fr_pair", "x");
  second.final = true;
  Bytes secondWire = client::EncodeRequest(second, "fr_pair", 2);
  both.insert(both.end(), secondWire.begin(), secondWire.end());
  ASSERT_EQ(connection.SendRaw(both), 1);

  client::Reply reply;
  ASSERT_EQ(connection.ReceiveReply(reply, kReplyMs), 1);
  EXPECT_EQ(reply.replyId, 5);
  auto firstReplyAt = std::chrono::steady_clock::now();
  ASSERT_EQ(connection.ReceiveReply(reply, kReplyMs), 1);
  EXPECT_EQ(reply.replyId, 5);
  // Waiting for a message that is not there costs a whole second per try.
  EXPECT_LT(ElapsedMs(firstReplyAt), 900);
}

TEST_F(Framing, NoFurtherMessageWithinAboutFiveSecondsEndsTheConnection) {
  client::WebClient connection = server_->Connect("fr_idle");
  ASSERT_EQ(Call(connection, Logout("fr_idle", "x")).rc, 1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(connection.WaitClosed(12000), 1);
  long long waited = ElapsedMs(start);
  EXPECT_GE(waited, 4000);
  EXPECT_LE(waited, 9000);
}

TEST_F(Framing, GarbageTruncatedAndSilentConnectionsLeaveTheServerServingOthers) {
  client::WebClient silent = server_->Connect("fr_silent");
  ASSERT_TRUE(silent.connected());
  ASSERT_EQ(silent.SendRaw(Bytes{0x02, 0x00, 0x00}), 1);  // and then nothing
  Bytes wire = Wire("fr_raw"), noise(300);
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<std::uint8_t>(i * 37 + 11);
  // Connect and close; a piece of a head; a head without its body; half a body; noise; zeros.
  const Bytes inputs[] = {{},   {0x02, 0x00}, Bytes(wire.begin(), wire.begin() + web::kHeadSize),
                          Bytes(wire.begin(), wire.begin() + web::kHeadSize + 5), noise, Bytes(100, 0)};
  for (const Bytes& input : inputs) {
    client::WebClient connection = server_->Connect("fr_raw");
    ASSERT_TRUE(connection.connected());
    if (!input.empty()) connection.SendRaw(input);
    connection.Close();
  }
  ExpectServerStillServes("fr_after_garbage");
}

// The dispatch's side of the checks: reply ids, prepared answers and the
// refusal of the PGC families by type (the rules themselves: unit
// RequestPreconditions).
TEST_F(Framing, RequestsThatNeedALinkOrAFileAreRefusedInIdleAsTheWebSeesThem) {
  const Refusal refusals[] = {
      {"FILE_CLOSE", 0, client::FileNameData("f1"), 189, 0, Zeros(60)},
      {"SYSTEM_COMMAND_SET", 0, {}, 189, 0, Zeros(60)},
      {"ALL_DOWNLOAD_START", 0, client::DownloadStartData("dl1", 0), 189, 22, NameAnswer("dl1")},
      {"ALL_DOWNLOAD_END", 0, {}, 189, 0, Zeros(60)},
      {"DOWNLOAD_PGC", 0, client::PgcTableData(0x7240), 189, 0, Zeros(60)},
      {"ALL_UPLOAD_START", 0, client::FileNameData("up1"), 189, 26, NameAnswer("up1")},
      {"ALL_UPLOAD_END", 0, {}, 189, 0, Zeros(60)},
      {"UPLOAD_PGC", 0, client::PgcTableData(0x7240), 189, 0, Zeros(60)},
      {"STORE_PGC", 0, {1, 2, 3}, 189, 0, Zeros(60)},
      {"FILE_OPEN", 0, client::FileNameData("  nosuchfile  "), 188, 19, NameAnswer("nosuchfile")},
      {"PGC_READ", 0x7240, {}, 189, 0, RefusalData(0x7240)},
      {"PGC_WRITE", 0x7240, {1, 2}, 189, 0, RefusalData(0x7240)},
      {"LINK_CHECK", 0, {}, 189, 0, RefusalData(0x0000)},
      {"DISCONNECT", 0, {}, 189, 0, RefusalData(0x0001)},
      {"KEEP_ALIVE", 0, {}, 189, 0, RefusalData(0xFFFF)},
      {"TABLE_DOWNLOAD_READ", 0x8240, {}, 189, 0, RefusalData(0x8240)},
      {"TABLE_DOWNLOAD_WRITE", 0x8240, {5}, 189, 0, RefusalData(0x8240)},
      {"TABLE_UPLOAD_READ", 0x2171, {}, 189, 0, RefusalData(0x2171)},
      {"TABLE_UPLOAD_WRITE", 0x2171, {5}, 189, 0, RefusalData(0x2171)},
      {"RESTART", 0x5010, {0, 1}, 190, 0, RefusalData(0x5010)},
  };
  for (const Refusal& r : refusals) ExpectRefused(r);
  std::string logs = server_->Logs();
  EXPECT_NE(logs.find("COMM is in idle state, please connect to system first."), std::string::npos);
  const std::string text = "COMM is in idle state, please open$create a offline file or connect to system first";
  for (const char* suffix : {"111.", "333.", "555."}) EXPECT_NE(logs.find(text + suffix), std::string::npos) << suffix;

  // The restart's state is checked before its mode byte.
  client::Request restart = client::MakeRequest("RESTART");
  restart.messageId = 0x5010;
  restart.mode = web::kModeRead;
  Exchange refused = CallOnce(*server_, "pc_user", restart);
  EXPECT_EQ(refused.answer.result(), 190);
  EXPECT_EQ(refused.answer.data, RefusalData(0x5010));
}
