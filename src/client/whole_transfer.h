#pragma once
// A whole-system backup or restore as the web front end runs it, on one
// connection of a linked user:
//   backup:  ALL_DOWNLOAD_START (new file), DOWNLOAD_PGC per table, STORE_PGC
//            with the system's description, ALL_DOWNLOAD_END
//   restore: ALL_UPLOAD_START, UPLOAD_PGC per table, ALL_UPLOAD_END
// The description goes into the file because an upload selects every table's
// row length by it: a file without one cannot be restored.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "client/request_data.h"
#include "client/web_client.h"

namespace client {

struct TableRef {
  std::string name;  // "PGC724"
  std::uint16_t messageId = 0;
};

struct TransferReport {
  std::size_t tablesDone = 0;
  std::size_t tablesAll = 0;
  std::uint64_t rows = 0;
  double seconds = 0;
  // On failure: the step (a table's name or the request's) and its result,
  // the reply's result byte or a client result when no reply came.
  std::string failedStep;
  int failedResult = 0;
  bool noReply = false;
};

class TransferObserver {
 public:
  virtual ~TransferObserver() = default;
  // Rows the table holds once it is done (0 when they cannot be counted).
  virtual std::uint64_t RowsOf(const TableRef& /*table*/) { return 0; }
  virtual void TableDone(const TableRef& /*table*/, const TransferReport& /*report*/) {}
};

// The system's PGC20000 row, read by a link check. 1, or as RunBackup.
int ReadSystemIdentity(WebClient& connection, Bytes& row, TransferReport& report, int timeoutMs);

// 1 when every step succeeded; otherwise the failing step's result, with the
// step in the report. The last request carries the final flag.
int RunBackup(WebClient& connection, const std::string& fileName, const std::vector<TableRef>& tables,
              const Bytes& infoRecord, TransferObserver& observer, TransferReport& report, int timeoutMs);
int RunRestore(WebClient& connection, const std::string& fileName, const std::vector<TableRef>& tables,
               TransferObserver& observer, TransferReport& report, int timeoutMs);

}  // namespace client
