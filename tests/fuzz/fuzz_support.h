#pragma once
// What every fuzz target shares: a provisioned installation whose working
// directory the process enters, quiet logs, and the clean-up of slots after
// each input so that one input never depends on the one before.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace fuzzsupport {

// Provisions the installation (once; in /dev/shm where it can), enters its
// working directory, sets the server paths, sends console output to
// /dev/null and logs nothing but errors.
void PrepareInstallation();

// Gives every slot up as a web disconnect would and frees it, clears the
// users' connection marks and removes the files and data sources an input
// made.
void ResetServerState();

// The kernel's id of the calling thread.
pid_t ThreadId();

// What a scripted far end waits for before it sends again: until its side
// `fd` has bytes from COMM (true), or until COMM's thread `tid` waits for
// something from outside, seen on two looks a moment apart, or COMM is done
// (`done` readable) (false). COMM waits in poll(2) and, with `sleepsCount`,
// also in a sleep (a pause or the short sleeps of a peek at a partial
// packet); with `unread`, only while that descriptor of COMM's has nothing
// queued. After `limitMs` the far end goes on regardless (false).
bool AwaitFarEndTurn(int fd, int done, pid_t tid, bool sleepsCount, int unread, int limitMs);

// The input cut into chunks, each preceded by its length in two bytes,
// big-endian (a length
// beyond the rest takes the rest).
std::vector<std::span<const std::uint8_t>> Chunks(const std::uint8_t* data, std::size_t size);

}  // namespace fuzzsupport
