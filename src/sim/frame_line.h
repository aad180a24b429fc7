#pragma once
// The system's end of the framed serial line, written from the line's rules
// and not from COMM's code: every packet goes in a frame
//
//   STX | length (2, big-endian) | packet | checksum | ETX
//
// whose checksum is the exclusive-or of the length bytes and the packet, and
// every frame is announced: the sender sends ENQ, the receiver answers ACK,
// the frame follows and the receiver answers ACK (NCK for a broken frame,
// after which the sender announces it again). Each side waits 3 s for a
// byte and makes at most five attempts.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/packet.h"

namespace sim {

constexpr std::uint8_t kEnq = 0x05, kAck = 0x06, kNck = 0x15, kStx = 0x02, kEtx = 0x03;
constexpr int kLineWaitMs = 3000;
constexpr int kLineAttempts = 5;

// The frame of one packet.
std::vector<std::uint8_t> FrameOf(const std::uint8_t* packet, std::size_t length);

class FrameLine {
 public:
  // Takes over an open terminal descriptor (the master side of a
  // pseudo-terminal or a serial device in raw mode) and closes it at the end.
  // `stopping` ends every wait.
  FrameLine(int fd, const std::atomic<bool>& stopping);
  ~FrameLine();
  FrameLine(const FrameLine&) = delete;
  FrameLine& operator=(const FrameLine&) = delete;

  enum class Input { kByte, kQuiet, kHungUp, kStopped };
  // One byte within `timeoutMs` (-1: no limit). A hang-up is the far side
  // having closed the line: on a pseudo-terminal, every slave descriptor closed.
  Input ReadByte(std::uint8_t& byte, int timeoutMs);
  bool Write(const std::uint8_t* bytes, std::size_t count);

  // Sender: announces, sends and has the frame taken, at most five attempts.
  // `spoil` may alter each frame before it goes out.
  enum class Sent { kTaken, kNotTaken, kHungUp };
  Sent SendPacket(const std::uint8_t* packet, std::size_t length,
                  const std::function<void(std::uint8_t*, std::size_t)>& spoil);

  // Receiver, after the sender's ENQ: ACK, the frame, ACK; a broken frame is
  // answered NCK and described in `problem`.
  enum class Taken { kPacket, kBroken, kHungUp };
  Taken TakeFrame(PacketBytes& packet, std::size_t& length, std::string& problem);

  // Whatever has arrived and not been read.
  void DiscardInput();

 private:
  int fd_;
  const std::atomic<bool>& stopping_;
};

}  // namespace sim
