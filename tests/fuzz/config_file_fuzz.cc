// tavrel.conf as the web front end or an operator may leave it: the input is
// the file, read for the port and the info level and rewritten at start-up.
#include <fstream>
#include <string>

#include "frame/config.h"
#include "frame/log.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::PrepareInstallation();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = "fuzz.conf";
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), size);
  GetConfigPort(path, kServerLog);
  GetConfigInfoLevel(path, kServerLog);
  UpdateConfigWebLogAndPath(path, "/srv/comm", kServerLog);
  SetConfigKey(path, "TAVREL_PORT", "6001", kServerLog);
  GetConfigPort(path, kServerLog);
  return 0;
}
