#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

// The working buffer of a connection: request handling keeps data in it
// across the messages of one connection (a table gathered from several
// packets, for example).
constexpr std::size_t kWorkingBufferSize = 982800;

// The connection's working buffer, zeroed. Most connections never need it
// (a login, an administration request), so it is only allocated on first use.
class WorkingBuffer {
 public:
  std::uint8_t* data() {
    if (!bytes_) bytes_ = std::make_unique<std::uint8_t[]>(kWorkingBufferSize);
    return bytes_.get();
  }
  static constexpr std::size_t size() { return kWorkingBufferSize; }

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
};
