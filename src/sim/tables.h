#pragma once
// The PGC tables of the simulated system: generated from the data set for
// the system's type, country and database version, replaced by whatever a
// client writes. Content is a pure function of the PGC and the row number,
// so two runs with the same options serve the same bytes.
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// Who the system says it is (the PGC20000 row of the link check).
struct Identity {
  int systemId = 1;
  int countryId = 0;
  int tMajor = 1;
  int tMinor = 50;
  int webTimeoutMinutes = 10;  // body byte 8 of the link check answer, PGC501 column 52

  // The system's key, t_major followed by t_minor in two digits.
  int Key() const { return tMajor * 100 + tMinor; }
};

// The database version whose key range holds the identity's key; 0 when none.
int DatabaseVersionOf(const Identity& identity);

// The PGC number of a PGC message ID ("724" for 0x7240, "20000" for 0);
// empty when the catalogue has none.
std::string PGCNumberOfMessage(std::uint16_t messageId);

struct Table {
  int recordLength = 0;
  std::vector<std::uint8_t> rows;  // whole records
};

// Thread-safe: every connection of the simulator reads and writes it.
class TableStore {
 public:
  TableStore(const Identity& identity, int rowsPerTable);

  // 1 with the table; 0 when the message ID names no PGC this system has.
  int Read(std::uint16_t messageId, Table& out) const;
  // Keeps a written table; later reads return it.
  void Write(std::uint16_t messageId, Table table);
  // The row length of the message's PGC on this system; 0 when it has none.
  int RowLengthOf(std::uint16_t messageId) const;

  const Identity& identity() const { return identity_; }

 private:
  std::vector<std::uint8_t> IdentityRow(int recordLength) const;
  std::vector<std::uint8_t> GeneratedRows(const std::string& pgcNo, std::uint16_t messageId,
                                          int recordLength) const;

  const Identity identity_;
  const int version_;
  const int rowsPerTable_;
  mutable std::mutex mutex_;  // guards written_
  std::map<std::uint16_t, Table> written_;
};

}  // namespace sim
