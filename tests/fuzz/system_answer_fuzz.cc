// A system's answer as it arrives over TCP: the input (after two selector
// bytes) is everything the system sends on the link, read by the receive
// path of the transfer sequence the first byte selects, for the message the
// second selects, in a slot that is online with a real database, into which
// kept messages are stored.
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <vector>

#include "fuzz_support.h"
#include "pgc_test_support.h"
#include "platform/socket.h"
#include "requests/request.h"
#include "web/sxm_format.h"
#include "system/transfer.h"

namespace {

using namespace pgctest;

// Stored and relayed messages, a wide table, the multi-database PGC and the
// link's own messages.
constexpr std::array<std::uint16_t, 8> kMessages = {0x7240, 0x1010, 0x1020, 0x7230, 0x7100,
                                                    sxm::kLinkCheckId, sxm::kLinkControlId, sxm::kKeepAliveId};

std::vector<std::uint8_t> work(kWorkingBufferSize);

// Emptied after every input that stored something, through one connection
// of the harness's own, kept open so that its schema is read once. Its data
// version moves only when COMM's connection commits.
sqlite3* tables = nullptr;
sqlite3_stmt* dataVersion = nullptr;
std::string emptyAll;
long seenVersion = -1;

long DataVersion() {
  if (sqlite3_step(dataVersion) != SQLITE_ROW) std::abort();
  long version = sqlite3_column_int64(dataVersion, 0);
  sqlite3_reset(dataVersion);
  return version;
}

void EmptyTablesIfStored() {
  long version = DataVersion();
  if (version == seenVersion) return;
  if (sqlite3_exec(tables, emptyAll.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
  seenVersion = version;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::PrepareInstallation();
  PrepareDatabase();
  if (sqlite3_open(DatabasePath().c_str(), &tables) != SQLITE_OK) std::abort();
  sqlite3_busy_timeout(tables, 5000);
  if (sqlite3_prepare_v2(tables, "PRAGMA data_version", -1, &dataVersion, nullptr) != SQLITE_OK) std::abort();
  emptyAll = "BEGIN; DELETE FROM dbinfo; DELETE FROM PGC20000;";
  for (const TableShape& table : kTables) emptyAll += std::string(" DELETE FROM ") + table.name + ";";
  emptyAll += " COMMIT;";
  Slot& slot = SlotAt(kSlot);
  slot.state = state::kOnline;
  if (db::ConnectDB(*SlotDatabase(kSlot), kDsn) != 1) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  int sequence = data[0] % 6;
  std::uint16_t id = kMessages[data[1] % kMessages.size()];
  data += 2;
  size -= 2;

  int link[2], web[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link) != 0) return 0;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, web) != 0) {
    ::close(link[0]);
    ::close(link[1]);
    return 0;
  }
  int bufferSize = 1 << 20;
  for (int fd : {link[0], link[1], web[0], web[1]}) {
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
  }
  platform::SendAll(link[1], data, size, 1000);
  ::shutdown(link[1], SHUT_WR);

  // Two rows of PGC724 for the sequences that carry the web's data.
  Bytes rows(20);
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<std::uint8_t>(i);
  web::WebMsg request = Packet(web::REQ_PGC, id, kOnlyPacket, 10, rows);
  if (sequence != 3) request.bodyHeader[sxm::kMode] = sxm::kModeRead;
  sxm::Packet packet{};
  int gathered = 0;
  systemlink::Gathering gathering{work.data(), work.size(), &gathered};
  const std::uint8_t body[1] = {0};
  bool sent = false;
  switch (sequence) {
    case 0:
      systemlink::RequestFromSystem(web[0], link[0], id, request, packet, body, true, 0, 11, gathering, kSlot);
      break;
    case 1:
      systemlink::ReadTableFromSystem(web[0], link[0], id, request, packet, body, false, 0, 10, gathering, kSlot);
      break;
    case 2: systemlink::ReadFromSystem(web[0], link[0], id, request, packet, gathering, kSlot); break;
    case 3: systemlink::WriteToSystem(web[0], link[0], id, request, packet, gathering, kSlot); break;
    case 4:
      systemlink::SendTableToSystem(link[0], id, request, rows.data(), 10, static_cast<int>(rows.size()), kSlot);
      break;
    default: systemlink::RestartSystem(link[0], id, request, packet, sent, kSlot); break;
  }
  if (systemlink::TransferFlagHeld()) std::abort();  // a sequence must never keep the flag
  for (int fd : {link[0], link[1], web[0], web[1]}) ::close(fd);
  EmptyTablesIfStored();
  return 0;
}
