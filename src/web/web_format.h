#pragma once
// Web message, both directions, all numbers big-endian:
//
//   head (20):  type(1) head-byte-1(1) body-length N(2) user-id(16, zero padded)
//   body (N):   body-byte-0(1) mode(1) message-id(2) final|sequence(2)
//               body-length N(2) record-length(1) result(1) data(N-10, <= 240)
//
// The upper 4 bits of the final|sequence field are all ones on the last
// message of an exchange; the lower 12 bits are the sequence number.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace web {

constexpr std::size_t kHeadSize = 20;
constexpr std::size_t kBodyHeaderSize = 10;
constexpr std::size_t kMaxData = 240;
constexpr std::size_t kMinBody = kBodyHeaderSize;
constexpr std::size_t kMaxBody = kBodyHeaderSize + kMaxData;  // 250
constexpr std::size_t kMaxMessage = kHeadSize + kMaxBody;     // 270
constexpr std::size_t kUserIdSize = 16;

// Offsets in the wire message.
constexpr std::size_t kType = 0;
constexpr std::size_t kHeadByte1 = 1;
constexpr std::size_t kHeadLength = 2;
constexpr std::size_t kUserId = 4;
constexpr std::size_t kBodyType = 20;
constexpr std::size_t kMode = 21;
constexpr std::size_t kMessageId = 22;
constexpr std::size_t kFinalSeq = 24;
constexpr std::size_t kBodyLength = 26;
constexpr std::size_t kRecordLength = 28;
constexpr std::size_t kResult = 29;
constexpr std::size_t kData = 30;

constexpr std::uint8_t kFinalBits = 0xF0;  // upper nibble of kFinalSeq
constexpr std::uint16_t kSequenceMask = 0x0FFF;
constexpr std::uint8_t kReplyHeadByte1 = 255;

// Message types (byte 0) of requests.
constexpr std::uint8_t REQ_CONTROL = 2;
constexpr std::uint8_t REQ_PGC = 19;
constexpr std::uint8_t REQ_RESTART = 160;
constexpr std::uint8_t REQ_TABLE_DOWNLOAD = 161;
constexpr std::uint8_t REQ_TABLE_UPLOAD = 162;

// Mode byte of the PGC families.
constexpr std::uint8_t kModeRead = 0xF0;
constexpr std::uint8_t kModeWrite = 0xF1;

using RawMessage = std::array<std::uint8_t, kMaxMessage>;

inline std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
inline void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

inline bool IsRequestType(std::uint8_t type) {
  return type == REQ_CONTROL || type == REQ_PGC || type == REQ_RESTART || type == REQ_TABLE_DOWNLOAD ||
         type == REQ_TABLE_UPLOAD;
}

// 1 when the upper 4 bits of the byte are all ones.
inline int IsFinalFlag(std::uint8_t byte) { return (byte & 0xF0) == kFinalBits ? 1 : 0; }

// A whole message laid out in wire order. The client and the tests build
// requests with it; the server builds its replies with it.
struct MessageFields {
  std::uint8_t type = REQ_CONTROL;
  std::uint8_t headByte1 = 0;
  std::string userId;
  std::uint8_t bodyType = 0;  // body byte 0
  std::uint8_t mode = 0;      // body byte 1
  std::uint16_t messageId = 0;
  std::uint16_t finalSeq = 0;  // final flag and sequence number as on the wire
  std::uint8_t recordLength = 0;
  std::uint8_t result = 0;
  std::string_view data;  // at most kMaxData bytes
};
// Lays the message out; returns its length (30 + data length).
std::size_t BuildMessage(std::uint8_t* out, const MessageFields& fields);

}  // namespace web
