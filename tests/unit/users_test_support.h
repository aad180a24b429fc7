#pragma once
// Request builders and table checks shared by the user-table tests.
#include <string>
#include <vector>

#include "frame/log.h"
#include "support/test_installation.h"
#include "support/web_msg.h"

namespace userstest {

constexpr int kSlot = 7;

using Bytes = std::vector<std::uint8_t>;

inline void PutText(Bytes& bytes, std::size_t offset, std::size_t width, const std::string& text) {
  if (bytes.size() < offset + width) bytes.resize(offset + width, 0);
  for (std::size_t i = 0; i < width && i < text.size(); ++i) bytes[offset + i] = static_cast<std::uint8_t>(text[i]);
}

inline web::WebMsg Request(std::uint8_t type, std::uint16_t messageId, const std::string& headUser,
                           const Bytes& data) {
  return testsupport::WebMsgOf(
      {.type = type, .userId = headUser, .messageId = messageId, .data = testsupport::View(data)});
}

// Login data: id(16) password(16) session(32) address(15).
inline web::WebMsg LoginRequest(const std::string& id, const std::string& password,
                                const std::string& session = "s-1", const std::string& address = "10.0.0.9",
                                std::uint16_t messageId = 1) {
  Bytes data(79, 0);
  PutText(data, 0, 16, id);
  PutText(data, 16, 16, password);
  PutText(data, 32, 32, session);
  PutText(data, 64, 15, address);
  return Request(web::REQ_CONTROL, messageId, id, data);
}

inline web::WebMsg LogoutRequest(const std::string& id, const std::string& session) {
  Bytes data(48, 0);
  PutText(data, 0, 16, id);
  PutText(data, 16, 32, session);
  return Request(web::REQ_CONTROL, 4, id, data);
}

// User administration record: op, level, id(16), password(16).
inline void AppendUserRecord(Bytes& data, std::uint8_t op, std::uint8_t level, const std::string& id,
                             const std::string& password) {
  std::size_t at = data.size();
  data.resize(at + 34, 0);
  data[at] = op;
  data[at + 1] = level;
  PutText(data, at + 2, 16, id);
  PutText(data, at + 18, 16, password);
}

// Link administration record: op, type, name(20), parameters(48).
inline void AppendLinkRecord(Bytes& data, std::uint8_t op, std::uint8_t type, const std::string& name,
                             std::uint8_t firstParam) {
  std::size_t at = data.size();
  data.resize(at + 70, 0);
  data[at] = op;
  data[at + 1] = type;
  PutText(data, at + 2, 20, name);
  for (int i = 0; i < 48; ++i) data[at + 22 + i] = static_cast<std::uint8_t>(firstParam + i);
}

// The shared installation with fresh user tables, logging into its own
// directory at every level (other tests move the log elsewhere).
inline void PrepareUserTables() {
  const auto& installation = testsupport::SharedInstallation();
  SetLogDirectory(installation.commDir + "/");
  SetInfoLevel(9);
  testsupport::ResetUserTables();
}

inline std::vector<std::string> UserRow(const std::string& id, const std::string& columns) {
  std::string quoted;
  for (char c : id) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  auto rows = testsupport::UserDbQuery("SELECT " + columns + " FROM userinfo WHERE user_id = '" + quoted + "'");
  return rows.empty() ? std::vector<std::string>{} : rows.front();
}

inline std::string UserColumn(const std::string& id, const std::string& column) {
  auto row = UserRow(id, column);
  return row.empty() ? std::string("<no row>") : row.front();
}

inline int UserCount() { return std::stoi(testsupport::UserDbQuery("SELECT count(*) FROM userinfo")[0][0]); }
inline int LinkCount() { return std::stoi(testsupport::UserDbQuery("SELECT count(*) FROM linkinfo")[0][0]); }

// For the life of this object userinfo has no key, so that a user id can
// occur twice, as it can in a user database that COMM did not create.
class KeylessUserTable {
 public:
  KeylessUserTable() {
    createSql_ = testsupport::UserDbQuery("SELECT sql FROM sqlite_master WHERE type = 'table' AND name = 'userinfo'")[0][0];
    std::string keyless = createSql_;
    for (const char* key : {" NOT NULL PRIMARY KEY", " PRIMARY KEY"}) {
      auto at = keyless.find(key);
      if (at != std::string::npos) keyless.erase(at, std::string(key).size());
    }
    testsupport::UserDbExec("BEGIN; ALTER TABLE userinfo RENAME TO userinfo_keyed; " + keyless +
                            "; INSERT INTO userinfo SELECT * FROM userinfo_keyed; DROP TABLE userinfo_keyed; COMMIT;");
  }
  ~KeylessUserTable() {
    testsupport::UserDbExec("DROP TABLE userinfo");
    testsupport::UserDbExec(createSql_);
    testsupport::ResetUserTables();
  }
  KeylessUserTable(const KeylessUserTable&) = delete;
  KeylessUserTable& operator=(const KeylessUserTable&) = delete;

 private:
  std::string createSql_;
};

inline bool LogContains(const std::string& text) {
  return testsupport::InstallationLog().find(text) != std::string::npos;
}

}  // namespace userstest
