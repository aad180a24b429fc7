#include "sim/answers.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "frame/log.h"

namespace sim {
namespace {

constexpr int kMaxResends = 5;  // COMM sends a refused request again at most this often

const char* MalformedName(Malformed kind) {
  switch (kind) {
    case Malformed::kWrongType: return "wrong type";
    case Malformed::kShortLength: return "length below 10";
    case Malformed::kLongLength: return "length above 250";
    case Malformed::kSequenceGap: return "sequence gap";
    case Malformed::kMessageIdChange: return "message ID change";
    case Malformed::kNone: break;
  }
  return "none";
}

// Spoils packet `index` (from 0) of an answer of `count` packets when the
// fault falls on it; true when it did.
bool Spoil(Malformed kind, PacketBytes& packet, std::size_t index, std::size_t count) {
  Header h = ParseHeader(packet.data());
  std::size_t bodyLength = h.bodyLength();
  switch (kind) {
    case Malformed::kWrongType:
      if (index != 0) return false;
      h.type = kSxmType + 1;
      break;
    case Malformed::kShortLength:
    case Malformed::kLongLength:
      if (index != 0) return false;
      packet[6] = 0;
      packet[7] = kind == Malformed::kShortLength ? kHeaderBytes - 1 : kMaxPacketBytes + 1;
      return true;
    case Malformed::kSequenceGap:
      if (index != (count == 1 ? 0u : 1u)) return false;
      h.sequence = static_cast<std::uint16_t>(index + 2);
      break;
    case Malformed::kMessageIdChange:
      if (count == 1 || index != 1) return false;
      ++h.messageId;
      break;
    case Malformed::kNone: return false;
  }
  PacketBytes body = packet;
  MakePacket(h, body.data() + kHeaderBytes, bodyLength, packet);
  return true;
}

bool KnownMode(std::uint8_t mode) { return mode == kModeRead || mode == kModeWrite || mode == kModeUpload; }

// COMM never acknowledges the answers to the link check and to the keep-alive.
bool Acknowledged(std::uint16_t messageId) {
  return messageId != kLinkCheckMessage && messageId != kLinkControlMessage && messageId != kKeepAliveMessage;
}

std::string Describe(const Header& h) {
  return Format("packet 0x%04X (sequence %d%s, length %d, result %d)", h.messageId, h.sequence,
                h.final() ? " final" : "", h.length, h.result);
}

}  // namespace

Answers::Answers(const Options& options)
    : options_(options), tables_(options.identity, options.rowsPerTable), faultsLeft_(options.faults) {}

void Answers::Violation(Channel& channel, const std::string& what) {
  ++violations_;
  channel.Say("violation: " + what, true);
  if (options_.strict && !channel.dropped) {
    channel.Say("strict: link closed", true);
    channel.Drop();
  }
}

void Answers::Serve(Channel& channel) {
  for (;;) {
    PacketBytes packet{};
    std::size_t length = 0;
    Receipt rc = channel.Receive(packet, length, kWaitForever);
    if (rc == Receipt::kMalformed) Violation(channel, channel.problem + ", link dropped");
    if (rc != Receipt::kPacket) break;
    Dispatch(channel, packet.data(), length);
    if (channel.dropped) break;
  }
}

// The web front end builds the packets COMM relays (a type-19 read or write,
// the restart packet): their sequence field and result byte are the web's,
// and only the bounds of a packet hold for them. What COMM builds itself
// carries 0xFF in the result byte and is held to every rule.
bool Answers::CheckRequest(Channel& channel, const Header& h) {
  if (h.result == kResultDone && h.length == kHeaderBytes) {
    Violation(channel, Format("acknowledgement of 0x%04X where none was due", h.messageId));
    return false;
  }
  const bool own = h.result == kResultRequest;
  std::string wrong;
  if (!KnownMode(h.mode)) wrong += Format(", mode 0x%02X", h.mode);
  if (h.finalNibble != 0 && h.finalNibble != 0xF) wrong += Format(", final nibble 0x%X", h.finalNibble);
  if (own && h.sequence == 0) wrong += ", sequence 0";
  if (h.messageId == kLinkControlMessage && !own) wrong += Format(", result byte %d where COMM's own has 0xFF", h.result);
  bool control = h.messageId == kLinkControlMessage || (own && h.messageId == kKeepAliveMessage);
  if (control && (h.length != kHeaderBytes || h.recordLength != 0 || h.sequence != 1 || !h.final()))
    wrong += ", not a header-only packet of sequence 1, final, record length 0";
  if (wrong.empty()) return true;
  Violation(channel, Describe(h) + ":" + wrong.substr(1));
  return false;
}

void Answers::Dispatch(Channel& channel, const std::uint8_t* packet, std::size_t length) {
  Header h = ParseHeader(packet);
  if (!CheckRequest(channel, h)) return;
  // The keep-alive of a modem line may come between any two exchanges.
  if (channel.resendDue && h.messageId != kKeepAliveMessage) {
    channel.resendDue = false;
    if (h.messageId != channel.refusedId)
      Violation(channel, Format("request 0x%04X was refused and not sent again; 0x%04X came instead", channel.refusedId,
                                h.messageId));
  }
  if (h.messageId != channel.refusedId) channel.refusals = 0;
  if (h.messageId == kKeepAliveMessage) {
    SendHeaderOnly(channel, h.mode, kKeepAliveMessage, kResultDone);
    channel.Say("FF FF answered");
    return;
  }
  bool continuesWrite = channel.writeId != 0 && h.messageId == channel.writeId && h.sequence != 1;
  if (channel.writeId != 0 && !continuesWrite) {
    if (channel.writeOwn)
      Violation(channel, Format("write 0x%04X ended without its final packet (packet %d was the last)",
                                channel.writeId, channel.writeSequence));
    channel.writeId = 0;
  }
  if (channel.Intercept(packet, length)) return;
  if (h.messageId == options_.restartId) {
    ++restarts_;
    channel.Say(Format("restart packet 0x%04X: the system restarts, link dropped", h.messageId));
    channel.Drop();
    return;
  }
  // The link check and the fixed commands go out with the slot's mode byte,
  // which may say write; they carry neither rows nor a record length. A write
  // of no rows (an emptied table) still names its record length.
  bool write = (h.mode == kModeWrite || h.mode == kModeUpload) && h.messageId != kLinkCheckMessage &&
               (length > kHeaderBytes || h.recordLength != 0);
  if (write || continuesWrite) {
    TakeWrite(channel, packet, length);
    return;
  }
  if (h.result == kResultRequest && (h.sequence != 1 || !h.final())) {
    Violation(channel, Describe(h) + ": a read request is one packet, sequence 1, final");
    return;
  }
  AnswerRead(channel, h);
}

bool Answers::TakeFault(int& left, bool every) {
  if (every) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  if (left <= 0) return false;
  --left;
  return true;
}

void Answers::TakeWrite(Channel& channel, const std::uint8_t* packet, std::size_t length) {
  Header h = ParseHeader(packet);
  const bool own = h.result == kResultRequest;
  if (channel.writeId == 0) {
    channel.writing = Table{};
    channel.writeBroken = false;
    channel.writeSequence = 0;
    channel.writeOwn = own;
    if (h.sequence != 1) {
      if (own) Violation(channel, Describe(h) + ": a write begins with sequence 1");
      channel.writeBroken = true;
    }
  } else if (h.sequence != channel.writeSequence + 1) {
    if (own)
      Violation(channel, Format("write 0x%04X: packet %d follows packet %d", h.messageId, h.sequence,
                                channel.writeSequence));
    channel.writeBroken = true;
  }
  channel.writeId = h.final() ? 0 : h.messageId;
  channel.writeSequence = h.sequence;
  if (own && channel.writing.recordLength != 0 && channel.writing.recordLength != h.recordLength) {
    Violation(channel, Format("write 0x%04X: record length %d after %d", h.messageId, h.recordLength,
                              channel.writing.recordLength));
    channel.writeBroken = true;
  }
  if (channel.writeBroken) {
    SendHeaderOnly(channel, h.mode, h.messageId, kResultRefused, h.recordLength);
    channel.Say(Format("write 0x%04X refused: packets out of order", h.messageId));
    if (h.final()) channel.writing = Table{};
    return;
  }
  channel.writing.recordLength = h.recordLength;
  channel.writing.rows.insert(channel.writing.rows.end(), packet + kHeaderBytes, packet + length);
  if (!h.final()) {
    SendHeaderOnly(channel, h.mode, h.messageId, kResultDone, h.recordLength);
    return;
  }
  std::size_t bytes = channel.writing.rows.size();
  std::string pgcNo = PGCNumberOfMessage(h.messageId);
  if (pgcNo.empty() || h.recordLength == 0 || bytes % h.recordLength != 0) {
    SendHeaderOnly(channel, h.mode, h.messageId, kResultRefused, h.recordLength);
    channel.Say(Format("write 0x%04X refused: %zu bytes are no whole number of %d-byte rows of a known PGC",
                       h.messageId, bytes, h.recordLength));
    channel.writing = Table{};
    return;
  }
  tables_.Write(h.messageId, std::move(channel.writing));
  channel.writing = Table{};
  SendHeaderOnly(channel, h.mode, h.messageId, kResultDone, h.recordLength);
  channel.Say(Format("write 0x%04X PGC%s: %zu rows of %d bytes kept", h.messageId, pgcNo.c_str(),
                     bytes / h.recordLength, h.recordLength));
}

// A refusal is sent again by COMM up to five times; the sixth is taken as an
// answer, and acknowledged like any final packet.
void Answers::Refuse(Channel& channel, const Header& request) {
  if (channel.refusedId != request.messageId) channel.refusals = 0;
  channel.refusedId = request.messageId;
  ++channel.refusals;
  if (!SendHeaderOnly(channel, request.mode, request.messageId, kResultRefused)) return;
  if (channel.refusals <= kMaxResends) {
    channel.resendDue = true;
    return;
  }
  channel.refusals = 0;
  if (Acknowledged(request.messageId)) AwaitAck(channel, request.messageId, 1);
}

void Answers::AnswerRead(Channel& channel, const Header& request) {
  const std::uint16_t id = request.messageId;
  const std::uint8_t mode = request.mode;
  const Faults& faults = options_.faults;
  if (faults.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(faults.delayMs));
  if (TakeFault(faultsLeft_.refuseCount, false)) {
    channel.Say(Format("request 0x%04X refused (result 0)", id));
    Refuse(channel, request);
    return;
  }
  if (faults.specialError != 0 && TakeFault(faultsLeft_.specialErrorCount, faults.specialErrorCount == 0)) {
    channel.refusals = 0;
    channel.Say(Format("request 0x%04X answered with special error %d", id, faults.specialError));
    if (SendHeaderOnly(channel, mode, id, static_cast<std::uint8_t>(faults.specialError)) && Acknowledged(id))
      AwaitAck(channel, id, 1);
    return;
  }
  Table table;
  std::size_t perPacket = 0;
  if (tables_.Read(id, table) == 1 && table.recordLength > 0)
    perPacket = kMaxBodyBytes / table.recordLength * table.recordLength;
  std::size_t total = table.rows.size();
  std::size_t count = perPacket == 0 || total == 0 ? 1 : (total + perPacket - 1) / perPacket;
  if (perPacket == 0 || count > kLastSequence) {
    channel.Say(Format("request 0x%04X refused: no PGC table of this system answers it", id));
    Refuse(channel, request);
    return;
  }
  channel.refusals = 0;
  bool spoil =
      faults.malformed != Malformed::kNone && TakeFault(faultsLeft_.malformedCount, faults.malformedCount == 0);
  int acks = 0;
  for (std::size_t k = 0; k < count; ++k) {
    std::size_t offset = k * perPacket;
    std::size_t bodyLength = std::min(perPacket, total - offset);
    Header h;
    h.mode = mode;
    h.messageId = id;
    h.finalNibble = k + 1 == count ? 0xF : 0;
    h.sequence = static_cast<std::uint16_t>(k + 1);
    h.recordLength = static_cast<std::uint8_t>(table.recordLength);
    h.result = kResultDone;
    PacketBytes packet;
    std::size_t length = MakePacket(h, table.rows.data() + offset, bodyLength, packet);
    bool spoiled = spoil && Spoil(faults.malformed, packet, k, count);
    if (!channel.Send(packet.data(), length)) return;
    if (spoiled) {
      channel.Say(Format("read 0x%04X: packet %zu sent malformed (%s), answer abandoned", id, k + 1,
                         MalformedName(faults.malformed)));
      return;
    }
    if (Acknowledged(id) && (h.sequence % kAckEvery == 0 || h.final())) {
      if (!AwaitAck(channel, id, h.sequence)) {
        channel.Say(Format("read 0x%04X: no acknowledgement after packet %zu, answer abandoned", id, k + 1));
        return;
      }
      ++acks;
    }
  }
  channel.Say(Format("read 0x%04X PGC%s: %zu rows of %d bytes in %zu packets, %d acknowledged", id,
                     PGCNumberOfMessage(id).c_str(), total / table.recordLength, table.recordLength, count, acks));
}

bool Answers::AwaitAck(Channel& channel, std::uint16_t messageId, int sequence) {
  PacketBytes packet{};
  std::size_t length = 0;
  Receipt rc = channel.Receive(packet, length, options_.ackTimeoutMs);
  if (rc == Receipt::kMalformed) {
    Violation(channel, channel.problem + " where the acknowledgement was due, link dropped");
    channel.Drop();
  }
  if (rc == Receipt::kTimedOut)
    Violation(channel, Format("no acknowledgement of packet %d of 0x%04X within %d ms", sequence, messageId,
                              options_.ackTimeoutMs));
  if (rc != Receipt::kPacket) return false;
  Header h = ParseHeader(packet.data());
  if (h.result != kResultDone || h.messageId != messageId) {
    // Not an acknowledgement at all: a real system would not take it for a
    // new request in the middle of its answer either.
    Violation(channel, Format("%s where the acknowledgement of packet %d of 0x%04X was due", Describe(h).c_str(),
                              sequence, messageId));
    return false;
  }
  std::string wrong;
  if (!KnownMode(h.mode)) wrong += Format(", mode 0x%02X", h.mode);
  if (h.length != kHeaderBytes) wrong += Format(", length %d", h.length);
  if (h.sequence != 1 || !h.final()) wrong += Format(", sequence %d%s", h.sequence, h.final() ? " final" : "");
  if (h.recordLength != 0) wrong += Format(", record length %d", h.recordLength);
  if (!wrong.empty())
    Violation(channel, Format("acknowledgement of 0x%04X:%s (a header-only packet, sequence 1, final, record "
                              "length 0)",
                              messageId, wrong.substr(1).c_str()));
  return !channel.dropped;
}

bool Answers::SendHeaderOnly(Channel& channel, std::uint8_t mode, std::uint16_t messageId, std::uint8_t result,
                             std::uint8_t recordLength) {
  Header h;
  h.mode = mode;
  h.messageId = messageId;
  h.recordLength = recordLength;
  h.result = result;
  PacketBytes packet;
  std::size_t length = MakePacket(h, nullptr, 0, packet);
  return channel.Send(packet.data(), length);
}

}  // namespace sim
