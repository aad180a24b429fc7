#pragma once
// Where tavrel-setup writes tables and rows: a SQLite file, or a database
// server reached through ODBC. Statements use "?" for text parameters.
#include <string>
#include <vector>

namespace setup {

class SqlTarget {
 public:
  virtual ~SqlTarget() = default;
  // Runs one statement; "BEGIN", "COMMIT" and "ROLLBACK" group the ones
  // between. False with error() set on failure.
  virtual bool Exec(const std::string& sql) = 0;
  // The number of rows the statement changed, or -1 with error() set.
  virtual int Run(const std::string& sql, const std::vector<std::string>& values) = 0;
  virtual const std::string& error() const = 0;
  virtual void SetError(const std::string& error) = 0;
};

}  // namespace setup
