#include "frame/config.h"

#include <cstdlib>
#include <fstream>
#include <vector>

#include "frame/log.h"
#include "frame/result_codes.h"

namespace {
ServerPaths paths;  // written at start-up before any other thread runs

constexpr std::size_t kMaxLine = 4999;

// Reads the file's lines, each with its line end as it was ("" past the end).
bool ReadLines(const std::string& path, std::vector<std::string>& lines) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() > kMaxLine) line.resize(kMaxLine);
    lines.push_back(in.eof() ? line : line + "\n");
  }
  return true;
}

int LineValue(const std::string& path, std::size_t index, int varNum) {
  std::vector<std::string> lines;
  if (!ReadLines(path, lines)) {
    LogError(varNum, "DB error", "File open error:" + path);
    return -1;
  }
  return index < lines.size() ? ConfigLineValue(lines[index]) : 0;
}
}  // namespace

const ServerPaths& Paths() { return paths; }
void SetPaths(const ServerPaths& p) { paths = p; }

ServerPaths BuildPaths(const std::string& currentPath, const std::string& webPath) {
  ServerPaths p;
  p.currentPath = currentPath;
  p.databasePath = currentPath + "/DB_WEB/";
  p.onlineDatabasePath = p.databasePath;
  p.offlineDatabasePath = currentPath + "/DB_USER/";
  p.fileUserPath = currentPath + "/FILE_USER/";
  p.logDirectory = currentPath + "/";
  p.configFilePath = webPath + "/info/tavrel.conf";
  return p;
}

int ConfigLineValue(const std::string& line) {
  auto colon = line.find(':');
  if (colon == std::string::npos) return 0;
  std::string value = line.substr(colon + 1);
  value = value.substr(0, value.find(':'));
  return static_cast<int>(std::strtol(value.c_str(), nullptr, 10));
}

int GetConfigPort(const std::string& path, int varNum) { return LineValue(path, 0, varNum); }
int GetConfigInfoLevel(const std::string& path, int varNum) { return LineValue(path, 1, varNum); }

int UpdateConfigWebLogAndPath(const std::string& path, const std::string& currentPath, int varNum) {
  std::vector<std::string> lines;
  if (!ReadLines(path, lines)) {
    LogError(varNum, "DB error", "File open error:" + path);
    return -1;
  }
  lines.resize(3);
  // A line read from the file's end has no line end; write it back with one
  // so that the next line starts on its own.
  for (auto& line : lines) {
    if (!line.empty() && line.back() != '\n') line += '\n';
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    LogError(varNum, "DB error", "File open error:" + path);
    return -1;
  }
  out << lines[0] << lines[1];
  out << (lines[2].rfind("WEB_LOG:", 0) == 0 ? lines[2] : std::string("WEB_LOG:0\n"));
  out << "COMM_PATH:" << currentPath << "\n";
  return RESULT_OK;
}

int SetConfigKey(const std::string& path, const std::string& key, const std::string& value, int varNum) {
  std::vector<std::string> lines;
  if (!ReadLines(path, lines)) {
    LogError(varNum, "File error", "File tavrel.conf open error.");
    return CONFIG_WRITE_ERROR;
  }
  if (lines.empty()) {
    LogError(varNum, "File error", "File tavrel.conf read error.");
    return CONFIG_WRITE_ERROR;
  }
  lines[0] = key + ":" + value + "\n";
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    LogError(varNum, "File error", "File tavrel.conf open error.");
    return CONFIG_WRITE_ERROR;
  }
  for (const auto& line : lines) out << line;
  return RESULT_OK;
}
