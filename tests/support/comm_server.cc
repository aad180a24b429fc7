#include "support/comm_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/pg_database.h"

extern char** environ;

namespace testsupport {
namespace fs = std::filesystem;
namespace {

constexpr const char* kListening = "listening  ok.";
constexpr const char* kPortPrompt = "The port number is used, please input another port numbers: ";
constexpr int kPollMs = 10;

std::size_t CountOf(const std::string& text, const std::string& what, std::size_t from) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what, from); at != std::string::npos; at = text.find(what, at + what.size()))
    ++count;
  return count;
}

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

long long NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// argv and envp as the C arrays execve wants; built before fork so that the
// child only calls async-signal-safe functions.
struct CArgs {
  explicit CArgs(const std::vector<std::string>& items) : storage(items) {
    for (std::string& s : storage) pointers.push_back(s.data());
    pointers.push_back(nullptr);
  }
  std::vector<std::string> storage;
  std::vector<char*> pointers;
};

// Runs a program to its end with stdout and stderr into `outputPath`; its
// exit code, or -1.
int RunToEnd(const std::vector<std::string>& argv, const std::string& outputPath) {
  CArgs args(argv);
  int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) return -1;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execv(args.pointers[0], args.pointers.data());
    ::_exit(127);
  }
  ::close(out);
  if (pid < 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The environment of the server: this process's, with the installation's
// KEY=VALUE lines in place of any same-named variables, then the launch
// options applied.
std::vector<std::string> ServerEnvironment(const std::string& envFile, const LaunchOptions& options) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    std::size_t eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  std::istringstream lines(ReadFile(envFile));
  for (std::string line; std::getline(lines, line);) {
    std::size_t eq = line.find('=');
    if (eq != std::string::npos) vars[line.substr(0, eq)] = line.substr(eq + 1);
  }
  // Every connect watches for the system's reject for its whole reject time;
  // the simulator sends it at once, so tests watch a shorter time.
  vars["TAVREL_REJECT_MS"] = "400";
  for (const std::string& name : options.dropEnv) vars.erase(name);
  for (const auto& [name, value] : options.setEnv) vars[name] = value;
  std::vector<std::string> out;
  for (const auto& [name, value] : vars) out.push_back(name + "=" + value);
  return out;
}

struct Database {
  explicit Database(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      sqlite3_close(db);
      db = nullptr;
      return;
    }
    sqlite3_busy_timeout(db, 5000);
  }
  ~Database() { sqlite3_close(db); }
  sqlite3* db = nullptr;
};

// A pseudo-terminal: the slave becomes the server's standard input, the
// master is where the test types. Echo is off, so that typed lines do not
// pile up unread on the master.
bool OpenTerminal(int& master, int& slave) {
  master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return false;
  const char* name = ::grantpt(master) == 0 && ::unlockpt(master) == 0 ? ::ptsname(master) : nullptr;
  slave = name ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
  termios mode{};
  if (slave < 0 || ::tcgetattr(slave, &mode) != 0) {
    ::close(master);
    if (slave >= 0) ::close(slave);
    return false;
  }
  mode.c_lflag &= ~(ECHO | ECHONL);
  ::tcsetattr(slave, TCSANOW, &mode);
  return true;
}

}  // namespace

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<Row> SqliteQuery(const std::string& path, const std::string& sql, const std::vector<std::string>& params) {
  std::vector<Row> rows;
  Database database(path);
  if (!database.db) return rows;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(database.db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "query failed: %s: %s\n", sql.c_str(), sqlite3_errmsg(database.db));
    return rows;
  }
  for (std::size_t i = 0; i < params.size(); ++i)
    sqlite3_bind_text(statement, static_cast<int>(i + 1), params[i].c_str(), -1, SQLITE_TRANSIENT);
  while (sqlite3_step(statement) == SQLITE_ROW) {
    Row row;
    for (int c = 0; c < sqlite3_column_count(statement); ++c) {
      const unsigned char* text = sqlite3_column_text(statement, c);
      row[sqlite3_column_name(statement, c)] = text ? reinterpret_cast<const char*>(text) : "";
    }
    rows.push_back(std::move(row));
  }
  sqlite3_finalize(statement);
  return rows;
}

int RunProgram(const std::vector<std::string>& argv, std::string& output) {
  char pattern[] = "/tmp/tavrel-run-XXXXXX";
  int fd = ::mkstemp(pattern);
  if (fd < 0) return -1;
  ::close(fd);
  int status = RunToEnd(argv, pattern);
  output = ReadFile(pattern);
  ::unlink(pattern);
  return status;
}

std::uint16_t FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t length = sizeof address;
  std::uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

CommServer::CommServer(ServerOptions options) { provisioned_ = Provision(options); }

CommServer::~CommServer() {
  Stop();
  // A sanitizer report means the server itself is broken, whatever the test
  // checked over the wire.
  std::string console = provisioned_ ? Console() : "";
  for (const char* mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"}) {
    std::size_t at = console.find(mark);
    if (at != std::string::npos) ADD_FAILURE() << "tavrel-comm: " << console.substr(at, 4000);
  }
  if (!base_.empty() && !std::getenv("TAVREL_KEEP_TEST_DIRS")) {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
    if (ownsUserDb_) DropServerDatabase(userDbUrl_);
  }
}

bool CommServer::Provision(const ServerOptions& options) {
  char pattern[] = "/tmp/tavrel-test-XXXXXX";
  if (!::mkdtemp(pattern)) {
    error_ = "cannot make a temporary directory";
    return false;
  }
  base_ = pattern;
  dir_ = base_ + "/install";
  consolePath_ = base_ + "/console.txt";
  port_ = options.port != 0 ? options.port : FreePort();
  if (options.userDb.empty() && UserDbOnServer()) {
    userDbUrl_ = CreateServerDatabase(error_);
    if (userDbUrl_.empty()) return false;
    ownsUserDb_ = true;
  } else if (options.userDb != "sqlite") {
    userDbUrl_ = options.userDb;
  }

  std::vector<std::string> argv = {std::string(TAVREL_BIN_DIR) + "/tavrel-setup", "--port", std::to_string(port_),
                                   "--info-level", std::to_string(options.infoLevel)};
  for (const auto& [id, password] : options.users) {
    argv.push_back("--user");
    argv.push_back(id + ":" + password);
  }
  if (!userDbUrl_.empty()) {
    argv.push_back("--user-db");
    argv.push_back(userDbUrl_);
  }
  for (const std::string& entry : options.allow) {
    argv.push_back("--allow");
    argv.push_back(entry);
  }
  argv.push_back(dir_);
  std::string output = base_ + "/setup.txt";
  int status = RunToEnd(argv, output);
  if (status != 0) {
    error_ = "tavrel-setup exited with " + std::to_string(status) + ": " + ReadFile(output);
    return false;
  }
  return true;
}

std::string CommServer::ReadConfig() const { return ReadFile(configPath()); }

bool CommServer::Start(const LaunchOptions& options) {
  if (!provisioned_ || pid_ > 0) return false;
  answerPortPrompt_ = options.answerPortPrompt;
  exitCode_.reset();
  CArgs argv({std::string(TAVREL_BIN_DIR) + "/tavrel-comm"});
  CArgs envp(ServerEnvironment(dir_ + "/env", options));
  std::string workDir = commDir();

  int console = ::open(consolePath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int input[2];  // the server's end, then ours
  bool inputReady = options.terminalInput ? OpenTerminal(input[1], input[0]) : ::pipe2(input, O_CLOEXEC) == 0;
  if (console < 0 || !inputReady) {
    if (console >= 0) ::close(console);
    error_ = "cannot prepare the server's console";
    return false;
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(workDir.c_str()) != 0) ::_exit(126);
    ::dup2(input[0], 0);
    ::dup2(console, 1);
    ::dup2(console, 2);
    ::execve(argv.pointers[0], argv.pointers.data(), envp.pointers.data());
    ::_exit(127);
  }
  ::close(console);
  ::close(input[0]);
  if (pid < 0) {
    ::close(input[1]);
    error_ = "fork failed";
    return false;
  }
  pid_ = pid;
  stdinFd_ = input[1];
  return true;
}

bool CommServer::AnswerPortPrompt(std::size_t& promptsSeen) {
  std::size_t prompts = CountOf(Console(), kPortPrompt, 0);
  if (prompts <= promptsSeen) return false;
  promptsSeen = prompts;
  port_ = FreePort();
  Input(std::to_string(port_) + "\n");
  return true;
}

bool CommServer::WaitListening(int timeoutMs) {
  long long deadline = NowMs() + timeoutMs;
  std::size_t promptsSeen = 0;
  while (NowMs() < deadline) {
    // Listening comes before the start-up clears the users' connection
    // marks; the accept loop's first line comes after everything.
    if (Console().find("Waiting  for  next  client  to  connect...") != std::string::npos) return true;
    if (answerPortPrompt_) AnswerPortPrompt(promptsSeen);
    if (!running()) return Console().find(kListening) != std::string::npos;
    Sleep(kPollMs);
  }
  return false;
}

bool CommServer::WaitConsole(const std::string& text, int timeoutMs, std::size_t from) {
  long long deadline = NowMs() + timeoutMs;
  for (;;) {
    std::string console = Console();
    if (console.size() >= from && console.find(text, from) != std::string::npos) return true;
    if (NowMs() >= deadline) return false;
    if (!running()) {
      console = Console();
      return console.size() >= from && console.find(text, from) != std::string::npos;
    }
    Sleep(kPollMs);
  }
}

bool CommServer::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t done = ::waitpid(pid_, &status, WNOHANG);
  if (done == 0) return true;
  if (done == pid_) {
    if (WIFEXITED(status)) exitCode_ = WEXITSTATUS(status);
    pid_ = -1;
    if (stdinFd_ >= 0) ::close(stdinFd_);
    stdinFd_ = -1;
  }
  return false;
}

std::optional<int> CommServer::WaitExit(int timeoutMs) {
  long long deadline = NowMs() + timeoutMs;
  while (running()) {
    if (NowMs() >= deadline) return std::nullopt;
    Sleep(kPollMs);
  }
  return exitCode_;
}

void CommServer::Stop() {
  if (!running()) return;
  ::kill(pid_, SIGTERM);
  if (WaitExit(3000).has_value() || !running()) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (stdinFd_ >= 0) ::close(stdinFd_);
  stdinFd_ = -1;
}

bool CommServer::Signal(int signal) { return running() && ::kill(pid_, signal) == 0; }

void CommServer::Input(const std::string& text) {
  if (stdinFd_ < 0) return;
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(stdinFd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

std::string CommServer::Console() const { return ReadFile(consolePath_); }

std::string CommServer::Logs() const {
  std::vector<std::pair<int, std::string>> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(commDir(), ec)) {
    std::string name = entry.path().filename().string();
    int number = 0;
    char tail = 0;
    if (std::sscanf(name.c_str(), "CommLog_%d.tx%c", &number, &tail) == 2 && name == "CommLog_" + std::to_string(number) + ".txt")
      files.emplace_back(number, entry.path().string());
  }
  std::sort(files.begin(), files.end());
  std::string out;
  for (const auto& [number, path] : files) out += ReadFile(path);
  return out;
}

client::WebClient CommServer::Connect(const std::string& user) {
  client::WebClient connection;
  connection.SetUser(user);
  connection.Connect("127.0.0.1", port_);
  return connection;
}

std::optional<Row> CommServer::UserRow(const std::string& userId) const {
  std::vector<Row> rows;
  if (userDbUrl_.empty()) {
    rows = SqliteQuery(dir_ + "/data/WebUser.db", "select * from userinfo where user_id = ?", {userId});
  } else {
    std::string quoted;
    for (char c : userId) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    rows = Query("select * from userinfo where user_id = '" + quoted + "'");
  }
  if (rows.size() != 1) return std::nullopt;
  return rows.front();
}

std::vector<Row> CommServer::Query(const std::string& sql) const {
  if (userDbUrl_.empty()) return SqliteQuery(dir_ + "/data/WebUser.db", sql, {});
  std::vector<Row> rows;
  std::string why;
  if (!ServerQuery(userDbUrl_, sql, rows, why)) std::fprintf(stderr, "query failed: %s\n", why.c_str());
  return rows;
}

bool CommServer::Exec(const std::string& sql) const {
  if (!userDbUrl_.empty()) {
    std::vector<Row> rows;
    std::string why;
    bool ok = ServerQuery(userDbUrl_, sql, rows, why);
    if (!ok) std::fprintf(stderr, "statement failed: %s\n", why.c_str());
    return ok;
  }
  Database database(dir_ + "/data/WebUser.db");
  return database.db && sqlite3_exec(database.db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::unique_ptr<CommServer> LaunchServer(ServerOptions options, const LaunchOptions& launch) {
  auto server = std::make_unique<CommServer>(std::move(options));
  if (!server->provisioned()) {
    std::fprintf(stderr, "provisioning failed: %s\n", server->error().c_str());
    return nullptr;
  }
  if (!server->Start(launch) || !server->WaitListening()) {
    std::fprintf(stderr, "tavrel-comm did not start listening; console:\n%s\n", server->Console().c_str());
    return nullptr;
  }
  return server;
}

std::unique_ptr<CommServer> LaunchServerForSystem(ServerOptions options, std::uint16_t systemPort) {
  LaunchOptions launch;
  launch.setEnv["TAVREL_SYSTEM_PORT"] = std::to_string(systemPort);
  return LaunchServer(std::move(options), launch);
}

}  // namespace testsupport
