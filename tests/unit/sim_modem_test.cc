// The simulated system behind its modem, on the master side of a
// pseudo-terminal; the test dials and talks from the slave side with the
// serial line COMM uses.
#include "sim/modem_simulator.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <tuple>
#include <vector>

#include "frame/log.h"
#include "platform/serial_port.h"
#include "support/scratch_log.h"
#include "system/serial_line.h"
#include "web/sxm_format.h"

namespace {

constexpr int kSlot = 3;
constexpr std::uint16_t kPgc724 = 0x7240;  // PGC724: 12-byte rows, 20 to a packet

class ModemSimTest : public ::testing::Test {
 protected:
  void TearDown() override { Shutdown(); }

  void Start(const sim::ModemOptions& given) {
    Shutdown();
    sim::ModemOptions options = given;
    options.system.ackTimeoutMs = 5000;
    pty_ = std::make_unique<platform::PseudoTerminal>();
    std::string error;
    ASSERT_EQ(pty_->Open(error), 0) << error;
    system_ = std::make_unique<sim::ModemSimulator>(options);
    system_->Start(pty_->ReleaseMaster());
    OpenLine();
    pty_->CloseSlave();
  }
  void OpenLine() {
    line_ = std::make_unique<serial::SerialLine>();
    ASSERT_EQ(line_->Open(pty_->slavePath(), 9600, 8, kSlot), 1);
  }
  void Shutdown() {
    system_.reset();
    line_.reset();
    pty_.reset();
  }

  // Dials and returns what the modem answers: everything up to the second
  // CR LF, or up to a pause.
  std::string Dial(const std::string& number = "5551234") {
    std::string command = "ATDT" + number + "\r";
    EXPECT_EQ(line_->WritePacketToSerial(reinterpret_cast<const std::uint8_t*>(command.data()), command.size(), true,
                                         kSlot),
              1);
    std::string answer;
    while (std::count(answer.begin(), answer.end(), '\n') < 2) {
      char byte = 0;
      if (platform::ReadWithin(line_->fd(), &byte, 1, 500) != 1) break;
      answer += byte;
    }
    return answer;
  }

  int Send(std::uint16_t id, std::uint8_t mode = sxm::kModeRead, const std::vector<std::uint8_t>& body = {},
           std::uint8_t recordLength = 0) {
    sxm::Fields fields{.mode = mode, .messageId = id, .recordLength = recordLength};
    sxm::Packet packet;
    std::size_t length = 0;
    EXPECT_EQ(sxm::BuildPacket(fields, body.data(), body.size(), packet, length), 1);
    return line_->WritePacketToSerial(packet.data(), length, false, kSlot);
  }

  // One packet from the system: its header and body, empty when none came.
  std::vector<std::uint8_t> Receive() {
    std::uint8_t buffer[sxm::kMaxPacket] = {};
    std::size_t length = 0;
    if (line_->ReadPacketFromSerial(buffer, sizeof buffer, length, kSlot) != 1) return {};
    return std::vector<std::uint8_t>(buffer, buffer + length);
  }

  // The FF FF exchange: true when the system answered it.
  bool KeepAlive() {
    sxm::Packet ffff;
    if (line_->WritePacketToSerial(ffff.data(), sxm::BuildFFFFPacket(sxm::kModeRead, ffff), false, kSlot) != 1)
      return false;
    auto answer = Receive();
    return answer.size() == sxm::kHeaderSize && sxm::IsFFFFPacket(answer.data());
  }

  // A whole answer, acknowledging every tenth and the final packet.
  std::vector<std::vector<std::uint8_t>> ReadAnswer(std::uint16_t id) {
    std::vector<std::vector<std::uint8_t>> packets;
    for (;;) {
      auto packet = Receive();
      if (packet.size() < sxm::kHeaderSize) {
        ADD_FAILURE() << "answer broke off after " << packets.size() << " packets";
        return packets;
      }
      packets.push_back(packet);
      bool final = sxm::IsFinalPacket(packet.data());
      if (sxm::IsTenthPacket(packet.data()) || final) {
        sxm::Packet ack;
        EXPECT_EQ(line_->WritePacketToSerial(ack.data(), sxm::BuildAckPacket(sxm::kModeRead, id, ack), false, kSlot),
                  1);
      }
      if (final) return packets;
    }
  }

  // Starts the system and dials it up.
  void Connect(const sim::ModemOptions& options = sim::ModemOptions()) {
    Start(options);
    ASSERT_EQ(Dial(), "\r\nCONNECT 9600\r\n");
  }

  std::string Log() { return log_.Text(); }

  testsupport::ScratchLog log_;
  std::unique_ptr<platform::PseudoTerminal> pty_;
  std::unique_ptr<sim::ModemSimulator> system_;
  std::unique_ptr<serial::SerialLine> line_;
};

TEST_F(ModemSimTest, ModemAnswersTheDialAsConfiguredAndOnlyConnectOrOkConnects) {
  // The answer, whether the modem ends its line, whether the call is made.
  for (const auto& [answer, lineEnds, connects] :
       {std::tuple<std::string, bool, bool>{sim::kModemConnect, true, true}, {"OK", true, true},
        {sim::kModemBusyBytes, true, false}, {"NO CARRIER", true, false}, {"BUSY", true, false},
        {sim::kModemConnect, false, false}}) {
    sim::ModemOptions options;
    options.answer = answer;
    options.answerLineEnds = lineEnds;
    Start(options);
    std::string expected = lineEnds ? "\r\n" + answer + "\r\n" : answer;
    EXPECT_EQ(Dial(), expected) << answer;
    if (connects) {
      EXPECT_TRUE(KeepAlive() && system_->calls() == 1) << answer;
      continue;
    }
    // No call: an ENQ goes unanswered, and the next dial is answered alike.
    std::uint8_t enq = serial::ENQ;
    ASSERT_EQ(line_->WriteSerialBytes(&enq, 1, kSlot), 1);
    EXPECT_EQ(platform::WaitForInput(line_->fd(), 300), 0) << answer;
    EXPECT_EQ(Dial(), expected) << answer;
    EXPECT_EQ(system_->calls(), 0);
  }
}

TEST_F(ModemSimTest, OnlyAHangUpOrARestartEndsTheCallAndADialDuringTheCallIsData) {
  Connect();
  sxm::Packet control;
  ASSERT_EQ(line_->WritePacketToSerial(control.data(), sxm::BuildLinkControlPacket(sxm::kModeRead, control), false,
                                       kSlot),
            1);
  // A dial into a call that was never hung up reaches the system as bytes.
  EXPECT_EQ(Dial(), "");
  ASSERT_TRUE(KeepAlive());
  EXPECT_EQ(system_->calls(), 1);
  EXPECT_EQ(system_->violations(), 1);

  // Closing the line hangs up; the next opener dials a new call.
  line_.reset();
  for (int i = 0; i < 100 && system_->inCall(); ++i) usleep(10000);
  ASSERT_FALSE(system_->inCall());
  OpenLine();
  ASSERT_EQ(Dial(), "\r\nCONNECT 9600\r\n");
  ASSERT_EQ(Send(kPgc724), 1);
  EXPECT_EQ(ReadAnswer(kPgc724).size(), 2u);
  EXPECT_EQ(system_->calls(), 2);

  ASSERT_EQ(Send(0x0002, sxm::kModeWrite, {1}), 1);  // the restart packet
  ASSERT_EQ(Dial(), "\r\nCONNECT 9600\r\n");
  EXPECT_EQ(system_->restarts(), 1);
  ASSERT_TRUE(KeepAlive());
  EXPECT_EQ(system_->calls(), 3);
  EXPECT_EQ(system_->violations(), 1);
}

TEST_F(ModemSimTest, WrongChecksumAndStrayBytesCostARetryButThePacketArrives) {
  sim::ModemOptions options;
  options.faults.corruptChecksums = 1;
  options.faults.strayBeforeEnq = 1;
  Connect(options);
  ASSERT_EQ(Send(kPgc724), 1);
  auto packets = ReadAnswer(kPgc724);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(sxm::SequenceOf(packets[1].data()), 2);
  std::string log = Log();
  EXPECT_NE(log.find("CheckSum is not correct, send NCK and retry"), std::string::npos);
  EXPECT_NE(log.find("Read from system by SIO is not ENQ, inBuff[0] = 7E  :Hex"), std::string::npos);
}

// Costs one read time-out of 3 s: the sender's first ENQ goes unanswered.
TEST_F(ModemSimTest, DroppedAckMakesTheSenderTryAgainAndSilenceLeavesEnqUnanswered) {
  sim::ModemOptions options;
  options.faults.dropAcks = 1;
  options.faults.silentAfter = 1;
  Connect(options);
  EXPECT_TRUE(KeepAlive());
  EXPECT_NE(Log().find("Receive ACK failed one time when write com, (after send ENQ)"), std::string::npos);

  // Silent now: an ENQ gets no ACK.
  std::uint8_t enq = serial::ENQ;
  ASSERT_EQ(line_->WriteSerialBytes(&enq, 1, kSlot), 1);
  EXPECT_EQ(platform::WaitForInput(line_->fd(), 500), 0);
}

}  // namespace
