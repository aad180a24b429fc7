#pragma once
// Web message, both directions: a 20-byte head followed by an SXM packet
// (web/sxm_format.h), all numbers big-endian:
//
//   head (20):  type(1) head-byte-1(1) body-length N(2) user-id(16, zero padded)
//   body (N):   the SXM packet, its type byte (body byte 0) aside: mode(1)
//               message-id(2) final|sequence(2) length N(2) record-length(1)
//               result(1) data(N-10, <= 240)
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "web/sxm_format.h"

namespace web {

constexpr std::size_t kHeadSize = 20;
constexpr std::size_t kBodyHeaderSize = sxm::kHeaderSize;
constexpr std::size_t kMaxData = sxm::kMaxBody;
constexpr std::size_t kMinBody = kBodyHeaderSize;
constexpr std::size_t kMaxBody = sxm::kMaxPacket;         // 250
constexpr std::size_t kMaxMessage = kHeadSize + kMaxBody;  // 270
constexpr std::size_t kUserIdSize = 16;

// Offsets in the wire message: the head's, then the packet's moved past it.
constexpr std::size_t kType = 0;
constexpr std::size_t kHeadByte1 = 1;
constexpr std::size_t kHeadLength = 2;
constexpr std::size_t kUserId = 4;
constexpr std::size_t kBodyType = kHeadSize + sxm::kType;
constexpr std::size_t kMode = kHeadSize + sxm::kMode;
constexpr std::size_t kMessageId = kHeadSize + sxm::kMessageId;
constexpr std::size_t kFinalSeq = kHeadSize + sxm::kFinalSeq;
constexpr std::size_t kBodyLength = kHeadSize + sxm::kLength;
constexpr std::size_t kRecordLength = kHeadSize + sxm::kRecordLength;
constexpr std::size_t kResult = kHeadSize + sxm::kResult;
constexpr std::size_t kData = kHeadSize + sxm::kBody;

using sxm::Get16;
using sxm::kFinalBits;
using sxm::kModeRead;
using sxm::kModeWrite;
using sxm::kSequenceMask;
using sxm::Put16;

constexpr std::uint8_t kReplyHeadByte1 = 255;

// Message types (byte 0) of requests.
constexpr std::uint8_t REQ_CONTROL = 2;
constexpr std::uint8_t REQ_PGC = 19;
constexpr std::uint8_t REQ_RESTART = 160;
constexpr std::uint8_t REQ_TABLE_DOWNLOAD = 161;
constexpr std::uint8_t REQ_TABLE_UPLOAD = 162;

using RawMessage = std::array<std::uint8_t, kMaxMessage>;

// Control request numbers: the message id of a REQ_CONTROL request.
enum ControlId : std::uint16_t {
  LOGIN = 1,
  LOGIN_RESET = 2,
  LOGOUT = 4,
  USER_SET = 6,
  LINK_SET = 7,
  FILE_LIST = 8,
  FILE_DELETE = 10,
  CONNECT_SYSTEM = 12,
  TAKEOVER_SYSTEM = 13,
  SYSTEM_COMMAND_SET = 15,
  FILE_CREATE = 16,
  FILE_OPEN = 18,
  FILE_CLOSE = 20,
  ALL_DOWNLOAD_START = 21,
  ALL_DOWNLOAD_START_REPLY = 22,  // the message id of the reply to ALL_DOWNLOAD_START
  ALL_DOWNLOAD_END = 23,
  DOWNLOAD_PGC = 24,
  ALL_UPLOAD_START = 25,
  ALL_UPLOAD_END = 27,
  UPLOAD_PGC = 28,
  STORE_PGC = 29,
  USER_SET_EXT = 30,
  FILE_USER_LIST = 31,
};

// Message ids of REQ_PGC requests with a meaning of their own on a linked
// slot: the link check, the disconnect (the link-control message) and the
// keep-alive.
constexpr std::uint16_t kLinkCheckId = sxm::kLinkCheckId;
constexpr std::uint16_t kDisconnectId = sxm::kLinkControlId;
constexpr std::uint16_t kKeepAliveId = sxm::kKeepAliveId;

inline bool IsRequestType(std::uint8_t type) {
  return type == REQ_CONTROL || type == REQ_PGC || type == REQ_RESTART || type == REQ_TABLE_DOWNLOAD ||
         type == REQ_TABLE_UPLOAD;
}

// 1 when the upper 4 bits of the byte (the high byte of the final|sequence
// field) are all ones.
inline int IsFinalFlag(std::uint8_t byte) { return sxm::IsFinalHigh(byte) ? 1 : 0; }

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
