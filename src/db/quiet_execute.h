#pragma once
#include <string>

#include "frame/connection_record.h"

namespace db {

// Runs one statement on `record` as its own transaction (commit after
// success, rollback after failure) and logs nothing: for probing and
// repairing a table layout, where a failing statement is an expected answer
// rather than an error. 1 when it ran; -1 when it failed.
int ExecuteQuietly(ConnectionRecord& record, const std::string& sql);

}  // namespace db
