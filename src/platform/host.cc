#include "platform/host.h"

#include <limits.h>
#include <unistd.h>

namespace platform {

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::string CurrentDirectory() {
  char path[PATH_MAX] = {};
  if (getcwd(path, sizeof path) == nullptr) return {};
  return path;
}

}  // namespace platform
