// The serial line as the system's modem drives it: the input's chunks are
// what the far end writes, the first at once and each further one after COMM
// has written something (an ACK, an NCK, a command), on a pseudo-terminal.
// The first chunk's first byte selects the reader: the packet receiver with
// its handshake, the frame reader alone, or the modem's answer reader.
#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <thread>

#include "frame/log.h"
#include "fuzz_support.h"
#include "platform/serial_port.h"
#include "system/modem.h"
#include "system/serial_line.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::PrepareInstallation();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  int reader = data[0] % 3;
  auto chunks = fuzzsupport::Chunks(data + 1, size - 1);

  platform::PseudoTerminal terminal;
  std::string error;
  if (terminal.Open(error) != 0) std::abort();
  int master = terminal.ReleaseMaster();
  serial::SerialLine line(::open(terminal.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  platform::MakeRaw(line.fd());

  // The far end takes its turn when COMM has written something or waits
  // for input with everything sent so far taken in; it hangs up after the
  // last chunk has been read or when COMM is done, so no read waits out its
  // time-out.
  int done = ::eventfd(0, EFD_CLOEXEC);
  if (done < 0) std::abort();
  std::thread far([master, done, comm = fuzzsupport::ThreadId(), slave = line.fd(), &chunks] {
    std::uint8_t sink[512];
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      if (i > 0 && fuzzsupport::AwaitFarEndTurn(master, done, comm, false, slave, 2000) &&
          ::read(master, sink, sizeof sink) <= 0)
        break;
      platform::WriteWithin(master, chunks[i].data(), chunks[i].size(), 1000);
    }
    fuzzsupport::AwaitFarEndTurn(master, done, comm, false, slave, 2000);
    ::close(master);
  });

  if (reader == 0) {
    std::uint8_t buffer[300];
    std::size_t received = 0;
    line.ReadPacketFromSerial(buffer, sizeof buffer, received, kServerLog);
  } else if (reader == 1) {
    std::uint8_t frame[serial::kFrameBufferSize];
    std::size_t length = 0;
    line.ReadSerialFrame(frame, length, kServerLog);
  } else {
    modem::AnswerBuffer answer{};
    if (modem::ReadModemAnswer(answer, kServerLog, [&](std::uint8_t& byte) { return line.ReceiveOneByte(byte); }) == 1)
      modem::ClassifyModemAnswer(answer, kServerLog);
  }
  std::uint64_t one = 1;
  if (::write(done, &one, sizeof one) != sizeof one) std::abort();
  far.join();
  ::close(done);
  return 0;
}
