// Start-up of the real server: configuration file rewriting, the missing web
// path, the port dialogue.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "support/comm_server.h"
#include "support/wire_helpers.h"

using namespace testsupport;

namespace {

std::string CommPathLine(const CommServer& server) {
  return "COMM_PATH:" + std::filesystem::canonical(server.commDir()).string() + "\n";
}

std::string PortLine(std::uint16_t port) { return "TAVREL_PORT:" + std::to_string(port) + "\n"; }

// Holds a TCP port so that the server cannot bind it.
class PortBlocker {
 public:
  PortBlocker() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd_, 1) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      port_ = ntohs(address.sin_port);
  }
  ~PortBlocker() { ::close(fd_); }
  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace

TEST(Startup, MissingWebPathEndsTheProcessWithExitCodeOne) {
  CommServer server;
  ASSERT_TRUE(server.provisioned()) << server.error();
  LaunchOptions withoutWebPath;
  withoutWebPath.dropEnv = {"WEB_PATH"};
  ASSERT_TRUE(server.Start(withoutWebPath));
  std::optional<int> code = server.WaitExit(20000);
  ASSERT_TRUE(code.has_value()) << server.Console();
  EXPECT_EQ(*code, 1);
  std::string console = server.Console();
  EXPECT_NE(console.find("\nQuery from registry error\n"), std::string::npos) << console;
  EXPECT_NE(console.find("\nSome critical error occurred. Program is ended"), std::string::npos) << console;
  EXPECT_EQ(console.find("listening  ok."), std::string::npos);
  EXPECT_NE(server.Logs().find("Regsitry error: Error occurs when get config file path from registry"),
            std::string::npos)
      << server.Logs();
}

TEST(Startup, PortInUseAsksForAnotherAndStoresIt) {
  PortBlocker blocker;
  ASSERT_NE(blocker.port(), 0);
  ServerOptions options;
  options.port = blocker.port();
  CommServer server(options);
  ASSERT_TRUE(server.provisioned()) << server.error();
  std::string before = server.ReadConfig();
  LaunchOptions typedByHand;
  typedByHand.answerPortPrompt = false;
  ASSERT_TRUE(server.Start(typedByHand));

  const std::string prompt = "\nThe port number is used, please input another port numbers: ";
  ASSERT_TRUE(server.WaitConsole(prompt, 20000)) << server.Console();
  std::size_t afterFirst = server.Console().size();
  server.Input("not-a-number\n");
  ASSERT_TRUE(server.WaitConsole(prompt, 20000, afterFirst)) << "a non-number must be asked again:\n"
                                                             << server.Console();
  std::uint16_t port = FreePort();
  server.Input(std::to_string(port) + "\n");
  ASSERT_TRUE(server.WaitListening()) << server.Console();
  EXPECT_NE(server.Console().find("\nbind to new port:" + std::to_string(port) + " OK."), std::string::npos);

  // Line 1 takes the new port; the lines below are as start-up leaves them.
  std::string rest = before.substr(before.find('\n') + 1);
  EXPECT_EQ(server.ReadConfig(), PortLine(port) + rest + "WEB_LOG:0\n" + CommPathLine(server));

  client::WebClient connection;
  connection.SetUser("admin");
  ASSERT_EQ(connection.Connect("127.0.0.1", port), 1);
  Exchange login = Call(connection, Login("admin", "admin", "s-port"));
  ASSERT_EQ(login.rc, 1);
  EXPECT_EQ(login.answer.result(), 1);
}
