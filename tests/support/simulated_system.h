#pragma once
// A simulated system for tests, on a free pair of ports of its address.
#include <cstdint>
#include <memory>
#include <random>
#include <string>

#include "sim/simulator.h"

namespace testsupport {

// Starts a quiet simulator on `options.address` and leaves its base port in
// `options.basePort`; nullptr when no free pair of ports (base and base + 1)
// was found.
inline std::unique_ptr<sim::Simulator> StartSimulatedSystem(sim::Options& options) {
  options.console = false;
  std::mt19937 random(std::random_device{}());
  for (int attempt = 0; attempt < 30; ++attempt) {
    options.basePort = static_cast<std::uint16_t>(20000 + random() % 40000);
    auto system = std::make_unique<sim::Simulator>(options);
    std::string error;
    if (system->Start(error) == 1) return system;
  }
  return nullptr;
}

}  // namespace testsupport
