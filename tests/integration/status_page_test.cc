// The operator's status server over real HTTP: a server with users in
// several states (serving but idle, offline with a file open, online against
// a simulated system) shows each as it is, in the JSON, the metrics and the
// page as a headless browser renders it without JavaScript; no password,
// session id or personal field of those users ever appears.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "support/comm_server.h"
#include "support/simulated_system.h"
#include "support/wire_helpers.h"

using namespace testsupport;

namespace {

struct Account {
  const char* id;
  const char* password;
  const char* session;
};
constexpr Account kIdle{"st_idle", "Idle-Pw-7731", "SessIdle-3f9a02"};
constexpr Account kOffline{"st_off", "Off-Pw-5520", "SessOff-77c1e4"};
constexpr Account kOnline{"st_on", "On-Pw-9014", "SessOn-a0b3d8"};
const std::string kFile = "ledger1";  // the offline user's file
// The offline user's personal record.
const client::ExtendedUser kPersonal{"st_off", kOffline.password, "Zelda Quarrington", "0170 5551234",
                                     "0171 9998877", "42 Wallaby Way, Sydney", "Night Auditor",
                                     "zelda.q@example.org"};

std::string ChromiumPath() {
  for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
    if (::access(path, X_OK) == 0) return path;
  return {};
}

}  // namespace

class StatusPage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sim::Options system;
    system_ = StartSimulatedSystem(system);
    ServerOptions options;
    options.infoLevel = 2;
    options.users = {{"admin", "admin"}, {kIdle.id, kIdle.password}, {kOffline.id, kOffline.password},
                     {kOnline.id, kOnline.password}};
    server_ = std::make_unique<CommServer>(options);
    statusPort_ = FreePort();
    std::string output;
    int status = RunProgram({std::string(TAVREL_BIN_DIR) + "/tavrel-setup", "--status-port",
                             std::to_string(statusPort_), server_->dir()},
                            output);
    if (status != 0) ADD_FAILURE() << output;
    LaunchOptions launch;
    launch.setEnv["TAVREL_SYSTEM_PORT"] = std::to_string(system.basePort);
    if (!server_->Start(launch) || !server_->WaitListening() || !server_->WaitConsole("status page on", 10000))
      ADD_FAILURE() << server_->Console();
  }
  static void TearDownTestSuite() {
    server_.reset();
    system_.reset();
  }
  void SetUp() override {
    ASSERT_TRUE(system_);
    ASSERT_TRUE(server_ && server_->running());
  }

  static std::string Get(const std::string& path) {
    httplib::Client http("127.0.0.1", statusPort_);
    http.set_connection_timeout(5);
    http.set_read_timeout(10);
    auto response = http.Get(path.c_str());
    if (!response || response->status != 200) return {};
    return response->body;
  }

  // Puts the three users in their states; the idle user's connection stays
  // open (kept busy by file lists) until the returned flag is cleared.
  static void ArrangeUsers(client::WebClient& idle, std::atomic<bool>& keepIdle, std::thread& keeper) {
    ASSERT_EQ(CallOnce(*server_, "admin", client::MakeRequest("USER_SET_EXT", client::ExtendedUserRecord(kPersonal)))
                  .answer.result(),
              1);
    // The offline user opens a file, the online user links to the system.
    for (const auto& [a, request] :
         {std::pair{kOffline, client::MakeRequest("FILE_CREATE", client::FileNameData(kFile))}, {kOnline, LinkRequest()}}) {
      client::WebClient c = server_->Connect(a.id);
      ASSERT_EQ(Call(c, Login(a.id, a.password, a.session)).answer.result(), 1);
      ASSERT_EQ(Call(c, Final(request)).answer.result(), 1);
      c.WaitClosed(kCloseMs);
    }
    idle = server_->Connect(kIdle.id);
    ASSERT_EQ(Call(idle, Login(kIdle.id, kIdle.password, kIdle.session)).answer.result(), 1);
    keepIdle = true;
    // COMM closes a connection that sends nothing for about five seconds.
    keeper = std::thread([&idle, &keepIdle] {
      while (keepIdle) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        if (Call(idle, client::MakeRequest("FILE_LIST")).answer.result() != 1) return;
      }
    });
  }

  static void ReleaseUsers(client::WebClient& idle, std::atomic<bool>& keepIdle, std::thread& keeper) {
    keepIdle = false;
    if (keeper.joinable()) keeper.join();
    if (idle.connected() && Call(idle, Final(Logout(kIdle.id, kIdle.session))).rc == 1) idle.WaitClosed(kCloseMs);
    CallOnce(*server_, kOnline.id, Disconnect());
    CallOnce(*server_, kOnline.id, Logout(kOnline.id, kOnline.session));
    CallOnce(*server_, kOffline.id, client::MakeRequest("FILE_CLOSE", client::FileNameData(kFile)));
    CallOnce(*server_, kOffline.id, Logout(kOffline.id, kOffline.session));
  }

  // None of the users' secrets or personal fields is in `text`.
  static void ExpectNoSecrets(const std::string& text, const char* what) {
    for (const Account& a : {kIdle, kOffline, kOnline}) {
      EXPECT_EQ(text.find(a.password), std::string::npos) << what << " shows a password";
      EXPECT_EQ(text.find(a.session), std::string::npos) << what << " shows a session id";
    }
    for (const std::string& field : {kPersonal.name, kPersonal.phone, kPersonal.mobile, kPersonal.address,
                                     kPersonal.job, kPersonal.email}) {
      EXPECT_EQ(text.find(field), std::string::npos) << what << " shows " << field;
    }
  }

  static inline testsupport::SimulatedSystem system_;
  static inline std::unique_ptr<CommServer> server_;
  static inline std::uint16_t statusPort_ = 0;
};

TEST_F(StatusPage, JsonMetricsAndTheRenderedPageShowEachSlotWithoutSecrets) {
  client::WebClient idle;
  std::atomic<bool> keepIdle{false};
  std::thread keeper;
  ArrangeUsers(idle, keepIdle, keeper);
  std::string json = Get("/status.json");
  std::string metrics = Get("/metrics");
  std::string chromium = ChromiumPath();
  std::string page;
  int rendered = chromium.empty() ? -1
                                  : RunProgram({chromium, "--headless", "--disable-gpu", "--no-sandbox",
                                                "--disable-javascript", "--dump-dom",
                                                "http://127.0.0.1:" + std::to_string(statusPort_) + "/"},
                                               page);
  ReleaseUsers(idle, keepIdle, keeper);
  if (HasFatalFailure()) return;
  ASSERT_EQ(rendered, 0) << "headless chromium (Debian package chromium) renders the page: " << page;

  EXPECT_NE(json.find("\"user_id\":\"st_off\",\"state\":\"offline\",\"serving\":false,\"link_type\":\"\","
                      "\"link_address\":\"\",\"open_file\":\"" + kFile + "\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"user_id\":\"st_on\",\"state\":\"online\",\"serving\":false,\"link_type\":\"IPv4\","
                      "\"link_address\":\"127.0.0.1\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"user_id\":\"st_idle\",\"state\":\"idle\",\"serving\":true"), std::string::npos) << json;
  EXPECT_NE(json.find("\"online\":1"), std::string::npos);
  EXPECT_NE(json.find("\"offline\":1"), std::string::npos);
  EXPECT_NE(json.find("{\"type\":\"LOGIN\",\"result\":1,\"result_name\":\"success\",\"count\":"), std::string::npos);
  EXPECT_NE(json.find("{\"type\":\"CONNECT_SYSTEM\",\"result\":1"), std::string::npos);

  EXPECT_NE(metrics.find("tavrel_slots{state=\"online\"} 1"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("tavrel_slots{state=\"offline\"} 1"), std::string::npos);
  EXPECT_NE(metrics.find("tavrel_requests_total{result=\"1\",type=\"FILE_CREATE\"} 1"), std::string::npos);
  EXPECT_NE(metrics.find("# TYPE tavrel_system_link_failures_total counter"), std::string::npos);
  EXPECT_NE(metrics.find("# TYPE tavrel_transfer_flag_waits_total counter"), std::string::npos);
  EXPECT_NE(metrics.find("tavrel_rows_stored_total"), std::string::npos);
  EXPECT_NE(metrics.find("tavrel_rows_read_total"), std::string::npos);

  // The page as the browser built it shows the same without JavaScript.
  EXPECT_NE(page.find("<td>st_off</td><td>offline</td><td></td><td></td><td>" + kFile + "</td>"), std::string::npos)
      << page;
  EXPECT_NE(page.find("<td>st_on</td><td>online</td><td>IPv4</td><td>127.0.0.1</td><td></td>"), std::string::npos);
  EXPECT_NE(page.find("<td>st_idle</td><td>idle (serving)</td>"), std::string::npos);
  EXPECT_NE(page.find("online: 1"), std::string::npos);
  EXPECT_NE(page.find("http-equiv=\"refresh\""), std::string::npos);
  EXPECT_NE(page.find(" min "), std::string::npos) << "an offline slot counts down its web time-out";
  EXPECT_EQ(page.find("<script"), std::string::npos);
  ExpectNoSecrets(json, "status.json");
  ExpectNoSecrets(metrics, "metrics");
  ExpectNoSecrets(page, "the page");
  // Every user left: every slot is free again.
  EXPECT_NE(Get("/status.json").find("\"idle\":100"), std::string::npos);
}

TEST_F(StatusPage, ServesOnlyOnLoopback) {
  ASSERT_FALSE(Get("/metrics").empty());
  // Bound to 127.0.0.1 only: another loopback address finds nothing there.
  httplib::Client other("127.0.0.2", statusPort_);
  other.set_connection_timeout(2);
  EXPECT_FALSE(other.Get("/metrics"));
}

TEST_F(StatusPage, SetupRefusesABadStatusPortAndKeepsTheInstallation) {
  const std::string conf = server_->commDir() + "/status.conf";
  std::ifstream before(conf);
  std::string kept((std::istreambuf_iterator<char>(before)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(kept.empty());
  for (const char* bad : {"70000", "abc", "-1", ""}) {
    std::string output;
    int status = RunProgram({std::string(TAVREL_BIN_DIR) + "/tavrel-setup", "--status-port", bad, server_->dir()},
                            output);
    EXPECT_EQ(status, 2) << bad;
    EXPECT_NE(output.find("status port"), std::string::npos) << output;
  }
  std::ifstream after(conf);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), std::istreambuf_iterator<char>()), kept);
}
