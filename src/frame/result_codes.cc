#include "frame/result_codes.h"

#include <utility>

namespace {
constexpr std::pair<int, const char*> kNames[] = {
    {-2, "DB_EXECUTE_NO_RESULT"},       {-1, "DB_EXECUTE_ERROR"},
    {2, "TVRL_MSG_KPGC_BUSY"},          {3, "TVRL_MSG_RETRY"},
    {4, "TVRL_MSG_NOUSE_ID"},           {10, "TVRL_MSG_WEB_BUSY"},
    {161, "CONNECT_FAIL_LINK"},         {162, "CONNECT_FAIL_USED"},
    {163, "USER_NOT_IDLE"},             {165, "USER_STATE_ERROR"},
    {166, "DIVIDE_ZERO_ERROR"},         {176, "OPEN_FILE_NOT_EXIST"},
    {177, "OPEN_FILE_USED"},            {178, "COPY_FILE_ERROR"},
    {179, "DELETE_DSN_ERROR"},          {180, "DELETE_FILE_ERROR"},
    {181, "FILE_EXIST_ERROR"},          {182, "CREATE_DSN_ERROR"},
    {183, "CLOSE_FILE_NOT_EXIST"},      {184, "CLOSE_FILE_ALREADY_CLOSED"},
    {185, "DELETE_FILE_USED"},          {192, "SOCKET_INIT_ERROR"},
    {193, "SOCKET_CREATE_ERROR"},       {194, "SOCKET_SET_BLOCK_ERROR"},
    {195, "SOCKET_SET_NONBLOCK_ERROR"}, {196, "SOCKET_SET_OPT_ERROR"},
    {198, "SOCKET_RECV_ERROR"},         {199, "SOCKET_SEND_ERROR"},
    {200, "SOCKET_CLOSE_ERROR"},        {201, "SOCKET_IP_ADDRESS_ERROR"},
    {208, "LOGIN_ID_ERR"},              {209, "LOGIN_PWD_ERR"},
    {210, "LOGIN_DUPLICATE"},           {211, "NO_BYTE_FOUND_ERROR"},
    {215, "DB_INIT_ERROR"},             {216, "DB_DELETE_ERROR_USER_LOGIN"},
    {217, "DB_UPDATE_ERROR"},           {218, "DB_INSERT_ERROR"},
    {219, "DB_INSERT_ERROR_EXIST"},     {221, "DB_UPDATE_ERROR_NO_RECORD"},
    {222, "DB_UPDATE_ERROR_MULTI_RECORD"}, {223, "DB_DELETE_ERROR"},
    {224, "DB_DELETE_ERROR_NO_RECORD"}, {225, "DB_DELETE_ERROR_MULTI_RECORD"},
    {226, "DB_DISCONNECT_ERROR"},       {227, "DB_FREE_CONNECT_ERROR"},
    {228, "DB_FREE_ENV_ERROR"},         {230, "DIFFERENT_SESSION_ID"},
    {253, "GET_DATA_ERROR"},
};
}  // namespace

int ResultCodeName(std::string& out, int code) {
  for (const auto& [value, name] : kNames) {
    if (value == code) {
      out = name;
      break;
    }
  }
  return RESULT_OK;
}
