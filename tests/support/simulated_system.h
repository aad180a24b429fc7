#pragma once
// A simulated system for tests, on a free pair of ports of its address. It is
// strict and checked: the first packet of COMM's that breaks the system's
// rules ends its link, and tearing it down fails the test that let one through.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>

#include "sim/simulator.h"

namespace testsupport {

struct SimulatorTeardown {
  bool checked = true;  // false where a test provokes violations on purpose
  void operator()(sim::Simulator* system) const {
    system->Stop();
    if (checked) {
      EXPECT_EQ(system->violations(), 0) << "COMM broke the system's rules (see the violation lines)";
    }
    delete system;
  }
};
using SimulatedSystem = std::unique_ptr<sim::Simulator, SimulatorTeardown>;

// Starts a quiet simulator exactly at `options`' address and base port;
// nullptr with `error` set when it cannot listen there.
inline SimulatedSystem StartSimulatedSystemAt(sim::Options options, std::string& error, bool strict = true) {
  options.console = false;
  options.strict = strict;
  SimulatedSystem system(new sim::Simulator(options));
  if (system->Start(error) == 1) return system;
  system.get_deleter().checked = false;
  return nullptr;
}

// Starts a quiet simulator on `options.address` and leaves its base port in
// `options.basePort`; nullptr when no free pair of ports (base and base + 1)
// was found.
inline SimulatedSystem StartSimulatedSystem(sim::Options& options, bool strict = true) {
  std::mt19937 random(std::random_device{}());
  for (int attempt = 0; attempt < 30; ++attempt) {
    options.basePort = static_cast<std::uint16_t>(20000 + random() % 40000);
    std::string error;
    if (auto system = StartSimulatedSystemAt(options, error, strict)) return system;
  }
  return nullptr;
}

}  // namespace testsupport
