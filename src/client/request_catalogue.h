#pragma once
// Every request COMM understands, by name: the type byte, the message id (the
// control number for type 2), the mode byte and the reply id of a successful
// answer.
#include <cstdint>
#include <span>
#include <string_view>

#include "client/request_data.h"
#include "client/web_client.h"

namespace client {

// Reply id of a request whose answer carries the request's own message id (a
// PGC read) or that is relayed from the system.
constexpr int kOwnMessageId = -1;

struct CatalogueEntry {
  std::string_view name;
  std::uint8_t type;
  std::uint16_t messageId;  // for the PGC families: the default, usually given per request
  std::uint8_t mode;
  int replyId;              // of a successful answer; kOwnMessageId as above
  bool takesMessageId;      // the message id is the PGC message and comes from the caller
  std::string_view summary;
};

std::span<const CatalogueEntry> Catalogue();
// nullptr for an unknown name; names are compared case-insensitively.
const CatalogueEntry* FindRequest(std::string_view name);
// A request of the entry's type, mode and message id carrying `data`.
Request MakeRequest(const CatalogueEntry& entry, Bytes data = {});
// Same by name; the entry must exist.
Request MakeRequest(std::string_view name, Bytes data = {});

}  // namespace client
