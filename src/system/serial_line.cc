#include "system/serial_line.h"

namespace serial {

std::string PortPath(const std::string& portName) { return "dev/" + portName; }
std::size_t BuildSerialFrame(const std::uint8_t*, std::size_t length, std::uint8_t*) { return length + kFrameOverhead; }
std::uint8_t FrameChecksum(const std::uint8_t*, std::size_t) { return 0; }

SerialLine::~SerialLine() {}
int SerialLine::Open(const std::string&, int, int, int) { return kOpenError; }
int SerialLine::Close(int) { return 1; }
int SerialLine::WriteSerialBytes(const std::uint8_t*, std::size_t, int) { return kWriteError; }
int SerialLine::ReceiveOneByte(std::uint8_t&) { return kNothingReceived; }
int SerialLine::ReadSerialBytes(std::uint8_t*, std::size_t, int) { return kNothingReceived; }
int SerialLine::WritePacketToSerial(const std::uint8_t*, std::size_t, bool, int) { return kWriteError; }
int SerialLine::ReadPacketFromSerial(std::uint8_t*, std::size_t, std::size_t&, int) { return kReceiverGaveUp; }
int SerialLine::ReadSerialFrame(std::uint8_t*, std::size_t&, int) { return kNckError; }

SerialLine& ProcessSerialLine() {
  static SerialLine line;
  return line;
}
std::atomic<int>& SerialPortInUse() {
  static std::atomic<int> inUse{0};
  return inUse;
}

}  // namespace serial
