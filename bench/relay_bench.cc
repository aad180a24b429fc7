// A one-packet type-19 read relayed from the simulated system through the
// real tavrel-comm on loopback: round trip from the web client, 1,000 reads
// on one connection of a linked slot.
// Usage: relay_bench [--reads N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "client/request_catalogue.h"
#include "client/request_data.h"
#include "client/web_client.h"
#include "sim/simulator.h"
#include "support/comm_server.h"
#include "support/simulated_system.h"
#include "support/wire_helpers.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kPgc500 = 0x5000;  // not a kept message: nothing is stored on the way

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  int reads = 1000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--reads") == 0) reads = std::max(1, std::atoi(argv[i + 1]));
  }
  sim::Options system;
  system.rowsPerTable = 1;  // every answer is one packet
  auto simulator = testsupport::StartSimulatedSystem(system);
  if (!simulator) return 1;
  testsupport::ServerOptions options;
  options.infoLevel = 0;  // production logging: errors only
  options.users = {{"relay", "pw"}};
  auto server = testsupport::LaunchServerForSystem(options, system.basePort);
  if (!server) return 1;

  client::Answer answer;
  client::Bytes data;
  client::ConnectTcpData(client::kLinkIpv4, "127.0.0.1", data);
  client::Request connect = client::MakeRequest("CONNECT_SYSTEM", data);
  connect.final = true;
  {
    auto c = server->Connect("relay");
    if (c.Call(connect, answer) != 1 || answer.result() != 1) {
      std::fprintf(stderr, "connect failed: %d\n", answer.result());
      return 1;
    }
    c.WaitClosed(5000);
  }

  auto c = server->Connect("relay");
  std::vector<double> times;
  int errors = 0;
  for (int i = 0; i < reads; ++i) {
    client::Request read = testsupport::Pgc(web::REQ_PGC, web::kModeRead, kPgc500);
    auto start = Clock::now();
    int rc = c.Call(read, answer);
    times.push_back(Micros(Clock::now() - start));
    if (rc != 1 || answer.result() != 1 || answer.pieces.size() != 1) ++errors;
  }
  client::Request disconnect = testsupport::Disconnect();
  disconnect.final = true;
  c.Call(disconnect, answer);
  std::sort(times.begin(), times.end());
  std::printf("relay: %d one-packet type-19 reads from the system on one connection: median %.1f us, p99 %.1f us, "
              "max %.1f us, errors %d\n",
              reads, times[times.size() / 2], times[times.size() * 99 / 100], times.back(), errors);
  return errors == 0 ? 0 : 1;
}
