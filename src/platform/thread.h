#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

namespace platform {

constexpr std::size_t kThreadStackSize = 2000000;

// Starts a detached thread with the given stack size. 0 on success, else the
// error number.
int StartDetachedThread(std::function<void()> body, std::size_t stackSize = kThreadStackSize);

// A monotonic millisecond tick kept as 32-bit unsigned: differences of two
// ticks stay right across the wrap.
std::uint32_t TickCount();

}  // namespace platform
