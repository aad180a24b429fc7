#include "setup/status_config.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace setup {

int WriteStatusPort(const std::string& commDir, int port, std::string& error) {
  const std::string path = commDir + "/" + kStatusConfigName;
  std::error_code ec;
  if (port == 0) {
    std::filesystem::remove(path, ec);
    if (ec) error = "cannot remove " + path + ": " + ec.message();
    return ec ? 0 : 1;
  }
  std::ofstream out(path, std::ios::trunc);
  out << kStatusPortKey << ':' << port << '\n';
  out.close();
  if (!out) {
    error = "cannot write " + path;
    return 0;
  }
  return 1;
}

int ReadStatusPort(const std::string& commDir) {
  std::ifstream in(commDir + "/" + kStatusConfigName);
  std::string line;
  if (!in || !std::getline(in, line)) return 0;
  const std::string key = std::string(kStatusPortKey) + ":";
  if (line.rfind(key, 0) != 0) return 0;
  std::string digits = line.substr(key.size());
  while (!digits.empty() && (digits.back() == '\r' || digits.back() == ' ')) digits.pop_back();
  if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  int port = std::atoi(digits.c_str());
  return port >= 1 && port <= 65535 ? port : 0;
}

}  // namespace setup
