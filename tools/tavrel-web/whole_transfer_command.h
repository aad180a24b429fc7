#pragma once
// BACKUP name=N and RESTORE name=N: the whole download or upload of every
// table the installation's catalogue lists for the linked system, with a
// progress display.
#include <cstdint>
#include <string>

#include "client/web_client.h"
#include "request_builder.h"

namespace webtool {

// True for the names BACKUP and RESTORE (in any case).
bool IsWholeTransfer(const std::string& name);

// Checks the step's fields; false with `error` set.
bool CheckWholeTransfer(const Step& step, std::string& fileName, std::string& error);

struct WholeTransferTarget {
  std::string host;
  std::uint16_t port = 0;
  std::string user;
  std::string installDir;
  int timeoutMs = 0;
};

// Runs the transfer on the open connection; the exit status of tavrel-web
// (0 done; 1 a step failed, named on standard error).
int RunWholeTransfer(client::WebClient& connection, const std::string& name, const std::string& fileName,
                     const WholeTransferTarget& target);

// A result byte with its code's name ("success" for 1).
std::string ResultText(std::uint8_t result);

}  // namespace webtool
