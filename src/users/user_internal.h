#pragma once
// Helpers shared by the files of the users subsystem.
#include <string>

namespace users {

// "user_id = '<id>'", the id quoted safely.
std::string UserCondition(const std::string& userId);

}  // namespace users
