// Transfer sequences against a scripted system on a local stream pair: what
// goes to the system (requests, re-sends, acknowledgements, table packets),
// what reaches the web, what is stored, and the transfer-busy flag.
#include "system/transfer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <tuple>

#include "frame/log.h"
#include "pgc_test_support.h"
#include "pgc/store.h"
#include "platform/socket.h"
#include "support/socket_reads.h"
#include "support/wire_helpers.h"
#include "system/tcp_exchange.h"

namespace {

using namespace pgctest;
using namespace systemlink;
using testsupport::KeyedRows;

constexpr std::uint16_t kKept = 0x7240;     // PGC724, ten columns, a stored message
constexpr std::uint16_t kNotKept = 0x1010;  // PGC101, not stored

Bytes Header(std::uint16_t id, std::uint16_t finalSeq, std::uint16_t length, std::uint8_t recordLength,
             std::uint8_t result) {
  Bytes h(sxm::kHeaderSize, 0);
  h[sxm::kType] = sxm::kPacketType;
  h[sxm::kMode] = sxm::kModeRead;
  sxm::Put16(&h[sxm::kMessageId], id);
  sxm::Put16(&h[sxm::kFinalSeq], finalSeq);
  sxm::Put16(&h[sxm::kLength], length);
  h[sxm::kRecordLength] = recordLength;
  h[sxm::kResult] = result;
  return h;
}

// An answer packet: `sequence` of `count`, body of `body` bytes whose rows
// (recordLength bytes each) carry the row number in their first byte.
Bytes Answer(std::uint16_t id, int sequence, int count, int body, std::uint8_t recordLength = 10,
             std::uint8_t result = 1) {
  std::uint16_t finalSeq = static_cast<std::uint16_t>(sequence | (sequence == count ? 0xF000 : 0));
  Bytes p = Header(id, finalSeq, static_cast<std::uint16_t>(body + 10), recordLength, result);
  for (int i = 0; i < body; ++i) {
    int row = recordLength ? i / recordLength : 0;
    p.push_back(static_cast<std::uint8_t>(i % (recordLength ? recordLength : 1) == 0 ? row % 256 : 7));
  }
  return p;
}

// A system that runs a script on its own thread and keeps every packet it
// received; the web side collects what was relayed.
class Transfer : public PgcSlotTest {
 protected:
  void SetUp() override {
    PgcSlotTest::SetUp();
    UseState(state::kOnline);
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    link_ = platform::Socket(fds[0]);
    system_ = platform::Socket(fds[1]);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    web_ = platform::Socket(fds[0]);
    webPeer_ = platform::Socket(fds[1]);
    work_.assign(kWorkingBufferSize, 0);
    gathered_ = 0;
  }
  void TearDown() override {
    if (script_.joinable()) script_.join();
    EXPECT_FALSE(TransferFlagHeld());
    PgcSlotTest::TearDown();
  }

  void Run(std::function<void()> script) { script_ = std::thread(std::move(script)); }
  // The system reads the request, answers with `packet` and reads the acknowledgement.
  void AnswerOnce(Bytes packet) {
    Run([this, packet] {
      Read();
      Send(packet);
      Read();
    });
  }
  void Finish() {
    if (script_.joinable()) script_.join();
  }

  // The next packet COMM sent, or an empty one when none came within 2 s.
  Bytes Read() {
    Bytes head = ReadBytes(sxm::kHeaderSize);
    if (head.size() < sxm::kHeaderSize) return {};
    Bytes body = ReadBytes(sxm::LengthOf(head.data()) - sxm::kHeaderSize);
    head.insert(head.end(), body.begin(), body.end());
    received_.push_back(head);
    return head;
  }
  void Send(const Bytes& packet) { platform::SendAll(system_.fd(), packet.data(), packet.size(), 2000); }

  // Answers one request with `count` packets of 240 bytes, reading each
  // acknowledgement that is due.
  void AnswerWith(std::uint16_t id, int count, bool acknowledged) {
    Read();
    for (int s = 1; s <= count; ++s) {
      Send(Answer(id, s, count, 240));
      if (acknowledged && (s % 10 == 0 || s == count)) Read();
    }
  }

  // The system packets relayed to the web, unwrapped.
  std::vector<Bytes> Relayed() {
    std::vector<Bytes> out;
    while (platform::WaitReadable(webPeer_.fd(), 0) == 1) {
      Bytes head = testsupport::ReadUpTo(webPeer_.fd(), web::kHeadSize, 1000);
      if (head.size() != web::kHeadSize) break;
      out.push_back(testsupport::ReadUpTo(webPeer_.fd(), web::Get16(&head[web::kHeadLength]), 1000));
    }
    return out;
  }

  static bool IsAck(const Bytes& p) {
    return p.size() == sxm::kHeaderSize && p[sxm::kResult] == sxm::kResultAck && sxm::IsFinalPacket(p.data()) &&
           sxm::SequenceOf(p.data()) == 1;
  }
  int Acks() const {
    int n = 0;
    for (const Bytes& p : received_) n += IsAck(p) ? 1 : 0;
    return n;
  }

  Gathering Work(std::size_t capacity = kWorkingBufferSize) { return {work_.data(), capacity, &gathered_}; }
  web::WebMsg Request(std::uint16_t id, std::uint16_t finalSeq = kOnlyPacket, std::uint8_t recordLength = 0,
                      const Bytes& data = {}) {
    web::WebMsg msg = Packet(web::REQ_PGC, id, finalSeq, recordLength, data);
    msg.bodyHeader[sxm::kMode] = sxm::kModeRead;
    return msg;
  }
  int RequestFrom(std::uint16_t id, bool relay = false) {
    const std::uint8_t body[1] = {0};
    return RequestFromSystem(web_.fd(), link_.fd(), id, Request(id), packet_, body, relay, 0, 11, Work(), kSlot);
  }
  int ReadTable(std::uint16_t id, std::size_t capacity = kWorkingBufferSize) {
    const std::uint8_t body[1] = {0};
    return ReadTableFromSystem(web_.fd(), link_.fd(), id, Request(id), packet_, body, false, 0, 10, Work(capacity),
                               kSlot);
  }
  static int Rows(const std::string& table) { return std::stoi(PgcQuery("SELECT count(*) FROM " + table)[0][0]); }

  platform::Socket link_, system_, web_, webPeer_;
  std::thread script_;
  std::vector<Bytes> received_;
  std::vector<std::uint8_t> work_;
  int gathered_ = 0;
  sxm::Packet packet_{};

 private:
  Bytes ReadBytes(std::size_t n) { return testsupport::ReadUpTo(system_.fd(), n, 2000); }
};

TEST_F(Transfer, LinkMessagesGoUnacknowledgedOnlyWhenCOMMAsksOnItsOwn) {
  // A link check (id 0) and a link-control read (id 1) asked by COMM itself
  // are never acknowledged; the same ids relayed for the web are.
  for (std::uint16_t id : {sxm::kLinkCheckId, sxm::kLinkControlId}) {
    received_.clear();
    Run([&] { AnswerWith(id, 1, false); });
    EXPECT_EQ(RequestFrom(id), 1);
    Finish();
    EXPECT_EQ(Acks(), 0) << id;
  }
  received_.clear();
  Run([&] { AnswerWith(sxm::kLinkControlId, 1, true); });
  web::WebMsg request = Request(sxm::kLinkControlId);
  EXPECT_EQ(ReadFromSystem(web_.fd(), link_.fd(), sxm::kLinkControlId, request, packet_, Work(), kSlot), 1);
  Finish();
  EXPECT_EQ(Acks(), 1);

  // A keep-alive's answer is not acknowledged: the acknowledgement would be
  // a keep-alive of its own, answered again and read as the next answer.
  received_.clear();
  Run([&] { AnswerWith(sxm::kKeepAliveId, 1, false); });
  web::WebMsg alive = Request(sxm::kKeepAliveId);
  EXPECT_EQ(ReadFromSystem(web_.fd(), link_.fd(), sxm::kKeepAliveId, alive, packet_, Work(), kSlot), 1);
  Finish();
  EXPECT_EQ(Acks(), 0);
  EXPECT_EQ(platform::WaitReadable(system_.fd(), 100), 0);
}

TEST_F(Transfer, AnAnswerToAnotherMessageIsRefusedWithNothingStored) {
  Run([&] {
    Read();
    Send(Answer(kKept, 1, 1, 20));
  });
  EXPECT_EQ(RequestFrom(kNotKept), FORMAT_ERROR);
  Finish();
  EXPECT_EQ(Rows("PGC724"), 0);
}

TEST_F(Transfer, APacketCutShortByTheSystemClosingEndsWith214AtOnceWithNothingStored) {
  // The link has no receive time-out here: waiting for the rest would hang.
  Run([&] {
    Read();
    Bytes whole = Answer(kKept, 1, 1, 240);
    Send(Bytes(whole.begin(), whole.begin() + 100));
    ::shutdown(system_.fd(), SHUT_WR);
  });
  EXPECT_EQ(RequestFrom(kKept), PEER_CLOSED);
  Finish();
  EXPECT_EQ(Rows("PGC724"), 0);
}

TEST_F(Transfer, SpecialErrorsEndWith205AndOnlyTheRelayingReadStoresTheFinalPacket) {
  for (std::uint8_t error : {sxm::TVRL_MSG_KPGC_BUSY, sxm::TVRL_MSG_RETRY, sxm::TVRL_MSG_WEB_BUSY}) {
    AnswerOnce(Answer(kKept, 1, 1, 20, 10, error));
    EXPECT_EQ(RequestFrom(kKept), SPECIAL_SYSTEM_ERROR) << int(error);
    Finish();
    EXPECT_EQ(Rows("PGC724"), 0);
  }
  AnswerOnce(Answer(kKept, 1, 1, 20, 10, sxm::TVRL_MSG_RETRY));
  web::WebMsg request = Request(kKept);
  EXPECT_EQ(ReadFromSystem(web_.fd(), link_.fd(), kKept, request, packet_, Work(), kSlot), SPECIAL_SYSTEM_ERROR);
  Finish();
  EXPECT_EQ(Rows("PGC724"), 2);
  EXPECT_EQ(Relayed().size(), 1u);
}

TEST_F(Transfer, TableReadReplacesTheTableAndRefusesDataThatIsNotWholeRows) {
  InsertRow("PGC724", Bytes(10, 9));
  Run([&] { AnswerWith(kKept, 2, true); });
  EXPECT_EQ(ReadTable(kKept), 1);
  Finish();
  EXPECT_EQ(Rows("PGC724"), 48);

  struct Case {
    Bytes answer;
    int result;
  } cases[] = {
      {Answer(kKept, 1, 1, 25, 10), RECORD_LENGTH_ERROR},  // 25 bytes of 10-byte rows
      {Answer(kKept, 1, 1, 20, 0), DIVIDE_ZERO_ERROR},     // rows without a row length
  };
  for (const Case& c : cases) {
    AnswerOnce(c.answer);
    EXPECT_EQ(ReadTable(kKept), c.result);
    Finish();
    EXPECT_EQ(Rows("PGC724"), 48) << "the table is left as it was";
  }

  // An empty answer still empties the table.
  AnswerOnce(Answer(kKept, 1, 1, 0, 10));
  EXPECT_EQ(ReadTable(kKept), 1);
  Finish();
  EXPECT_EQ(Rows("PGC724"), 0);
}

TEST_F(Transfer, AnswerOutgrowingTheWorkingBufferIs168WithNothingStored) {
  InsertRow("PGC724", Bytes(10, 9));
  Run([&] {
    Read();
    Send(Answer(kKept, 1, 2, 240));
    Send(Answer(kKept, 2, 2, 240));
    Read();
  });
  EXPECT_EQ(ReadTable(kKept, 300), GATHER_OVERFLOW);
  Finish();
  EXPECT_EQ(Rows("PGC724"), 1);
  EXPECT_LE(gathered_, 300);
}

TEST_F(Transfer, TablesAreSentInNumberedPacketsOfWholeRowsEachAnswered) {
  Bytes data = KeyedRows(50, 10, 0);
  Run([&] {
    for (int i = 0; i < 3; ++i) {
      Bytes p = Read();
      if (!p.empty()) Send(Header(kKept, 0xF001, 10, 10, 1));  // each answer is a message of its own
    }
  });
  web::WebMsg request = Request(kKept);
  ASSERT_EQ(SendTableToSystem(link_.fd(), kKept, request, data.data(), 10, 500, kSlot), 1);
  Finish();
  ASSERT_EQ(received_.size(), 3u);
  const int bodies[] = {240, 240, 20};
  Bytes joined;
  for (int i = 0; i < 3; ++i) {
    const Bytes& p = received_[static_cast<std::size_t>(i)];
    EXPECT_EQ(
        std::tuple(int(sxm::SequenceOf(p.data())), sxm::IsFinalPacket(p.data()), p.size(), int(p[sxm::kRecordLength])),
        std::tuple(i + 1, i == 2, static_cast<std::size_t>(bodies[i] + 10), 10));
    joined.insert(joined.end(), p.begin() + 10, p.end());
  }
  EXPECT_EQ(joined, data);

  received_.clear();
  Run([&] {
    Bytes p = Read();
    Send(Header(kKept, 0xF001, 10, 10, 1));
  });
  ASSERT_EQ(SendTableToSystem(link_.fd(), kKept, request, data.data(), 10, 40, kSlot), 1);
  Finish();
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(received_[0].size(), 50u);
}

TEST_F(Transfer, WriteRelaysTheAnswerAndStoresWhatWasSentAtTheFinalPacket) {
  Bytes rows = KeyedRows(3, 10, 0);
  web::WebMsg first = Packet(web::REQ_PGC, kKept, 0x0001, 10, Bytes(rows.begin(), rows.begin() + 20));
  web::WebMsg last = Packet(web::REQ_PGC, kKept, 0xF002, 10, Bytes(rows.begin() + 20, rows.end()));
  Run([&] {
    for (int i = 0; i < 2; ++i) {
      Bytes p = Read();
      Send(Header(kKept, 0xF001, 10, 10, 1));
    }
  });
  ASSERT_EQ(WriteToSystem(web_.fd(), link_.fd(), kKept, first, packet_, Work(), kSlot), 1);
  EXPECT_EQ(Rows("PGC724"), 0) << "nothing is stored before the final packet";
  ASSERT_EQ(WriteToSystem(web_.fd(), link_.fd(), kKept, last, packet_, Work(), kSlot), 1);
  Finish();
  EXPECT_EQ(received_[1].size(), 20u);
  EXPECT_EQ(Relayed().size(), 2u);
  auto stored = TableRows("PGC724", 10);
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[2], Bytes(rows.begin() + 20, rows.end()));

  // A packet whose length field lies beyond 250 is not sent at all.
  web::WebMsg bad = Packet(web::REQ_PGC, kKept, kOnlyPacket, 10, Bytes(10, 1));
  sxm::Put16(bad.bodyHeader + sxm::kLength, 251);
  received_.clear();
  EXPECT_EQ(WriteToSystem(web_.fd(), link_.fd(), kKept, bad, packet_, Work(), kSlot), FORMAT_ERROR);
  EXPECT_EQ(platform::WaitReadable(system_.fd(), 100), 0);
}

TEST_F(Transfer, RestartPacketIsRelayedWithoutWaitingForAnAnswer) {
  web::WebMsg restart = Packet(web::REQ_RESTART, 0x0002, kOnlyPacket, 0, {});
  bool sent = false;
  EXPECT_EQ(RestartSystem(link_.fd(), 0x0002, restart, packet_, sent, kSlot), 1);
  EXPECT_TRUE(sent);
  Bytes packet = Read();
  ASSERT_EQ(packet.size(), 10u);
  EXPECT_EQ(sxm::MessageIdOf(packet.data()), 0x0002);
}

TEST(TransferFlag, AWaiterTakesTheFlagTheMomentItIsFreeAndLogsItsWaitOnce) {
  const std::string dir = testsupport::SharedInstallation().commDir + "/";
  SetLogDirectory(dir);
  int level = InfoLevel();
  SetInfoLevel(9);
  auto waitLines = [] {
    return testsupport::Count(testsupport::InstallationLog(), "Waiting for other thread transferring message");
  };
  const int before = waitLines();
  AcquireTransferFlag(1);
  std::atomic<bool> taken{false};
  std::thread waiter([&] {
    AcquireTransferFlag(2);
    taken = true;
    ReleaseTransferFlag();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(taken.load());
  ReleaseTransferFlag();
  waiter.join();
  EXPECT_TRUE(taken.load());
  EXPECT_FALSE(TransferFlagHeld());
  EXPECT_EQ(waitLines() - before, 1);
  EXPECT_GE(LongestTransferFlagWaitUs(), 1);
  SetInfoLevel(level);
}

}  // namespace
