#include "system/tcp_exchange.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "platform/socket.h"
#include "platform/tcp_connect.h"
#include "system/modem.h"
#include "system/serial_line.h"

namespace systemlink {

namespace {

using Clock = std::chrono::steady_clock;

// A blocking socket's peek would wait for its receive time-out; one that
// waits forever is bounded like the time-out the link sets.
constexpr int kUnboundedPeekMs = 15000;

bool OnSerialLine(int varNum) { return SlotAt(varNum).serialLineFlag.load() != 0; }

// The serial-line flag may outlive the port (a modem connect that failed,
// a port closed by a disconnect): without an open port nothing is sent.
int WriteToSerial(const std::uint8_t* packet, std::size_t length, int varNum) {
  serial::SerialLine& line = serial::ProcessSerialLine();
  if (!line.open()) return SERIAL_OPEN_ERROR;
  return line.WritePacketToSerial(packet, length, false, varNum);
}

// The alive timer keeps an idle line open: it rests while a message comes
// in and begins a new period after the message's last packet.
int FollowMessageOnLine(const std::uint8_t* header, int varNum) {
  if (sxm::IsFFFFPacket(header)) return RESULT_OK;
  LogDebug(varNum, "Stop Modem Alive Timer");
  modem::StopModemAliveTimer();
  LogDebug(varNum, "Stop Modem Disconnect Timer");
  if (sxm::IsZeroIdPacket(header)) return RESULT_OK;
  if (sxm::IsFirstPacket(header)) Console("\nStart receive message from system by SIO .");
  if (!sxm::IsFinalPacket(header)) {
    if (!sxm::IsFirstPacket(header)) Console(".");
    return RESULT_OK;
  }
  Console("\nFinish receive message from system by SIO");
  Console("\nStart MODEM alive timer afer receive last package from SIO");
  return modem::StartModemAliveTimer(varNum);
}

// One packet from the serial line, checked as one from the socket would be;
// its body must also be as long as its header says.
int ReceiveOverSerial(std::uint8_t* header, std::uint8_t* body, std::uint16_t& bodyLength,
                      sxm::ReceiveState& state, int varNum) {
  serial::SerialLine& line = serial::ProcessSerialLine();
  if (!line.open()) return SERIAL_OPEN_ERROR;
  sxm::Packet packet{};
  std::size_t count = 0;
  int result = line.ReadPacketFromSerial(packet.data(), packet.size(), count, varNum);
  if (result != RESULT_OK) return result;
  std::memcpy(header, packet.data(), sxm::kHeaderSize);
  result = FollowMessageOnLine(header, varNum);
  if (result != RESULT_OK) return result;
  result = CheckSystemHead(header, static_cast<long>(std::min(count, sxm::kHeaderSize)), bodyLength, state, varNum);
  if (result != RESULT_OK) return result;
  long bodyCount = count > sxm::kHeaderSize ? static_cast<long>(count - sxm::kHeaderSize) : 0;
  if (bodyLength == 0 && bodyCount == 0) return RESULT_OK;
  result = CheckSystemBody(packet.data() + sxm::kBody, bodyCount, bodyLength, varNum);
  if (result != RESULT_OK) return result;
  std::memcpy(body, packet.data() + sxm::kBody, bodyLength);
  return RESULT_OK;
}

std::uint8_t ModeForSlot(const web::WebMsg& request, int varNum) {
  const state::Id current = SlotState(varNum);
  if (current == state::kUpload) return sxm::kModeUpload;
  if (current == state::kOnline) return request.mode();
  return sxm::kModeRead;
}

bool LengthFits(std::uint16_t length) { return length >= sxm::kHeaderSize && length <= sxm::kMaxPacket; }

int RefuseLength(std::uint16_t length, int varNum) {
  LogError(varNum, "Message format error", Format("Message length to relay is error, length = %d", length));
  return FORMAT_ERROR;
}

// Peeks until `want` bytes are queued, the peer has closed, or `waitMs` has
// passed; with `anyBytes`, also as soon as part of them is queued, as a peek
// of a blocking socket returns. The last peek's count (-1 with errno when it
// failed).
long PeekFor(int fd, std::uint8_t* buffer, std::size_t want, int waitMs, bool anyBytes) {
  auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    long n = platform::Peek(fd, buffer, want);
    if (n == static_cast<long>(want) || n == 0) return n;
    // Part of it is queued and the peer has gone: the rest never comes.
    if (n > 0 && platform::PeerHasClosed(fd)) return 0;
    if (anyBytes && n > 0) return n;
    int err = errno;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      errno = err;
      return n;
    }
    if (n < 0 && err != EAGAIN && err != EWOULDBLOCK) return n;
    if (n < 0) {
      platform::WaitReadable(fd, static_cast<int>(left));
    } else {
      // Part of it is queued: readability says nothing new until more comes.
      std::this_thread::sleep_for(std::chrono::milliseconds(left < 5 ? left : 5));
    }
  }
}

// The attempts of one peek. While nothing of the packet has come, an attempt
// waits as long as a peek on this socket would (the wait for the system's
// answer). Once part of a packet is there, the rest is bounded by the
// attempts and their pauses alone, so that a peer stalled in mid-packet
// cannot hold the slot for the socket's time-out per attempt; a body always
// follows its header, so it is never waited for longer. The pause between
// attempts ends early once the bytes are in.
// Result 1 with `want` bytes queued; 214; 198 after the last attempt.
int PeekWithAttempts(int fd, std::uint8_t* buffer, std::size_t want, int attempts, bool head, int varNum) {
  int wait = platform::BlockingWaitMs(fd);
  if (wait < 0) wait = kUnboundedPeekMs;
  bool partial = !head;
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    long n = PeekFor(fd, buffer, want, partial ? 0 : wait, true);
    if (n == static_cast<long>(want)) {
      LogDebug(varNum, Format(head ? "Try to receive message head success at %d times"
                                   : "Try to receive message body success at %d times",
                              attempt));
      return RESULT_OK;
    }
    if (n == 0) {
      LogError(varNum, "Socket error", "The socket has been cut down");
      return PEER_CLOSED;
    }
    if (n > 0) partial = true;
    int err = errno;
    LogDebug(varNum, Format(head ? "Receive message head from system fail %d times, retry"
                                 : "Receive message body fail %d times",
                            attempt));
    if (attempt < attempts && PeekFor(fd, buffer, want, kAttemptPauseMs, false) == 0) {
      LogError(varNum, "Socket error", "The socket has been cut down");
      return PEER_CLOSED;
    }
    errno = err;
  }
  ReportSocketError(varNum, errno);
  LogError(varNum, "Socket error",
           head ? "Receive message head from system error" : "Receive message from system error");
  return SOCKET_RECV_ERROR;
}

int ReceiveOverTcp(int fd, std::uint8_t* header, std::uint8_t* body, std::uint16_t& bodyLength,
                   sxm::ReceiveState& state, int varNum) {
  int result = PeekWithAttempts(fd, header, sxm::kHeaderSize, kHeadAttempts, true, varNum);
  if (result != RESULT_OK) return result;
  LogBytes(varNum, "recv from system, head", header, sxm::kHeaderSize);
  long count = platform::ReceiveSome(fd, header, sxm::kHeaderSize);
  if (count >= 0) LogDebug(varNum, "Receive message head success");
  bodyLength = 0;
  if (!sxm::IsTcpFFFFPacket(header)) {
    result = CheckSystemHead(header, count, bodyLength, state, varNum);
    if (result != RESULT_OK) return result;
  }
  if (bodyLength == 0) return RESULT_OK;
  result = PeekWithAttempts(fd, body, bodyLength, kBodyAttempts, false, varNum);
  if (result != RESULT_OK) return result;
  LogBytes(varNum, "recv from system, body", body, bodyLength);
  result = CheckSystemBody(body, bodyLength, bodyLength, varNum);
  if (result != RESULT_OK) return result;
  if (platform::ReceiveSome(fd, body, bodyLength) >= 0) LogDebug(varNum, "Receive message body success");
  return RESULT_OK;
}

}  // namespace

int BuildSystemHead(sxm::Packet& packet, const web::WebMsg& request, const OutgoingPacket& out, int varNum) {
  sxm::Fields fields;
  fields.mode = ModeForSlot(request, varNum);
  fields.messageId = out.messageId;
  fields.final = out.final;
  fields.sequence = out.sequence;
  fields.recordLength = out.recordLength;
  fields.result = out.ack ? sxm::kResultAck : sxm::kResultRequest;
  std::size_t length = 0;
  if (out.packetLength < sxm::kHeaderSize ||
      sxm::BuildPacket(fields, out.body, out.packetLength - sxm::kHeaderSize, packet, length) != 1) {
    LogError(varNum, "Message format error",
             Format("Packet to system cannot be built, length = %d, sequence = %d", out.packetLength, out.sequence));
    return FORMAT_ERROR;
  }
  return RESULT_OK;
}

int SendToSystem(int systemSocket, const web::WebMsg& request, const OutgoingPacket& fields, int varNum) {
  sxm::Packet packet{};
  int result = BuildSystemHead(packet, request, fields, varNum);
  if (result != RESULT_OK) return result;
  const std::uint16_t packetLength = fields.packetLength;
  LogBytes(varNum, "send to system", packet.data(), packetLength);
  if (OnSerialLine(varNum)) {
    result = WriteToSerial(packet.data(), packetLength, varNum);
    if (result != RESULT_OK) return result;
  } else if (platform::SendOnce(systemSocket, packet.data(), packetLength) < 0) {
    int err = errno;
    LogError(varNum, "Socket error", "Send message to system error*******************************");
    ReportSocketError(varNum, err);
    return SOCKET_SEND_ERROR;
  }
  LogDebug(varNum, "send to system OK");
  return RESULT_OK;
}

int SendFFFFToSystem(const web::WebMsg& request, int varNum) {
  sxm::Packet packet{};
  std::size_t length = sxm::BuildFFFFPacket(ModeForSlot(request, varNum), packet);
  LogBytes(varNum, "send FF FF to system", packet.data(), length);
  int result = WriteToSerial(packet.data(), length, varNum);
  if (result != RESULT_OK) return result;
  LogDebug(varNum, "send FF FF to system OK");
  return RESULT_OK;
}

int ExchangeFFFF(int systemSocket, int varNum) {
  web::WebMsg local;
  local.bodyHeader[sxm::kMode] = sxm::kModeRead;
  int result = SendFFFFToSystem(local, varNum);
  if (result != RESULT_OK) return result;
  sxm::Packet answer{};
  sxm::ReceiveState state;
  return ReceiveFromSystem(systemSocket, answer, state, varNum);
}

int ReceiveFromSystem(int systemSocket, sxm::Packet& out, sxm::ReceiveState& state, int varNum) {
  out.fill(0);
  std::uint8_t header[sxm::kHeaderSize] = {};
  std::uint8_t body[sxm::kMaxBody] = {};
  std::uint16_t bodyLength = 0;
  int result = OnSerialLine(varNum) ? ReceiveOverSerial(header, body, bodyLength, state, varNum)
                                    : ReceiveOverTcp(systemSocket, header, body, bodyLength, state, varNum);
  if (result != RESULT_OK) return result;
  std::memcpy(out.data(), header, sxm::kHeaderSize);
  std::memcpy(out.data() + sxm::kBody, body, bodyLength);
  return RESULT_OK;
}

int ReceiveOneFromSystem(int systemSocket, sxm::Packet& out, int varNum) {
  sxm::ReceiveState state;
  return ReceiveFromSystem(systemSocket, out, state, varNum);
}

int CheckSystemHead(const std::uint8_t* header, long count, std::uint16_t& bodyLength, sxm::ReceiveState& state,
                    int varNum) {
  if (count == 0) {
    LogError(varNum, "Message format error", "The System server is closed");
    return FORMAT_ERROR;
  }
  // The header buffer is always whole (zeros past what arrived).
  std::size_t length = 0;
  switch (sxm::CheckHeader(header, sxm::kHeaderSize, length)) {
    case sxm::kHeaderOk: break;
    case sxm::kHeaderBadLength:
      // Logged as a length below 10 wraps, as the system's own 16-bit
      // arithmetic would.
      LogError(varNum, "Message format error",
               Format("Message length received from system is error, length = %d",
                      static_cast<std::uint16_t>(sxm::LengthOf(header) - sxm::kHeaderSize)));
      return FORMAT_ERROR;
    default:
      LogError(varNum, "Message format error", "Message type received from system is error");
      return FORMAT_ERROR;
  }
  LogDebug(varNum, Format("bodyActualLength=%zu", length));
  switch (sxm::AcceptSequence(state, header)) {
    case sxm::kSequenceOk: break;
    case sxm::kSequenceGap:
      LogError(varNum, "SXM message format error", "The seqence number of message is not continue.");
      return FORMAT_ERROR;
    case sxm::kMessageIdChanged:
      LogError(varNum, "SXM message format error", "The message ID of message is not same.");
      return FORMAT_ERROR;
  }
  bodyLength = static_cast<std::uint16_t>(length);
  return RESULT_OK;
}

int CheckSystemBody(const std::uint8_t* /*body*/, long count, std::uint16_t bodyLength, int varNum) {
  if (count == 0) {
    LogError(varNum, "Message format error", "The System server is closed");
    return FORMAT_ERROR;
  }
  if (count != bodyLength) {
    LogError(varNum, "Message format error",
             Format("Received data length is not same as data length in SXM header, %ld != %d", count, bodyLength));
    return FORMAT_ERROR;
  }
  return RESULT_OK;
}

int TransferToSystem(int systemSocket, sxm::Packet& packet, const web::WebMsg& request, int varNum) {
  packet.fill(0);
  std::memcpy(packet.data(), request.bodyHeader, sxm::kHeaderSize);
  std::uint16_t length = sxm::LengthOf(packet.data());
  if (!LengthFits(length)) return RefuseLength(length, varNum);
  std::memcpy(packet.data() + sxm::kBody, request.data, length - sxm::kHeaderSize);
  if (OnSerialLine(varNum)) return WriteToSerial(packet.data(), length, varNum);
  LogBytes(varNum, "transfer to system", packet.data(), length);
  if (platform::SendOnce(systemSocket, packet.data(), length) < 0) {
    int err = errno;
    LogError(varNum, "Socket error", "Send request up message to system error");
    ReportSocketError(varNum, err);
    return SOCKET_SEND_ERROR;
  }
  LogDebug(varNum, "transfer to system OK");
  return RESULT_OK;
}

int TransferToWeb(int webSocket, const std::uint8_t* systemPacket, const web::WebMsg& request, int varNum) {
  std::uint16_t length = sxm::LengthOf(systemPacket);
  if (!LengthFits(length)) return RefuseLength(length, varNum);
  std::uint8_t message[web::kMaxMessage] = {};
  message[web::kType] = sxm::kPacketType;
  message[web::kHeadByte1] = web::kReplyHeadByte1;
  message[web::kHeadLength] = systemPacket[sxm::kLength];
  message[web::kHeadLength + 1] = systemPacket[sxm::kLength + 1];
  std::size_t userLength = strnlen(request.userId, web::kUserIdSize);
  std::memcpy(message + web::kUserId, request.userId, userLength);
  std::memcpy(message + web::kBodyType, systemPacket, length);
  std::size_t total = web::kHeadSize + length;
  LogBytes(varNum, "transfer to web", message, total);
  if (platform::SendOnce(webSocket, message, total) < 0) {
    ReportSocketError(varNum, errno);
    LogError(varNum, "Socket error", "Send system message to web error");
    return SOCKET_SEND_ERROR;
  }
  LogDebug(varNum, "transfer to web OK");
  return RESULT_OK;
}

}  // namespace systemlink
