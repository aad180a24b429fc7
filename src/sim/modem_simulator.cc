#include "sim/modem_simulator.h"

#include <algorithm>
#include <chrono>

#include "frame/log.h"
#include "platform/serial_port.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 50;
constexpr std::size_t kMaxCommandLine = 300;
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

  bool Send(const std::uint8_t* packet, std::size_t length) override;
  Receipt Receive(sxm::Packet& packet, std::size_t& length, int timeoutMs) override;
  bool Intercept(const std::uint8_t* packet, std::size_t) override {
    if (sxm::MessageIdOf(packet) != sxm::kLinkControlId) return false;
    Say("link control: the call ends");
    Drop();
    return true;
  }
  void Drop() override { dropped = true; }
  void Say(const std::string& text) override { modem_.Say(Format("call %d: %s", id_, text.c_str())); }

 private:
  // After an ENQ: true with the packet (or a malformed one) in `result`;
  // false when the ENQ went unanswered or no packet came of it.
  bool TakePacket(sxm::Packet& packet, std::size_t& length, Receipt& result);
  // A byte that is no ENQ: true when it completes a dial, which ends the call.
  bool GatherCommand(std::uint8_t byte);

  ModemSimulator& modem_;
  const int id_;
  int packetsSent_ = 0;
  std::string command_;
};

bool ModemSimulator::Call::Send(const std::uint8_t* packet, std::size_t length) {
  if (modem_.silent_) return false;
  serial::SerialLine& line = *modem_.line_;
  if (TakeCount(modem_.faultsLeft_.strayBeforeEnq)) {
    line.WriteSerialBytes(kStrayBytes, sizeof kStrayBytes, kServerLog);
    Say("stray bytes sent before the ENQ");
  }
  int rc = line.WritePacketToSerial(packet, length, false, kServerLog);
  if (rc != 1) {
    Say(Format("packet 0x%04X not taken by COMM (result %d)", sxm::MessageIdOf(packet), rc));
    return false;
  }
  int limit = modem_.options_.system.faults.closeAfterPackets;
  if (limit > 0 && ++packetsSent_ >= limit) {
    Say(Format("call dropped after %d packets", limit));
    Drop();
  }
  return !dropped;
}

Receipt ModemSimulator::Call::Receive(sxm::Packet& packet, std::size_t& length, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (dropped) return Receipt::kClosed;
    int wait = kWaitForever;
    if (timeoutMs != kWaitForever) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return Receipt::kTimedOut;
      wait = static_cast<int>(left);
    }
    std::uint8_t byte = 0;
    int rc = modem_.NextByte(byte, wait);
    if (rc < 0) return Receipt::kClosed;
    if (rc == 0 || modem_.silent_) continue;
    Receipt result = Receipt::kPacket;
    if (byte == serial::ENQ && TakePacket(packet, length, result)) return result;
    if (byte != serial::ENQ && GatherCommand(byte)) return Receipt::kClosed;
  }
}

bool ModemSimulator::Call::TakePacket(sxm::Packet& packet, std::size_t& length, Receipt& result) {
  LineFaults& faults = modem_.faultsLeft_;
  if (faults.silentAfter >= 0 && modem_.packetsTaken_ >= faults.silentAfter) {
    modem_.silent_ = true;
    Say("the system falls silent");
    return false;
  }
  if (TakeCount(faults.dropAcks)) {
    Say("ENQ left without ACK");
    return false;
  }
  serial::SerialLine& line = *modem_.line_;
  line.PutBack(serial::ENQ);
  std::size_t received = 0;
  int rc = line.ReadPacketFromSerial(packet.data(), packet.size(), received, kServerLog);
  if (rc != 1) {
    Say(Format("no packet came after the ENQ (result %d)", rc));
    return false;
  }
  ++modem_.packetsTaken_;
  std::size_t bodyLength = 0;
  bool wellFormed = sxm::CheckHeader(packet.data(), received, bodyLength) == sxm::kHeaderOk &&
                    received == sxm::kHeaderSize + bodyLength;
  length = received;
  result = wellFormed ? Receipt::kPacket : Receipt::kMalformed;
  return true;
}

// COMM dials again when it has lost the call without ending it: the modem
// hangs up and answers the dial.
bool ModemSimulator::Call::GatherCommand(std::uint8_t byte) {
  if (byte == '\r') {
    std::string line;
    line.swap(command_);
    if (!StartsWith(line, kDial)) return false;
    modem_.pendingCommand_ = line;
    Say("a dial during the call ends it");
    Drop();
    return true;
  }
  if (byte < 0x20 || byte >= 0x7F) return false;
  if (command_.size() >= kMaxCommandLine) command_.clear();
  command_ += static_cast<char>(byte);
  return false;
}

ModemSimulator::ModemSimulator(const ModemOptions& options)
    : options_(options), answers_(options.system), faultsLeft_(options.faults) {}

ModemSimulator::~ModemSimulator() { Stop(); }

void ModemSimulator::Start(int fd) { Begin(std::make_unique<serial::SerialLine>(fd)); }

int ModemSimulator::StartOnDevice(const std::string& path, int baudRate) {
  auto line = std::make_unique<serial::SerialLine>();
  int rc = line->Open(path, baudRate, 8, kServerLog);
  if (rc == 1) Begin(std::move(line));
  return rc;
}

void ModemSimulator::Begin(std::unique_ptr<serial::SerialLine> line) {
  line_ = std::move(line);
  line_->SetFrameHook([this](std::uint8_t* frame, std::size_t length) { SpoilChecksum(frame, length); });
  thread_ = std::thread(&ModemSimulator::Run, this);
}

void ModemSimulator::Stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

void ModemSimulator::Run() {
  while (!stopping_.load()) {
    std::string command;
    if (!pendingCommand_.empty())
      command.swap(pendingCommand_);
    else if (!ReadCommandLine(command))
      return;
    if (StartsWith(command, kDial)) {
      if (AnswerDial(command.substr(sizeof kDial - 1))) ServeCall();
    } else if (StartsWith(command, "AT")) {
      static const std::string kOk = "\r\nOK\r\n";
      line_->WriteSerialBytes(reinterpret_cast<const std::uint8_t*>(kOk.data()), kOk.size(), kServerLog);
      Say(Format("command %s: OK", command.c_str()));
    }
  }
}

void ModemSimulator::ServeCall() {
  Call call(*this, ++calls_);
  call.Say("connected");
  answers_.Serve(call);
  call.Say("ended");
}

bool ModemSimulator::ReadCommandLine(std::string& line) {
  line.clear();
  for (;;) {
    std::uint8_t byte = 0;
    if (NextByte(byte, kWaitForever) < 0) return false;
    if (byte == '\r' && !line.empty()) return true;
    if (byte < 0x20 || byte >= 0x7F) continue;  // a stray ENQ or NCK of an earlier call
    if (line.size() >= kMaxCommandLine) line.clear();
    line += static_cast<char>(byte);
  }
}

bool ModemSimulator::AnswerDial(const std::string& number) {
  const std::string& answer = options_.answer;
  std::string reply = options_.answerLineEnds ? "\r\n" + answer + "\r\n" : answer;
  if (line_->WriteSerialBytes(reinterpret_cast<const std::uint8_t*>(reply.data()), reply.size(), kServerLog) != 1) {
    Say(Format("dial %s: the answer could not be written", number.c_str()));
    return false;
  }
  Say(Format("dial %s: answered %s%s", number.c_str(), Shown(answer).c_str(),
             options_.answerLineEnds ? "" : " without line end"));
  return options_.answerLineEnds && (StartsWith(answer, "CONNECT") || StartsWith(answer, "OK"));
}

int ModemSimulator::NextByte(std::uint8_t& byte, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (stopping_.load()) return -1;
    int wait = kPollMs;
    if (timeoutMs != kWaitForever) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return 0;
      wait = static_cast<int>(std::min<long long>(left, kPollMs));
    }
    int ready = platform::WaitForInput(line_->fd(), wait);
    if (ready == 1 && line_->ReceiveOneByte(byte) == 1) return 1;
    // A line that has hung up is readable at once and yields nothing.
    if (ready != 0) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
}

void ModemSimulator::SpoilChecksum(std::uint8_t* frame, std::size_t length) {
  if (!TakeCount(faultsLeft_.corruptChecksums)) return;
  frame[length - 2] ^= 0xFF;
  Say("frame sent with a wrong checksum");
}

void ModemSimulator::Say(const std::string& text) {
  if (options_.system.console) Console("\nmodem: %s", text.c_str());
}

}  // namespace sim
