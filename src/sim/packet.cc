#include "sim/packet.h"

#include <algorithm>

namespace sim {
namespace {

std::uint16_t Word(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
void SetWord(std::uint8_t* p, unsigned value) {
  p[0] = static_cast<std::uint8_t>(value >> 8);
  p[1] = static_cast<std::uint8_t>(value);
}

}  // namespace

Header ParseHeader(const std::uint8_t* bytes) {
  Header h;
  h.type = bytes[0];
  h.mode = bytes[1];
  h.messageId = Word(bytes + 2);
  h.finalNibble = static_cast<std::uint8_t>(bytes[4] >> 4);
  h.sequence = static_cast<std::uint16_t>(Word(bytes + 4) & kLastSequence);
  h.length = Word(bytes + 6);
  h.recordLength = bytes[8];
  h.result = bytes[9];
  return h;
}

std::size_t MakePacket(Header header, const std::uint8_t* body, std::size_t bodyLength, PacketBytes& out) {
  bodyLength = std::min(bodyLength, kMaxBodyBytes);
  out.fill(0);
  out[0] = header.type;
  out[1] = header.mode;
  SetWord(&out[2], header.messageId);
  SetWord(&out[4], static_cast<unsigned>(header.finalNibble & 0xF) << 12 | (header.sequence & kLastSequence));
  SetWord(&out[6], static_cast<unsigned>(kHeaderBytes + bodyLength));
  out[8] = header.recordLength;
  out[9] = header.result;
  if (bodyLength > 0) std::copy(body, body + bodyLength, out.begin() + kHeaderBytes);
  return kHeaderBytes + bodyLength;
}

std::size_t MakeRejectPacket(PacketBytes& out) {
  constexpr std::size_t kRejectBody = 16;
  constexpr std::uint8_t kWebBusy = 10;
  const std::uint8_t body[kRejectBody] = {};
  Header h;
  h.mode = kModeRead;
  h.messageId = 0;
  h.recordLength = kRejectBody;
  h.result = kWebBusy;
  return MakePacket(h, body, kRejectBody, out);
}

}  // namespace sim
