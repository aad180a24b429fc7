#pragma once
// Turns one request of the command line (a name and its FIELD=VALUE words)
// into the request to send.
#include <string>
#include <utility>
#include <vector>

#include "client/request_catalogue.h"

namespace webtool {

struct Step {
  std::string name;
  std::vector<std::pair<std::string, std::string>> fields;  // in command-line order
};

struct BuiltRequest {
  client::Request request;
  bool raw = false;         // send rawBytes as they stand
  client::Bytes rawBytes;
};

// `headUser` is the --user id, used where a request names its user and the
// command line does not. On failure `error` says why.
bool BuildRequest(const Step& step, const std::string& headUser, BuiltRequest& out, std::string& error);

// The help text for the request fields.
const char* FieldHelp();

}  // namespace webtool
