#pragma once
// The user, link and database-info tables: start-up repair, login checks,
// sessions and the administration of users and links. Every operation returns
// 1 on success or the code named beside it.
#include <cstdint>
#include <string>

#include "web/web_message.h"

namespace users {

constexpr std::size_t kLoginAnswerSize = 120;

// Start-up (on the user database, log 999).
int CheckUserInfoFields(int varNum);  // 1; -1
int ClearConnectStates(int varNum);   // 1; -5; -1

// Login checks; on refusal they write the failure pattern into the first 120
// bytes of `reply`.
int CheckLoginID(const web::WebMsg& request, std::uint8_t* reply, int varNum);         // 1; 208; 252
int CheckLoginPassword(const web::WebMsg& request, std::uint8_t* reply, int varNum);   // 1; 209; 231; 232
int CheckLoginDuplicate(const web::WebMsg& request, std::uint8_t* reply, int varNum);  // 1; 210; 237-240

int IsUserLoggedIn(const std::string& userId, int varNum);           // 1; 0; 237; 238
int IsUserLoggedInByRequest(const web::WebMsg& request, int varNum);  // user record's id (data 2..17)
int CheckSessionID(const web::WebMsg& request, const std::string& userId, int varNum);  // 1; 0; 241; 242
// The user's connect_state (0, 1, 2, ...); 243 no row; 244 database error.
int GetConnectState(const std::string& userId, int varNum);
int IsUserNotConnected(const std::string& userId, int varNum);  // 1; 0; 243; 244
int IsOfflineFileInUse(const std::string& fileName, int varNum);  // 1; 0; 140; 252
// Bytes 0-51 "WebUser", 52-103 "WebInfo", zero padded.
int GetDataSourceNames(std::uint8_t* out104);

// Administration and the user's own row.
int MaintainUsers(const web::WebMsg& request, int varNum);
int MaintainLinks(const web::WebMsg& request, int varNum);
int UpdateUserRecord(const web::WebMsg& request, std::uint16_t messageId, int varNum);

}  // namespace users
