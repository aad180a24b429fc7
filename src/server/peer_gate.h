#pragma once
// Who may reach the web port, and the accept loop's defence against running
// out of descriptors.
#include <string>

namespace server {

// The allow-list in COMM's working directory, written by tavrel-setup.
constexpr const char* kAllowListFile = "tavrel.allow";

// Reads the list: one ADDR or ADDR/BITS a line, "#" comments and blank lines
// ignored. A missing file admits loopback peers only. 1; -1 (logged) for a
// line that is no address or a file that cannot be read.
int LoadAllowList(const std::string& path);

// True when the accepted socket's peer is on the list. Any other peer is
// closed at once, nothing read, with one log line.
bool AdmitPeer(int fd);

constexpr int kStopRequested = -2;

// Accepts the next connection, waiting until one comes or `stopFd` (the stop
// signals) is readable, which gives kStopRequested. When the process
// is out of descriptors the pending connection is taken with a descriptor
// held in reserve and closed at once (one log line per run of refusals), so
// that the loop neither spins on it nor leaves the peer waiting; the loop
// serves again as soon as descriptors are free.
int AcceptConnection(int listener, int stopFd);

}  // namespace server
