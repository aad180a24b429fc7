#include "system/transfer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <span>
#include <string>

#include "db/odbc.h"
#include "frame/counters.h"
#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "pgc/catalogue.h"
#include "pgc/store.h"
#include "system/tcp_exchange.h"

namespace systemlink {

namespace {

using Clock = std::chrono::steady_clock;

// The transfer-busy flag. A mutex and a condition variable make its test
// and set one step and wake a waiter the moment the holder lets go.
std::mutex flagMutex;
std::condition_variable flagFree;
bool flagHeld = false;
std::atomic<long> longestWaitUs{0};

constexpr std::uint16_t kStoredMessages[] = {0x0000, 0x2170, 0x2171, 0x3010, 0x3030, 0x5010, 0x6060, 0x6110,
                                             0x6120, 0x7150, 0x7240, 0x7480, 0x8020, 0x8060, 0x8240, 0x8450};

// Holds the flag for one sequence; letting go twice is harmless, and every
// way out of a sequence lets go.
class FlagHold {
 public:
  explicit FlagHold(int varNum) : varNum_(varNum) { Take(); }
  ~FlagHold() { Release(); }
  FlagHold(const FlagHold&) = delete;
  FlagHold& operator=(const FlagHold&) = delete;
  void Take() {
    if (held_) return;
    AcquireTransferFlag(varNum_);
    held_ = true;
  }
  void Release() {
    if (!held_) return;
    held_ = false;
    ReleaseTransferFlag();
  }

 private:
  int varNum_;
  bool held_ = false;
};

bool IsSpecialSystemError(std::uint8_t result) {
  return result == sxm::TVRL_MSG_NOK || result == sxm::TVRL_MSG_KPGC_BUSY || result == sxm::TVRL_MSG_RETRY ||
         result == sxm::TVRL_MSG_WEB_BUSY;
}

// Body bytes of a received or relayed packet. An FF FF packet over TCP comes
// without its body, whatever its length field says.
int BodyLengthOf(const std::uint8_t* packet) {
  if (sxm::IsTcpFFFFPacket(packet)) return 0;
  int length = sxm::LengthOf(packet);
  return length > static_cast<int>(sxm::kHeaderSize) ? length - static_cast<int>(sxm::kHeaderSize) : 0;
}

// Appends a packet's body at the gathered length; a first packet starts
// over. 1; 168 when it would not fit, with nothing appended.
int Gather(Gathering& gathering, const std::uint8_t* packet, const std::uint8_t* body, int varNum) {
  if (sxm::IsFirstPacket(packet)) *gathering.length = 0;
  int bodyLength = BodyLengthOf(packet);
  std::size_t at = static_cast<std::size_t>(*gathering.length);
  if (gathering.buffer == nullptr || at + static_cast<std::size_t>(bodyLength) > gathering.capacity) {
    LogError(varNum, "DB error",
             Format("Data gathered from system would overflow the working buffer: %zu + %d > %zu", at, bodyLength,
                    gathering.capacity));
    *gathering.length = 0;
    return GATHER_OVERFLOW;
  }
  std::memcpy(gathering.buffer + at, body, static_cast<std::size_t>(bodyLength));
  *gathering.length += bodyLength;
  return RESULT_OK;
}

int Acknowledge(int systemSocket, const web::WebMsg& request, std::uint16_t messageId, int varNum) {
  return SendToSystem(systemSocket, request, {.messageId = messageId, .ack = true}, varNum);
}

// How one reading sequence treats the answer; the loop itself is the same
// for all three sequences.
struct AnswerPolicy {
  // The request goes out as the web sent it, else it is built from the
  // message id, body and lengths of the call.
  bool forwardsRequest;
  // The debug lines of the request and table sequences.
  bool traced;
  bool tracesGatheredLength;
  // Answers to these messages are not acknowledged (nor is a keep-alive
  // answer ever: its acknowledgement would itself be a keep-alive, which the
  // system answers again).
  std::span<const std::uint16_t> unacknowledged;
  // The gathered data must be whole rows of the packet's record length.
  bool wholeRows;
  enum class Relay {
    kNone,
    kEvery,             // every packet; any failure to relay ends the sequence
    kUnlessKeepAlive,   // not for a keep-alive request; only a send failure ends it
  } relay;
  enum class Store {
    kAtFinalPacket,       // replace the rows when the final packet arrives, before relaying it
    kAtEnd,               // replace the rows once the answer is complete
    kClearingAtEnd,       // clear the table and replace its rows once complete, even during an upload
  } store;
  // A re-sent request holds the transfer flag again until its first answer.
  bool resendHoldsFlag;
};

constexpr std::uint16_t kRequestUnacknowledged[] = {sxm::kLinkCheckId, sxm::kLinkControlId};
constexpr std::uint16_t kTableUnacknowledged[] = {sxm::kLinkCheckId};

constexpr AnswerPolicy kRequestPolicy{false, true, true, kRequestUnacknowledged, false, AnswerPolicy::Relay::kNone,
                                      AnswerPolicy::Store::kAtEnd, true};
constexpr AnswerPolicy kTablePolicy{false, true, false, kTableUnacknowledged, true, AnswerPolicy::Relay::kNone,
                                    AnswerPolicy::Store::kClearingAtEnd, true};
constexpr AnswerPolicy kReadPolicy{true, false, false, {}, false, AnswerPolicy::Relay::kUnlessKeepAlive,
                                   AnswerPolicy::Store::kAtFinalPacket, false};

bool Acknowledges(const AnswerPolicy& policy, std::uint16_t messageId) {
  if (messageId == sxm::kKeepAliveId) return false;
  return std::find(policy.unacknowledged.begin(), policy.unacknowledged.end(), messageId) ==
         policy.unacknowledged.end();
}

struct LoopRequest {
  AnswerPolicy policy;
  int webSocket;
  int systemSocket;
  std::uint16_t messageId;
  const web::WebMsg& request;
  const std::uint8_t* body;  // a built request's body
  std::uint8_t recordLength;
  std::uint16_t packetLength;
  // Taken as the sequence starts: during an upload the slot's database is the
  // file being uploaded, the source of what goes to the system, so answers are
  // relayed, never stored in it (a link check kept up during a long upload,
  // for one).
  bool storing = true;
};

int SendRequest(const LoopRequest& r, int varNum) {
  if (r.policy.forwardsRequest) {
    sxm::Packet sent{};
    return TransferToSystem(r.systemSocket, sent, r.request, varNum);
  }
  return SendToSystem(r.systemSocket, r.request,
                      {.messageId = r.messageId, .body = r.body, .recordLength = r.recordLength,
                       .packetLength = r.packetLength},
                      varNum);
}

// Rows cannot be cut out of data that names no row length, nor out of data
// that is not whole rows.
int CheckWholeRows(int gathered, std::uint8_t recordLength, int varNum) {
  if (gathered == 0) return RESULT_OK;
  if (recordLength == 0) {
    LogError(varNum, "DB error", Format("Data of %d bytes received from system has record length 0", gathered));
    return DIVIDE_ZERO_ERROR;
  }
  if (gathered % recordLength != 0) {
    LogError(varNum, "DB error", Format("Total length of data is error:%d/%d", gathered, recordLength));
    return RECORD_LENGTH_ERROR;
  }
  return RESULT_OK;
}

int Relay(const LoopRequest& r, const sxm::Packet& packet, int varNum) {
  switch (r.policy.relay) {
    case AnswerPolicy::Relay::kNone: return RESULT_OK;
    case AnswerPolicy::Relay::kEvery: return TransferToWeb(r.webSocket, packet.data(), r.request, varNum);
    case AnswerPolicy::Relay::kUnlessKeepAlive: {
      if (r.request.messageId() == sxm::kKeepAliveId) return RESULT_OK;
      int result = TransferToWeb(r.webSocket, packet.data(), r.request, varNum);
      return result == SOCKET_SEND_ERROR ? result : RESULT_OK;
    }
  }
  return RESULT_OK;
}

// The answer's rows into the slot's database.
int StoreAnswer(const LoopRequest& r, const Gathering& gathering, std::uint8_t recordLength, int varNum) {
  if (r.policy.store == AnswerPolicy::Store::kClearingAtEnd)
    return pgc::ClearAndReplacePGCRows(gathering.buffer, *gathering.length, recordLength, r.messageId, "", varNum);
  if (!r.storing || !IsStoredMessage(r.messageId)) return RESULT_OK;
  return pgc::ReplacePGCRows(gathering.buffer, *gathering.length, recordLength, r.messageId, "", varNum);
}

// One answer packet as the answer loop takes it: 1 to go on, the failure
// code to end the sequence; `resend` when the system refused the request and
// it is to be sent again, `final` after the last packet.
int TakeAnswerPacket(const LoopRequest& r, const sxm::Packet& packet, Gathering& gathering, int& refusals,
                     bool& resend, bool& final, int varNum) {
  // An answer to another message would be stored and relayed as this one's.
  if (sxm::MessageIdOf(packet.data()) != r.messageId) {
    LogError(varNum, "SXM message format error",
             Format("The message ID of the answer is not the request's: %04X != %04X", sxm::MessageIdOf(packet.data()),
                    r.messageId));
    return FORMAT_ERROR;
  }
  const std::uint8_t answer = packet[sxm::kResult];
  if (answer == sxm::TVRL_MSG_NOK) {
    if (refusals < kMaxRefusals) {
      ++refusals;
      resend = true;
      return RESULT_OK;
    }
    LogError(varNum, "System special error", "Receive TVRL_MSG_NOK from system for 5 times, so stop receive.");
  }
  final = sxm::IsFinalPacket(packet.data());
  if ((sxm::IsTenthPacket(packet.data()) || final) && Acknowledges(r.policy, r.messageId)) {
    if (r.policy.traced) LogDebug(varNum, "^^^10x");
    int result = Acknowledge(r.systemSocket, r.request, r.messageId, varNum);
    if (result != RESULT_OK) return result;
  }
  int result = Gather(gathering, packet.data(), packet.data() + sxm::kBody, varNum);
  if (result != RESULT_OK) return result;
  const std::uint8_t recordLength = packet[sxm::kRecordLength];
  if (r.policy.tracesGatheredLength) LogDebug(varNum, Format("*ptrActualLength=%d", *gathering.length));
  if (r.policy.wholeRows) {
    result = CheckWholeRows(*gathering.length, recordLength, varNum);
    if (result != RESULT_OK) return result;
  }
  if (final && r.policy.store == AnswerPolicy::Store::kAtFinalPacket) {
    result = StoreAnswer(r, gathering, recordLength, varNum);
    if (result != RESULT_OK) return result;
  }
  result = Relay(r, packet, varNum);
  if (result != RESULT_OK) return result;
  if (IsSpecialSystemError(answer)) {
    LogError(varNum, "System special error", "Some special system error, so stop receive message.");
    return SPECIAL_SYSTEM_ERROR;
  }
  return RESULT_OK;
}

// The answer loop of the three reading sequences: send, receive the answer
// packet by packet (acknowledging, gathering, relaying), re-send after a
// refusal, and store at the end.
int AnswerLoop(LoopRequest r, sxm::Packet& packet, Gathering gathering, int varNum) {
  if (r.policy.traced) LogDebug(varNum, Format("\nmessageID=%d", r.messageId));
  r.storing = SlotState(varNum) != state::kUpload;
  FlagHold flag(varNum);
  int refusals = 0;
  for (;;) {
    int result = SendRequest(r, varNum);
    if (result != RESULT_OK) return result;
    sxm::ReceiveState state;
    bool resend = false, final = false;
    while (!resend && !final) {
      result = ReceiveFromSystem(r.systemSocket, packet, state, varNum);
      flag.Release();
      if (result != RESULT_OK) return result;
      result = TakeAnswerPacket(r, packet, gathering, refusals, resend, final, varNum);
      if (result != RESULT_OK) return result;
    }
    if (!resend) break;
    if (r.policy.resendHoldsFlag) flag.Take();
  }
  if (r.policy.store == AnswerPolicy::Store::kAtFinalPacket) return RESULT_OK;
  return StoreAnswer(r, gathering, packet[sxm::kRecordLength], varNum);
}

// What a final written packet leaves in the slot's database: the data sent,
// merged into a key table that has rows, else replacing the table.
int StoreWrittenData(const Gathering& gathering, std::uint8_t recordLength, std::uint16_t messageId, int varNum) {
  std::string pgcNo;
  int result = pgc::FindPGCByMessageID(messageId, pgcNo, varNum);
  if (result != RESULT_OK) return result;
  db::ConnectionRecord* database = SlotDatabase(varNum);
  int rows = database == nullptr ? -1 : db::getRowCount(*database, pgc::PGCTableName(pgcNo), "", varNum);
  if (rows < 0) {
    LogError(varNum, "DB error", "An error occurred when Get row count");
    return ROW_COUNT_ERROR;
  }
  const int length = *gathering.length;
  if (messageId == pgc::kMultiDatabaseId)
    return pgc::StoreMultiDatabase(gathering.buffer, length, recordLength, messageId, varNum);
  if (!IsStoredMessage(messageId)) return RESULT_OK;
  if (pgc::IsKeyTablePGC(pgcNo) != 1 || rows == 0)
    return pgc::ReplacePGCRows(gathering.buffer, length, recordLength, messageId, "", varNum);
  return pgc::MergePGCRows(gathering.buffer, length, recordLength, messageId, varNum);
}

}  // namespace

void AcquireTransferFlag(int varNum) {
  std::unique_lock<std::mutex> lock(flagMutex);
  if (!flagHeld) {
    flagHeld = true;
    return;
  }
  lock.unlock();
  LogDebug(varNum, "Waiting for other thread transferring message to system");
  auto start = Clock::now();
  lock.lock();
  flagFree.wait(lock, [] { return !flagHeld; });
  flagHeld = true;
  lock.unlock();
  long waited = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
  long longest = longestWaitUs.load();
  while (waited > longest && !longestWaitUs.compare_exchange_weak(longest, waited)) {
  }
  counters::CountTransferFlagWait(static_cast<std::uint64_t>(waited));
  LogDebug(varNum, Format("Transfer flag free after %ld us", waited));
}

void ReleaseTransferFlag() {
  {
    std::lock_guard<std::mutex> lock(flagMutex);
    flagHeld = false;
  }
  flagFree.notify_one();
}

bool TransferFlagHeld() {
  std::lock_guard<std::mutex> lock(flagMutex);
  return flagHeld;
}

bool TryAcquireTransferFlag() {
  std::lock_guard<std::mutex> lock(flagMutex);
  if (flagHeld) return false;
  flagHeld = true;
  return true;
}

long LongestTransferFlagWaitUs() { return longestWaitUs.load(); }

bool IsStoredMessage(std::uint16_t messageId) {
  return std::find(std::begin(kStoredMessages), std::end(kStoredMessages), messageId) != std::end(kStoredMessages);
}

int RequestFromSystem(int webSocket, int systemSocket, std::uint16_t messageId, const web::WebMsg& request,
                      sxm::Packet& packet, const std::uint8_t* body, bool relay, std::uint8_t recordLength,
                      std::uint16_t packetLength, Gathering gathering, int varNum) {
  AnswerPolicy policy = kRequestPolicy;
  if (relay) policy.relay = AnswerPolicy::Relay::kEvery;
  LoopRequest r{policy, webSocket, systemSocket, messageId, request, body, recordLength, packetLength};
  return AnswerLoop(r, packet, gathering, varNum);
}

int ReadTableFromSystem(int webSocket, int systemSocket, std::uint16_t messageId, const web::WebMsg& request,
                        sxm::Packet& packet, const std::uint8_t* body, bool relay, std::uint8_t recordLength,
                        std::uint16_t packetLength, Gathering gathering, int varNum) {
  AnswerPolicy policy = kTablePolicy;
  if (relay) policy.relay = AnswerPolicy::Relay::kEvery;
  LoopRequest r{policy, webSocket, systemSocket, messageId, request, body, recordLength, packetLength};
  return AnswerLoop(r, packet, gathering, varNum);
}

int ReadFromSystem(int webSocket, int systemSocket, std::uint16_t messageId, const web::WebMsg& request,
                   sxm::Packet& packet, Gathering gathering, int varNum) {
  LoopRequest r{kReadPolicy, webSocket, systemSocket, messageId, request, nullptr, 0, 0};
  return AnswerLoop(r, packet, gathering, varNum);
}

int WriteToSystem(int webSocket, int systemSocket, std::uint16_t messageId, const web::WebMsg& request,
                  sxm::Packet& packet, Gathering gathering, int varNum) {
  FlagHold flag(varNum);
  // A packet that cannot be sent gets no answer: waiting for one would only
  // end in a time-out.
  int result = TransferToSystem(systemSocket, packet, request, varNum);
  if (result != RESULT_OK) return result;
  const sxm::Packet sent = packet;
  result = ReceiveOneFromSystem(systemSocket, packet, varNum);
  flag.Release();
  if (result != RESULT_OK) return result;
  result = Gather(gathering, sent.data(), sent.data() + sxm::kBody, varNum);
  if (result != RESULT_OK) return result;
  if (sxm::IsFinalPacket(sent.data())) {
    result = StoreWrittenData(gathering, sent[sxm::kRecordLength], messageId, varNum);
    if (result != RESULT_OK) return result;
  }
  result = TransferToWeb(webSocket, packet.data(), request, varNum);
  return result == SOCKET_SEND_ERROR ? result : RESULT_OK;
}

int SendTableToSystem(int systemSocket, std::uint16_t messageId, const web::WebMsg& request, const std::uint8_t* data,
                      int recordLength, int dataLength, int varNum) {
  FlagHold flag(varNum);
  if (recordLength < 0 || recordLength > static_cast<int>(sxm::kMaxBody) || dataLength < 0) {
    LogError(varNum, "Message format error",
             Format("Table to send has record length %d and %d bytes", recordLength, dataLength));
    return DIVIDE_ZERO_ERROR;
  }
  const auto rowLength = static_cast<std::uint8_t>(recordLength);
  sxm::Packet answer{};
  if (dataLength <= static_cast<int>(sxm::kMaxBody)) {
    int result = SendToSystem(systemSocket, request,
                              {.messageId = messageId,
                               .body = data,
                               .recordLength = rowLength,
                               .packetLength = static_cast<std::uint16_t>(dataLength + sxm::kHeaderSize)},
                              varNum);
    if (result != RESULT_OK) return result;
    return ReceiveOneFromSystem(systemSocket, answer, varNum);
  }
  int rowsPerPacket = 0, packetCount = 0;
  int result = pgc::RowsPerPacket(recordLength, rowsPerPacket, varNum);
  if (result != RESULT_OK) return result;
  result = pgc::PacketCountOf(dataLength, recordLength, rowsPerPacket, packetCount, varNum);
  if (result != RESULT_OK) return result;
  const int full = rowsPerPacket * recordLength;
  for (int i = 0; i < packetCount; ++i) {
    const bool final = i == packetCount - 1;
    const int bodyLength = final ? dataLength - i * full : full;
    result = SendToSystem(systemSocket, request,
                          {.messageId = messageId,
                           .body = data + static_cast<std::size_t>(i) * full,
                           .final = final,
                           .sequence = static_cast<std::uint16_t>(i + 1),
                           .recordLength = rowLength,
                           .packetLength = static_cast<std::uint16_t>(bodyLength + sxm::kHeaderSize)},
                          varNum);
    if (result != RESULT_OK) return result;
    result = ReceiveOneFromSystem(systemSocket, answer, varNum);
    if (result != RESULT_OK) return result;
    flag.Release();
  }
  return RESULT_OK;
}

int RestartSystem(int systemSocket, std::uint16_t messageId, const web::WebMsg& request, sxm::Packet& packet,
                  bool& sent, int varNum) {
  sent = false;
  {
    FlagHold flag(varNum);
    int result = TransferToSystem(systemSocket, packet, request, varNum);
    if (result != RESULT_OK) return result;
  }
  sent = true;
  if (IsStoredMessage(messageId)) return pgc::StorePGCPacket(request, messageId, varNum);
  return RESULT_OK;
}

}  // namespace systemlink
