#include "server/peer_gate.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <mutex>

#include "frame/log.h"
#include "platform/peer_filter.h"
#include "platform/process.h"
#include "platform/socket.h"

namespace server {
namespace {

// Written once at start-up, before the accept loop reads it.
platform::PeerFilter allowed = platform::PeerFilter::LoopbackOnly();

int reserve = -1;

void HoldReserve() {
  if (reserve < 0) reserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

bool OutOfDescriptors(int error) { return error == EMFILE || error == ENFILE; }

std::string Trimmed(const std::string& line) {
  std::size_t begin = line.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return {};
  std::size_t end = line.find_last_not_of(" \t\r");
  return line.substr(begin, end - begin + 1);
}

}  // namespace

int LoadAllowList(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    if (errno == ENOENT) {
      allowed = platform::PeerFilter::LoopbackOnly();
      return 1;
    }
    LogError(kServerLog, "File error", "cannot read the allow-list " + path);
    return -1;
  }
  platform::PeerFilter filter;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    line = Trimmed(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    platform::AddressRange range;
    if (!platform::ParseAddressRange(line, range)) {
      LogError(kServerLog, "File error", Format("%s line %d is not an address: %s", path.c_str(), number, line.c_str()));
      return -1;
    }
    filter.Add(range);
  }
  allowed = filter;
  return 1;
}

bool AdmitPeer(int fd) {
  platform::AddressRange peer;
  if (platform::PeerAddress(fd, peer) && allowed.Allows(peer)) return true;
  LogError(kServerLog, "Peer refused",
           Format("web peer %s is not on the allow-list; closed unread", peer.family ? peer.Text().c_str() : "?"));
  platform::SetLingerZero(fd);
  ::close(fd);
  return false;
}

int AcceptConnection(int listener, int stopFd) {
  HoldReserve();
  bool refusing = false;
  for (;;) {
    int ready = platform::WaitListenerOrStop(listener, stopFd);
    if (ready == platform::kStopReady) return kStopRequested;
    if (ready != platform::kListenerReady) {
      usleep(10000);
      continue;
    }
    int client = platform::Accept(listener);
    if (client >= 0) return client;
    int error = errno;
    if (OutOfDescriptors(error) && reserve >= 0) {
      ::close(reserve);
      reserve = -1;
      int shed = platform::Accept(listener);
      if (shed >= 0) {
        platform::SetLingerZero(shed);
        ::close(shed);
      }
      // Logged while the reserve's descriptor is still free for the log file.
      if (!refusing) {
        LogError(kServerLog, "Socket error", "out of descriptors: web connections are closed until some are free");
        refusing = true;
      }
      HoldReserve();
      continue;
    }
    // Out of descriptors with none in reserve, or out of memory: wait a
    // little for some to be freed rather than spin.
    if (OutOfDescriptors(error) || error == ENOBUFS || error == ENOMEM) usleep(50000);
  }
}

}  // namespace server
