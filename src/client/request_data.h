#pragma once
// The data part of the requests that carry fields. Text fields are zero
// padded and cut to their width.
//
//   login, login reset (79):  user id(16) password(16) session id(32) address(15)
//   logout (48):              user id(16) session id(32)
//   user record (34):         operation(1) level(1) user id(16) password(16)
//   link record (70):         operation(1) link type(1) name(20) parameters(48)
//   extended user (238):      user id(16) password(16) name(24) phone(26)
//                             mobile(26) address(60) job(40) email(30)
//   connect (52):             link type(1) modem settings(2) unused(1)
//                             IPv4: unused(12) octets(4) | IPv6: address(16)
//                             | modem: dial string, then 0xFF; parameters
//                             4-51 are stored as the user's link
//   file names (30 each):     name(30) per file (file delete)
//   download start (31):      name(30) creation mode(1): 0 create, 1 reuse
//   PGC table (2):            PGC message id, big-endian
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace client {

using Bytes = std::vector<std::uint8_t>;

namespace layout {
constexpr std::size_t kLoginUserId = 0, kLoginPassword = 16, kLoginSession = 32, kLoginAddress = 64;
constexpr std::size_t kLoginSize = 79;
constexpr std::size_t kLogoutUserId = 0, kLogoutSession = 16, kLogoutSize = 48;
constexpr std::size_t kIdWidth = 16, kPasswordWidth = 16, kSessionWidth = 32, kAddressWidth = 15;

constexpr std::size_t kUserRecordSize = 34;
constexpr std::size_t kUserOperation = 0, kUserLevel = 1, kUserId = 2, kUserPassword = 18;

constexpr std::size_t kLinkRecordSize = 70;
constexpr std::size_t kLinkOperation = 0, kLinkType = 1, kLinkName = 2, kLinkParameters = 22;
constexpr std::size_t kLinkNameWidth = 20, kLinkParameterCount = 48;

constexpr std::size_t kExtendedUserSize = 238;

constexpr std::size_t kConnectSize = 52;
constexpr std::size_t kConnectLinkType = 0, kConnectModemSettings = 1, kConnectAddress = 4;
constexpr std::size_t kConnectIpv4 = 16;

constexpr std::size_t kFileNameWidth = 30;
constexpr std::size_t kDownloadCreation = 30, kDownloadStartSize = 31;
}  // namespace layout

// Operation byte of user and link records.
enum RecordOperation : std::uint8_t { kInsert = 0, kUpdate = 1, kDelete = 2 };

// Link type byte of a connect request.
enum LinkKind : std::uint8_t { kLinkIpv4 = 0, kLinkIpv6 = 1, kLinkModem = 2 };

Bytes LoginData(std::string_view userId, std::string_view password, std::string_view sessionId,
                std::string_view address);
Bytes LogoutData(std::string_view userId, std::string_view sessionId);
Bytes UserRecord(std::uint8_t operation, std::uint8_t level, std::string_view userId, std::string_view password);
// `name`: one character code per byte; `parameters`: at most 48 values.
Bytes LinkRecord(std::uint8_t operation, std::uint8_t linkType, std::string_view name,
                 const std::vector<std::uint8_t>& parameters);

struct ExtendedUser {
  std::string userId, password, name, phone, mobile, address, job, email;
};
Bytes ExtendedUserRecord(const ExtendedUser& user);

// A connect request over TCP; false when `address` is not an IPv4 (kind 0)
// or IPv6 (kind 1) address.
bool ConnectTcpData(std::uint8_t kind, std::string_view address, Bytes& out);
Bytes ConnectModemData(std::uint8_t settings1, std::uint8_t settings2, std::string_view dialString);

// A file name sent as the whole data (create, open, close, upload start).
Bytes FileNameData(std::string_view name);
// One 30-byte field per name (file delete).
Bytes FileNameFields(const std::vector<std::string>& names);
Bytes DownloadStartData(std::string_view name, std::uint8_t creationMode);
Bytes PgcTableData(std::uint16_t pgcMessageId);

// Hexadecimal text such as "0aff03" or "0A FF 03" (blanks and colons
// between bytes allowed); false on anything else.
bool ParseHex(std::string_view text, Bytes& out);
std::string HexText(const Bytes& bytes);

}  // namespace client
