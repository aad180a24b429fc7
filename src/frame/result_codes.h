#pragma once
// Result codes. Every operation returns one of these as a plain int; 1 is
// success. Named codes are the ones the web front end tells apart; the
// subsystems return further plain numbers, each listed where it arises.
#include <string>

enum ResultCode : int {
  RESULT_OK = 1,

  DB_EXECUTE_NO_RESULT = -2,
  DB_EXECUTE_ERROR = -1,
  TVRL_MSG_KPGC_BUSY = 2,
  TVRL_MSG_RETRY = 3,
  TVRL_MSG_NOUSE_ID = 4,
  TVRL_MSG_WEB_BUSY = 10,
  CONNECT_FAIL_LINK = 161,
  CONNECT_FAIL_USED = 162,
  USER_NOT_IDLE = 163,
  USER_STATE_ERROR = 165,
  DIVIDE_ZERO_ERROR = 166,
  OPEN_FILE_NOT_EXIST = 176,
  OPEN_FILE_USED = 177,
  COPY_FILE_ERROR = 178,
  DELETE_DSN_ERROR = 179,
  DELETE_FILE_ERROR = 180,
  FILE_EXIST_ERROR = 181,
  CREATE_DSN_ERROR = 182,
  CLOSE_FILE_NOT_EXIST = 183,
  CLOSE_FILE_ALREADY_CLOSED = 184,
  DELETE_FILE_USED = 185,
  SOCKET_INIT_ERROR = 192,
  SOCKET_CREATE_ERROR = 193,
  SOCKET_SET_BLOCK_ERROR = 194,
  SOCKET_SET_NONBLOCK_ERROR = 195,
  SOCKET_SET_OPT_ERROR = 196,
  SOCKET_RECV_ERROR = 198,
  SOCKET_SEND_ERROR = 199,
  SOCKET_CLOSE_ERROR = 200,
  SOCKET_IP_ADDRESS_ERROR = 201,
  LOGIN_ID_ERR = 208,
  LOGIN_PWD_ERR = 209,
  LOGIN_DUPLICATE = 210,
  NO_BYTE_FOUND_ERROR = 211,
  DB_INIT_ERROR = 215,
  DB_DELETE_ERROR_USER_LOGIN = 216,
  DB_UPDATE_ERROR = 217,
  DB_INSERT_ERROR = 218,
  DB_INSERT_ERROR_EXIST = 219,
  DB_UPDATE_ERROR_NO_RECORD = 221,
  DB_UPDATE_ERROR_MULTI_RECORD = 222,
  DB_DELETE_ERROR = 223,
  DB_DELETE_ERROR_NO_RECORD = 224,
  DB_DELETE_ERROR_MULTI_RECORD = 225,
  DB_DISCONNECT_ERROR = 226,
  DB_FREE_CONNECT_ERROR = 227,
  DB_FREE_ENV_ERROR = 228,
  DIFFERENT_SESSION_ID = 230,
  GET_DATA_ERROR = 253,
};

// Unnamed codes of the server frame and the web link.
namespace code {
constexpr int kWebFormat = -10;        // web message format error
constexpr int kConfigWrite = -6;       // configuration file missing or empty on a key write
constexpr int kNoMemory = 132;         // zeroed memory could not be allocated
constexpr int kRegistry = 172;         // web path could not be read
constexpr int kTrimEmpty = 173;        // text to be trimmed is empty
constexpr int kTrimEmptyQuiet = 174;   // same, from the quiet variant
constexpr int kBusyReply = 191;        // result byte of the busy reply
constexpr int kSlotDbDisconnect = 202; // slot database could not be disconnected
constexpr int kSlotIndex = 203;        // slot index entry could not be emptied
constexpr int kSlotUserReset = 204;    // user's connection mark could not be cleared
constexpr int kPeerClosed = 214;       // web connection closed by the peer
constexpr int kRecordLength = 169;     // data length is not a whole number of records
constexpr int kFormat = 170;           // request format error
constexpr int kFileMissing = 188;      // file to open or reuse does not exist
constexpr int kStateIdle = 189;        // slot is idle: connect or open a file first
constexpr int kStateWrong = 190;       // slot is in a state the request does not accept
constexpr int kUserHoldsSlot = 212;    // user to be deleted holds a slot
constexpr int kNotLoggedIn = 220;      // user logging out is not logged in
constexpr int kRowCount = 252;         // a row count could not be read
}  // namespace code

// Writes the name of `code` into `out` and returns 1; leaves `out` untouched
// for a code without a name.
int ResultCodeName(std::string& out, int code);
inline int IsSuccess(int code) { return code == RESULT_OK ? 1 : 0; }
