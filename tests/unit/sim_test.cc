// The simulated system over loopback, driven by a raw SXM client.
#include "sim/simulator.h"
#include "support/simulated_system.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <tuple>
#include <vector>

#include "platform/socket.h"
#include "platform/tcp_listen.h"
#include "web/sxm_format.h"

namespace {

constexpr int kWaitMs = 3000;
constexpr std::uint16_t kPgc724 = 0x7240;  // PGC724: 12-byte rows, 20 to a packet

struct Received {
  std::vector<std::uint8_t> header;
  std::vector<std::uint8_t> body;
  std::uint16_t id() const { return sxm::MessageIdOf(header.data()); }
  std::uint16_t sequence() const { return sxm::SequenceOf(header.data()); }
  bool final() const { return sxm::IsFinalPacket(header.data()); }
  std::uint8_t result() const { return header[sxm::kResult]; }
  std::uint8_t recordLength() const { return header[sxm::kRecordLength]; }
};

// Exactly n bytes within the wait; false when the peer closes or nothing comes.
bool ReadExact(int fd, std::uint8_t* out, std::size_t n, int waitMs = kWaitMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  std::size_t got = 0;
  while (got < n) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (platform::WaitReadable(fd, 50) != 1) continue;
    long r = platform::ReceiveSome(fd, out + got, n - got);
    if (r == 0 || (r < 0 && errno != EAGAIN)) return false;
    if (r > 0) got += static_cast<std::size_t>(r);
  }
  return true;
}

// The header as sent and as many body bytes as its length field says (none
// when the length is out of bounds).
bool Receive(int fd, Received& out, int waitMs = kWaitMs) {
  out.header.assign(sxm::kHeaderSize, 0);
  if (!ReadExact(fd, out.header.data(), sxm::kHeaderSize, waitMs)) return false;
  std::size_t bodyLength = 0;
  out.body.clear();
  if (sxm::CheckHeader(out.header.data(), sxm::kHeaderSize, bodyLength) != sxm::kHeaderOk) return true;
  out.body.resize(bodyLength);
  return bodyLength == 0 || ReadExact(fd, out.body.data(), bodyLength, waitMs);
}

// True when the peer has closed the connection (reads its end within the wait).
bool PeerClosed(int fd) {
  std::uint8_t sink[256];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (platform::WaitReadable(fd, 50) != 1) continue;
    long r = platform::ReceiveSome(fd, sink, sizeof sink);
    if (r == 0 || (r < 0 && errno != EAGAIN)) return true;
  }
  return false;
}

void Send(int fd, const std::uint8_t* bytes, std::size_t n) {
  ASSERT_EQ(platform::SendAll(fd, bytes, n, kWaitMs), 0);
}

void SendPacket(int fd, std::uint16_t id, std::uint8_t mode, const std::vector<std::uint8_t>& body = {},
                std::uint16_t sequence = 1, bool final = true, std::uint8_t recordLength = 0,
                std::uint8_t result = sxm::kResultRequest) {
  sxm::Fields f{mode, id, final, sequence, recordLength, result};
  sxm::Packet p;
  std::size_t length = 0;
  ASSERT_EQ(sxm::BuildPacket(f, body.data(), body.size(), p, length), 1);
  Send(fd, p.data(), length);
}

void SendAck(int fd, std::uint16_t id) {
  sxm::Packet p;
  Send(fd, p.data(), sxm::BuildAckPacket(sxm::kModeRead, id, p));
}

class SimulatorTest : public ::testing::Test {
 protected:
  // Starts the simulator on a free pair of ports of `address`.
  void Start(sim::Options options, const std::string& address = "127.0.0.1", bool strict = true) {
    options.address = address;
    options.ackTimeoutMs = kWaitMs;
    sim_ = testsupport::StartSimulatedSystem(options, strict);
    ASSERT_TRUE(sim_) << "no free port pair";
    address_ = address;
    port_ = options.basePort;
  }

  platform::Socket Connect(bool takeover = false) {
    int fd = platform::ConnectTcp(address_, static_cast<std::uint16_t>(port_ + (takeover ? 1 : 0)), kWaitMs);
    EXPECT_GE(fd, 0);
    return platform::Socket(fd);
  }

  // Reads a whole answer, acknowledging every tenth and the final packet.
  std::vector<Received> ReadAnswer(int fd, std::uint16_t id, bool acknowledge = true) {
    std::vector<Received> packets;
    for (;;) {
      Received r;
      if (!Receive(fd, r)) {
        ADD_FAILURE() << "answer broke off after " << packets.size() << " packets";
        return packets;
      }
      packets.push_back(r);
      if (acknowledge && (sxm::IsTenthPacket(r.header.data()) || r.final())) SendAck(fd, id);
      if (r.final()) return packets;
    }
  }

  // The rows of a whole answer, joined.
  std::vector<std::uint8_t> ReadRows(int fd, std::uint16_t id) {
    std::vector<std::uint8_t> rows;
    for (const auto& r : ReadAnswer(fd, id)) rows.insert(rows.end(), r.body.begin(), r.body.end());
    return rows;
  }

  testsupport::SimulatedSystem sim_;
  std::string address_;
  std::uint16_t port_ = 0;
};

TEST_F(SimulatorTest, TableReadComesInNumberedPacketsOfWholeRowsAndWaitsAtEveryTenthForTheAcknowledgement) {
  sim::Options options;
  options.rowsPerTable = 250;  // 13 packets of 20 rows, the last with 10
  Start(options);
  auto link = Connect();
  SendPacket(link.fd(), kPgc724, sxm::kModeRead);

  std::vector<std::uint8_t> rows;
  for (std::uint16_t seq = 1; seq <= 13; ++seq) {
    Received r;
    ASSERT_TRUE(Receive(link.fd(), r)) << seq;
    ASSERT_EQ(std::tuple(r.id(), r.sequence(), r.final(), r.result(), r.recordLength(), r.body.size()),
              std::tuple(kPgc724, seq, seq == 13, sxm::kResultAck, std::uint8_t{12}, seq == 13 ? 120u : 240u));
    rows.insert(rows.end(), r.body.begin(), r.body.end());
    if (seq == 10) {
      EXPECT_EQ(platform::WaitReadable(link.fd(), 200), 0) << "packet 11 came before the acknowledgement of 10";
      SendAck(link.fd(), kPgc724);
    }
  }
  SendAck(link.fd(), kPgc724);
  ASSERT_EQ(rows.size(), 250u * 12);
  for (std::size_t i = 0; i < 250; ++i) {
    EXPECT_EQ(rows[i * 12], i & 0xFF) << "row " << i;
    EXPECT_EQ(rows[i * 12 + 1], i >> 8) << "row " << i;
  }

  // Served again byte for byte: the content is deterministic.
  SendPacket(link.fd(), kPgc724, sxm::kModeRead);
  EXPECT_EQ(ReadRows(link.fd(), kPgc724), rows);
}

// Nothing answers a packet that breaks the rules; each is counted once.
TEST_F(SimulatorTest, EveryBreachOfTheRulesIsCountedAndTheStrictSystemClosesTheLinkAtTheFirst) {
  sim::Options options;
  options.faults.refuseCount = 1;
  Start(options, "127.0.0.1", false);
  sim_.get_deleter().checked = false;
  auto link = Connect();
  Received r;
  // A refused request that is not sent again.
  SendPacket(link.fd(), kPgc724, sxm::kModeRead);
  ASSERT_TRUE(Receive(link.fd(), r));
  ASSERT_EQ(r.result(), sxm::TVRL_MSG_NOK);
  SendPacket(link.fd(), 0xFFFF, sxm::kModeRead);
  ASSERT_TRUE(Receive(link.fd(), r));
  EXPECT_EQ(sim_->violations(), 0) << "the keep-alive may come between any two exchanges";
  SendPacket(link.fd(), sxm::kLinkCheckId, sxm::kModeRead, {0x00, 0xFF}, 1, true, 2);
  ASSERT_TRUE(Receive(link.fd(), r));
  EXPECT_EQ(sim_->violations(), 1);
  // A request where the acknowledgement of the final packet was due.
  SendPacket(link.fd(), kPgc724, sxm::kModeRead);
  ASSERT_EQ(ReadAnswer(link.fd(), kPgc724, false).size(), 2u);
  SendPacket(link.fd(), sxm::kLinkCheckId, sxm::kModeRead, {0x00, 0xFF}, 1, true, 2);
  EXPECT_EQ(platform::WaitReadable(link.fd(), 300), 0) << "taken for a new request";
  // An acknowledgement where none was due; a read request of COMM's own numbered 2.
  SendAck(link.fd(), kPgc724);
  SendPacket(link.fd(), kPgc724, sxm::kModeRead, {}, 2, true);
  // An acknowledgement numbered 2; a write that never sends its final packet.
  SendPacket(link.fd(), kPgc724, sxm::kModeRead);
  ASSERT_EQ(ReadAnswer(link.fd(), kPgc724, false).size(), 2u);
  SendPacket(link.fd(), kPgc724, sxm::kModeRead, {}, 2, true, 0, sxm::kResultAck);
  SendPacket(link.fd(), kPgc724, sxm::kModeWrite, std::vector<std::uint8_t>(240), 1, false, 12);
  ASSERT_TRUE(Receive(link.fd(), r));
  SendPacket(link.fd(), sxm::kLinkCheckId, sxm::kModeRead, {0x00, 0xFF}, 1, true, 2);
  ASSERT_TRUE(Receive(link.fd(), r));
  EXPECT_EQ(r.id(), sxm::kLinkCheckId);
  EXPECT_EQ(sim_->violations(), 6);

  Start({});
  sim_.get_deleter().checked = false;
  auto strict = Connect();
  SendAck(strict.fd(), kPgc724);
  EXPECT_TRUE(PeerClosed(strict.fd()));
  EXPECT_EQ(sim_->violations(), 1);
}

TEST_F(SimulatorTest, WrittenTableIsKeptAndReadBackAndAnOutOfOrderWriteIsRefused) {
  Start({}, "127.0.0.1", false);
  auto link = Connect();
  std::vector<std::uint8_t> data(30 * 12);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(0xC0 ^ i);
  std::vector<std::uint8_t> first(data.begin(), data.begin() + 240), second(data.begin() + 240, data.end());

  Received answer;
  SendPacket(link.fd(), kPgc724, sxm::kModeWrite, first, 1, false, 12);
  ASSERT_TRUE(Receive(link.fd(), answer));
  EXPECT_EQ(answer.result(), sxm::kResultAck);
  SendPacket(link.fd(), kPgc724, sxm::kModeUpload, second, 2, true, 12);
  ASSERT_TRUE(Receive(link.fd(), answer));
  EXPECT_EQ((std::pair{answer.result(), answer.id()}), (std::pair{sxm::kResultAck, kPgc724}));

  SendPacket(link.fd(), kPgc724, sxm::kModeRead);
  EXPECT_EQ(ReadRows(link.fd(), kPgc724), data);

  // A write whose first packet is numbered 2 is refused and changes nothing.
  SendPacket(link.fd(), kPgc724, sxm::kModeWrite, first, 2, true, 12);
  ASSERT_TRUE(Receive(link.fd(), answer));
  EXPECT_EQ(answer.result(), sxm::TVRL_MSG_NOK);
  EXPECT_EQ(sim_->violations(), 1);
  sim_.get_deleter().checked = false;
  // So is a write that is no whole number of rows.
  SendPacket(link.fd(), kPgc724, sxm::kModeWrite, {1, 2, 3, 4, 5}, 1, true, 12);
  ASSERT_TRUE(Receive(link.fd(), answer));
  EXPECT_EQ(answer.result(), sxm::TVRL_MSG_NOK);
  SendPacket(link.fd(), kPgc724, sxm::kModeRead);
  EXPECT_EQ(ReadRows(link.fd(), kPgc724), data);

  // A write of no rows names its record length and empties the table; a
  // header-only packet without one is a command, answered as a read.
  SendPacket(link.fd(), kPgc724, sxm::kModeWrite, {}, 1, true, 12);
  ASSERT_TRUE(Receive(link.fd(), answer));
  EXPECT_EQ(answer.result(), sxm::kResultAck);
  SendPacket(link.fd(), kPgc724, sxm::kModeWrite);
  auto empty = ReadAnswer(link.fd(), kPgc724);
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_TRUE(empty[0].body.empty());
  EXPECT_EQ(empty[0].recordLength(), 12);
}

// The reject of a second client and the holder cut off by a takeover are
// pinned against COMM by the connect and real-peer tests; here, who holds
// the system after.
TEST_F(SimulatorTest, TheTakerHoldsTheSystemUntilItGivesItUp) {
  Start({});
  auto holder = Connect();
  SendPacket(holder.fd(), 0xFFFF, sxm::kModeRead);  // the holder is served first
  Received r;
  ASSERT_TRUE(Receive(holder.fd(), r));

  auto taker = Connect(true);
  sxm::Packet p;
  Send(taker.fd(), p.data(), sxm::BuildLinkControlPacket(sxm::kModeRead, p));
  EXPECT_TRUE(PeerClosed(holder.fd())) << "the old holder keeps its link after a takeover";
  SendPacket(taker.fd(), kPgc724, sxm::kModeRead);
  EXPECT_EQ(ReadAnswer(taker.fd(), kPgc724).size(), 2u);  // 25 rows

  auto third = Connect();
  ASSERT_TRUE(Receive(third.fd(), r));
  EXPECT_TRUE(sxm::IsRejectPacket(r.header.data())) << "the taker holds the system now";

  // Giving the system up with the link-control packet frees it for 5080.
  Send(taker.fd(), p.data(), sxm::BuildLinkControlPacket(sxm::kModeRead, p));
  SendPacket(taker.fd(), 0xFFFF, sxm::kModeRead);
  ASSERT_TRUE(Receive(taker.fd(), r));
  auto fourth = Connect();
  EXPECT_EQ(platform::WaitReadable(fourth.fd(), 300), 0) << "a free system must not reject";
}

TEST_F(SimulatorTest, ClientOn5081WithoutTakeoverIsNotServed) {
  Start({});
  auto holder = Connect();
  auto waiting = Connect(true);
  SendPacket(waiting.fd(), kPgc724, sxm::kModeRead);
  EXPECT_EQ(platform::WaitReadable(waiting.fd(), 300), 0);
  SendPacket(holder.fd(), kPgc724, sxm::kModeRead);
  EXPECT_EQ(ReadAnswer(holder.fd(), kPgc724).size(), 2u);
}

TEST_F(SimulatorTest, RefusalsAndSpecialErrorsComeAsHeaderOnlyAnswersThenTheTable) {
  sim::Options options;
  options.faults.refuseCount = 2;
  options.faults.specialError = sxm::TVRL_MSG_RETRY;
  options.faults.specialErrorCount = 1;
  Start(options);
  auto link = Connect();
  Received r;
  for (std::uint8_t expected : {sxm::TVRL_MSG_NOK, sxm::TVRL_MSG_NOK, sxm::TVRL_MSG_RETRY}) {
    SendPacket(link.fd(), kPgc724, sxm::kModeRead);
    ASSERT_TRUE(Receive(link.fd(), r));
    EXPECT_TRUE(r.result() == expected && r.final() && r.body.empty()) << int(r.result());
  }
  SendAck(link.fd(), kPgc724);  // a special error ends the answer like a final packet
  SendPacket(link.fd(), kPgc724, sxm::kModeRead);
  auto answer = ReadAnswer(link.fd(), kPgc724);
  ASSERT_EQ(answer.size(), 2u);
  EXPECT_EQ(answer[0].result(), sxm::kResultAck);

  SendPacket(link.fd(), 0x0100, sxm::kModeRead);  // no PGC has this message ID
  ASSERT_TRUE(Receive(link.fd(), r));
  EXPECT_EQ(r.result(), sxm::TVRL_MSG_NOK);
}

}  // namespace

namespace {

TEST(SimTables, RowsFollowTheDataSetForTheSystemAndCarryTheWebTimeOut) {
  sim::Identity compact;
  compact.webTimeoutMinutes = 9;
  sim::Identity large = compact;
  large.systemId = 2;
  sim::TableStore a(compact, 3), b(large, 3);
  sim::Table table;
  ASSERT_EQ(a.Read(0x1000, table), 1);  // PGC100
  EXPECT_EQ(table.recordLength, 20);
  EXPECT_EQ(table.rows.size(), 60u);
  ASSERT_EQ(b.Read(0x1000, table), 1);
  EXPECT_EQ(table.recordLength, 24);

  ASSERT_EQ(a.Read(0x5010, table), 1);  // PGC501: byte 52 (column 53) is the web time-out
  ASSERT_GE(table.recordLength, 53);
  for (std::size_t row = 0; row < 3; ++row) EXPECT_EQ(table.rows[row * table.recordLength + 52], 9) << row;

  EXPECT_EQ(a.Read(0x0100, table), 0) << "no PGC has this message ID";
  EXPECT_EQ(sim::PGCNumberOfMessage(0x0000), "20000");
  EXPECT_EQ(sim::PGCNumberOfMessage(0x0001), "") << "the link-control message is no table";
}

}  // namespace
