#include "system/tcp_link.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>

#include "db/odbc.h"
#include "frame/counters.h"
#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "platform/pause.h"
#include "platform/socket.h"
#include "platform/tcp_connect.h"
#include "web/web_timer.h"
#include "system/modem.h"
#include "system/serial_line.h"
#include "web/sxm_format.h"
#include "system/tcp_exchange.h"
#include "system/transfer.h"
#include "users/users.h"

namespace systemlink {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRetryPauseMs = 50;    // between connect attempts that failed at once
constexpr int kModemFailurePauseMs = 1000;

// The slot whose modem connect holds the serial port, -1 when none does.
// Written by the connecting and the disconnecting thread of that slot while
// the serial-port-in-use flag is set.
std::atomic<int> modemSlot{-1};

// A slot's accept or reject timer. Only the connecting thread of the slot
// starts, polls and stops it; the flags are atomics so that a status dump
// from another thread reads them safely.
struct LinkTimer {
  int durationMs = 0;
  Clock::time_point deadline{};
  std::atomic<int> timedOut{0};
  std::atomic<int> stopped{1};
};

std::array<LinkTimer, kSlotCount> acceptTimers;
std::array<LinkTimer, kSlotCount> rejectTimers;

std::atomic<int> acceptMs{kAcceptTimerMs};
std::atomic<int> rejectMs{0};  // 0: the default
std::atomic<int> portOverride{-1};
std::atomic<OldSlotRelease> oldSlotRelease{nullptr};
std::atomic<TakeoverRelease> takeoverRelease{nullptr};

// A number from the environment within low..high, else `fallback`.
int NumberFromEnvironment(const char* name, int fallback, long low, long high) {
  const char* text = std::getenv(name);
  if (text == nullptr) return fallback;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  return (end != text && *end == '\0' && value >= low && value <= high) ? static_cast<int>(value) : fallback;
}

int DefaultRejectMs() {
  static const int fromEnvironment = NumberFromEnvironment("TAVREL_REJECT_MS", kRejectTimerMs, 1, kRejectTimerMs);
  return fromEnvironment;
}

void StartTimer(LinkTimer& timer, int durationMs, bool accept, int varNum) {
  timer.durationMs = durationMs;
  timer.deadline = Clock::now() + std::chrono::milliseconds(durationMs);
  timer.timedOut.store(0);
  timer.stopped.store(0);
  if (accept)
    Console("\nWaiting for Accept from system for %d seconds. varNum = %d", durationMs / 1000, varNum);
  else
    Console("\nWaiting for Reject message for %d seconds, varNum = %d", durationMs / 1000, varNum);
}

void StopTimer(LinkTimer& timer, bool accept, int varNum) {
  if (timer.stopped.exchange(1) == 0 && timer.timedOut.load() == 0) {
    if (accept)
      Console("\nEXIT ACCEPT TIMER varNum = %d", varNum);
    else
      Console("\nEXIT REJECT TIMER ");
  }
}

// Milliseconds left before the deadline, 0 once it has passed. The first
// look past the deadline marks the timer as timed out.
int Remaining(LinkTimer& timer, bool accept, int varNum) {
  if (timer.timedOut.load()) return 0;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(timer.deadline - Clock::now()).count();
  if (left > 0) return static_cast<int>(left);
  if (timer.stopped.load() == 0) {
    ShowAllFlags();
    timer.timedOut.store(1);
    timer.stopped.store(1);
    if (accept)
      Console("\n%d second up --- waiting for accept. varNum = %d", timer.durationMs / 1000, varNum);
    else
      Console("\n%d second up --- waiting for reject, varNum = %d", timer.durationMs / 1000, varNum);
  }
  return 0;
}

bool TimedOut(LinkTimer& timer, bool accept, int varNum) { return Remaining(timer, accept, varNum) == 0; }

std::string AddressText(int linkType, const web::WebMsg& request) {
  const std::uint8_t* d = request.data;
  if (linkType == kLinkIPv4) {
    const std::uint8_t* a = d + kIPv4AddressAt;
    return Format("%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
  }
  const std::uint8_t* a = d + kIPv6AddressAt;
  return Format("%02X%02X:%02X%02X:%02X%02X:%02X%02X:%02X%02X:%02X%02X:%02X%02X:%02X%02X", a[0], a[1], a[2], a[3],
                a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11], a[12], a[13], a[14], a[15]);
}

std::string HexText(const std::uint8_t* bytes, long count) {
  std::string text;
  for (long i = 0; i < count; ++i) text += Format("%02X ", bytes[i]);
  return text;
}

int SetOptions(int fd, int varNum) {
  struct Step {
    int (*set)(int);
    const char* text;
  };
  static const Step steps[] = {
      {[](int s) { return platform::SetOobInline(s); }, "Winsock set SO_OOBINLINE option error when connect to system"},
      {[](int s) { return platform::SetSendTimeout(s, kSocketTimeoutMs); },
       "Winsock set SO_SNDTIMEO option error when connect to system"},
      {[](int s) { return platform::SetReceiveTimeout(s, kSocketTimeoutMs); },
       "Winsock set option error when connect to system"},
      {[](int s) { return platform::SetReuseAddress(s); }, "Winsock set reuse option error when connect to system"},
      {[](int s) { return platform::SetLingerZero(s); }, "Winsock set linger option error when connect to system"},
  };
  for (const Step& step : steps) {
    if (step.set(fd) != 0) {
      LogError(varNum, "SOCKET error", step.text);
      return SOCKET_SET_OPT_ERROR;
    }
  }
  if (platform::SetNonBlocking(fd) != 0) {
    LogError(varNum, "SOCKET error", "Winsock set non-Block error when connect to system");
    return SOCKET_SET_NONBLOCK_ERROR;
  }
  return RESULT_OK;
}

// Waits at most 5 s (and never past the accept deadline) for the connect to
// complete.
bool ConnectCompleted(int fd, int varNum) {
  int wait = std::min(kCompletionWaitMs, Remaining(acceptTimers[varNum], true, varNum));
  if (platform::WaitWritable(fd, wait) != 1) return false;
  return platform::PendingError(fd) == 0 && platform::IsConnected(fd);
}

void ConnectLoop(int fd, const platform::Endpoint& endpoint, int varNum) {
  if (platform::ConnectTo(fd, endpoint) == 0) return;
  for (;;) {
    if (ConnectCompleted(fd, varNum)) return;
    int left = Remaining(acceptTimers[varNum], true, varNum);
    if (left == 0) return;
    // A refused connect fails at once; do not hammer the system with retries.
    platform::PauseMs(std::min(left, kRetryPauseMs));
    if (platform::ConnectTo(fd, endpoint) == 0) return;
  }
}

// One 10-byte receive on the non-blocking socket, polled until it gives
// something or the reject timer runs out.
long PollRejectHead(int fd, std::uint8_t* head, int varNum) {
  for (;;) {
    long n = platform::ReceiveSome(fd, head, sxm::kHeaderSize);
    if (n >= 0) return n;
    int left = Remaining(rejectTimers[varNum], false, varNum);
    if (left == 0) return n;
    platform::WaitReadable(fd, left);
  }
}

// The body a header announced, received in one call once it is readable.
int ReceiveRejectBody(int fd, std::uint16_t bodyLength, int varNum) {
  std::uint8_t body[sxm::kMaxBody] = {};
  platform::WaitReadable(fd, kRejectTimerMs);
  long n = platform::ReceiveSome(fd, body, bodyLength);
  if (n < 0) {
    ReportSocketError(varNum, errno);
    LogError(varNum, "Socket error", "Receive message from system error");
    return SOCKET_RECV_ERROR;
  }
  if (n == 0) {
    LogError(varNum, "Socket error", "The socket has been cut down");
    return PEER_CLOSED;
  }
  LogBytes(varNum, "recv from system, body", body, static_cast<std::size_t>(n));
  Console("\n varNum = %d, %s", varNum, HexText(body, n).c_str());
  return CheckSystemBody(body, n, bodyLength, varNum);
}

// Request 12: any packet within the reject time is read; the reject packet
// ends the connect, any other starts the watch again.
int WatchForReject(int fd, int varNum) {
  for (;;) {
    Console("\nStart Reject Timer, varNum = %d", varNum);
    if (StartRejectTimer(varNum) != RESULT_OK) {
      LogError(varNum, "Thread error", Format("Error occurred when start reject timer IPv4, varNum = %d", varNum));
      return REJECT_TIMER_ERROR;
    }
    std::uint8_t head[sxm::kHeaderSize] = {};
    long n = PollRejectHead(fd, head, varNum);
    if (TimedOut(rejectTimers[varNum], false, varNum)) {
      LogDebug(varNum, "NOT recv from system(reject)");
      return RESULT_OK;
    }
    Console("\nStop Reject Timer, varNum = %d", varNum);
    if (StopRejectTimer(varNum) != RESULT_OK) LogError(varNum, "error", "stop reject timer failed.");
    LogBytes(varNum, "reject message from system", head, n > 0 ? static_cast<std::size_t>(n) : 0);
    Console("\n varNum = %d, %s", varNum, HexText(head, n).c_str());
    sxm::ReceiveState state;
    std::uint16_t bodyLength = 0;
    int result = CheckSystemHead(head, n, bodyLength, state, varNum);
    if (result != RESULT_OK) return result;
    if (bodyLength > 0) {
      result = ReceiveRejectBody(fd, bodyLength, varNum);
      if (result != RESULT_OK) return result;
    }
    if (sxm::IsRejectPacket(head)) {
      LogError(varNum, "Reject error", "recv reject message from system");
      return CONNECT_FAIL_USED;
    }
  }
}

int AcceptLink(int fd, int varNum) {
  Console("\nset to block connection");
  if (platform::SetBlocking(fd) != 0) {
    // The socket is closed by the caller, which holds it as the slot's: closing
    // it here as well could close a descriptor another thread has been given since.
    LogError(varNum, "Socket error", "Connect set block error when connect to system");
    return SOCKET_SET_BLOCK_ERROR;
  }
  Console("\nreturn SUCCESS");
  return RESULT_OK;
}

// The link a takeover leaves behaves as one a connect leaves: blocking, so
// that an answer the system starts late is still waited for.
int TakeOver(int fd, const web::WebMsg& request, int varNum) {
  int result = SendToSystem(fd, request, {.messageId = sxm::kLinkControlId}, varNum);
  if (result != RESULT_OK) return result;
  TakeoverRelease release = takeoverRelease.load();
  result = release ? release(request, varNum) : ReleaseOldUser(request, varNum);
  if (result != RESULT_OK) return result;
  return AcceptLink(fd, varNum);
}

// What follows a completed TCP connect, on both address families.
int AfterConnect(int fd, const std::string& addressText, const web::WebMsg& request, std::uint16_t requestId,
                 int varNum) {
  if (acceptTimers[varNum].timedOut.load()) {
    ReportSocketError(varNum, errno);
    LogError(varNum, "Socket error", "Connect fail error when connect to system");
    return CONNECT_FAIL_LINK;
  }
  Console("\nconnect to %s OK", addressText.c_str());
  Console("\nStop Accept timer, varNum = %d", varNum);
  if (StopAcceptTimer(varNum) != RESULT_OK) LogError(varNum, "error", "stop accept timer failed.");
  if (requestId != kConnectRequest) return TakeOver(fd, request, varNum);
  int result = WatchForReject(fd, varNum);
  if (result != RESULT_OK) return result;
  return AcceptLink(fd, varNum);
}

std::uint16_t PortFor(std::uint16_t requestId, int varNum) {
  std::uint16_t port = static_cast<std::uint16_t>(SystemPort() + (requestId == kConnectRequest ? 0 : 1));
  LogDebug(varNum, Format("\nuse port: %d", port));
  return port;
}

int AddressError(int varNum) {
  LogError(varNum, "SOCKET error", "Socket IP address is error when connect to system");
  return SOCKET_IP_ADDRESS_ERROR;
}

int StartAccept(int varNum, const char* family) {
  Console("\nStart Accept Timer, varNum = %d", varNum);
  if (StartAcceptTimer(varNum) != RESULT_OK) {
    LogError(varNum, "Thread error", Format("Error occurred when start accept timer %s, varNum = %d", family, varNum));
    return ACCEPT_TIMER_ERROR;
  }
  return RESULT_OK;
}

int ConnectIPv4(int& systemSocket, const std::string& addressText, const web::WebMsg& request,
                std::uint16_t requestId, int varNum) {
  systemSocket = platform::CreateTcpSocket(platform::FamilyIPv4());
  if (systemSocket < 0) {
    LogError(varNum, "SOCKET error", "Winsock create error when connect to system");
    return SOCKET_CREATE_ERROR;
  }
  int result = SetOptions(systemSocket, varNum);
  if (result != RESULT_OK) return result;
  std::uint16_t port = PortFor(requestId, varNum);
  platform::Endpoint endpoint;
  if (platform::ParseIPv4Endpoint(addressText, port, endpoint) != 0) return AddressError(varNum);
  result = StartAccept(varNum, "IPv4");
  if (result != RESULT_OK) return result;
  ConnectLoop(systemSocket, endpoint, varNum);
  return AfterConnect(systemSocket, addressText, request, requestId, varNum);
}

int ConnectIPv6(int& systemSocket, const std::string& addressText, const web::WebMsg& request,
                std::uint16_t requestId, int varNum) {
  std::uint16_t port = static_cast<std::uint16_t>(SystemPort() + (requestId == kConnectRequest ? 0 : 1));
  platform::Endpoint endpoint;
  if (platform::ResolveIPv6Endpoint(addressText, std::to_string(port), endpoint) != 0) return AddressError(varNum);
  PortFor(requestId, varNum);
  systemSocket = platform::CreateSocket(endpoint.family, endpoint.socktype, endpoint.protocol);
  if (systemSocket < 0) {
    ReportSocketError(varNum, errno);
    LogError(varNum, "Socket error", "Create socket error when connect to system");
    return CONNECT_FAIL_LINK;
  }
  int result = SetOptions(systemSocket, varNum);
  if (result != RESULT_OK) return result;
  result = StartAccept(varNum, "IPv6");
  if (result != RESULT_OK) return result;
  ConnectLoop(systemSocket, endpoint, varNum);
  return AfterConnect(systemSocket, addressText, request, requestId, varNum);
}

// Closes the process's serial port. The port is free again once its
// descriptor is gone, even when the close reported a failure. 1; 144.
int CloseModemPort(int varNum) {
  serial::SerialLine& line = serial::ProcessSerialLine();
  int result = line.Close(varNum);
  if (!line.open()) {
    modemSlot.store(-1);
    serial::SerialPortInUse().store(0);
  }
  if (result != RESULT_OK) {
    LogError(varNum, "Modem error", "Close Modem connection error");
    return SERIAL_CLOSE_ERROR;
  }
  return RESULT_OK;
}

int ConnectModem(const web::WebMsg& request, int varNum) {
  // Claiming the port is one step, so that two slots dialling at the same
  // moment cannot both open it.
  int free = 0;
  if (!serial::SerialPortInUse().compare_exchange_strong(free, 1)) {
    LogError(varNum, "Modem error", "SIO port is used now, please try again later");
    return SERIAL_PORT_IN_USE;
  }
  std::string dial = modem::DialString(request);
  LogDebug(varNum, Format("connect with modem to system: %s\n", dial.c_str()));
  int result = modem::ModemConnect(dial, varNum, request.data[modem::kPortAt], request.data[modem::kSpeedAt]);
  if (result == RESULT_OK) {
    modemSlot.store(varNum);
    return RESULT_OK;
  }
  LogDebug(varNum, "connect with modem to system failed");
  if (result != SERIAL_OPEN_ERROR) {
    int closed = CloseModemPort(varNum);
    if (closed != RESULT_OK) return closed;
  }
  serial::SerialPortInUse().store(0);
  platform::PauseMs(kModemFailurePauseMs);
  return result;
}

// A slot can hold the port without its serial-line flag: a takeover over a
// modem leaves the flag clear, and a connect that fails after dialling gives
// the link up before request handling sets it.
bool HoldsModemPort(int varNum) { return modemSlot.load() == varNum && serial::ProcessSerialLine().open(); }

}  // namespace

std::string LinkOverridesLine() {
  std::string line;
  if (std::getenv("TAVREL_SYSTEM_PORT") != nullptr) {
    line += Format("TAVREL_SYSTEM_PORT is set: the system is reached on port %d (takeover %d)", SystemPort(),
                   SystemPort() + 1);
  }
  if (std::getenv("TAVREL_REJECT_MS") != nullptr) {
    if (!line.empty()) line += "; ";
    line += Format("TAVREL_REJECT_MS is set: the reject watch lasts %d ms", DefaultRejectMs());
  }
  return line;
}

void SetSystemPort(std::uint16_t basePort) { portOverride.store(basePort); }

std::uint16_t SystemPort() {
  static const int fromEnvironment = NumberFromEnvironment("TAVREL_SYSTEM_PORT", kSystemPort, 1, 65534);
  int port = portOverride.load();
  return static_cast<std::uint16_t>(port > 0 ? port : fromEnvironment);
}

void SetLinkTimers(int accept, int reject) {
  acceptMs.store(accept > 0 ? accept : kAcceptTimerMs);
  rejectMs.store(reject > 0 ? reject : 0);
}

void SetOldSlotRelease(OldSlotRelease release) { oldSlotRelease.store(release); }
void SetTakeoverRelease(TakeoverRelease release) { takeoverRelease.store(release); }

int StartAcceptTimer(int varNum) {
  StartTimer(acceptTimers[varNum], acceptMs.load(), true, varNum);
  return RESULT_OK;
}
int StopAcceptTimer(int varNum) {
  StopTimer(acceptTimers[varNum], true, varNum);
  return RESULT_OK;
}
int StartRejectTimer(int varNum) {
  int reject = rejectMs.load();
  StartTimer(rejectTimers[varNum], reject > 0 ? reject : DefaultRejectMs(), false, varNum);
  return RESULT_OK;
}
int StopRejectTimer(int varNum) {
  StopTimer(rejectTimers[varNum], false, varNum);
  return RESULT_OK;
}

int ConnectToAddress(int& systemSocket, int linkType, const std::string& addressText, const web::WebMsg& request,
                     std::uint16_t requestId, int varNum) {
  LogDebug(varNum, Format("connect to system: %s\n", addressText.c_str()));
  if (linkType == kLinkIPv4) return ConnectIPv4(systemSocket, addressText, request, requestId, varNum);
  return ConnectIPv6(systemSocket, addressText, request, requestId, varNum);
}

namespace {
int ConnectByType(int& systemSocket, const web::WebMsg& request, std::uint16_t requestId, int varNum) {
  int linkType = request.data[kLinkTypeAt];
  if (linkType == kLinkModem) return ConnectModem(request, varNum);
  if (linkType != kLinkIPv4 && linkType != kLinkIPv6) return RESULT_OK;
  return ConnectToAddress(systemSocket, linkType, AddressText(linkType, request), request, requestId, varNum);
}
}  // namespace

int ConnectToSystem(int& systemSocket, const web::WebMsg& request, std::uint16_t requestId, int varNum) {
  int result = ConnectByType(systemSocket, request, requestId, varNum);
  if (result != RESULT_OK) {
    counters::CountSystemLinkFailure();
    return result;
  }
  // What the operator's status page shows for the link.
  int linkType = request.data[kLinkTypeAt];
  if (linkType == kLinkModem) PublishSlotLink(varNum, "modem", modem::DialString(request));
  else if (linkType == kLinkIPv4) PublishSlotLink(varNum, "IPv4", AddressText(linkType, request));
  else if (linkType == kLinkIPv6) PublishSlotLink(varNum, "IPv6", AddressText(linkType, request));
  return result;
}

namespace {
int ClearOldUserMark(const web::WebMsg& request, const std::string& oldUser, int varNum) {
  std::string statement;
  users::setIPOfConnectOnline(request, oldUser, statement, varNum);
  std::lock_guard<std::recursive_mutex> lock(DatabaseLock());
  if (db::ExecuteSQL(db::UserDB(), statement, varNum) == DB_EXECUTE_ERROR)
    LogError(varNum, "DB error", "SQL execution error when update userinfo table");
  return RESULT_OK;
}
}  // namespace

int ReleaseOldUser(const web::WebMsg& request, int varNum) {
  std::string oldUser;
  int result = users::FindUserOnLink(request, oldUser, varNum);
  if (result == USER_ROW_NOT_FOUND) return RESULT_OK;
  if (result != RESULT_OK) {
    LogError(varNum, "DB error", "Can not find the old user ID in DB");
    return OLD_USER_NOT_FOUND;
  }
  int oldVarNum = FindSlotByUser(oldUser);
  if (oldVarNum < 0 && users::MarkHeldElsewhere(oldUser, varNum) == 1) {
    // Held through another instance: there is no slot here to give up. Its
    // mark goes; that instance gives its slot up when it finds the link gone.
    LogDebug(varNum, Format("old user %s is served by another instance", oldUser.c_str()));
    return ClearOldUserMark(request, oldUser, varNum);
  }
  if (oldVarNum < 0) {
    LogError(varNum, "Memory error", "Can not find the old user varNum in memory");
    return OLD_USER_NOT_FOUND;
  }
  OldSlotRelease release = oldSlotRelease.load();
  result = release ? release(oldVarNum, varNum) : ResetSlotToIdle(oldVarNum);
  if (result != RESULT_OK) return result;
  if (web::StopWebDisconnectTimer(oldVarNum) != RESULT_OK) LogError(varNum, "error", "stop web disconnect timer failed.");
  return ClearOldUserMark(request, oldUser, varNum);
}

int CloseLinkQuietly(int& systemSocket, int varNum) {
  LogDebug(varNum, "Stop Modem Alive Timer");
  modem::StopModemAliveTimerOf(varNum);
  Slot& slot = SlotAt(varNum);
  int result = RESULT_OK;
  if (HoldsModemPort(varNum)) result = CloseModemPort(varNum);
  slot.serialLineFlag.store(0);
  if (systemSocket >= 0) {
    platform::ShutdownAndClose(systemSocket);
    systemSocket = -1;
  }
  if (result == RESULT_OK) LogStateChanged(varNum, "Link given up without a word to the system");
  return result;
}

int DisconnectFromSystem(int& systemSocket, int varNum) {
  // Never send in the middle of another thread's transfer sequence.
  AcquireTransferFlag(varNum);
  LogDebug(varNum, "Stop Modem Alive Timer");
  modem::StopModemAliveTimerOf(varNum);
  LogDebug(varNum, "Stop Modem Disconnect Timer");
  web::WebMsg local;
  local.bodyHeader[sxm::kMode] = sxm::kModeRead;
  int result = SendToSystem(systemSocket, local, {.messageId = sxm::kLinkControlId}, varNum);
  ReleaseTransferFlag();
  Slot& slot = SlotAt(varNum);
  if (result != RESULT_OK) {
    slot.serialLineFlag.store(0);
    // A link that cannot carry the packet is dead: keep no descriptor of it,
    // and leave the serial port free for the next modem connect.
    if (HoldsModemPort(varNum)) CloseModemPort(varNum);
    if (systemSocket >= 0 && result != SERIAL_OPEN_ERROR) {
      platform::ShutdownAndClose(systemSocket);
      systemSocket = -1;
    }
    return result;
  }
  if (slot.serialLineFlag.load() != 0 || HoldsModemPort(varNum)) {
    result = CloseModemPort(varNum);
    slot.serialLineFlag.store(0);
    if (result != RESULT_OK) return result;
    LogStateChanged(varNum, "Disconnect with system by SIO success");
    return RESULT_OK;
  }
  // The descriptor is released whatever close reports: closing it again
  // could close another thread's new socket.
  int closed = platform::ShutdownAndCloseChecked(systemSocket);
  systemSocket = -1;
  if (closed != 0) {
    ReportSocketError(varNum, errno);
    LogError(varNum, "Socket error", "Close connection error");
    return SOCKET_CLOSE_ERROR;
  }
  LogStateChanged(varNum, "Disconnect with system success");
  return RESULT_OK;
}

}  // namespace systemlink
