// The cost of one log line after months of service: 200 full CommLog files
// lie before the one being written. Compares the writer with the walk it
// replaced, which opened every file from CommLog_1 on for each line.
//
//   ninja -C build log_bench && build/bin/log_bench [FULL_FILES] [LINES]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "frame/log.h"

namespace fs = std::filesystem;

namespace {

// The replaced walk, as it was: from CommLog_1 on, open each file to read its
// size, append to the first that is not full.
void WalkAndAppend(const std::string& directory, const std::string& line) {
  for (int number = 1;; ++number) {
    std::string path = directory + "CommLog_" + std::to_string(number) + ".txt";
    std::FILE* probe = std::fopen(path.c_str(), "ab");
    if (!probe) return;
    long size = std::fseek(probe, 0, SEEK_END) == 0 ? std::ftell(probe) : -1;
    if (size < 0 || static_cast<std::uintmax_t>(size) > kLogFileLimit) {
      std::fclose(probe);
      continue;
    }
    std::fputc('\n', probe);
    std::fputs(line.c_str(), probe);
    std::fputs(" \n", probe);
    std::fclose(probe);
    return;
  }
}

// Full files take no disk space: their size is all the writers look at.
std::string MakeLogDirectory(int fullFiles) {
  char pattern[] = "/tmp/tavrel-log-bench-XXXXXX";
  std::string directory = std::string(mkdtemp(pattern)) + "/";
  for (int number = 1; number <= fullFiles; ++number) {
    std::string path = directory + "CommLog_" + std::to_string(number) + ".txt";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    std::fclose(file);
    fs::resize_file(path, kLogFileLimit + 1);
  }
  return directory;
}

template <typename Write>
double MicrosecondsPerLine(int lines, Write write) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < lines; ++i) write(i);
  std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
  return spent.count() / lines;
}

}  // namespace

int main(int argc, char** argv) {
  int fullFiles = argc > 1 ? std::atoi(argv[1]) : 200;
  int lines = argc > 2 ? std::atoi(argv[2]) : 2000;
  const std::string line =
      "3...2026-01-01 00_00_00...Debug...Debug: Receive message head from Web success, a line of usual length\n";

  std::string walked = MakeLogDirectory(fullFiles);
  double walk = MicrosecondsPerLine(lines, [&](int) { WalkAndAppend(walked, line); });

  std::string kept = MakeLogDirectory(fullFiles);
  SetLogDirectory(kept);
  double writer = MicrosecondsPerLine(lines, [&](int) { AppendLogFile(line); });

  std::printf("log line with %d full files before the current one, %d lines each:\n", fullFiles, lines);
  std::printf("  walk from CommLog_1 (replaced)  %9.2f us/line\n", walk);
  std::printf("  current file kept open          %9.2f us/line\n", writer);
  std::printf("  ratio                           %9.1f x\n", walk / writer);
  fs::remove_all(walked);
  fs::remove_all(kept);
  return 0;
}
