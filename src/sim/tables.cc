#include "sim/tables.h"

#include <cstdlib>
#include <string_view>

#include "pgc/catalogue.h"
#include "setup/dataset.h"

namespace sim {

namespace {

constexpr char kIdentityPgc[] = "20000";
constexpr char kTimeoutPgc[] = "501";
constexpr std::size_t kTimeoutByte = 8;  // of the link check answer's body

void SetColumn(std::vector<std::uint8_t>& row, int column, int value) {
  if (column >= 1 && static_cast<std::size_t>(column) <= row.size())
    row[column - 1] = static_cast<std::uint8_t>(value);
}

}  // namespace

int DatabaseVersionOf(const Identity& identity) {
  for (const auto& v : setup::DefaultDataset().versions)
    if (identity.Key() >= v.keyLow && identity.Key() <= v.keyHigh) return v.version;
  return 0;
}

std::string PGCNumberOfMessage(std::uint16_t messageId) {
  const char* const* records = pgc::PGCMessageTable();
  for (std::size_t i = 0; i < pgc::kMessageTableRecords; ++i) {
    std::string_view record = records[i];
    std::size_t dollar = record.find('$');
    if (dollar == std::string_view::npos) continue;
    std::string key(record.substr(0, dollar));
    if (key.empty() || key[0] < '0' || key[0] > '9') continue;  // not a PGC table
    std::string value(record.substr(dollar + 1));
    if (std::strtoul(value.c_str(), nullptr, 16) == messageId) return key;
  }
  return {};
}

TableStore::TableStore(const Identity& identity, int rowsPerTable)
    : identity_(identity), version_(DatabaseVersionOf(identity)), rowsPerTable_(rowsPerTable < 0 ? 0 : rowsPerTable) {}

int TableStore::RowLengthOf(std::uint16_t messageId) const {
  std::string pgcNo = PGCNumberOfMessage(messageId);
  if (pgcNo.empty()) return 0;
  return setup::DefaultDataset().RowLength(pgcNo, identity_.systemId, identity_.countryId, version_);
}

int TableStore::Read(std::uint16_t messageId, Table& out) const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = written_.find(messageId);
    if (found != written_.end()) {
      out = found->second;
      return 1;
    }
  }
  std::string pgcNo = PGCNumberOfMessage(messageId);
  int recordLength = RowLengthOf(messageId);
  if (recordLength <= 0) return 0;
  out.recordLength = recordLength;
  out.rows = pgcNo == kIdentityPgc ? IdentityRow(recordLength) : GeneratedRows(pgcNo, messageId, recordLength);
  return 1;
}

void TableStore::Write(std::uint16_t messageId, Table table) {
  std::lock_guard<std::mutex> lock(mutex_);
  written_[messageId] = std::move(table);
}

std::vector<std::uint8_t> TableStore::IdentityRow(int recordLength) const {
  const auto& data = setup::DefaultDataset();
  std::vector<std::uint8_t> row(recordLength, 0);
  SetColumn(row, data.FieldColumn(kIdentityPgc, "system_id"), identity_.systemId);
  SetColumn(row, data.FieldColumn(kIdentityPgc, "country_id"), identity_.countryId);
  SetColumn(row, data.FieldColumn(kIdentityPgc, "t_major"), identity_.tMajor);
  SetColumn(row, data.FieldColumn(kIdentityPgc, "t_minor"), identity_.tMinor);
  SetColumn(row, kTimeoutByte + 1, identity_.webTimeoutMinutes);
  return row;
}

std::vector<std::uint8_t> TableStore::GeneratedRows(const std::string& pgcNo, std::uint16_t messageId,
                                                    int recordLength) const {
  // The first two bytes number the rows, so rows keyed on d1, d2 stay distinct.
  std::vector<std::uint8_t> rows(static_cast<std::size_t>(rowsPerTable_) * recordLength);
  int timeoutColumn = pgcNo == kTimeoutPgc ? setup::DefaultDataset().FieldColumn(kTimeoutPgc, "web_timeout") : 0;
  for (int i = 0; i < rowsPerTable_; ++i) {
    std::uint8_t* row = &rows[static_cast<std::size_t>(i) * recordLength];
    for (int j = 0; j < recordLength; ++j) row[j] = static_cast<std::uint8_t>(i * 7 + j * 31 + messageId);
    row[0] = static_cast<std::uint8_t>(i & 0xFF);
    if (recordLength > 1) row[1] = static_cast<std::uint8_t>(i >> 8);
    if (timeoutColumn >= 1 && timeoutColumn <= recordLength)
      row[timeoutColumn - 1] = static_cast<std::uint8_t>(identity_.webTimeoutMinutes);
  }
  return rows;
}

}  // namespace sim
