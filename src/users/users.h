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

// Instances sharing the user database (users/instance.cc). The instance's
// name: TAVREL_INSTANCE, else "<host name>:<working directory>".
const std::string& InstanceId();
int PrepareInstanceTable(int varNum);                         // 1; -1
int ClaimUserMark(const std::string& userId, int varNum);     // 1; 217
// 1 when another instance set the user's mark last; 0; -1 on a database error.
int MarkHeldElsewhere(const std::string& userId, int varNum);

// Login checks; on refusal they write the failure pattern into the first 120
// bytes of `reply`.
int CheckLoginID(const web::WebMsg& request, std::uint8_t* reply, int varNum);         // 1; 208; 252
int CheckLoginPassword(const web::WebMsg& request, std::uint8_t* reply, int varNum);   // 1; 209; 231; 232
int CheckLoginDuplicate(const web::WebMsg& request, std::uint8_t* reply, int varNum);  // 1; 210; 237-240

int IsUserLoggedIn(const std::string& userId, int varNum);           // 1; 0; 237; 238
int IsUserLoggedInByRequest(const web::WebMsg& request, int varNum);  // user record's id (data 2..17)
int CheckSessionID(const web::WebMsg& request, const std::string& userId, int varNum);  // 1; 0; 241; 242
// The user's connect_state (0, 1, 2, ...) into `state`. 1; USER_ROW_NOT_FOUND;
// USER_ROW_READ_ERROR.
int GetConnectState(const std::string& userId, int& state, int varNum);
int IsUserNotConnected(const std::string& userId, int varNum);  // 1; 0; 243; 244
int IsOfflineFileInUse(const std::string& fileName, int varNum);  // 1; 0; 140; 252
// A connected user (connect_state 1) whose connect_info1..48 equal the link
// parameters of a connect request (data 4..51): 1 with the id; 243 none; 244.
int FindUserOnLink(const web::WebMsg& request, std::string& userId, int varNum);
// The statement that releases `userId`'s link mark, for the caller to run
// when it takes the link over; logged, not run. 1.
int setIPOfConnectOnline(const web::WebMsg& request, const std::string& userId, std::string& statement,
                         int varNum);
// Bytes 0-51 "WebUser", 52-103 "WebInfo", zero padded.
int GetDataSourceNames(std::uint8_t* out104);

// Field readers of userinfo: one column of the user's row as text. 1, or the
// reader's no-row code and its error code (each logged as "DB error").
int GetOriginPassword(const std::string& userId, std::string& out, int varNum);  // 231; 232
int GetLoginState(const std::string& userId, std::string& out, int varNum);      // 237; 238
int GetIP(const std::string& userId, std::string& out, int varNum);              // 239; 240
int GetSessionID(const std::string& userId, std::string& out, int varNum);       // 241; 242
int GetConnectState(const std::string& userId, std::string& out, int varNum);    // 243; 244
// user_id of the first row matching `condition` (a WHERE text).
int GetUserID(const std::string& condition, std::string& out, int varNum);  // 243; 244

// The identity of the system a slot's database was read from, from the
// database the slot's state selects ("idle": 1 with an empty text).
int GetDBInfoSystemID(std::string& out, int varNum);   // dbinfo column 3; 245; 246
int GetDBInfoCountryID(std::string& out, int varNum);  // dbinfo column 1; 247; 251
int GetDBVersion(std::string& out, int varNum);        // dbinfo column 0; 248; 249
int GetSystemID(std::string& out, int varNum);         // PGC20000 column 0; 245; 246
int GetCountryID(std::string& out, int varNum);        // PGC20000 column 3; 247; 251
int GetTMajor(std::string& out, int varNum);           // PGC20000 column 9; 206; 207
int GetTMinor(std::string& out, int varNum);           // PGC20000 column 10; 164; 128

// Administration and the user's own row.
int MaintainUsers(const web::WebMsg& request, int varNum);
int MaintainLinks(const web::WebMsg& request, int varNum);
int UpdateUserRecord(const web::WebMsg& request, std::uint16_t messageId, int varNum);

}  // namespace users
