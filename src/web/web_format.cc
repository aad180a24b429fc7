#include "web/web_format.h"

#include <algorithm>
#include <cstring>

namespace web {

std::size_t BuildMessage(std::uint8_t* out, const MessageFields& f) {
  std::size_t dataLength = std::min(f.data.size(), kMaxData);
  auto bodyLength = static_cast<std::uint16_t>(kBodyHeaderSize + dataLength);
  std::memset(out, 0, kHeadSize + kBodyHeaderSize);
  out[kType] = f.type;
  out[kHeadByte1] = f.headByte1;
  Put16(out + kHeadLength, bodyLength);
  std::memcpy(out + kUserId, f.userId.data(), std::min(f.userId.size(), kUserIdSize));
  out[kBodyType] = f.bodyType;
  out[kMode] = f.mode;
  Put16(out + kMessageId, f.messageId);
  Put16(out + kFinalSeq, f.finalSeq);
  Put16(out + kBodyLength, bodyLength);
  out[kRecordLength] = f.recordLength;
  out[kResult] = f.result;
  if (dataLength > 0) std::memcpy(out + kData, f.data.data(), dataLength);
  return kHeadSize + bodyLength;
}

}  // namespace web
