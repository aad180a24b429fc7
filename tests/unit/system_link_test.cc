// The slot's link to the system: connecting to a simulated system over
// loopback, and single packets with their checks over a local stream pair.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <tuple>
#include <vector>

#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "platform/socket.h"
#include "platform/tcp_connect.h"
#include "platform/tcp_listen.h"
#include "sim/simulator.h"
#include "support/simulated_system.h"
#include "support/socket_reads.h"
#include "support/scratch_log.h"
#include "web/sxm_format.h"
#include "system/tcp_exchange.h"
#include "system/tcp_link.h"
#include "support/web_msg.h"

namespace {

using namespace systemlink;

constexpr int kSlot = 41;
constexpr std::uint16_t kPgc724 = 0x7240;

web::WebMsg RequestWithData(const std::vector<std::uint8_t>& data, std::uint8_t mode = sxm::kModeRead) {
  return testsupport::WebMsgOf({.type = web::REQ_CONTROL, .userId = "alice", .bodyType = sxm::kPacketType,
                                .mode = mode, .messageId = kConnectRequest, .finalSeq = 0xF001,
                                .data = testsupport::View(data)});
}

web::WebMsg ConnectRequest(int linkType, const std::vector<std::uint8_t>& address) {
  std::vector<std::uint8_t> data(20, 0);
  data[kLinkTypeAt] = static_cast<std::uint8_t>(linkType);
  std::size_t at = linkType == kLinkIPv4 ? kIPv4AddressAt : kIPv6AddressAt;
  std::copy(address.begin(), address.end(), data.begin() + static_cast<long>(at));
  return RequestWithData(data);
}

const std::vector<std::uint8_t> kLoopback4 = {127, 0, 0, 1};
const std::vector<std::uint8_t> kLoopback6 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

// Each test logs into a directory of its own.
class LinkLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Slot& slot = SlotAt(kSlot);
    slot.state = state::kIdle;
    slot.serialLineFlag.store(0);
  }
  bool LogHas(const std::string& text) const { return log_.Text().find(text) != std::string::npos; }

  testsupport::ScratchLog log_;
};

// ---------------------------------------------------------------------------
// Connecting and disconnecting against the simulated system.

class SystemConnect : public LinkLogTest {
 protected:
  void SetUp() override {
    LinkLogTest::SetUp();
    SetLinkTimers(3000, 300);  // a request-12 connect waits out the reject time
  }
  void TearDown() override {
    for (int fd : sockets_)
      if (fd >= 0) ::close(fd);
    if (sim_) sim_->Stop();
    SetLinkTimers(0, 0);
  }

  void StartSimulator(const std::string& address, sim::Options options = {}) {
    if (sim_) sim_->Stop();
    options.address = address;
    options.ackTimeoutMs = 3000;
    sim_ = testsupport::StartSimulatedSystem(options);
    ASSERT_TRUE(sim_) << "no free port pair";
    SetSystemPort(options.basePort);
  }

  int Connect(const web::WebMsg& request, std::uint16_t requestId, int& fd) {
    fd = -1;
    int result = ConnectToSystem(fd, request, requestId, kSlot);
    sockets_.push_back(fd);
    return result;
  }

  std::vector<int> sockets_;  // closed at the end whatever happened
  testsupport::SimulatedSystem sim_;
};

// A connected link carries a read request and its answer, and a disconnect
// releases the system for the next client.
void ExpectWorkingLink(int fd) {
  web::WebMsg request = RequestWithData({});
  const std::uint8_t check[] = {0x00, 0xFF};  // the link check: one packet, no acknowledgement
  ASSERT_EQ(SendToSystem(fd, request, {.messageId = sxm::kLinkCheckId, .body = check, .recordLength = 2, .packetLength = 12}, kSlot), 1);
  sxm::Packet packet{};
  sxm::ReceiveState state;
  ASSERT_EQ(ReceiveFromSystem(fd, packet, state, kSlot), 1);
  EXPECT_EQ(sxm::MessageIdOf(packet.data()), sxm::kLinkCheckId);
  EXPECT_EQ(state.expectedSequence, 1);
}

TEST_F(SystemConnect, ConnectOverIPv4WithoutRejectIsAcceptedBlockingAndDisconnectClosesTheLink) {
  StartSimulator("127.0.0.1");
  int fd = -1;
  ASSERT_EQ(Connect(ConnectRequest(kLinkIPv4, kLoopback4), kConnectRequest, fd), 1);
  ASSERT_GE(fd, 0);
  EXPECT_NE(platform::BlockingWaitMs(fd), 0) << "an accepted link is switched back to blocking";
  EXPECT_TRUE(LogHas("NOT recv from system(reject)"));
  ExpectWorkingLink(fd);

  int closed = fd;
  EXPECT_EQ(DisconnectFromSystem(closed, kSlot), 1);
  EXPECT_EQ(closed, -1);
  sockets_.back() = -1;
  EXPECT_TRUE(LogHas("Disconnect with system success"));
  EXPECT_EQ(DisconnectFromSystem(closed, kSlot), SOCKET_SEND_ERROR) << "no link left to send on";
}

TEST_F(SystemConnect, ConnectOverIPv6WorksAndASecondClientIsRejectedWith162) {
  if (!platform::HasIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
  StartSimulator("::1");
  int first = -1;
  ASSERT_EQ(Connect(ConnectRequest(kLinkIPv6, kLoopback6), kConnectRequest, first), 1);
  ExpectWorkingLink(first);
  int second = -1;
  EXPECT_EQ(Connect(ConnectRequest(kLinkIPv6, kLoopback6), kConnectRequest, second), CONNECT_FAIL_USED);
  EXPECT_TRUE(LogHas("recv reject message from system"));
}

TEST_F(SystemConnect, NothingAnsweringWithinTheAcceptTimeIs161) {
  // A port nobody listens on: every connect attempt is refused until the
  // accept deadline passes.
  std::string error;
  int listener = platform::ListenOnAddress("127.0.0.1", 0, error);
  ASSERT_GE(listener, 0) << error;
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &size), 0);
  std::uint16_t port = ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  ::close(listener);
  SetSystemPort(port);
  SetLinkTimers(300, 300);
  int fd = -1;
  EXPECT_EQ(Connect(ConnectRequest(kLinkIPv4, kLoopback4), kConnectRequest, fd), CONNECT_FAIL_LINK);
  EXPECT_TRUE(LogHas("Connect fail error when connect to system"));
}

TEST_F(SystemConnect, AddressesThatDoNotConvertAre201AndLinkTypeThreeOpensNothing) {
  web::WebMsg request = ConnectRequest(kLinkIPv4, kLoopback4);
  int fd = -1;
  EXPECT_EQ(ConnectToAddress(fd, kLinkIPv4, "256.0.0.1", request, kConnectRequest, kSlot), SOCKET_IP_ADDRESS_ERROR);
  sockets_.push_back(fd);
  EXPECT_TRUE(LogHas("use port:")) << "IPv4 logs the port before converting";
  int fd6 = -1;
  EXPECT_EQ(ConnectToAddress(fd6, kLinkIPv6, "12345::zz", request, kConnectRequest, kSlot), SOCKET_IP_ADDRESS_ERROR);
  EXPECT_EQ(fd6, -1) << "IPv6 resolves before any socket exists";

  int none = -1;
  EXPECT_EQ(ConnectToSystem(none, ConnectRequest(3, kLoopback4), kConnectRequest, kSlot), 1);
  EXPECT_EQ(none, -1);
}

// ---------------------------------------------------------------------------
// Single packets over a local stream pair: one end is the slot's link, the
// other plays the system.

class PacketExchange : public LinkLogTest {
 protected:
  void SetUp() override {
    LinkLogTest::SetUp();
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    link_ = platform::Socket(fds[0]);
    system_ = platform::Socket(fds[1]);
    ASSERT_EQ(platform::SetNonBlocking(link_.fd()), 0);
  }

  void SystemSends(const std::vector<std::uint8_t>& bytes) {
    ASSERT_EQ(platform::SendAll(system_.fd(), bytes.data(), bytes.size(), 1000), 0);
  }
  static std::vector<std::uint8_t> Header(std::uint16_t id, std::uint16_t finalSeq, std::uint16_t length) {
    std::vector<std::uint8_t> h(sxm::kHeaderSize, 0);
    h[sxm::kType] = sxm::kPacketType;
    h[sxm::kMode] = sxm::kModeRead;
    sxm::Put16(&h[sxm::kMessageId], id);
    sxm::Put16(&h[sxm::kFinalSeq], finalSeq);
    sxm::Put16(&h[sxm::kLength], length);
    return h;
  }
  std::vector<std::uint8_t> SystemReads(std::size_t n) { return testsupport::ReadUpTo(system_.fd(), n, 1000); }
  bool NothingArrives() { return platform::WaitReadable(system_.fd(), 50) == 0; }

  platform::Socket link_;
  platform::Socket system_;
};

TEST_F(PacketExchange, LengthBoundsOfReceivedPackets) {
  // Header only: no body is read and the next packet is untouched.
  SystemSends(Header(kPgc724, 0x0001, 10));
  sxm::Packet packet{};
  sxm::ReceiveState state;
  EXPECT_EQ(ReceiveFromSystem(link_.fd(), packet, state, kSlot), 1);

  // A full 250-byte packet is taken whole.
  std::vector<std::uint8_t> full = Header(kPgc724, 0xF002, 250);
  for (int i = 0; i < 240; ++i) full.push_back(static_cast<std::uint8_t>(i));
  SystemSends(full);
  ASSERT_EQ(ReceiveFromSystem(link_.fd(), packet, state, kSlot), 1);
  EXPECT_TRUE(std::equal(full.begin(), full.end(), packet.begin()));

  SystemSends(Header(kPgc724, 0xF001, 251));
  EXPECT_EQ(ReceiveOneFromSystem(link_.fd(), packet, kSlot), FORMAT_ERROR);
  EXPECT_TRUE(LogHas("Message length received from system is error, length = 241"));
}

TEST_F(PacketExchange, FFFFPacketPassesUncheckedAndAFirstPacketNumberedTwoIsRefused) {
  SystemSends(Header(0xFFFF, 0x0007, 300));  // nothing about it is valid but its type and ID
  sxm::Packet packet{};
  sxm::ReceiveState state;
  EXPECT_EQ(ReceiveFromSystem(link_.fd(), packet, state, kSlot), 1);
  EXPECT_EQ(state.expectedSequence, 0);

  SystemSends(Header(kPgc724, 0xF002, 10));
  EXPECT_EQ(ReceiveOneFromSystem(link_.fd(), packet, kSlot), FORMAT_ERROR);
  EXPECT_TRUE(LogHas("The seqence number of message is not continue."));
}

TEST_F(PacketExchange, HeaderInPiecesIsTakenOnceWholeAndSilenceIs198AfterFiveAttempts) {
  std::vector<std::uint8_t> header = Header(kPgc724, 0xF001, 12);
  header.push_back(0xAB);
  header.push_back(0xCD);
  SystemSends({header.begin(), header.begin() + 4});
  std::thread rest([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    platform::SendAll(system_.fd(), header.data() + 4, header.size() - 4, 1000);
  });
  sxm::Packet packet{};
  int result = ReceiveOneFromSystem(link_.fd(), packet, kSlot);
  rest.join();
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(packet[sxm::kBody] == 0xAB && packet[sxm::kBody + 1] == 0xCD);

  EXPECT_EQ(ReceiveOneFromSystem(link_.fd(), packet, kSlot), SOCKET_RECV_ERROR);
  EXPECT_TRUE(LogHas("Receive message head from system fail 5 times, retry"));

  system_.Close();
  EXPECT_EQ(ReceiveOneFromSystem(link_.fd(), packet, kSlot), PEER_CLOSED);
}

TEST_F(PacketExchange, BuiltPacketsTakeTheirModeFromTheSlotState) {
  web::WebMsg writeRequest = RequestWithData({}, sxm::kModeWrite);
  const std::uint8_t body[3] = {7, 8, 9};
  for (auto [slotState, mode] : {std::pair{state::kOnline, sxm::kModeWrite}, {state::kUpload, sxm::kModeUpload},
                                 {state::kOffline, sxm::kModeRead}}) {
    SlotAt(kSlot).state = slotState;
    ASSERT_EQ(SendToSystem(link_.fd(), writeRequest, {.messageId = kPgc724, .body = body, .ack = true, .final = false, .sequence = 10, .recordLength = 1, .packetLength = 13}, kSlot), 1);
    std::vector<std::uint8_t> sent = SystemReads(13);
    ASSERT_EQ(sent.size(), 13u);
    // Not final, sequence 10, an acknowledgement, the body at the end.
    EXPECT_EQ(std::tuple(sent[sxm::kMode], sxm::Get16(&sent[sxm::kFinalSeq]), sent[sxm::kResult], sent[12]),
              std::tuple(mode, std::uint16_t{10}, sxm::kResultAck, std::uint8_t{9}))
        << state::Text(slotState);
  }
  sxm::Packet packet{};
  EXPECT_EQ(BuildSystemHead(packet, writeRequest, {.messageId = kPgc724, .sequence = 4096, .packetLength = 10}, kSlot), FORMAT_ERROR);
  EXPECT_EQ(BuildSystemHead(packet, writeRequest, {.messageId = kPgc724, .body = body, .packetLength = 251}, kSlot), FORMAT_ERROR);
}

TEST_F(PacketExchange, RelaysPassPacketsUnchangedAndRefuseLengthsAbove250) {
  std::vector<std::uint8_t> data(240);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i + 1);
  web::WebMsg request = RequestWithData(data, sxm::kModeWrite);  // length field 250
  sxm::Packet copy{};
  ASSERT_EQ(TransferToSystem(link_.fd(), copy, request, kSlot), 1);
  std::vector<std::uint8_t> sent = SystemReads(250);
  ASSERT_EQ(sent.size(), 250u);
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), copy.begin()));
  EXPECT_EQ(sent[sxm::kMode], sxm::kModeWrite);
  EXPECT_EQ(sent[249], 240);

  // The web side: 20-byte head whose length field repeats the packet's.
  ASSERT_EQ(TransferToWeb(link_.fd(), copy.data(), request, kSlot), 1);
  std::vector<std::uint8_t> relayed = SystemReads(270);
  ASSERT_EQ(relayed.size(), 270u);
  EXPECT_EQ(relayed[web::kType], sxm::kPacketType);
  EXPECT_EQ(relayed[web::kHeadByte1], 0xFF);
  EXPECT_EQ(web::Get16(&relayed[web::kHeadLength]), 250);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&relayed[web::kUserId])), "alice");
  EXPECT_TRUE(std::equal(copy.begin(), copy.begin() + 250, relayed.begin() + web::kHeadSize));

  sxm::Put16(request.bodyHeader + sxm::kLength, 251);
  EXPECT_EQ(TransferToSystem(link_.fd(), copy, request, kSlot), FORMAT_ERROR);
  sxm::Put16(copy.data() + sxm::kLength, 251);
  EXPECT_EQ(TransferToWeb(link_.fd(), copy.data(), request, kSlot), FORMAT_ERROR);
  EXPECT_TRUE(NothingArrives());
}

TEST_F(PacketExchange, SerialSlotWithoutAnOpenPortSendsNothingAnywhere) {
  // The flag says serial, but no port is open: nothing goes to the socket either.
  SlotAt(kSlot).serialLineFlag.store(1);
  web::WebMsg request = RequestWithData({});
  sxm::Packet packet{};
  EXPECT_EQ(SendToSystem(link_.fd(), request, {.messageId = kPgc724, .packetLength = 10}, kSlot), SERIAL_OPEN_ERROR);
  EXPECT_EQ(TransferToSystem(link_.fd(), packet, request, kSlot), SERIAL_OPEN_ERROR);
  EXPECT_EQ(ExchangeFFFF(link_.fd(), kSlot), SERIAL_OPEN_ERROR);
  EXPECT_TRUE(NothingArrives());
  SlotAt(kSlot).serialLineFlag.store(0);
}

}  // namespace
