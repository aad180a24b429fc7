#pragma once
// Reading what the code under test wrote to the other end of a socket.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/socket.h"

namespace testsupport {

// Up to `count` bytes: fewer when the peer closes or `waitMs` passes without
// a byte.
inline std::vector<std::uint8_t> ReadUpTo(int fd, std::size_t count, int waitMs) {
  std::vector<std::uint8_t> out(count);
  std::size_t got = 0;
  while (got < count && platform::WaitReadable(fd, waitMs) == 1) {
    long r = platform::ReceiveSome(fd, out.data() + got, count - got);
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  out.resize(got);
  return out;
}

}  // namespace testsupport
