#include "platform/tcp_connect.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

int ParseIPv4Endpoint(const std::string& text, std::uint16_t port, Endpoint& out) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (::inet_pton(AF_INET, text.c_str(), &address.sin_addr) != 1) return -1;
  out = Endpoint{};
  std::memcpy(out.storage.data(), &address, sizeof address);
  out.length = sizeof address;
  out.family = AF_INET;
  out.socktype = SOCK_STREAM;
  out.protocol = IPPROTO_TCP;
  return 0;
}

int ResolveIPv6Endpoint(const std::string& text, const std::string& port, Endpoint& out) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_family = AF_INET6;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(text.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) return rc;
  if (found == nullptr || found->ai_addrlen > out.storage.size()) {
    if (found) ::freeaddrinfo(found);
    return EAI_FAIL;
  }
  out = Endpoint{};
  std::memcpy(out.storage.data(), found->ai_addr, found->ai_addrlen);
  out.length = static_cast<unsigned>(found->ai_addrlen);
  out.family = found->ai_family;
  out.socktype = found->ai_socktype;
  out.protocol = found->ai_protocol;
  ::freeaddrinfo(found);
  return 0;
}

int CreateSocket(int family, int socktype, int protocol) { return ::socket(family, socktype | SOCK_CLOEXEC, protocol); }
int FamilyIPv4() { return AF_INET; }

int SetOobInline(int fd) {
  int on = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
}

namespace {
int SetTimeout(int fd, int option, int ms) {
  timeval value{};
  value.tv_sec = ms / 1000;
  value.tv_usec = (ms % 1000) * 1000;
  return ::setsockopt(fd, SOL_SOCKET, option, &value, sizeof value);
}
}  // namespace

int SetSendTimeout(int fd, int ms) { return SetTimeout(fd, SO_SNDTIMEO, ms); }
int SetReceiveTimeout(int fd, int ms) { return SetTimeout(fd, SO_RCVTIMEO, ms); }

int SetBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return -1;
  return ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0 ? -1 : 0;
}

int BlockingWaitMs(int fd) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || (flags & O_NONBLOCK)) return 0;
  timeval value{};
  socklen_t size = sizeof value;
  if (::getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &value, &size) != 0) return 0;
  long ms = value.tv_sec * 1000L + value.tv_usec / 1000L;
  return ms == 0 ? -1 : static_cast<int>(ms);
}

int ConnectTo(int fd, const Endpoint& endpoint) {
  return ::connect(fd, reinterpret_cast<const sockaddr*>(endpoint.storage.data()), endpoint.length);
}

int PendingError(int fd) {
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return -1;
  return error;
}

bool IsConnected(int fd) {
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  return ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0;
}

long SendOnce(int fd, const void* data, std::size_t length) {
  for (;;) {
    long n = ::send(fd, data, length, MSG_NOSIGNAL);
    if (n >= 0 || errno != EINTR) return n;
  }
}

int ShutdownAndCloseChecked(int fd) {
  ::shutdown(fd, SHUT_RDWR);
  return ::close(fd);
}

}  // namespace platform
