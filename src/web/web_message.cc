#include "web/web_message.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "frame/log.h"
#include "frame/result_codes.h"
#include "platform/socket.h"

namespace web {
namespace {

using Clock = std::chrono::steady_clock;

enum ReadResult { kReadDone, kReadTimeout, kReadError, kReadClosed };

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Reads until `have` reaches `want` or the deadline passes, returning the
// moment the bytes are complete. `err` receives errno on kReadError.
ReadResult ReadUntil(int socket, std::uint8_t* buffer, std::size_t want, std::size_t& have,
                     Clock::time_point deadline, int& err) {
  while (have < want) {
    long n = platform::ReceiveSome(socket, buffer + have, want - have);
    if (n > 0) {
      have += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) return kReadClosed;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      err = errno;
      return kReadError;
    }
    int left = MillisecondsLeft(deadline);
    if (left == 0) return kReadTimeout;
    if (platform::WaitReadable(socket, left) < 0) {
      err = errno;
      return kReadError;
    }
  }
  return kReadDone;
}

int CutDown(int varNum) {
  LogError(varNum, "Socket error", "The socket has been cut down");
  return PEER_CLOSED;
}

int HeadError(int varNum, int err) {
  ReportSocketError(varNum, err);
  LogError(varNum, "Socket error", "Receive message head from Web error");
  return SOCKET_RECV_ERROR;
}

// The first head of a connection: no attempt log lines, but bounded like the
// others so that a silent peer cannot hold its connection's thread for ever.
int ReceiveFirstHead(int socket, std::uint8_t* head, int varNum) {
  std::size_t have = 0;
  int err = ETIMEDOUT;
  auto deadline = Clock::now() + std::chrono::milliseconds(kReceiveAttempts * kAttemptMs);
  switch (ReadUntil(socket, head, kHeadSize, have, deadline, err)) {
    case kReadDone: return RESULT_OK;
    case kReadClosed: return CutDown(varNum);
    default: return HeadError(varNum, err);
  }
}

// A further head: up to five attempts a second apart, each ending the moment
// the whole head is there.
int ReceiveFurtherHead(int socket, std::uint8_t* head, int varNum) {
  std::size_t have = 0;
  int err = ETIMEDOUT;
  auto start = Clock::now();
  for (int attempt = 1; attempt <= kReceiveAttempts; ++attempt) {
    auto deadline = start + std::chrono::milliseconds((attempt - 1) * kAttemptMs);
    ReadResult r = ReadUntil(socket, head, kHeadSize, have, deadline, err);
    if (r == kReadDone) {
      LogDebug(varNum, Format("Try to receive message head from Web is success at %d times", attempt));
      LogBytes(varNum, "recv from Web, head", head, kHeadSize);
      LogDebug(varNum, "Receive message head from Web success");
      return RESULT_OK;
    }
    if (r == kReadClosed) return CutDown(varNum);
    if (r == kReadError) return HeadError(varNum, err);
    LogDebug(varNum, Format("Receive message head from Web is fail %d times", attempt));
  }
  // The fifth attempt's second has passed too: one last look before giving up.
  auto deadline = start + std::chrono::milliseconds(kReceiveAttempts * kAttemptMs);
  ReadResult r = ReadUntil(socket, head, kHeadSize, have, deadline, err);
  if (r == kReadDone) {
    LogDebug(varNum, "Receive message head from Web success");
    return RESULT_OK;
  }
  if (r == kReadClosed) return CutDown(varNum);
  return HeadError(varNum, err);
}

int FormatError(int varNum, const char* text, const char* label = "Message format error") {
  LogError(varNum, label, text);
  return WEB_FORMAT_ERROR;
}

}  // namespace

std::size_t WebMsg::dataLength() const {
  int length = Get16(bodyHeader + (kBodyLength - kBodyType)) - static_cast<int>(kBodyHeaderSize);
  return static_cast<std::size_t>(std::clamp(length, 0, static_cast<int>(kMaxData)));
}

int ReceiveWebMessage(int socket, RawMessage& buffer, std::uint16_t& sequence, bool firstMessage, int varNum) {
  buffer.fill(0);
  std::uint8_t head[kHeadSize] = {};
  int result = firstMessage ? ReceiveFirstHead(socket, head, varNum) : ReceiveFurtherHead(socket, head, varNum);
  if (result != RESULT_OK) return result;
  LogBytes(varNum, "recv from web, head", head, kHeadSize);

  if (!IsRequestType(head[kType])) return FormatError(varNum, "Message type received from web is error");
  std::size_t bodyLength = Get16(head + kHeadLength);
  LogDebug(varNum, Format("bodyActualLength=%zu", bodyLength));
  // A body above 250 bytes cannot be a message of this format (and would not
  // fit the buffer): refused like one that is too short.
  if (bodyLength < kMinBody || bodyLength > kMaxBody) {
    return FormatError(varNum, "Message length received from web is error");
  }

  std::uint8_t* body = buffer.data() + kHeadSize;
  std::size_t have = 0;
  int err = ETIMEDOUT;
  auto deadline = Clock::now() + std::chrono::milliseconds(kReceiveAttempts * kAttemptMs);
  switch (ReadUntil(socket, body, bodyLength, have, deadline, err)) {
    case kReadDone: break;
    case kReadClosed: buffer.fill(0); return CutDown(varNum);
    default:
      buffer.fill(0);
      ReportSocketError(varNum, err);
      LogError(varNum, "Socket error", "Receive web body error");
      return SOCKET_RECV_ERROR;
  }
  LogBytes(varNum, "recv from web, body", body, bodyLength);

  std::uint16_t received = sxm::SequenceOf(body);
  if (received != static_cast<std::uint16_t>(sequence + 1)) {
    buffer.fill(0);
    return FormatError(varNum, "The seqence number of message is not continue.", "Web message format error");
  }
  sequence = received;
  std::memcpy(buffer.data(), head, kHeadSize);
  return RESULT_OK;
}

void ParseWebMessage(WebMsg& out, const std::uint8_t* raw) {
  out = WebMsg{};
  out.type = raw[kType];
  out.headByte1 = raw[kHeadByte1];
  out.bodyLength[0] = raw[kHeadLength];
  out.bodyLength[1] = raw[kHeadLength + 1];
  std::memcpy(out.userId, raw + kUserId, strnlen(reinterpret_cast<const char*>(raw + kUserId), kUserIdSize));
  std::memcpy(out.bodyHeader, raw + kBodyType, kBodyHeaderSize);
  std::memcpy(out.data, raw + kData, out.dataLength());
}

namespace {

int SendPiece(int socket, std::uint16_t replyId, int result, const std::uint8_t* data, std::size_t length,
              const WebMsg& request, int recordLength, std::uint16_t finalSeq, int varNum) {
  std::uint8_t message[kMaxMessage];
  std::uint8_t type = replyId == 0 ? REQ_CONTROL : request.type;
  MessageFields fields;
  fields.type = type;
  fields.headByte1 = kReplyHeadByte1;
  fields.userId = request.userId;
  fields.bodyType = type;
  fields.mode = request.mode();
  fields.messageId = replyId;
  fields.finalSeq = finalSeq;
  fields.recordLength = static_cast<std::uint8_t>(recordLength);
  fields.result = static_cast<std::uint8_t>(result);
  fields.data = std::string_view(reinterpret_cast<const char*>(data), length);
  std::size_t size = BuildMessage(message, fields);
  LogBytes(varNum, "return to web", message, size);
  if (platform::SendAll(socket, message, size, kSendTimeoutMs) != 0) {
    int err = errno;
    LogError(varNum, "Socket error", "Send return byte array message to web error");
    ReportSocketError(varNum, err);
    return SOCKET_SEND_ERROR;
  }
  LogDebug(varNum, "return to web OK");
  return RESULT_OK;
}

}  // namespace

int SendReplyToWeb(int socket, std::uint16_t replyId, int result, const std::uint8_t* data, const WebMsg& request,
                   int recordLength, int length, int varNum) {
  if (length < 0) length = 0;
  if (static_cast<std::size_t>(length) <= kMaxData) {
    std::uint16_t finalSeq = Get16(request.bodyHeader + (kFinalSeq - kBodyType));
    return SendPiece(socket, replyId, result, data, length, request, recordLength, finalSeq, varNum);
  }
  // Longer data goes out in pieces of whole records; a record that does not
  // fit a piece cannot be split that way.
  if (recordLength <= 0 || static_cast<std::size_t>(recordLength) > kMaxData) {
    LogError(varNum, "DB error", Format("Can not divide zero:%zu/%d", kMaxData, recordLength));
    return DIVIDE_ZERO_ERROR;
  }
  if (length % recordLength != 0) {
    LogError(varNum, "DB error", Format("Length of data is error:%d/%d", length, recordLength));
    return RECORD_LENGTH_ERROR;
  }
  int perPiece = static_cast<int>(kMaxData) / recordLength * recordLength;
  int pieces = (length + perPiece - 1) / perPiece;
  for (int i = 1; i <= pieces; ++i) {
    int offset = (i - 1) * perPiece;
    int size = std::min(perPiece, length - offset);
    auto finalSeq = static_cast<std::uint16_t>((i == pieces ? kFinalBits : 0) | (i & kSequenceMask));
    int sent = SendPiece(socket, replyId, result, data + offset, size, request, recordLength, finalSeq, varNum);
    if (sent != RESULT_OK) return sent;
  }
  return RESULT_OK;
}

int SendBusyReply(int socket, const std::uint8_t* rawRequest, int varNum) {
  std::uint8_t reply[kHeadSize + kBodyHeaderSize] = {REQ_CONTROL, kReplyHeadByte1, 0, 10};
  std::memcpy(reply + kUserId, rawRequest + kUserId, kUserIdSize - 1);
  reply[kBodyType] = REQ_PGC;
  reply[kMode] = kModeRead;
  reply[kMessageId] = rawRequest[kMessageId];
  reply[kMessageId + 1] = rawRequest[kMessageId + 1];
  reply[kFinalSeq] = 0xF0;
  reply[kFinalSeq + 1] = 1;
  reply[kBodyLength + 1] = 10;
  reply[kResult] = BUSY_REPLY;
  LogBytes(varNum, "return busy response to web", reply, sizeof reply);
  if (platform::SendAll(socket, reply, sizeof reply, kSendTimeoutMs) != 0) {
    int err = errno;
    LogError(varNum, "Socket error", "Send return byte array message to web error");
    ReportSocketError(varNum, err);
    return SOCKET_SEND_ERROR;
  }
  LogDebug(varNum, "return busy response to web OK");
  return RESULT_OK;
}

}  // namespace web
