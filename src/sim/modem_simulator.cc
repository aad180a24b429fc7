#include "sim/modem_simulator.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "frame/log.h"
#include "platform/serial_port.h"

namespace sim {
namespace {

constexpr int kIdlePauseMs = 50;
constexpr int kStrayQuietMs = 200;  // a run of stray bytes ends with this much quiet
constexpr std::size_t kMaxCommandLine = 300;
constexpr std::size_t kMaxStrayShown = 24;
constexpr char kDial[] = "ATDT";
constexpr std::uint8_t kStrayBytes[] = {0x7E, 0x41, 0x00};

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// The answer as text, or as hexadecimal bytes when it is no text.
std::string Shown(const std::string& answer) {
  bool text = std::all_of(answer.begin(), answer.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
  if (text) return "\"" + answer + "\"";
  std::string out;
  for (unsigned char c : answer) out += Format("%s%02X", out.empty() ? "" : " ", c);
  return out;
}

bool TakeCount(int& left) {
  if (left <= 0) return false;
  --left;
  return true;
}

}  // namespace

// One connected call: the system's side of the framed line.
class ModemSimulator::Call : public Channel {
 public:
  Call(ModemSimulator& modem, int id) : modem_(modem), id_(id) {}
  ~Call() override { ReportStray(); }

  bool Send(const std::uint8_t* packet, std::size_t length) override;
  Receipt Receive(PacketBytes& packet, std::size_t& length, int timeoutMs) override;
  // The system is released; the call itself lasts until COMM hangs up.
  bool Intercept(const std::uint8_t* packet, std::size_t) override {
    if (ParseHeader(packet).messageId != kLinkControlMessage) return false;
    Say("link control: the system is released");
    return true;
  }
  void Drop() override { dropped = true; }
  void Say(const std::string& text, bool always = false) override {
    modem_.Say(Format("call %d: %s", id_, text.c_str()), always);
  }

 private:
  // After an ENQ: kPacket, kMalformed, or kTimedOut when no packet came of
  // it (the line goes on); kClosed when the line hung up.
  Receipt TakePacket(PacketBytes& packet, std::size_t& length);
  // Bytes between frames that are no handshake: data a real system would
  // take for garbage (a dial of COMM's that never reached the modem, say).
  void ReportStray();
  void HungUp() {
    Say("COMM hung up: the call ends");
    dropped = true;
  }

  ModemSimulator& modem_;
  const int id_;
  int packetsSent_ = 0;
  std::string stray_;
  std::size_t strayCount_ = 0;
};

bool ModemSimulator::Call::Send(const std::uint8_t* packet, std::size_t length) {
  if (modem_.silent_ || dropped) return false;
  FrameLine& line = *modem_.line_;
  if (TakeCount(modem_.faultsLeft_.strayBeforeEnq)) {
    line.Write(kStrayBytes, sizeof kStrayBytes);
    Say("stray bytes sent before the ENQ");
  }
  auto spoil = [this](std::uint8_t* frame, std::size_t n) { modem_.SpoilChecksum(frame, n); };
  switch (line.SendPacket(packet, length, spoil)) {
    case FrameLine::Sent::kTaken: break;
    case FrameLine::Sent::kHungUp: HungUp(); return false;
    case FrameLine::Sent::kNotTaken:
      Say(Format("packet 0x%04X not taken by COMM after five attempts", ParseHeader(packet).messageId));
      return false;
  }
  int limit = modem_.options_.system.faults.closeAfterPackets;
  if (limit > 0 && ++packetsSent_ >= limit) {
    Say(Format("call dropped after %d packets", limit));
    Drop();
  }
  return !dropped;
}

Receipt ModemSimulator::Call::Receive(PacketBytes& packet, std::size_t& length, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  FrameLine& line = *modem_.line_;
  for (;;) {
    if (dropped) return Receipt::kClosed;
    int wait = -1;
    if (timeoutMs != kWaitForever) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return Receipt::kTimedOut;
      wait = static_cast<int>(left);
    }
    if (!stray_.empty() && (wait < 0 || wait > kStrayQuietMs)) wait = kStrayQuietMs;
    std::uint8_t byte = 0;
    FrameLine::Input in = line.ReadByte(byte, wait);
    if (in == FrameLine::Input::kStopped) return Receipt::kClosed;
    if (in == FrameLine::Input::kHungUp) {
      ReportStray();
      HungUp();
      return Receipt::kClosed;
    }
    if (in == FrameLine::Input::kQuiet) {
      ReportStray();
      continue;
    }
    if (modem_.silent_) continue;
    if (byte == kEnq) {
      ReportStray();
      Receipt rc = TakePacket(packet, length);
      if (rc != Receipt::kTimedOut) return rc;
      continue;
    }
    // COMM answers its own time-outs with NCK: part of the handshake.
    if (byte == kNck || byte == kAck) continue;
    if (stray_.size() < kMaxStrayShown) stray_ += static_cast<char>(byte);
    ++strayCount_;
  }
}

void ModemSimulator::Call::ReportStray() {
  if (strayCount_ == 0) return;
  std::string shown;
  for (unsigned char c : stray_) shown += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : Format("\\x%02X", c);
  ++modem_.lineViolations_;
  Say(Format("violation: %zu bytes outside any frame during the call: \"%s\"%s", strayCount_, shown.c_str(),
             strayCount_ > stray_.size() ? "..." : ""),
      true);
  stray_.clear();
  strayCount_ = 0;
  if (modem_.options_.system.strict) {
    Say("strict: call ended", true);
    Drop();
  }
}

Receipt ModemSimulator::Call::TakePacket(PacketBytes& packet, std::size_t& length) {
  LineFaults& faults = modem_.faultsLeft_;
  if (faults.silentAfter >= 0 && modem_.packetsTaken_ >= faults.silentAfter) {
    modem_.silent_ = true;
    Say("the system falls silent");
    return Receipt::kTimedOut;
  }
  if (TakeCount(faults.dropAcks)) {
    Say("ENQ left without ACK");
    return Receipt::kTimedOut;
  }
  std::string problem;
  switch (modem_.line_->TakeFrame(packet, length, problem)) {
    case FrameLine::Taken::kHungUp: HungUp(); return Receipt::kClosed;
    case FrameLine::Taken::kBroken:
      ++modem_.lineViolations_;
      Say("violation: broken frame, answered NCK: " + problem, true);
      if (modem_.options_.system.strict) Drop();
      return dropped ? Receipt::kClosed : Receipt::kTimedOut;
    case FrameLine::Taken::kPacket: break;
  }
  ++modem_.packetsTaken_;
  Header h = ParseHeader(packet.data());
  if (h.type != kSxmType || h.length != length) {
    this->problem = Format("packet type 0x%02X, length field %d in a frame of %zu", h.type, h.length, length);
    return Receipt::kMalformed;
  }
  return Receipt::kPacket;
}

ModemSimulator::ModemSimulator(const ModemOptions& options)
    : options_(options), answers_(options.system), faultsLeft_(options.faults) {}

ModemSimulator::~ModemSimulator() { Stop(); }

void ModemSimulator::Start(int fd) { Begin(fd); }

int ModemSimulator::StartOnDevice(const std::string& path, int baudRate) {
  int fd = platform::OpenSerialDevice(path);
  if (fd < 0) return 0;
  if (platform::SetSerialLine(fd, baudRate, 8) != platform::LineSetup::kDone) {
    ::close(fd);
    return 0;
  }
  Begin(fd);
  return 1;
}

void ModemSimulator::Begin(int fd) {
  line_ = std::make_unique<FrameLine>(fd, stopping_);
  thread_ = std::thread(&ModemSimulator::Run, this);
}

void ModemSimulator::Stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

void ModemSimulator::Run() {
  while (!stopping_.load()) {
    std::string command;
    if (!ReadCommandLine(command)) return;
    if (StartsWith(command, kDial)) {
      if (AnswerDial(command.substr(sizeof kDial - 1))) ServeCall();
    } else if (StartsWith(command, "AT")) {
      static const std::string kOk = "\r\nOK\r\n";
      line_->Write(reinterpret_cast<const std::uint8_t*>(kOk.data()), kOk.size());
      Say(Format("command %s: OK", command.c_str()));
    }
  }
}

void ModemSimulator::ServeCall() {
  Call call(*this, ++calls_);
  inCall_ = true;
  call.Say("connected");
  answers_.Serve(call);
  call.Say("ended");
  inCall_ = false;
}

bool ModemSimulator::ReadCommandLine(std::string& line) {
  line.clear();
  for (;;) {
    std::uint8_t byte = 0;
    switch (line_->ReadByte(byte, -1)) {
      case FrameLine::Input::kStopped: return false;
      case FrameLine::Input::kHungUp:
        // Nobody has the line open: wait for someone who dials.
        line.clear();
        std::this_thread::sleep_for(std::chrono::milliseconds(kIdlePauseMs));
        continue;
      case FrameLine::Input::kQuiet: continue;
      case FrameLine::Input::kByte: break;
    }
    if (byte == '\r' && !line.empty()) return true;
    if (byte < 0x20 || byte >= 0x7F) continue;  // a stray ENQ or NCK of an earlier call
    if (line.size() >= kMaxCommandLine) line.clear();
    line += static_cast<char>(byte);
  }
}

bool ModemSimulator::AnswerDial(const std::string& number) {
  const std::string& answer = options_.answer;
  std::string reply = options_.answerLineEnds ? "\r\n" + answer + "\r\n" : answer;
  if (!line_->Write(reinterpret_cast<const std::uint8_t*>(reply.data()), reply.size())) {
    Say(Format("dial %s: the answer could not be written", number.c_str()));
    return false;
  }
  Say(Format("dial %s: answered %s%s", number.c_str(), Shown(answer).c_str(),
             options_.answerLineEnds ? "" : " without line end"));
  return options_.answerLineEnds && (StartsWith(answer, "CONNECT") || StartsWith(answer, "OK"));
}

void ModemSimulator::SpoilChecksum(std::uint8_t* frame, std::size_t length) {
  if (!TakeCount(faultsLeft_.corruptChecksums)) return;
  frame[length - 2] ^= 0xFF;
  Say("frame sent with a wrong checksum");
}

void ModemSimulator::Say(const std::string& text, bool always) {
  if (options_.system.console || always) Console("\nmodem: %s", text.c_str());
}

}  // namespace sim
