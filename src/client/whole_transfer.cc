#include "client/whole_transfer.h"

#include "client/request_catalogue.h"

namespace client {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kCreateNewFile = 0;

// One request and its answer; false with the report's failure filled in.
bool Step(WebClient& connection, const Request& request, const std::string& step, TransferReport& report,
          int timeoutMs, Answer* answer = nullptr) {
  Answer local;
  Answer& out = answer ? *answer : local;
  int rc = connection.Call(request, out, timeoutMs);
  if (rc == 1 && out.result() == 1) return true;
  report.failedStep = step;
  report.noReply = rc != 1;
  report.failedResult = rc != 1 ? rc : out.result();
  return false;
}

int Failed(const TransferReport& report) { return report.failedResult == 1 ? 0 : report.failedResult; }

// The per-table requests between a start and an end.
bool RunTables(WebClient& connection, const char* perTable, const std::vector<TableRef>& tables,
               TransferObserver& observer, TransferReport& report, Clock::time_point started, int timeoutMs) {
  for (const TableRef& table : tables) {
    if (!Step(connection, MakeRequest(perTable, PgcTableData(table.messageId)), table.name, report, timeoutMs))
      return false;
    ++report.tablesDone;
    report.rows += observer.RowsOf(table);
    report.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    observer.TableDone(table, report);
  }
  return true;
}

}  // namespace

int ReadSystemIdentity(WebClient& connection, Bytes& row, TransferReport& report, int timeoutMs) {
  Request check;
  check.type = web::REQ_PGC;
  check.mode = web::kModeRead;
  check.messageId = web::kLinkCheckId;
  Answer answer;
  if (!Step(connection, check, "LINK_CHECK", report, timeoutMs, &answer)) return Failed(report);
  row = answer.data;
  return 1;
}

int RunBackup(WebClient& connection, const std::string& fileName, const std::vector<TableRef>& tables,
              const Bytes& infoRecord, TransferObserver& observer, TransferReport& report, int timeoutMs) {
  const Clock::time_point started = Clock::now();
  report.tablesAll = tables.size();
  if (!Step(connection, MakeRequest("ALL_DOWNLOAD_START", DownloadStartData(fileName, kCreateNewFile)),
            "ALL_DOWNLOAD_START", report, timeoutMs) ||
      !RunTables(connection, "DOWNLOAD_PGC", tables, observer, report, started, timeoutMs) ||
      !Step(connection, MakeRequest("STORE_PGC", infoRecord), "STORE_PGC", report, timeoutMs))
    return Failed(report);
  Request end = MakeRequest("ALL_DOWNLOAD_END");
  end.final = true;
  if (!Step(connection, end, "ALL_DOWNLOAD_END", report, timeoutMs)) return Failed(report);
  report.seconds = std::chrono::duration<double>(Clock::now() - started).count();
  return 1;
}

int RunRestore(WebClient& connection, const std::string& fileName, const std::vector<TableRef>& tables,
               TransferObserver& observer, TransferReport& report, int timeoutMs) {
  const Clock::time_point started = Clock::now();
  report.tablesAll = tables.size();
  if (!Step(connection, MakeRequest("ALL_UPLOAD_START", FileNameData(fileName)), "ALL_UPLOAD_START", report,
            timeoutMs) ||
      !RunTables(connection, "UPLOAD_PGC", tables, observer, report, started, timeoutMs))
    return Failed(report);
  Request end = MakeRequest("ALL_UPLOAD_END");
  end.final = true;
  if (!Step(connection, end, "ALL_UPLOAD_END", report, timeoutMs)) return Failed(report);
  report.seconds = std::chrono::duration<double>(Clock::now() - started).count();
  return 1;
}

}  // namespace client
