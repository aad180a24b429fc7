#include "client/request_data.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

#include "frame/text.h"

namespace client {
namespace {

void Put(Bytes& out, std::size_t offset, std::size_t width, std::string_view text) {
  PutField(out.data() + offset, width, text);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

Bytes LoginData(std::string_view userId, std::string_view password, std::string_view sessionId,
                std::string_view address) {
  Bytes out(layout::kLoginSize, 0);
  Put(out, layout::kLoginUserId, layout::kIdWidth, userId);
  Put(out, layout::kLoginPassword, layout::kPasswordWidth, password);
  Put(out, layout::kLoginSession, layout::kSessionWidth, sessionId);
  Put(out, layout::kLoginAddress, layout::kAddressWidth, address);
  return out;
}

Bytes LogoutData(std::string_view userId, std::string_view sessionId) {
  Bytes out(layout::kLogoutSize, 0);
  Put(out, layout::kLogoutUserId, layout::kIdWidth, userId);
  Put(out, layout::kLogoutSession, layout::kSessionWidth, sessionId);
  return out;
}

Bytes UserRecord(std::uint8_t operation, std::uint8_t level, std::string_view userId, std::string_view password) {
  Bytes out(layout::kUserRecordSize, 0);
  out[layout::kUserOperation] = operation;
  out[layout::kUserLevel] = level;
  Put(out, layout::kUserId, layout::kIdWidth, userId);
  Put(out, layout::kUserPassword, layout::kPasswordWidth, password);
  return out;
}

Bytes LinkRecord(std::uint8_t operation, std::uint8_t linkType, std::string_view name,
                 const std::vector<std::uint8_t>& parameters) {
  Bytes out(layout::kLinkRecordSize, 0);
  out[layout::kLinkOperation] = operation;
  out[layout::kLinkType] = linkType;
  Put(out, layout::kLinkName, layout::kLinkNameWidth, name);
  std::size_t count = std::min(parameters.size(), layout::kLinkParameterCount);
  std::copy_n(parameters.begin(), count, out.begin() + layout::kLinkParameters);
  return out;
}

Bytes ExtendedUserRecord(const ExtendedUser& user) {
  Bytes out(layout::kExtendedUserSize, 0);
  Put(out, 0, 16, user.userId);
  Put(out, 16, 16, user.password);
  Put(out, 32, 24, user.name);
  Put(out, 56, 26, user.phone);
  Put(out, 82, 26, user.mobile);
  Put(out, 108, 60, user.address);
  Put(out, 168, 40, user.job);
  Put(out, 208, 30, user.email);
  return out;
}

bool ConnectTcpData(std::uint8_t kind, std::string_view address, Bytes& out) {
  out.assign(layout::kConnectSize, 0);
  out[layout::kConnectLinkType] = kind;
  std::string text(address);
  if (kind == kLinkIpv4) return ::inet_pton(AF_INET, text.c_str(), out.data() + layout::kConnectIpv4) == 1;
  if (kind == kLinkIpv6) return ::inet_pton(AF_INET6, text.c_str(), out.data() + layout::kConnectAddress) == 1;
  return false;
}

Bytes ConnectModemData(std::uint8_t settings1, std::uint8_t settings2, std::string_view dialString) {
  Bytes out(layout::kConnectSize, 0);
  out[layout::kConnectLinkType] = kLinkModem;
  out[layout::kConnectModemSettings] = settings1;
  out[layout::kConnectModemSettings + 1] = settings2;
  std::size_t room = layout::kConnectSize - layout::kConnectAddress - 1;  // the 0xFF end mark
  std::size_t length = std::min(dialString.size(), room);
  std::copy_n(dialString.begin(), length, out.begin() + layout::kConnectAddress);
  out[layout::kConnectAddress + length] = 0xFF;
  return out;
}

Bytes FileNameData(std::string_view name) { return Bytes(name.begin(), name.end()); }

Bytes FileNameFields(const std::vector<std::string>& names) {
  Bytes out(names.size() * layout::kFileNameWidth, 0);
  for (std::size_t i = 0; i < names.size(); ++i) Put(out, i * layout::kFileNameWidth, layout::kFileNameWidth, names[i]);
  return out;
}

Bytes DownloadStartData(std::string_view name, std::uint8_t creationMode) {
  Bytes out(layout::kDownloadStartSize, 0);
  Put(out, 0, layout::kFileNameWidth, name);
  out[layout::kDownloadCreation] = creationMode;
  return out;
}

Bytes PgcTableData(std::uint16_t pgcMessageId) {
  return Bytes{static_cast<std::uint8_t>(pgcMessageId >> 8), static_cast<std::uint8_t>(pgcMessageId)};
}

bool ParseHex(std::string_view text, Bytes& out) {
  out.clear();
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == ':') {
      if (high >= 0) return false;  // a separator inside a byte
      continue;
    }
    int digit = HexDigit(c);
    if (digit < 0) return false;
    if (high < 0) {
      high = digit;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  return high < 0;
}

std::string HexText(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += ' ';
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

}  // namespace client
