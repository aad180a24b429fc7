#include <gtest/gtest.h>
#include <sys/socket.h>

#include <set>
#include <thread>

#include "client/request_catalogue.h"
#include "client/request_data.h"
#include "client/web_client.h"
#include "requests/catalogue.h"
#include "support/socket_reads.h"
#include "support/wire_helpers.h"

using client::Bytes;

namespace {

using testsupport::FieldAt;

// A client connected to a socket that the test drives as the server.
struct FakeServer {
  FakeServer() {
    int fds[2];
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    connection = client::WebClient(platform::Socket(fds[0]));
    peer = platform::Socket(fds[1]);
  }
  void Send(const Bytes& bytes) { platform::SendAll(peer.fd(), bytes.data(), bytes.size(), 1000); }
  // A reply as COMM lays it out.
  void Reply(std::uint16_t replyId, std::uint16_t finalSeq, std::uint8_t recordLength, const Bytes& data) {
    web::RawMessage raw{};
    std::size_t n = web::BuildMessage(
        raw.data(), {.type = web::REQ_CONTROL, .headByte1 = web::kReplyHeadByte1, .userId = "u", .messageId = replyId,
                     .finalSeq = finalSeq, .recordLength = recordLength, .result = 1,
                     .data = std::string_view(reinterpret_cast<const char*>(data.data()), data.size())});
    Send(Bytes(raw.begin(), raw.begin() + static_cast<long>(n)));
  }
  Bytes Received(std::size_t n) { return testsupport::ReadUpTo(peer.fd(), n, 1000); }
  client::WebClient connection;
  platform::Socket peer;
};

Bytes Records(std::size_t length) {
  Bytes out(length);
  for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<std::uint8_t>(i);
  return out;
}

}  // namespace

// The wire tests send every record through these builders and read the
// fields back from the database; what they never send is a field too long
// for its place, an IPv6 address or one that does not convert.
TEST(RequestData, OverlongFieldsAreCutToTheirWidthAndBadAddressesRefused) {
  Bytes data = client::LoginData("alice", "0123456789abcdefXYZ", "session-1", "192.168.100.200-too-long");
  ASSERT_EQ(data.size(), 79u);
  EXPECT_EQ(FieldAt(data, 16, 16), "0123456789abcdef");
  EXPECT_EQ(FieldAt(data, 64, 15), "192.168.100.200");
  std::vector<std::uint8_t> params(60, 9);  // more than 48: the rest is dropped
  Bytes link = client::LinkRecord(client::kUpdate, 2, "trunk", params);
  ASSERT_EQ(link.size(), 70u);
  EXPECT_EQ(link[69], 9);
  Bytes user = client::UserRecord(client::kDelete, 5, "carol", "pw");
  EXPECT_EQ(Bytes(user.begin(), user.begin() + 2), (Bytes{2, 5}));  // the level, which no wire test reads back
  Bytes longDial = client::ConnectModemData(0, 0, std::string(100, '5'));
  ASSERT_EQ(longDial.size(), 52u);
  EXPECT_EQ(longDial[51], 0xFF);
  EXPECT_EQ(FieldAt(client::FileNameFields({"one", "two"}), 30, 30), "two");

  Bytes v6;
  ASSERT_TRUE(client::ConnectTcpData(client::kLinkIpv6, "2001:db8::1", v6));
  EXPECT_EQ((Bytes{v6.at(0), v6.at(4), v6.at(19)}), (Bytes{1, 0x20, 0x01}));
  Bytes bad;
  EXPECT_FALSE(client::ConnectTcpData(client::kLinkIpv4, "10.20.30", bad));
  EXPECT_FALSE(client::ConnectTcpData(client::kLinkIpv4, "2001:db8::1", bad));
}

TEST(RequestData, HexTextParsesBytesAndRejectsHalfBytes) {
  Bytes out;
  ASSERT_TRUE(client::ParseHex("0aff03", out));
  EXPECT_EQ(out, (Bytes{0x0A, 0xFF, 0x03}));
  ASSERT_TRUE(client::ParseHex("0A FF:03", out));
  EXPECT_EQ(out, (Bytes{0x0A, 0xFF, 0x03}));
  EXPECT_FALSE(client::ParseHex("0af", out));
  EXPECT_FALSE(client::ParseHex("0 a", out));
  EXPECT_FALSE(client::ParseHex("zz", out));
  EXPECT_EQ(client::HexText({0x02, 0xFF, 0x00}), "02 FF 00");
}

TEST(RequestCatalogue, ControlNumbersAreExactlyTheRequestsCommKnows) {
  std::set<int> control;
  std::set<std::string_view> names;
  for (const client::CatalogueEntry& e : client::Catalogue()) {
    EXPECT_TRUE(names.insert(e.name).second) << e.name;
    EXPECT_TRUE(web::IsRequestType(e.type)) << e.name;
    if (e.type == web::REQ_CONTROL) {
      EXPECT_TRUE(control.insert(e.messageId).second) << e.name;
    }
  }
  for (std::uint16_t id = 0; id < 256; ++id) {  // the client's catalogue and COMM's agree
    EXPECT_EQ(control.count(id), requests::FindControlRequest(id) != nullptr ? 1u : 0u) << id;
  }
  const client::CatalogueEntry* disconnect = client::FindRequest("disconnect");
  ASSERT_NE(disconnect, nullptr);
  EXPECT_EQ(std::pair(int(disconnect->type), int(disconnect->messageId)), std::pair(int(web::REQ_PGC), 1));
  EXPECT_EQ(client::FindRequest("LINK_CHECK")->messageId, 0);
  EXPECT_EQ(client::FindRequest("NO_SUCH_REQUEST"), nullptr);
}

TEST(WebClient, FullSizedWholeReplyToAFirstRequestIsNotTakenForAPiece) {
  FakeServer server;
  ASSERT_EQ(server.connection.Send(client::MakeRequest("FILE_USER_LIST")), 1);  // bytes 24-25: 0x0001
  server.Reply(32, 0x0001, 240, Records(240));
  client::Answer answer;
  ASSERT_EQ(server.connection.ReceiveAnswer(answer, 5000), 1);
  EXPECT_EQ(answer.pieces.size(), 1u);
  EXPECT_EQ(answer.data.size(), 240u);
}

TEST(WebClient, PieceOutOfOrderIsABadReply) {
  FakeServer server;
  client::Request request = client::MakeRequest("FILE_LIST");
  ASSERT_EQ(server.connection.Send(request), 1);
  ASSERT_EQ(server.connection.Send(request), 1);  // sequence 2: the pieces cannot be its echo
  server.Reply(9, 0x0001, 30, Records(240));
  server.Reply(9, 0xF003, 30, Records(30));
  client::Answer answer;
  EXPECT_EQ(server.connection.ReceiveAnswer(answer, 2000), WEB_FORMAT_ERROR);
}

TEST(WebClient, TellsACloseWithoutReplyFromATimeOutAndATruncatedReply) {
  {
    FakeServer server;
    client::Reply reply;
    EXPECT_EQ(server.connection.ReceiveReply(reply, 50), REPLY_TIMED_OUT);
    server.peer.Close();
    EXPECT_EQ(server.connection.ReceiveReply(reply, 1000), PEER_CLOSED);
  }
  {
    FakeServer server;
    server.Send(Bytes{2, 255, 0, 20, 'u'});  // part of a head, then the close
    server.peer.Close();
    client::Reply reply;
    EXPECT_EQ(server.connection.ReceiveReply(reply, 1000), WEB_FORMAT_ERROR);
  }
  {
    FakeServer server;
    Bytes head(20, 0);
    head[3] = 251;  // a body longer than any message
    server.Send(head);
    client::Reply reply;
    EXPECT_EQ(server.connection.ReceiveReply(reply, 1000), WEB_FORMAT_ERROR);
  }
  {
    FakeServer server;
    server.Send(Bytes{1});
    EXPECT_EQ(server.connection.WaitClosed(1000), UNEXPECTED_DATA);
  }
}
