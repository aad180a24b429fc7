#include "setup/installation.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "db/data_sources.h"
#include "platform/peer_filter.h"
#include "setup/databases.h"
#include "setup/postgres.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kDriverFile = "libsqlite3odbc.so";

// One section of an ini file: its header line ("" for the lines before the
// first header) and every line up to the next header.
struct IniSection {
  std::string name;
  std::vector<std::string> lines;
};

bool Fail(std::string& error, const std::string& text) {
  error = text;
  return false;
}

// Written beside the target and renamed over it, so that a reader never sees
// half a file.
bool WriteFile(const std::string& path, const std::string& content, std::string& error) {
  std::string temporary = path + ".tmp" + std::to_string(getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << content;
    out.flush();
    if (!out) return Fail(error, "cannot write " + temporary);
  }
  std::error_code ec;
  fs::rename(temporary, path, ec);
  if (ec) {
    fs::remove(temporary, ec);
    return Fail(error, "cannot write " + path);
  }
  return true;
}

bool MakeDirectory(const std::string& path, std::string& error) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec || !fs::is_directory(path, ec)) return Fail(error, "cannot create directory " + path);
  return true;
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

std::string SectionName(const std::string& line) {
  std::size_t first = line.find_first_not_of(" \t");
  std::size_t last = line.find_last_not_of(" \t\r");
  if (first == std::string::npos || line[first] != '[' || line[last] != ']') return {};
  return line.substr(first + 1, last - first - 1);
}

std::vector<IniSection> ReadIni(const std::string& path) {
  std::vector<IniSection> sections(1);
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::string name = SectionName(line);
    if (!name.empty()) sections.push_back({name, {}});
    sections.back().lines.push_back(line);
  }
  return sections;
}

std::vector<std::string> DsnLines(const std::string& name, const std::string& database) {
  return {"[" + name + "]",   "Driver=SQLite3",   "Database=" + database, "JournalMode=WAL",
          "SyncPragma=NORMAL", "Timeout=5000", ""};
}

// Our data sources replace their old sections in place; every other section
// (COMM registers the slots' databases here) stays as it was.
std::string MergeDataSources(std::vector<IniSection> sections, const std::vector<IniSection>& ours) {
  for (const IniSection& dsn : ours) {
    auto same = [&](const IniSection& s) { return Lower(s.name) == Lower(dsn.name); };
    auto found = std::find_if(sections.begin() + 1, sections.end(), same);
    if (found == sections.end()) {
      if (!sections.back().lines.empty() && !sections.back().lines.back().empty()) sections.back().lines.push_back("");
      sections.push_back(dsn);
    } else {
      found->lines = dsn.lines;
    }
  }
  std::string out;
  for (const IniSection& section : sections) {
    for (const std::string& line : section.lines) out += line + "\n";
  }
  return out;
}

// The server WebUser names in an existing odbc.ini, if it names one.
bool ExistingPgTarget(const std::string& odbcIni, setup::PgTarget& out) {
  for (const IniSection& section : ReadIni(odbcIni)) {
    if (Lower(section.name) == "webuser") return setup::PgTargetOfDsn(section.lines, out);
  }
  return false;
}

bool WriteOdbcFiles(const InstallationPaths& paths, const setup::PgTarget* pg, const std::string& pgDriver,
                    std::string& error) {
  std::string driver = FindSqliteOdbcDriver();
  if (driver.empty()) return Fail(error, "the SQLite ODBC driver (libsqlite3odbc.so) is not installed");
  // Threading 2: a connection shared by several threads must not wedge.
  std::string odbcinst = "[SQLite3]\nDescription=SQLite 3 ODBC driver\nDriver=" + driver + "\nThreading = 2\n";
  if (pg != nullptr) {
    odbcinst += std::string("\n[") + setup::kPgDriverSection + "]\nDescription=PostgreSQL ODBC driver\nDriver=" +
                pgDriver + "\n";
  }
  if (!WriteFile(paths.odbcinst, odbcinst, error)) return false;

  std::vector<IniSection> ours = {{"WebUser", DsnLines("WebUser", paths.userDb)},
                                  {"WebInfo", DsnLines("WebInfo", paths.infoDb)}};
  if (pg != nullptr) {
    ours = {{"WebUser", setup::PgDsnLines("WebUser", *pg)}, {"WebInfo", setup::PgDsnLines("WebInfo", *pg)}};
  }
  {
    // A running COMM rewrites the file too: neither may lose the other's sections.
    db::DataSourceFileLock lock(paths.odbcIni);
    if (!WriteFile(paths.odbcIni, MergeDataSources(ReadIni(paths.odbcIni), ours), error)) return false;
  }
  // The server's password stands in the file.
  std::error_code ec;
  if (pg != nullptr) fs::permissions(paths.odbcIni, fs::perms::owner_read | fs::perms::owner_write, ec);
  if (ec) return Fail(error, "cannot restrict " + paths.odbcIni);
  return WriteFile(paths.userIni, "", error);
}

// Lines 1 and 2 from the options, or as they were where an option is unset;
// the lines COMM and the web front end keep after them stay.
bool WriteConfig(const std::string& path, const SetupOptions& options, std::string& error) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  auto value = [&](std::size_t index, int fallback) {
    if (index >= lines.size()) return fallback;
    auto colon = lines[index].find(':');
    return colon == std::string::npos ? fallback : std::atoi(lines[index].c_str() + colon + 1);
  };
  int port = options.port > 0 ? options.port : value(0, kDefaultPort);
  int level = options.infoLevel >= 0 ? options.infoLevel : value(1, kDefaultInfoLevel);
  lines.resize(std::max<std::size_t>(lines.size(), 2));
  lines[0] = "TAVREL_PORT:" + std::to_string(port);
  lines[1] = "INFO_LEVEL:" + std::to_string(level);
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return WriteFile(path, text, error);
}

std::string EnvText(const InstallationPaths& paths, const SetupOptions& options) {
  std::string env = "WEB_PATH=" + paths.webDir + "\nODBCSYSINI=" + paths.odbcDir + "\nODBCINI=" + paths.userIni + "\n";
  std::string keep =
      options.keepLogsMb >= 0 ? std::to_string(options.keepLogsMb) : EnvValue(paths.envFile, kKeepLogsVariable);
  if (!keep.empty() && keep != "0") env += std::string(kKeepLogsVariable) + "=" + keep + "\n";
  return env;
}

// The given list replaces the file; without one a file that exists stays
// and a new installation gets the loopback networks.
bool WriteAllowList(const std::string& path, const SetupOptions& options, std::string& error) {
  std::error_code ec;
  if (options.allow.empty() && fs::exists(path, ec)) return true;
  std::string text = "# Web peers COMM accepts, one ADDR or ADDR/BITS a line; others are closed unread.\n";
  if (options.allow.empty()) {
    platform::PeerFilter loopback = platform::PeerFilter::LoopbackOnly();
    for (const platform::AddressRange& range : loopback.ranges()) text += range.Text() + "\n";
  }
  for (const std::string& entry : options.allow) {
    platform::AddressRange range;
    platform::ParseAddressRange(entry, range);
    text += range.Text() + "\n";
  }
  return WriteFile(path, text, error);
}

bool CheckOptions(const SetupOptions& options, std::string& error) {
  if (options.dir.empty()) return Fail(error, "no installation directory given");
  if (options.port < 0 || options.port > 65535) return Fail(error, "port must be 1 to 65535");
  if (options.infoLevel < -1 || options.infoLevel > 9) return Fail(error, "info level must be a digit 0 to 9");
  if (options.keepLogsMb < -1 || options.keepLogsMb > kMaxKeepLogsMb) {
    return Fail(error, "--keep-logs must be 0 to " + std::to_string(kMaxKeepLogsMb) + " megabytes");
  }
  for (const auto& [id, password] : options.users) {
    if (id.empty() || id.size() > kMaxUserIdLength) return Fail(error, "user id must be 1 to 16 characters: " + id);
    if (password.size() > kMaxPasswordLength) return Fail(error, "password of " + id + " is longer than 16 characters");
  }
  for (const std::string& entry : options.allow) {
    platform::AddressRange range;
    if (!platform::ParseAddressRange(entry, range)) return Fail(error, "not an address or ADDR/BITS: " + entry);
  }
  return true;
}

}  // namespace

std::string EnvValue(const std::string& path, const std::string& name) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(name + "=", 0) == 0) return line.substr(name.size() + 1);
  }
  return {};
}

std::string FindOdbcDriverLibrary(const std::string& file) {
  std::vector<std::string> candidates = {"/usr/lib/x86_64-linux-gnu/odbc/", "/usr/lib/aarch64-linux-gnu/odbc/",
                                         "/usr/lib/i386-linux-gnu/odbc/",   "/usr/lib/arm-linux-gnueabihf/odbc/",
                                         "/usr/lib/odbc/",                  "/usr/lib64/",
                                         "/usr/lib/",                       "/usr/local/lib/"};
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/lib", ec)) {
    if (entry.is_directory(ec)) candidates.push_back(entry.path().string() + "/odbc/");
  }
  for (const std::string& dir : candidates) {
    if (fs::exists(dir + file, ec)) return dir + file;
  }
  return {};
}

std::string FindSqliteOdbcDriver() { return FindOdbcDriverLibrary(kDriverFile); }

InstallationPaths PathsOf(const std::string& absoluteDir) {
  InstallationPaths p;
  p.dir = absoluteDir;
  p.webDir = p.dir + "/web";
  p.config = p.webDir + "/info/tavrel.conf";
  p.commDir = p.dir + "/comm";
  p.dbWebDir = p.commDir + "/DB_WEB";
  p.templateDb = p.dbWebDir + "/WebInit.mdb";
  p.dataDir = p.dir + "/data";
  p.userDb = p.dataDir + "/WebUser.db";
  p.infoDb = p.dataDir + "/WebInfo.db";
  p.odbcDir = p.dir + "/odbc";
  p.odbcinst = p.odbcDir + "/odbcinst.ini";
  p.odbcIni = p.odbcDir + "/odbc.ini";
  p.userIni = p.odbcDir + "/user.ini";
  p.envFile = p.dir + "/env";
  p.allowList = p.commDir + "/tavrel.allow";
  return p;
}

int ProvisionInstallation(const SetupOptions& options, std::string& error) {
  if (!CheckOptions(options, error)) return 0;
  std::error_code ec;
  fs::path absolute = fs::weakly_canonical(fs::absolute(options.dir, ec), ec);
  if (ec) {
    error = "bad installation directory " + options.dir;
    return 0;
  }
  std::string dir = absolute.string();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  InstallationPaths paths = PathsOf(dir);

  // A server is checked and prepared before anything in the directory
  // changes: a wrong address or password leaves the installation as it was.
  const setup::Dataset& dataset = setup::DefaultDataset();
  setup::PgTarget pg;
  bool onServer = !options.userDb.empty() || ExistingPgTarget(paths.odbcIni, pg);
  std::string pgDriver;
  if (onServer) {
    if (!options.userDb.empty() && !setup::ParsePgUrl(options.userDb, pg, error)) return 0;
    pgDriver = setup::FindPsqlOdbcDriver();
    if (pgDriver.empty()) {
      error = "the PostgreSQL ODBC driver (psqlodbca.so, Debian package odbc-postgresql) is not installed";
      return 0;
    }
    if (!setup::PreparePgDatabases(pg, pgDriver, options.users, dataset, error)) return 0;
  }

  for (const std::string& d : {paths.webDir + "/info", paths.dbWebDir, paths.dataDir, paths.odbcDir}) {
    if (!MakeDirectory(d, error)) return 0;
  }
  if (!WriteAllowList(paths.allowList, options, error)) return 0;
  if (!WriteConfig(paths.config, options, error)) return 0;
  if (!onServer) {
    if (!setup::PrepareUserDatabase(paths.userDb, options.users, error)) return 0;
    if (!setup::PrepareInfoDatabase(paths.infoDb, dataset, error)) return 0;
  }
  if (!setup::BuildTemplate(paths.templateDb, dataset, error)) return 0;
  if (!WriteOdbcFiles(paths, onServer ? &pg : nullptr, pgDriver, error)) return 0;
  if (!WriteFile(paths.envFile, EnvText(paths, options), error)) return 0;
  return 1;
}
