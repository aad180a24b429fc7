#pragma once
// Result codes. Every operation returns one of these as a plain int; 1 is
// success. This list is the only place a code is given a value: the enum and
// the name table are both generated from it.
//
// NAMED codes are the ones the web front end tells apart: ResultCodeName
// knows exactly these. CODE entries are the other failures, named here so the
// code that returns them and the code that tests for them agree; they have no
// name on the wire side.
#include <string>

// X(identifier, value, meaning)
#define TAVREL_RESULT_CODES(NAMED, CODE)                                                            \
  CODE(RESULT_OK, 1, "success")                                                                   \
  NAMED(DB_EXECUTE_NO_RESULT, -2, "a statement matched no row")                                    \
  NAMED(DB_EXECUTE_ERROR, -1, "a statement failed")                                                \
  NAMED(TVRL_MSG_KPGC_BUSY, 2, "the system is busy with a PGC")                                    \
  NAMED(TVRL_MSG_RETRY, 3, "the system asks for a retry")                                          \
  NAMED(TVRL_MSG_NOUSE_ID, 4, "the system does not use this message id")                           \
  NAMED(TVRL_MSG_WEB_BUSY, 10, "the web side is busy")                                             \
  CODE(WEB_FORMAT_ERROR, -10, "web message format error; a reply that breaks the format")          \
  CODE(CONFIG_WRITE_ERROR, -6, "configuration file missing or empty on a key write")               \
  CODE(SELECT_ERROR, -5, "a PGC table could not be selected from")                                 \
  CODE(TIMEOUT_READ_ERROR, -3, "the web time-out value could not be read")                         \
  CODE(T_MINOR_READ_ERROR, 128, "t_minor could not be read")                                       \
  CODE(NO_VERSION_ROW, 129, "tableVersion has no row")                                             \
  CODE(VERSION_ERROR, 130, "tableVersion could not be read")                                       \
  CODE(NO_MEMORY, 132, "zeroed memory could not be allocated")                                     \
  CODE(PGC_NUMBER_ERROR, 133, "a PGC number is not 3 or 4 characters")                             \
  CODE(OLD_USER_NOT_FOUND, 134, "the user to be replaced on the link was not found")               \
  CODE(SERIAL_OPEN_ERROR, 135, "the serial port could not be opened, or is not open")              \
  CODE(SERIAL_GET_STATE_ERROR, 136, "the serial port's settings could not be read")                \
  CODE(SERIAL_SET_STATE_ERROR, 137, "the serial port's settings could not be set")                 \
  CODE(SERIAL_WRITE_ERROR, 138, "the serial port could not be written")                            \
  CODE(UNKNOWN_DB_ERROR, 140, "a database read ended in an unknown way")                           \
  CODE(SERIAL_NOTHING_RECEIVED, 141, "nothing arrived on the serial line")                         \
  CODE(SERIAL_PROTOCOL_ERROR, 142, "no ACK where one was due; a frame too long")                   \
  CODE(SERIAL_SENDER_GAVE_UP, 143, "the serial sender ran out of attempts")                        \
  CODE(SERIAL_CLOSE_ERROR, 144, "the serial port could not be closed")                             \
  CODE(SERIAL_NCK_SENT, 145, "a serial frame was refused with NCK")                                \
  CODE(MODEM_BUSY, 146, "the modem answered busy")                                                 \
  CODE(MODEM_NO_CARRIER, 147, "the modem answered no carrier")                                     \
  CODE(MODEM_UNEXPECTED_ANSWER, 148, "the modem gave an answer not expected, or too long")         \
  CODE(SERIAL_PURGE_ERROR, 149, "the serial port could not be purged")                             \
  CODE(MODEM_NO_ANSWER, 150, "no complete modem answer")                                           \
  CODE(SERIAL_RECEIVER_GAVE_UP, 152, "the serial receiver ran out of attempts")                    \
  CODE(SERIAL_NCK_ERROR, 153, "the serial NCK could not be sent")                                  \
  CODE(SERIAL_PORT_IN_USE, 154, "the serial port is in use")                                       \
  CODE(ACCEPT_TIMER_ERROR, 155, "the accept timer could not be started")                           \
  CODE(REJECT_TIMER_ERROR, 156, "the reject timer could not be started")                           \
  NAMED(CONNECT_FAIL_LINK, 161, "no connection")                                                   \
  NAMED(CONNECT_FAIL_USED, 162, "rejected by the system")                                          \
  NAMED(USER_NOT_IDLE, 163, "the user holds a connection")                                         \
  CODE(T_MINOR_NOT_FOUND, 164, "no t_minor")                                                       \
  NAMED(USER_STATE_ERROR, 165, "a user row in a state the operation does not accept")              \
  NAMED(DIVIDE_ZERO_ERROR, 166, "row length 0, or above a packet's data")                          \
  CODE(MESSAGE_ID_UNKNOWN, 167, "no PGC for the message id")                                       \
  CODE(GATHER_OVERFLOW, 168, "gathered data would not fit the working buffer")                     \
  CODE(RECORD_LENGTH_ERROR, 169, "data length is not a whole number of records")                   \
  CODE(FORMAT_ERROR, 170, "request or packet format error")                                        \
  CODE(REGISTRY_ERROR, 172, "web path could not be read")                                          \
  CODE(TRIM_EMPTY_QUIET, 174, "text to be trimmed is empty, from the quiet variant")               \
  CODE(NO_KEY_COLUMNS, 175, "PGC in neither key table")                                            \
  NAMED(OPEN_FILE_NOT_EXIST, 176, "file to open does not exist")                                   \
  NAMED(OPEN_FILE_USED, 177, "file to open is in use")                                             \
  NAMED(COPY_FILE_ERROR, 178, "file could not be copied")                                          \
  NAMED(DELETE_DSN_ERROR, 179, "data source could not be removed")                                 \
  NAMED(DELETE_FILE_ERROR, 180, "file could not be deleted")                                       \
  NAMED(FILE_EXIST_ERROR, 181, "file already exists")                                              \
  NAMED(CREATE_DSN_ERROR, 182, "data source could not be created")                                 \
  NAMED(CLOSE_FILE_NOT_EXIST, 183, "file to close does not exist")                                 \
  NAMED(CLOSE_FILE_ALREADY_CLOSED, 184, "file to close is closed")                                 \
  NAMED(DELETE_FILE_USED, 185, "file to delete is in use")                                         \
  CODE(FILE_NOT_FOUND, 186, "a file named for deletion is not there")                              \
  CODE(LIST_FULL, 187, "a listing reached its limit")                                              \
  CODE(FILE_MISSING, 188, "file to open or reuse does not exist")                                  \
  CODE(STATE_IDLE, 189, "slot is idle: connect or open a file first")                              \
  CODE(STATE_WRONG, 190, "slot is in a state the request does not accept")                         \
  CODE(BUSY_REPLY, 191, "result byte of the busy reply")                                           \
  NAMED(SOCKET_INIT_ERROR, 192, "sockets could not be initialised")                                \
  NAMED(SOCKET_CREATE_ERROR, 193, "a socket could not be created; no connection is open")          \
  NAMED(SOCKET_SET_BLOCK_ERROR, 194, "a socket could not be set blocking")                         \
  NAMED(SOCKET_SET_NONBLOCK_ERROR, 195, "a socket could not be set non-blocking")                  \
  NAMED(SOCKET_SET_OPT_ERROR, 196, "a socket option could not be set")                             \
  NAMED(SOCKET_RECV_ERROR, 198, "a receive failed")                                                \
  NAMED(SOCKET_SEND_ERROR, 199, "a send failed")                                                   \
  NAMED(SOCKET_CLOSE_ERROR, 200, "a socket could not be closed")                                   \
  NAMED(SOCKET_IP_ADDRESS_ERROR, 201, "an address could not be used")                              \
  CODE(SLOT_DB_DISCONNECT_ERROR, 202, "a slot database could not be disconnected")                 \
  CODE(SLOT_INDEX_ERROR, 203, "slot index entry could not be emptied")                             \
  CODE(SLOT_USER_RESET_ERROR, 204, "user's connection mark could not be cleared")                  \
  CODE(SPECIAL_SYSTEM_ERROR, 205, "a special system error, or a sixth refusal")                    \
  CODE(T_MAJOR_NOT_FOUND, 206, "no t_major")                                                       \
  CODE(T_MAJOR_READ_ERROR, 207, "t_major could not be read")                                       \
  NAMED(LOGIN_ID_ERR, 208, "unknown user id")                                                      \
  NAMED(LOGIN_PWD_ERR, 209, "wrong password")                                                      \
  NAMED(LOGIN_DUPLICATE, 210, "user already logged in")                                            \
  NAMED(NO_BYTE_FOUND_ERROR, 211, "no Tablestrt row accepts the system")                           \
  CODE(USER_HOLDS_SLOT, 212, "user to be deleted holds a slot")                                    \
  CODE(PEER_CLOSED, 214, "the peer closed the connection")                                         \
  NAMED(DB_INIT_ERROR, 215, "a database could not be opened")                                      \
  NAMED(DB_DELETE_ERROR_USER_LOGIN, 216, "user to delete is logged in")                            \
  NAMED(DB_UPDATE_ERROR, 217, "an update failed")                                                  \
  NAMED(DB_INSERT_ERROR, 218, "an insert failed")                                                  \
  NAMED(DB_INSERT_ERROR_EXIST, 219, "the row to insert exists")                                    \
  CODE(NOT_LOGGED_IN, 220, "user logging out is not logged in")                                    \
  NAMED(DB_UPDATE_ERROR_NO_RECORD, 221, "no row to update")                                        \
  NAMED(DB_UPDATE_ERROR_MULTI_RECORD, 222, "several rows to update")                               \
  NAMED(DB_DELETE_ERROR, 223, "a delete failed")                                                   \
  NAMED(DB_DELETE_ERROR_NO_RECORD, 224, "no row to delete")                                        \
  NAMED(DB_DELETE_ERROR_MULTI_RECORD, 225, "several rows to delete")                               \
  NAMED(DB_DISCONNECT_ERROR, 226, "a database could not be disconnected")                          \
  NAMED(DB_FREE_CONNECT_ERROR, 227, "a connection handle could not be freed")                      \
  NAMED(DB_FREE_ENV_ERROR, 228, "an environment handle could not be freed")                        \
  CODE(TABLESTRT_ERROR, 229, "Tablestrt could not be read")                                        \
  NAMED(DIFFERENT_SESSION_ID, 230, "the session id does not match")                                \
  CODE(PASSWORD_NOT_FOUND, 231, "no password for the user")                                        \
  CODE(PASSWORD_READ_ERROR, 232, "the password could not be read")                                 \
  CODE(LOGIN_STATE_NOT_FOUND, 237, "no login state")                                               \
  CODE(LOGIN_STATE_READ_ERROR, 238, "the login state could not be read")                           \
  CODE(IP_NOT_FOUND, 239, "no IP")                                                                 \
  CODE(IP_READ_ERROR, 240, "the IP could not be read")                                             \
  CODE(SESSION_ID_NOT_FOUND, 241, "no session id")                                                 \
  CODE(SESSION_ID_READ_ERROR, 242, "the session id could not be read")                             \
  CODE(USER_ROW_NOT_FOUND, 243, "no user row: connect state or user id")                           \
  CODE(USER_ROW_READ_ERROR, 244, "connect state or user id could not be read")                     \
  CODE(SYSTEM_ID_NOT_FOUND, 245, "no system id")                                                   \
  CODE(SYSTEM_ID_READ_ERROR, 246, "the system id could not be read")                               \
  CODE(COUNTRY_ID_NOT_FOUND, 247, "no country id")                                                 \
  CODE(DB_VERSION_NOT_FOUND, 248, "no database version")                                           \
  CODE(DB_VERSION_READ_ERROR, 249, "the database version could not be read")                       \
  CODE(CLEAR_TABLE_ERROR, 250, "a table could not be emptied")                                     \
  CODE(COUNTRY_ID_READ_ERROR, 251, "the country id could not be read")                             \
  CODE(ROW_COUNT_ERROR, 252, "a row count could not be read")                                      \
  NAMED(GET_DATA_ERROR, 253, "a column could not be read")                                         \
  CODE(REPLY_TIMED_OUT, 300, "client: no whole reply within the time-out")                         \
  CODE(UNEXPECTED_DATA, 301, "client: data arrived where a close was awaited")

#define TAVREL_RESULT_ENUM_ENTRY(name, value, meaning) name = value,
enum ResultCode : int { TAVREL_RESULT_CODES(TAVREL_RESULT_ENUM_ENTRY, TAVREL_RESULT_ENUM_ENTRY) };
#undef TAVREL_RESULT_ENUM_ENTRY

// Writes the name of `code` into `out` and returns 1; leaves `out` untouched
// for a code without a name (success and the CODE entries have none).
int ResultCodeName(std::string& out, int code);
inline int IsSuccess(int code) { return code == RESULT_OK ? 1 : 0; }
