#pragma once
// The system's own view of a packet on its links, kept apart from COMM's code
// so that a misreading of the format shared by both sides cannot hide:
//
//   0 type 0x13 | 1 mode | 2-3 message ID | 4-5 final nibble + sequence |
//   6-7 length (10..250, header included) | 8 record length | 9 result | body
//
// Every number is big-endian. The final nibble is 0xF on the last packet of a
// message and 0x0 on every other; sequence numbers count from 1.
#include <array>
#include <cstddef>
#include <cstdint>

namespace sim {

constexpr std::size_t kHeaderBytes = 10;
constexpr std::size_t kMaxBodyBytes = 240;
constexpr std::size_t kMaxPacketBytes = kHeaderBytes + kMaxBodyBytes;
constexpr std::uint8_t kSxmType = 0x13;
constexpr std::uint8_t kModeRead = 0xF0, kModeWrite = 0xF1, kModeUpload = 0xF3;
constexpr std::uint8_t kResultRequest = 0xFF;  // every request COMM builds
constexpr std::uint8_t kResultDone = 1;        // COMM's acknowledgement; the system's success
constexpr std::uint8_t kResultRefused = 0;
constexpr std::uint16_t kLinkCheckMessage = 0x0000;
constexpr std::uint16_t kLinkControlMessage = 0x0001;
constexpr std::uint16_t kKeepAliveMessage = 0xFFFF;
constexpr std::uint16_t kLastSequence = 0x0FFF;
constexpr int kAckEvery = 10;

using PacketBytes = std::array<std::uint8_t, kMaxPacketBytes>;

struct Header {
  std::uint8_t type = kSxmType;
  std::uint8_t mode = kModeRead;
  std::uint16_t messageId = 0;
  std::uint8_t finalNibble = 0xF;
  std::uint16_t sequence = 1;
  std::uint16_t length = kHeaderBytes;
  std::uint8_t recordLength = 0;
  std::uint8_t result = kResultDone;

  bool final() const { return finalNibble == 0xF; }
  std::size_t bodyLength() const { return length - kHeaderBytes; }
};

// At least 10 bytes.
Header ParseHeader(const std::uint8_t* bytes);
// Header and body into `out`, the length field from the body; the packet's length.
std::size_t MakePacket(Header header, const std::uint8_t* body, std::size_t bodyLength, PacketBytes& out);
// The fixed packet that refuses a second client: 26 bytes.
std::size_t MakeRejectPacket(PacketBytes& out);

}  // namespace sim
