#include "setup/dataset.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace setup {
namespace {

// The data file opens and closes a raw string literal, so the same file is
// both the readable data and the compiled-in copy.
constexpr const char kDatasetText[] =
#include "../../data/pgc_dataset.txt"
    ;

bool ParseInt(const std::string& text, int low, int high, int& out) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  out = std::atoi(text.c_str());
  return out >= low && out <= high;
}

// "*" (every ID, an empty list) or "1,2,5".
bool ParseIdList(const std::string& text, int low, int high, std::vector<int>& out) {
  out.clear();
  if (text == "*") return true;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    int id = 0;
    if (!ParseInt(item, low, high, id)) return false;
    out.push_back(id);
  }
  return !out.empty();
}

bool ParseRange(const std::string& text, int& low, int& high) {
  if (text == "*") {
    low = 0;
    high = kMaxVersion;
    return true;
  }
  auto dash = text.find('-');
  if (dash == std::string::npos) return false;
  return ParseInt(text.substr(0, dash), 0, kMaxVersion, low) &&
         ParseInt(text.substr(dash + 1), 0, kMaxVersion, high) && low <= high;
}

bool IsPgcNumber(const std::string& text) {
  if (text.size() < 3 || text.size() > 5) return false;
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool Contains(const std::vector<int>& ids, int id) {
  return ids.empty() || std::find(ids.begin(), ids.end(), id) != ids.end();
}

std::string Mask(const std::vector<int>& ids, int offset) {
  std::string mask(kMaskLength, ids.empty() ? '1' : '0');
  for (int id : ids) mask[id + offset - 1] = '1';
  return mask;
}

class Parser {
 public:
  explicit Parser(Dataset& out) : out_(out) {}

  bool Line(const std::vector<std::string>& f, std::string& why) {
    const std::string& kind = f[0];
    if (kind == "system") return IdLine(f, 1, kMaskLength, out_.systems, why);
    if (kind == "country") return IdLine(f, 0, kMaskLength - 1, out_.countries, why);
    if (kind == "version") return VersionLine(f, why);
    if (kind == "pgc") return PgcLine(f, why);
    if (kind == "line") return TableLine(f, why);
    if (kind == "field") return FieldLine(f, why);
    why = "unknown record \"" + kind + "\"";
    return false;
  }

  bool Finish(std::string& why) {
    for (const FieldEntry& field : out_.fields) {
      const PgcEntry* pgc = out_.Find(field.pgc);
      if (pgc == nullptr || field.column > pgc->Width()) {
        why = "field " + field.name + " lies outside the rows of PGC " + field.pgc;
        return false;
      }
    }
    return true;
  }

 private:
  bool IdLine(const std::vector<std::string>& f, int low, int high, std::vector<IdName>& to, std::string& why) {
    IdName entry;
    if (f.size() != 3 || !ParseInt(f[1], low, high, entry.id)) {
      why = f[0] + " needs an ID from " + std::to_string(low) + " to " + std::to_string(high) + " and a name";
      return false;
    }
    entry.name = f[2];
    to.push_back(entry);
    return true;
  }

  bool VersionLine(const std::vector<std::string>& f, std::string& why) {
    VersionEntry v;
    if (f.size() != 5 || !ParseInt(f[1], 0, kMaxVersion, v.version) || !ParseInt(f[2], 0, 999999, v.keyLow) ||
        !ParseInt(f[3], 0, 999999, v.keyHigh) || v.keyLow > v.keyHigh) {
      why = "version needs DB_VERSION KEY_LOW KEY_HIGH NAME";
      return false;
    }
    v.name = f[4];
    out_.versions.push_back(v);
    return true;
  }

  bool PgcLine(const std::vector<std::string>& f, std::string& why) {
    PgcRowLength row;
    bool ok = (f.size() == 3 || f.size() == 6) && IsPgcNumber(f[1]) && ParseInt(f[2], 1, kMaxRowLength, row.length);
    if (ok && f.size() == 6) {
      ok = ParseIdList(f[3], 1, kMaskLength, row.systems) && ParseIdList(f[4], 0, kMaskLength - 1, row.countries) &&
           ParseRange(f[5], row.versionLow, row.versionHigh);
    }
    if (!ok) {
      why = "pgc needs NUMBER LENGTH(1..240) [SYSTEMS COUNTRIES VERSIONS]";
      return false;
    }
    auto found = std::find_if(out_.pgcs.begin(), out_.pgcs.end(), [&](const PgcEntry& e) { return e.number == f[1]; });
    if (found == out_.pgcs.end()) {
      out_.pgcs.push_back({f[1], {}});
      found = out_.pgcs.end() - 1;
    }
    found->lengths.push_back(row);
    return true;
  }

  bool TableLine(const std::vector<std::string>& f, std::string& why) {
    LineEntry line;
    bool ok = f.size() >= 3 && f.size() - 2 <= kMaxLineValues && ParseInt(f[1], 0, 99, line.key);
    for (std::size_t i = 2; ok && i < f.size(); ++i) {
      int value = 0;
      ok = ParseInt(f[i], 0, 255, value);
      line.d3.push_back(value);
    }
    if (!ok) {
      why = "line needs a KEY (0..99) and 1 to 33 values 0..255";
      return false;
    }
    out_.lines.push_back(line);
    return true;
  }

  bool FieldLine(const std::vector<std::string>& f, std::string& why) {
    FieldEntry field;
    if (f.size() != 4 || !IsPgcNumber(f[1]) || !ParseInt(f[2], 1, kMaxRowLength, field.column)) {
      why = "field needs PGC COLUMN NAME";
      return false;
    }
    field.pgc = f[1];
    field.name = f[3];
    out_.fields.push_back(field);
    return true;
  }

  Dataset& out_;
};

std::vector<std::string> Fields(const std::string& line) {
  std::string text = line.substr(0, line.find('#'));
  std::stringstream in(text);
  std::vector<std::string> fields;
  for (std::string field; in >> field;) fields.push_back(field);
  return fields;
}

}  // namespace

bool PgcRowLength::Accepts(int system, int country, int version) const {
  return Contains(systems, system) && Contains(countries, country) && version >= versionLow && version <= versionHigh;
}

std::string PgcRowLength::SystemMask() const { return Mask(systems, 0); }
std::string PgcRowLength::CountryMask() const { return Mask(countries, 1); }

std::string PgcRowLength::VersionRange() const {
  char text[16];
  std::snprintf(text, sizeof text, "%05d%05d", versionLow, versionHigh);
  return text;
}

int PgcEntry::Width() const {
  int width = 0;
  for (const PgcRowLength& row : lengths) width = std::max(width, row.length);
  return width;
}

const PgcEntry* Dataset::Find(std::string_view number) const {
  for (const PgcEntry& entry : pgcs) {
    if (entry.number == number) return &entry;
  }
  return nullptr;
}

int Dataset::RowLength(std::string_view number, int system, int country, int version) const {
  const PgcEntry* entry = Find(number);
  if (entry == nullptr) return 0;
  for (const PgcRowLength& row : entry->lengths) {
    if (row.Accepts(system, country, version)) return row.length;
  }
  return 0;
}

int Dataset::FieldColumn(std::string_view pgc, std::string_view name) const {
  for (const FieldEntry& field : fields) {
    if (field.pgc == pgc && field.name == name) return field.column;
  }
  return 0;
}

int ParseDataset(std::string_view text, Dataset& out, std::string& error) {
  out = Dataset{};
  Parser parser(out);
  std::stringstream in{std::string(text)};
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    // The raw-string delimiters of the compiled-in copy.
    if (line.rfind("R\"dataset(", 0) == 0 || line.rfind(")dataset\"", 0) == 0) continue;
    std::vector<std::string> fields = Fields(line);
    if (fields.empty()) continue;
    std::string why;
    if (!parser.Line(fields, why)) {
      error = "line " + std::to_string(number) + ": " + why;
      return 0;
    }
  }
  std::string why;
  if (!parser.Finish(why)) {
    error = why;
    return 0;
  }
  return 1;
}

std::string_view DefaultDatasetText() { return kDatasetText; }

const Dataset& DefaultDataset() {
  static const Dataset dataset = [] {
    Dataset parsed;
    std::string error;
    if (ParseDataset(DefaultDatasetText(), parsed, error) != 1) {
      std::fprintf(stderr, "compiled-in PGC data set: %s\n", error.c_str());
      std::abort();
    }
    return parsed;
  }();
  return dataset;
}

}  // namespace setup
