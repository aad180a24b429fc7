#include "client/web_client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace client {
namespace {

// COMM sends the pieces of a split reply back to back; when a full first
// piece cannot be told from a whole reply by its numbering, this long a pause
// means that nothing follows.
constexpr int kPieceGraceMs = 300;

long long NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int LeftMs(long long deadlineMs) {
  long long left = deadlineMs - NowMs();
  return left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// A reply that has exactly the size of a non-final piece: the most whole
// records that fit in one message.
bool HasFullPieceSize(const Reply& reply) {
  if (reply.recordLength == 0 || reply.data.empty()) return false;
  std::size_t perPiece = web::kMaxData / reply.recordLength * reply.recordLength;
  return reply.data.size() == perPiece;
}

}  // namespace

int DecodeReply(std::span<const std::uint8_t> raw, Reply& out) {
  if (raw.size() < web::kHeadSize + web::kBodyHeaderSize) return WEB_FORMAT_ERROR;
  const std::uint8_t* m = raw.data();
  std::uint16_t bodyLength = web::Get16(m + web::kHeadLength);
  if (bodyLength < web::kMinBody || bodyLength > web::kMaxBody) return WEB_FORMAT_ERROR;
  if (raw.size() != web::kHeadSize + bodyLength) return WEB_FORMAT_ERROR;
  out.type = m[web::kType];
  out.headByte1 = m[web::kHeadByte1];
  const auto* id = reinterpret_cast<const char*>(m + web::kUserId);
  out.userId.assign(id, std::find(id, id + web::kUserIdSize, '\0'));
  out.bodyType = m[web::kBodyType];
  out.mode = m[web::kMode];
  out.replyId = web::Get16(m + web::kMessageId);
  out.finalSeq = web::Get16(m + web::kFinalSeq);
  out.recordLength = m[web::kRecordLength];
  out.result = m[web::kResult];
  out.data.assign(m + web::kData, m + raw.size());
  out.raw.assign(raw.begin(), raw.end());
  return 1;
}

std::vector<std::uint8_t> EncodeRequest(const Request& request, std::string_view userId, std::uint16_t sequence) {
  std::vector<std::uint8_t> out(web::kMaxMessage);
  web::MessageFields fields;
  fields.type = request.type;
  fields.userId = std::string(userId);
  fields.bodyType = request.bodyType;
  fields.mode = request.mode;
  fields.messageId = request.messageId;
  fields.finalSeq = static_cast<std::uint16_t>((sequence & web::kSequenceMask) | (request.final ? web::kFinalBits : 0));
  fields.recordLength = request.recordLength;
  fields.data = std::string_view(reinterpret_cast<const char*>(request.data.data()), request.data.size());
  out.resize(web::BuildMessage(out.data(), fields));
  return out;
}

int WebClient::Connect(const std::string& host, std::uint16_t port, int timeoutMs) {
  Close();
  int fd = platform::ConnectTcp(host, port, timeoutMs);
  if (fd < 0) return CONNECT_FAIL_LINK;
  socket_ = platform::Socket(fd);
  return 1;
}

void WebClient::Close() {
  socket_.Close();
  sequence_ = 0;
  lastFinalSeq_ = 0;
}

int WebClient::Send(const Request& request) {
  if (!connected()) return SOCKET_CREATE_ERROR;
  std::uint16_t sequence = request.sequence != 0 ? request.sequence : static_cast<std::uint16_t>(sequence_ + 1);
  std::vector<std::uint8_t> wire = EncodeRequest(request, request.userId.empty() ? user_ : request.userId, sequence);
  sequence_ = sequence;
  lastFinalSeq_ = web::Get16(wire.data() + web::kFinalSeq);
  return SendRaw(wire);
}

int WebClient::SendRaw(std::span<const std::uint8_t> bytes) {
  if (!connected()) return SOCKET_CREATE_ERROR;
  if (platform::SendAll(socket_.fd(), bytes.data(), bytes.size(), 5000) != 0) return SOCKET_SEND_ERROR;
  return 1;
}

int WebClient::ReadExactly(std::uint8_t* out, std::size_t length, long long deadlineMs, std::size_t& got) {
  got = 0;
  while (got < length) {
    long n = platform::ReceiveSome(socket_.fd(), out + got, length - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      continue;
    }
    // linger 0 on COMM's side turns its close into a reset.
    if (n == 0 || errno == ECONNRESET || errno == EPIPE) return PEER_CLOSED;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return SOCKET_RECV_ERROR;
    int waited = platform::WaitReadable(socket_.fd(), LeftMs(deadlineMs));
    if (waited == 0) return REPLY_TIMED_OUT;
    if (waited < 0) return SOCKET_RECV_ERROR;
  }
  return 1;
}

int WebClient::ReceiveReply(Reply& out, int timeoutMs) {
  if (!connected()) return SOCKET_CREATE_ERROR;
  long long deadline = NowMs() + timeoutMs;
  web::RawMessage raw{};
  std::size_t got = 0;
  int rc = ReadExactly(raw.data(), web::kHeadSize, deadline, got);
  if (rc != 1) return rc == PEER_CLOSED && got > 0 ? WEB_FORMAT_ERROR : rc;
  std::uint16_t bodyLength = web::Get16(raw.data() + web::kHeadLength);
  if (bodyLength < web::kMinBody || bodyLength > web::kMaxBody) return WEB_FORMAT_ERROR;
  rc = ReadExactly(raw.data() + web::kHeadSize, bodyLength, deadline, got);
  if (rc == PEER_CLOSED) return WEB_FORMAT_ERROR;  // a head without its body
  if (rc != 1) return rc;
  return DecodeReply(std::span(raw.data(), web::kHeadSize + bodyLength), out);
}

int WebClient::ReceiveAnswer(Answer& out, int timeoutMs) {
  out = Answer{};
  long long deadline = NowMs() + timeoutMs;
  Reply first;
  int rc = ReceiveReply(first, timeoutMs);
  if (rc != 1) return rc;
  out.pieces.push_back(first);
  out.data = first.data;

  bool split = !first.final() && first.piece() == 1 && HasFullPieceSize(first);
  // A first request that is not final carries 0x0001 in bytes 24-25, and a
  // whole reply copies them: only the arrival of a second piece tells.
  if (split && first.finalSeq == lastFinalSeq_) split = platform::WaitReadable(socket_.fd(), kPieceGraceMs) == 1;
  if (!split) return 1;

  for (;;) {
    Reply piece;
    rc = ReceiveReply(piece, LeftMs(deadline));
    if (rc != 1) return rc;
    if (piece.piece() != out.pieces.back().piece() + 1) return WEB_FORMAT_ERROR;
    out.data.insert(out.data.end(), piece.data.begin(), piece.data.end());
    out.pieces.push_back(std::move(piece));
    if (out.pieces.back().final()) return 1;
  }
}

int WebClient::Call(const Request& request, Answer& out, int timeoutMs) {
  int rc = Send(request);
  if (rc != 1) return rc;
  return ReceiveAnswer(out, timeoutMs);
}

int WebClient::WaitClosed(int timeoutMs) {
  if (!connected()) return SOCKET_CREATE_ERROR;
  std::uint8_t byte = 0;
  std::size_t got = 0;
  int rc = ReadExactly(&byte, 1, NowMs() + timeoutMs, got);
  if (rc == PEER_CLOSED) return 1;
  if (rc == 1) return UNEXPECTED_DATA;
  return rc;
}

}  // namespace client
