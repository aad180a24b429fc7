#pragma once
// What every fuzz target shares: a provisioned installation whose working
// directory the process enters, quiet logs, and the clean-up of slots after
// each input so that one input never depends on the one before.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace fuzzsupport {

// Provisions the installation (once), enters its working directory, sets the
// server paths, sends console output to /dev/null and logs nothing but errors.
void PrepareInstallation();

// Gives every slot up as a web disconnect would and frees it, clears the
// users' connection marks and removes the files and data sources an input
// made.
void ResetServerState();

// The input cut into chunks, each preceded by its length in two bytes,
// big-endian (a length
// beyond the rest takes the rest).
std::vector<std::span<const std::uint8_t>> Chunks(const std::uint8_t* data, std::size_t size);

}  // namespace fuzzsupport
