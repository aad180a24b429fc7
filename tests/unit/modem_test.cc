// The modem link on a pseudo-terminal whose far end plays the modem and then
// the system: dialling and the modem's answer, the port held by one slot,
// packets over the line and the alive timer they drive.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/request_data.h"
#include "frame/log.h"
#include "frame/slots.h"
#include "platform/serial_port.h"
#include "platform/thread.h"
#include "server/web_timer.h"
#include "web/web_timer.h"
#include "system/modem.h"
#include "system/serial_line.h"
#include "web/sxm_format.h"
#include "system/tcp_exchange.h"
#include "system/tcp_link.h"
#include "system/transfer.h"
#include "support/web_msg.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using modem::ModemAliveCounts;

constexpr int kSlot = 57;
constexpr int kOtherSlot = 58;
const std::string kConnected = "\r\nCONNECT 9600\r\n";

// Polls for at most 20 s, so that a test fails rather than hangs.
bool Eventually(const std::function<bool()>& done) {
  for (auto deadline = std::chrono::steady_clock::now() + 20s; !done(); std::this_thread::sleep_for(5ms))
    if (std::chrono::steady_clock::now() > deadline) return false;
  return true;
}

web::WebMsg ModemRequest(std::uint8_t port, const std::string& dial) {
  client::Bytes data = client::ConnectModemData(port, 2, dial);
  return testsupport::WebMsgOf({.userId = "", .bodyType = sxm::kPacketType, .mode = sxm::kModeRead,
                                .messageId = systemlink::kConnectRequest, .data = testsupport::View(data)});
}

sxm::Packet SystemPacket(std::uint16_t messageId, bool final, std::uint16_t sequence, std::size_t bodyLength) {
  sxm::Fields fields{sxm::kModeRead, messageId, final, sequence, 0, sxm::kResultAck};
  std::vector<std::uint8_t> body(bodyLength, 0x5A);
  sxm::Packet packet{};
  std::size_t length = 0;
  sxm::BuildPacket(fields, body.data(), body.size(), packet, length);
  return packet;
}

class ModemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/modem_test_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    fs::create_directory(dir_ + "/dev");
    savedDir_ = fs::current_path();
    fs::current_path(dir_);  // dev/COMn is looked up in the working directory
    SetLogDirectory(dir_ + "/");
    std::string error;
    ASSERT_EQ(pty_.Open(error), 0) << error;
    far_ = std::make_unique<serial::SerialLine>(pty_.ReleaseMaster());
    modem::SetModemTimers(1, 60000);
  }
  void TearDown() override {
    modem::StopModemAliveTimer();
    // A keep-alive under way finishes before the port goes away under it.
    EXPECT_TRUE(Eventually([] { return ModemAliveCounts().running == 0; }));
    if (peer_.joinable()) peer_.join();
    serial::ProcessSerialLine().Close(kSlot);
    serial::SerialPortInUse().store(0);
    for (int varNum : {kSlot, kOtherSlot}) SlotAt(varNum).serialLineFlag.store(0);
    modem::SetModemTimers(0, 0);
    fs::current_path(savedDir_);
    fs::remove_all(dir_);
  }

  void LinkPort(const std::string& name) { fs::create_symlink(pty_.slavePath(), "dev/" + name); }

  // The modem takes the dial command up to its carriage return, then answers.
  void AnswerDial(const std::string& answer) {
    dialed_.clear();
    peer_ = std::thread([this, answer] {
      std::uint8_t byte = 0;
      while (byte != modem::CR && platform::ReadWithin(far_->fd(), &byte, 1, 5000) == 1)
        dialed_ += static_cast<char>(byte);
      EXPECT_EQ(::write(far_->fd(), answer.data(), answer.size()), static_cast<long>(answer.size()));
    });
  }
  std::string Dialed() {
    peer_.join();
    return dialed_;
  }
  int Connect(int varNum, std::uint8_t port = 3) {
    int noSocket = -1;
    return systemlink::ConnectToSystem(noSocket, ModemRequest(port, "0123"), systemlink::kConnectRequest, varNum);
  }

  // The system takes one packet from the line, then sends `answers`.
  void ReceiveThenAnswer(std::vector<sxm::Packet> answers) {
    peer_ = std::thread([this, answers] {
      std::size_t length = 0;
      receivedResult_ = far_->ReadPacketFromSerial(received_.data(), received_.size(), length, 0);
      for (const sxm::Packet& p : answers) far_->WritePacketToSerial(p.data(), sxm::LengthOf(p.data()), false, 0);
    });
  }
  void ExpectReceived(std::uint16_t messageId) {
    peer_.join();
    EXPECT_EQ(receivedResult_, 1);
    EXPECT_EQ(sxm::MessageIdOf(received_.data()), messageId);
  }

  void OpenLine() {
    ASSERT_EQ(serial::ProcessSerialLine().Open(pty_.slavePath(), 19200, 8, kSlot), 1);
    SlotAt(kSlot).serialLineFlag.store(1);
  }
  bool NothingArrives() { return platform::WaitForInput(far_->fd(), 300) == 0; }
  speed_t LineSpeed() {
    termios settings{};
    EXPECT_EQ(::tcgetattr(far_->fd(), &settings), 0);  // a master reports its slave's settings
    return ::cfgetospeed(&settings);
  }

  std::string dir_;
  fs::path savedDir_;
  platform::PseudoTerminal pty_;
  std::unique_ptr<serial::SerialLine> far_;
  std::thread peer_;
  std::string dialed_;
  sxm::Packet received_{};
  int receivedResult_ = 0;
};

TEST_F(ModemTest, PortAndSpeedBytesChooseTheDeviceAndTheRate) {
  LinkPort("COM12");
  AnswerDial(kConnected);
  testing::internal::CaptureStdout();
  int result = modem::ModemConnect("5551234", kSlot, 12, 7);
  std::string console = testing::internal::GetCapturedStdout();
  ASSERT_EQ(result, 1);
  EXPECT_EQ(Dialed(), "ATDT5551234\r");
  EXPECT_NE(console.find("\nBoundrate = 19200"), std::string::npos);
  EXPECT_EQ(LineSpeed(), B19200);

  fs::remove("dev/COM12");
  LinkPort("COM1");
  AnswerDial(kConnected);
  ASSERT_EQ(modem::ModemConnect("1", kSlot, 20, 1), 1) << "port byte 20 opens COM1";
  Dialed();
  EXPECT_EQ(LineSpeed(), B9600);
}

TEST_F(ModemTest, AnswerDecidesTheOutcome) {
  LinkPort("COM2");
  const std::pair<std::string, int> cases[] = {
      {kConnected, 1},
      {"\r\nOK\r\n", 1},
      {"\r\n\x66\x85\x83\x89\r\n", MODEM_BUSY},
      {"\r\nNO CARRIER\r\n", MODEM_NO_CARRIER},
      {"\r\nBUSY\r\n", MODEM_UNEXPECTED_ANSWER},
      {"ATDT7\r\r\nCONNECT\r\n", 1}};  // a modem that echoes the command
  for (const auto& [answer, outcome] : cases) {
    AnswerDial(answer);
    EXPECT_EQ(modem::ModemConnect("7", kSlot, 2, 2), outcome) << answer;
    Dialed();
    serial::ProcessSerialLine().Close(kSlot);
  }
}

// A scripted modem: `silences` read time-outs, its bytes, then silence.
int ReadScripted(const std::string& bytes, int silences, modem::AnswerBuffer& answer, int* silencesUsed = nullptr) {
  std::size_t at = 0;
  int used = 0;
  int result = modem::ReadModemAnswer(answer, kSlot, [&](std::uint8_t& out) -> int {
    if (used < silences || at == bytes.size()) {
      ++used;
      return SERIAL_NOTHING_RECEIVED;
    }
    out = static_cast<std::uint8_t>(bytes[at++]);
    return 1;
  });
  if (silencesUsed) *silencesUsed = used;
  return result;
}

TEST_F(ModemTest, AnswerIsBoundedByTwentyOneSilencesAndByItsBuffer) {
  struct {
    modem::AnswerBuffer answer;
    std::array<std::uint8_t, 32> guard;
  } area;
  area.guard.fill(0xA5);
  ASSERT_EQ(ReadScripted("\r\nCONNECT 9600\r\nOK\r\n", 20, area.answer), 1);
  EXPECT_STREQ(reinterpret_cast<const char*>(area.answer.data()), "CONNECT 9600\r\n");

  int silences = 0;
  EXPECT_EQ(ReadScripted("\r\nCONNECT\r", 0, area.answer, &silences), MODEM_NO_ANSWER);
  EXPECT_EQ(silences, 21);
  EXPECT_EQ(ReadScripted("\r\nOK\rX\n", 0, area.answer), MODEM_NO_ANSWER) << "CR and LF must be a pair";

  std::string fits(modem::kAnswerBufferSize - 2, 'X');
  EXPECT_EQ(ReadScripted("\r\n" + fits + "\r\n", 0, area.answer), 1);
  EXPECT_EQ(ReadScripted("\r\n" + fits + "XX\r\n", 0, area.answer), MODEM_UNEXPECTED_ANSWER);
  for (std::uint8_t byte : area.guard) ASSERT_EQ(byte, 0xA5);
}

TEST_F(ModemTest, OneSlotHoldsThePortUntilItsLinkEndsHoweverItEnds) {
  LinkPort("COM3");
  AnswerDial(kConnected);
  ASSERT_EQ(Connect(kSlot), 1);
  EXPECT_EQ(Dialed(), "ATDT0123\r");
  SlotAt(kSlot).serialLineFlag.store(1);  // as request handling does after a modem connect
  int heldFd = serial::ProcessSerialLine().fd();
  EXPECT_EQ(Connect(kOtherSlot), SERIAL_PORT_IN_USE);
  EXPECT_TRUE(NothingArrives()) << "the held port is not touched";
  EXPECT_EQ(serial::ProcessSerialLine().fd(), heldFd);

  // The disconnect tells the system over the line, then lets the port go.
  ReceiveThenAnswer({});
  int noSocket = -1;
  ASSERT_EQ(systemlink::DisconnectFromSystem(noSocket, kSlot), 1);
  ExpectReceived(sxm::kLinkControlId);
  EXPECT_FALSE(serial::ProcessSerialLine().open());
  EXPECT_EQ(serial::SerialPortInUse().load(), 0);
  EXPECT_EQ(SlotAt(kSlot).serialLineFlag.load(), 0);

  // A modem that does not connect leaves the port free.
  AnswerDial("\r\nNO CARRIER\r\n");
  EXPECT_EQ(Connect(kOtherSlot), MODEM_NO_CARRIER);
  Dialed();
  EXPECT_FALSE(serial::ProcessSerialLine().open());
  EXPECT_EQ(serial::SerialPortInUse().load(), 0);

  // A slot that dialled but never got its flag (its connect was given up
  // after dialling) lets the port go with its link.
  AnswerDial(kConnected);
  ASSERT_EQ(Connect(kOtherSlot), 1);
  Dialed();
  EXPECT_NE(systemlink::DisconnectFromSystem(noSocket, kOtherSlot), 1);
  EXPECT_FALSE(serial::ProcessSerialLine().open());
  EXPECT_EQ(serial::SerialPortInUse().load(), 0);
}

TEST_F(ModemTest, MessageOverTheLineRestsTheAliveTimerAndItsLastPacketRestartsIt) {
  OpenLine();
  web::WebMsg request = ModemRequest(0, "");
  ReceiveThenAnswer({SystemPacket(0x7240, false, 1, 20), SystemPacket(0x7240, true, 2, 4)});
  ASSERT_EQ(systemlink::SendToSystem(-1, request, {.messageId = 0x7240, .packetLength = 10}, kSlot), 1);
  modem::StartModemAliveTimer(kSlot);
  ASSERT_TRUE(Eventually([] { return ModemAliveCounts().running == 1; }));

  sxm::Packet packet{};
  sxm::ReceiveState state;
  ASSERT_EQ(systemlink::ReceiveFromSystem(-1, packet, state, kSlot), 1);
  EXPECT_EQ(sxm::LengthOf(packet.data()), 30);
  EXPECT_EQ(packet[sxm::kBody + 19], 0x5A);
  EXPECT_TRUE(Eventually([] { return ModemAliveCounts().running == 0; })) << "rests during a message";
  ASSERT_EQ(systemlink::ReceiveFromSystem(-1, packet, state, kSlot), 1);
  EXPECT_TRUE(Eventually([] { return ModemAliveCounts().running == 1; })) << "runs after its last packet";
  ExpectReceived(0x7240);

  // A packet shorter than its header says is refused, not padded with zeros.
  sxm::Packet cut = SystemPacket(0x7240, true, 1, 20);
  peer_ = std::thread([this, cut] { far_->WritePacketToSerial(cut.data(), 25, false, 0); });
  sxm::ReceiveState fresh;
  EXPECT_EQ(systemlink::ReceiveFromSystem(-1, packet, fresh, kSlot), FORMAT_ERROR);
}

TEST_F(ModemTest, AliveTimerSkipsPeriodsWhileATransferRunsAndExchangesFFFFOtherwise) {
  OpenLine();
  modem::SetModemTimers(1, 200);
  const modem::AliveCounts before = ModemAliveCounts();
  systemlink::AcquireTransferFlag(kSlot);
  modem::StartModemAliveTimer(kSlot);
  ASSERT_TRUE(Eventually([&] { return ModemAliveCounts().skipped >= before.skipped + 3; }));
  EXPECT_TRUE(NothingArrives());
  EXPECT_EQ(ModemAliveCounts().exchanged, before.exchanged);

  ReceiveThenAnswer({SystemPacket(sxm::kKeepAliveId, true, 1, 0)});
  systemlink::ReleaseTransferFlag();
  ASSERT_TRUE(Eventually([&] { return ModemAliveCounts().exchanged > before.exchanged; }));
  modem::StopModemAliveTimer();
  ExpectReceived(sxm::kKeepAliveId);
  EXPECT_EQ(sxm::LengthOf(received_.data()), sxm::kHeaderSize);
  EXPECT_FALSE(systemlink::TransferFlagHeld());
}

TEST_F(ModemTest, StartsAndStopsInAnyOrderLeaveOneTimerWhichGivingUpItsSlotEnds) {
  auto churn = [](int varNum) {
    for (int i = 0; i < 40; ++i) {
      modem::StartModemAliveTimer(varNum);
      if (i % 3 == 0) modem::StopModemAliveTimer();
    }
  };
  std::thread other(churn, kOtherSlot);
  churn(kSlot);
  other.join();
  modem::StartModemAliveTimer(kSlot);
  ASSERT_TRUE(Eventually([] { return ModemAliveCounts().running == 1; }));
  EXPECT_EQ(ModemAliveCounts().mostAtOnce, 1);

  // The web disconnect timer gives a slot up after its time-out.
  auto giveUp = [](int varNum) {
    web::StartWebDisconnectTimer(varNum);
    EXPECT_EQ(server::SweepWebTimers(platform::TickCount() + kDefaultWebTimeoutMs + 1000), 1);
  };
  giveUp(kOtherSlot);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(ModemAliveCounts().running, 1) << "giving up another slot leaves the timer alone";
  giveUp(kSlot);
  EXPECT_TRUE(Eventually([] { return ModemAliveCounts().running == 0; }));
}

}  // namespace
