// Offline work against the real tavrel-comm on loopback:
//   tables  a 2,000-row table of 40-byte rows written through type-161
//           requests in state "offline" (PGC 500, replaced; PGC 437, merged
//           by key) and read back; beside them the same rows as literal
//           inserts each committed through ODBC (the floor of this design)
//           and as one prepared statement in one transaction (the limit)
//   files   FILE_CREATE + FILE_CLOSE and FILE_OPEN + FILE_CLOSE cycles
// Usage: offline_bench [tables|files|all] [--rows N] [--cycles N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/request_catalogue.h"
#include "client/request_data.h"
#include "client/web_client.h"
#include "reference_inserts.h"
#include "support/comm_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using client::Bytes;
constexpr int kRowLength = 40;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

Bytes Rows(int count) {
  Bytes rows(static_cast<std::size_t>(count) * kRowLength);
  for (int i = 0; i < count; ++i) {
    std::uint8_t* row = &rows[static_cast<std::size_t>(i) * kRowLength];
    row[0] = static_cast<std::uint8_t>(i >> 8);  // d1, d2: a key unique per row
    row[1] = static_cast<std::uint8_t>(i);
    for (int c = 2; c < kRowLength; ++c) row[c] = static_cast<std::uint8_t>(i * 7 + c);
  }
  return rows;
}

client::Request Control(const char* name, Bytes data, bool final = true) {
  client::Request r = client::MakeRequest(name, std::move(data));
  r.final = final;
  return r;
}

bool Ok(client::WebClient& c, const client::Request& r, client::Answer& a) {
  return c.Call(r, a, 30000) == 1 && a.result() == 1;
}

// The system description the reads select row lengths by: version 1, country 0, system 1.
Bytes InfoRecord() {
  Bytes info(58, 0);
  info[1] = 1;
  info[3] = 1;
  std::memcpy(&info[4], "home", 4);
  std::memcpy(&info[24], "compact", 7);
  return info;
}

// Writes the rows as type-161 packets of whole rows on one connection, then
// reads them back. Returns false on any failure.
bool WriteAndRead(testsupport::CommServer& server, std::uint16_t messageId, const Bytes& rows, double& writeS,
                  double& readS) {
  const int perPacket = 240 / kRowLength * kRowLength;
  auto c = server.Connect("bench");
  auto start = Clock::now();
  for (std::size_t at = 0; at < rows.size(); at += perPacket) {
    client::Request r;
    r.type = web::REQ_TABLE_DOWNLOAD;
    r.mode = web::kModeWrite;
    r.messageId = messageId;
    r.recordLength = kRowLength;
    r.data.assign(rows.begin() + at, rows.begin() + std::min(rows.size(), at + perPacket));
    r.final = at + perPacket >= rows.size();
    client::Answer a;
    if (!Ok(c, r, a)) {
      std::printf("  write of %04X failed at byte %zu with %d\n", messageId, at, a.result());
      return false;
    }
  }
  writeS = Seconds(Clock::now() - start);
  auto reader = server.Connect("bench");
  client::Request read;
  read.type = web::REQ_TABLE_DOWNLOAD;
  read.mode = web::kModeRead;
  read.messageId = messageId;
  read.final = true;
  client::Answer a;
  start = Clock::now();
  int rc = reader.Call(read, a, 30000);
  if (rc != 1 || a.result() != 1) {
    std::printf("  read of %04X failed: client %d, result %d, %zu pieces\n", messageId, rc, a.result(), a.pieces.size());
    return false;
  }
  readS = Seconds(Clock::now() - start);
  Bytes back = a.data;
  std::sort(back.begin(), back.end());
  Bytes sent = rows;
  std::sort(sent.begin(), sent.end());
  if (back != sent) std::printf("  read back differs: %zu bytes against %zu\n", a.data.size(), rows.size());
  return back == sent;
}

bool Tables(testsupport::CommServer& server, int rowCount) {
  auto c = server.Connect("bench");
  client::Answer a;
  if (!Ok(c, Control("FILE_CREATE", client::FileNameData("benchtables"), false), a) ||
      !Ok(c, Control("STORE_PGC", InfoRecord()), a)) {
    std::printf("tables: could not open the file (result %d)\n", a.result());
    return false;
  }
  Bytes rows = Rows(rowCount);
  double replaceW = 0, replaceR = 0, mergeW = 0, mergeR = 0;
  if (!WriteAndRead(server, 0x5000, rows, replaceW, replaceR)) return false;
  if (!WriteAndRead(server, 0x4370, rows, mergeW, mergeR)) return false;
  std::vector<benchref::TableRows> reference = {{"PGC500", kRowLength, rows}};
  double floor = benchref::OdbcLiteralInserts(server, reference);
  double limit = benchref::SqlitePrepared(server, reference);
  auto rate = [&](double s) { return rowCount / s; };
  std::printf("tables: %d rows of %d bytes\n", rowCount, kRowLength);
  std::printf("  replace (PGC 500) written   %8.0f rows/s  (%.3f s)  %.2f of the ODBC floor\n", rate(replaceW), replaceW,
              floor / replaceW);
  std::printf("  replace (PGC 500) read back %8.0f rows/s  (%.3f s)\n", rate(replaceR), replaceR);
  std::printf("  merge   (PGC 437) written   %8.0f rows/s  (%.3f s)  %.2f of the ODBC floor\n", rate(mergeW), mergeW,
              floor / mergeW);
  std::printf("  merge   (PGC 437) read back %8.0f rows/s  (%.3f s)\n", rate(mergeR), mergeR);
  std::printf("  floor: literal inserts each committed through ODBC %8.0f rows/s\n", rate(floor));
  std::printf("  limit: one prepared statement, one transaction     %8.0f rows/s\n", rate(limit));
  return true;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool Files(testsupport::CommServer& server, int cycles) {
  std::vector<double> create, open;
  for (int i = 0; i < cycles; ++i) {
    std::string name = "cycle" + std::to_string(i);
    auto c = server.Connect("bench");
    client::Answer a;
    auto start = Clock::now();
    bool ok = Ok(c, Control("FILE_CREATE", client::FileNameData(name), false), a) &&
              Ok(c, Control("FILE_CLOSE", client::FileNameData(name)), a);
    create.push_back(Seconds(Clock::now() - start) * 1000);
    auto d = server.Connect("bench");
    start = Clock::now();
    ok = ok && Ok(d, Control("FILE_OPEN", client::FileNameData(name), false), a) &&
         Ok(d, Control("FILE_CLOSE", client::FileNameData(name)), a);
    open.push_back(Seconds(Clock::now() - start) * 1000);
    if (!ok) {
      std::printf("files: cycle %d failed with %d\n", i, a.result());
      return false;
    }
  }
  std::printf("files: %d cycles: FILE_CREATE + FILE_CLOSE median %.1f ms, FILE_OPEN + FILE_CLOSE median %.1f ms\n",
              cycles, Median(create), Median(open));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string which = argc > 1 ? argv[1] : "all";
  int rows = 2000, cycles = 20;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--rows") == 0) rows = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--cycles") == 0) cycles = std::atoi(argv[i + 1]);
  }
  testsupport::ServerOptions options;
  options.infoLevel = 0;
  options.users = {{"bench", "pw"}};
  auto server = testsupport::LaunchServer(options);
  if (!server) return 1;
  bool ok = true;
  if (which == "files" || which == "all") ok = Files(*server, cycles) && ok;
  if (which == "tables" || which == "all") ok = Tables(*server, rows) && ok;
  return ok ? 0 : 1;
}
