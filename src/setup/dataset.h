#pragma once
// The PGC data set (data/pgc_dataset.txt, compiled in): system types,
// countries, database versions, the row lengths of every PGC by system,
// country and version, the TableLine rows of PGC 723 and the meaning of a
// few columns. The template database, the info tables, Tabulon and the system
// simulator are all built from it, so they cannot disagree.
#include <string>
#include <string_view>
#include <vector>

namespace setup {

constexpr int kMaxRowLength = 240;
constexpr int kMaskLength = 8;         // characters of a Tablestrt system or country mask
constexpr int kMaxLineValues = 33;     // value columns of a TableLine row
constexpr int kMaxVersion = 99999;     // five digits in a Tablestrt version range

struct IdName {
  int id = 0;
  std::string name;
};

// One Tablestrt row: the row length of a PGC for the systems, countries and
// database versions it accepts. Empty lists accept every ID.
struct PgcRowLength {
  int length = 0;
  std::vector<int> systems;
  std::vector<int> countries;
  int versionLow = 0;
  int versionHigh = kMaxVersion;

  bool Accepts(int system, int country, int version) const;
  // The Tablestrt texts: system ID n is position n (from 1) of the system
  // mask, country ID n position n + 1 of the country mask; the range is the
  // two versions in five digits each.
  std::string SystemMask() const;
  std::string CountryMask() const;
  std::string VersionRange() const;
};

struct PgcEntry {
  std::string number;                 // "724", "8451", "20000"
  std::vector<PgcRowLength> lengths;  // in selection order
  int Width() const;                  // the widest row: the table's column count
};

struct VersionEntry {
  int version = 0;
  int keyLow = 0;
  int keyHigh = 0;
  std::string name;
};

struct LineEntry {
  int key = 0;              // PGC723 d1
  std::vector<int> d3;      // PGC724 d3 values
};

struct FieldEntry {
  std::string pgc;
  int column = 0;           // from 1
  std::string name;
};

struct Dataset {
  std::vector<IdName> systems;
  std::vector<IdName> countries;
  std::vector<VersionEntry> versions;
  std::vector<PgcEntry> pgcs;
  std::vector<LineEntry> lines;
  std::vector<FieldEntry> fields;

  const PgcEntry* Find(std::string_view number) const;
  // The row length the first accepting line gives; 0 when none accepts.
  int RowLength(std::string_view number, int system, int country, int version) const;
  // The column (from 1) of a named field of a PGC; 0 when it is not given.
  int FieldColumn(std::string_view pgc, std::string_view name) const;
};

// 1 with `out` filled; 0 with "line N: reason" in `error`.
int ParseDataset(std::string_view text, Dataset& out, std::string& error);

// The compiled-in data set (parsed once; it is checked by the tests, so a
// parse failure here is a build fault and aborts).
std::string_view DefaultDatasetText();
const Dataset& DefaultDataset();

}  // namespace setup
