#include "sim/simulator.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>

#include "frame/log.h"
#include "platform/tcp_listen.h"

namespace sim {

struct Simulator::Link : Channel {
  explicit Link(Simulator& owner) : owner(owner) {}

  bool Send(const std::uint8_t* packet, std::size_t length) override;
  Receipt Receive(PacketBytes& packet, std::size_t& length, int timeoutMs) override;
  bool Intercept(const std::uint8_t* packet, std::size_t length) override;
  void Drop() override { owner.Drop(*this); }
  void Say(const std::string& text, bool always = false) override { owner.Say(*this, text, always); }

  Simulator& owner;
  platform::Socket socket;
  int id = 0;
  std::uint16_t port = 0;
  bool takeoverPort = false;
  int packetsSent = 0;  // written only by the link's own thread
  std::atomic<bool> finished{false};  // set by the link's thread as its last step
};

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 50;
constexpr int kSendTimeoutMs = 5000;

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

ReadResult ReadPacket(int fd, PacketBytes& packet, std::size_t& length, int timeoutMs,
                      const std::atomic<bool>& stopping, std::string& problem) {
  ReadResult rc = ReadExact(fd, packet.data(), kHeaderBytes, timeoutMs, stopping);
  if (rc != kRead) return rc;
  Header h = ParseHeader(packet.data());
  if (h.type != kSxmType) {
    problem = Format("packet type 0x%02X", h.type);
    return kBadHeader;
  }
  if (h.length < kHeaderBytes || h.length > kMaxPacketBytes) {
    problem = Format("packet length %d", h.length);
    return kBadHeader;
  }
  if (h.length > kHeaderBytes) {
    rc = ReadExact(fd, packet.data() + kHeaderBytes, h.bodyLength(), timeoutMs, stopping);
    if (rc != kRead) return rc;
  }
  length = h.length;
  return kRead;
}

}  // namespace

Simulator::Simulator(const Options& options) : options_(options), answers_(options) {}

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
    auto link = std::make_shared<Link>(*this);
    link->socket = platform::Socket(fd);
    link->port = static_cast<std::uint16_t>(options_.basePort + (takeoverPort ? 1 : 0));
    link->takeoverPort = takeoverPort;
    platform::SetNoDelay(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_.load()) return;
    link->id = nextLinkId_++;
    if (!takeoverPort && holder_) {
      PacketBytes reject;
      std::size_t length = MakeRejectPacket(reject);
      platform::SendAll(fd, reject.data(), length, kSendTimeoutMs);
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
  answers_.Serve(*link);
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

bool Simulator::Link::Intercept(const std::uint8_t* packet, std::size_t) {
  std::uint16_t id = ParseHeader(packet).messageId;
  if (id == kLinkControlMessage) {
    owner.LinkControl(*this);
    return true;
  }
  if (owner.Holds(*this)) return false;
  Say(Format("packet 0x%04X ignored: this link does not hold the system", id));
  return true;
}

Receipt Simulator::Link::Receive(PacketBytes& packet, std::size_t& length, int timeoutMs) {
  switch (ReadPacket(socket.fd(), packet, length, timeoutMs, owner.stopping_, problem)) {
    case kRead: return Receipt::kPacket;
    case kTimedOut: return Receipt::kTimedOut;
    case kBadHeader: return Receipt::kMalformed;
    case kClosed: break;
  }
  return Receipt::kClosed;
}

bool Simulator::Link::Send(const std::uint8_t* bytes, std::size_t length) {
  if (platform::SendAll(socket.fd(), bytes, length, kSendTimeoutMs) != 0) return false;
  int limit = owner.options_.faults.closeAfterPackets;
  if (limit > 0 && ++packetsSent >= limit) {
    Say(Format("link dropped after %d packets", limit));
    Drop();
  }
  return !dropped;
}

void Simulator::Drop(Link& link) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (holder_.get() == &link) holder_.reset();
  }
  platform::ShutdownBoth(link.socket.fd());
  link.dropped = true;
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

void Simulator::Say(const Link& link, const std::string& text, bool always) {
  if (!options_.console && !always) return;
  // The time of day to the millisecond, to set beside COMM's log.
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  Console("\n%02d:%02d:%02d.%03d %s link %d (port %u): %s", local.tm_hour, local.tm_min, local.tm_sec,
          static_cast<int>(ms), options_.address.c_str(), link.id, static_cast<unsigned>(link.port), text.c_str());
}

}  // namespace sim
