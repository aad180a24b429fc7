#pragma once
// A small blocking client of COMM's web port, as the web front end talks to
// it: one TCP connection, requests numbered 1, 2, 3... per connection, each
// answered by one reply or by numbered pieces of whole records. Used by
// tavrel-web, the integration tests and the benchmarks.
//
// Every operation returns 1 on success or one of the client results below.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "frame/result_codes.h"
#include "platform/socket.h"
#include "web/web_format.h"

namespace client {

constexpr int kDefaultTimeoutMs = 10000;

// One request as the web front end sends it.
struct Request {
  std::uint8_t type = web::REQ_CONTROL;
  std::uint8_t mode = web::kModeRead;
  std::uint16_t messageId = 0;
  std::string userId;  // empty: the client's user
  std::vector<std::uint8_t> data;
  std::uint8_t recordLength = 0;
  bool final = false;
  // The body is an SXM packet, whose first byte is the packet type.
  std::uint8_t bodyType = web::REQ_PGC;
  // 0: the connection's next number. Any other value is sent as it stands
  // and becomes the last number used (for probing the sequence check).
  std::uint16_t sequence = 0;
};

// One reply message, decoded.
struct Reply {
  std::uint8_t type = 0;
  std::uint8_t headByte1 = 0;
  std::string userId;
  std::uint8_t bodyType = 0;
  std::uint8_t mode = 0;
  std::uint16_t replyId = 0;
  std::uint16_t finalSeq = 0;  // bytes 24-25 as sent
  std::uint8_t recordLength = 0;
  std::uint8_t result = 0;
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> raw;  // the whole message as received

  bool final() const { return web::IsFinalFlag(static_cast<std::uint8_t>(finalSeq >> 8)) == 1; }
  std::uint16_t piece() const { return finalSeq & web::kSequenceMask; }
};

// A whole answer: one reply, or the pieces of a split reply in order.
struct Answer {
  std::vector<Reply> pieces;
  std::vector<std::uint8_t> data;  // the pieces' data joined

  std::uint16_t replyId() const { return pieces.empty() ? 0 : pieces.front().replyId; }
  std::uint8_t result() const { return pieces.empty() ? 0 : pieces.back().result; }
  std::uint8_t recordLength() const { return pieces.empty() ? 0 : pieces.front().recordLength; }
};

// Decodes one whole message (head and body); WEB_FORMAT_ERROR when `raw` is not one.
int DecodeReply(std::span<const std::uint8_t> raw, Reply& out);

// Lays a request out in wire order with the given final flag and sequence.
std::vector<std::uint8_t> EncodeRequest(const Request& request, std::string_view userId, std::uint16_t sequence);

class WebClient {
 public:
  WebClient() = default;
  // Adopts a connected socket (for tests that play the server).
  explicit WebClient(platform::Socket socket) : socket_(std::move(socket)) {}
  WebClient(WebClient&&) = default;
  WebClient& operator=(WebClient&&) = default;

  // host: a name, an IPv4 or an IPv6 address. 1; CONNECT_FAIL_LINK.
  int Connect(const std::string& host, std::uint16_t port, int timeoutMs = 5000);
  void Close();
  bool connected() const { return socket_.valid(); }

  void SetUser(std::string userId) { user_ = std::move(userId); }
  const std::string& user() const { return user_; }
  // The sequence number of the last message sent on this connection.
  std::uint16_t lastSequence() const { return sequence_; }

  // 1; SOCKET_CREATE_ERROR; SOCKET_SEND_ERROR.
  int Send(const Request& request);
  // Bytes exactly as given, for malformed input. Does not touch the sequence.
  int SendRaw(std::span<const std::uint8_t> bytes);

  // One reply message. 1; PEER_CLOSED; REPLY_TIMED_OUT; SOCKET_RECV_ERROR; WEB_FORMAT_ERROR.
  int ReceiveReply(Reply& out, int timeoutMs = kDefaultTimeoutMs);
  // The whole answer to the last request sent: further pieces are read while
  // the reply is a non-final piece of a split reply.
  int ReceiveAnswer(Answer& out, int timeoutMs = kDefaultTimeoutMs);
  // Send, then ReceiveAnswer.
  int Call(const Request& request, Answer& out, int timeoutMs = kDefaultTimeoutMs);

  // Waits for COMM to close the connection. 1 when it closed without sending
  // anything; UNEXPECTED_DATA when bytes came instead; REPLY_TIMED_OUT.
  int WaitClosed(int timeoutMs = kDefaultTimeoutMs);

 private:
  // Reads exactly `length` bytes before `deadline` (steady clock, ms).
  int ReadExactly(std::uint8_t* out, std::size_t length, long long deadlineMs, std::size_t& got);

  platform::Socket socket_;
  std::string user_;
  std::uint16_t sequence_ = 0;  // last number sent
  std::uint16_t lastFinalSeq_ = 0;  // bytes 24-25 of the last request sent
};

}  // namespace client
