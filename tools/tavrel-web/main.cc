// tavrel-web: a command-line web front end. Sends a sequence of requests to
// COMM on one connection, as the web front end would, and prints each reply.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "client/request_catalogue.h"
#include "client/web_client.h"
#include "frame/config.h"
#include "frame/result_codes.h"
#include "platform/socket.h"
#include "request_builder.h"
#include "whole_transfer_command.h"

namespace {

constexpr int kExitFailed = 1;      // a request failed or got no reply
constexpr int kExitUsage = 2;       // the command line is wrong
constexpr int kExitNoConnect = 3;   // COMM could not be reached

struct Options {
  std::string host = "127.0.0.1";
  long port = -1;
  std::string installDir;
  std::string user;
  int timeoutMs = client::kDefaultTimeoutMs;
  bool markFinal = true;
  std::vector<webtool::Step> steps;
};

void PrintUsage(FILE* out) {
  std::fprintf(out, "%s", R"(Usage: tavrel-web [OPTIONS] REQUEST [FIELD=VALUE]... [, REQUEST [FIELD=VALUE]...]...

Sends the requests to COMM on one connection, numbered 1, 2, 3..., the last
one with the final flag, and prints every reply: its reply id, its result
code with the code's name, and its data as text and as hexadecimal bytes.
Stops at the first request that fails (result not 1, or no reply): COMM
closes the connection after a failed request.

Options:
  --host H        COMM's host name or address, IPv4 or IPv6 (default 127.0.0.1)
  --port P        COMM's port
  --install DIR   take the port from DIR/web/info/tavrel.conf (line 1)
  --user ID       the user id in every message head (also the default user of
                  LOGIN, LOGIN_RESET, LOGOUT and USER_SET_EXT)
  --timeout S     seconds to wait for each reply (default 10)
  --no-final      leave the final flag off the last request (COMM then waits
                  about five seconds for a further message before it closes)
  --list          list the requests with their type, message id and reply id
  --help          this text

Whole systems (the last request of the command line; needs --install):
  BACKUP name=FILE    downloads every table the installation's catalogue
                      lists for the linked system into the new file FILE,
                      with the system's description, so it can be restored
  RESTORE name=FILE   uploads every such table from FILE to the linked system
  On a terminal a progress bar shows tables done, rows, rate and time left;
  otherwise one line per table. A failure names the table and its result
  and ends the transfer, so the user is back online.

Exit status: 0 every request succeeded; 1 a request failed or got no reply;
2 the command line is wrong; 3 COMM could not be reached.

)");
  std::fprintf(out, "%s", webtool::FieldHelp());
  std::fprintf(out, "%s", R"(
Example:
  tavrel-web --install ./install --user admin \
      LOGIN password=admin session=s1 ip=127.0.0.1 , \
      USER_SET op=insert user=carol password=pw level=1 , \
      LOGOUT session=s1
  tavrel-web --install ./install --user carol BACKUP name=monday
)");
}

void PrintCatalogue() {
  std::printf("%-22s %5s %8s %5s %9s  %s\n", "REQUEST", "TYPE", "MSG ID", "MODE", "REPLY ID", "");
  for (const client::CatalogueEntry& e : client::Catalogue()) {
    std::string id = e.takesMessageId ? "given" : std::to_string(e.messageId);
    std::string reply = e.replyId == client::kOwnMessageId ? "msg id" : std::to_string(e.replyId);
    std::printf("%-22.*s %5d %8s  0x%02X %9s  %.*s\n", static_cast<int>(e.name.size()), e.name.data(), e.type,
                id.c_str(), e.mode, reply.c_str(), static_cast<int>(e.summary.size()), e.summary.data());
  }
}

bool ReadPortFromInstallation(const std::string& dir, long& port) {
  std::ifstream in(dir + "/web/info/tavrel.conf");
  std::string line;
  if (!in || !std::getline(in, line)) return false;
  port = ConfigLineValue(line) & 0xFFFF;
  return true;
}

// Returns 0 when the command line is usable, else the exit status.
int ParseCommandLine(int argc, char** argv, Options& options) {
  int i = 1;
  auto value = [&](const char* option) -> const char* {
    if (i + 1 >= argc) {
      std::fprintf(stderr, "tavrel-web: %s needs a value\n", option);
      return nullptr;
    }
    return argv[++i];
  };
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    std::string option = argv[i];
    const char* v = nullptr;
    if (option == "--help") {
      PrintUsage(stdout);
      std::exit(0);
    } else if (option == "--list") {
      PrintCatalogue();
      std::exit(0);
    } else if (option == "--no-final") {
      options.markFinal = false;
    } else if (option == "--host" || option == "--port" || option == "--install" || option == "--user" ||
               option == "--timeout") {
      if (!(v = value(option.c_str()))) return kExitUsage;
      if (option == "--host") options.host = v;
      if (option == "--install") options.installDir = v;
      if (option == "--user") options.user = v;
      if (option == "--port" || option == "--timeout") {
        char* end = nullptr;
        long n = std::strtol(v, &end, 10);
        if (*v == '\0' || *end != '\0' || n < 0 || n > (option == "--port" ? 65535 : 3600)) {
          std::fprintf(stderr, "tavrel-web: %s %s: not a valid number\n", option.c_str(), v);
          return kExitUsage;
        }
        if (option == "--port") options.port = n;
        else options.timeoutMs = static_cast<int>(n * 1000);
      }
    } else {
      std::fprintf(stderr, "tavrel-web: unknown option %s (see --help)\n", argv[i]);
      return kExitUsage;
    }
  }
  bool expectName = true;
  for (; i < argc; ++i) {
    std::string word = argv[i];
    if (word == ",") {
      if (expectName) {
        std::fprintf(stderr, "tavrel-web: a comma without a request before it\n");
        return kExitUsage;
      }
      expectName = true;
      continue;
    }
    std::size_t eq = word.find('=');
    if (expectName != (eq == std::string::npos)) {
      std::fprintf(stderr, expectName ? "tavrel-web: %s: a request name must come first\n"
                                      : "tavrel-web: %s: expected FIELD=VALUE (separate requests with \" , \")\n",
                   argv[i]);
      return kExitUsage;
    }
    if (expectName) {
      options.steps.push_back({word, {}});
      expectName = false;
    } else {
      options.steps.back().fields.emplace_back(word.substr(0, eq), word.substr(eq + 1));
    }
  }
  if (expectName && !options.steps.empty()) {
    std::fprintf(stderr, "tavrel-web: a comma without a request after it\n");
    return kExitUsage;
  }
  if (options.steps.empty()) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  if (!options.installDir.empty() && options.port < 0 && !ReadPortFromInstallation(options.installDir, options.port)) {
    std::fprintf(stderr, "tavrel-web: cannot read %s/web/info/tavrel.conf\n", options.installDir.c_str());
    return kExitUsage;
  }
  if (options.port < 0) {
    std::fprintf(stderr, "tavrel-web: give --port or --install\n");
    return kExitUsage;
  }
  return 0;
}

// The printable runs of the data, each quoted; the hexadecimal lines show
// the rest.
std::string TextOf(const client::Bytes& data) {
  std::string out, run;
  auto flush = [&] {
    if (!run.empty()) out += (out.empty() ? "\"" : " \"") + run + "\"";
    run.clear();
  };
  for (std::uint8_t byte : data) {
    if (std::isprint(byte)) run += static_cast<char>(byte);
    else flush();
  }
  flush();
  return out;
}

void PrintData(const client::Bytes& data) {
  std::printf("  data   %zu bytes\n", data.size());
  if (data.empty()) return;
  std::string text = TextOf(data);
  if (!text.empty()) std::printf("  text   %s\n", text.c_str());
  for (std::size_t offset = 0; offset < data.size(); offset += 16) {
    std::size_t end = std::min(offset + 16, data.size());
    client::Bytes row(data.begin() + static_cast<long>(offset), data.begin() + static_cast<long>(end));
    std::printf("  %04zu   %s\n", offset, client::HexText(row).c_str());
  }
}

void PrintAnswer(const client::Answer& answer) {
  const client::Reply& first = answer.pieces.front();
  std::printf("< reply id %u, result %u (%s), record length %u, type %u", first.replyId, answer.result(),
              webtool::ResultText(answer.result()).c_str(), first.recordLength, first.type);
  if (answer.pieces.size() > 1) std::printf(", %zu pieces", answer.pieces.size());
  std::printf("\n");
  PrintData(answer.data);
}

const char* ClientFailureText(int rc) {
  switch (rc) {
    case PEER_CLOSED: return "connection closed without reply";
    case REPLY_TIMED_OUT: return "no reply within the time-out";
    case WEB_FORMAT_ERROR: return "the reply breaks the message format";
    case SOCKET_SEND_ERROR: return "the request could not be sent";
    default: return "the reply could not be read";
  }
}

// Sends one request and prints its answer; true when it succeeded.
bool RunStep(client::WebClient& connection, const webtool::BuiltRequest& built, const std::string& name,
             int timeoutMs) {
  int rc = 0;
  if (built.raw) {
    std::printf("> %s  %zu bytes\n", name.c_str(), built.rawBytes.size());
    rc = connection.SendRaw(built.rawBytes);
  } else {
    const client::Request& r = built.request;
    rc = connection.Send(r);
    std::printf("> %s  type %u, message id %u, mode 0x%02X, sequence %u%s, %zu data bytes\n", name.c_str(), r.type,
                r.messageId, r.mode, connection.lastSequence(), r.final ? " (final)" : "", r.data.size());
  }
  client::Answer answer;
  if (rc == 1) rc = connection.ReceiveAnswer(answer, timeoutMs);
  if (rc != 1) {
    std::printf("< %s\n", ClientFailureText(rc));
    return false;
  }
  PrintAnswer(answer);
  return answer.result() == RESULT_OK;
}

}  // namespace

int main(int argc, char** argv) {
  platform::IgnoreSigpipe();
  Options options;
  if (int status = ParseCommandLine(argc, argv, options)) return status;

  // A whole transfer runs its own sequence after the other requests.
  std::string transferFile;
  const bool wholeTransfer = webtool::IsWholeTransfer(options.steps.back().name);
  const std::string wholeTransferName = options.steps.back().name;
  if (wholeTransfer) {
    std::string error;
    if (!webtool::CheckWholeTransfer(options.steps.back(), transferFile, error)) {
      std::fprintf(stderr, "tavrel-web: %s: %s\n", options.steps.back().name.c_str(), error.c_str());
      return kExitUsage;
    }
    if (options.installDir.empty()) {
      std::fprintf(stderr, "tavrel-web: %s needs --install DIR (its catalogue and files)\n",
                   options.steps.back().name.c_str());
      return kExitUsage;
    }
    options.steps.pop_back();
  }
  for (std::size_t i = 0; i < options.steps.size(); ++i) {
    if (webtool::IsWholeTransfer(options.steps[i].name)) {
      std::fprintf(stderr, "tavrel-web: %s must be the last request\n", options.steps[i].name.c_str());
      return kExitUsage;
    }
  }
  std::vector<webtool::BuiltRequest> requests(options.steps.size());
  for (std::size_t i = 0; i < options.steps.size(); ++i) {
    std::string error;
    if (!webtool::BuildRequest(options.steps[i], options.user, requests[i], error)) {
      std::fprintf(stderr, "tavrel-web: %s: %s\n", options.steps[i].name.c_str(), error.c_str());
      return kExitUsage;
    }
  }
  if (options.markFinal && !wholeTransfer) requests.back().request.final = true;

  client::WebClient connection;
  connection.SetUser(options.user);
  if (connection.Connect(options.host, static_cast<std::uint16_t>(options.port)) != 1) {
    std::fprintf(stderr, "tavrel-web: cannot connect to %s port %ld\n", options.host.c_str(), options.port);
    return kExitNoConnect;
  }
  for (std::size_t i = 0; i < requests.size(); ++i) {
    std::string name = options.steps[i].name;
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!RunStep(connection, requests[i], name, options.timeoutMs)) return kExitFailed;
  }
  if (wholeTransfer) {
    webtool::WholeTransferTarget target{options.host, static_cast<std::uint16_t>(options.port), options.user,
                                        options.installDir, options.timeoutMs};
    return webtool::RunWholeTransfer(connection, wholeTransferName, transferFile, target);
  }
  return 0;
}
