#include "sim/frame_line.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "frame/log.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSliceMs = 50;
constexpr int kRetryPauseMs = 200;

}  // namespace

std::vector<std::uint8_t> FrameOf(const std::uint8_t* packet, std::size_t length) {
  std::vector<std::uint8_t> frame;
  frame.reserve(length + 5);
  frame.push_back(kStx);
  frame.push_back(static_cast<std::uint8_t>(length >> 8));
  frame.push_back(static_cast<std::uint8_t>(length));
  frame.insert(frame.end(), packet, packet + length);
  std::uint8_t sum = 0;
  for (std::size_t i = 1; i < frame.size(); ++i) sum ^= frame[i];
  frame.push_back(sum);
  frame.push_back(kEtx);
  return frame;
}

FrameLine::FrameLine(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}

FrameLine::~FrameLine() {
  if (fd_ >= 0) ::close(fd_);
}

FrameLine::Input FrameLine::ReadByte(std::uint8_t& byte, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (stopping_.load()) return Input::kStopped;
    int wait = kSliceMs;
    if (timeoutMs >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return Input::kQuiet;
      if (left < wait) wait = static_cast<int>(left);
    }
    pollfd p{fd_, POLLIN, 0};
    int ready = ::poll(&p, 1, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return Input::kHungUp;
    if (ready == 0) continue;
    if (p.revents & POLLIN) {
      long n = ::read(fd_, &byte, 1);
      if (n == 1) return Input::kByte;
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      return Input::kHungUp;  // EIO: the slave side has been closed
    }
    return Input::kHungUp;
  }
}

bool FrameLine::Write(const std::uint8_t* bytes, std::size_t count) {
  LogBytes(kServerLog, "Write to COMM", bytes, count);
  auto deadline = Clock::now() + std::chrono::milliseconds(kLineWaitMs);
  std::size_t done = 0;
  while (done < count) {
    long n = ::write(fd_, bytes + done, count - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (Clock::now() >= deadline) return false;
    pollfd p{fd_, POLLOUT, 0};
    ::poll(&p, 1, kSliceMs);
  }
  return true;
}

void FrameLine::DiscardInput() {
  std::uint8_t byte = 0;
  while (ReadByte(byte, 0) == Input::kByte) {
  }
}

FrameLine::Sent FrameLine::SendPacket(const std::uint8_t* packet, std::size_t length,
                                      const std::function<void(std::uint8_t*, std::size_t)>& spoil) {
  for (int attempt = 0; attempt < kLineAttempts; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(kRetryPauseMs));
    // A byte left over from an earlier exchange (COMM's NCK after it waited
    // in vain) must not be taken for the answer to this ENQ.
    DiscardInput();
    if (!Write(&kEnq, 1)) return Sent::kHungUp;
    std::uint8_t byte = 0;
    Input in = ReadByte(byte, kLineWaitMs);
    if (in == Input::kHungUp || in == Input::kStopped) return Sent::kHungUp;
    if (in != Input::kByte || byte != kAck) {
      LogError(kServerLog, "Error", Format("no ACK after ENQ, attempt %d", attempt + 1));
      continue;
    }
    LogDebug(kServerLog, "ACK after ENQ, sending the frame");
    std::vector<std::uint8_t> frame = FrameOf(packet, length);
    if (spoil) spoil(frame.data(), frame.size());
    if (!Write(frame.data(), frame.size())) return Sent::kHungUp;
    in = ReadByte(byte, kLineWaitMs);
    if (in == Input::kHungUp || in == Input::kStopped) return Sent::kHungUp;
    if (in == Input::kByte && byte == kAck) {
      LogDebug(kServerLog, "frame taken");
      return Sent::kTaken;
    }
    LogError(kServerLog, "Error", Format("frame not taken, attempt %d", attempt + 1));
  }
  return Sent::kNotTaken;
}

FrameLine::Taken FrameLine::TakeFrame(PacketBytes& packet, std::size_t& length, std::string& problem) {
  if (!Write(&kAck, 1)) return Taken::kHungUp;
  std::uint8_t byte = 0;
  Input in = Input::kByte;
  auto next = [&](const char* what) {
    in = ReadByte(byte, kLineWaitMs);
    if (in == Input::kByte) return true;
    if (in == Input::kQuiet) problem = std::string("no ") + what + " within 3 s";
    return false;
  };
  auto broken = [&]() {
    if (in == Input::kHungUp || in == Input::kStopped) return Taken::kHungUp;
    LogError(kServerLog, "Error", "broken frame from COMM, NCK: " + problem);
    Write(&kNck, 1);
    return Taken::kBroken;
  };
  if (!next("STX")) return broken();
  if (byte != kStx) {
    problem = Format("frame begins with 0x%02X, not STX", byte);
    return broken();
  }
  std::uint8_t sum = 0;
  std::size_t n = 0;
  for (int i = 0; i < 2; ++i) {
    if (!next("length byte")) return broken();
    sum ^= byte;
    n = n << 8 | byte;
  }
  if (n < kHeaderBytes || n > kMaxPacketBytes) {
    problem = Format("frame length %zu: no packet of 10 to 250 bytes", n);
    DiscardInput();
    return broken();
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!next("packet byte")) return broken();
    sum ^= byte;
    packet[i] = byte;
  }
  if (!next("checksum")) return broken();
  if (byte != sum) {
    problem = Format("checksum 0x%02X, expected 0x%02X", byte, sum);
    DiscardInput();
    return broken();
  }
  if (!next("ETX")) return broken();
  if (byte != kEtx) {
    problem = Format("frame ends with 0x%02X, not ETX", byte);
    return broken();
  }
  length = n;
  LogDebug(kServerLog, Format("frame of %zu bytes taken", n));
  if (!Write(&kAck, 1)) return Taken::kHungUp;
  return Taken::kPacket;
}

}  // namespace sim
