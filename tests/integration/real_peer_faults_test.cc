// What a real system, a real modem and a real web front end do that the
// friendly simulator does not: a takeover seen from the old link, a user
// table that refuses a write, answers that start late or stall in
// mid-packet, a link check during an upload, names with bytes after their
// zero, a message without a user, a server short of memory, and a modem
// line that must hang up.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/serial_port.h"
#include "platform/socket.h"
#include "platform/tcp_listen.h"
#include "sim/modem_simulator.h"
#include "sim/simulator.h"
#include "support/system_suite.h"
#include "support/socket_reads.h"
#include "support/wire_helpers.h"

using namespace testsupport;
using client::Bytes;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kLinkCheck = 0x0000;
constexpr std::size_t kHeader = 10;
const char* const kRefuseUpdates =
    "create trigger refuse_update before update on userinfo begin select raise(abort, 'refused'); end";
const char* const kAllowUpdates = "drop trigger refuse_update";

client::Request Control(const char* name, Bytes data = {}) { return client::MakeRequest(name, std::move(data)); }

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A system played by the test on one loopback address: it accepts links on
// the base port and the takeover port and leaves them to the test to speak.
class PlayedSystem {
 public:
  bool Listen(const std::string& address, std::uint16_t basePort) {
    std::string error;
    for (int i = 0; i < 2; ++i) {
      listeners_[i] = platform::Socket(platform::ListenOnAddress(address, basePort + i, error));
      if (!listeners_[i].valid()) return false;
    }
    return true;
  }
  // The next link on the base port (or the takeover port); invalid when none
  // came within `waitMs`.
  platform::Socket Accept(bool takeover, int waitMs = kReplyMs) {
    int listener = listeners_[takeover ? 1 : 0].fd();
    if (platform::WaitReadable(listener, waitMs) != 1) return {};
    return platform::Socket(platform::Accept(listener));
  }

 private:
  platform::Socket listeners_[2];
};

// True once the far end of `fd` has closed (or reset) it within `waitMs`,
// with nothing received before.
bool ClosedSilently(int fd, int waitMs, std::vector<std::uint8_t>& received) {
  received = ReadUpTo(fd, 1, waitMs);
  if (!received.empty()) return false;
  std::uint8_t byte = 0;
  return platform::WaitReadable(fd, 0) == 1 && platform::ReceiveSome(fd, &byte, 1) <= 0;
}

}  // namespace

class RealPeers : public SystemSuite {
 protected:
  static void SetUpTestSuite() { Launch({"rp_a", "rp_b", "rp_c", "rp_d", "rp_e", "rp_f", "rp_g"}); }

  static std::unique_ptr<sim::Simulator> StartSystem(const std::string& address, sim::Faults faults = {}) {
    sim::Options options;
    options.address = address;
    options.basePort = port_;
    options.console = false;
    options.faults = faults;
    auto system = std::make_unique<sim::Simulator>(options);
    std::string error;
    if (system->Start(error) == 1) return system;
    ADD_FAILURE() << address << ": " << error;
    return nullptr;
  }
  static int ResultOf(const std::string& user, client::Request request) {
    return CallOnce(*server_, user, std::move(request)).answer.result();
  }
};

TEST_F(RealPeers, ATakeoverSaysNothingOnTheOldLinkAndGivesTheOldSlotUp) {
  PlayedSystem system;
  ASSERT_TRUE(system.Listen("127.0.0.5", port_));
  Exchange connect = CallOnce(*server_, "rp_a", LinkRequest("CONNECT_SYSTEM", "127.0.0.5"));
  ASSERT_EQ(connect.answer.result(), 1);
  platform::Socket oldLink = system.Accept(false);
  ASSERT_TRUE(oldLink.valid());

  EXPECT_EQ(ResultOf("rp_b", LinkRequest("TAKEOVER_SYSTEM", "127.0.0.5")), 1);
  platform::Socket newLink = system.Accept(true);
  ASSERT_TRUE(newLink.valid());
  std::vector<std::uint8_t> control = ReadUpTo(newLink.fd(), kHeader, kReplyMs);
  ASSERT_EQ(control.size(), kHeader);
  EXPECT_EQ(control[3], 0x01);  // the link-control packet goes to the new link only

  // The system has moved on: a release on the old link could be taken as the new user's.
  std::vector<std::uint8_t> received;
  EXPECT_TRUE(ClosedSilently(oldLink.fd(), kCloseMs, received)) << received.size() << " bytes on the old link";
  EXPECT_FALSE(fs::exists(WorkDbPath(connect)));
  EXPECT_EQ(UserField("rp_a"), "0");
  EXPECT_EQ(ResultOf("rp_a", Disconnect()), STATE_IDLE);
  EXPECT_EQ(ResultOf("rp_b", Disconnect()), 1);
}

TEST_F(RealPeers, AStalledPacketEndsTheWaitWithinTheReceiveAttempts) {
  PlayedSystem system;
  ASSERT_TRUE(system.Listen("127.0.0.5", port_));
  // What the system sends of its answer before it stalls.
  const std::pair<const char*, Bytes> cases[] = {
      {"half a header", {0x13, 0xF0, 0x00, 0x00, 0xF0}},
      {"a header and part of its body", {0x13, 0xF0, 0x00, 0x00, 0xF0, 0x01, 0x00, 30, 2, 0xFF, 1, 2, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    const Bytes& sent = c.second;
    ASSERT_EQ(ResultOf("rp_c", LinkRequest("CONNECT_SYSTEM", "127.0.0.5")), 1);
    platform::Socket link = system.Accept(false);
    ASSERT_TRUE(link.valid());
    std::thread stall([&] {
      if (ReadUpTo(link.fd(), kHeader + 2, kReplyMs).size() == kHeader + 2)
        platform::SendAll(link.fd(), sent.data(), sent.size(), kReplyMs);
    });
    client::WebClient web = server_->Connect("rp_c");
    client::Answer answer;
    auto start = Clock::now();
    int rc = web.Call(Final(Pgc(web::REQ_PGC, web::kModeRead, kLinkCheck)), answer, 30000);
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
    stall.join();
    ASSERT_EQ(rc, 1);
    EXPECT_EQ(answer.result(), SOCKET_RECV_ERROR);
    // 5 header or 20 body attempts 300 ms apart, with room for a loaded machine.
    EXPECT_LT(seconds, 15);
    web.WaitClosed(kCloseMs);
    // The slot gave the link up whole and may link again.
    EXPECT_EQ(UserField("rp_c"), "0");
    EXPECT_EQ(ResultOf("rp_c", Disconnect()), STATE_IDLE);
  }
}

TEST_F(RealPeers, AConnectWhoseUserRecordFailsLetsTheSystemGo) {
  auto system = StartSystem("127.0.0.2");
  ASSERT_TRUE(system);
  ASSERT_TRUE(server_->Exec(kRefuseUpdates));
  int refused = ResultOf("rp_d", LinkRequest("CONNECT_SYSTEM", "127.0.0.2"));
  ASSERT_TRUE(server_->Exec(kAllowUpdates));
  EXPECT_NE(refused, 1);
  // Had the link stayed open behind the idle slot, the system would reject this one (162).
  EXPECT_EQ(ResultOf("rp_d", LinkRequest("CONNECT_SYSTEM", "127.0.0.2")), 1);
  EXPECT_EQ(ResultOf("rp_d", Disconnect()), 1);
}

TEST_F(RealPeers, ATakenOverLinkWaitsForAnAnswerThatStartsLate) {
  sim::Faults late;
  late.delayMs = 2500;
  auto system = StartSystem("127.0.0.3", late);
  ASSERT_TRUE(system);
  ASSERT_EQ(ResultOf("rp_g", LinkRequest("TAKEOVER_SYSTEM", "127.0.0.3")), 1);
  ASSERT_TRUE(Answered(CallOnce(*server_, "rp_g", Pgc(web::REQ_PGC, web::kModeRead, kLinkCheck)), kLinkCheck, 1));
  EXPECT_EQ(ResultOf("rp_g", Disconnect()), 1);
}

TEST_F(RealPeers, AnUploadRelaysALinkCheckWithoutStoringItAndGoesOn) {
  ASSERT_EQ(ResultOf("rp_e", Control("FILE_CREATE", Text("rpupload"))), 1);
  ASSERT_EQ(ResultOf("rp_e", Control("FILE_CLOSE", Text("rpupload"))), 1);
  auto system = StartSystem("127.0.0.4");
  ASSERT_TRUE(system);
  ASSERT_EQ(ResultOf("rp_e", LinkRequest("CONNECT_SYSTEM", "127.0.0.4")), 1);
  ASSERT_EQ(ResultOf("rp_e", Control("ALL_UPLOAD_START", Text("rpupload"))), 1);

  ASSERT_TRUE(Answered(CallOnce(*server_, "rp_e", Pgc(web::REQ_PGC, web::kModeRead, kLinkCheck)), kLinkCheck, 1));
  // The upload was still under way, and the link still serves.
  EXPECT_EQ(ResultOf("rp_e", Control("ALL_UPLOAD_END")), 1);
  EXPECT_EQ(CallOnce(*server_, "rp_e", Pgc(web::REQ_PGC, web::kModeRead, kLinkCheck)).answer.result(), 1);
  EXPECT_EQ(ResultOf("rp_e", Disconnect()), 1);
}

TEST_F(RealPeers, FileNamesEndAtTheirFirstZeroByteAndARefusedCloseLetsTheFileGo) {
  const std::string file = server_->commDir() + "/DB_USER/rpzero.mdb";
  const Bytes named = Text(std::string("rpzero\0../x", 11));
  Exchange create = CallOnce(*server_, "rp_f", Control("FILE_CREATE", named));
  EXPECT_EQ(create.answer.result(), 1);
  EXPECT_EQ(FieldAt(create.answer.data, 0, 52), "rpzero");
  EXPECT_TRUE(fs::exists(file));
  EXPECT_EQ(ResultOf("rp_f", Control("FILE_CLOSE", named)), 1);

  // A close the server refuses still ends the slot's work on its file.
  ASSERT_EQ(ResultOf("rp_f", Control("FILE_OPEN", Text("rpzero"))), 1);
  EXPECT_EQ(ResultOf("rp_f", Control("FILE_CLOSE", Text("../rpzero"))), FORMAT_ERROR);
  EXPECT_EQ(UserField("rp_f"), "0");
  EXPECT_EQ(ResultOf("rp_a", Control("FILE_OPEN", Text("rpzero"))), 1);
  EXPECT_EQ(ResultOf("rp_a", Control("FILE_CLOSE", Text("rpzero"))), 1);
  EXPECT_EQ(ResultOf("rp_a", Control("FILE_DELETE", Text("rpzero"))), 1);
}

TEST_F(RealPeers, AMessageWithoutUserIdTakesNoSlot) {
  client::WebClient anonymous = server_->Connect("");
  client::Answer answer;
  EXPECT_NE(anonymous.Call(Control("FILE_LIST"), answer, kReplyMs), 1);
  EXPECT_NE(server_->Logs().find("Message without user id, no slot is given to it"), std::string::npos);
  // The variables that point this server at a simulated system are announced.
  EXPECT_NE(server_->Console().find("TAVREL_SYSTEM_PORT is set: the system is reached on port " + std::to_string(port_)),
            std::string::npos);
  EXPECT_NE(server_->Logs().find("TAVREL_REJECT_MS is set: the reject watch lasts 400 ms"), std::string::npos);
}

// The limit on the server's data segment makes the working buffer's
// allocation fail; the sanitizers' allocators do not honour it.
TEST(RealPeersAlone, AWorkingBufferThatCannotBeHadFailsOnlyItsRequest) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer's allocator ignores the data limit";
#endif
  ServerOptions options;
  options.users = {{"rp_m", "pw"}};
  LaunchOptions launch;
  launch.dropEnv = {"TAVREL_REJECT_MS", "TAVREL_SYSTEM_PORT"};
  // One heap that gives freed memory back at once, and large blocks mapped
  // on their own: an allocation the limit below does not cover then fails
  // instead of being carved out of memory the process already holds.
  launch.setEnv["GLIBC_TUNABLES"] =
      "glibc.malloc.arena_max=1:glibc.malloc.trim_threshold=0:glibc.malloc.mmap_threshold=131072";
  launch.setEnv["MALLOC_ARENA_MAX"] = "1";  // COMM's own arena limit yields to it
  auto server = LaunchServer(options, launch);
  ASSERT_TRUE(server);
  // Neither variable set: nothing announced.
  EXPECT_EQ(server->Console().find(" is set: "), std::string::npos);
  auto status = [&](const std::string& field) {
    std::ifstream file("/proc/" + std::to_string(server->pid()) + "/status");
    for (std::string line; std::getline(file, line);)
      if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    return -1L;
  };
  const long threads = status("Threads");
  ASSERT_EQ(CallOnce(*server, "rp_m", Control("FILE_CREATE", Text("rpmem"))).answer.result(), 1);
  // The next connection's thread takes the stack this one leaves behind.
  for (int i = 0; i < 100 && status("Threads") > threads; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const long dataKb = status("VmData");
  ASSERT_GT(dataKb, 0);
  rlimit old{};
  ASSERT_EQ(prlimit(server->pid(), RLIMIT_DATA, nullptr, &old), 0);
  rlimit tight = old;
  tight.rlim_cur = static_cast<rlim_t>(dataKb + 512) * 1024;
  ASSERT_EQ(prlimit(server->pid(), RLIMIT_DATA, &tight, nullptr), 0);
  // Rows written into the open file are gathered in the working buffer.
  const client::Request write = Pgc(web::REQ_PGC, web::kModeWrite, 0x5000, Bytes(40, 7), 40);
  Exchange refused = CallOnce(*server, "rp_m", write);
  ASSERT_EQ(prlimit(server->pid(), RLIMIT_DATA, &old, nullptr), 0);
  ASSERT_EQ(refused.rc, 1);
  EXPECT_EQ(refused.answer.result(), NO_MEMORY);

  // The server goes on, and so does the slot: the same request is carried out.
  EXPECT_TRUE(server->running());
  EXPECT_EQ(CallOnce(*server, "rp_m", write).answer.result(), 1);
  EXPECT_EQ(CallOnce(*server, "rp_m", Control("FILE_CLOSE", Text("rpmem"))).answer.result(), 1);
}

// A modem link on a pseudo-terminal whose master the simulated modem serves:
// the terminal is hung up (the master sees the slave side close) whenever a
// link ends, and it is set to drop DTR on close.
TEST(RealPeersAlone, AModemLinkHangsUpHoweverItEndsAndATakeoverSpeaksTheLine) {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  char name[128] = {};
  ASSERT_EQ(::ptsname_r(master, name, sizeof name), 0);
  const std::string slavePath = name;
  auto hupcl = [&] {
    int slave = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    bool set = slave >= 0 && ::tcgetattr(slave, &t) == 0 && (t.c_cflag & HUPCL) != 0;
    if (slave >= 0) ::close(slave);
    return set;
  };
  {
    int slave = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(slave, &t), 0);
    t.c_cflag &= ~HUPCL;
    ASSERT_EQ(::tcsetattr(slave, TCSANOW, &t), 0);
    ::close(slave);
  }
  ASSERT_EQ(platform::MakeRaw(master), 0);
  const int watch = ::dup(master);  // the hang-up is seen here; the modem reads the master
  sim::ModemOptions modemOptions;
  modemOptions.system.console = false;
  sim::ModemSimulator modem(modemOptions);
  modem.Start(master);
  auto hungUp = [&](int waitMs) {
    pollfd p{watch, 0, 0};
    return ::poll(&p, 1, waitMs) == 1 && (p.revents & POLLHUP) != 0;
  };

  ServerOptions options;
  options.users = {{"rm_a", "pw"}};
  auto server = LaunchServer(options);
  ASSERT_TRUE(server);
  fs::create_directories(server->commDir() + "/dev");
  fs::create_symlink(slavePath, server->commDir() + "/dev/COM3");
  auto dial = [&](const char* request) {
    constexpr int kDialReplyMs = 40000;
    client::WebClient connection = server->Connect("rm_a");
    client::Answer answer;
    int rc = connection.Call(Final(Control(request, client::ConnectModemData(3, 2, "5551234"))), answer, kDialReplyMs);
    if (rc == 1) connection.WaitClosed(kCloseMs);
    return rc == 1 ? answer.result() : -1;
  };

  // A connect that fails after dialling hangs up.
  ASSERT_TRUE(server->Exec(kRefuseUpdates));
  EXPECT_NE(dial("CONNECT_SYSTEM"), 1);
  ASSERT_TRUE(server->Exec(kAllowUpdates));
  EXPECT_TRUE(hungUp(kCloseMs));

  // A takeover's link speaks the serial line, and its disconnect hangs up.
  ASSERT_EQ(dial("TAKEOVER_SYSTEM"), 1);
  EXPECT_FALSE(hungUp(0));
  EXPECT_EQ(CallOnce(*server, "rm_a", Pgc(web::REQ_PGC, web::kModeRead, kLinkCheck)).answer.result(), 1);
  EXPECT_EQ(CallOnce(*server, "rm_a", Disconnect()).answer.result(), 1);
  EXPECT_TRUE(hungUp(kCloseMs));
  EXPECT_TRUE(hupcl());
  server.reset();
  modem.Stop();
  ::close(watch);
}
