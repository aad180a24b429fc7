#include "platform/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool SpeedOf(int baudRate, speed_t& speed) {
  static const struct {
    int rate;
    speed_t speed;
  } kSpeeds[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
                 {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
  for (const auto& s : kSpeeds) {
    if (s.rate == baudRate) {
      speed = s.speed;
      return true;
    }
  }
  return false;
}

bool SizeFlagOf(int byteSize, tcflag_t& flag) {
  switch (byteSize) {
    case 5: flag = CS5; return true;
    case 6: flag = CS6; return true;
    case 7: flag = CS7; return true;
    case 8: flag = CS8; return true;
    default: return false;
  }
}

// Polls for `events` until the deadline: the revents, 0 on time-out, -1 on error.
int PollUntil(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int rc = ::poll(&p, 1, MillisecondsLeft(deadline));
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return -1;
    if (rc == 0) return 0;
    if (p.revents & POLLNVAL) {
      errno = EBADF;
      return -1;
    }
    return p.revents;
  }
}

}  // namespace

int OpenSerialDevice(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  // Refused only by descriptors that are no terminal, which the settings
  // step reports; a second opener of a terminal is refused by the kernel.
  ::ioctl(fd, TIOCEXCL);
  return fd;
}

int CloseSerialDevice(int fd) {
  ::ioctl(fd, TIOCNXCL);
  return ::close(fd);
}

LineSetup SetSerialLine(int fd, int baudRate, int byteSize) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return LineSetup::kGetFailed;
  speed_t speed = 0;
  tcflag_t size = 0;
  if (!SpeedOf(baudRate, speed) || !SizeFlagOf(byteSize, size)) {
    errno = EINVAL;
    return LineSetup::kSetFailed;
  }
  tcflag_t kept = t.c_cflag & (PARENB | PARODD | CMSPAR | CSTOPB);
  t.c_iflag = INPCK;  // no XON/XOFF, no line-end translation, no stripping
  t.c_oflag = 0;
  t.c_lflag = 0;
  // No RTS/CTS flow control. HUPCL: the last close drops DTR, so that the
  // modem ends the call; without it the call stays up and the next dial
  // would go to the system as data.
  t.c_cflag = kept | size | CREAD | CLOCAL | HUPCL;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0) return LineSetup::kSetFailed;
  if (::tcsetattr(fd, TCSANOW, &t) != 0) return LineSetup::kSetFailed;
  int rts = TIOCM_RTS;
  ::ioctl(fd, TIOCMBIS, &rts);  // pseudo-terminals have no modem lines
  return LineSetup::kDone;
}

int MakeRaw(int fd) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return -1;
  ::cfmakeraw(&t);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  return ::tcsetattr(fd, TCSANOW, &t);
}

// Output is drained, never discarded: on a pseudo-terminal, discarding
// output throws away bytes already handed to the peer that its side has not
// yet taken in (an ACK written just before, say), and on a serial device
// nothing is left to discard once the output has drained.
int DrainOutputAndDiscardInput(int fd) {
  if (::tcdrain(fd) != 0 && errno != ENOTTY && errno != EINVAL) return -1;
  if (::tcflush(fd, TCIFLUSH) != 0 && errno != ENOTTY && errno != EINVAL) return -1;
  return 0;
}

long ReadWithin(int fd, void* buffer, std::size_t count, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int revents = PollUntil(fd, POLLIN, deadline);
    if (revents <= 0) return revents;
    long n = ::read(fd, buffer, count);
    if (n > 0) return n;
    if (n == 0 || errno == EIO) return 0;  // the other side has hung up
    if (errno != EAGAIN && errno != EINTR) return -1;
    if (MillisecondsLeft(deadline) == 0) return 0;
  }
}

int WriteWithin(int fd, const void* bytes, std::size_t count, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const auto* p = static_cast<const unsigned char*>(bytes);
  while (count > 0) {
    long n = ::write(fd, p, count);
    if (n > 0) {
      p += n;
      count -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return -1;
    int revents = PollUntil(fd, POLLOUT, deadline);
    if (revents < 0) return -1;
    if (revents == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
  }
  return 0;
}

int WaitForInput(int fd, int timeoutMs) {
  int revents = PollUntil(fd, POLLIN, Clock::now() + std::chrono::milliseconds(timeoutMs));
  return revents > 0 ? 1 : revents;
}

PseudoTerminal::~PseudoTerminal() {
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
}

int PseudoTerminal::Open(std::string& error) {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char path[128] = {};
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
      ::ptsname_r(master_, path, sizeof path) != 0) {
    error = std::string("no pseudo-terminal: ") + std::strerror(errno);
    return -1;
  }
  slavePath_ = path;
  slave_ = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0 || MakeRaw(slave_) != 0 || MakeRaw(master_) != 0) {
    error = slavePath_ + ": " + std::strerror(errno);
    return -1;
  }
  return 0;
}

int PseudoTerminal::ReleaseMaster() {
  int fd = master_;
  master_ = -1;
  return fd;
}

void PseudoTerminal::CloseSlave() {
  if (slave_ >= 0) ::close(slave_);
  slave_ = -1;
}

}  // namespace platform
