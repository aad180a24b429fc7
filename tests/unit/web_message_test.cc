#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "frame/log.h"
#include "frame/result_codes.h"
#include "platform/socket.h"
#include "web/web_message.h"

namespace {

using namespace web;

class WebFraming : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogDirectory("/tmp/");
    SetInfoLevel(0);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    server_ = platform::Socket(fds[0]);
    peer_ = platform::Socket(fds[1]);
    platform::SetNonBlocking(server_.fd());
  }
  void TearDown() override { SetInfoLevel(9); }

  std::vector<std::uint8_t> Request(std::uint8_t type, std::uint16_t sequence, std::string_view data = {},
                                    bool final = false) {
    std::vector<std::uint8_t> out(kMaxMessage);
    out.resize(BuildMessage(out.data(), {.type = type, .userId = "alice", .bodyType = type, .mode = kModeRead,
                                         .messageId = 0x7240,
                                         .finalSeq = static_cast<std::uint16_t>((final ? 0xF000 : 0) | sequence),
                                         .data = data}));
    return out;
  }
  void Send(const std::vector<std::uint8_t>& bytes) {
    ASSERT_EQ(write(peer_.fd(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Everything the server side sent, read until nothing more comes.
  std::vector<std::uint8_t> Drain() {
    std::vector<std::uint8_t> all;
    std::uint8_t buffer[4096];
    while (platform::WaitReadable(peer_.fd(), 100) == 1) {
      long n = read(peer_.fd(), buffer, sizeof buffer);
      if (n <= 0) break;
      all.insert(all.end(), buffer, buffer + n);
    }
    return all;
  }
  WebMsg Parsed(const std::vector<std::uint8_t>& raw) {
    WebMsg msg;
    ParseWebMessage(msg, raw.data());
    return msg;
  }

  platform::Socket server_, peer_;
  RawMessage buffer_{};
  std::uint16_t sequence_ = 0;
};

TEST_F(WebFraming, RefusesBodyLengthsOutsideTenTo250BeforeReadingTheBody) {
  for (std::uint16_t length : {9, 251, 0xFFFF}) {
    auto head = Request(REQ_CONTROL, 1);
    Put16(head.data() + kHeadLength, length);
    head.resize(kHeadSize);
    Send(head);
    EXPECT_EQ(ReceiveWebMessage(server_.fd(), buffer_, sequence_, true, 1), -10) << length;
  }
}

TEST_F(WebFraming, ClosedPeerAndTruncatedBody) {
  auto message = Request(REQ_CONTROL, 1, "0123456789");
  message.resize(message.size() - 4);
  Send(message);
  peer_.Close();
  EXPECT_EQ(ReceiveWebMessage(server_.fd(), buffer_, sequence_, true, 1), 214);
}

TEST_F(WebFraming, HeadArrivingInPiecesIsAssembled) {
  auto message = Request(REQ_CONTROL, 1, "xy");
  std::thread writer([&] {
    for (std::size_t i = 0; i < message.size(); i += 7) {
      write(peer_.fd(), message.data() + i, std::min<std::size_t>(7, message.size() - i));
      usleep(2000);
    }
  });
  EXPECT_EQ(ReceiveWebMessage(server_.fd(), buffer_, sequence_, true, 1), 1);
  writer.join();
}

TEST_F(WebFraming, ShortReplyIsOneMessageCarryingTheRequestsSequenceField) {
  auto request = Request(REQ_TABLE_DOWNLOAD, 5, {}, true);
  std::vector<std::uint8_t> data(240, 0xAB);
  ASSERT_EQ(SendReplyToWeb(server_.fd(), 0x1234, 177, data.data(), Parsed(request), 60, 240, 1), 1);
  auto out = Drain();
  ASSERT_EQ(out.size(), 270u);
  EXPECT_EQ((std::vector<int>{out[kType], out[kHeadByte1], Get16(&out[kHeadLength]), Get16(&out[kMessageId]),
                              Get16(&out[kFinalSeq]), out[kRecordLength], out[kResult]}),
            (std::vector<int>{REQ_TABLE_DOWNLOAD, 255, 250, 0x1234, 0xF005, 60, 177}));

  // Reply id 0 is a plain result reply of type 2; -1 arrives as 255.
  ASSERT_EQ(SendReplyToWeb(server_.fd(), 0, -1, nullptr, Parsed(request), 0, 0, 1), 1);
  out = Drain();
  ASSERT_EQ(out.size(), 30u);
  EXPECT_EQ((std::vector<int>{out[kType], out[kBodyType], out[kResult]}),
            (std::vector<int>{REQ_CONTROL, REQ_CONTROL, 255}));
}

TEST_F(WebFraming, LongReplyIsSplitIntoWholeRecordsWithFinalFlagOnTheLast) {
  std::vector<std::uint8_t> data(600);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
  ASSERT_EQ(SendReplyToWeb(server_.fd(), 9, 1, data.data(), Parsed(Request(REQ_CONTROL, 1)), 60, 600, 1), 1);
  auto out = Drain();
  ASSERT_EQ(out.size(), 270u + 270u + 150u);
  const std::uint8_t* pieces[] = {out.data(), out.data() + 270, out.data() + 540};
  std::vector<int> sequences;
  for (const std::uint8_t* piece : pieces) sequences.push_back(Get16(piece + kFinalSeq));
  EXPECT_EQ(sequences, (std::vector<int>{0x0001, 0x0002, 0xF003}));
  EXPECT_EQ(Get16(pieces[2] + kBodyLength), 130);
  EXPECT_EQ(pieces[1][kData], data[240]);
  EXPECT_EQ(pieces[2][kData + 119], data[599]);

  // 50-byte records: four per piece, never a record cut in two.
  std::vector<std::uint8_t> fifty(500);
  ASSERT_EQ(SendReplyToWeb(server_.fd(), 9, 1, fifty.data(), Parsed(Request(REQ_CONTROL, 1)), 50, 500, 1), 1);
  out = Drain();
  ASSERT_EQ(out.size(), 230u + 230u + 130u);
}

TEST_F(WebFraming, UnsplittableReplyIsRefusedAndNothingIsSent) {
  std::vector<std::uint8_t> data(700);
  auto request = Parsed(Request(REQ_CONTROL, 1));
  EXPECT_EQ(SendReplyToWeb(server_.fd(), 9, 1, data.data(), request, 60, 700, 1), 169);
  EXPECT_EQ(SendReplyToWeb(server_.fd(), 9, 1, data.data(), request, 0, 700, 1), 166);
  EXPECT_EQ(SendReplyToWeb(server_.fd(), 9, 1, data.data(), request, 241, 482, 1), 166);
  EXPECT_TRUE(Drain().empty());
}

TEST_F(WebFraming, GracefulCloseEndsWhenThePeerHasClosed) {
  std::vector<std::uint8_t> data(10);
  ASSERT_EQ(SendReplyToWeb(server_.fd(), 1, 1, data.data(), Parsed(Request(REQ_CONTROL, 1)), 0, 10, 1), 1);
  std::thread peer([&] {
    EXPECT_EQ(Drain().size(), 40u);  // the reply, then the server's end
    peer_.Close();
  });
  auto start = std::chrono::steady_clock::now();
  server_.CloseGracefully(20000);
  peer.join();
  // Returns on the peer's end, not at the time-out (nor by spinning until it).
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(server_.valid());
}

TEST_F(WebFraming, SendToAClosedPeerFailsWithoutKillingTheProcess) {
  peer_.Close();
  std::vector<std::uint8_t> data(10);
  EXPECT_EQ(SendReplyToWeb(server_.fd(), 1, 1, data.data(), Parsed(Request(REQ_CONTROL, 1)), 0, 10, 1), 199);
}

}  // namespace
