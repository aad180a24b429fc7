// User administration over the wire where the user database's own SQL
// matters (run again on PostgreSQL): quotes in ids, the personal columns.
#include <gtest/gtest.h>

#include "support/system_suite.h"

using namespace testsupport;
using client::Bytes;
using client::kDelete;
using client::kInsert;
using client::kUpdate;

class UserAdmin : public ServerSuite {
 protected:
  static void SetUpTestSuite() {
    LaunchWith({{"admin", "admin"}, {"ua_ext", "pw"}, {"ua_keep1", "pw1"}, {"ua_keep2", "pw2"}});
  }

  // A USER_SET from the administrator on its own connection.
  static Exchange Users(const std::vector<Bytes>& records) { return CallOnce(*server_, "admin", UserSet(records)); }
  static std::vector<Row> AllUsers() { return server_->Query("select * from userinfo order by user_id"); }

};

TEST_F(UserAdmin, QuotesInUserIdsAreRefusedOrStoredExactly) {
  auto before = AllUsers();
  Exchange insert = Users({client::UserRecord(kInsert, 2, "o'hara", "p'w")});
  ASSERT_EQ(insert.rc, 1);
  auto row = server_->UserRow("o'hara");
  if (insert.answer.result() == 1) {
    ASSERT_TRUE(row);
    EXPECT_EQ(insert.answer.data, RefusalData(6));  // the answer of user administration
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
  ASSERT_TRUE(Answered(ext, 0, 1));
  EXPECT_EQ(ext.answer.data, RefusalData(30));
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
