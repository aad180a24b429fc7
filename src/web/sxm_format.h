#pragma once
// SXM packet, every message between COMM and the switching system and the
// body of every web message (web/web_format.h), all numbers big-endian:
//
//   type 0x13(1) mode(1) message-id(2) final|sequence(2) length(2, 10..250)
//   record-length(1) result(1) body(length - 10, <= 240)
//
// The upper 4 bits of the final|sequence field are all ones on the last
// packet of a message; the lower 12 bits number its packets from 1.
#include <array>
#include <cstddef>
#include <cstdint>

namespace sxm {

constexpr std::size_t kHeaderSize = 10;
constexpr std::size_t kMaxBody = 240;
constexpr std::size_t kMaxPacket = kHeaderSize + kMaxBody;  // 250

// Offsets in the packet.
constexpr std::size_t kType = 0;
constexpr std::size_t kMode = 1;
constexpr std::size_t kMessageId = 2;
constexpr std::size_t kFinalSeq = 4;
constexpr std::size_t kLength = 6;
constexpr std::size_t kRecordLength = 8;
constexpr std::size_t kResult = 9;
constexpr std::size_t kBody = 10;

constexpr std::uint8_t kPacketType = 0x13;

constexpr std::uint8_t kModeRead = 0xF0;
constexpr std::uint8_t kModeWrite = 0xF1;
constexpr std::uint8_t kModeUpload = 0xF3;

constexpr std::uint16_t kFinalBits = 0xF000;
constexpr std::uint16_t kSequenceMask = 0x0FFF;
constexpr std::uint16_t kMaxSequence = 4095;
constexpr std::uint16_t kAckInterval = 10;  // every tenth packet of an answer is acknowledged

// Result byte.
constexpr std::uint8_t kResultRequest = 0xFF;  // in requests COMM builds
constexpr std::uint8_t kResultAck = 1;         // in COMM's acknowledgements; success from the system
constexpr std::uint8_t TVRL_MSG_NOK = 0;       // the system refused the request
constexpr std::uint8_t TVRL_MSG_KPGC_BUSY = 2;
constexpr std::uint8_t TVRL_MSG_RETRY = 3;
constexpr std::uint8_t TVRL_MSG_WEB_BUSY = 10;

// Message IDs with a meaning of their own.
constexpr std::uint16_t kLinkCheckId = 0x0000;    // the PGC20000 message
constexpr std::uint16_t kLinkControlId = 0x0001;  // takeover and disconnect
constexpr std::uint16_t kKeepAliveId = 0xFFFF;

constexpr std::size_t kRejectLength = 26;  // the reject packet, with its 16-byte body

using Packet = std::array<std::uint8_t, kMaxPacket>;

inline std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
inline void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

// The header fields of a packet to build.
struct Fields {
  std::uint8_t mode = kModeRead;
  std::uint16_t messageId = 0;
  bool final = true;
  std::uint16_t sequence = 1;  // 1..4095
  std::uint8_t recordLength = 0;
  std::uint8_t result = kResultRequest;
};

// Lays out header and body in `out` (the rest of the 250 bytes zeroed) and
// sets `length` to the packet's length. 1; 0 when the sequence lies outside
// 1..4095 or the body is longer than 240 bytes (`out` untouched).
int BuildPacket(const Fields& fields, const std::uint8_t* body, std::size_t bodyLength, Packet& out,
                std::size_t& length);

// The header-only packets: the link-control packet (takeover, disconnect),
// COMM's acknowledgement of an answer, the FF FF keep-alive.
std::size_t BuildLinkControlPacket(std::uint8_t mode, Packet& out);
std::size_t BuildAckPacket(std::uint8_t mode, std::uint16_t messageId, Packet& out);
std::size_t BuildFFFFPacket(std::uint8_t mode, Packet& out);

// The fixed packet with which the system refuses a second client on 5080.
const std::array<std::uint8_t, kRejectLength>& RejectPacket();
// True when the 10 header bytes are exactly the reject packet's.
bool IsRejectPacket(const std::uint8_t* header);

// Header validation of a received packet: type and length bounds.
enum HeaderCheck {
  kHeaderOk = 1,
  kHeaderIncomplete = 2,  // fewer than 10 bytes
  kHeaderWrongType = 3,
  kHeaderBadLength = 4,  // length field below 10 or above 250
};
// On kHeaderOk `bodyLength` is the length field less 10.
HeaderCheck CheckHeader(const std::uint8_t* bytes, std::size_t count, std::size_t& bodyLength);

// Field access on a header of at least 10 bytes.
inline std::uint16_t MessageIdOf(const std::uint8_t* h) { return Get16(h + kMessageId); }
inline std::uint16_t SequenceOf(const std::uint8_t* h) { return Get16(h + kFinalSeq) & kSequenceMask; }
inline std::uint16_t LengthOf(const std::uint8_t* h) { return Get16(h + kLength); }

// Classification.
inline bool IsFFFFPacket(const std::uint8_t* h) { return h[kMessageId] == 0xFF && h[kMessageId + 1] == 0xFF; }
inline bool IsZeroIdPacket(const std::uint8_t* h) { return h[kMessageId] == 0 && h[kMessageId + 1] == 0; }
inline bool IsFirstPacket(const std::uint8_t* h) { return SequenceOf(h) == 1; }
// The final bits as they stand in the high byte of the final|sequence field.
inline bool IsFinalHigh(std::uint8_t high) { return (high & (kFinalBits >> 8)) == kFinalBits >> 8; }
inline bool IsFinalPacket(const std::uint8_t* h) { return IsFinalHigh(h[kFinalSeq]); }
inline bool IsTenthPacket(const std::uint8_t* h) { return SequenceOf(h) % kAckInterval == 0; }
// A receipt over TCP also requires the packet type before an FF FF header is
// passed up unchecked.
inline bool IsTcpFFFFPacket(const std::uint8_t* h) { return h[kType] == kPacketType && IsFFFFPacket(h); }

// The receive state of one message: the sequence number of the last accepted
// packet (0 before the first) and the message ID taken from the first packet.
struct ReceiveState {
  std::uint16_t expectedSequence = 0;
  std::uint16_t messageId = 0;
};

enum SequenceCheck {
  kSequenceOk = 1,
  kSequenceGap = 2,        // the sequence number is not the last one + 1
  kMessageIdChanged = 3,   // the message ID differs from the first packet's
};
// Checks a header against the state and, when it passes, moves the state on.
SequenceCheck AcceptSequence(ReceiveState& state, const std::uint8_t* header);

}  // namespace sxm
