#pragma once
// How the process meets its supervisor: stop signals as a readable
// descriptor, readiness messages to the service manager, and whether a person
// sits at standard input.
#include <string>

namespace platform {

// SIGTERM and SIGINT as events on a descriptor instead of asynchronous
// handlers. Open() blocks both signals in the calling thread, and every
// thread it starts afterwards inherits the block, so no thread is ever
// interrupted by them: whoever watches fd() decides what a stop means.
// Call it before starting the threads that must not see the signals.
class StopSignals {
 public:
  StopSignals() = default;
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  int Open();  // 0; -1 with errno
  int fd() const { return fd_; }
  // Blocks until a stop signal is pending and takes it: its number, or -1.
  int Wait();

 private:
  int fd_ = -1;
};

// Waits until `listener` has a connection to accept or `stop` is readable.
// 1 for the listener, 2 for the stop descriptor, -1 on error (EINTR kept).
constexpr int kListenerReady = 1;
constexpr int kStopReady = 2;
int WaitListenerOrStop(int listener, int stop);

// Sends `state` ("READY=1", "STOPPING=1", "STATUS=...") to the service
// manager that started the process; nothing without one.
void NotifyServiceManager(const std::string& state);

bool StandardInputIsTerminal();

// The name of a signal number ("SIGTERM").
const char* SignalName(int signal);

}  // namespace platform
