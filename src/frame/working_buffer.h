#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

// The working buffer of a connection: request handling keeps data in it
// across the messages of one connection (a table gathered from several
// packets, for example).
constexpr std::size_t kWorkingBufferSize = 982800;

// The connection's working buffer, zeroed. Most connections never need it
// (a login, an administration request), so it is only allocated on first use;
// nullptr when that allocation fails (the request that needs it is refused,
// and the next one tries again).
class WorkingBuffer {
 public:
  std::uint8_t* data() {
    if (!bytes_) bytes_.reset(new (std::nothrow) std::uint8_t[kWorkingBufferSize]());
    return bytes_.get();
  }
  static constexpr std::size_t size() { return kWorkingBufferSize; }

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
};
