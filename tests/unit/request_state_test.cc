#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "frame/config.h"
#include "frame/slots.h"
#include "requests/request.h"
#include "requests/request_state.h"
#include "support/test_installation.h"
#include "web/web_message.h"

namespace {

using namespace requests;

constexpr int kSlot = 7;

class RequestPreconditions : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto& inst = testsupport::SharedInstallation();
    SetPaths(BuildPaths(inst.commDir, inst.dir + "/web"));
    std::filesystem::create_directories(Paths().offlineDatabasePath);
    std::ofstream(Paths().offlineDatabasePath + "present.mdb").close();
    testsupport::ResetUserTables();
    ClearAllFlags();
  }
  void TearDown() override { ClearAllFlags(); }

  web::WebMsg Control(std::uint16_t id, std::string_view data = {}) {
    return Message(web::REQ_CONTROL, web::kModeRead, id, data);
  }
  web::WebMsg Message(std::uint8_t type, std::uint8_t mode, std::uint16_t id, std::string_view data = {}) {
    std::uint8_t raw[web::kMaxMessage] = {};
    web::MessageFields f;
    f.type = type;
    f.userId = "alice";
    f.bodyType = type;
    f.mode = mode;
    f.messageId = id;
    f.finalSeq = 1;
    f.data = data;
    web::BuildMessage(raw, f);
    web::WebMsg msg;
    web::ParseWebMessage(msg, raw);
    return msg;
  }
  int Check(const web::WebMsg& msg, int recordLength = 60) {
    return CheckRequestState(reply_, recordLength, msg, kSlot);
  }
  void State(state::Id s) { SetState(kSlot, s); }
  void WorksOn(const std::string& user, const std::string& file, int connectState = 2) {
    testsupport::UserDbExec("update userinfo set connect_state = " + std::to_string(connectState) +
                            ", connect_offline = '" + file + "' where user_id = '" + user + "'");
  }
  static std::string WithModeByte(const std::string& name, std::uint8_t mode) {
    std::string data(31, '\0');
    std::memcpy(data.data(), name.data(), name.size());
    data[30] = static_cast<char>(mode);
    return data;
  }

  std::vector<std::uint8_t> reply_;
};

TEST_F(RequestPreconditions, RequestsWithoutPreconditionPassInEveryState) {
  for (state::Id s : {state::kIdle, state::kOnline, state::kOffline, state::kDownload, state::kUpload}) {
    State(s);
    for (std::uint16_t id : {LOGIN, LOGIN_RESET, LINK_SET, FILE_LIST, FILE_DELETE, FILE_USER_LIST}) {
      EXPECT_EQ(Check(Control(id)), 1) << id << " in " << state::Text(s);
    }
    for (std::uint8_t type : {web::REQ_PGC, web::REQ_TABLE_DOWNLOAD, web::REQ_TABLE_UPLOAD}) {
      EXPECT_EQ(Check(Message(type, web::kModeWrite, 0x7240)), 1) << int(type) << " in " << state::Text(s);
    }
  }
}

TEST_F(RequestPreconditions, ReplyDataIsOneMoreThanTheRecordAndZeroed) {
  EXPECT_EQ(Check(Control(LOGIN), 120), 1);
  ASSERT_EQ(reply_.size(), 121u);
  EXPECT_EQ(std::count(reply_.begin(), reply_.end(), 0), 121);
}

TEST_F(RequestPreconditions, PgcFamiliesGetTheMessageIdAnswerWhereTheyRun) {
  State(state::kOffline);
  ASSERT_EQ(Check(Message(web::REQ_PGC, web::kModeRead, 0x7240)), 1);
  EXPECT_EQ(reply_[0], 0x72);
  EXPECT_EQ(reply_[1], 0x40);
  EXPECT_EQ(std::count(reply_.begin() + 2, reply_.begin() + 60, 0xFF), 58);

  State(state::kDownload);  // no answer prepared: stays zeroed
  ASSERT_EQ(Check(Message(web::REQ_PGC, web::kModeRead, 0x7240)), 1);
  EXPECT_EQ(reply_[0], 0);

  State(state::kIdle);  // the restart prepares it in every state
  EXPECT_EQ(Check(Message(web::REQ_RESTART, web::kModeWrite, 0x0102)), 190);
  EXPECT_EQ(reply_[0], 0x01);
  EXPECT_EQ(reply_[59], 0xFF);
}

TEST_F(RequestPreconditions, RestartNeedsOnlineAndWriteMode) {
  State(state::kOffline);
  EXPECT_EQ(Check(Message(web::REQ_RESTART, web::kModeWrite, 1)), 190);
  State(state::kOnline);
  EXPECT_EQ(Check(Message(web::REQ_RESTART, web::kModeRead, 1)), 170);
  EXPECT_EQ(Check(Message(web::REQ_RESTART, web::kModeWrite, 1)), 1);
}

TEST_F(RequestPreconditions, ConnectNeedsIdleAndAnswersWithTheWorkDatabaseName) {
  for (std::uint16_t id : {CONNECT_SYSTEM, TAKEOVER_SYSTEM}) {
    State(state::kIdle);
    ASSERT_EQ(Check(Control(id), 52), 1);
    EXPECT_STREQ(reinterpret_cast<const char*>(reply_.data()), "workDB_7");
    State(state::kOffline);
    EXPECT_EQ(Check(Control(id), 52), 190);
  }
}

TEST_F(RequestPreconditions, UserDeleteRefusedWhileTheUserHoldsASlot) {
  std::string del(34, '\0');
  del[0] = 2;
  std::memcpy(del.data() + 2, "bob", 3);
  for (std::uint16_t id : {USER_SET, USER_SET_EXT}) {
    EXPECT_EQ(Check(Control(id, del)), 1);
    SetSlotIndex("bob", 3);
    EXPECT_EQ(Check(Control(id, del)), 212);
    EXPECT_EQ(reply_[2], 0xFF);  // the 60-byte answer was prepared first
    SetSlotIndex("", 3);
    std::string update = del;
    update[0] = 1;
    SetSlotIndex("bob", 3);
    EXPECT_EQ(Check(Control(id, update)), 1);
    SetSlotIndex("", 3);
  }
}

TEST_F(RequestPreconditions, LogoutChecksTheLoginStateOfTheNamedUser) {
  EXPECT_EQ(Check(Control(LOGOUT, "alice"), 0), 220);
  testsupport::UserDbExec("update userinfo set login_state = 1 where user_id = 'alice'");
  EXPECT_EQ(Check(Control(LOGOUT, "alice"), 0), 1);
  EXPECT_EQ(Check(Control(LOGOUT, "nobody"), 0), 220);
}

TEST_F(RequestPreconditions, FileCreateAndOpen) {
  State(state::kOnline);
  EXPECT_EQ(Check(Control(FILE_CREATE, "newfile"), 52), 190);
  EXPECT_EQ(Check(Control(FILE_OPEN, "present"), 52), 190);
  State(state::kIdle);
  EXPECT_EQ(Check(Control(FILE_CREATE, "present"), 52), 181);
  EXPECT_EQ(Check(Control(FILE_CREATE, "  newfile "), 52), 1);
  EXPECT_STREQ(reinterpret_cast<const char*>(reply_.data()), "newfile");
  WorksOn("bob", "newfile");
  EXPECT_EQ(Check(Control(FILE_CREATE, "newfile"), 52), 177);

  EXPECT_EQ(Check(Control(FILE_OPEN, "missing"), 52), 188);
  EXPECT_EQ(Check(Control(FILE_OPEN, "present"), 52), 1);
  WorksOn("bob", "present", 1);  // linked, not offline: does not count
  EXPECT_EQ(Check(Control(FILE_OPEN, "present"), 52), 1);
  WorksOn("bob", "present");
  EXPECT_EQ(Check(Control(FILE_OPEN, "present"), 52), 177);
}

TEST_F(RequestPreconditions, FileClose) {
  EXPECT_EQ(Check(Control(FILE_CLOSE, "present")), 189);
  State(state::kOnline);
  EXPECT_EQ(Check(Control(FILE_CLOSE, "present")), 190);
  State(state::kOffline);
  EXPECT_EQ(Check(Control(FILE_CLOSE, "missing")), 183);
  EXPECT_EQ(Check(Control(FILE_CLOSE, "present")), 184);
  WorksOn("alice", "present");
  EXPECT_EQ(Check(Control(FILE_CLOSE, "present")), 1);
}

TEST_F(RequestPreconditions, StoreAndCommandSet) {
  EXPECT_EQ(Check(Control(STORE_PGC)), 189);
  EXPECT_EQ(Check(Control(SYSTEM_COMMAND_SET)), 189);
  State(state::kUpload);
  EXPECT_EQ(Check(Control(STORE_PGC)), 190);
  EXPECT_EQ(Check(Control(SYSTEM_COMMAND_SET)), 190);
  State(state::kDownload);
  EXPECT_EQ(Check(Control(STORE_PGC)), 1);
  State(state::kOffline);
  EXPECT_EQ(Check(Control(STORE_PGC)), 1);
  EXPECT_EQ(Check(Control(SYSTEM_COMMAND_SET)), 190);
  State(state::kOnline);
  EXPECT_EQ(Check(Control(SYSTEM_COMMAND_SET)), 1);
}

TEST_F(RequestPreconditions, DownloadStartChecksByCreationMode) {
  EXPECT_EQ(Check(Control(ALL_DOWNLOAD_START, WithModeByte("present", 0)), 52), 189);
  State(state::kOffline);
  EXPECT_EQ(Check(Control(ALL_DOWNLOAD_START, WithModeByte("present", 0)), 52), 190);
  State(state::kOnline);
  EXPECT_EQ(Check(Control(ALL_DOWNLOAD_START, WithModeByte("present", 0)), 52), 181);
  EXPECT_EQ(Check(Control(ALL_DOWNLOAD_START, WithModeByte("fresh", 0)), 52), 1);
  EXPECT_STREQ(reinterpret_cast<const char*>(reply_.data()), "fresh");
  EXPECT_EQ(Check(Control(ALL_DOWNLOAD_START, WithModeByte("missing", 1)), 52), 188);
  EXPECT_EQ(Check(Control(ALL_DOWNLOAD_START, WithModeByte("present", 1)), 52), 1);
  // Any other mode skips the existence test; the in-use test still runs.
  EXPECT_EQ(Check(Control(ALL_DOWNLOAD_START, WithModeByte("missing", 5)), 52), 1);
  WorksOn("bob", "present");
  EXPECT_EQ(Check(Control(ALL_DOWNLOAD_START, WithModeByte("present", 5)), 52), 177);
}

TEST_F(RequestPreconditions, UploadStart) {
  EXPECT_EQ(Check(Control(ALL_UPLOAD_START, "present"), 52), 189);
  State(state::kDownload);
  EXPECT_EQ(Check(Control(ALL_UPLOAD_START, "present"), 52), 190);
  State(state::kOnline);
  EXPECT_EQ(Check(Control(ALL_UPLOAD_START, "missing"), 52), 188);
  EXPECT_EQ(Check(Control(ALL_UPLOAD_START, "present"), 52), 1);
  WorksOn("bob", "present");
  EXPECT_EQ(Check(Control(ALL_UPLOAD_START, "present"), 52), 177);
}

TEST_F(RequestPreconditions, TransferRequestsNeedTheirTransferState) {
  struct Case {
    std::uint16_t id;
    state::Id state;
  } cases[] = {{ALL_DOWNLOAD_END, state::kDownload}, {DOWNLOAD_PGC, state::kDownload},
               {ALL_UPLOAD_END, state::kUpload}, {UPLOAD_PGC, state::kUpload}};
  for (const auto& c : cases) {
    State(state::kIdle);
    EXPECT_EQ(Check(Control(c.id)), 189) << c.id;
    State(state::kOnline);
    EXPECT_EQ(Check(Control(c.id)), 190) << c.id;
    State(c.state);
    EXPECT_EQ(Check(Control(c.id)), 1) << c.id;
  }
}

TEST_F(RequestPreconditions, RollBackWritesTheConnectStateOfTheRequestsUser) {
  ASSERT_EQ(RollBackDataBase(2, Control(FILE_OPEN), kSlot), 1);
  auto rows = testsupport::UserDbQuery("select connect_state from userinfo where user_id = 'alice'");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], "2");
  auto others = testsupport::UserDbQuery("select connect_state from userinfo where user_id = 'bob'");
  EXPECT_EQ(others[0][0], "0");
}

}  // namespace
