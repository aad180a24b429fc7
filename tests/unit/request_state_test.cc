#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "frame/config.h"
#include "frame/slots.h"
#include "requests/request.h"
#include "requests/request_state.h"
#include "support/test_installation.h"
#include "support/web_msg.h"

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
    return testsupport::WebMsgOf({.type = type, .userId = "alice", .bodyType = type, .mode = mode, .messageId = id,
                                  .finalSeq = 1, .data = data});
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

// Each row: the slot state, the request and its data, the code the check
// gives and, when it passes, the name the 52-byte answer starts with.
TEST_F(RequestPreconditions, StateAndFileChecksOfTheControlRequests) {
  struct Case {
    state::Id state;
    std::uint16_t id;
    std::string data;
    int expected;
    const char* answer = nullptr;
    std::uint8_t type = web::REQ_CONTROL;
    std::uint8_t mode = web::kModeRead;
  };
  using state::kIdle, state::kOnline, state::kOffline, state::kDownload, state::kUpload;
  const std::string present0 = WithModeByte("present", 0);
  const Case cases[] = {
      {kOffline, 1, "", 190, nullptr, web::REQ_RESTART, web::kModeWrite},
      {kOnline, 1, "", 170, nullptr, web::REQ_RESTART, web::kModeRead},
      {kOnline, 1, "", 1, nullptr, web::REQ_RESTART, web::kModeWrite},
      {kIdle, CONNECT_SYSTEM, "", 1, "workDB_7"},
      {kOffline, CONNECT_SYSTEM, "", 190},
      {kIdle, TAKEOVER_SYSTEM, "", 1, "workDB_7"},
      {kOffline, TAKEOVER_SYSTEM, "", 190},
      {kOnline, FILE_CREATE, "newfile", 190},
      {kOnline, FILE_OPEN, "present", 190},
      {kIdle, FILE_CREATE, "present", 181},
      {kIdle, FILE_CREATE, "  newfile ", 1, "newfile"},
      {kIdle, FILE_OPEN, "missing", 188},
      {kIdle, FILE_OPEN, "present", 1},
      {kIdle, FILE_CLOSE, "present", 189},
      {kOnline, FILE_CLOSE, "present", 190},
      {kOffline, FILE_CLOSE, "missing", 183},
      {kOffline, FILE_CLOSE, "present", 184},
      {kIdle, STORE_PGC, "", 189},
      {kIdle, SYSTEM_COMMAND_SET, "", 189},
      {kUpload, STORE_PGC, "", 190},
      {kUpload, SYSTEM_COMMAND_SET, "", 190},
      {kDownload, STORE_PGC, "", 1},
      {kOffline, STORE_PGC, "", 1},
      {kOffline, SYSTEM_COMMAND_SET, "", 190},
      {kOnline, SYSTEM_COMMAND_SET, "", 1},
      {kIdle, ALL_DOWNLOAD_START, present0, 189},
      {kOffline, ALL_DOWNLOAD_START, present0, 190},
      {kOnline, ALL_DOWNLOAD_START, present0, 181},
      {kOnline, ALL_DOWNLOAD_START, WithModeByte("fresh", 0), 1, "fresh"},
      {kOnline, ALL_DOWNLOAD_START, WithModeByte("missing", 1), 188},
      {kOnline, ALL_DOWNLOAD_START, WithModeByte("present", 1), 1},
      // Any other mode skips the existence test; the in-use test still runs.
      {kOnline, ALL_DOWNLOAD_START, WithModeByte("missing", 5), 1},
      {kIdle, ALL_UPLOAD_START, "present", 189},
      {kDownload, ALL_UPLOAD_START, "present", 190},
      {kOnline, ALL_UPLOAD_START, "missing", 188},
      {kOnline, ALL_UPLOAD_START, "present", 1},
  };
  for (const Case& c : cases) {
    State(c.state);
    EXPECT_EQ(Check(Message(c.type, c.mode, c.id, c.data), 52), c.expected) << c.id << " " << c.data << " in "
                                                                           << state::Text(c.state);
    if (c.answer != nullptr) {
      EXPECT_STREQ(reinterpret_cast<const char*>(reply_.data()), c.answer) << c.id;
    }
  }
}

// A file counts as in use only while another user works on it offline.
TEST_F(RequestPreconditions, FilesInUseByAnotherUserAre177) {
  State(state::kIdle);
  WorksOn("bob", "present", 1);  // linked, not offline: does not count
  EXPECT_EQ(Check(Control(FILE_OPEN, "present"), 52), 1);
  WorksOn("bob", "present");
  EXPECT_EQ(Check(Control(FILE_OPEN, "present"), 52), 177);
  State(state::kOnline);
  EXPECT_EQ(Check(Control(ALL_DOWNLOAD_START, WithModeByte("present", 5)), 52), 177);
  EXPECT_EQ(Check(Control(ALL_UPLOAD_START, "present"), 52), 177);
  State(state::kOffline);
  WorksOn("alice", "present");
  EXPECT_EQ(Check(Control(FILE_CLOSE, "present")), 1);
  State(state::kIdle);
  WorksOn("bob", "newfile");
  EXPECT_EQ(Check(Control(FILE_CREATE, "newfile"), 52), 177);
}

TEST_F(RequestPreconditions, TransferRequestsNeedTheirTransferState) {
  for (auto [id, needed] : {std::pair{ALL_DOWNLOAD_END, state::kDownload}, {DOWNLOAD_PGC, state::kDownload},
                            {ALL_UPLOAD_END, state::kUpload}, {UPLOAD_PGC, state::kUpload}}) {
    for (auto [in, expected] : {std::pair{state::kIdle, 189}, {state::kOnline, 190}, {needed, 1}}) {
      State(in);
      EXPECT_EQ(Check(Control(id)), expected) << id << " in " << state::Text(in);
    }
  }
}

TEST_F(RequestPreconditions, RollBackWritesTheConnectStateOfTheRequestsUser) {
  ASSERT_EQ(RollBackDataBase(2, Control(FILE_OPEN), kSlot), 1);
  EXPECT_EQ(testsupport::UserDbQuery("select user_id, connect_state from userinfo order by user_id"),
            (testsupport::SqlRows{{"alice", "2"}, {"bob", "0"}}));
}

}  // namespace
