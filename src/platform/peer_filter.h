#pragma once
// Which web peers may reach COMM: a list of IPv4 and IPv6 addresses or
// networks ("ADDR" or "ADDR/BITS"). An IPv4 peer reaching an IPv6 socket
// (::ffff:a.b.c.d) is judged by its IPv4 address.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct AddressRange {
  int family = 0;                      // AF_INET or AF_INET6
  std::array<std::uint8_t, 16> bytes{};  // network byte order; 4 used for IPv4
  int bits = 0;                        // prefix length
  std::string Text() const;            // "ADDR/BITS"
};

// False for anything but a numeric address with an optional prefix length
// within the family's width; host bits beyond the prefix are ignored.
bool ParseAddressRange(std::string_view text, AddressRange& out);

class PeerFilter {
 public:
  // 127.0.0.0/8 and ::1: what an installation without a list accepts.
  static PeerFilter LoopbackOnly();
  void Add(const AddressRange& range) { ranges_.push_back(range); }
  const std::vector<AddressRange>& ranges() const { return ranges_; }
  bool Allows(const AddressRange& address) const;

 private:
  std::vector<AddressRange> ranges_;
};

// The peer of a connected socket as a full-length range (IPv4-mapped
// addresses as IPv4). False when the socket has no IP peer.
bool PeerAddress(int fd, AddressRange& out);

// A listening socket that takes IPv6 and IPv4 peers alike, or an IPv4 one
// where this machine has no IPv6. -1 with errno.
int CreateListenerSocket();

}  // namespace platform
