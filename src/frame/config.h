#pragma once
// The configuration file "<web path>/info/tavrel.conf", shared with the web
// front end. Lines are taken by position, each "key:value":
//   1 TAVREL_PORT  listening port       2 (any key) info level digit
//   3 WEB_LOG      kept, not read       4 COMM_PATH  COMM's directory, rewritten at every start
#include <string>

// Process-wide paths, built once at start-up and read-only afterwards.
struct ServerPaths {
  std::string currentPath;          // COMM's working directory
  std::string databasePath;         // "<cwd>/DB_WEB/"
  std::string onlineDatabasePath;   // the same
  std::string offlineDatabasePath;  // "<cwd>/DB_USER/"
  std::string fileUserPath;         // "<cwd>/FILE_USER/"
  std::string logDirectory;         // "<cwd>/"
  std::string configFilePath;       // "<web path>/info/tavrel.conf"
};
const ServerPaths& Paths();
void SetPaths(const ServerPaths& paths);  // start-up only
ServerPaths BuildPaths(const std::string& currentPath, const std::string& webPath);

// The value of a line: the text between its first ':' and the next ':' (or
// the end), read as a decimal integer; no digits gives 0.
int ConfigLineValue(const std::string& line);

int GetConfigPort(const std::string& path, int varNum);       // line 1; -1 when the file cannot be opened
int GetConfigInfoLevel(const std::string& path, int varNum);  // line 2; -1 likewise
int UpdateConfigWebLogAndPath(const std::string& path, const std::string& currentPath, int varNum);  // 1; -1
int SetConfigKey(const std::string& path, const std::string& key, const std::string& value, int varNum);  // 1; -6
