// tavrel-comm: the communication server. Started in its working directory
// with WEB_PATH, ODBCSYSINI and ODBCINI set (see the installation's env file).
#include <cstdio>
#include <cstring>

#include "server/startup.h"

namespace {

constexpr const char* kUsage = R"(Usage: tavrel-comm [--help] [--version]

The communication server between the web front end and the switching
systems: it checks logins, gives every web user a client slot, links slots
to the systems over TCP or a modem, relays their PGC messages and keeps
their tables in database files.

Start it in the comm directory of an installation made by tavrel-setup,
with the installation's environment:

    cd DIR/comm && env $(cat DIR/env) tavrel-comm

It listens on the port of line 1 of WEB_PATH/info/tavrel.conf and logs at
the info level of line 2, to the console and to CommLog_<n>.txt in its
working directory. When the port is taken it asks on the terminal for
another one; without a terminal on standard input it ends with exit code 1.

Options:
  --help       print this text and exit
  --version    print the version and exit

Environment:
  WEB_PATH             the web front end's directory (info/tavrel.conf)
  ODBCSYSINI           the directory of odbcinst.ini and the system data
                       sources odbc.ini
  ODBCINI              the user data source file
  TAVREL_KEEP_LOGS_MB  remove the oldest CommLog files beyond this many
                       megabytes in all (tavrel-setup --keep-logs)
  TAVREL_SYSTEM_PORT   base port of the systems' TCP links (default 5080)

Signals:
  SIGTERM and SIGINT stop the server: it takes no new connection, lets the
  requests in progress finish (10 seconds at most), gives every slot up as
  the web disconnect timer would, and ends with exit code 0. A second
  signal ends it at once with exit code 128 + the signal's number.

Under systemd it runs as tavrel-comm.service (Type=notify): it reports
READY=1 once its port listens and STOPPING=1 when a stop begins.
)";

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
      std::printf("tavrel-comm %s\n", TAVREL_VERSION);
      return 0;
    }
    std::fprintf(stderr, "tavrel-comm: unknown argument %s\n%s", argv[1], kUsage);
    return 2;
  }
  return server::RunServer();
}
