// Offline database files over the wire: list, create, open, close, delete,
// with the user table and the files on disk as the server leaves them; PGC
// tables written by the web in several packets and read back, the
// keep-alive and PGC501's time-out.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/system_suite.h"

using namespace testsupport;
using client::Bytes;
namespace fs = std::filesystem;

namespace {

constexpr std::uint16_t kPgc500 = 0x5000;  // 40-byte rows, replaced as a whole
constexpr int kRow = 40;

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

class OfflineFiles : public ServerSuite {
 protected:
  static void SetUpTestSuite() {
    LaunchWith({{"of_a", "pw"}, {"of_b", "pw"}, {"of_e", "pw"}, {"of_h", "pw"}, {"op_a", "pw"}, {"op_b", "pw"},
                {"op_c", "pw"}});
  }

  static std::string UserDir() { return server_->commDir() + "/DB_USER/"; }
  static Exchange File(const std::string& user, const char* request, const std::string& name) {
    return CallOnce(*server_, user, client::MakeRequest(request, client::FileNameData(name)));
  }
  static std::vector<std::string> Listed() {
    Exchange list = CallOnce(*server_, "of_h", client::MakeRequest("FILE_LIST"));
    std::vector<std::string> names;
    for (std::size_t at = 0; at + 30 <= list.answer.data.size(); at += 30) names.push_back(FieldAt(list.answer.data, at, 30));
    return names;
  }
  static bool Listed(const std::string& name) {
    auto names = Listed();
    return std::find(names.begin(), names.end(), name) != names.end();
  }
  // Creates `file` for `user` and stores the system description in it.
  static void OpenFile(const std::string& user, const std::string& file) {
    auto c = server_->Connect(user);
    ASSERT_EQ(Call(c, client::MakeRequest("FILE_CREATE", client::FileNameData(file))).answer.result(), 1);
    ASSERT_EQ(Call(c, Final(client::MakeRequest("STORE_PGC", InfoRecord()))).answer.result(), 1);
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

TEST_F(OfflineFiles, CreateOpensTheFileAndMarksTheUserUntilClose) {
  Exchange create = File("of_a", "FILE_CREATE", "plant1");
  ASSERT_TRUE(Answered(create, 17, 1));
  EXPECT_EQ(FieldAt(create.answer.data, 0, 52), "plant1");
  EXPECT_TRUE(fs::exists(UserDir() + "plant1.mdb"));
  EXPECT_EQ(UserFields("of_a", {"connect_state", "connect_offline"}), (std::vector<std::string>{"2", "plant1"}));
  EXPECT_TRUE(Listed("plant1"));

  // The slot outlived that connection: a second one finds it "offline".
  EXPECT_EQ(File("of_a", "FILE_CREATE", "another").answer.result(), 190);
  EXPECT_TRUE(Answered(File("of_b", "FILE_OPEN", "plant1"), 19, OPEN_FILE_USED));
  EXPECT_TRUE(Answered(File("of_b", "FILE_CREATE", "plant1"), 17, FILE_EXIST_ERROR));
  Exchange del = CallOnce(*server_, "of_b", client::MakeRequest("FILE_DELETE", client::FileNameFields({"plant1"})));
  EXPECT_TRUE(Answered(del, 11, DELETE_FILE_USED));
  EXPECT_TRUE(fs::exists(UserDir() + "plant1.mdb"));

  Exchange close = File("of_a", "FILE_CLOSE", "plant1");
  EXPECT_TRUE(Answered(close, 0, 1));
  EXPECT_EQ(UserField("of_a", "connect_state"), "0");
  // Now idle: a second close is refused as the state says.
  EXPECT_TRUE(Answered(File("of_a", "FILE_CLOSE", "plant1"), 0, 189));

  EXPECT_TRUE(Answered(File("of_b", "FILE_OPEN", "plant1"), 19, 1));
  EXPECT_EQ(UserField("of_b", "connect_state"), "2");
  EXPECT_EQ(File("of_b", "FILE_CLOSE", "plant1").answer.result(), 1);
}

TEST_F(OfflineFiles, FailedTemplateCopyIs178AndLeavesTheUserIdle) {
  std::string templ = server_->commDir() + "/DB_WEB/WebInit.mdb";
  fs::rename(templ, templ + ".away");
  Exchange create = File("of_e", "FILE_CREATE", "notemplate");
  fs::rename(templ + ".away", templ);
  EXPECT_TRUE(Answered(create, 17, COPY_FILE_ERROR));
  EXPECT_EQ(UserField("of_e", "connect_state"), "0");
  // The slot is idle again: the next create goes through.
  Exchange retry = File("of_e", "FILE_CREATE", "notemplate");
  EXPECT_EQ(retry.answer.result(), 1);
  EXPECT_EQ(File("of_e", "FILE_CLOSE", "notemplate").answer.result(), 1);
}

TEST_F(OfflineFiles, MultiPacketTableComesBackByteForByte) {
  OpenFile("op_a", "roundtrip");
  Bytes rows = KeyedRows(300, kRow, 0);  // 50 packets in, 50 pieces out
  ASSERT_EQ(Write("op_a", kPgc500, rows), 1);
  Exchange back = Read("op_a", kPgc500);
  ASSERT_TRUE(Answered(back, kPgc500, 1));
  EXPECT_EQ(back.answer.recordLength(), kRow);
  EXPECT_EQ(back.answer.pieces.size(), 50u);
  EXPECT_EQ(SortedRows(back.answer.data, kRow), SortedRows(rows, kRow));
}

TEST_F(OfflineFiles, KeepAliveIsAnsweredWithoutARead) {
  OpenFile("op_b", "keepalive");
  Exchange answer = CallOnce(*server_, "op_b", Pgc(web::REQ_PGC, web::kModeRead, 0xFFFF));
  ASSERT_TRUE(Answered(answer, 0, 1));
  EXPECT_EQ(answer.answer.data, RefusalData(0xFFFF));
}

TEST_F(OfflineFiles, WritingPgc501ReloadsTheWebTimeout) {
  OpenFile("op_c", "timeout");
  Bytes row(60, 0);
  row[52] = 10;  // minutes
  client::Request write;
  write.type = web::REQ_PGC;
  write.mode = web::kModeWrite;
  write.messageId = 0x5010;
  write.recordLength = 60;
  write.data = row;
  ASSERT_TRUE(Answered(CallOnce(*server_, "op_c", write), 0x5010, 1));
  EXPECT_TRUE(server_->WaitConsole("the time out value is changed to 10 minutes", 5000));
}
