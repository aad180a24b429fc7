// Whole-database downloads from simulated systems through the real
// tavrel-comm on loopback:
//   single  one slot downloads every PGC table of a system (about 50,000
//           rows in all) into a new file: ALL_DOWNLOAD_START, one
//           DOWNLOAD_PGC per table, ALL_DOWNLOAD_END, timed at the web
//           client; beside it the same rows as literal inserts each
//           committed through ODBC (the floor) and through one prepared
//           statement per table in one transaction (the limit)
//   slots   ten slots, each linked to its own system (127.0.0.2 ..
//           127.0.0.11), download at once: total rows/s, and the longest
//           wait for the transfer-busy flag as the server logs it at Debug
// Usage: download_bench [single|slots|all] [--rows N] [--slot-rows N]
//        (--rows: rows of the single download, --slot-rows: of each slot)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "client/request_catalogue.h"
#include "client/request_data.h"
#include "client/web_client.h"
#include "pgc/catalogue.h"
#include "reference_inserts.h"
#include "sim/simulator.h"
#include "sim/tables.h"
#include "support/comm_server.h"
#include "support/simulated_system.h"

namespace {

using Clock = std::chrono::steady_clock;
using benchref::Seconds;
using client::Bytes;

constexpr int kReplyMs = 60000;
constexpr int kSlots = 10;

// The message id of every PGC table a system with this identity has.
std::vector<std::uint16_t> SystemTables(const sim::TableStore& tables) {
  std::vector<std::uint16_t> ids;
  for (const std::string& pgcNo : pgc::MessageTablePGCNumbers()) {
    std::uint16_t id = 0;
    if (pgc::ParsePGCNumber(pgcNo, id, 0) == 1 && tables.RowLengthOf(id) > 0) ids.push_back(id);
  }
  return ids;
}

// What a download of `ids` stores: the system's tables as it serves them.
std::vector<benchref::TableRows> Expected(const sim::TableStore& tables, const std::vector<std::uint16_t>& ids) {
  std::vector<benchref::TableRows> out;
  for (std::uint16_t id : ids) {
    sim::Table t;
    if (tables.Read(id, t) != 1 || t.rows.empty()) continue;
    out.push_back({"PGC" + sim::PGCNumberOfMessage(id), t.recordLength, std::move(t.rows)});
  }
  return out;
}

client::Request Control(const char* name, Bytes data = {}, bool final = false) {
  client::Request r = client::MakeRequest(name, std::move(data));
  r.final = final;
  return r;
}

bool Ok(client::WebClient& c, const client::Request& r, const char* what) {
  client::Answer a;
  int rc = c.Call(r, a, kReplyMs);
  if (rc == 1 && a.result() == 1) return true;
  std::printf("  %s failed: client %d, result %d\n", what, rc, a.result());
  return false;
}

bool Link(testsupport::CommServer& server, const std::string& user, const std::string& address) {
  Bytes data;
  client::ConnectTcpData(client::kLinkIpv4, address, data);
  auto c = server.Connect(user);
  bool ok = Ok(c, Control("CONNECT_SYSTEM", data, true), "CONNECT_SYSTEM");
  c.WaitClosed(kReplyMs);
  return ok;
}

// Phases of one whole download, in seconds.
struct Timing {
  double start = 0, tables = 0, end = 0;
  double total() const { return start + tables + end; }
};

// One whole download on one connection of `user`, whose slot is linked.
bool Download(testsupport::CommServer& server, const std::string& user, const std::string& file,
              const std::vector<std::uint16_t>& ids, Timing& timing) {
  auto c = server.Connect(user);
  auto t0 = Clock::now();
  if (!Ok(c, Control("ALL_DOWNLOAD_START", client::DownloadStartData(file, 0)), "ALL_DOWNLOAD_START")) return false;
  auto t1 = Clock::now();
  for (std::uint16_t id : ids) {
    if (!Ok(c, Control("DOWNLOAD_PGC", client::PgcTableData(id)), "DOWNLOAD_PGC")) {
      std::printf("  (table %04X)\n", id);
      return false;
    }
  }
  auto t2 = Clock::now();
  if (!Ok(c, Control("ALL_DOWNLOAD_END", {}, true), "ALL_DOWNLOAD_END")) return false;
  auto t3 = Clock::now();
  timing = {Seconds(t1 - t0), Seconds(t2 - t1), Seconds(t3 - t2)};
  c.WaitClosed(kReplyMs);
  return true;
}

int RowsPerTableFor(int rows, std::size_t tables) {
  return std::max(1, static_cast<int>((rows + tables / 2) / std::max<std::size_t>(tables, 1)));
}

bool Single(int rows) {
  sim::Options probe;
  sim::TableStore probeTables(probe.identity, 1);
  std::vector<std::uint16_t> ids = SystemTables(probeTables);
  sim::Options options;
  options.rowsPerTable = RowsPerTableFor(rows, ids.size());
  auto system = testsupport::StartSimulatedSystem(options);
  if (!system) {
    std::printf("single: no simulated system\n");
    return false;
  }
  testsupport::ServerOptions serverOptions;
  serverOptions.infoLevel = 0;
  serverOptions.users = {{"bench", "pw"}};
  auto server = testsupport::LaunchServerForSystem(serverOptions, options.basePort);
  if (!server) {
    std::printf("single: tavrel-comm did not start\n");
    return false;
  }
  std::vector<benchref::TableRows> expected = Expected(system->tables(), ids);
  std::size_t total = benchref::RowCount(expected);
  Timing timing;
  if (!Link(*server, "bench", "127.0.0.1") || !Download(*server, "bench", "whole", ids, timing)) return false;
  double floor = benchref::OdbcLiteralInserts(*server, expected);
  double limit = benchref::SqlitePrepared(*server, expected);
  auto rate = [&](double s) { return static_cast<double>(total) / s; };
  std::printf("single: %zu tables, %d rows each, %zu rows in all\n", ids.size(), options.rowsPerTable, total);
  std::printf("  whole download, end to end  %8.0f rows/s  (%.3f s: start %.3f, tables %.3f, end %.3f)  %.2f of the ODBC floor\n",
              rate(timing.total()), timing.total(), timing.start, timing.tables, timing.end, floor / timing.total());
  std::printf("  floor: literal inserts each committed through ODBC %8.0f rows/s  (%.3f s)\n", rate(floor), floor);
  std::printf("  limit: prepared statements, one transaction       %8.0f rows/s  (%.3f s)\n", rate(limit), limit);
  return true;
}

// The ten systems share one port, each on its own loopback address.
std::vector<std::unique_ptr<sim::Simulator>> StartSystems(int rowsPerTable, std::uint16_t& port) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    port = testsupport::FreePort();
    std::vector<std::unique_ptr<sim::Simulator>> systems;
    for (int i = 0; i < kSlots; ++i) {
      sim::Options options;
      options.address = "127.0.0." + std::to_string(i + 2);
      options.basePort = port;
      options.rowsPerTable = rowsPerTable;
      options.console = false;
      auto system = std::make_unique<sim::Simulator>(options);
      std::string error;
      if (system->Start(error) != 1) break;
      systems.push_back(std::move(system));
    }
    if (systems.size() == kSlots) return systems;
  }
  return {};
}

// The longest "Transfer flag free after %ld us" in the logs, and how many
// waits began.
void FlagWaits(const std::string& logs, long& longestUs, int& waits) {
  longestUs = 0;
  waits = 0;
  const std::string freed = "Transfer flag free after ";
  for (std::size_t at = logs.find(freed); at != std::string::npos; at = logs.find(freed, at + 1))
    longestUs = std::max(longestUs, std::atol(logs.c_str() + at + freed.size()));
  const std::string waiting = "Waiting for other thread transferring message to system";
  for (std::size_t at = logs.find(waiting); at != std::string::npos; at = logs.find(waiting, at + 1)) ++waits;
}

bool Slots(int slotRows) {
  sim::Options probe;
  sim::TableStore probeTables(probe.identity, 1);
  std::vector<std::uint16_t> ids = SystemTables(probeTables);
  int rowsPerTable = RowsPerTableFor(slotRows, ids.size());
  std::uint16_t port = 0;
  auto systems = StartSystems(rowsPerTable, port);
  if (systems.empty()) {
    std::printf("slots: could not start %d simulated systems on 127.0.0.2 .. 127.0.0.%d\n", kSlots, kSlots + 1);
    return false;
  }
  testsupport::ServerOptions serverOptions;
  serverOptions.infoLevel = 2;  // Debug: the flag waits are logged
  for (int i = 0; i < kSlots; ++i) serverOptions.users.push_back({"slot" + std::to_string(i), "pw"});
  auto server = testsupport::LaunchServerForSystem(serverOptions, port);
  if (!server) {
    std::printf("slots: tavrel-comm did not start\n");
    return false;
  }
  for (int i = 0; i < kSlots; ++i) {
    if (!Link(*server, "slot" + std::to_string(i), "127.0.0." + std::to_string(i + 2))) return false;
  }
  std::size_t perSlot = benchref::RowCount(Expected(systems[0]->tables(), ids));
  std::vector<Timing> timings(kSlots);
  std::atomic<int> failures{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < kSlots; ++i) {
    threads.emplace_back([&, i] {
      while (!go.load()) std::this_thread::yield();
      std::string user = "slot" + std::to_string(i);
      if (!Download(*server, user, "slotfile" + std::to_string(i), ids, timings[i])) ++failures;
    });
  }
  Clock::time_point start = Clock::now();
  go = true;
  for (auto& t : threads) t.join();
  double wall = Seconds(Clock::now() - start);
  long longestUs = 0;
  int waits = 0;
  FlagWaits(server->Logs(), longestUs, waits);
  double slowest = 0;
  for (const Timing& t : timings) slowest = std::max(slowest, t.total());
  std::size_t total = perSlot * kSlots;
  std::printf("slots: %d slots at once, %zu tables of %d rows each per slot, %zu rows in all (server at Debug)\n", kSlots,
              ids.size(), rowsPerTable, total);
  std::printf("  total %8.0f rows/s  (%.3f s; slowest slot %.3f s)  failures %d\n", static_cast<double>(total) / wall,
              wall, slowest, failures.load());
  std::printf("  transfer-busy flag: %d waits, longest %.3f ms\n", waits, static_cast<double>(longestUs) / 1000.0);
  return failures.load() == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string which = argc > 1 ? argv[1] : "all";
  int rows = 50000, slotRows = 10000;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--rows") == 0) rows = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--slot-rows") == 0) slotRows = std::atoi(argv[i + 1]);
  }
  bool ok = true;
  if (which == "single" || which == "all") ok = Single(rows) && ok;
  if (which == "slots" || which == "all") ok = Slots(slotRows) && ok;
  return ok ? 0 : 1;
}
