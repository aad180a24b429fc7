#pragma once
// Listening on one given address (IPv4 or IPv6 text) rather than on every
// interface: the system simulator answers where it is told to.
#include <cstdint>
#include <string>

namespace platform {

// A listening TCP socket bound to address:port (address reuse on; an IPv6
// socket accepts IPv6 only). The descriptor, or -1 with `error` set.
int ListenOnAddress(const std::string& address, std::uint16_t port, std::string& error);

// Ends both directions of a connection without closing the descriptor, so a
// thread blocked on it wakes up and its owner closes it.
void ShutdownBoth(int fd);
// Ends only the reading side: a thread waiting for data sees the end, while
// what it still sends goes out.
void ShutdownRead(int fd);

// Sends small packets at once: answers and acknowledgements alternate.
int SetNoDelay(int fd);

// True when the machine can bind the IPv6 loopback address.
bool HasIPv6Loopback();

}  // namespace platform
