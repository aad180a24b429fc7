#include "system/modem.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "frame/log.h"
#include "frame/result_codes.h"
#include "platform/pause.h"
#include "platform/thread.h"
#include "system/serial_line.h"
#include "system/tcp_exchange.h"
#include "system/transfer.h"

namespace modem {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> dialPauseMs{kDialPauseMs};
std::atomic<int> alivePeriodMs{kAlivePeriodMs};

constexpr std::uint8_t kBusyBytes[] = {0x66, 0x85, 0x83, 0x89};

struct AnswerTest {
  const std::uint8_t* bytes;
  std::size_t count;
  AnswerClass match;
  const char* notMatched;  // logged when the answer does not begin so
};

const AnswerTest kAnswerTests[] = {
    {reinterpret_cast<const std::uint8_t*>("CONNECT"), 7, kAnswerConnected,
     "Message received from system is not CONNECT "},
    {reinterpret_cast<const std::uint8_t*>("OK"), 2, kAnswerOk, "Message received from system is not OK "},
    {kBusyBytes, sizeof kBusyBytes, kAnswerBusy, "Message received from system is not BUSY "},
    {reinterpret_cast<const std::uint8_t*>("NO C"), 4, kAnswerNoCarrier,
     "Message received from system is not NO CARRIER "},
};

// The alive timer. Every start and stop moves the generation on; a timer
// thread runs while its generation is the current one. A new thread waits
// until the one before it has left its loop, so that at most one ever runs,
// and a start from the timer's own thread (its exchange receives a message)
// waits for nothing. The threads are detached: the timer outlives them all.
class AliveTimer {
 public:
  void Start(int varNum) {
    std::uint64_t generation = 0;
    {
      std::lock_guard lock(mutex_);
      generation = ++generation_;
      slot_ = varNum;
    }
    wake_.notify_all();
    int error = platform::StartDetachedThread([this, generation, varNum] { Run(generation, varNum); });
    if (error != 0) LogError(varNum, "Thread error", "Error occurred when start modem alive timer");
  }

  void Stop() {
    {
      std::lock_guard lock(mutex_);
      ++generation_;
    }
    wake_.notify_all();
  }

  void StopOf(int varNum) {
    {
      std::lock_guard lock(mutex_);
      if (slot_ != varNum) return;
      ++generation_;
    }
    wake_.notify_all();
  }

  AliveCounts Counts() {
    std::lock_guard lock(mutex_);
    return counts_;
  }

 private:
  bool Current(std::uint64_t generation) {
    std::lock_guard lock(mutex_);
    return generation_ == generation;
  }

  // True once this thread is the running timer; false when a later start
  // or a stop came first.
  bool Begin(std::uint64_t generation) {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [&] { return generation_ != generation || counts_.running == 0; });
    if (generation_ != generation) return false;
    counts_.mostAtOnce = std::max(counts_.mostAtOnce, ++counts_.running);
    return true;
  }

  void End() {
    {
      std::lock_guard lock(mutex_);
      --counts_.running;
    }
    wake_.notify_all();
  }

  // False when the timer was ended during the period.
  bool WaitPeriod(std::uint64_t generation) {
    std::unique_lock lock(mutex_);
    auto deadline = Clock::now() + std::chrono::milliseconds(alivePeriodMs.load());
    return !wake_.wait_until(lock, deadline, [&] { return generation_ != generation; });
  }

  void Count(long AliveCounts::*counter) {
    std::lock_guard lock(mutex_);
    ++(counts_.*counter);
  }

  void Run(std::uint64_t generation, int varNum) {
    if (!Begin(generation)) return;
    while (WaitPeriod(generation)) {
      if (!systemlink::TryAcquireTransferFlag()) {
        LogDebug(varNum, "SIO is transferring, Cancel once sending data message to system");
        Count(&AliveCounts::skipped);
        continue;
      }
      // A disconnect stops the timer while it holds the flag: once the flag
      // is ours, a stop that came meanwhile means the line is going away.
      if (!Current(generation)) {
        systemlink::ReleaseTransferFlag();
        break;
      }
      int result = systemlink::ExchangeFFFF(-1, varNum);
      systemlink::ReleaseTransferFlag();
      Count(&AliveCounts::exchanged);
      if (result != RESULT_OK) LogError(varNum, "DB error", "\nSend FF FF message to system by SIO error\n");
    }
    End();
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::uint64_t generation_ = 0;  // under mutex_
  int slot_ = -1;                 // the slot of the newest start; under mutex_
  AliveCounts counts_;            // under mutex_; `running` is 0 or 1
};

// Never destroyed: a timer thread may still be waiting when the process ends.
AliveTimer& Timer() {
  static AliveTimer& timer = *new AliveTimer;
  return timer;
}

void PrintAnswer(const AnswerBuffer& answer) {
  std::string text = "\nreceive message from system: ";
  for (std::size_t i = 0; i < kAnswerDumpBytes; ++i) text += Format("%X ", answer[i]);
  text += "\n";
  Console("%s", text.c_str());
}

int OutcomeOf(int answerClass, int varNum) {
  switch (answerClass) {
    case kAnswerConnected:
    case kAnswerOk:
      return RESULT_OK;
    case kAnswerBusy:
      LogError(varNum, "Modem error", "Response of system is BUSY");
      return MODEM_BUSY;
    case kAnswerNoCarrier:
      LogError(varNum, "Modem error", "Response of system is NO CARRIER");
      return MODEM_NO_CARRIER;
    default:
      LogError(varNum, "Message format error", "Message received from system is error");
      return MODEM_UNEXPECTED_ANSWER;
  }
}

}  // namespace

std::string ModemPortName(std::uint8_t portByte) {
  if (portByte >= 1 && portByte <= 16) return "COM" + std::to_string(portByte);
  return "COM1";
}

int ModemBaudRate(std::uint8_t speedByte) {
  switch (speedByte) {
    case 0:
      return 4800;
    case 1:
      return 9600;
    case 3:
      return 38400;
    default:
      return 19200;
  }
}

std::string DialString(const web::WebMsg& request) {
  std::size_t end = request.dataLength();
  std::string dial;
  for (std::size_t i = kDialStringAt; i < end; ++i) {
    std::uint8_t byte = request.data[i];
    if (byte == kDialStringEnd || byte == 0) break;
    dial += static_cast<char>(byte);
  }
  return dial;
}

int ModemConnect(const std::string& dialString, int varNum, std::uint8_t portByte, std::uint8_t speedByte) {
  int baudRate = ModemBaudRate(speedByte);
  Console("\nBoundrate = %d", baudRate);
  serial::SerialLine& line = serial::ProcessSerialLine();
  int result = line.Open(serial::PortPath(ModemPortName(portByte)), baudRate, kByteSize, varNum);
  if (result != RESULT_OK) {
    LogError(varNum, "Modem error", "Occurred error when Set Com");
    return result;
  }
  std::string command = "ATDT" + dialString + static_cast<char>(CR);
  result = line.WritePacketToSerial(reinterpret_cast<const std::uint8_t*>(command.data()), command.size(), true,
                                    varNum);
  if (result != RESULT_OK) {
    LogError(varNum, "Modem error", "Connect with Modem connection error");
    return result;
  }
  platform::PauseMs(dialPauseMs.load());
  AnswerBuffer answer{};
  result = ReadModemAnswer(answer, varNum);
  if (result != RESULT_OK) {
    LogError(varNum, "Modem error", "receive init data error");
    return result;
  }
  PrintAnswer(answer);
  return OutcomeOf(ClassifyModemAnswer(answer, varNum), varNum);
}

int ReadModemAnswer(AnswerBuffer& answer, int varNum) {
  serial::SerialLine& line = serial::ProcessSerialLine();
  return ReadModemAnswer(answer, varNum, [&line](std::uint8_t& byte) { return line.ReceiveOneByte(byte); });
}

int ReadModemAnswer(AnswerBuffer& answer, int varNum, const ByteSource& receive) {
  answer.fill(0);
  bool collecting = false;
  bool crSeen = false;
  bool pairSeen = false;
  std::size_t length = 0;
  int timeouts = 0;
  for (;;) {
    std::uint8_t byte = 0;
    int result = receive(byte);
    if (result == SERIAL_NOTHING_RECEIVED) {
      LogError(varNum, "Error", "read init data time out");
      if (++timeouts == kAnswerTimeouts) {
        LogDebug(varNum, "read init data time out for 20 times");
        return MODEM_NO_ANSWER;
      }
      continue;
    }
    if (result != RESULT_OK) {
      LogError(varNum, "Error", "read init data error");
      return result;
    }
    if (collecting) {
      if (length == answer.size()) {
        LogError(varNum, "Error", Format("read init data longer than %zu bytes", answer.size()));
        return MODEM_UNEXPECTED_ANSWER;
      }
      answer[length++] = byte;
    }
    if (byte == CR)
      crSeen = true;
    else if (byte == LF && crSeen)
      pairSeen = true;
    else
      crSeen = false;
    if (!(crSeen && pairSeen)) continue;
    if (collecting) return RESULT_OK;
    collecting = true;
    crSeen = pairSeen = false;
  }
}

int ClassifyModemAnswer(const AnswerBuffer& answer, int varNum) {
  for (const AnswerTest& test : kAnswerTests) {
    if (std::memcmp(answer.data(), test.bytes, test.count) == 0) return test.match;
    LogError(varNum, "Debug", test.notMatched);
  }
  return kAnswerOther;
}

int StartModemAliveTimer(int varNum) {
  Timer().Start(varNum);
  return RESULT_OK;
}

int StopModemAliveTimer() {
  Timer().Stop();
  return RESULT_OK;
}

int StopModemAliveTimerOf(int varNum) {
  Timer().StopOf(varNum);
  return RESULT_OK;
}

void SetModemTimers(int dialPause, int alivePeriod) {
  dialPauseMs.store(dialPause > 0 ? dialPause : kDialPauseMs);
  alivePeriodMs.store(alivePeriod > 0 ? alivePeriod : kAlivePeriodMs);
}

AliveCounts ModemAliveCounts() { return Timer().Counts(); }

}  // namespace modem
