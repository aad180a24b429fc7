#pragma once
// Reading, unpacking and answering web messages on a connection.
#include <cstdint>
#include <string>

#include "web/web_format.h"

namespace web {

// The unpacked form of a request in which request handling receives it.
struct WebMsg {
  std::uint8_t type = 0;
  std::uint8_t headByte1 = 0;
  std::uint8_t bodyLength[2] = {0, 0};  // as on the wire
  char userId[kUserIdSize + 1] = {};
  std::uint8_t bodyHeader[kBodyHeaderSize] = {};
  std::uint8_t data[kMaxData + 1] = {};

  std::uint8_t mode() const { return bodyHeader[kMode - kBodyType]; }
  std::uint16_t messageId() const { return Get16(bodyHeader + (kMessageId - kBodyType)); }
  std::uint8_t finalSeqHigh() const { return bodyHeader[kFinalSeq - kBodyType]; }
  std::uint8_t recordLength() const { return bodyHeader[kRecordLength - kBodyType]; }
  // Data length from the body's own length field, never more than the data held.
  std::size_t dataLength() const;
  std::string user() const { return userId; }
};

// Bound on waiting for a message: attempts one second apart.
constexpr int kReceiveAttempts = 5;
constexpr int kAttemptMs = 1000;
// Bound on a send that the peer does not drain.
constexpr int kSendTimeoutMs = 5000;

// Reads one message into `buffer` (cleared first) and checks it: type, body
// length, sequence number (must be `sequence` + 1, then kept). Results: 1;
// 214 peer closed; 198 nothing (complete) within the bound or a read error;
// -10 format error.
int ReceiveWebMessage(int socket, RawMessage& buffer, std::uint16_t& sequence, bool firstMessage, int varNum);

void ParseWebMessage(WebMsg& out, const std::uint8_t* raw);

// Sends `length` bytes of `data` as the reply to `request`; data longer than
// 240 bytes goes out in numbered pieces of whole `recordLength`-byte records,
// the last one carrying the final flag. 1; 199 send failed; 166 record length
// 0 or above 240 where splitting is needed; 169 not a whole number of records.
int SendReplyToWeb(int socket, std::uint16_t replyId, int result, const std::uint8_t* data, const WebMsg& request,
                   int recordLength, int length, int varNum);

// The fixed 30-byte reply with result 191 to a user whose previous message is
// still being processed.
int SendBusyReply(int socket, const std::uint8_t* rawRequest, int varNum);

}  // namespace web
