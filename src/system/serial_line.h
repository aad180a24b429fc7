#pragma once
// The serial line to the system's modem: every SXM packet travels in a frame
//
//   STX(1) length(2, big-endian) packet(length) checksum(1) ETX(1)
//
// preceded by an ENQ/ACK handshake, and answered by ACK (or NCK for a broken
// frame, after which the sender starts again with ENQ). The checksum is the
// exclusive-or of the length bytes and every packet byte.
//
// A SerialLine is one open port (a tty or one side of a pseudo-terminal);
// the protocol works on any of them, so that the simulated system can speak
// it from the other side. COMM itself has one port for the whole process:
// ProcessSerialLine(), with the serial-port-in-use flag.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include "frame/result_codes.h"

namespace serial {

constexpr std::uint8_t ENQ = 0x05;
constexpr std::uint8_t ACK = 0x06;
constexpr std::uint8_t NCK = 0x15;
constexpr std::uint8_t STX = 0x02;
constexpr std::uint8_t ETX = 0x03;

constexpr std::size_t kMaxFramedPacket = 270;  // a frame length of 271 or more is refused
constexpr std::size_t kFrameBufferSize = 300;
constexpr std::size_t kFrameOverhead = 5;
constexpr std::size_t kLengthOffset = 1;  // in the frame
constexpr std::size_t kPacketOffset = 3;
constexpr int kReadTimeoutMs = 3000;  // a read returns at once with what is there, else after this
constexpr int kAttempts = 5;          // ENQ attempts of the sender, receive attempts of the receiver

// The file that stands for port "COMn": dev/COMn in the working directory
// when it exists, else /dev/ttyS<n-1>.
std::string PortPath(const std::string& portName);

// Frame of `length` packet bytes into `frame` (length + 5 bytes); the frame's length.
std::size_t BuildSerialFrame(const std::uint8_t* packet, std::size_t length, std::uint8_t* frame);
// Exclusive-or of bytes 1 .. 2 + packetLength of a frame.
std::uint8_t FrameChecksum(const std::uint8_t* frame, std::size_t packetLength);

class SerialLine {
 public:
  SerialLine() = default;
  // Adopts an open descriptor (the simulator's side of a pseudo-terminal).
  explicit SerialLine(int fd) : fd_(fd) {}
  ~SerialLine();
  SerialLine(const SerialLine&) = delete;
  SerialLine& operator=(const SerialLine&) = delete;

  // Opens the file for the port exclusively in raw mode at the baud rate
  // and byte size given, keeping the port's parity and stop bits; a port
  // already open here is closed first. Opening the process's port sets the
  // serial-port-in-use flag. 1; 135; 136; 137.
  int Open(const std::string& path, int baudRate, int byteSize, int varNum);
  // 1; 144.
  int Close(int varNum);
  bool open() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Waits for earlier output to leave and discards unread input, then
  // writes. 1; 138.
  int WriteSerialBytes(const std::uint8_t* bytes, std::size_t count, int varNum);
  // 1 with one byte; 141 when none came within the read time-out.
  int ReceiveOneByte(std::uint8_t& out);
  // Exactly `count` bytes. 1; 141; 142.
  int ReadSerialBytes(std::uint8_t* buffer, std::size_t count, int varNum);

  // Sender side: ENQ, ACK, the frame, ACK, at most five attempts; `raw`
  // writes the bytes as they are (modem commands). 1; 138; 143.
  int WritePacketToSerial(const std::uint8_t* packet, std::size_t length, bool raw, int varNum);
  // Receiver side: ENQ, ACK, a frame, ACK (NCK for a broken frame), at most
  // five attempts. At most `bufferSize` bytes are copied; a whole packet that
  // does not fit is acknowledged, then refused with 142 and nothing copied.
  // 1; 138; 142; 149; 152; 153.
  int ReadPacketFromSerial(std::uint8_t* buffer, std::size_t bufferSize, std::size_t& receivedLength, int varNum);
  // One frame after the ACK: 1 with the frame (length + 5 bytes) in `frame`
  // (kFrameBufferSize bytes); 145 after sending NCK; 142; 153.
  int ReadSerialFrame(std::uint8_t* frame, std::size_t& frameLength, int varNum);

 private:
  // Up to `count` bytes within `timeoutMs`. The count; 0 when none came.
  long ReadSome(std::uint8_t* buffer, std::size_t count, int timeoutMs);
  int DiscardInput();
  int SendRealData(const std::uint8_t* bytes, std::size_t count, int varNum);
  int AwaitEnq(int varNum);
  int SendNck(int varNum);
  int NckAndRetry(int varNum);
  int DeliverPacket(const std::uint8_t* frame, std::size_t frameLength, std::uint8_t* buffer,
                    std::size_t bufferSize, std::size_t& receivedLength, int varNum);

  int fd_ = -1;
};

// COMM's one serial port, and whether a slot's modem link holds it.
SerialLine& ProcessSerialLine();
std::atomic<int>& SerialPortInUse();

}  // namespace serial
