// The PGC data set text: parsed, and when it parses, every question the
// template, the info tables and the simulator ask of it.
#include <string>
#include <string_view>

#include "setup/dataset.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  setup::Dataset dataset;
  std::string error;
  if (setup::ParseDataset(std::string_view(reinterpret_cast<const char*>(data), size), dataset, error) != 1) return 0;
  for (const setup::PgcEntry& pgc : dataset.pgcs) {
    pgc.Width();
    for (const setup::PgcRowLength& length : pgc.lengths) {
      length.SystemMask();
      length.CountryMask();
      length.VersionRange();
    }
    for (const auto& system : dataset.systems)
      for (const auto& country : dataset.countries)
        for (const auto& version : dataset.versions) dataset.RowLength(pgc.number, system.id, country.id, version.version);
  }
  for (const setup::FieldEntry& field : dataset.fields) dataset.FieldColumn(field.pgc, field.name);
  return 0;
}
