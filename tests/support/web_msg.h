#pragma once
// A web message as the request handlers get it: built from its fields and
// parsed back.
#include <cstdint>
#include <string_view>
#include <vector>

#include "web/web_format.h"
#include "web/web_message.h"

namespace testsupport {

// An empty vector's data() may be null; BuildMessage copies from it anyway.
inline std::string_view View(const std::vector<std::uint8_t>& data) {
  if (data.empty()) return "";
  return {reinterpret_cast<const char*>(data.data()), data.size()};
}

inline web::WebMsg WebMsgOf(const web::MessageFields& fields) {
  std::uint8_t raw[web::kMaxMessage] = {};
  web::BuildMessage(raw, fields);
  web::WebMsg msg;
  web::ParseWebMessage(msg, raw);
  return msg;
}

}  // namespace testsupport
