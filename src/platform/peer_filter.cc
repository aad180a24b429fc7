#include "platform/peer_filter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace platform {
namespace {

int Width(int family) { return family == AF_INET ? 32 : 128; }

bool ParseBits(std::string_view text, int width, int& bits) {
  if (text.empty() || text.size() > 3) return false;
  bits = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    bits = bits * 10 + (c - '0');
  }
  return bits <= width;
}

bool Contains(const AddressRange& range, const AddressRange& address) {
  if (range.family != address.family) return false;
  int full = range.bits / 8;
  if (std::memcmp(range.bytes.data(), address.bytes.data(), static_cast<std::size_t>(full)) != 0) return false;
  int rest = range.bits % 8;
  if (rest == 0) return true;
  auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
  return (range.bytes[static_cast<std::size_t>(full)] & mask) == (address.bytes[static_cast<std::size_t>(full)] & mask);
}

}  // namespace

std::string AddressRange::Text() const {
  char text[INET6_ADDRSTRLEN] = {};
  ::inet_ntop(family, bytes.data(), text, sizeof text);
  return std::string(text) + "/" + std::to_string(bits);
}

bool ParseAddressRange(std::string_view text, AddressRange& out) {
  std::size_t slash = text.find('/');
  std::string address(text.substr(0, slash));
  AddressRange range;
  if (::inet_pton(AF_INET, address.c_str(), range.bytes.data()) == 1) {
    range.family = AF_INET;
  } else if (::inet_pton(AF_INET6, address.c_str(), range.bytes.data()) == 1) {
    range.family = AF_INET6;
  } else {
    return false;
  }
  range.bits = Width(range.family);
  if (slash != std::string_view::npos && !ParseBits(text.substr(slash + 1), range.bits, range.bits)) return false;
  out = range;
  return true;
}

PeerFilter PeerFilter::LoopbackOnly() {
  PeerFilter filter;
  AddressRange range;
  ParseAddressRange("127.0.0.0/8", range);
  filter.Add(range);
  ParseAddressRange("::1", range);
  filter.Add(range);
  return filter;
}

bool PeerFilter::Allows(const AddressRange& address) const {
  for (const AddressRange& range : ranges_) {
    if (Contains(range, address)) return true;
  }
  return false;
}

bool PeerAddress(int fd, AddressRange& out) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return false;
  out = AddressRange{};
  if (peer.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&peer);
    out.family = AF_INET;
    std::memcpy(out.bytes.data(), &v4->sin_addr, 4);
    out.bits = 32;
    return true;
  }
  if (peer.ss_family != AF_INET6) return false;
  const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&peer);
  if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
    out.family = AF_INET;
    std::memcpy(out.bytes.data(), v6->sin6_addr.s6_addr + 12, 4);
    out.bits = 32;
    return true;
  }
  out.family = AF_INET6;
  std::memcpy(out.bytes.data(), &v6->sin6_addr, 16);
  out.bits = 128;
  return true;
}

int CreateListenerSocket() {
  int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd >= 0) {
    int off = 0;
    if (::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0) return fd;
    ::close(fd);
  }
  return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
}

}  // namespace platform
