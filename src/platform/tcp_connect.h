#pragma once
// The socket calls of the client side of the system link: option setting,
// address conversion, the non-blocking connect and the raw send and receive
// whose errno the link reports. Functions return what the call beneath
// returns (0 or a count; -1 with errno set) unless told otherwise.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// A socket address with what is needed to create a socket for it.
struct Endpoint {
  std::array<std::uint8_t, 128> storage{};  // a sockaddr_storage's bytes
  unsigned length = 0;
  int family = 0;
  int socktype = 0;
  int protocol = 0;
};

// Dotted IPv4 text to an endpoint. 0; -1 when the text does not convert.
int ParseIPv4Endpoint(const std::string& text, std::uint16_t port, Endpoint& out);
// Numeric IPv6 text and port text resolved to the first result. 0; the
// resolver's nonzero code.
int ResolveIPv6Endpoint(const std::string& text, const std::string& port, Endpoint& out);

int CreateSocket(int family, int socktype, int protocol);
int FamilyIPv4();

int SetOobInline(int fd);
int SetSendTimeout(int fd, int ms);
int SetReceiveTimeout(int fd, int ms);
int SetBlocking(int fd);
// 0 on a non-blocking socket, else the receive time-out in ms (-1: none).
int BlockingWaitMs(int fd);

// One connect call (the socket may be non-blocking).
int ConnectTo(int fd, const Endpoint& endpoint);
// The socket's pending error (SO_ERROR), which reading clears; -1 when it
// cannot be read.
int PendingError(int fd);
// True once the socket has a peer: a socket whose connect was refused polls
// writable with no pending error as well.
bool IsConnected(int fd);

// One send of `length` bytes, never raising SIGPIPE.
long SendOnce(int fd, const void* data, std::size_t length);

int ShutdownAndCloseChecked(int fd);  // close's result

}  // namespace platform
