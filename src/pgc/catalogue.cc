#include "pgc/catalogue.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <initializer_list>

#include "frame/log.h"

namespace pgc {
namespace {

// "PGC number$key column list", searched by PGC number, first match wins.
constexpr const char* kKeyTable[kKeyTableRecords] = {
    "100$d1,d2", "101$d1,d2", "102$d1,d2", "103$d1,d2", "104$d1,d2", "105$d9", "108$d1,d2", "109$d1,d2",
    "110$d1,d2", "111$d1,d2", "112$d1,d2", "114$d1,d2", "115$d1,d2", "117$d1,d2", "118$d9", "119$d1,d2",
    "120$d1,d2", "121$d1,d2", "122$d1,d2", "125$d1,d2", "207$d1,d2", "208$d1,d2", "221$d1,d2", "222$d1,d2",
    "223$d1,d2", "300$d1,d2", "301$d1,d2", "302$d1,d2", "304$d1,d2", "305$d1,d2", "306$d1,d2", "308$d1,d2",
    "309$d1,d2", "310$d1,d2", "312$d1,d2", "325$d1,d2", "314$d1,d2", "316$d1,d2", "317$d1,d2", "318$d1,d2",
    "319$d1,d2", "320$d1,d2", "321$d1,d2", "324$d1,d2", "400$d1,d2", "401$d1,d2", "402$d1,d2", "403$d1,d2",
    "404$d1,d2", "405$d1,d2", "406$d1,d2", "407$d1,d2", "408$d1,d2", "409$d1,d2", "410$d1,d2", "411$d1,d2",
    "412$d1,d2", "413$d1,d2", "414$d1,d2", "415$d1,d2", "416$d1,d2", "417$d1,d2", "418$d1,d2", "419$d1,d2",
    "421$d1,d2", "422$d1,d2", "423$d1,d2", "425$d1,d2", "4251$d1,d2", "426$d9", "427$d1,d2", "428$d9",
    "430$d1,d2", "432$d1,d2", "433$d1,d2", "434$d1,d2", "435$d1,d2", "436$d1,d2", "437$d1,d2", "502$d1,d2",
    "503$d1,d2", "601$d9", "603$d9", "607$d9", "611$d1,d2", "612$d1,d2", "614$d1,d2", "615$d9", "616$d1,d2",
    "701$d9", "705$d3,d4", "710$d9", "712$d9", "716$d1,d2", "7161$d1,d2", "722$d9", "723$d1,d2,d3", "724$d9",
    "735$d1,d2", "736$d1,d2", "741$d1,d2", "743$d1,d2", "748$d1,d2", "749$d1,d2", "751$d1,d2", "754$d1",
    "803$d1,d2", "806$d1,d2", "807$d9", "822$d1,d2", "823$d1", "829$d9", "832$d9", "833$d9", "840$d1,d2",
    "845$d9", "8451$d9", "846$d1,d2", "848$d9", "849$d1,d2", "890$d1,d2", "438$d1,d2", "326$d1,d2",
    "327$d1,d2", "867$d1,d2", "8421$d1,d2", "225$d1,d2",
};

constexpr const char* kKeyTable2[kKeyTable2Records] = {
    "702$d1,d2", "703$d1,d2", "707$d1,d2,d3", "710$d1,d3,d4", "713$d1,d2,d3", "714$d1,d3,d4",
    "718$d1,d3,d4", "728$d1,d2", "730$d1,d2,d13", "734$d1,d2", "759$d1,d2", "760$d1,d3,d4",
    "820$d1", "863$d1,d2", "763$d1,d2,d3", "764$d1,d2",
};

// "key$message ID in hexadecimal digits", searched by message ID.
constexpr const char* kMessageTable[kMessageTableRecords] = {
    "20000$00", "tmID_LINK_DISC$01", "100$1000", "101$1010", "102$1020", "103$1030", "104$1040", "105$1050",
    "108$1080", "109$1090", "110$1100", "111$1110", "112$1120", "114$1140", "115$1150", "117$1170", "118$1180",
    "119$1190", "120$1200", "121$1210", "122$1220", "125$1250", "201$2010", "203$2030", "204$2040", "205$2050",
    "206$2060", "207$2070", "208$2080", "209$2090", "210$2100", "211$2110", "212$2120", "214$2140", "217$2170",
    "217$2171", "218$2180", "219$2190", "221$2210", "223$2230", "224$2240", "300$3000", "301$3010", "302$3020",
    "303$3030", "304$3040", "305$3050", "306$3060", "308$3080", "309$3090", "310$3100", "312$3120", "314$3140",
    "315$3150", "316$3160", "317$3170", "319$3190", "320$3200", "321$3210", "324$3240", "325$3250", "400$4000",
    "401$4010", "402$4020", "403$4030", "404$4040", "405$4050", "406$4060", "407$4070", "408$4080", "409$4090",
    "410$4100", "411$4110", "412$4120", "413$4130", "414$4140", "415$4150", "416$4160", "417$4170", "418$4180",
    "419$4190", "420$4200", "421$4210", "422$4220", "423$4230", "424$4240", "425$4250", "426$4260", "428$4280",
    "429$4290", "430$4300", "432$4320", "433$4330", "434$4340", "435$4350", "436$4360", "437$4370", "500$5000",
    "501$5010", "502$5020", "503$5030", "504$5040", "505$5050", "506$5060", "507$5070", "508$5080", "510$5100",
    "512$5120", "513$5130", "514$5140", "515$5150", "600$6000", "601$6010", "603$6030", "604$6040", "605$6050",
    "606$6060", "607$6070", "608$6080", "609$6090", "610$6100", "611$6110", "612$6120", "614$6140", "615$6150",
    "616$6160", "701$7010", "702$7020", "703$7030", "704$7040", "705$7050", "707$7070", "708$7080", "709$7090",
    "710$7100", "711$7110", "712$7120", "713$7130", "714$7140", "715$7150", "716$7160", "7161$7161",
    "717$7170", "718$7180", "719$7190", "722$7220", "723$7230", "724$7240", "725$7250", "726$7260", "727$7270",
    "728$7280", "729$7290", "730$7300", "731$7310", "732$7320", "733$7330", "734$7340", "735$7350", "736$7360",
    "740$7400", "741$7410", "743$7430", "748$7480", "749$7490", "759$7590", "760$7600", "761$7610", "762$7620",
    "763$7630", "801$8010", "802$8020", "803$8030", "804$8040", "805$8050", "806$8060", "807$8070", "808$8080",
    "809$8090", "811$8110", "812$8120", "816$8160", "820$8200", "821$8210", "822$8220", "823$8230", "824$8240",
    "825$8250", "826$8260", "827$8270", "829$8290", "830$8300", "831$8310", "832$8320", "833$8330", "834$8340",
    "835$8350", "836$8360", "8361$8361", "837$8370", "8371$8371", "838$8380", "840$8400", "841$8410",
    "842$8420", "843$8430", "844$8440", "845$8450", "8451$8451", "8452$8452", "846$8460", "847$8470",
    "848$8480", "849$8490", "850$8500", "851$8510", "8511$8511", "852$8520", "853$8530", "854$8540",
    "856$8560", "860$8600", "862$8620", "863$8630", "889$8890", "890$8900", "902$9020", "990$9900", "997$9970",
    "999$9990", "865$8650", "326$3260", "438$4380", "764$7640", "8372$8372", "839$8390", "327$3270",
    "867$8670", "8301$8301", "8421$8421", "225$2250", "199$1990",
};

constexpr std::uint16_t kSpecialCodes[kSpecialKeyCodes] = {
    0x1050, 0x1180, 0x4260, 0x4280, 0x6010, 0x6030, 0x6070, 0x6150, 0x7010, 0x7050, 0x7100,
    0x7120, 0x7220, 0x7240, 0x8070, 0x8230, 0x8290, 0x8320, 0x8330, 0x8451, 0x8480, 0x8520,
};

// A special-key code and the row bytes (1-based) that become its condition,
// each compared with the column of the same number.
struct SpecialKey {
  std::uint16_t code;
  std::array<int, 5> columns;  // 0 ends the list
};
constexpr SpecialKey kSpecialKeys[] = {
    {0x1180, {1, 2, 3}}, {0x7220, {1, 2, 3}}, {0x4260, {1, 2, 3}},
    {0x4280, {1, 3, 4}}, {0x7100, {1, 3, 4}},
    {0x6010, {1, 2}},    {0x6030, {1, 2}},    {0x6070, {1, 2}},    {0x7010, {1, 2}}, {0x7120, {1, 2}},
    {0x8320, {1, 2}},    {0x8330, {1, 2}},    {0x8480, {1, 2}},    {0x8451, {1, 2}},
    {0x6150, {1, 4}},
    {0x8290, {1}},       {0x8070, {1}},       {0x8230, {1}},
    {0x7240, {1, 2, 4}},
    {0x1050, {1, 2, 5}},
    {0x7050, {3, 4}},
    {0x8520, {7, 8, 9, 10, 11}},
};

std::string_view KeyOf(std::string_view record) { return record.substr(0, record.find('$')); }

std::string_view ValueOf(std::string_view record) {
  std::size_t dollar = record.find('$');
  return dollar == std::string_view::npos ? std::string_view() : record.substr(dollar + 1);
}

// The value of the first record whose whole key equals `key`, or nullptr.
const char* FindValue(const char* const* table, std::size_t count, std::string_view key) {
  for (std::size_t i = 0; i < count; ++i) {
    std::string_view record = table[i];
    if (KeyOf(record) == key) return table[i] + (record.size() - ValueOf(record).size());
  }
  return nullptr;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A message-ID value of the table: hexadecimal digits.
unsigned HexValue(std::string_view digits) {
  unsigned value = 0;
  for (char c : digits) {
    int d = HexDigit(c);
    if (d < 0) break;
    value = value * 16 + static_cast<unsigned>(d);
  }
  return value;
}

unsigned RowByte(const std::uint8_t* row, std::size_t rowLength, int column) {
  if (row == nullptr || column < 1 || static_cast<std::size_t>(column) > rowLength) return 0;
  return row[column - 1];
}

void AppendColumnTerm(std::string& out, std::string_view name, unsigned value) {
  out.append(name);
  char number[16];
  int n = std::snprintf(number, sizeof number, " = %u and ", value);
  out.append(number, static_cast<std::size_t>(n));
}

// The condition ends with the last value and one blank.
void CutTrailingAnd(std::string& condition) {
  condition.resize(condition.size() >= 4 ? condition.size() - 4 : 0);
}

void ConditionFromColumnList(std::string_view list, const std::uint8_t* row, std::size_t rowLength,
                             std::string& condition) {
  condition.clear();
  for (int taken = 0; taken < kMaxKeyColumns && !list.empty(); ++taken) {
    std::size_t comma = list.find(',');
    std::string_view name = list.substr(0, comma);
    if (name.empty()) break;
    int column = 0;
    for (char c : name.substr(1)) {
      if (c < '0' || c > '9') break;
      column = column * 10 + (c - '0');
    }
    AppendColumnTerm(condition, name, RowByte(row, rowLength, column));
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
  }
  CutTrailingAnd(condition);
}

void AppendReadTerms(std::string& out, std::initializer_list<std::pair<const char*, unsigned>> terms) {
  for (const auto& [name, value] : terms) AppendColumnTerm(out, name, value);
}

bool CodeIn(std::uint16_t code, std::initializer_list<std::uint16_t> codes) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

}  // namespace

const char* const* PGCKeyTable() { return kKeyTable; }
const char* const* PGCKeyTable2() { return kKeyTable2; }
const char* const* PGCMessageTable() { return kMessageTable; }
const std::uint16_t* SpecialKeyCodes() { return kSpecialCodes; }

const std::vector<std::string>& MessageTablePGCNumbers() {
  static const std::vector<std::string> numbers = [] {
    std::vector<std::string> out;
    for (std::string_view record : kMessageTable) {
      std::string key(KeyOf(record));
      if (key == "20000" || key == "tmID_LINK_DISC") continue;
      if (std::find(out.begin(), out.end(), key) == out.end()) out.push_back(key);
    }
    return out;
  }();
  return numbers;
}

std::string PGCTableName(std::string_view pgcNo) {
  std::string name = "PGC";
  name.append(pgcNo);
  return name;
}

int ParsePGCNumber(std::string_view pgcNo, std::uint16_t& code, int varNum) {
  if (pgcNo.size() != 3 && pgcNo.size() != 4) {
    LogError(varNum, "PGC error", "PGC No is wrong, strPGC=" + std::string(pgcNo));
    return PGC_NUMBER_ERROR;
  }
  std::string digits(pgcNo);
  if (digits.size() == 3) digits += '0';
  // Read like a hexadecimal scan: digits after the first non-digit count for nothing.
  code = static_cast<std::uint16_t>(HexValue(digits));
  return 1;
}

int FindPGCByMessageID(std::uint16_t messageId, std::string& pgcNo, int varNum) {
  for (std::string_view record : kMessageTable) {
    if (HexValue(ValueOf(record)) == messageId) {
      pgcNo.assign(KeyOf(record));
      return 1;
    }
  }
  LogError(varNum, "Data struct error", "Can not find PGCNo by message ID");
  return MESSAGE_ID_UNKNOWN;
}

int IsKeyTablePGC(std::string_view pgcNo) { return FindValue(kKeyTable, kKeyTableRecords, pgcNo) ? 1 : 0; }

int IsKeyTable2PGC(std::string_view pgcNo) { return FindValue(kKeyTable2, kKeyTable2Records, pgcNo) ? 1 : 0; }

bool IsSpecialKeyCode(std::uint16_t code) {
  return std::find(std::begin(kSpecialCodes), std::end(kSpecialCodes), code) != std::end(kSpecialCodes);
}

int IsSpecialKeyPGC(std::string_view pgcNo, int varNum) {
  std::uint16_t code = 0;
  int rc = ParsePGCNumber(pgcNo, code, varNum);
  if (rc != 1) return rc;
  return IsSpecialKeyCode(code) ? 1 : 0;
}

int BuildKeyCondition(std::string_view pgcNo, const std::uint8_t* row, std::size_t rowLength, std::string& condition,
                      int varNum) {
  if (const char* list = FindValue(kKeyTable2, kKeyTable2Records, pgcNo)) {
    ConditionFromColumnList(list, row, rowLength, condition);
    return 1;
  }
  if (IsSpecialKeyPGC(pgcNo, varNum) == 0) {
    const char* list = FindValue(kKeyTable, kKeyTableRecords, pgcNo);
    if (list == nullptr) {
      LogError(varNum, "Data struct error", "Can not find PGCNo:" + std::string(pgcNo) + " index in index array");
      return NO_KEY_COLUMNS;
    }
    ConditionFromColumnList(list, row, rowLength, condition);
    return 1;
  }
  return BuildSpecialKeyCondition(row, rowLength, pgcNo, condition, varNum);
}

int BuildSpecialKeyCondition(const std::uint8_t* row, std::size_t rowLength, std::string_view pgcNo,
                             std::string& condition, int varNum) {
  std::uint16_t code = 0;
  int rc = ParsePGCNumber(pgcNo, code, varNum);
  if (rc != 1) return PGC_NUMBER_ERROR;
  condition.clear();
  for (const SpecialKey& key : kSpecialKeys) {
    if (key.code != code) continue;
    char name[8];
    for (int column : key.columns) {
      if (column == 0) break;
      std::snprintf(name, sizeof name, "d%d", column);
      AppendColumnTerm(condition, name, RowByte(row, rowLength, column));
    }
    break;
  }
  // An empty condition would match every row of the table.
  if (condition.empty()) {
    LogError(varNum, "Data struct error", "Can not find PGCNo:" + std::string(pgcNo) + " index in index array");
    return NO_KEY_COLUMNS;
  }
  CutTrailingAnd(condition);
  return 1;
}

int BuildReadCondition(std::uint16_t messageId, std::uint8_t k1, std::uint8_t k2, std::string& condition) {
  condition.clear();
  if (CodeIn(messageId, {0x4280, 0x7100, 0x7050})) {
    AppendReadTerms(condition, {{"d3", k1}, {"d4", k2}});
  } else if (CodeIn(messageId, {0x6010, 0x6030, 0x6070, 0x7010, 0x7120, 0x8320})) {
    AppendReadTerms(condition, {{"d2", k2}});
  } else if (CodeIn(messageId, {0x6150, 0x8290, 0x8330, 0x8480, 0x8070, 0x8451, 0x8230})) {
    AppendReadTerms(condition, {{"d1", k2}});
  } else if (CodeIn(messageId, {0x7240, 0x1180, 0x1050, 0x7220})) {
    AppendReadTerms(condition, {{"d1", k1}, {"d2", k2}});
  } else if (CodeIn(messageId, {0x8520, 0x4260})) {
    AppendReadTerms(condition, {{"d3", k2}});
  } else {
    condition = " and ";
  }
  return 1;
}

int GetOrderColumns(std::uint16_t messageId, std::string& ordering) {
  if (CodeIn(messageId, {0x7020, 0x7030, 0x7070, 0x7280, 0x7300, 0x8630})) {
    ordering = "d1, d2";
  } else if (CodeIn(messageId, {0x7100, 0x7140})) {
    ordering = "d3, d4";
  } else {
    ordering.clear();
  }
  return 1;
}

}  // namespace pgc
