// Offline database files over the wire: list, create, open, close, delete,
// with the user table and the files on disk as the server leaves them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/system_suite.h"

using namespace testsupport;
using client::Bytes;
namespace fs = std::filesystem;

class OfflineFiles : public ServerSuite {
 protected:
  static void SetUpTestSuite() { LaunchWith({{"of_a", "pw"}, {"of_b", "pw"}, {"of_e", "pw"}, {"of_h", "pw"}}); }

  static std::string UserDir() { return server_->commDir() + "/DB_USER/"; }
  static Exchange File(const std::string& user, const char* request, const std::string& name) {
    return CallOnce(*server_, user, client::MakeRequest(request, client::FileNameData(name)));
  }
  static std::string Field(const std::string& user, const std::string& column) {
    auto row = server_->UserRow(user);
    return row ? (*row)[column] : "<no row>";
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

};

TEST_F(OfflineFiles, CreateOpensTheFileAndMarksTheUserUntilClose) {
  Exchange create = File("of_a", "FILE_CREATE", "plant1");
  ASSERT_TRUE(Answered(create, 17, 1));
  EXPECT_EQ(FieldAt(create.answer.data, 0, 52), "plant1");
  EXPECT_TRUE(fs::exists(UserDir() + "plant1.mdb"));
  EXPECT_EQ(Field("of_a", "connect_state"), "2");
  EXPECT_EQ(Field("of_a", "connect_offline"), "plant1");
  EXPECT_TRUE(Listed("plant1"));

  // The slot outlived that connection: a second one finds it "offline".
  EXPECT_EQ(File("of_a", "FILE_CREATE", "another").answer.result(), 190);
  Exchange again = File("of_b", "FILE_OPEN", "plant1");
  EXPECT_TRUE(Answered(again, 19, OPEN_FILE_USED));
  Exchange create2 = File("of_b", "FILE_CREATE", "plant1");
  EXPECT_TRUE(Answered(create2, 17, FILE_EXIST_ERROR));
  Exchange del = CallOnce(*server_, "of_b", client::MakeRequest("FILE_DELETE", client::FileNameFields({"plant1"})));
  EXPECT_TRUE(Answered(del, 11, DELETE_FILE_USED));
  EXPECT_TRUE(fs::exists(UserDir() + "plant1.mdb"));

  Exchange close = File("of_a", "FILE_CLOSE", "plant1");
  EXPECT_TRUE(Answered(close, 0, 1));
  EXPECT_EQ(Field("of_a", "connect_state"), "0");
  // Now idle: a second close is refused as the state says.
  Exchange closeIdle = File("of_a", "FILE_CLOSE", "plant1");
  EXPECT_TRUE(Answered(closeIdle, 0, 189));

  Exchange open = File("of_b", "FILE_OPEN", "plant1");
  EXPECT_TRUE(Answered(open, 19, 1));
  EXPECT_EQ(Field("of_b", "connect_state"), "2");
  EXPECT_EQ(File("of_b", "FILE_CLOSE", "plant1").answer.result(), 1);
}

TEST_F(OfflineFiles, FailedTemplateCopyIs178AndLeavesTheUserIdle) {
  std::string templ = server_->commDir() + "/DB_WEB/WebInit.mdb";
  fs::rename(templ, templ + ".away");
  Exchange create = File("of_e", "FILE_CREATE", "notemplate");
  fs::rename(templ + ".away", templ);
  EXPECT_TRUE(Answered(create, 17, COPY_FILE_ERROR));
  EXPECT_EQ(Field("of_e", "connect_state"), "0");
  // The slot is idle again: the next create goes through.
  Exchange retry = File("of_e", "FILE_CREATE", "notemplate");
  EXPECT_EQ(retry.answer.result(), 1);
  EXPECT_EQ(File("of_e", "FILE_CLOSE", "notemplate").answer.result(), 1);
}
