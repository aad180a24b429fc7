#pragma once
// Small helpers shared by the over-the-wire tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "client/request_catalogue.h"
#include "client/request_data.h"
#include "client/web_client.h"
#include "frame/result_codes.h"
#include "support/comm_server.h"

namespace testsupport {

// Time-outs generous enough for sanitizer builds.
constexpr int kReplyMs = 10000;
constexpr int kCloseMs = 10000;

// The 60 bytes that refusals of the PGC families carry: the message id, then
// 58 bytes 0xFF.
inline client::Bytes RefusalData(std::uint16_t messageId) {
  client::Bytes out(60, 0xFF);
  out[0] = static_cast<std::uint8_t>(messageId >> 8);
  out[1] = static_cast<std::uint8_t>(messageId);
  return out;
}

// The text of a fixed-width zero-padded field.
inline std::string FieldAt(const client::Bytes& data, std::size_t offset, std::size_t width) {
  std::string out;
  for (std::size_t i = offset; i < offset + width && i < data.size() && data[i] != 0; ++i)
    out += static_cast<char>(data[i]);
  return out;
}

// Milliseconds since `since`.
inline long long ElapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

// How often `what` occurs in `text`.
inline int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// "%Y-%m-%d %H_%M_%S", as log lines and the user table write the local time.
inline bool IsLocalTimeText(const std::string& text) {
  const std::string shape = "dddd-dd-dd dd_dd_dd";
  if (text.size() != shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return false;
  }
  return true;
}

struct Exchange {
  int rc = 0;  // the client's result of the call
  client::Answer answer;
};

// Whether the exchange was answered, with `replyId` and `result`.
inline ::testing::AssertionResult Answered(const Exchange& e, int replyId, int result) {
  if (e.rc == 1 && e.answer.replyId() == replyId && e.answer.result() == result) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "call " << e.rc << ", reply id " << e.answer.replyId() << ", result "
                                       << int(e.answer.result());
}

// `request` marked final: the server closes the connection after its reply.
inline client::Request Final(client::Request request) {
  request.final = true;
  return request;
}

// One request on an open connection.
inline Exchange Call(client::WebClient& connection, const client::Request& request) {
  Exchange out;
  out.rc = connection.Call(request, out.answer, kReplyMs);
  return out;
}

// One request on a fresh connection of `user`, marked final. Returns once
// the server has closed the connection, that is once it is done with the
// user's slot, so that the next request sees the slot as the exchange left it.
inline Exchange CallOnce(CommServer& server, const std::string& user, client::Request request) {
  client::WebClient connection = server.Connect(user);
  request.final = true;
  Exchange out = Call(connection, request);
  if (out.rc == 1) connection.WaitClosed(kCloseMs);
  return out;
}

// A request of the PGC families (types 19, 161, 162) for message `id`.
inline client::Request Pgc(std::uint8_t type, std::uint8_t mode, std::uint16_t id, client::Bytes data = {},
                           std::uint8_t recordLength = 0) {
  client::Request r;
  r.type = type;
  r.mode = mode;
  r.messageId = id;
  r.data = std::move(data);
  r.recordLength = recordLength;
  return r;
}

// CONNECT_SYSTEM or TAKEOVER_SYSTEM of the system on `address`, over IPv4.
inline client::Request LinkRequest(const char* name = "CONNECT_SYSTEM", const std::string& address = "127.0.0.1") {
  client::Bytes data;
  client::ConnectTcpData(client::kLinkIpv4, address, data);
  return client::MakeRequest(name, data);
}

// The type-19 read of message 1: a linked slot gives its link up.
inline client::Request Disconnect() { return Pgc(web::REQ_PGC, web::kModeRead, 1); }

// `count` rows of `rowLength` bytes, each led by its two-byte number (a
// unique key) and filled with bytes that differ by row and by `salt`.
inline client::Bytes KeyedRows(int count, int rowLength, int salt) {
  client::Bytes rows(static_cast<std::size_t>(count) * rowLength);
  for (int i = 0; i < count; ++i) {
    std::uint8_t* row = &rows[static_cast<std::size_t>(i) * rowLength];
    row[0] = static_cast<std::uint8_t>(i >> 8);
    row[1] = static_cast<std::uint8_t>(i);
    for (int c = 2; c < rowLength; ++c) row[c] = static_cast<std::uint8_t>(i * 13 + c + salt);
  }
  return rows;
}

// Rows of `rowLength` bytes in byte order, for tables whose row order is the
// system's or the database's own.
inline std::vector<client::Bytes> SortedRows(const client::Bytes& data, int rowLength) {
  std::vector<client::Bytes> rows;
  for (std::size_t at = 0; at + rowLength <= data.size(); at += rowLength)
    rows.emplace_back(data.begin() + at, data.begin() + at + rowLength);
  std::sort(rows.begin(), rows.end());
  return rows;
}

inline client::Request Login(const std::string& user, const std::string& password, const std::string& session,
                             const std::string& ip = "127.0.0.1") {
  return client::MakeRequest("LOGIN", client::LoginData(user, password, session, ip));
}

inline client::Request Logout(const std::string& user, const std::string& session) {
  return client::MakeRequest("LOGOUT", client::LogoutData(user, session));
}

inline client::Request UserSet(const std::vector<client::Bytes>& records) {
  client::Bytes data;
  for (const client::Bytes& r : records) data.insert(data.end(), r.begin(), r.end());
  return client::MakeRequest("USER_SET", data);
}

}  // namespace testsupport
