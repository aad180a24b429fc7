#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

namespace platform {

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.release();
  }
  return *this;
}

void Socket::Close() {
  if (fd_ >= 0) ShutdownAndClose(fd_);
  fd_ = -1;
}

void Socket::CloseGracefully(int timeoutMs) {
  if (fd_ < 0) return;
  ::shutdown(fd_, SHUT_WR);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char sink[512];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || WaitReadable(fd_, static_cast<int>(left.count())) <= 0) break;
    long n = ReceiveSome(fd_, sink, sizeof sink);
    if (n == 0) break;                                      // the peer's end
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;  // an error
  }
  ::close(fd_);
  fd_ = -1;
}

void IgnoreSigpipe() { std::signal(SIGPIPE, SIG_IGN); }

int CreateTcpSocket(int family) { return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP); }

int SetLingerZero(int fd) {
  linger value{1, 0};
  return ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof value);
}

int SetReuseAddress(int fd) {
  int on = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

int SetNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return -1;
  if (::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
  // Small request/reply messages: never wait for a delayed acknowledgement.
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return 0;
}

int BindAny(int fd, std::uint16_t port) {
  int family = AF_INET;
  socklen_t size = sizeof family;
  if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &family, &size) == 0 && family == AF_INET6) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    address.sin6_port = htons(port);
    return ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  return ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

int Listen(int fd) { return ::listen(fd, SOMAXCONN); }

int Accept(int fd) {
  for (;;) {
    int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0 || errno != EINTR) return client;
  }
}

void ShutdownAndClose(int fd) {
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

namespace {
int WaitFor(int fd, short events, int timeoutMs) {
  pollfd entry{fd, events, 0};
  for (;;) {
    int n = ::poll(&entry, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (n > 0) return 1;
    if (n == 0) return 0;
    if (errno != EINTR) return -1;
  }
}
}  // namespace

int WaitReadable(int fd, int timeoutMs) { return WaitFor(fd, POLLIN, timeoutMs); }
int WaitWritable(int fd, int timeoutMs) { return WaitFor(fd, POLLOUT, timeoutMs); }

bool PeerHasClosed(int fd) {
  pollfd entry{fd, POLLRDHUP, 0};
  return ::poll(&entry, 1, 0) == 1 && (entry.revents & (POLLRDHUP | POLLHUP)) != 0;
}

long ReceiveSome(int fd, void* buffer, std::size_t length) {
  for (;;) {
    long n = ::recv(fd, buffer, length, MSG_DONTWAIT);
    if (n >= 0 || errno != EINTR) return n;
  }
}

long Peek(int fd, void* buffer, std::size_t length) {
  for (;;) {
    long n = ::recv(fd, buffer, length, MSG_PEEK | MSG_DONTWAIT);
    if (n >= 0 || errno != EINTR) return n;
  }
}

int SendAll(int fd, const void* data, std::size_t length, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const auto* bytes = static_cast<const char*>(data);
  while (length > 0) {
    long n = ::send(fd, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      bytes += n;
      length -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || WaitWritable(fd, static_cast<int>(left)) <= 0) {
      errno = ETIMEDOUT;
      return -1;
    }
  }
  return 0;
}

int ConnectTcp(const std::string& host, std::uint16_t port, int timeoutMs) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_family = AF_UNSPEC;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    errno = EHOSTUNREACH;
    return -1;
  }
  int fd = -1;
  for (addrinfo* a = found; a; a = a->ai_next) {
    fd = ::socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) continue;
    int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
    if (rc < 0 && errno == EINPROGRESS && WaitWritable(fd, timeoutMs) == 1) {
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      rc = err == 0 ? 0 : -1;
      errno = err;
    }
    if (rc == 0) {
      int flags = ::fcntl(fd, F_GETFL, 0);
      ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
      int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      break;
    }
    int saved = errno;
    ::close(fd);
    fd = -1;
    errno = saved;
  }
  ::freeaddrinfo(found);
  return fd;
}

}  // namespace platform
