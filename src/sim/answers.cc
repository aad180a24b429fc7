#include "sim/answers.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "frame/log.h"

namespace sim {
namespace {

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
bool Spoil(Malformed kind, sxm::Packet& packet, std::size_t index, std::size_t count) {
  std::uint8_t* h = packet.data();
  std::uint16_t finalBits = sxm::Get16(h + sxm::kFinalSeq) & sxm::kFinalBits;
  switch (kind) {
    case Malformed::kWrongType:
      if (index != 0) return false;
      h[sxm::kType] = sxm::kPacketType + 1;
      return true;
    case Malformed::kShortLength:
      if (index != 0) return false;
      sxm::Put16(h + sxm::kLength, sxm::kHeaderSize - 1);
      return true;
    case Malformed::kLongLength:
      if (index != 0) return false;
      sxm::Put16(h + sxm::kLength, sxm::kMaxPacket + 1);
      return true;
    case Malformed::kSequenceGap:
      if (index != (count == 1 ? 0u : 1u)) return false;
      sxm::Put16(h + sxm::kFinalSeq, static_cast<std::uint16_t>(finalBits | (index + 2)));
      return true;
    case Malformed::kMessageIdChange:
      if (count == 1 || index != 1) return false;
      sxm::Put16(h + sxm::kMessageId, static_cast<std::uint16_t>(sxm::MessageIdOf(h) + 1));
      return true;
    case Malformed::kNone: break;
  }
  return false;
}

}  // namespace

Answers::Answers(const Options& options)
    : options_(options), tables_(options.identity, options.rowsPerTable), faultsLeft_(options.faults) {}

void Answers::Serve(Channel& channel) {
  for (;;) {
    sxm::Packet packet{};
    std::size_t length = 0;
    Receipt rc = Receipt::kPacket;
    if (channel.pendingLength > 0) {
      packet = channel.pending;
      length = channel.pendingLength;
      channel.pendingLength = 0;
    } else {
      rc = channel.Receive(packet, length, kWaitForever);
    }
    if (rc == Receipt::kMalformed) channel.Say("malformed packet from the client, link dropped");
    if (rc != Receipt::kPacket) break;
    Dispatch(channel, packet.data(), length);
    if (channel.dropped) break;
  }
}

void Answers::Dispatch(Channel& channel, const std::uint8_t* packet, std::size_t length) {
  std::uint16_t id = sxm::MessageIdOf(packet);
  std::uint8_t mode = packet[sxm::kMode];
  if (sxm::IsFFFFPacket(packet)) {
    SendHeaderOnly(channel, mode, sxm::kKeepAliveId, sxm::kResultAck);
    channel.Say("FF FF answered");
    return;
  }
  if (channel.Intercept(packet, length)) return;
  // COMM acknowledges the last packet of an answer it refused or gave up
  // (a sixth refusal, a special error): nothing awaits it, and it asks for nothing.
  if (length == sxm::kHeaderSize && packet[sxm::kResult] == sxm::kResultAck) {
    channel.Say(Format("acknowledgement of 0x%04X after the answer ended, ignored", id));
    return;
  }
  if (id == options_.restartId) {
    ++restarts_;
    channel.Say(Format("restart packet 0x%04X: the system restarts, link dropped", id));
    channel.Drop();
    return;
  }
  // The link check and the fixed commands go out with the slot's mode byte,
  // which may say write; they carry neither rows nor a record length. A write
  // of no rows (an emptied table) still names its record length.
  bool write = (mode == sxm::kModeWrite || mode == sxm::kModeUpload) && id != sxm::kLinkCheckId &&
               (length > sxm::kHeaderSize || packet[sxm::kRecordLength] != 0);
  if (write)
    TakeWrite(channel, packet, length);
  else
    AnswerRead(channel, packet);
}

bool Answers::TakeFault(int& left, bool every) {
  if (every) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  if (left <= 0) return false;
  --left;
  return true;
}

void Answers::TakeWrite(Channel& channel, const std::uint8_t* packet, std::size_t length) {
  std::uint16_t id = sxm::MessageIdOf(packet);
  std::uint8_t mode = packet[sxm::kMode];
  std::uint8_t recordLength = packet[sxm::kRecordLength];
  if (sxm::IsFirstPacket(packet)) {
    channel.writeState = {};
    channel.writing = Table{};
    channel.writeBroken = false;
  }
  if (sxm::AcceptSequence(channel.writeState, packet) != sxm::kSequenceOk || channel.writeBroken) {
    channel.writeBroken = true;
    SendHeaderOnly(channel, mode, id, sxm::TVRL_MSG_NOK, recordLength);
    channel.Say(Format("write 0x%04X refused: packets out of order", id));
    return;
  }
  channel.writing.recordLength = recordLength;
  channel.writing.rows.insert(channel.writing.rows.end(), packet + sxm::kBody, packet + length);
  if (!sxm::IsFinalPacket(packet)) {
    SendHeaderOnly(channel, mode, id, sxm::kResultAck, recordLength);
    return;
  }
  std::size_t bytes = channel.writing.rows.size();
  std::string pgcNo = PGCNumberOfMessage(id);
  if (pgcNo.empty() || recordLength == 0 || bytes % recordLength != 0) {
    SendHeaderOnly(channel, mode, id, sxm::TVRL_MSG_NOK, recordLength);
    channel.Say(Format("write 0x%04X refused: %zu bytes are no whole number of %d-byte rows of a known PGC", id,
                       bytes, recordLength));
    return;
  }
  tables_.Write(id, std::move(channel.writing));
  channel.writing = Table{};
  SendHeaderOnly(channel, mode, id, sxm::kResultAck, recordLength);
  channel.Say(Format("write 0x%04X PGC%s: %zu rows of %d bytes kept", id, pgcNo.c_str(), bytes / recordLength,
                     recordLength));
}

void Answers::AnswerRead(Channel& channel, const std::uint8_t* header) {
  std::uint16_t id = sxm::MessageIdOf(header);
  std::uint8_t mode = header[sxm::kMode];
  const Faults& faults = options_.faults;
  if (faults.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(faults.delayMs));
  if (TakeFault(faultsLeft_.refuseCount, false)) {
    SendHeaderOnly(channel, mode, id, sxm::TVRL_MSG_NOK);
    channel.Say(Format("request 0x%04X refused (result 0)", id));
    return;
  }
  if (faults.specialError != 0 && TakeFault(faultsLeft_.specialErrorCount, faults.specialErrorCount == 0)) {
    SendHeaderOnly(channel, mode, id, static_cast<std::uint8_t>(faults.specialError));
    channel.Say(Format("request 0x%04X answered with special error %d", id, faults.specialError));
    return;
  }
  Table table;
  std::size_t perPacket = 0;
  if (tables_.Read(id, table) == 1 && table.recordLength > 0)
    perPacket = sxm::kMaxBody / table.recordLength * table.recordLength;
  std::size_t total = table.rows.size();
  std::size_t count = perPacket == 0 || total == 0 ? 1 : (total + perPacket - 1) / perPacket;
  if (perPacket == 0 || count > sxm::kMaxSequence) {
    SendHeaderOnly(channel, mode, id, sxm::TVRL_MSG_NOK);
    channel.Say(Format("request 0x%04X refused: no PGC table of this system answers it", id));
    return;
  }
  bool spoil =
      faults.malformed != Malformed::kNone && TakeFault(faultsLeft_.malformedCount, faults.malformedCount == 0);
  // COMM reads the link check and the link-control message without acknowledging.
  bool acknowledged = id != sxm::kLinkCheckId && id != sxm::kLinkControlId;
  int acks = 0;
  for (std::size_t k = 0; k < count; ++k) {
    std::size_t offset = k * perPacket;
    std::size_t bodyLength = std::min(perPacket, total - offset);
    sxm::Fields fields;
    fields.mode = mode;
    fields.messageId = id;
    fields.final = k + 1 == count;
    fields.sequence = static_cast<std::uint16_t>(k + 1);
    fields.recordLength = static_cast<std::uint8_t>(table.recordLength);
    fields.result = sxm::kResultAck;
    sxm::Packet packet;
    std::size_t length = 0;
    sxm::BuildPacket(fields, table.rows.data() + offset, bodyLength, packet, length);
    bool spoiled = spoil && Spoil(faults.malformed, packet, k, count);
    if (!channel.Send(packet.data(), length)) return;
    if (spoiled) {
      channel.Say(Format("read 0x%04X: packet %zu sent malformed (%s), answer abandoned", id, k + 1,
                         MalformedName(faults.malformed)));
      return;
    }
    if (acknowledged && (sxm::IsTenthPacket(packet.data()) || fields.final)) {
      if (!AwaitAck(channel, id)) {
        channel.Say(Format("read 0x%04X: no acknowledgement after packet %zu, answer abandoned", id, k + 1));
        return;
      }
      ++acks;
    }
  }
  channel.Say(Format("read 0x%04X PGC%s: %zu rows of %d bytes in %zu packets, %d acknowledged", id,
                     PGCNumberOfMessage(id).c_str(), total / table.recordLength, table.recordLength, count, acks));
}

bool Answers::AwaitAck(Channel& channel, std::uint16_t messageId) {
  sxm::Packet packet{};
  std::size_t length = 0;
  Receipt rc = channel.Receive(packet, length, options_.ackTimeoutMs);
  if (rc == Receipt::kMalformed) {
    channel.Say("malformed packet from the client, link dropped");
    channel.Drop();
  }
  if (rc != Receipt::kPacket) return false;
  if (sxm::MessageIdOf(packet.data()) == messageId && packet[sxm::kResult] == sxm::kResultAck) return true;
  // COMM gave the answer up (a failed store or relay) and asks anew: the
  // answer ends here and the new request is served.
  channel.pending = packet;
  channel.pendingLength = length;
  return false;
}

bool Answers::SendHeaderOnly(Channel& channel, std::uint8_t mode, std::uint16_t messageId, std::uint8_t result,
                             std::uint8_t recordLength) {
  sxm::Fields fields;
  fields.mode = mode;
  fields.messageId = messageId;
  fields.recordLength = recordLength;
  fields.result = result;
  sxm::Packet packet;
  std::size_t length = 0;
  sxm::BuildPacket(fields, nullptr, 0, packet, length);
  return channel.Send(packet.data(), length);
}

}  // namespace sim
