#include "whole_transfer_command.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "client/request_catalogue.h"
#include "client/whole_transfer.h"
#include "frame/result_codes.h"
#include "pgc/catalogue.h"
#include "setup/dataset.h"
#include "setup/installation.h"
#include "setup/system_catalogue.h"

namespace webtool {
namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kBarWidth = 30;

// The system's description as a download file keeps it (the dbinfo row):
//   version(2, high byte first) country(1) system(1) country name(20)
//   system name(20) version text(8) six numbers(1 each)
namespace info {
constexpr std::size_t kVersion = 0, kCountry = 2, kSystem = 3, kCountryName = 4, kSystemName = 24, kVersionText = 44;
constexpr std::size_t kNameWidth = 20, kVersionTextWidth = 8, kSize = 58;
}  // namespace info

struct Identity {
  int systemId = 0, countryId = 0, tMajor = 0, tMinor = 0;
};

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// A column (from 1) of the PGC20000 row as a number; 0 past the row.
int Column(const client::Bytes& row, int column) {
  return column >= 1 && static_cast<std::size_t>(column) <= row.size() ? row[column - 1] : 0;
}

Identity IdentityOf(const client::Bytes& row) {
  const setup::Dataset& data = setup::DefaultDataset();
  return {Column(row, data.FieldColumn("20000", "system_id")), Column(row, data.FieldColumn("20000", "country_id")),
          Column(row, data.FieldColumn("20000", "t_major")), Column(row, data.FieldColumn("20000", "t_minor"))};
}

std::string NameOf(const std::vector<setup::IdName>& names, int id) {
  for (const setup::IdName& n : names) {
    if (n.id == id) return n.name;
  }
  return {};
}

void PutText(client::Bytes& out, std::size_t at, std::size_t width, const std::string& text) {
  std::copy_n(text.begin(), std::min(width, text.size()), out.begin() + static_cast<long>(at));
}

client::Bytes InfoRecord(const Identity& system, const setup::SystemCatalogue& catalogue) {
  const setup::Dataset& data = setup::DefaultDataset();
  client::Bytes out(info::kSize, 0);
  out[info::kVersion] = static_cast<std::uint8_t>(catalogue.version >> 8);
  out[info::kVersion + 1] = static_cast<std::uint8_t>(catalogue.version);
  out[info::kCountry] = static_cast<std::uint8_t>(system.countryId);
  out[info::kSystem] = static_cast<std::uint8_t>(system.systemId);
  PutText(out, info::kCountryName, info::kNameWidth, NameOf(data.countries, system.countryId));
  PutText(out, info::kSystemName, info::kNameWidth, NameOf(data.systems, system.systemId));
  PutText(out, info::kVersionText, info::kVersionTextWidth, catalogue.versionName);
  return out;
}

// The catalogue's PGCs that travel as tables: those with a message ID.
std::vector<client::TableRef> TablesOf(const setup::SystemCatalogue& catalogue) {
  const std::vector<std::string>& transferable = pgc::MessageTablePGCNumbers();
  std::vector<client::TableRef> tables;
  for (const std::string& number : catalogue.pgcs) {
    if (std::find(transferable.begin(), transferable.end(), number) == transferable.end()) continue;
    std::uint16_t id = 0;
    if (pgc::ParsePGCNumber(number, id, 0) == RESULT_OK) tables.push_back({pgc::PGCTableName(number), id});
  }
  return tables;
}

std::string Clock(double seconds) {
  long s = static_cast<long>(seconds + 0.5);
  char text[32];
  if (s >= 3600) std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

// Progress on a terminal: one line redrawn in place; elsewhere: one plain
// line per table, for logs and scripts.
class Progress : public client::TransferObserver {
 public:
  Progress(std::string verb, std::string file) : verb_(std::move(verb)), file_(std::move(file)) {
    terminal_ = ::isatty(STDOUT_FILENO) == 1;
  }

  std::uint64_t RowsOf(const client::TableRef& table) override {
    if (filePath_.empty()) return 0;
    long long rows = setup::CountTableRows(filePath_, table.name);
    return rows > 0 ? static_cast<std::uint64_t>(rows) : 0;
  }

  void TableDone(const client::TableRef& table, const client::TransferReport& r) override {
    double rate = r.seconds > 0 ? static_cast<double>(r.rows) / r.seconds : 0;
    double left = r.tablesDone > 0 ? r.seconds / static_cast<double>(r.tablesDone) *
                                         static_cast<double>(r.tablesAll - r.tablesDone)
                                   : 0;
    if (!terminal_) {
      std::printf("%s %s: %zu/%zu tables, %llu rows, %s\n", verb_.c_str(), file_.c_str(), r.tablesDone, r.tablesAll,
                  static_cast<unsigned long long>(r.rows), table.name.c_str());
      std::fflush(stdout);
      return;
    }
    int filled = r.tablesAll > 0 ? static_cast<int>(kBarWidth * r.tablesDone / r.tablesAll) : kBarWidth;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kBarWidth, '.');
    std::printf("\r[%s] %zu/%zu tables  %llu rows  %.0f rows/s  %s left  %-9s", bar.c_str(), r.tablesDone,
                r.tablesAll, static_cast<unsigned long long>(r.rows), rate, Clock(left).c_str(), table.name.c_str());
    std::fflush(stdout);
    drawn_ = true;
  }

  // Ends the redrawn line before anything else is printed.
  void EndLine() {
    if (drawn_) std::printf("\n");
    drawn_ = false;
  }

  void SetFilePath(std::string path) { filePath_ = std::move(path); }

 private:
  std::string verb_, file_, filePath_;
  bool terminal_ = false;
  bool drawn_ = false;
};

void ReportFailure(const char* name, const std::string& file, const client::TransferReport& r) {
  std::string what = r.noReply ? "no reply (client result " + std::to_string(r.failedResult) + ")"
                               : "result " + std::to_string(r.failedResult) + " (" +
                                     ResultText(static_cast<std::uint8_t>(r.failedResult)) + ")";
  std::fprintf(stderr, "tavrel-web: %s %s failed at %s: %s; %zu of %zu tables done\n", name, file.c_str(),
               r.failedStep.c_str(), what.c_str(), r.tablesDone, r.tablesAll);
}

// COMM closes the connection after a failed request and leaves the slot in
// its transfer: a fresh connection ends the transfer, so the user is back
// online and the file is closed.
void EndInterruptedTransfer(bool backup, const WholeTransferTarget& target) {
  client::WebClient again;
  again.SetUser(target.user);
  if (again.Connect(target.host, target.port) != 1) return;
  client::Request end = client::MakeRequest(backup ? "ALL_DOWNLOAD_END" : "ALL_UPLOAD_END");
  end.final = true;
  client::Answer answer;
  if (again.Call(end, answer, target.timeoutMs) == 1 && answer.result() == RESULT_OK)
    std::fprintf(stderr, "tavrel-web: the transfer was ended; the user is back online\n");
}

}  // namespace

std::string ResultText(std::uint8_t result) {
  if (result == RESULT_OK) return "success";
  std::string name;
  ResultCodeName(name, result);
  // Negative codes travel as their low 8 bits.
  if (name.empty() && result >= 128) ResultCodeName(name, static_cast<int>(result) - 256);
  return name.empty() ? "no name" : name;
}

bool IsWholeTransfer(const std::string& name) {
  std::string upper = Upper(name);
  return upper == "BACKUP" || upper == "RESTORE";
}

bool CheckWholeTransfer(const Step& step, std::string& fileName, std::string& error) {
  fileName.clear();
  for (const auto& [field, value] : step.fields) {
    if (field != "name") {
      error = "unknown field " + field + " (only name=FILE)";
      return false;
    }
    fileName = value;
  }
  if (fileName.empty() || fileName.size() > client::layout::kFileNameWidth) {
    error = "name=FILE is required, 1 to 30 characters";
    return false;
  }
  return true;
}

int RunWholeTransfer(client::WebClient& connection, const std::string& name, const std::string& fileName,
                     const WholeTransferTarget& target) {
  const bool backup = Upper(name) == "BACKUP";
  const char* verb = backup ? "BACKUP" : "RESTORE";
  client::TransferReport report;
  client::Bytes identityRow;
  if (client::ReadSystemIdentity(connection, identityRow, report, target.timeoutMs) != 1) {
    ReportFailure(verb, fileName, report);
    return kExitFailed;
  }
  Identity system = IdentityOf(identityRow);
  InstallationPaths paths = PathsOf(std::filesystem::absolute(target.installDir).lexically_normal().string());
  setup::SystemCatalogue catalogue;
  std::string error;
  if (!setup::UseInstallationDataSources(paths.envFile, error) ||
      setup::ReadSystemCatalogue(system.systemId, system.countryId, system.tMajor, system.tMinor, catalogue, error) !=
          1) {
    std::fprintf(stderr, "tavrel-web: %s: %s\n", verb, error.c_str());
    return kExitFailed;
  }
  std::vector<client::TableRef> tables = TablesOf(catalogue);
  std::printf("%s %s: system %d, country %d, database version %d, %zu tables\n", verb, fileName.c_str(),
              system.systemId, system.countryId, catalogue.version, tables.size());
  std::fflush(stdout);

  Progress progress(verb, fileName);
  progress.SetFilePath(paths.commDir + "/DB_USER/" + fileName + ".mdb");
  int rc = backup ? client::RunBackup(connection, fileName, tables, InfoRecord(system, catalogue), progress, report,
                                      target.timeoutMs)
                  : client::RunRestore(connection, fileName, tables, progress, report, target.timeoutMs);
  progress.EndLine();
  if (rc != 1) {
    ReportFailure(verb, fileName, report);
    const bool started = report.failedStep != "ALL_DOWNLOAD_START" && report.failedStep != "ALL_UPLOAD_START";
    const bool ended = report.failedStep == "ALL_DOWNLOAD_END" || report.failedStep == "ALL_UPLOAD_END";
    if (started && !ended) EndInterruptedTransfer(backup, target);
    return kExitFailed;
  }
  double rate = report.seconds > 0 ? static_cast<double>(report.rows) / report.seconds : 0;
  std::printf("%s %s done: %zu tables, %llu rows in %.1f s (%.0f rows/s)\n", verb, fileName.c_str(),
              report.tablesDone, static_cast<unsigned long long>(report.rows), report.seconds, rate);
  return kExitDone;
}

}  // namespace webtool
