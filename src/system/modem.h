#pragma once
// The modem link: dialling the system's modem on the serial port, reading
// and classifying the modem's answer, and the alive timer that keeps an idle
// line open with the FF FF packet.
//
//   dial command (raw, no handshake):  "ATDT" dial-string CR
//   modem answer:                      ... CR LF answer-text CR LF
//
// The answer is what follows the first CR LF, up to and including the next.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "web/web_message.h"
#include "frame/result_codes.h"

namespace modem {

// Connect request body: link type(1) port(1) speed(1) unused(1) dial string, 0xFF.
constexpr std::size_t kPortAt = 1;
constexpr std::size_t kSpeedAt = 2;
constexpr std::size_t kDialStringAt = 4;
constexpr std::uint8_t kDialStringEnd = 0xFF;

constexpr int kByteSize = 8;
constexpr std::uint8_t CR = 0x0D;
constexpr std::uint8_t LF = 0x0A;

constexpr std::size_t kAnswerBufferSize = 300;
constexpr std::size_t kAnswerDumpBytes = 50;  // printed on the console after dialling
constexpr int kAnswerTimeouts = 21;           // silent reads before the answer is given up

constexpr int kDialPauseMs = 10000;    // the modem's time to connect after ATDT
constexpr int kAlivePeriodMs = 55000;  // keep-alive of an idle line

// ClassifyModemAnswer's results.
enum AnswerClass { kAnswerOk = 1, kAnswerConnected = 2, kAnswerBusy = 3, kAnswerNoCarrier = 4, kAnswerOther = 5 };

using AnswerBuffer = std::array<std::uint8_t, kAnswerBufferSize>;

// "COM1".."COM16" for the port byte; out of range gives "COM1".
std::string ModemPortName(std::uint8_t portByte);
// 4800, 9600, 19200 or 38400 for the speed byte; out of range gives 19200.
int ModemBaudRate(std::uint8_t speedByte);
// The dial string of a connect request: from body byte 4 up to the first
// 0xFF, a zero byte or the end of the body, whichever comes first.
std::string DialString(const web::WebMsg& request);

// Opens the process's serial port, dials and reads the modem's answer. On a
// failure after the open the port stays open: the caller closes it.
// 1; 135; 136; 137; 138; 141; 146; 147; 148; 150.
int ModemConnect(const std::string& dialString, int varNum, std::uint8_t portByte, std::uint8_t speedByte);

// Reads the answer from the process's serial port into `answer` (zeroed
// first). 1; 148 for an answer that does not fit; 150 after 21 read
// time-outs; another read failure.
int ReadModemAnswer(AnswerBuffer& answer, int varNum);
// The same reading from any byte source (one byte per call, 1 or a failure;
// 141 stands for a read time-out).
using ByteSource = std::function<int(std::uint8_t&)>;
int ReadModemAnswer(AnswerBuffer& answer, int varNum, const ByteSource& receive);

// 1 to 5 as AnswerClass; each failed comparison is logged.
int ClassifyModemAnswer(const AnswerBuffer& answer, int varNum);

// The one alive timer of the process. A start ends the timer that runs and
// begins a full period for `varNum`; the old timer finishes (an exchange in
// progress included) before the new one runs. Stop ends it. Both may be
// called from any thread, the timer's own included, and always give 1.
int StartModemAliveTimer(int varNum);
int StopModemAliveTimer();
// Stops the timer only when it keeps `varNum`'s line alive, so that giving
// up a slot on TCP leaves the modem slot's keep-alive running.
int StopModemAliveTimerOf(int varNum);

// Shorter pauses let tests reach the dial answer and the keep-alive quickly;
// 0 restores a default.
void SetModemTimers(int dialPauseMs, int alivePeriodMs);

// For tests and measurements: alive timers in their period loop now (0 or
// 1), the most that ever were at once, and the periods that ended in a
// keep-alive exchange or were skipped for a running transfer.
struct AliveCounts {
  int running = 0;
  int mostAtOnce = 0;
  long exchanged = 0;
  long skipped = 0;
};
AliveCounts ModemAliveCounts();

}  // namespace modem
