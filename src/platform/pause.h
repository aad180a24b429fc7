#pragma once
// The fixed pauses the protocols ask for: between serial attempts, after a
// failed modem connect, for the modem to dial, between refused connects.
// Unlike waits for something to happen (which end the moment it does), these
// must elapse. The fuzz build shortens every one of them by the one factor
// TAVREL_FUZZ_PAUSE_DIVISOR, so that a fuzzer gets through millions of
// inputs; attempts, order and limits are the same in every build.
#include <chrono>
#include <thread>

namespace platform {

#ifdef TAVREL_FUZZ_PAUSE_DIVISOR
inline constexpr long long kPauseDivisor = TAVREL_FUZZ_PAUSE_DIVISOR;
#else
inline constexpr long long kPauseDivisor = 1;
#endif

inline void PauseMs(int ms) { std::this_thread::sleep_for(std::chrono::microseconds(ms * 1000LL / kPauseDivisor)); }

}  // namespace platform
