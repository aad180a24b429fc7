#pragma once
// Helpers shared by the files of the users subsystem.
#include <string>

#include "web/web_message.h"

namespace users {

// "user_id = '<id>'", the id quoted safely.
std::string UserCondition(const std::string& userId);

// A copy of `request` whose data is the `size` bytes at `record`: each record
// of an administration request is handled as a request of its own.
web::WebMsg RecordRequest(const web::WebMsg& request, const std::uint8_t* record, std::size_t size);

}  // namespace users
