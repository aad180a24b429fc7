// FILE_LIST against the real tavrel-comm with many offline files: for each
// count, N copies of the template in a fresh installation, the first listing
// timed with none of their data sources registered (the listing registers
// them all), then the listing timed again with every data source in place.
// A listing of 800 directory entries or more is refused (187) as the web
// expects, so 1,000 files measure the refusal.
// Usage: file_list_bench [--files N]... [--runs N]   (default 100 200 500 799 1000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "client/request_catalogue.h"
#include "support/comm_server.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

bool List(testsupport::CommServer& server, double& ms, int& result) {
  client::WebClient c = server.Connect("admin");
  client::Request list = client::MakeRequest("FILE_LIST");
  list.final = true;
  client::Answer answer;
  auto start = Clock::now();
  int rc = c.Call(list, answer, 60000);
  ms = Ms(Clock::now() - start);
  result = answer.result();
  c.WaitClosed(10000);
  return rc == 1 && (result == 1 || result == 187);
}

bool Run(int files, int runs) {
  testsupport::ServerOptions options;
  options.infoLevel = 2;
  testsupport::CommServer server(options);
  if (!server.provisioned()) {
    std::fprintf(stderr, "%s\n", server.error().c_str());
    return false;
  }
  std::string userDir = server.commDir() + "/DB_USER/";
  std::filesystem::create_directories(userDir);
  for (int i = 0; i < files; ++i) {
    std::filesystem::copy_file(server.commDir() + "/DB_WEB/WebInit.mdb", userDir + "file" + std::to_string(i) + ".mdb");
  }
  if (!server.Start() || !server.WaitListening()) {
    std::fprintf(stderr, "the server did not start\n");
    return false;
  }
  double first = 0;
  int result = 0;
  if (!List(server, first, result)) {
    std::fprintf(stderr, "FILE_LIST of %d files failed: %d\n", files, result);
    return false;
  }
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    double ms = 0;
    if (!List(server, ms, result)) return false;
    times.push_back(ms);
  }
  std::sort(times.begin(), times.end());
  std::printf("FILE_LIST of %4d offline files, %s: first listing %7.1f ms; then %d runs: median %6.1f ms, max %6.1f ms\n",
              files, result == 1 ? "listed (the first registers every data source)" : "refused with 187 (800 entries)",
              first, runs, times[times.size() / 2], times.back());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> counts;
  int runs = 20;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--files") == 0) counts.push_back(std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
  }
  if (counts.empty()) counts = {100, 200, 500, 799, 1000};
  for (int files : counts) {
    if (!Run(files, std::max(runs, 1))) return 1;
  }
  return 0;
}
