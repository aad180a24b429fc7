// FILE_LIST against the real tavrel-comm with many offline files: N copies
// of the template with their data sources registered before the start, then
// the listing timed (each listing also checks every file's data source).
// Usage: file_list_bench [--files N] [--runs N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "client/request_catalogue.h"
#include "support/comm_server.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  int files = 1000;
  int runs = 20;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--files") == 0) files = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
  }
  testsupport::ServerOptions options;
  options.infoLevel = 2;
  testsupport::CommServer server(options);
  if (!server.provisioned()) {
    std::fprintf(stderr, "%s\n", server.error().c_str());
    return 1;
  }
  std::string userDir = server.commDir() + "/DB_USER/";
  std::filesystem::create_directories(userDir);
  std::ofstream ini(server.dir() + "/odbc/odbc.ini", std::ios::app);
  for (int i = 0; i < files; ++i) {
    std::string name = "file" + std::to_string(i);
    std::filesystem::copy_file(server.commDir() + "/DB_WEB/WebInit.mdb", userDir + name + ".mdb");
    ini << "\n[" << name << "]\nDriver=SQLite3\nDatabase=" << userDir << name
        << ".mdb\nJournalMode=WAL\nSyncPragma=NORMAL\nTimeout=5000\n";
  }
  ini.close();
  if (!server.Start() || !server.WaitListening()) {
    std::fprintf(stderr, "the server did not start\n");
    return 1;
  }
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    client::WebClient c = server.Connect("admin");
    client::Request list = client::MakeRequest("FILE_LIST");
    list.final = true;
    client::Answer answer;
    auto start = Clock::now();
    int rc = c.Call(list, answer, 60000);
    times.push_back(Ms(Clock::now() - start));
    if (rc != 1 || answer.result() != 1) {
      std::fprintf(stderr, "FILE_LIST failed: %d/%d\n", rc, answer.result());
      return 1;
    }
    c.WaitClosed(10000);
  }
  std::sort(times.begin(), times.end());
  std::printf("FILE_LIST of %d offline files, %d runs: median %.1f ms, max %.1f ms\n", files, runs,
              times[times.size() / 2], times.back());
  return 0;
}
