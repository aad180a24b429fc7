#include "request_builder.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>

namespace webtool {
namespace {

using client::Bytes;
using Fields = std::vector<std::pair<std::string, std::string>>;

// Reads fields by name and remembers which were used, so that a misspelt
// field is reported instead of silently ignored.
class FieldReader {
 public:
  FieldReader(const Fields& fields, std::string& error) : fields_(fields), error_(error) {}

  bool Has(const std::string& name) const {
    for (const auto& [key, value] : fields_)
      if (key == name) return true;
    return false;
  }
  std::string Text(const std::string& name, const std::string& fallback = "") {
    used_.insert(name);
    for (const auto& [key, value] : fields_)
      if (key == name) return value;
    return fallback;
  }
  std::vector<std::string> All(const std::string& name) {
    used_.insert(name);
    std::vector<std::string> out;
    for (const auto& [key, value] : fields_)
      if (key == name) out.push_back(value);
    return out;
  }
  // Decimal, or hexadecimal with 0x; false (with the error set) when out of range.
  bool Number(const std::string& name, long max, long& out) {
    if (!Has(name)) return true;
    return ParseNumber(name, Text(name), max, out);
  }
  bool ParseNumber(const std::string& name, const std::string& text, long max, long& out) {
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || value < 0 || value > max) {
      error_ = name + "=" + text + ": expected a number from 0 to " + std::to_string(max);
      return false;
    }
    out = value;
    return true;
  }
  void MarkUsed(const std::string& name) { used_.insert(name); }
  // The first field that no reader asked for.
  bool AllUsed() {
    for (const auto& [key, value] : fields_) {
      if (!used_.count(key)) {
        error_ = "unknown field " + key;
        return false;
      }
    }
    return true;
  }
  std::string& error() { return error_; }

 private:
  const Fields& fields_;
  std::set<std::string> used_;
  std::string& error_;
};

bool ParseOperation(const std::string& text, std::uint8_t& out, std::string& error) {
  static const std::map<std::string, std::uint8_t> kNames = {
      {"insert", client::kInsert}, {"update", client::kUpdate}, {"delete", client::kDelete}};
  auto it = kNames.find(text);
  if (it != kNames.end()) {
    out = it->second;
    return true;
  }
  char* end = nullptr;
  long value = std::strtol(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || value < 0 || value > 255) {
    error = "op=" + text + ": expected insert, update, delete or a byte value";
    return false;
  }
  out = static_cast<std::uint8_t>(value);
  return true;
}

// "1,2,3" into bytes.
bool ParseByteList(const std::string& name, const std::string& text, Bytes& out, std::string& error) {
  out.clear();
  std::size_t start = 0;
  while (start <= text.size() && !text.empty()) {
    std::size_t comma = text.find(',', start);
    std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    char* end = nullptr;
    long value = std::strtol(item.c_str(), &end, 0);
    if (item.empty() || *end != '\0' || value < 0 || value > 255) {
      error = name + "=" + text + ": expected byte values separated by commas";
      return false;
    }
    out.push_back(static_cast<std::uint8_t>(value));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return true;
}

// Records of USER_SET and LINK_SET: each op= begins the next record.
std::vector<Fields> SplitRecords(const Fields& fields) {
  std::vector<Fields> records;
  for (const auto& field : fields) {
    if (field.first == "op" || records.empty()) records.emplace_back();
    records.back().push_back(field);
  }
  return records;
}

bool IsCommonField(const std::string& key) {
  return key == "msg-id" || key == "msg-type" || key == "mode" || key == "record" || key == "data" ||
         key == "text" || key == "seq" || key == "body-type";
}

Fields WithoutCommon(const Fields& fields) {
  Fields out;
  for (const auto& field : fields)
    if (!IsCommonField(field.first)) out.push_back(field);
  return out;
}

bool BuildUserRecords(const Fields& fields, Bytes& data, std::string& error) {
  for (const Fields& record : SplitRecords(WithoutCommon(fields))) {
    FieldReader r(record, error);
    std::uint8_t op = 0;
    if (!r.Has("op")) {
      error = "USER_SET: every record begins with op=insert|update|delete";
      return false;
    }
    if (!ParseOperation(r.Text("op"), op, error)) return false;
    long level = 0;
    if (!r.Number("level", 255, level)) return false;
    Bytes one = client::UserRecord(op, static_cast<std::uint8_t>(level), r.Text("user"), r.Text("password"));
    if (!r.AllUsed()) return false;
    data.insert(data.end(), one.begin(), one.end());
  }
  return true;
}

bool BuildLinkRecords(const Fields& fields, Bytes& data, std::string& error) {
  for (const Fields& record : SplitRecords(WithoutCommon(fields))) {
    FieldReader r(record, error);
    std::uint8_t op = 0;
    if (!r.Has("op")) {
      error = "LINK_SET: every record begins with op=insert|update|delete";
      return false;
    }
    if (!ParseOperation(r.Text("op"), op, error)) return false;
    long kind = 0;
    if (!r.Number("kind", 255, kind)) return false;
    Bytes params;
    if (r.Has("params") && !ParseByteList("params", r.Text("params"), params, error)) return false;
    if (params.size() > client::layout::kLinkParameterCount) {
      error = "LINK_SET: at most 48 params";
      return false;
    }
    Bytes one = client::LinkRecord(op, static_cast<std::uint8_t>(kind), r.Text("name"), params);
    if (!r.AllUsed()) return false;
    data.insert(data.end(), one.begin(), one.end());
  }
  return true;
}

bool BuildConnect(FieldReader& r, Bytes& data) {
  std::string link = r.Text("link", "ipv4");
  if (link == "modem") {
    Bytes settings;
    if (r.Has("settings") && !ParseByteList("settings", r.Text("settings"), settings, r.error())) return false;
    settings.resize(2, 0);
    data = client::ConnectModemData(settings[0], settings[1], r.Text("dial"));
    return true;
  }
  if (link == "ipv4" || link == "ipv6") {
    std::uint8_t kind = link == "ipv4" ? client::kLinkIpv4 : client::kLinkIpv6;
    std::string address = r.Text("address", link == "ipv4" ? "127.0.0.1" : "::1");
    if (!client::ConnectTcpData(kind, address, data)) {
      r.error() = "address=" + address + ": not an " + link + " address";
      return false;
    }
    return true;
  }
  long kind = 0;
  if (!r.ParseNumber("link", link, 255, kind)) {
    r.error() = "link=" + link + ": expected ipv4, ipv6, modem or a byte value";
    return false;
  }
  data.assign(client::layout::kConnectSize, 0);
  data[client::layout::kConnectLinkType] = static_cast<std::uint8_t>(kind);
  return true;
}

bool BuildDownloadStart(FieldReader& r, Bytes& data) {
  std::string creation = r.Text("creation", "create");
  long mode = 0;
  if (creation == "create") {
    mode = 0;
  } else if (creation == "reuse") {
    mode = 1;
  } else if (!r.ParseNumber("creation", creation, 255, mode)) {
    return false;
  }
  data = client::DownloadStartData(r.Text("name"), static_cast<std::uint8_t>(mode));
  return true;
}

// The request-specific data; false with the error set.
bool BuildData(const std::string& name, const Fields& fields, FieldReader& r, const std::string& headUser,
               Bytes& data) {
  if (name == "LOGIN" || name == "LOGIN_RESET") {
    data = client::LoginData(r.Text("user", headUser), r.Text("password"), r.Text("session"), r.Text("ip"));
  } else if (name == "LOGOUT") {
    data = client::LogoutData(r.Text("user", headUser), r.Text("session"));
  } else if (name == "USER_SET") {
    for (const auto& [key, value] : WithoutCommon(fields)) r.MarkUsed(key);
    return BuildUserRecords(fields, data, r.error());
  } else if (name == "LINK_SET") {
    for (const auto& [key, value] : WithoutCommon(fields)) r.MarkUsed(key);
    return BuildLinkRecords(fields, data, r.error());
  } else if (name == "USER_SET_EXT") {
    data = client::ExtendedUserRecord({r.Text("user", headUser), r.Text("password"), r.Text("name"), r.Text("phone"),
                                       r.Text("mobile"), r.Text("address"), r.Text("job"), r.Text("email")});
  } else if (name == "CONNECT_SYSTEM" || name == "TAKEOVER_SYSTEM") {
    return BuildConnect(r, data);
  } else if (name == "FILE_CREATE" || name == "FILE_OPEN" || name == "FILE_CLOSE" || name == "ALL_UPLOAD_START") {
    data = client::FileNameData(r.Text("name"));
  } else if (name == "FILE_DELETE") {
    data = client::FileNameFields(r.All("name"));
  } else if (name == "ALL_DOWNLOAD_START") {
    return BuildDownloadStart(r, data);
  } else if (name == "DOWNLOAD_PGC" || name == "UPLOAD_PGC") {
    long pgc = 0;
    if (!r.Number("pgc", 0xFFFF, pgc)) return false;
    data = client::PgcTableData(static_cast<std::uint16_t>(pgc));
  }
  return true;
}

// msg-id=, msg-type=, mode=, record=, seq=, body-type=, and data=/text= that
// replace whatever data the request built.
bool ApplyCommonFields(FieldReader& r, client::Request& request) {
  long value = 0;
  if (r.Has("msg-id")) {
    if (!r.Number("msg-id", 0xFFFF, value)) return false;
    request.messageId = static_cast<std::uint16_t>(value);
  }
  struct ByteField {
    const char* name;
    std::uint8_t* target;
  };
  for (ByteField field : {ByteField{"msg-type", &request.type}, ByteField{"mode", &request.mode},
                          ByteField{"record", &request.recordLength}, ByteField{"body-type", &request.bodyType}}) {
    if (!r.Has(field.name)) continue;
    if (!r.Number(field.name, 255, value)) return false;
    *field.target = static_cast<std::uint8_t>(value);
  }
  if (r.Has("seq")) {
    if (!r.Number("seq", 0x0FFF, value)) return false;
    request.sequence = static_cast<std::uint16_t>(value);
  }
  if (r.Has("data") && !client::ParseHex(r.Text("data"), request.data)) {
    r.error() = "data=" + r.Text("data") + ": expected hexadecimal bytes";
    return false;
  }
  if (r.Has("text")) {
    std::string text = r.Text("text");
    request.data.assign(text.begin(), text.end());
  }
  if (request.data.size() > web::kMaxData) {
    r.error() = "the data is " + std::to_string(request.data.size()) + " bytes; a message carries at most 240";
    return false;
  }
  return true;
}

}  // namespace

bool BuildRequest(const Step& step, const std::string& headUser, BuiltRequest& out, std::string& error) {
  out = BuiltRequest{};
  FieldReader r(step.fields, error);
  std::string name = step.name;
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  if (name == "RAW") {
    out.raw = true;
    if (!client::ParseHex(r.Text("bytes"), out.rawBytes)) {
      error = "RAW: bytes= must be hexadecimal";
      return false;
    }
    return r.AllUsed();
  }
  if (name == "CUSTOM") {
    out.request.mode = web::kModeRead;
  } else {
    const client::CatalogueEntry* entry = client::FindRequest(name);
    if (!entry) {
      error = "unknown request " + step.name + " (see --list)";
      return false;
    }
    if (entry->takesMessageId && !r.Has("msg-id")) {
      error = std::string(entry->name) + " needs msg-id=<PGC message id>";
      return false;
    }
    out.request = client::MakeRequest(*entry);
    if (!BuildData(name, step.fields, r, headUser, out.request.data)) return false;
  }
  if (!ApplyCommonFields(r, out.request)) return false;
  return r.AllUsed();
}

const char* FieldHelp() {
  return R"(Request fields (FIELD=VALUE; numbers are decimal or 0x hexadecimal):
  LOGIN, LOGIN_RESET     user= (default --user) password= session= ip=
  LOGOUT                 user= (default --user) session=
  USER_SET               op=insert|update|delete user= password= level=
                         (each op= begins the next 34-byte record)
  USER_SET_EXT           user= password= name= phone= mobile= address= job= email=
  LINK_SET               op=insert|update|delete kind=<link type> name=<up to 20
                         characters> params=<up to 48 bytes, e.g. 10,0,0,1>
                         (each op= begins the next 70-byte record)
  CONNECT_SYSTEM, TAKEOVER_SYSTEM
                         link=ipv4|ipv6|modem|<byte> address=<system address>
                         dial=<dial string> settings=<byte>,<byte> (modem)
  FILE_CREATE, FILE_OPEN, FILE_CLOSE, ALL_UPLOAD_START
                         name=<file name>
  FILE_DELETE            name=<file name> (repeat for several files)
  ALL_DOWNLOAD_START     name=<file name> creation=create|reuse|<byte>
  DOWNLOAD_PGC, UPLOAD_PGC
                         pgc=<PGC message id, e.g. 0x7240>
  PGC_READ, PGC_WRITE, TABLE_DOWNLOAD_READ, TABLE_DOWNLOAD_WRITE,
  TABLE_UPLOAD_READ, TABLE_UPLOAD_WRITE, RESTART
                         msg-id=<PGC message id> (required) data= record=
  CUSTOM                 any message: msg-type= msg-id= mode= data= record=
  RAW                    bytes=<hex>: sent exactly as given (no numbering)

Fields every request takes (they override what the request builds):
  msg-id=N  msg-type=N  mode=N  record=N  body-type=N
  data=HEX  the data bytes, e.g. data=0aff03 or data="0A FF 03"
  text=T    the data as text
  seq=N     send with this sequence number instead of the next one
)";
}

}  // namespace webtool
