// PGC data in an offline file over the wire: tables written by the web in
// several packets and read back, the keep-alive and PGC501's time-out.
#include <gtest/gtest.h>

#include <cstring>

#include "support/system_suite.h"

using namespace testsupport;
using client::Bytes;

namespace {

constexpr std::uint16_t kPgc500 = 0x5000;  // 40-byte rows, replaced as a whole
constexpr int kRow = 40;

Bytes Rows(int count, int salt) {
  Bytes rows(static_cast<std::size_t>(count) * kRow);
  for (int i = 0; i < count; ++i) {
    std::uint8_t* row = &rows[static_cast<std::size_t>(i) * kRow];
    row[0] = static_cast<std::uint8_t>(i >> 8);
    row[1] = static_cast<std::uint8_t>(i);
    for (int c = 2; c < kRow; ++c) row[c] = static_cast<std::uint8_t>(i * 13 + c + salt);
  }
  return rows;
}

// Version 1, country 0, system 1: the description the row lengths are chosen by.
Bytes InfoRecord() {
  Bytes info(58, 0);
  info[1] = 1;
  info[3] = 1;
  return info;
}

client::Request Table(std::uint8_t mode, std::uint16_t id, Bytes data = {}) {
  return Pgc(web::REQ_TABLE_DOWNLOAD, mode, id, std::move(data), kRow);
}

}  // namespace

class OfflinePgc : public ServerSuite {
 protected:
  static void SetUpTestSuite() { LaunchWith({{"op_a", "pw"}, {"op_b", "pw"}, {"op_c", "pw"}}); }

  // Creates `file` for `user` and stores the system description in it.
  static void OpenFile(const std::string& user, const std::string& file) {
    auto c = server_->Connect(user);
    ASSERT_EQ(Call(c, client::MakeRequest("FILE_CREATE", client::FileNameData(file))).answer.result(), 1);
    client::Request info = client::MakeRequest("STORE_PGC", InfoRecord());
    info.final = true;
    ASSERT_EQ(Call(c, info).answer.result(), 1);
  }
  // Writes the rows as packets of six rows on one connection; the result of
  // the last packet.
  static int Write(const std::string& user, std::uint16_t id, const Bytes& rows) {
    auto c = server_->Connect(user);
    Exchange last;
    for (std::size_t at = 0; at < rows.size(); at += 6 * kRow) {
      client::Request r = Table(web::kModeWrite, id, Bytes(rows.begin() + at, rows.begin() + std::min(rows.size(), at + 6 * kRow)));
      r.final = at + 6 * kRow >= rows.size();
      last = Call(c, r);
      if (last.rc != 1 || last.answer.result() != 1) break;
    }
    return last.rc == 1 ? last.answer.result() : -last.rc;
  }
  static Exchange Read(const std::string& user, std::uint16_t id) {
    return CallOnce(*server_, user, Table(web::kModeRead, id));
  }

};

TEST_F(OfflinePgc, MultiPacketTableComesBackByteForByte) {
  OpenFile("op_a", "roundtrip");
  Bytes rows = Rows(300, 0);  // 50 packets in, 50 pieces out
  ASSERT_EQ(Write("op_a", kPgc500, rows), 1);
  Exchange back = Read("op_a", kPgc500);
  ASSERT_EQ(back.rc, 1);
  EXPECT_EQ(back.answer.replyId(), kPgc500);
  EXPECT_EQ(back.answer.recordLength(), kRow);
  EXPECT_EQ(back.answer.pieces.size(), 50u);
  EXPECT_EQ(SortedRows(back.answer.data, kRow), SortedRows(rows, kRow));
}

TEST_F(OfflinePgc, KeepAliveIsAnsweredWithoutARead) {
  OpenFile("op_b", "keepalive");
  client::Request keepAlive;
  keepAlive.type = web::REQ_PGC;
  keepAlive.mode = web::kModeRead;
  keepAlive.messageId = 0xFFFF;
  Exchange answer = CallOnce(*server_, "op_b", keepAlive);
  ASSERT_TRUE(Answered(answer, 0, 1));
  EXPECT_EQ(answer.answer.data, RefusalData(0xFFFF));
}

TEST_F(OfflinePgc, WritingPgc501ReloadsTheWebTimeout) {
  OpenFile("op_c", "timeout");
  Bytes row(60, 0);
  row[52] = 10;  // minutes
  client::Request write;
  write.type = web::REQ_PGC;
  write.mode = web::kModeWrite;
  write.messageId = 0x5010;
  write.recordLength = 60;
  write.data = row;
  Exchange stored = CallOnce(*server_, "op_c", write);
  ASSERT_TRUE(Answered(stored, 0x5010, 1));
  EXPECT_TRUE(server_->WaitConsole("the time out value is changed to 10 minutes", 5000));
}
