#pragma once
// Login, logout and the administration of users and links.
#include <cstdint>
#include <string>

#include "requests/request.h"

namespace requests {

int LoginSteps(RequestContext& ctx);
int LoginResetSteps(RequestContext& ctx);
int LogoutSteps(RequestContext& ctx);
int UserAdminSteps(RequestContext& ctx);  // USER_SET, LINK_SET, USER_SET_EXT

// Routes a request to the user-table work that matches it; 1 for requests
// that have none.
int RecordUserRequest(const web::WebMsg& msg, std::uint16_t messageId, std::uint8_t* reply, int varNum);
// Closes what the slot holds open, clears the user's connection mark and
// leaves the slot "idle". 1; the DisconnectSlot result; 204.
int LogoutSlot(const std::string& userId, int& systemSocket, int varNum);

}  // namespace requests
