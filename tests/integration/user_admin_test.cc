// Administration of users and links over the wire, checked against the
// tables the server writes.
#include <gtest/gtest.h>

#include "support/comm_server.h"
#include "support/wire_helpers.h"

using namespace testsupport;
using client::Bytes;
using client::kDelete;
using client::kInsert;
using client::kUpdate;

class UserAdmin : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ServerOptions options;
    options.infoLevel = 2;
    options.users = {{"admin", "admin"},  {"ua_upd", "old"},     {"ua_logged", "pw"},
                     {"ua_slot", "pw"},   {"ua_del", "pw"},      {"ua_ext", "pw"},
                     {"ua_keep1", "pw1"}, {"ua_keep2", "pw2"}};
    server_ = LaunchServer(options);
  }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override { ASSERT_TRUE(server_ && server_->running()); }

  // A USER_SET from the administrator on its own connection.
  static Exchange Users(const std::vector<Bytes>& records) { return CallOnce(*server_, "admin", UserSet(records)); }
  static Exchange Links(const Bytes& data) {
    return CallOnce(*server_, "admin", client::MakeRequest("LINK_SET", data));
  }
  static std::vector<Row> AllUsers() { return server_->Query("select * from userinfo order by user_id"); }
  static std::size_t LinkCount(const std::string& where) {
    return server_->Query("select * from linkinfo where " + where).size();
  }

  static inline std::unique_ptr<CommServer> server_;
};

namespace {

// The 60 bytes of a user administration answer: message id 6 or 30, then 0xFF.
Bytes AdminAnswer(std::uint16_t messageId) { return RefusalData(messageId); }

// Link names compare as 20 character codes, one per column.
std::string NameCondition(const std::string& name) {
  std::string where;
  for (std::size_t i = 0; i < 20; ++i) {
    int code = i < name.size() ? static_cast<unsigned char>(name[i]) : 0;
    where += (i ? " and " : "") + std::string("link_name") + std::to_string(i + 1) + " = " + std::to_string(code);
  }
  return where;
}

}  // namespace

TEST_F(UserAdmin, InsertStoresIdPasswordAndLevel) {
  Exchange insert = Users({client::UserRecord(kInsert, 3, "ua_new", "np")});
  ASSERT_EQ(insert.rc, 1);
  EXPECT_EQ(insert.answer.replyId(), 0);
  EXPECT_EQ(insert.answer.result(), 1);
  EXPECT_EQ(insert.answer.data, AdminAnswer(6));
  auto row = server_->UserRow("ua_new");
  ASSERT_TRUE(row);
  EXPECT_EQ((*row)["user_pwd"], "np");
  EXPECT_EQ((*row)["user_level"], "3");
  EXPECT_EQ((*row)["login_state"], "0");
}

TEST_F(UserAdmin, InsertOfExistingUserIs219AndKeepsEarlierRecords) {
  Exchange insert = Users({client::UserRecord(kInsert, 1, "ua_first", "a"), client::UserRecord(kInsert, 1, "admin", "b"),
                           client::UserRecord(kInsert, 1, "ua_never", "c")});
  ASSERT_EQ(insert.rc, 1);
  EXPECT_EQ(insert.answer.result(), DB_INSERT_ERROR_EXIST);
  EXPECT_TRUE(server_->UserRow("ua_first"));
  EXPECT_FALSE(server_->UserRow("ua_never"));
  EXPECT_EQ((*server_->UserRow("admin"))["user_pwd"], "admin");
}

TEST_F(UserAdmin, UpdateChangesPasswordAndLevelAndKeepsTheRest) {
  ASSERT_EQ(CallOnce(*server_, "ua_upd", Login("ua_upd", "old", "s-upd", "10.2.3.4")).answer.result(), 1);
  Exchange update = Users({client::UserRecord(kUpdate, 7, "ua_upd", "new")});
  ASSERT_EQ(update.rc, 1);
  EXPECT_EQ(update.answer.result(), 1);
  auto row = server_->UserRow("ua_upd");
  ASSERT_TRUE(row);
  EXPECT_EQ((*row)["user_pwd"], "new");
  EXPECT_EQ((*row)["user_level"], "7");
  EXPECT_EQ((*row)["session_id"], "s-upd");
  EXPECT_EQ((*row)["ip"], "10.2.3.4");
  EXPECT_EQ((*row)["login_count"], "1");
}

TEST_F(UserAdmin, UpdateOrDeleteOfUnknownUserIs221Or224) {
  Exchange update = Users({client::UserRecord(kUpdate, 1, "ua_ghost", "x")});
  ASSERT_EQ(update.rc, 1);
  EXPECT_EQ(update.answer.result(), DB_UPDATE_ERROR_NO_RECORD);
  Exchange remove = Users({client::UserRecord(kDelete, 0, "ua_ghost", "")});
  ASSERT_EQ(remove.rc, 1);
  EXPECT_EQ(remove.answer.result(), DB_DELETE_ERROR_NO_RECORD);
  EXPECT_FALSE(server_->UserRow("ua_ghost"));
}

TEST_F(UserAdmin, DataThatIsNotWholeRecordsIs169AndChangesNothing) {
  Bytes record = client::UserRecord(kInsert, 1, "ua_partial", "x");
  record.push_back(0);
  auto before = AllUsers();
  Exchange insert = CallOnce(*server_, "admin", client::MakeRequest("USER_SET", record));
  ASSERT_EQ(insert.rc, 1);
  EXPECT_EQ(insert.answer.result(), 169);
  EXPECT_EQ(AllUsers(), before);
}

TEST_F(UserAdmin, DeleteRemovesOnlyThatUser) {
  auto before = AllUsers();
  Exchange remove = Users({client::UserRecord(kDelete, 0, "ua_del", "")});
  ASSERT_EQ(remove.rc, 1);
  EXPECT_EQ(remove.answer.result(), 1);
  EXPECT_FALSE(server_->UserRow("ua_del"));
  EXPECT_EQ(AllUsers().size(), before.size() - 1);
}

TEST_F(UserAdmin, DeleteOfLoggedInUserIs216AndKeepsTheRow) {
  ASSERT_EQ(CallOnce(*server_, "ua_logged", Login("ua_logged", "pw", "s1")).answer.result(), 1);
  Exchange remove = Users({client::UserRecord(kDelete, 0, "ua_logged", "")});
  ASSERT_EQ(remove.rc, 1);
  EXPECT_EQ(remove.answer.result(), DB_DELETE_ERROR_USER_LOGIN);
  EXPECT_TRUE(server_->UserRow("ua_logged"));
}

TEST_F(UserAdmin, DeleteOfUserWhoHoldsASlotIs212) {
  client::WebClient holder = server_->Connect("ua_slot");
  ASSERT_EQ(Call(holder, Logout("ua_slot", "x")).answer.result(), 1);  // served; the slot is held
  Exchange remove = Users({client::UserRecord(kDelete, 0, "ua_slot", "")});
  ASSERT_EQ(remove.rc, 1);
  EXPECT_EQ(remove.answer.replyId(), 0);
  EXPECT_EQ(remove.answer.result(), 212);
  EXPECT_EQ(remove.answer.data, AdminAnswer(6));
  EXPECT_TRUE(server_->UserRow("ua_slot"));
}

TEST_F(UserAdmin, QuotesInUserIdsAreRefusedOrStoredExactly) {
  auto before = AllUsers();
  Exchange insert = Users({client::UserRecord(kInsert, 2, "o'hara", "p'w")});
  ASSERT_EQ(insert.rc, 1);
  auto row = server_->UserRow("o'hara");
  if (insert.answer.result() == 1) {
    ASSERT_TRUE(row);
    EXPECT_EQ((*row)["user_pwd"], "p'w");
    EXPECT_EQ(AllUsers().size(), before.size() + 1);
    Exchange login = CallOnce(*server_, "o'hara", Login("o'hara", "p'w", "s1"));
    EXPECT_EQ(login.answer.result(), 1);
  } else {
    EXPECT_FALSE(row);
    EXPECT_EQ(AllUsers(), before);
  }
  // A delete whose id reads as a condition must match no one.
  auto afterInsert = AllUsers();
  Exchange remove = Users({client::UserRecord(kDelete, 0, "x' or '1'='1", "")});
  ASSERT_EQ(remove.rc, 1);
  EXPECT_NE(remove.answer.result(), 1);
  Exchange update = Users({client::UserRecord(kUpdate, 0, "ua_keep1' or '1'='1", "hacked")});
  ASSERT_EQ(update.rc, 1);
  EXPECT_NE(update.answer.result(), 1);
  EXPECT_EQ(AllUsers(), afterInsert);
}

TEST_F(UserAdmin, ExtendedRecordStoresPersonalData) {
  client::ExtendedUser user{"ua_ext", "pw2", "Ada Lovelace", "+44 20 1234", "+44 77 5678",
                            "12 St James's Square, London", "Analyst", "ada@example.org"};
  Exchange ext = CallOnce(*server_, "admin", client::MakeRequest("USER_SET_EXT", client::ExtendedUserRecord(user)));
  ASSERT_EQ(ext.rc, 1);
  EXPECT_EQ(ext.answer.replyId(), 0);
  EXPECT_EQ(ext.answer.result(), 1);
  EXPECT_EQ(ext.answer.data, AdminAnswer(30));
  auto row = server_->UserRow("ua_ext");
  ASSERT_TRUE(row);
  EXPECT_EQ((*row)["user_pwd"], "pw2");
  EXPECT_EQ((*row)["name"], user.name);
  EXPECT_EQ((*row)["phone"], user.phone);
  EXPECT_EQ((*row)["mobile"], user.mobile);
  EXPECT_EQ((*row)["address"], user.address);
  EXPECT_EQ((*row)["job"], user.job);
  EXPECT_EQ((*row)["email"], user.email);
}

TEST_F(UserAdmin, LinksAreInsertedUpdatedAndDeletedByName) {
  std::vector<std::uint8_t> params(48);
  for (std::size_t i = 0; i < params.size(); ++i) params[i] = static_cast<std::uint8_t>(i + 1);
  Exchange insert = Links(client::LinkRecord(kInsert, 0, "trunk-a", params));
  ASSERT_EQ(insert.rc, 1);
  EXPECT_EQ(insert.answer.result(), 1);
  EXPECT_EQ(insert.answer.data, Bytes(60, 0));  // link requests prepare no answer data
  auto rows = server_->Query("select * from linkinfo where " + NameCondition("trunk-a"));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["link_type"], "0");
  EXPECT_EQ(rows[0]["link_info1"], "1");
  EXPECT_EQ(rows[0]["link_info48"], "48");

  Exchange same = Links(client::LinkRecord(kInsert, 1, "trunk-a", {9, 9}));
  ASSERT_EQ(same.rc, 1);
  EXPECT_EQ(same.answer.result(), DB_INSERT_ERROR_EXIST);

  Exchange update = Links(client::LinkRecord(kUpdate, 2, "trunk-a", {7}));
  ASSERT_EQ(update.rc, 1);
  EXPECT_EQ(update.answer.result(), 1);
  rows = server_->Query("select * from linkinfo where " + NameCondition("trunk-a"));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["link_type"], "2");
  EXPECT_EQ(rows[0]["link_info1"], "7");

  EXPECT_EQ(Links(client::LinkRecord(kUpdate, 0, "trunk-zz", {})).answer.result(), DB_UPDATE_ERROR_NO_RECORD);
  EXPECT_EQ(Links(client::LinkRecord(kDelete, 0, "trunk-zz", {})).answer.result(), DB_DELETE_ERROR_NO_RECORD);
  EXPECT_EQ(Links(client::LinkRecord(kDelete, 0, "trunk-a", {})).answer.result(), 1);
  EXPECT_EQ(LinkCount(NameCondition("trunk-a")), 0u);
}

TEST_F(UserAdmin, LinkDataThatIsNotWholeRecordsIs169) {
  Bytes data = client::LinkRecord(kInsert, 0, "trunk-b", {});
  data.resize(69);
  Exchange insert = Links(data);
  ASSERT_EQ(insert.rc, 1);
  EXPECT_EQ(insert.answer.result(), 169);
  EXPECT_EQ(LinkCount(NameCondition("trunk-b")), 0u);
}
