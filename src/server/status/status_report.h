#pragma once
// What the operator's status page shows, taken from the slots and counters at
// one moment, and its three renderings: an HTML page that refreshes itself,
// JSON, and the Prometheus text format. Only user ids, states, link
// addresses, file names, times and counts ever go into a report: never a
// password, session id or personal field.
#include <cstdint>
#include <string>
#include <vector>

#include "frame/counters.h"
#include "frame/slots.h"

namespace status {

struct SlotStatus {
  int number = 0;
  SlotView view;
  bool serving = false;     // a connection of the user is being served now
  long idleMs = -1;         // since the user's last connection ended; -1 when not timed
  long timeoutLeftMs = -1;  // until the web disconnect timer gives the slot up; -1 likewise
};

struct RequestTally {
  std::string type;    // the control request's name, or the request type's
  int result = 0;      // the reply's result byte
  std::string resultName;
  std::uint64_t count = 0;
};

struct StatusSnapshot {
  std::uint64_t uptimeSeconds = 0;
  std::vector<SlotStatus> slots;  // every slot, in order
  std::vector<RequestTally> requests;
  std::uint64_t requestsTotal = 0;
  counters::Totals totals;
};

StatusSnapshot TakeSnapshot();

constexpr int kPageRefreshSeconds = 5;
std::string RenderStatusPage(const StatusSnapshot& snapshot);
std::string RenderStatusJson(const StatusSnapshot& snapshot);
std::string RenderMetrics(const StatusSnapshot& snapshot);

}  // namespace status
