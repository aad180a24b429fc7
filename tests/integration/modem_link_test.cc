// A slot linked to the simulated system through its modem: the server's
// dev/COM3 is a pseudo-terminal whose far end the simulated modem answers.
// Each connect waits out the modem's ten seconds after dialling.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "platform/serial_port.h"
#include "sim/modem_simulator.h"
#include "support/comm_server.h"
#include "support/wire_helpers.h"

using namespace testsupport;
using client::Bytes;
namespace fs = std::filesystem;

namespace {

constexpr std::uint16_t kLinkCheck = 0x0000;
constexpr std::uint16_t kPgc500 = 0x5000;
constexpr int kRow500 = 40;
constexpr int kRowsPerTable = 25;  // PGC500 in five packets

// A connect's reply comes only after the modem's ten seconds.
Exchange ModemConnect(CommServer& server, const std::string& user) {
  constexpr int kDialReplyMs = 40000;
  client::WebClient connection = server.Connect(user);
  client::Request request = client::MakeRequest("CONNECT_SYSTEM", client::ConnectModemData(3, 2, "5551234"));
  request.final = true;
  Exchange out;
  out.rc = connection.Call(request, out.answer, kDialReplyMs);
  if (out.rc == 1) connection.WaitClosed(kCloseMs);
  return out;
}

}  // namespace

TEST(ModemLink, ConnectCheckReadAndDisconnectOverTheModemThenThePortIsFreeAgain) {
  platform::PseudoTerminal pty;
  std::string error;
  ASSERT_EQ(pty.Open(error), 0) << error;
  sim::ModemOptions options;
  options.system.console = false;
  options.system.strict = true;
  options.system.rowsPerTable = kRowsPerTable;
  sim::ModemSimulator modem(options);
  std::string slavePath = pty.slavePath();
  modem.Start(pty.ReleaseMaster());
  pty.CloseSlave();

  ServerOptions serverOptions;
  serverOptions.infoLevel = 7;  // state changes too
  serverOptions.users = {{"md_a", "pw"}, {"md_b", "pw"}};
  auto server = LaunchServer(serverOptions);
  ASSERT_TRUE(server);
  fs::create_directories(server->commDir() + "/dev");
  fs::create_symlink(slavePath, server->commDir() + "/dev/COM3");

  Exchange connect = ModemConnect(*server, "md_a");
  ASSERT_EQ(connect.rc, 1);
  EXPECT_EQ(connect.answer.replyId(), 14);
  ASSERT_EQ(connect.answer.result(), 1) << server->Console();
  EXPECT_NE(server->Console().find("\nBoundrate = 19200"), std::string::npos);
  EXPECT_EQ(modem.calls(), 1);

  Exchange check = CallOnce(*server, "md_a", Pgc(web::REQ_PGC, web::kModeRead, kLinkCheck));
  ASSERT_EQ(check.rc, 1);
  EXPECT_EQ(check.answer.replyId(), kLinkCheck);
  EXPECT_EQ(check.answer.result(), 1);

  // A table of several packets, each in its own frame, lands in the work database.
  Exchange read = CallOnce(*server, "md_a", Pgc(web::REQ_TABLE_DOWNLOAD, web::kModeRead, kPgc500));
  ASSERT_EQ(read.rc, 1);
  EXPECT_EQ(read.answer.result(), 1);
  Exchange stored = CallOnce(*server, "md_a", Pgc(web::REQ_TABLE_UPLOAD, web::kModeRead, kPgc500));
  sim::Table table;
  modem.tables().Read(kPgc500, table);
  EXPECT_EQ(stored.answer.data.size(), static_cast<std::size_t>(kRowsPerTable * kRow500));
  EXPECT_EQ(SortedRows(stored.answer.data, kRow500), SortedRows(table.rows, kRow500));

  // While md_a holds the port, nobody else dials.
  Exchange refused = ModemConnect(*server, "md_b");
  EXPECT_EQ(refused.answer.result(), 154);
  EXPECT_EQ(modem.calls(), 1);

  Exchange disconnect = CallOnce(*server, "md_a", Disconnect());
  ASSERT_EQ(disconnect.rc, 1);
  EXPECT_EQ(disconnect.answer.result(), 1);
  EXPECT_NE(server->Logs().find("Disconnect with system by SIO success"), std::string::npos);

  Exchange again = ModemConnect(*server, "md_b");
  EXPECT_EQ(again.answer.result(), 1);
  EXPECT_EQ(modem.calls(), 2);
  EXPECT_EQ(CallOnce(*server, "md_b", Disconnect()).answer.result(), 1);
  server.reset();
  modem.Stop();
  EXPECT_EQ(modem.violations(), 0);
}
