// tavrel-setup: provisions (or refreshes) an installation directory.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "setup/installation.h"

namespace {

constexpr const char* kUsage = "usage: tavrel-setup [--port N] [--info-level D] [--user ID:PASSWORD]... [--allow ADDR[/BITS]]... DIR\n";

int BadArguments(const std::string& why) {
  std::fprintf(stderr, "tavrel-setup: %s\n%s", why.c_str(), kUsage);
  return 2;
}

bool ParseNumber(const std::string& text, int low, int high, int& out) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  int value = std::atoi(text.c_str());
  if (value < low || value > high) return false;
  out = value;
  return true;
}

bool Refuse(std::string& error, const std::string& why) {
  error = why;
  return false;
}

// The options' values, or the reason they are unusable.
bool ParseArguments(int argc, char** argv, SetupOptions& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool takesValue = arg == "--port" || arg == "--info-level" || arg == "--user" || arg == "--allow";
    if (takesValue && i + 1 >= argc) return Refuse(error, arg + " needs a value");
    if (arg == "--port") {
      if (!ParseNumber(argv[++i], 1, 65535, options.port)) return Refuse(error, "bad port: " + std::string(argv[i]));
    } else if (arg == "--info-level") {
      std::string level = argv[++i];
      if (level.size() != 1 || !ParseNumber(level, 0, 9, options.infoLevel)) {
        return Refuse(error, "info level must be one digit: " + level);
      }
    } else if (arg == "--user") {
      std::string account = argv[++i];
      std::size_t colon = account.find(':');
      if (colon == std::string::npos) return Refuse(error, "user must be ID:PASSWORD: " + account);
      options.users.emplace_back(account.substr(0, colon), account.substr(colon + 1));
    } else if (arg == "--allow") {
      options.allow.emplace_back(argv[++i]);
    } else if (arg.starts_with("-")) {
      return Refuse(error, "unknown option " + arg);
    } else if (!options.dir.empty()) {
      return Refuse(error, "more than one directory given");
    } else {
      options.dir = arg;
    }
  }
  if (options.dir.empty()) return Refuse(error, "no directory given");
  return true;
}

void Report(const SetupOptions& options) {
  InstallationPaths p = PathsOf(std::filesystem::weakly_canonical(std::filesystem::absolute(options.dir)).string());
  std::printf("installation %s\n", p.dir.c_str());
  std::ifstream config(p.config);
  std::string port, level;
  std::getline(config, port);
  std::getline(config, level);
  std::printf("  %s (%s, %s)\n", p.config.c_str(), port.c_str(), level.c_str());
  std::printf("  %s/\n  %s/\n  %s\n", p.commDir.c_str(), p.dbWebDir.c_str(), p.templateDb.c_str());
  std::printf("  %s\n  %s\n", p.userDb.c_str(), p.infoDb.c_str());
  for (const auto& user : options.users) std::printf("    user %s\n", user.first.c_str());
  std::printf("  %s\n", p.allowList.c_str());
  std::printf("  %s\n  %s\n  %s\n  %s\n", p.odbcinst.c_str(), p.odbcIni.c_str(), p.userIni.c_str(), p.envFile.c_str());
  std::printf("start the server with: cd %s && env $(cat %s) tavrel-comm\n", p.commDir.c_str(), p.envFile.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::printf("%s", kUsage);
    return 0;
  }
  SetupOptions options;
  std::string error;
  if (!ParseArguments(argc, argv, options, error)) return BadArguments(error);
  if (ProvisionInstallation(options, error) != 1) {
    std::fprintf(stderr, "tavrel-setup: %s\n", error.c_str());
    return 1;
  }
  Report(options);
  return 0;
}
