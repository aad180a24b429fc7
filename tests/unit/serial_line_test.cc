// The serial line protocol over a pseudo-terminal: the line under test opens
// the slave side by its path, a peer thread speaks on the master side, byte
// by byte or with a SerialLine of its own.
#include "system/serial_line.h"

#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "frame/log.h"
#include "platform/serial_port.h"
#include "support/scratch_log.h"
#include "web/sxm_format.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr int kSlot = 7;
constexpr int kPeerWaitMs = 5000;

// Up to `count` bytes, as long as each next byte comes within the wait.
Bytes Take(int fd, std::size_t count, int waitMs = kPeerWaitMs) {
  Bytes out(count);
  std::size_t got = 0;
  while (got < count) {
    long n = platform::ReadWithin(fd, out.data() + got, count - got, waitMs);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return out;
}

void Put(int fd, const Bytes& bytes) { EXPECT_EQ(platform::WriteWithin(fd, bytes.data(), bytes.size(), 1000), 0); }

Bytes Frame(const Bytes& packet) {
  Bytes frame(packet.size() + serial::kFrameOverhead);
  serial::BuildSerialFrame(packet.data(), packet.size(), frame.data());
  return frame;
}

Bytes Sequence(std::size_t n, std::uint8_t first = 0) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(first + i);
  return out;
}

class SerialLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_EQ(pty_.Open(error), 0) << error;
    peer_ = std::make_unique<serial::SerialLine>(pty_.ReleaseMaster());
    ASSERT_EQ(line_.Open(pty_.slavePath(), 9600, 8, kSlot), 1);
  }

  int peer() const { return peer_->fd(); }
  std::string Log() { return log_.Text(); }

  testsupport::ScratchLog log_;
  platform::PseudoTerminal pty_;
  std::unique_ptr<serial::SerialLine> peer_;
  serial::SerialLine line_;
};

// Frames below 256 bytes meet the simulated modem's own code in every modem
// test; the high length byte, which they never set, counts in the checksum too.
TEST(SerialFrame, TheHighLengthByteCountsInTheChecksum) {
  Bytes big = Frame(Bytes(256, 0));
  EXPECT_EQ(big[1], 0x01);
  EXPECT_EQ(big[2], 0x00);
  EXPECT_EQ(big[259], 0x01);
  EXPECT_EQ(big[260], serial::ETX);
}

TEST_F(SerialLineTest, SenderSendsEnqThenTheFrameAfterAckAndEndsAtTheReceiversAck) {
  Bytes seen;
  std::thread other([&] {
    seen = Take(peer(), 1);
    Put(peer(), {serial::ACK});
    Bytes frame = Take(peer(), 15);
    seen.insert(seen.end(), frame.begin(), frame.end());
    Put(peer(), {serial::ACK});
  });
  Bytes packet = Sequence(10, 0xA0);
  EXPECT_EQ(line_.WritePacketToSerial(packet.data(), packet.size(), false, kSlot), 1);
  other.join();
  Bytes frame = Frame(packet);
  frame.insert(frame.begin(), serial::ENQ);
  EXPECT_EQ(seen, frame);
}

TEST_F(SerialLineTest, ReceiverAnswersWrongChecksumWithNckAndTakesThePacketOnTheNextEnq) {
  Bytes packet = Sequence(20, 0x30);
  Bytes replies;
  Bytes broken = Frame(packet);
  broken[broken.size() - 2] ^= 0x5A;
  std::thread other([&] {
    for (const Bytes& sent : {Bytes{serial::ENQ}, broken, Bytes{serial::ENQ}, Frame(packet)}) {
      Put(peer(), sent);
      Bytes reply = Take(peer(), 1);
      replies.insert(replies.end(), reply.begin(), reply.end());
    }
  });
  std::uint8_t buffer[sxm::kMaxPacket] = {};
  std::size_t length = 0;
  EXPECT_EQ(line_.ReadPacketFromSerial(buffer, sizeof buffer, length, kSlot), 1);
  other.join();
  EXPECT_EQ(replies, (Bytes{serial::ACK, serial::NCK, serial::ACK, serial::ACK}));
  ASSERT_EQ(length, packet.size());
  EXPECT_EQ(Bytes(buffer, buffer + length), packet);
  EXPECT_NE(Log().find("CheckSum is not correct, send NCK and retry"), std::string::npos);
}

TEST_F(SerialLineTest, ReceiverReadsAndLogsStrayBytesBeforeEnq) {
  std::thread other([&] {
    Put(peer(), {'x', 0x7E, serial::ENQ});
    Take(peer(), 1);
    Put(peer(), Frame({'a', 'b', 'c'}));
    Take(peer(), 1);
  });
  std::uint8_t buffer[sxm::kMaxPacket] = {};
  std::size_t length = 0;
  EXPECT_EQ(line_.ReadPacketFromSerial(buffer, sizeof buffer, length, kSlot), 1);
  other.join();
  EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{'a', 'b', 'c'}));
  std::string log = Log();
  EXPECT_NE(log.find("Read from system by SIO is not ENQ, inBuff[0] = 78  :Hex"), std::string::npos) << log;
  EXPECT_NE(log.find("Read from system by SIO is not ENQ, inBuff[0] = 7E  :Hex"), std::string::npos);
}

TEST_F(SerialLineTest, FrameLengthAbove270EndsWith142AndNoNck) {
  std::thread other([&] {
    Put(peer(), {serial::ENQ});
    Take(peer(), 1);
    Put(peer(), {serial::STX, 0x01, 0x0F});  // 271
  });
  std::uint8_t buffer[sxm::kMaxPacket] = {};
  std::size_t length = 0;
  EXPECT_EQ(line_.ReadPacketFromSerial(buffer, sizeof buffer, length, kSlot), SERIAL_PROTOCOL_ERROR);
  other.join();
  EXPECT_EQ(platform::WaitForInput(peer(), 300), 0) << "an NCK was sent";
}

// A frame of 251 to 270 bytes is whole and is acknowledged, but the packet
// buffer of 250 bytes cannot take it.
TEST_F(SerialLineTest, PacketTooLongForTheCallersBufferIsRefusedWithNothingCopied) {
  Bytes reply;
  std::thread other([&] {
    Put(peer(), {serial::ENQ});
    Take(peer(), 1);
    Put(peer(), Frame(Bytes(260, 0xEE)));
    reply = Take(peer(), 1);
  });
  std::vector<std::uint8_t> buffer(sxm::kMaxPacket + 64, 0x11);
  std::size_t length = 99;
  EXPECT_EQ(line_.ReadPacketFromSerial(buffer.data(), sxm::kMaxPacket, length, kSlot), SERIAL_PROTOCOL_ERROR);
  other.join();
  EXPECT_EQ(reply, Bytes{serial::ACK});
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(buffer, std::vector<std::uint8_t>(sxm::kMaxPacket + 64, 0x11));

  // A sender cannot frame more than 270 bytes.
  Bytes huge(serial::kMaxFramedPacket + 1, 0);
  EXPECT_EQ(line_.WritePacketToSerial(huge.data(), huge.size(), false, kSlot), SERIAL_WRITE_ERROR);
}

TEST_F(SerialLineTest, ReadSerialBytesGathersBytesThatComeInPieces) {
  std::thread other([&] {
    Put(peer(), {1, 2, 3});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Put(peer(), {4, 5});
  });
  std::uint8_t buffer[5] = {};
  EXPECT_EQ(line_.ReadSerialBytes(buffer, 5, kSlot), 1);
  other.join();
  EXPECT_EQ(Bytes(buffer, buffer + 5), (Bytes{1, 2, 3, 4, 5}));
}

TEST_F(SerialLineTest, WriteDiscardsInputThatWasNotRead) {
  Put(peer(), {0x41});
  ASSERT_EQ(platform::WaitForInput(line_.fd(), 1000), 1);
  std::uint8_t nck = serial::NCK;
  EXPECT_EQ(line_.WriteSerialBytes(&nck, 1, kSlot), 1);
  EXPECT_EQ(Take(peer(), 1), Bytes{serial::NCK});
  Put(peer(), {serial::ENQ});
  std::uint8_t byte = 0;
  EXPECT_EQ(line_.ReceiveOneByte(byte), 1);
  EXPECT_EQ(byte, serial::ENQ);
}

// An answer sent right after the acknowledgement of a request must not cost
// the requester that acknowledgement: a write may drop unread input, never
// output the other side has not taken yet.
TEST_F(SerialLineTest, RequestsAndImmediateAnswersAlternateWithoutLosingAByte) {
  constexpr int kRounds = 60;
  int answered = 0;
  std::thread system([&] {
    std::uint8_t buffer[sxm::kMaxPacket];
    for (int i = 0; i < kRounds; ++i) {
      std::size_t length = 0;
      if (peer_->ReadPacketFromSerial(buffer, sizeof buffer, length, kServerLog) != 1) return;
      buffer[0] ^= 0xFF;
      if (peer_->WritePacketToSerial(buffer, length, false, kServerLog) != 1) return;
      ++answered;
    }
  });
  int completed = 0;
  for (int i = 0; i < kRounds; ++i) {
    Bytes request = Sequence(12, static_cast<std::uint8_t>(i));
    if (line_.WritePacketToSerial(request.data(), request.size(), false, kSlot) != 1) break;
    std::uint8_t answer[sxm::kMaxPacket] = {};
    std::size_t length = 0;
    if (line_.ReadPacketFromSerial(answer, sizeof answer, length, kSlot) != 1) break;
    ASSERT_EQ(length, request.size());
    request[0] ^= 0xFF;
    ASSERT_EQ(Bytes(answer, answer + length), request);
    ++completed;
  }
  system.join();
  EXPECT_EQ(completed, kRounds);
  EXPECT_EQ(answered, kRounds);
  EXPECT_EQ(Log().find("retry"), std::string::npos) << "an exchange needed a second attempt";
}

// The slow case: five ENQs of 3 s each.
TEST_F(SerialLineTest, SenderWithoutAckGivesUpAfterFiveEnqsWith143) {
  int enqs = 0;
  std::thread other([&] {
    for (Bytes b = Take(peer(), 1, 4000); !b.empty(); b = Take(peer(), 1, 4000)) enqs += b[0] == serial::ENQ;
  });
  Bytes packet = Sequence(10);
  EXPECT_EQ(line_.WritePacketToSerial(packet.data(), packet.size(), false, kSlot), SERIAL_SENDER_GAVE_UP);
  other.join();
  EXPECT_EQ(enqs, serial::kAttempts);
  EXPECT_NE(Log().find("More than 5 times failed when receive data from SIO buffer"), std::string::npos);
}

// A pseudo-terminal forces 8 bits without parity; the odd-parity and stop
// bit flags it keeps show that the line's own settings stay.
TEST_F(SerialLineTest, OpenKeepsParityAndStopBitsAndSetsRawBytesWithoutFlowControl) {
  termios t{};
  ASSERT_EQ(tcgetattr(line_.fd(), &t), 0);
  t.c_cflag |= PARODD | CSTOPB;
  t.c_iflag |= IXON | ICRNL;
  t.c_lflag |= ICANON | ECHO;
  ASSERT_EQ(tcsetattr(line_.fd(), TCSANOW, &t), 0);

  ASSERT_EQ(line_.Open(pty_.slavePath(), 19200, 8, kSlot), 1);
  ASSERT_EQ(tcgetattr(line_.fd(), &t), 0);
  EXPECT_EQ(t.c_cflag & (PARODD | CSTOPB), static_cast<tcflag_t>(PARODD | CSTOPB));
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(INPCK));
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B19200));
}

TEST_F(SerialLineTest, OpenFailuresAre135ForNoPort136ForNoTerminalAnd137ForABadSpeed) {
  serial::SerialLine other;
  EXPECT_EQ(other.Open(log_.dir() + "/no-such-port", 9600, 8, kSlot), SERIAL_OPEN_ERROR);
  EXPECT_FALSE(other.open());
  std::ofstream(log_.dir() + "/plain-file").put('x');
  EXPECT_EQ(other.Open(log_.dir() + "/plain-file", 9600, 8, kSlot), SERIAL_GET_STATE_ERROR);
  EXPECT_EQ(other.Open(pty_.slavePath(), 12345, 8, kSlot), SERIAL_SET_STATE_ERROR);
  EXPECT_EQ(other.Close(kSlot), 1);
  EXPECT_FALSE(other.open());
  std::string log = Log();
  EXPECT_NE(log.find("SIO error: An error occurred when open SIO"), std::string::npos);
  EXPECT_NE(log.find("SIO error: An error occurred when get state of SIO"), std::string::npos);
  EXPECT_NE(log.find("SIO error: An error occurred when set state of SIO"), std::string::npos);
}

TEST(SerialPort, ComPortIsTheLocalDevEntryWhenPresentElseTheMatchingTtyS) {
  char pattern[] = "/tmp/tavrel-com-XXXXXX";
  fs::path dir = mkdtemp(pattern);
  fs::path saved = fs::current_path();
  fs::current_path(dir);
  fs::create_directory("dev");
  fs::create_symlink("/nonexistent/ttyUSB9", "dev/COM3");  // dangling: still this port's file
  EXPECT_EQ(serial::PortPath("COM3"), "dev/COM3");
  EXPECT_EQ(serial::PortPath("COM1"), "/dev/ttyS0");
  EXPECT_EQ(serial::PortPath("COM12"), "/dev/ttyS11");
  fs::current_path(saved);
  fs::remove_all(dir);
}

}  // namespace
