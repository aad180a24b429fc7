#include "platform/tcp_listen.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

int ListenOnAddress(const std::string& address, std::uint16_t port, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
  addrinfo* found = nullptr;
  if (::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
    error = "not a numeric IPv4 or IPv6 address: " + address;
    return -1;
  }
  int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    ::freeaddrinfo(found);
    return -1;
  }
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (found->ai_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  int rc = ::bind(fd, found->ai_addr, found->ai_addrlen);
  ::freeaddrinfo(found);
  if (rc != 0 || ::listen(fd, 16) != 0) {
    error = "bind " + address + " port " + std::to_string(port) + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

void ShutdownBoth(int fd) {
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void ShutdownRead(int fd) { ::shutdown(fd, SHUT_RD); }

int SetNoDelay(int fd) {
  int on = 1;
  return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool HasIPv6Loopback() {
  std::string error;
  int fd = ListenOnAddress("::1", 0, error);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace platform
