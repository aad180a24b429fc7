#include "platform/process.h"

#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace platform {

StopSignals::~StopSignals() {
  if (fd_ >= 0) ::close(fd_);
}

int StopSignals::Open() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  fd_ = ::signalfd(-1, &set, SFD_CLOEXEC);
  return fd_ < 0 ? -1 : 0;
}

int StopSignals::Wait() {
  signalfd_siginfo info{};
  for (;;) {
    ssize_t n = ::read(fd_, &info, sizeof info);
    if (n == static_cast<ssize_t>(sizeof info)) return static_cast<int>(info.ssi_signo);
    if (n < 0 && errno == EINTR) continue;
    return -1;
  }
}

int WaitListenerOrStop(int listener, int stop) {
  pollfd fds[2] = {{stop, POLLIN, 0}, {listener, POLLIN, 0}};
  for (;;) {
    int n = ::poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    // A stop wins over a waiting client: nothing new is taken on once asked to end.
    if (fds[0].revents != 0) return kStopReady;
    if (fds[1].revents != 0) return kListenerReady;
  }
}

void NotifyServiceManager(const std::string& state) { sd_notify(0, state.c_str()); }

bool StandardInputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

const char* SignalName(int signal) {
  switch (signal) {
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    default: return "signal";
  }
}

}  // namespace platform
