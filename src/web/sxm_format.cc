#include "web/sxm_format.h"

#include <algorithm>
#include <cstring>

namespace sxm {

int BuildPacket(const Fields& fields, const std::uint8_t* body, std::size_t bodyLength, Packet& out,
                std::size_t& length) {
  if (fields.sequence < 1 || fields.sequence > kMaxSequence || bodyLength > kMaxBody) return 0;
  if (bodyLength > 0 && body == nullptr) return 0;
  out.fill(0);
  out[kType] = kPacketType;
  out[kMode] = fields.mode;
  Put16(&out[kMessageId], fields.messageId);
  Put16(&out[kFinalSeq], static_cast<std::uint16_t>((fields.final ? kFinalBits : 0) | fields.sequence));
  length = kHeaderSize + bodyLength;
  Put16(&out[kLength], static_cast<std::uint16_t>(length));
  out[kRecordLength] = fields.recordLength;
  out[kResult] = fields.result;
  if (bodyLength > 0) std::memcpy(&out[kBody], body, bodyLength);
  return 1;
}

namespace {

std::size_t HeaderOnly(std::uint8_t mode, std::uint16_t messageId, std::uint8_t result, Packet& out) {
  Fields fields;
  fields.mode = mode;
  fields.messageId = messageId;
  fields.result = result;
  std::size_t length = 0;
  BuildPacket(fields, nullptr, 0, out, length);
  return length;
}

}  // namespace

std::size_t BuildLinkControlPacket(std::uint8_t mode, Packet& out) {
  return HeaderOnly(mode, kLinkControlId, kResultRequest, out);
}

std::size_t BuildAckPacket(std::uint8_t mode, std::uint16_t messageId, Packet& out) {
  return HeaderOnly(mode, messageId, kResultAck, out);
}

std::size_t BuildFFFFPacket(std::uint8_t mode, Packet& out) {
  return HeaderOnly(mode, kKeepAliveId, kResultRequest, out);
}

const std::array<std::uint8_t, kRejectLength>& RejectPacket() {
  static const std::array<std::uint8_t, kRejectLength> packet = [] {
    std::array<std::uint8_t, kRejectLength> p{};
    p[kType] = kPacketType;
    p[kMode] = kModeRead;
    Put16(&p[kMessageId], 0x0000);
    Put16(&p[kFinalSeq], kFinalBits | 1);
    Put16(&p[kLength], static_cast<std::uint16_t>(kRejectLength));
    p[kRecordLength] = static_cast<std::uint8_t>(kRejectLength - kHeaderSize);
    p[kResult] = TVRL_MSG_WEB_BUSY;
    return p;
  }();
  return packet;
}

bool IsRejectPacket(const std::uint8_t* header) {
  const auto& reject = RejectPacket();
  return std::equal(header, header + kHeaderSize, reject.begin());
}

HeaderCheck CheckHeader(const std::uint8_t* bytes, std::size_t count, std::size_t& bodyLength) {
  if (count < kHeaderSize) return kHeaderIncomplete;
  if (bytes[kType] != kPacketType) return kHeaderWrongType;
  std::uint16_t length = LengthOf(bytes);
  if (length < kHeaderSize || length > kMaxPacket) return kHeaderBadLength;
  bodyLength = length - kHeaderSize;
  return kHeaderOk;
}

SequenceCheck AcceptSequence(ReceiveState& state, const std::uint8_t* header) {
  std::uint16_t sequence = SequenceOf(header);
  if (sequence != static_cast<std::uint16_t>(state.expectedSequence + 1)) return kSequenceGap;
  state.expectedSequence = sequence;
  if (IsFirstPacket(header)) state.messageId = MessageIdOf(header);
  if (MessageIdOf(header) != state.messageId) return kMessageIdChanged;
  return kSequenceOk;
}

}  // namespace sxm
