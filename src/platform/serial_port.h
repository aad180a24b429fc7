#pragma once
// Thin layer over terminal devices (serial ports and pseudo-terminals): the
// only code that includes termios. Functions return 0 on success and -1 with
// errno set, like the calls beneath, unless they say otherwise.
#include <cstddef>
#include <string>

namespace platform {

// Opens a terminal for a serial line: read and write, never as the
// controlling terminal, non-blocking (so that a missing carrier cannot hang
// the open), and exclusive where the device allows it. The descriptor or -1.
int OpenSerialDevice(const std::string& path);
// Gives the exclusive use up and closes: the terminal outlives this process's
// use of it (a pseudo-terminal whose other side stays open), and the next
// opener must not find it still claimed. The result of close(2).
int CloseSerialDevice(int fd);

enum class LineSetup { kDone, kGetFailed, kSetFailed };
// Raw bytes at `baudRate` and `byteSize` (5 to 8 bits); the line's parity
// and stop bits stay as they are, with parity checking on; no flow control
// of either kind; RTS raised where the device has the line; closing the
// device drops DTR (hangs a modem up).
LineSetup SetSerialLine(int fd, int baudRate, int byteSize);
// Raw bytes at whatever speed the device has (the master side of a
// pseudo-terminal).
int MakeRaw(int fd);

// Waits until what was written has left, then discards unread input. A
// descriptor that is no terminal has neither to do.
int DrainOutputAndDiscardInput(int fd);

// Up to `count` bytes, returning as soon as any are there and waiting at
// most `timeoutMs` for the first: the count read; 0 when none came in time
// or the line has hung up; -1 on another error.
long ReadWithin(int fd, void* buffer, std::size_t count, int timeoutMs);
// Hands every byte to the device, waiting at most `timeoutMs` in all for it
// to take them.
int WriteWithin(int fd, const void* bytes, std::size_t count, int timeoutMs);
// 1 when input is waiting (or the line has hung up), 0 when none came
// within `timeoutMs`, -1 on error.
int WaitForInput(int fd, int timeoutMs);

// A pseudo-terminal pair in raw mode. The slave side stays open here as
// well, so that the master does not see a hang-up while no program has the
// slave open, and the operator or a test can open the slave by its path.
class PseudoTerminal {
 public:
  PseudoTerminal() = default;
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // 0; -1 with `error` set.
  int Open(std::string& error);
  int master() const { return master_; }
  // Gives the master descriptor to the caller, who closes it.
  int ReleaseMaster();
  // From now on the master sees a hang-up whenever no program has the slave
  // open, as the far end of a line sees the near end drop DTR.
  void CloseSlave();
  const std::string& slavePath() const { return slavePath_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

}  // namespace platform
