#pragma once
#include <string>

namespace db {

// One ODBC connection: its own environment and connection handle, and the
// data source name it was opened on. Handles are null while closed. The
// record is slot data (every slot holds four), so it lives with the slots;
// only db/ opens, uses and closes it.
struct ConnectionRecord {
  void* env = nullptr;
  void* dbc = nullptr;
  std::string dsn;
  // While a Transaction (db/odbc.h) is open on the record, statements do not
  // commit; a failed one rolls the whole transaction back.
  int transactionDepth = 0;
  bool transactionFailed = false;
  bool open() const { return dbc != nullptr; }
};

}  // namespace db
