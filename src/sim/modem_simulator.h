#pragma once
// The simulated system behind a modem, on a serial device or the master side
// of a pseudo-terminal. It first plays the modem: a line "ATDT<number>\r" is
// answered with CR LF, the configured answer, CR LF. After "CONNECT" or "OK"
// it plays the system: every packet travels in the framed serial protocol
// with its handshakes (sim/frame_line.h), and is answered as over TCP
// (sim/answers.h). Like a modem in data mode it passes everything on during
// a call, "ATDT" included: only COMM hanging up (closing its end of the line,
// which drops DTR; on a pseudo-terminal, the last slave descriptor closing)
// or the restart packet ends the call, and the modem waits for the next dial.
//
// Faults of the line can be injected besides those of the answers.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "sim/answers.h"
#include "sim/options.h"
#include "sim/frame_line.h"

namespace sim {

inline const std::string kModemConnect = "CONNECT 9600";
// The busy answer of the system's modem: four bytes that are no text.
inline const std::string kModemBusyBytes = "\x66\x85\x83\x89";

// Each count applies to that many frames or handshakes in turn, over all calls.
struct LineFaults {
  int corruptChecksums = 0;  // frames sent with a wrong checksum
  int dropAcks = 0;          // COMM's ENQs left without ACK
  int strayBeforeEnq = 0;    // frames sent after stray bytes that come before their ENQ
  int silentAfter = -1;      // packets taken from COMM before the system falls silent for good; -1 never
};

struct ModemOptions {
  Options system;                       // address and ports are not used
  std::string answer = kModemConnect;   // the modem's answer to a dial
  bool answerLineEnds = true;           // false: the answer comes without any CR LF
  LineFaults faults;
};

class ModemSimulator {
 public:
  explicit ModemSimulator(const ModemOptions& options);
  ~ModemSimulator();
  ModemSimulator(const ModemSimulator&) = delete;
  ModemSimulator& operator=(const ModemSimulator&) = delete;

  // Serves on an open terminal descriptor, which it takes over and closes.
  void Start(int fd);
  // Opens a serial device at `baudRate` with 8 data bits and serves on it.
  // 1; 0 when the device cannot be opened or set up.
  int StartOnDevice(const std::string& path, int baudRate);
  // Ends serving and waits for the thread; a line exchange under way ends
  // first (within its time-outs).
  void Stop();

  TableStore& tables() { return answers_.tables(); }
  int restarts() const { return answers_.restarts(); }
  int calls() const { return calls_.load(); }
  bool inCall() const { return inCall_.load(); }
  // Rules COMM broke on the line or in its packets.
  int violations() const { return answers_.violations() + lineViolations_.load(); }

 private:
  class Call;

  void Begin(int fd);
  void Run();
  // One command line of the modem, without its CR. False when stopping.
  bool ReadCommandLine(std::string& line);
  // True when the answer connects the call.
  bool AnswerDial(const std::string& number);
  // Takes the line for one call: returns when the call has ended.
  void ServeCall();
  void SpoilChecksum(std::uint8_t* frame, std::size_t length);
  void Say(const std::string& text, bool always = false);

  const ModemOptions options_;
  Answers answers_;
  std::unique_ptr<FrameLine> line_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> calls_{0};
  std::atomic<bool> inCall_{false};
  std::atomic<int> lineViolations_{0};
  // Written only by the serving thread.
  LineFaults faultsLeft_;
  int packetsTaken_ = 0;
  bool silent_ = false;
};

}  // namespace sim
