#pragma once
// The real tavrel-comm for over-the-wire tests: an installation provisioned
// by the real tavrel-setup in a fresh temporary directory, the server started
// in DIR/comm with the environment of DIR/env, its console captured, its
// standard input a terminal (for the port prompt) or a pipe. The destructor stops the
// server and removes the directory (kept when TAVREL_KEEP_TEST_DIRS is set).
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client/web_client.h"

namespace testsupport {

struct ServerOptions {
  std::vector<std::pair<std::string, std::string>> users = {{"admin", "admin"}};  // id, password
  int infoLevel = 9;
  std::uint16_t port = 0;  // 0: a port that is free now
  // The user database: "" the back end the run tests (a fresh database on
  // the test server when TAVREL_TEST_USER_DB=postgresql, else the SQLite
  // files); "sqlite" the files always; a postgresql:// address: that
  // database, shared with whoever else uses it.
  std::string userDb = {};
  std::vector<std::string> allow = {};  // tavrel-setup --allow values
};

struct LaunchOptions {
  std::vector<std::string> dropEnv = {};           // variables of DIR/env left out
  std::map<std::string, std::string> setEnv = {};  // variables set or replaced
  // When the port turns out to be taken between choosing it and the bind,
  // answer the server's port prompt with another free port.
  bool answerPortPrompt = true;
  // Standard input is a pseudo-terminal, as when a person starts the server;
  // false gives it a pipe, as a service or a script would.
  bool terminalInput = true;
};

using Row = std::map<std::string, std::string>;  // column name -> text (NULL as "")

class CommServer {
 public:
  explicit CommServer(ServerOptions options = {});
  ~CommServer();
  CommServer(const CommServer&) = delete;
  CommServer& operator=(const CommServer&) = delete;

  // False when tavrel-setup failed; error() says why.
  bool provisioned() const { return provisioned_; }
  const std::string& error() const { return error_; }

  const std::string& dir() const { return dir_; }
  std::string commDir() const { return dir_ + "/comm"; }
  std::string configPath() const { return dir_ + "/web/info/tavrel.conf"; }
  std::uint16_t port() const { return port_; }

  std::string ReadConfig() const;

  // Starts tavrel-comm; false when it could not be started.
  bool Start(const LaunchOptions& options = {});
  // True once the accept loop waits for clients, that is after "listening
  // ok." and the rest of the start-up; when the server ended first, whether
  // it had listened; false when the time ran out.
  bool WaitListening(int timeoutMs = 30000);
  // True once `text` is on the console (from character `from` on).
  bool WaitConsole(const std::string& text, int timeoutMs, std::size_t from = 0);
  bool running();
  pid_t pid() const { return pid_; }  // -1 before Start
  // The exit code once the server has ended; nullopt when it still runs after
  // the time-out (or ended by a signal).
  std::optional<int> WaitExit(int timeoutMs);
  void Stop();
  void Input(const std::string& text);  // to the server's standard input
  // Sends a signal to the running server; false when it is not running.
  bool Signal(int signal);

  std::string Console() const;
  // The CommLog_<n>.txt files of the server's directory, joined in order.
  std::string Logs() const;

  // A connected client with the given head user.
  client::WebClient Connect(const std::string& user);

  // The server database the installation uses; "" on SQLite.
  const std::string& userDbUrl() const { return userDbUrl_; }

  // Direct access to the user database, bypassing the server.
  std::optional<Row> UserRow(const std::string& userId) const;
  std::vector<Row> Query(const std::string& sql) const;
  bool Exec(const std::string& sql) const;

 private:
  bool Provision(const ServerOptions& options);
  bool AnswerPortPrompt(std::size_t& promptsSeen);

  bool provisioned_ = false;
  std::string error_;
  std::string base_;  // the temporary directory
  std::string dir_;   // the installation, base_/install
  std::string consolePath_;
  std::uint16_t port_ = 0;
  std::string userDbUrl_;
  bool ownsUserDb_ = false;
  pid_t pid_ = -1;
  int stdinFd_ = -1;
  bool answerPortPrompt_ = true;
  std::optional<int> exitCode_;
};

// Runs a program to its end; its exit code (-1 when it could not run or was
// killed), with standard output and error in `output`.
int RunProgram(const std::vector<std::string>& argv, std::string& output);

// The rows of `sql` (with `params` bound to its ?s) on the SQLite file at `path`.
std::vector<Row> SqliteQuery(const std::string& path, const std::string& sql,
                             const std::vector<std::string>& params = {});

// The whole file, "" when it cannot be read.
std::string ReadFile(const std::string& path);

// A port that nothing listens on at the moment of the call.
std::uint16_t FreePort();

// Provisions and starts a server, waiting until it listens; nullptr (with the
// reason on stderr) when any step fails.
std::unique_ptr<CommServer> LaunchServer(ServerOptions options = {}, const LaunchOptions& launch = {});
// The same for a server whose system link goes to a simulated system on
// `systemPort` (its base port) instead of 5080.
std::unique_ptr<CommServer> LaunchServerForSystem(ServerOptions options, std::uint16_t systemPort);

}  // namespace testsupport
