// The serial line as the system's modem drives it, on a pseudo-terminal: the
// input's chunks are what the far end writes, the first at once and each
// further one when COMM has written something (an ACK, an NCK, a command) or
// waits for input with nothing left unread. When the chunks are used up the
// far end hangs up or stays silent; then COMM's waits run out at once
// instead of after their time, as do its pauses between attempts. The far
// end plays in COMM's own thread, from COMM's calls of poll(2) and write(2)
// on the line, so no input waits for a clock or a scheduler.
// The input's first byte selects the reader (the packet receiver with its
// handshake, the frame reader alone, or the modem's answer reader) and
// whether the far end hangs up at the end.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "frame/log.h"
#include "fuzz_support.h"
#include "platform/serial_port.h"
#include "system/modem.h"
#include "system/serial_line.h"

namespace {

std::unique_ptr<platform::PseudoTerminal> terminal;
int master = -1;  // -1 once the far end has hung up
int line = -1;    // COMM's descriptor of the line while an input plays, else -1
bool hangUpAtEnd = false;

std::vector<std::span<const std::uint8_t>> chunks;
std::size_t nextChunk = 0;
std::size_t sentOfChunk = 0;

long Poll(pollfd* fds, nfds_t count, int timeoutMs) {
  timespec limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
  return ::syscall(SYS_ppoll, fds, count, timeoutMs < 0 ? nullptr : &limit, nullptr, 8);
}

void OpenTerminal() {
  terminal = std::make_unique<platform::PseudoTerminal>();
  std::string error;
  if (terminal->Open(error) != 0) std::abort();
  master = terminal->master();
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
}

// Takes in whatever COMM wrote.
void Drain() {
  if (master < 0) return;
  std::uint8_t sink[512];
  while (::syscall(SYS_read, master, sink, sizeof sink) > 0) {
  }
}

int Queued() {
  int queued = 0;
  return ::ioctl(line, FIONREAD, &queued) == 0 ? queued : 0;
}

// Writes the next chunk (what of it the line takes) and waits for the line
// to deliver it; false when there is none.
bool SendNext() {
  if (master < 0 || nextChunk >= chunks.size()) return false;
  auto chunk = chunks[nextChunk];
  long n = chunk.size() == sentOfChunk
               ? 0
               : ::syscall(SYS_write, master, chunk.data() + sentOfChunk, chunk.size() - sentOfChunk);
  sentOfChunk += n > 0 ? static_cast<std::size_t>(n) : 0;
  if (n <= 0 || sentOfChunk == chunk.size()) {
    ++nextChunk;
    sentOfChunk = 0;
  }
  if (n > 0) {
    pollfd p{line, POLLIN, 0};
    Poll(&p, 1, 1000);
  }
  return true;
}

}  // namespace

extern "C" int poll(pollfd* fds, nfds_t count, int timeoutMs) {
  if (line >= 0 && count == 1 && fds[0].fd == line && (fds[0].events & POLLIN) != 0) {
    Drain();
    if (Queued() == 0) {
      while (Queued() == 0 && SendNext()) {
      }
      if (Queued() == 0 && hangUpAtEnd && master >= 0) {
        terminal.reset();  // the line sees the hang-up at once
        master = -1;
      } else if (Queued() == 0 && master >= 0) {  // silence: the wait has run out
        fds[0].revents = 0;
        return 0;
      }
    }
  }
  return static_cast<int>(Poll(fds, count, timeoutMs));
}

extern "C" ssize_t write(int fd, const void* bytes, size_t count) {
  long n = ::syscall(SYS_write, fd, bytes, count);
  if (line >= 0 && fd == line) {
    int saved = errno;
    Drain();
    SendNext();
    errno = saved;
  }
  return n;
}

extern "C" int nanosleep(const timespec* duration, timespec* left) {
  if (line >= 0) return 0;
  return static_cast<int>(::syscall(SYS_clock_nanosleep, CLOCK_REALTIME, 0, duration, left));
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::PrepareInstallation();
  OpenTerminal();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  int reader = data[0] % 3;
  hangUpAtEnd = data[0] / 3 % 2 == 1;
  chunks = fuzzsupport::Chunks(data + 1, size - 1);
  nextChunk = 0;
  sentOfChunk = 0;

  if (master < 0) OpenTerminal();
  serial::SerialLine serialLine(::open(terminal->slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!serialLine.open()) std::abort();
  platform::MakeRaw(serialLine.fd());
  ::tcflush(serialLine.fd(), TCIOFLUSH);
  line = serialLine.fd();
  Drain();
  SendNext();

  if (reader == 0) {
    std::uint8_t buffer[300];
    std::size_t received = 0;
    serialLine.ReadPacketFromSerial(buffer, sizeof buffer, received, kServerLog);
  } else if (reader == 1) {
    std::uint8_t frame[serial::kFrameBufferSize];
    std::size_t length = 0;
    serialLine.ReadSerialFrame(frame, length, kServerLog);
  } else {
    modem::AnswerBuffer answer{};
    if (modem::ReadModemAnswer(answer, kServerLog, [&](std::uint8_t& byte) { return serialLine.ReceiveOneByte(byte); }) ==
        1)
      modem::ClassifyModemAnswer(answer, kServerLog);
  }
  line = -1;
  chunks.clear();
  return 0;
}
