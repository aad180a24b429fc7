#include "sim/simulator.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "frame/log.h"
#include "platform/tcp_listen.h"
#include "system/sxm_format.h"

namespace sim {

struct Simulator::Link {
  platform::Socket socket;
  int id = 0;
  std::uint16_t port = 0;
  bool takeoverPort = false;
  // Written only by the link's own thread.
  int packetsSent = 0;
  bool dropped = false;
  sxm::ReceiveState writeState;
  Table writing;
  bool writeBroken = false;
  // A request that came where an acknowledgement was awaited: served next.
  sxm::Packet pending{};
  std::size_t pendingLength = 0;
  std::atomic<bool> finished{false};  // set by the link's thread as its last step
};

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 50;
constexpr int kSendTimeoutMs = 5000;
constexpr int kWaitForever = -1;

enum ReadResult { kRead = 1, kClosed = 0, kTimedOut = -1, kBadHeader = -2 };

// Exactly `count` bytes, or the reason there are none.
ReadResult ReadExact(int fd, std::uint8_t* buffer, std::size_t count, int timeoutMs,
                     const std::atomic<bool>& stopping) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::size_t got = 0;
  while (got < count) {
    if (stopping.load()) return kClosed;
    int ready = platform::WaitReadable(fd, kPollMs);
    if (ready < 0) return kClosed;
    if (ready == 0) {
      if (timeoutMs != kWaitForever && Clock::now() >= deadline) return kTimedOut;
      continue;
    }
    long n = platform::ReceiveSome(fd, buffer + got, count - got);
    if (n == 0) return kClosed;
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return kClosed;
    }
    got += static_cast<std::size_t>(n);
  }
  return kRead;
}

ReadResult ReadPacket(int fd, sxm::Packet& packet, std::size_t& length, int timeoutMs,
                      const std::atomic<bool>& stopping) {
  ReadResult rc = ReadExact(fd, packet.data(), sxm::kHeaderSize, timeoutMs, stopping);
  if (rc != kRead) return rc;
  std::size_t bodyLength = 0;
  if (sxm::CheckHeader(packet.data(), sxm::kHeaderSize, bodyLength) != sxm::kHeaderOk) return kBadHeader;
  if (bodyLength > 0) {
    rc = ReadExact(fd, packet.data() + sxm::kHeaderSize, bodyLength, timeoutMs, stopping);
    if (rc != kRead) return rc;
  }
  length = sxm::kHeaderSize + bodyLength;
  return kRead;
}

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

Simulator::Simulator(const Options& options)
    : options_(options), tables_(options.identity, options.rowsPerTable), faultsLeft_(options.faults) {}

Simulator::~Simulator() { Stop(); }

int Simulator::Start(std::string& error) {
  for (int i = 0; i < 2; ++i) {
    int fd = platform::ListenOnAddress(options_.address, static_cast<std::uint16_t>(options_.basePort + i), error);
    if (fd < 0) {
      listeners_[0].Close();
      return 0;
    }
    listeners_[i] = platform::Socket(fd);
  }
  for (int i = 0; i < 2; ++i) acceptors_[i] = std::thread(&Simulator::AcceptLoop, this, listeners_[i].fd(), i == 1);
  return 1;
}

void Simulator::Stop() {
  stopping_ = true;
  for (auto& t : acceptors_)
    if (t.joinable()) t.join();
  std::vector<std::pair<std::shared_ptr<Link>, std::thread>> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& link : links_) platform::ShutdownBoth(link->socket.fd());
    threads.swap(threads_);
  }
  for (auto& entry : threads) entry.second.join();
  for (auto& l : listeners_) l.Close();
}

void Simulator::AcceptLoop(int listener, bool takeoverPort) {
  while (!stopping_.load()) {
    if (platform::WaitReadable(listener, kPollMs) != 1) continue;
    int fd = platform::Accept(listener);
    if (fd < 0) continue;
    auto link = std::make_shared<Link>();
    link->socket = platform::Socket(fd);
    link->port = static_cast<std::uint16_t>(options_.basePort + (takeoverPort ? 1 : 0));
    link->takeoverPort = takeoverPort;
    platform::SetNoDelay(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_.load()) return;
    link->id = nextLinkId_++;
    if (!takeoverPort && holder_) {
      const auto& reject = sxm::RejectPacket();
      platform::SendAll(fd, reject.data(), reject.size(), kSendTimeoutMs);
      Say(*link, Format("second client rejected: link %d holds the system", holder_->id));
      continue;  // the link's socket closes here, after the reject packet
    }
    if (!takeoverPort) holder_ = link;
    Say(*link, takeoverPort ? "connected (takeover port)" : "connected, holds the system");
    JoinFinishedLinks();
    links_.push_back(link);
    threads_.emplace_back(link, std::thread(&Simulator::Serve, this, link));
  }
}

void Simulator::Serve(std::shared_ptr<Link> link) {
  for (;;) {
    sxm::Packet packet{};
    std::size_t length = 0;
    ReadResult rc = kRead;
    if (link->pendingLength > 0) {
      packet = link->pending;
      length = link->pendingLength;
      link->pendingLength = 0;
    } else {
      rc = ReadPacket(link->socket.fd(), packet, length, kWaitForever, stopping_);
    }
    if (rc == kBadHeader) Say(*link, "malformed packet from the client, link dropped");
    if (rc != kRead) break;
    Dispatch(*link, packet.data(), length);
    if (link->dropped) break;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (holder_ == link) holder_.reset();
    links_.erase(std::remove(links_.begin(), links_.end(), link), links_.end());
  }
  Say(*link, "link closed");
  link->socket.Close();
  link->finished = true;
}

// A finished thread keeps its stack until it is joined; a simulator that
// serves many connections must not collect them. Called with mutex_ held.
void Simulator::JoinFinishedLinks() {
  auto done = std::partition(threads_.begin(), threads_.end(), [](const auto& e) { return !e.first->finished.load(); });
  for (auto it = done; it != threads_.end(); ++it) it->second.join();
  threads_.erase(done, threads_.end());
}

bool Simulator::Holds(const Link& link) {
  std::lock_guard<std::mutex> lock(mutex_);
  return holder_.get() == &link;
}

void Simulator::Dispatch(Link& link, const std::uint8_t* packet, std::size_t length) {
  std::uint16_t id = sxm::MessageIdOf(packet);
  std::uint8_t mode = packet[sxm::kMode];
  if (sxm::IsFFFFPacket(packet)) {
    SendHeaderOnly(link, mode, sxm::kKeepAliveId, sxm::kResultAck);
    Say(link, "FF FF answered");
    return;
  }
  if (id == sxm::kLinkControlId) return LinkControl(link);
  if (!Holds(link)) {
    Say(link, Format("packet 0x%04X ignored: this link does not hold the system", id));
    return;
  }
  if (id == options_.restartId) {
    ++restarts_;
    Say(link, Format("restart packet 0x%04X: the system restarts, link dropped", id));
    std::lock_guard<std::mutex> lock(mutex_);
    holder_.reset();
    platform::ShutdownBoth(link.socket.fd());
    link.dropped = true;
    return;
  }
  // The link check and the fixed commands go out with the slot's mode byte,
  // which may say write; they carry neither rows nor a record length. A write
  // of no rows (an emptied table) still names its record length.
  bool write = (mode == sxm::kModeWrite || mode == sxm::kModeUpload) && id != sxm::kLinkCheckId &&
               (length > sxm::kHeaderSize || packet[sxm::kRecordLength] != 0);
  if (write)
    TakeWrite(link, packet, length);
  else
    AnswerRead(link, packet);
}

void Simulator::LinkControl(Link& link) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (holder_.get() == &link) {
    holder_.reset();
    Say(link, "link control: the system is released");
    return;
  }
  if (!link.takeoverPort) {
    Say(link, "link control ignored: this link does not hold the system");
    return;
  }
  auto self = std::find_if(links_.begin(), links_.end(), [&](const auto& l) { return l.get() == &link; });
  if (self == links_.end()) return;
  std::shared_ptr<Link> old = holder_;
  holder_ = *self;
  if (old) {
    platform::ShutdownBoth(old->socket.fd());
    Say(link, Format("takeover: the system is taken over from link %d", old->id));
  } else {
    Say(link, "takeover: the system was free");
  }
}

bool Simulator::TakeFault(int& left, bool every) {
  if (every) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  if (left <= 0) return false;
  --left;
  return true;
}

void Simulator::TakeWrite(Link& link, const std::uint8_t* packet, std::size_t length) {
  std::uint16_t id = sxm::MessageIdOf(packet);
  std::uint8_t mode = packet[sxm::kMode];
  std::uint8_t recordLength = packet[sxm::kRecordLength];
  if (sxm::IsFirstPacket(packet)) {
    link.writeState = {};
    link.writing = Table{};
    link.writeBroken = false;
  }
  if (sxm::AcceptSequence(link.writeState, packet) != sxm::kSequenceOk || link.writeBroken) {
    link.writeBroken = true;
    SendHeaderOnly(link, mode, id, sxm::TVRL_MSG_NOK, recordLength);
    Say(link, Format("write 0x%04X refused: packets out of order", id));
    return;
  }
  link.writing.recordLength = recordLength;
  link.writing.rows.insert(link.writing.rows.end(), packet + sxm::kBody, packet + length);
  if (!sxm::IsFinalPacket(packet)) {
    SendHeaderOnly(link, mode, id, sxm::kResultAck, recordLength);
    return;
  }
  std::size_t bytes = link.writing.rows.size();
  std::string pgcNo = PGCNumberOfMessage(id);
  if (pgcNo.empty() || recordLength == 0 || bytes % recordLength != 0) {
    SendHeaderOnly(link, mode, id, sxm::TVRL_MSG_NOK, recordLength);
    Say(link, Format("write 0x%04X refused: %zu bytes are no whole number of %d-byte rows of a known PGC", id,
                     bytes, recordLength));
    return;
  }
  tables_.Write(id, std::move(link.writing));
  link.writing = Table{};
  SendHeaderOnly(link, mode, id, sxm::kResultAck, recordLength);
  Say(link, Format("write 0x%04X PGC%s: %zu rows of %d bytes kept", id, pgcNo.c_str(), bytes / recordLength,
                   recordLength));
}

void Simulator::AnswerRead(Link& link, const std::uint8_t* header) {
  std::uint16_t id = sxm::MessageIdOf(header);
  std::uint8_t mode = header[sxm::kMode];
  const Faults& faults = options_.faults;
  if (faults.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(faults.delayMs));
  if (TakeFault(faultsLeft_.refuseCount, false)) {
    SendHeaderOnly(link, mode, id, sxm::TVRL_MSG_NOK);
    Say(link, Format("request 0x%04X refused (result 0)", id));
    return;
  }
  if (faults.specialError != 0 && TakeFault(faultsLeft_.specialErrorCount, faults.specialErrorCount == 0)) {
    SendHeaderOnly(link, mode, id, static_cast<std::uint8_t>(faults.specialError));
    Say(link, Format("request 0x%04X answered with special error %d", id, faults.specialError));
    return;
  }
  Table table;
  std::size_t perPacket = 0;
  if (tables_.Read(id, table) == 1 && table.recordLength > 0)
    perPacket = sxm::kMaxBody / table.recordLength * table.recordLength;
  std::size_t total = table.rows.size();
  std::size_t count = perPacket == 0 || total == 0 ? 1 : (total + perPacket - 1) / perPacket;
  if (perPacket == 0 || count > sxm::kMaxSequence) {
    SendHeaderOnly(link, mode, id, sxm::TVRL_MSG_NOK);
    Say(link, Format("request 0x%04X refused: no PGC table of this system answers it", id));
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
    if (!SendPacket(link, packet.data(), length) || link.dropped) return;
    if (spoiled) {
      Say(link, Format("read 0x%04X: packet %zu sent malformed (%s), answer abandoned", id, k + 1,
                       MalformedName(faults.malformed)));
      return;
    }
    if (acknowledged && (sxm::IsTenthPacket(packet.data()) || fields.final)) {
      if (!AwaitAck(link, id)) {
        Say(link, Format("read 0x%04X: no acknowledgement after packet %zu, answer abandoned", id, k + 1));
        return;
      }
      ++acks;
    }
  }
  Say(link, Format("read 0x%04X PGC%s: %zu rows of %d bytes in %zu packets, %d acknowledged", id,
                   PGCNumberOfMessage(id).c_str(), total / table.recordLength, table.recordLength, count, acks));
}

bool Simulator::AwaitAck(Link& link, std::uint16_t messageId) {
  sxm::Packet packet{};
  std::size_t length = 0;
  ReadResult rc = ReadPacket(link.socket.fd(), packet, length, options_.ackTimeoutMs, stopping_);
  if (rc == kBadHeader) {
    Say(link, "malformed packet from the client, link dropped");
    platform::ShutdownBoth(link.socket.fd());
    link.dropped = true;
  }
  if (rc != kRead) return false;
  if (sxm::MessageIdOf(packet.data()) == messageId && packet[sxm::kResult] == sxm::kResultAck) return true;
  // COMM gave the answer up (a failed store or relay) and asks anew: the
  // answer ends here and the new request is served.
  link.pending = packet;
  link.pendingLength = length;
  return false;
}

bool Simulator::SendPacket(Link& link, const std::uint8_t* bytes, std::size_t length) {
  if (platform::SendAll(link.socket.fd(), bytes, length, kSendTimeoutMs) != 0) return false;
  int limit = options_.faults.closeAfterPackets;
  if (limit > 0 && ++link.packetsSent >= limit) {
    Say(link, Format("link dropped after %d packets", limit));
    platform::ShutdownBoth(link.socket.fd());
    link.dropped = true;
  }
  return true;
}

bool Simulator::SendHeaderOnly(Link& link, std::uint8_t mode, std::uint16_t messageId, std::uint8_t result,
                               std::uint8_t recordLength) {
  sxm::Fields fields;
  fields.mode = mode;
  fields.messageId = messageId;
  fields.recordLength = recordLength;
  fields.result = result;
  sxm::Packet packet;
  std::size_t length = 0;
  sxm::BuildPacket(fields, nullptr, 0, packet, length);
  return SendPacket(link, packet.data(), length);
}

void Simulator::Say(const Link& link, const std::string& text) {
  if (options_.console) Console("\nlink %d (port %u): %s", link.id, static_cast<unsigned>(link.port), text.c_str());
}

}  // namespace sim
