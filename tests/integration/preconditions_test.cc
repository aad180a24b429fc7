// Requests refused by their preconditions in state "idle", as the web front
// end sees them: the reply id, the result and the prepared data; every
// refusal ends the connection.
#include <gtest/gtest.h>

#include "support/system_suite.h"

using namespace testsupport;
using client::Bytes;

namespace {

struct Refusal {
  const char* name;
  std::uint16_t messageId;  // for the PGC families
  Bytes data;
  int result;
  int replyId;
  Bytes answer;
};

Bytes Zeros(std::size_t n) { return Bytes(n, 0); }

Bytes NameAnswer(const std::string& name) {
  Bytes out(52, 0);
  std::copy(name.begin(), name.end(), out.begin());
  return out;
}

}  // namespace

class Preconditions : public ServerSuite {
 protected:
  static void SetUpTestSuite() { LaunchWith({{"pc_user", "pw"}}); }

  static void ExpectRefused(const Refusal& r) {
    SCOPED_TRACE(r.name + std::string(" ") + std::to_string(r.messageId));
    client::Request request = client::MakeRequest(r.name, r.data);
    const client::CatalogueEntry* entry = client::FindRequest(r.name);
    if (entry->takesMessageId) request.messageId = r.messageId;
    client::WebClient connection = server_->Connect("pc_user");
    Exchange refused = Call(connection, request);  // not final: the refusal alone ends it
    ASSERT_EQ(refused.rc, 1) << server_->Console().substr(0, 3000);
    EXPECT_EQ(refused.answer.result(), r.result);
    EXPECT_EQ(refused.answer.replyId(), r.replyId);
    EXPECT_EQ(refused.answer.data, r.answer);
    EXPECT_EQ(connection.WaitClosed(kCloseMs), 1);
  }

};

// The dispatch's side of the checks: reply ids, prepared answers and the
// refusal of the PGC families by type (the rules themselves: unit
// RequestPreconditions).
TEST_F(Preconditions, RequestsThatNeedALinkOrAFileAreRefusedInIdleAsTheWebSeesThem) {
  const Refusal refusals[] = {
      {"FILE_CLOSE", 0, client::FileNameData("f1"), 189, 0, Zeros(60)},
      {"SYSTEM_COMMAND_SET", 0, {}, 189, 0, Zeros(60)},
      {"ALL_DOWNLOAD_START", 0, client::DownloadStartData("dl1", 0), 189, 22, NameAnswer("dl1")},
      {"ALL_DOWNLOAD_END", 0, {}, 189, 0, Zeros(60)},
      {"DOWNLOAD_PGC", 0, client::PgcTableData(0x7240), 189, 0, Zeros(60)},
      {"ALL_UPLOAD_START", 0, client::FileNameData("up1"), 189, 26, NameAnswer("up1")},
      {"ALL_UPLOAD_END", 0, {}, 189, 0, Zeros(60)},
      {"UPLOAD_PGC", 0, client::PgcTableData(0x7240), 189, 0, Zeros(60)},
      {"STORE_PGC", 0, {1, 2, 3}, 189, 0, Zeros(60)},
      {"FILE_OPEN", 0, client::FileNameData("  nosuchfile  "), 188, 19, NameAnswer("nosuchfile")},
      {"PGC_READ", 0x7240, {}, 189, 0, RefusalData(0x7240)},
      {"PGC_WRITE", 0x7240, {1, 2}, 189, 0, RefusalData(0x7240)},
      {"LINK_CHECK", 0, {}, 189, 0, RefusalData(0x0000)},
      {"DISCONNECT", 0, {}, 189, 0, RefusalData(0x0001)},
      {"KEEP_ALIVE", 0, {}, 189, 0, RefusalData(0xFFFF)},
      {"TABLE_DOWNLOAD_READ", 0x8240, {}, 189, 0, RefusalData(0x8240)},
      {"TABLE_DOWNLOAD_WRITE", 0x8240, {5}, 189, 0, RefusalData(0x8240)},
      {"TABLE_UPLOAD_READ", 0x2171, {}, 189, 0, RefusalData(0x2171)},
      {"TABLE_UPLOAD_WRITE", 0x2171, {5}, 189, 0, RefusalData(0x2171)},
      {"RESTART", 0x5010, {0, 1}, 190, 0, RefusalData(0x5010)},
  };
  for (const Refusal& r : refusals) ExpectRefused(r);
  std::string logs = server_->Logs();
  EXPECT_NE(logs.find("COMM is in idle state, please connect to system first."), std::string::npos);
  const std::string text = "COMM is in idle state, please open$create a offline file or connect to system first";
  for (const char* suffix : {"111.", "333.", "555."}) EXPECT_NE(logs.find(text + suffix), std::string::npos) << suffix;

  // The restart's state is checked before its mode byte.
  client::Request restart = client::MakeRequest("RESTART");
  restart.messageId = 0x5010;
  restart.mode = web::kModeRead;
  Exchange refused = CallOnce(*server_, "pc_user", restart);
  EXPECT_EQ(refused.answer.result(), 190);
  EXPECT_EQ(refused.answer.data, RefusalData(0x5010));
}
