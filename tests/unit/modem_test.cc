// The modem link: dialling on a pseudo-terminal whose far end plays the
// modem and then the system, the modem's answer, the serial paths of the
// system link and the alive timer.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
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
#include "system/modem.h"
#include "system/serial_line.h"
#include "system/sxm_format.h"
#include "system/tcp_exchange.h"
#include "system/tcp_link.h"
#include "system/transfer.h"
#include "web/web_format.h"
#include "web/web_message.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kSlot = 57;
constexpr int kOtherSlot = 58;

const std::string kConnected = "\r\nCONNECT 9600\r\n";

// Waits for `done` for at most 20 s: the test fails, rather than hangs, when
// it never comes.
bool Eventually(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

web::WebMsg ModemRequest(std::uint8_t port, std::uint8_t speed, const std::string& dial) {
  client::Bytes data = client::ConnectModemData(port, speed, dial);
  std::uint8_t raw[web::kMaxMessage] = {};
  web::MessageFields fields;
  fields.userId = "alice";
  fields.bodyType = sxm::kPacketType;
  fields.mode = sxm::kModeRead;
  fields.messageId = systemlink::kConnectRequest;
  fields.finalSeq = 0xF001;
  fields.data = std::string_view(reinterpret_cast<const char*>(data.data()), data.size());
  web::BuildMessage(raw, fields);
  web::WebMsg msg;
  web::ParseWebMessage(msg, raw);
  return msg;
}

sxm::Packet SystemPacket(std::uint16_t messageId, bool final, std::uint16_t sequence, std::size_t bodyLength) {
  sxm::Fields fields;
  fields.messageId = messageId;
  fields.final = final;
  fields.sequence = sequence;
  fields.result = sxm::kResultAck;
  std::vector<std::uint8_t> body(bodyLength, 0x5A);
  sxm::Packet packet{};
  std::size_t length = 0;
  sxm::BuildPacket(fields, body.data(), body.size(), packet, length);
  return packet;
}

// COMM's working directory with dev/COMn entries, and the far end of a
// pseudo-terminal that stands for the modem and the system behind it.
class ModemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/modem_test_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    fs::create_directory(dir_ + "/dev");
    savedDir_ = fs::current_path();
    fs::current_path(dir_);  // the port is found relative to the working directory
    SetLogDirectory(dir_ + "/");
    std::string error;
    ASSERT_EQ(pty_.Open(error), 0) << error;
    far_ = std::make_unique<serial::SerialLine>(pty_.ReleaseMaster());
    modem::SetModemTimers(1, 0);
    for (int varNum : {kSlot, kOtherSlot}) SlotAt(varNum).serialLineFlag.store(0);
  }
  void TearDown() override {
    modem::StopModemAliveTimer();
    // A keep-alive in progress finishes before the port goes away under it.
    EXPECT_TRUE(Eventually([] { return modem::ModemAliveCounts().running == 0; }));
    if (peer_.joinable()) peer_.join();
    serial::ProcessSerialLine().Close(kSlot);
    serial::SerialPortInUse().store(0);
    for (int varNum : {kSlot, kOtherSlot}) SlotAt(varNum).serialLineFlag.store(0);
    modem::SetModemTimers(0, 0);
    fs::current_path(savedDir_);
    fs::remove_all(dir_);
  }

  void LinkPort(const std::string& name) { fs::create_symlink(pty_.slavePath(), dir_ + "/dev/" + name); }

  // The modem reads the dial command up to its carriage return, then answers.
  void AnswerDial(const std::string& answer) {
    dialed_ = {};
    peer_ = std::thread([this, answer] {
      std::uint8_t byte = 0;
      while (platform::ReadWithin(far_->fd(), &byte, 1, 5000) == 1) {
        dialed_ += static_cast<char>(byte);
        if (byte == modem::CR) break;
      }
      ::write(far_->fd(), answer.data(), answer.size());
    });
  }
  std::string Dialed() {
    if (peer_.joinable()) peer_.join();
    return dialed_;
  }

  // The system end of one packet each way, on the peer thread.
  void ReceiveThenAnswer(std::vector<sxm::Packet> answers) {
    peer_ = std::thread([this, answers] {
      std::size_t length = 0;
      received_.fill(0);
      receivedResult_ = far_->ReadPacketFromSerial(received_.data(), received_.size(), length, 0);
      for (const sxm::Packet& answer : answers) far_->WritePacketToSerial(answer.data(), sxm::LengthOf(answer.data()), false, 0);
    });
  }

  void OpenLine() {
    ASSERT_EQ(serial::ProcessSerialLine().Open(pty_.slavePath(), 19200, 8, kSlot), 1);
    SlotAt(kSlot).serialLineFlag.store(1);
  }
  bool NothingArrives() { return platform::WaitForInput(far_->fd(), 300) == 0; }

  std::string dir_;
  fs::path savedDir_;
  platform::PseudoTerminal pty_;
  std::unique_ptr<serial::SerialLine> far_;
  std::thread peer_;
  std::string dialed_;
  sxm::Packet received_{};
  int receivedResult_ = 0;
};

// ---------------------------------------------------------------------------
// Choosing the port and the speed, dialling, and what the modem answers.

TEST_F(ModemTest, PortByteChoosesTheDeviceAndSpeedByteTheRate) {
  LinkPort("COM12");
  AnswerDial(kConnected);
  testing::internal::CaptureStdout();
  int result = modem::ModemConnect("5551234", kSlot, 12, 7);
  std::string console = testing::internal::GetCapturedStdout();
  ASSERT_EQ(result, 1);
  EXPECT_EQ(Dialed(), "ATDT5551234\r");
  EXPECT_NE(console.find("\nBoundrate = 19200"), std::string::npos);
  termios settings{};
  ASSERT_EQ(::tcgetattr(far_->fd(), &settings), 0);  // the master reports the port's own settings
  EXPECT_EQ(::cfgetospeed(&settings), B19200);
  serial::ProcessSerialLine().Close(kSlot);

  // Out of range: COM1, at 9600 as asked.
  fs::remove(dir_ + "/dev/COM12");
  LinkPort("COM1");
  AnswerDial(kConnected);
  ASSERT_EQ(modem::ModemConnect("1", kSlot, 20, 1), 1);
  ASSERT_EQ(::tcgetattr(far_->fd(), &settings), 0);
  EXPECT_EQ(::cfgetospeed(&settings), B9600);

  EXPECT_EQ(modem::ModemPortName(0), "COM1");
  EXPECT_EQ(modem::ModemPortName(9), "COM9");
  EXPECT_EQ(modem::ModemPortName(16), "COM16");
  EXPECT_EQ(modem::ModemPortName(17), "COM1");
}

TEST_F(ModemTest, AnswerDecidesTheOutcome) {
  LinkPort("COM2");
  const std::string busy = std::string("\r\n") + "\x66\x85\x83\x89" + "\r\n";
  const struct {
    std::string answer;
    int result;
  } cases[] = {{kConnected, 1},           {"\r\nOK\r\n", 1},         {busy, modem::kBusy},
               {"\r\nNO CARRIER\r\n", modem::kNoCarrier}, {"\r\nBUSY\r\n", modem::kUnexpectedAnswer},
               {"ATDT7\r\r\nCONNECT\r\n", 1}};  // a modem that echoes the command
  for (const auto& c : cases) {
    AnswerDial(c.answer);
    EXPECT_EQ(modem::ModemConnect("7", kSlot, 2, 2), c.result) << c.answer;
    Dialed();
    serial::ProcessSerialLine().Close(kSlot);
  }
}

// A scripted modem: its bytes in order, then read time-outs for ever.
struct Script {
  std::string bytes;
  int timeoutsFirst = 0;
  std::size_t at = 0;
  int timeoutsGiven = 0;
  int operator()(std::uint8_t& out) {
    if (timeoutsGiven < timeoutsFirst || at == bytes.size()) {
      ++timeoutsGiven;
      return serial::kNothingReceived;
    }
    out = static_cast<std::uint8_t>(bytes[at++]);
    return 1;
  }
};

int ReadScript(Script& script, modem::AnswerBuffer& answer) {
  return modem::ReadModemAnswer(answer, kSlot, [&script](std::uint8_t& b) { return script(b); });
}

TEST_F(ModemTest, AnswerIsTheLineAfterTheFirstLineEndWithinTwentyOneSilences) {
  modem::AnswerBuffer answer{};
  Script connect{"\r\nCONNECT 9600\r\nOK\r\n", 20};
  ASSERT_EQ(ReadScript(connect, answer), 1) << "twenty silences are still waited out";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(answer.data())), "CONNECT 9600\r\n");

  Script noLineEnd{"\r\nCONNECT\r"};
  EXPECT_EQ(ReadScript(noLineEnd, answer), modem::kNoAnswer);
  EXPECT_EQ(noLineEnd.timeoutsGiven, 21);

  Script lineEndsApart{"\r\nOK\rX\n"};
  EXPECT_EQ(ReadScript(lineEndsApart, answer), modem::kNoAnswer) << "CR and LF must be a pair";
}

TEST_F(ModemTest, AnswerLongerThanTheBufferIsRefusedWithoutWritingPastIt) {
  struct {
    modem::AnswerBuffer answer;
    std::array<std::uint8_t, 32> guard;
  } area;
  area.guard.fill(0xA5);
  Script fits{"\r\n" + std::string(modem::kAnswerBufferSize - 2, 'X') + "\r\n"};
  EXPECT_EQ(ReadScript(fits, area.answer), 1) << "an answer of exactly 300 bytes fits";
  Script tooLong{"\r\n" + std::string(modem::kAnswerBufferSize + 50, 'X') + "\r\n"};
  EXPECT_EQ(ReadScript(tooLong, area.answer), modem::kUnexpectedAnswer);
  for (std::uint8_t byte : area.guard) ASSERT_EQ(byte, 0xA5);
}

// ---------------------------------------------------------------------------
// The link over the modem: one slot holds the port from connect to disconnect.

TEST_F(ModemTest, ConnectHoldsThePortUntilDisconnectAndASecondSlotGets154) {
  LinkPort("COM3");
  AnswerDial(kConnected);
  int noSocket = -1;
  ASSERT_EQ(systemlink::ConnectToSystem(noSocket, ModemRequest(3, 2, "0123"), systemlink::kConnectRequest, kSlot), 1);
  EXPECT_EQ(Dialed(), "ATDT0123\r");
  SlotAt(kSlot).serialLineFlag.store(1);  // as request handling does after a modem connect
  int heldFd = serial::ProcessSerialLine().fd();

  EXPECT_EQ(systemlink::ConnectToSystem(noSocket, ModemRequest(3, 2, "0123"), systemlink::kConnectRequest, kOtherSlot),
            modem::kPortInUse);
  EXPECT_TRUE(NothingArrives()) << "the held port is not touched";
  EXPECT_EQ(serial::ProcessSerialLine().fd(), heldFd);
  EXPECT_EQ(serial::SerialPortInUse().load(), 1);

  // The disconnect tells the system over the line, then frees the port.
  ReceiveThenAnswer({});
  ASSERT_EQ(systemlink::DisconnectFromSystem(noSocket, kSlot), 1);
  peer_.join();
  ASSERT_EQ(receivedResult_, 1);
  EXPECT_EQ(sxm::MessageIdOf(received_.data()), sxm::kLinkControlId);
  EXPECT_FALSE(serial::ProcessSerialLine().open());
  EXPECT_EQ(serial::SerialPortInUse().load(), 0);
  EXPECT_EQ(SlotAt(kSlot).serialLineFlag.load(), 0);

  AnswerDial(kConnected);
  EXPECT_EQ(systemlink::ConnectToSystem(noSocket, ModemRequest(3, 2, "0123"), systemlink::kConnectRequest, kOtherSlot),
            1);
  systemlink::DisconnectFromSystem(noSocket, kOtherSlot);
}

TEST_F(ModemTest, FailedConnectFreesThePort) {
  LinkPort("COM4");
  AnswerDial("\r\nNO CARRIER\r\n");
  int noSocket = -1;
  EXPECT_EQ(systemlink::ConnectToSystem(noSocket, ModemRequest(4, 2, "9"), systemlink::kConnectRequest, kSlot),
            modem::kNoCarrier);
  EXPECT_FALSE(serial::ProcessSerialLine().open());
  EXPECT_EQ(serial::SerialPortInUse().load(), 0);

  fs::create_symlink(dir_ + "/nowhere", dir_ + "/dev/COM5");
  EXPECT_EQ(systemlink::ConnectToSystem(noSocket, ModemRequest(5, 2, "9"), systemlink::kConnectRequest, kSlot),
            serial::kOpenError);
  EXPECT_EQ(serial::SerialPortInUse().load(), 0);
}

// A slot that dialled but never got its serial-line flag (a connect given up
// after dialling) still lets go of the port when its link is closed.
TEST_F(ModemTest, DisconnectOfASlotHoldingThePortWithoutItsFlagFreesThePort) {
  LinkPort("COM6");
  AnswerDial(kConnected);
  int noSocket = -1;
  ASSERT_EQ(systemlink::ConnectToSystem(noSocket, ModemRequest(6, 2, "1"), systemlink::kConnectRequest, kSlot), 1);
  Dialed();
  EXPECT_NE(systemlink::DisconnectFromSystem(noSocket, kSlot), 1);
  EXPECT_FALSE(serial::ProcessSerialLine().open());
  EXPECT_EQ(serial::SerialPortInUse().load(), 0);
}

// ---------------------------------------------------------------------------
// Packets over the serial line, and the alive timer they drive.

TEST_F(ModemTest, PacketsTravelInFramesAndAMessageRestsThenRestartsTheAliveTimer) {
  OpenLine();
  modem::SetModemTimers(1, 60000);  // no keep-alive gets in the way
  web::WebMsg request = ModemRequest(0, 0, "");
  ReceiveThenAnswer({SystemPacket(0x7240, false, 1, 20), SystemPacket(0x7240, true, 2, 4)});
  ASSERT_EQ(systemlink::SendToSystem(-1, request, 0x7240, nullptr, false, true, 1, 0, 10, kSlot), 1);

  modem::StartModemAliveTimer(kSlot);
  ASSERT_TRUE(Eventually([] { return modem::ModemAliveCounts().running == 1; }));
  sxm::Packet packet{};
  sxm::ReceiveState state;
  ASSERT_EQ(systemlink::ReceiveFromSystem(-1, packet, state, kSlot), 1);
  EXPECT_EQ(sxm::LengthOf(packet.data()), 30);
  EXPECT_EQ(packet[sxm::kBody + 19], 0x5A);
  EXPECT_TRUE(Eventually([] { return modem::ModemAliveCounts().running == 0; })) << "rests during a message";
  ASSERT_EQ(systemlink::ReceiveFromSystem(-1, packet, state, kSlot), 1);
  EXPECT_TRUE(Eventually([] { return modem::ModemAliveCounts().running == 1; })) << "runs after its last packet";
  peer_.join();
  ASSERT_EQ(receivedResult_, 1);
  EXPECT_EQ(sxm::MessageIdOf(received_.data()), 0x7240);

  // A zero-ID answer stops the timer and does not start it again.
  ReceiveThenAnswer({SystemPacket(0x0000, true, 1, 9)});
  sxm::ReceiveState fresh;
  EXPECT_EQ(systemlink::SendToSystem(-1, request, 0, nullptr, false, true, 1, 0, 10, kSlot), 1);
  ASSERT_EQ(systemlink::ReceiveFromSystem(-1, packet, fresh, kSlot), 1);
  EXPECT_TRUE(Eventually([] { return modem::ModemAliveCounts().running == 0; }));
}

TEST_F(ModemTest, PacketShorterThanItsHeaderSaysIsRefused) {
  OpenLine();
  sxm::Packet cut = SystemPacket(0x7240, true, 1, 20);
  peer_ = std::thread([this, cut] { far_->WritePacketToSerial(cut.data(), 25, false, 0); });
  sxm::Packet packet{};
  sxm::ReceiveState state;
  EXPECT_EQ(systemlink::ReceiveFromSystem(-1, packet, state, kSlot), systemlink::kFormatError);
}

TEST_F(ModemTest, AliveTimerSkipsPeriodsWhileATransferRunsAndExchangesFFFFOtherwise) {
  OpenLine();
  modem::SetModemTimers(1, 200);
  modem::AliveCounts before = modem::ModemAliveCounts();
  systemlink::AcquireTransferFlag(kSlot);
  modem::StartModemAliveTimer(kSlot);
  ASSERT_TRUE(Eventually([&] { return modem::ModemAliveCounts().skipped >= before.skipped + 3; }));
  EXPECT_TRUE(NothingArrives());
  EXPECT_EQ(modem::ModemAliveCounts().exchanged, before.exchanged);

  ReceiveThenAnswer({SystemPacket(0xFFFF, true, 1, 0)});
  systemlink::ReleaseTransferFlag();
  ASSERT_TRUE(Eventually([&] { return modem::ModemAliveCounts().exchanged > before.exchanged; }));
  modem::StopModemAliveTimer();
  peer_.join();
  ASSERT_EQ(receivedResult_, 1);
  EXPECT_EQ(sxm::MessageIdOf(received_.data()), sxm::kKeepAliveId);
  EXPECT_EQ(sxm::LengthOf(received_.data()), sxm::kHeaderSize);
  EXPECT_TRUE(Eventually([] { return !systemlink::TransferFlagHeld(); })) << "the timer lets go of the flag";
}

TEST_F(ModemTest, StartsAndStopsInAnyOrderLeaveAtMostOneTimer) {
  modem::SetModemTimers(1, 60000);
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
  ASSERT_TRUE(Eventually([] { return modem::ModemAliveCounts().running == 1; }));
  EXPECT_EQ(modem::ModemAliveCounts().mostAtOnce, 1);

  modem::StopModemAliveTimerOf(kOtherSlot);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(modem::ModemAliveCounts().running, 1) << "another slot's giving-up leaves the timer alone";
  modem::StopModemAliveTimerOf(kSlot);
  EXPECT_TRUE(Eventually([] { return modem::ModemAliveCounts().running == 0; }));
}

}  // namespace
