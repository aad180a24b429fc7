// tavrel-sim: a simulated switching system for trying and testing COMM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "frame/log.h"
#include "platform/serial_port.h"
#include "platform/socket.h"
#include "sim/modem_simulator.h"
#include "sim/simulator.h"

namespace {

constexpr const char* kUsage = R"(usage: tavrel-sim [options] [ADDRESS]
       tavrel-sim --serial DEVICE|pty [options]

Serves the PGC tables of the data set over TCP on ADDRESS (IPv4 or IPv6,
default 127.0.0.1), port 5080 and port 5081 (takeover). One client holds the
system at a time; a second client on 5080 gets the reject packet; a client
on 5081 takes the system over with the link-control packet (ID 0x0001).

With --serial it is the system behind a modem instead, on a serial DEVICE or,
with "pty", on a new pseudo-terminal whose path it prints (link dev/COMn in
COMM's working directory to it). The modem answers "ATDT<number>" with
CR LF, its answer, CR LF; after CONNECT or OK the system speaks the framed
serial protocol until COMM hangs up (closes the line) or sends a restart;
during a call everything, "ATDT" too, is data. Ends on SIGINT or SIGTERM.

Every packet and handshake of COMM is checked against the rules of the
system; each breach is a "violation:" line on the console, shown even with
--quiet.

  --port N               base port (default 5080); the takeover port is N + 1
  --rows N               rows per generated table, 0 to 20000 (default 25)
  --system ID            system type of the link check answer (default 1)
  --country ID           country (default 0)
  --t-major N            version key major part (default 1)
  --t-minor N            version key minor part (default 50)
  --web-timeout MIN      web time-out in minutes, body byte 8 of the link
                         check answer and PGC501 byte 52 (default 10)
  --restart-id ID        message ID of the restart packet (default 0x0002)
  --ack-timeout MS       wait for COMM's acknowledgement (default 15000)
  --quiet                no console line per exchange
  --strict               close the link (end the call) at COMM's first violation

Modem (with --serial):
  --baud N               line speed of a serial DEVICE (default 9600)
  --modem-answer NAME    the answer to a dial: connect ("CONNECT 9600", the
                         default), ok, busy (the bytes 66 85 83 89),
                         no-carrier, plain-busy ("BUSY"), or no-line-end
                         ("CONNECT 9600" without any CR LF)
  --corrupt-checksum K   send the next K frames with a wrong checksum
  --drop-ack K           leave the next K ENQs of COMM without ACK
  --stray K              send stray bytes before the ENQ of the next K frames
  --silent-after N       fall silent for good after N packets from COMM
  --log-level D          log of the serial line, to the console and
                         CommLog_<n>.txt here: -1 none, 0 errors (default),
                         2 with progress, 3 with every byte written

Fault injection (a count applies to that many read requests in turn; 0 means
every request):
  --refuse K             answer the first K requests with result 0
  --special-error E[:N]  answer N requests (default 1) with result E (2, 3 or 10)
  --close-after N        drop a link after it has carried N packets
  --delay MS             wait MS milliseconds before every answer
  --malformed KIND[:N]   spoil N answers (default 1); KIND is one of
                         wrong-type (first packet type 0x14),
                         short-length (first packet length 9),
                         long-length (first packet length 251),
                         sequence-gap (second packet numbered 3; a one-packet
                         answer is numbered 2),
                         id-change (second packet with another message ID)
  --help                 this text
)";

int BadArguments(const std::string& why) {
  std::fprintf(stderr, "tavrel-sim: %s\n%s", why.c_str(), kUsage);
  return 2;
}

bool ParseNumber(const std::string& text, long low, long high, int& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  long value = std::strtol(text.c_str(), &end, 0);  // decimal, or 0x hexadecimal
  if (*end != '\0' || value < low || value > high) return false;
  out = static_cast<int>(value);
  return true;
}

// "VALUE" or "VALUE:COUNT".
bool SplitCount(const std::string& text, std::string& value, int& count) {
  std::size_t colon = text.find(':');
  value = text.substr(0, colon);
  return colon == std::string::npos || ParseNumber(text.substr(colon + 1), 0, 1000000, count);
}

bool ParseMalformed(const std::string& name, sim::Malformed& out) {
  static const std::map<std::string, sim::Malformed> kinds = {
      {"wrong-type", sim::Malformed::kWrongType},       {"short-length", sim::Malformed::kShortLength},
      {"long-length", sim::Malformed::kLongLength},     {"sequence-gap", sim::Malformed::kSequenceGap},
      {"id-change", sim::Malformed::kMessageIdChange},
  };
  auto found = kinds.find(name);
  if (found == kinds.end()) return false;
  out = found->second;
  return true;
}

struct ModemAnswer {
  const char* name;
  const std::string& text;
  bool lineEnds;
};

bool ParseModemAnswer(const std::string& name, sim::ModemOptions& modem) {
  static const std::string kOk = "OK", kNoCarrier = "NO CARRIER", kBusy = "BUSY";
  static const ModemAnswer answers[] = {
      {"connect", sim::kModemConnect, true},   {"ok", kOk, true},
      {"busy", sim::kModemBusyBytes, true},    {"no-carrier", kNoCarrier, true},
      {"plain-busy", kBusy, true},             {"no-line-end", sim::kModemConnect, false},
  };
  for (const auto& a : answers) {
    if (name != a.name) continue;
    modem.answer = a.text;
    modem.answerLineEnds = a.lineEnds;
    return true;
  }
  return false;
}

struct Settings {
  sim::ModemOptions modem;  // modem.system serves TCP as well
  std::string serial;       // the device, "pty", or empty for TCP
  int baudRate = 9600;
  int logLevel = 0;
};

// The options of the modem; false when `arg` is none of them.
bool ParseModemOption(const std::string& arg, const std::string& value, Settings& settings, bool& ok) {
  sim::LineFaults& f = settings.modem.faults;
  if (arg == "--serial") {
    settings.serial = value;
    ok = !value.empty();
  } else if (arg == "--baud") {
    ok = ParseNumber(value, 1200, 115200, settings.baudRate);
  } else if (arg == "--modem-answer") {
    ok = ParseModemAnswer(value, settings.modem);
  } else if (arg == "--corrupt-checksum") {
    ok = ParseNumber(value, 0, 1000000, f.corruptChecksums);
  } else if (arg == "--drop-ack") {
    ok = ParseNumber(value, 0, 1000000, f.dropAcks);
  } else if (arg == "--stray") {
    ok = ParseNumber(value, 0, 1000000, f.strayBeforeEnq);
  } else if (arg == "--silent-after") {
    ok = ParseNumber(value, 0, 1000000, f.silentAfter);
  } else if (arg == "--log-level") {
    ok = ParseNumber(value, -1, 9, settings.logLevel);
  } else {
    return false;
  }
  return true;
}

// 1 with `settings` filled; 0 after --help; 2 for bad arguments (reported).
int ParseArguments(int argc, char** argv, Settings& settings) {
  sim::Options& options = settings.modem.system;
  bool haveAddress = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--quiet") {
      options.console = false;
      continue;
    }
    if (arg == "--strict") {
      options.strict = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0) {
      if (haveAddress) return BadArguments("more than one address");
      options.address = arg;
      haveAddress = true;
      continue;
    }
    if (i + 1 >= argc) return BadArguments(arg + " needs a value");
    std::string value = argv[++i];
    sim::Faults& f = options.faults;
    int port = 0, restartId = 0;
    bool ok = true;
    if (arg == "--port") {
      ok = ParseNumber(value, 1, 65534, port);
      options.basePort = static_cast<std::uint16_t>(port);
    } else if (arg == "--rows") {
      ok = ParseNumber(value, 0, 20000, options.rowsPerTable);
    } else if (arg == "--system") {
      ok = ParseNumber(value, 1, 8, options.identity.systemId);
    } else if (arg == "--country") {
      ok = ParseNumber(value, 0, 7, options.identity.countryId);
    } else if (arg == "--t-major") {
      ok = ParseNumber(value, 0, 255, options.identity.tMajor);
    } else if (arg == "--t-minor") {
      ok = ParseNumber(value, 0, 99, options.identity.tMinor);
    } else if (arg == "--web-timeout") {
      ok = ParseNumber(value, 0, 255, options.identity.webTimeoutMinutes);
    } else if (arg == "--restart-id") {
      ok = ParseNumber(value, 0, 0xFFFF, restartId);
      options.restartId = static_cast<std::uint16_t>(restartId);
    } else if (arg == "--ack-timeout") {
      ok = ParseNumber(value, 1, 3600000, options.ackTimeoutMs);
    } else if (arg == "--refuse") {
      ok = ParseNumber(value, 0, 1000000, f.refuseCount);
    } else if (arg == "--special-error") {
      std::string code;
      ok = SplitCount(value, code, f.specialErrorCount) && ParseNumber(code, 2, 10, f.specialError) &&
           (f.specialError == 2 || f.specialError == 3 || f.specialError == 10);
    } else if (arg == "--close-after") {
      ok = ParseNumber(value, 1, 1000000, f.closeAfterPackets);
    } else if (arg == "--delay") {
      ok = ParseNumber(value, 0, 3600000, f.delayMs);
    } else if (arg == "--malformed") {
      std::string kind;
      ok = SplitCount(value, kind, f.malformedCount) && ParseMalformed(kind, f.malformed);
    } else if (!ParseModemOption(arg, value, settings, ok)) {
      return BadArguments("unknown option " + arg);
    }
    if (!ok) return BadArguments("bad value for " + arg + ": " + value);
  }
  if (!settings.serial.empty() && haveAddress) return BadArguments("an address has no meaning with --serial");
  if (sim::DatabaseVersionOf(options.identity) == 0)
    std::fprintf(stderr, "tavrel-sim: no database version has the key %d; tables use the rows for every version\n",
                 options.identity.Key());
  return 1;
}

// The identity line both modes print first.
void PrintIdentity(const sim::Options& options) {
  std::printf("tavrel-sim: system type %d, country %d, key %d, ", options.identity.systemId,
              options.identity.countryId, options.identity.Key());
}

int ServeTcp(const sim::Options& options, sigset_t& signals) {
  sim::Simulator simulator(options);
  std::string error;
  if (simulator.Start(error) != 1) {
    std::fprintf(stderr, "tavrel-sim: %s\n", error.c_str());
    return 1;
  }
  PrintIdentity(options);
  std::printf("listening on %s ports %u and %u\n", options.address.c_str(), static_cast<unsigned>(options.basePort),
              static_cast<unsigned>(options.basePort + 1));
  std::fflush(stdout);
  int signal = 0;
  sigwait(&signals, &signal);
  simulator.Stop();
  return 0;
}

int ServeModem(const Settings& settings, sigset_t& signals) {
  SetInfoLevel(settings.logLevel);
  platform::PseudoTerminal pty;
  sim::ModemSimulator modem(settings.modem);
  std::string where;
  if (settings.serial == "pty") {
    std::string error;
    if (pty.Open(error) != 0) {
      std::fprintf(stderr, "tavrel-sim: %s\n", error.c_str());
      return 1;
    }
    modem.Start(pty.ReleaseMaster());
    pty.CloseSlave();  // COMM closing the port must reach the modem as a hang-up
    where = "pseudo-terminal " + pty.slavePath() + " (link dev/COMn in COMM's directory to it)";
  } else {
    int rc = modem.StartOnDevice(settings.serial, settings.baudRate);
    if (rc != 1) {
      std::fprintf(stderr, "\ntavrel-sim: cannot open %s as a serial line (result %d)\n", settings.serial.c_str(), rc);
      return 1;
    }
    where = settings.serial + " at " + std::to_string(settings.baudRate) + " baud";
  }
  PrintIdentity(settings.modem.system);
  std::printf("modem on %s\n", where.c_str());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&signals, &signal);
  modem.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  int parsed = ParseArguments(argc, argv, settings);
  if (parsed != 1) return parsed;

  // The serving threads inherit the blocked signals; only the wait below takes them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  platform::IgnoreSigpipe();

  int rc = settings.serial.empty() ? ServeTcp(settings.modem.system, signals) : ServeModem(settings, signals);
  if (rc == 0) std::printf("\ntavrel-sim: stopped\n");
  return rc;
}
