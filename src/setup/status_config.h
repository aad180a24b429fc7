#pragma once
// The status server's port: "DIR/comm/status.conf", one line
// "STATUS_PORT:<port>". It is a file of its own so that tavrel.conf keeps
// exactly the lines the web front end shares with COMM. COMM reads it at
// start-up from its working directory; no file (or port 0) means no status
// server.
#include <string>

namespace setup {

constexpr const char* kStatusConfigName = "status.conf";
constexpr const char* kStatusPortKey = "STATUS_PORT";

// port 0 removes the file. 1; 0 with `error` set.
int WriteStatusPort(const std::string& commDir, int port, std::string& error);
// The port, or 0 when the file is missing or does not hold a port 1-65535.
int ReadStatusPort(const std::string& commDir);

}  // namespace setup
