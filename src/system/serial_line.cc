#include "system/serial_line.h"

#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>

#include "frame/log.h"
#include "platform/pause.h"
#include "platform/serial_port.h"
#include "web/sxm_format.h"

namespace serial {
namespace {

// The peer's side of the protocol relies on this pause between attempts.
constexpr int kRetryPauseMs = 200;
// A write the port has not taken within this time has failed.
constexpr int kWriteTimeoutMs = 1000;

void Pause() { platform::PauseMs(kRetryPauseMs); }

}  // namespace

std::string PortPath(const std::string& portName) {
  std::string local = "dev/" + portName;
  // The entry counts even when its link points nowhere: opening it then
  // fails, rather than quietly opening another device.
  std::error_code ignored;
  if (std::filesystem::symlink_status(local, ignored).type() != std::filesystem::file_type::not_found)
    return local;
  constexpr std::string_view kPrefix = "COM";
  if (portName.rfind(kPrefix, 0) != 0) return local;
  std::string digits = portName.substr(kPrefix.size());
  if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos) return local;
  int number = std::stoi(digits);
  if (number < 1) return local;
  return "/dev/ttyS" + std::to_string(number - 1);
}

std::uint8_t FrameChecksum(const std::uint8_t* frame, std::size_t packetLength) {
  std::uint8_t sum = 0;
  for (std::size_t i = kLengthOffset; i < kPacketOffset + packetLength; ++i) sum ^= frame[i];
  return sum;
}

std::size_t BuildSerialFrame(const std::uint8_t* packet, std::size_t length, std::uint8_t* frame) {
  frame[0] = STX;
  sxm::Put16(frame + kLengthOffset, static_cast<std::uint16_t>(length));
  if (length > 0) std::memcpy(frame + kPacketOffset, packet, length);
  frame[kPacketOffset + length] = FrameChecksum(frame, length);
  frame[kPacketOffset + length + 1] = ETX;
  return length + kFrameOverhead;
}

SerialLine::~SerialLine() {
  if (fd_ >= 0) platform::CloseSerialDevice(fd_);
}

int SerialLine::Open(const std::string& path, int baudRate, int byteSize, int varNum) {
  if (fd_ >= 0) {
    DiscardInput();
    platform::CloseSerialDevice(fd_);
    fd_ = -1;
  }
  int fd = platform::OpenSerialDevice(path);
  if (fd < 0) {
    LogError(varNum, "SIO error", "An error occurred when open SIO");
    return SERIAL_OPEN_ERROR;
  }
  fd_ = fd;
  if (this == &ProcessSerialLine()) SerialPortInUse() = 1;
  switch (platform::SetSerialLine(fd_, baudRate, byteSize)) {
    case platform::LineSetup::kGetFailed:
      LogError(varNum, "SIO error", "An error occurred when get state of SIO");
      return SERIAL_GET_STATE_ERROR;
    case platform::LineSetup::kSetFailed:
      LogError(varNum, "SIO error", "An error occurred when set state of SIO");
      return SERIAL_SET_STATE_ERROR;
    case platform::LineSetup::kDone: break;
  }
  return 1;
}

int SerialLine::Close(int) {
  if (fd_ < 0) return 1;
  int rc = platform::CloseSerialDevice(fd_);
  fd_ = -1;
  return rc == 0 ? 1 : SERIAL_CLOSE_ERROR;
}

long SerialLine::ReadSome(std::uint8_t* buffer, std::size_t count, int timeoutMs) {
  if (count == 0) return 0;
  return platform::ReadWithin(fd_, buffer, count, timeoutMs);
}

int SerialLine::DiscardInput() { return platform::DrainOutputAndDiscardInput(fd_); }

int SerialLine::WriteSerialBytes(const std::uint8_t* bytes, std::size_t count, int varNum) {
  DiscardInput();
  if (platform::WriteWithin(fd_, bytes, count, kWriteTimeoutMs) != 0) {
    LogError(varNum, "SIO error", "Time out when send data to SIO buffer");
    return SERIAL_WRITE_ERROR;
  }
  LogBytes(varNum, "Write to system by SIO", bytes, count);
  return 1;
}

int SerialLine::ReceiveOneByte(std::uint8_t& out) {
  if (ReadSome(&out, 1, kReadTimeoutMs) <= 0) {
    Console("\nReceiveOneByte: (*ptrBytesRead) == 0 \n");
    return SERIAL_NOTHING_RECEIVED;
  }
  return 1;
}

// Reads never ask for more than is still missing, so they cannot overrun `count`.
int SerialLine::ReadSerialBytes(std::uint8_t* buffer, std::size_t count, int varNum) {
  std::size_t total = 0;
  for (bool first = true; total < count; first = false) {
    if (!first) {
      Console(" ");
      Pause();
    }
    long n = ReadSome(buffer + total, count - total, kReadTimeoutMs);
    if (n <= 0) {
      Console("\nReceiveOneByte: (*bytesReadOneTime) == 0 ");
      return SERIAL_NOTHING_RECEIVED;
    }
    total += static_cast<std::size_t>(n);
    LogDebug(varNum, Format("Now has already read %zu bytes", total));
  }
  return 1;
}

int SerialLine::SendRealData(const std::uint8_t* bytes, std::size_t count, int varNum) {
  LogDebug(varNum, "send real data......");
  if (platform::WriteWithin(fd_, bytes, count, kWriteTimeoutMs) != 0) {
    LogError(varNum, "SIO error", "Time out when send data to SIO buffer");
    return SERIAL_WRITE_ERROR;
  }
  LogDebug(varNum, "send real data......OK");
  LogBytes(varNum, "Write to system by SIO:", bytes, count);
  return 1;
}

int SerialLine::WritePacketToSerial(const std::uint8_t* packet, std::size_t length, bool raw, int varNum) {
  if (!raw && length > kMaxFramedPacket) {
    LogError(varNum, "SIO error", Format("Packet too long for a serial frame, %zu>%zu", length, kMaxFramedPacket));
    return SERIAL_WRITE_ERROR;
  }
  DiscardInput();
  if (raw) return SendRealData(packet, length, varNum);

  std::array<std::uint8_t, kFrameBufferSize> frame{};
  for (int attempt = 1;; ++attempt) {
    LogDebug(varNum, "send ENQ......");
    if (attempt > kAttempts) {
      LogError(varNum, "SIO error", "More than 5 times failed when receive data from SIO buffer");
      return SERIAL_SENDER_GAVE_UP;
    }
    int rc = WriteSerialBytes(&ENQ, 1, varNum);
    if (rc != 1) {
      LogError(varNum, "SIO error", "Send ENQ to system failed when write com");
      return rc;
    }
    LogDebug(varNum, "send ENQ......OK");
    LogDebug(varNum, "read ACK......");
    std::uint8_t reply = 0;
    rc = ReceiveOneByte(reply);
    DiscardInput();
    if (rc != 1 || reply != ACK) {
      Pause();
      LogError(varNum, "SIO error", "Receive ACK failed one time when write com, (after send ENQ) retry send ENQ ");
      continue;
    }
    LogDebug(varNum, "read ACK......OK");
    std::size_t frameLength = BuildSerialFrame(packet, length, frame.data());
    rc = SendRealData(frame.data(), frameLength, varNum);
    if (rc != 1) return rc;
    LogDebug(varNum, "read ACK......");
    if (ReceiveOneByte(reply) == 1 && reply == ACK) {
      LogDebug(varNum, "read ACK......OK");
      return 1;
    }
    Pause();
    LogError(varNum, "SIO error",
             "Receive ACK failed one time when write com, (after send real data) retry send ENQ ");
  }
}

// Bytes other than ENQ are read and logged for as long as they come.
int SerialLine::AwaitEnq(int varNum) {
  for (;;) {
    std::uint8_t byte = 0;
    if (ReceiveOneByte(byte) != 1) return SERIAL_NOTHING_RECEIVED;
    if (byte == ENQ) return 1;
    LogError(varNum, "Error", Format("\nRead from system by SIO is not ENQ, inBuff[0] = %X  :Hex", byte));
    Pause();
  }
}

int SerialLine::SendNck(int varNum) {
  if (WriteSerialBytes(&NCK, 1, varNum) != 1) {
    LogError(varNum, "Error", "Send NCK to system error");
    return SERIAL_NCK_ERROR;
  }
  return 1;
}

int SerialLine::NckAndRetry(int varNum) {
  if (SendNck(varNum) != 1) return SERIAL_NCK_ERROR;
  Pause();
  return SERIAL_NCK_SENT;
}

int SerialLine::ReadPacketFromSerial(std::uint8_t* buffer, std::size_t bufferSize, std::size_t& receivedLength,
                                     int varNum) {
  receivedLength = 0;
  std::array<std::uint8_t, kFrameBufferSize> frame{};
  for (int attempt = 1;; ++attempt) {
    if (attempt > kAttempts) {
      LogError(varNum, "SIO error", "More than 5 times failed when receive data from SIO buffer");
      return SERIAL_RECEIVER_GAVE_UP;
    }
    LogDebug(varNum, "read ENQ......");
    if (AwaitEnq(varNum) != 1) {
      LogError(varNum, "Error", "read ENQ time out for 1 time, send NCK to system and try again");
      if (SendNck(varNum) != 1) return SERIAL_NCK_ERROR;
      Pause();
      continue;
    }
    LogDebug(varNum, "read......ENQ......OK");
    if (DiscardInput() != 0) {
      LogError(varNum, "Debug", "purge Modem buffer error");
      return SERIAL_PURGE_ERROR;
    }
    LogDebug(varNum, "send ACK......");
    if (WriteSerialBytes(&ACK, 1, varNum) != 1) {
      LogError(varNum, "Error", "Send ACK failed one time, send NCK and retry read ENQ");
      if (SendNck(varNum) != 1) return SERIAL_NCK_ERROR;
      Pause();
      continue;
    }
    LogDebug(varNum, "send ACK......OK");
    LogDebug(varNum, "receive real data from system by SIO......");
    std::size_t frameLength = 0;
    int rc = ReadSerialFrame(frame.data(), frameLength, varNum);
    if (rc == SERIAL_NCK_SENT) {
      LogError(varNum, "Error", "receive data by SIO failed one time");
      Pause();
      continue;
    }
    if (rc != 1) {
      LogError(varNum, "SIO error", "Read from System by SIO error");
      return rc;
    }
    LogDebug(varNum, Format("modemAllLength = %zu", frameLength));
    LogDebug(varNum, "receive real data from system by SIO......OK");
    return DeliverPacket(frame.data(), frameLength, buffer, bufferSize, receivedLength, varNum);
  }
}

// A packet that does not fit the caller's buffer came whole and is
// acknowledged, so that the sender does not send it again; it is refused
// here instead, with nothing copied.
int SerialLine::DeliverPacket(const std::uint8_t* frame, std::size_t frameLength, std::uint8_t* buffer,
                              std::size_t bufferSize, std::size_t& receivedLength, int varNum) {
  std::size_t length = frameLength - kFrameOverhead;
  bool fits = length <= bufferSize;
  if (fits && length > 0) std::memcpy(buffer, frame + kPacketOffset, length);
  LogDebug(varNum, "send......ACK");
  int rc = WriteSerialBytes(&ACK, 1, varNum);
  if (rc != 1) {
    LogError(varNum, "Error", "Send ACK after receive real data failed");
    return rc;
  }
  LogDebug(varNum, "send......ACK......OK");
  if (!fits) {
    LogError(varNum, "Error", Format("Packet of %zu bytes does not fit its buffer of %zu bytes", length, bufferSize));
    return SERIAL_PROTOCOL_ERROR;
  }
  receivedLength = length;
  return 1;
}

int SerialLine::ReadSerialFrame(std::uint8_t* frame, std::size_t& frameLength, int varNum) {
  std::memset(frame, 0, kFrameBufferSize);
  LogDebug(varNum, "read......STX");
  std::uint8_t byte = 0;
  for (;;) {
    if (ReceiveOneByte(byte) != 1) {
      LogError(varNum, "Error", "read STX time out one time, send NCK and retry");
      return NckAndRetry(varNum);
    }
    if (byte == STX) break;
    LogError(varNum, "Error", Format("read STX is not 2, but something else:%d", byte));
  }
  frame[0] = STX;
  LogDebug(varNum, "read......STX......OK");
  LogDebug(varNum, "read......Length");
  for (int i = 0; i < 2; ++i) {
    if (ReceiveOneByte(frame[kLengthOffset + i]) != 1) {
      LogError(varNum, "Error", Format("read length[%d] time out, send NCK and retry", i));
      return NckAndRetry(varNum);
    }
  }
  std::size_t length = sxm::Get16(frame + kLengthOffset);
  LogDebug(varNum, Format("msgLength = %zu", length));
  if (length > kMaxFramedPacket) {
    LogError(varNum, "Debug", Format("the msgLength>WEB_MSG_SIZE, %zu>WEB_MSG_SIZE", length));
    return SERIAL_PROTOCOL_ERROR;
  }
  LogDebug(varNum, "read......Length......OK");
  LogDebug(varNum, "read......SXM Data");
  if (ReadSerialBytes(frame + kPacketOffset, length, varNum) != 1) {
    LogError(varNum, "Error", "read SXM Data time error one time, send NCK and try again");
    return NckAndRetry(varNum);
  }
  LogDebug(varNum, "read......SXM Data......OK");
  LogDebug(varNum, "read......CheckSum");
  std::uint8_t& checksum = frame[kPacketOffset + length];
  if (ReceiveOneByte(checksum) != 1) {
    LogError(varNum, "Error", "read CheckSum time out, send NCK and retry");
    return NckAndRetry(varNum);
  }
  if (checksum != FrameChecksum(frame, length)) {
    LogError(varNum, "Error", "CheckSum is not correct, send NCK and retry");
    Console("\nCheckSum is not correct");
    LogError(varNum, "CheckSum error", Format("msgLength = %zu", length));
    LogError(varNum, "CheckSum error", Format("CheckSum = %d", checksum));
    LogBytes(varNum, "CheckSum is not correct", frame, length);
    return NckAndRetry(varNum);
  }
  LogDebug(varNum, "read......CheckSum......OK");
  LogDebug(varNum, "read ETX......");
  std::uint8_t& etx = frame[kPacketOffset + length + 1];
  if (ReceiveOneByte(etx) != 1) {
    LogError(varNum, "Error", "read ETX time out, send NCK and retry");
    return NckAndRetry(varNum);
  }
  if (etx != ETX) {
    LogError(varNum, "Error", "ETX is not correct, send NCK and retry");
    return NckAndRetry(varNum);
  }
  LogDebug(varNum, "read......ETX......OK");
  frameLength = length + kFrameOverhead;
  return 1;
}

SerialLine& ProcessSerialLine() {
  static SerialLine line;
  return line;
}

std::atomic<int>& SerialPortInUse() {
  static std::atomic<int> inUse{0};
  return inUse;
}

}  // namespace serial
