#pragma once
#include <string>

namespace platform {

// This machine's host name; "" when it cannot be had.
std::string HostName();
// The process's working directory; "" when it cannot be had.
std::string CurrentDirectory();

}  // namespace platform
