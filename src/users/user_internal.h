#pragma once
// Helpers shared by the files of the users subsystem.
#include <string>

namespace users {

// "user_id = '<id>'", the id quoted safely.
std::string UserCondition(const std::string& userId);
// The users whose marks this instance may clear: its own, and those no
// instance has claimed.
std::string OwnMarksCondition();

}  // namespace users
