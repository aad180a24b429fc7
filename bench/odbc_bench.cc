// Cost of the statements a login and a logout run on the shared user
// connection, one at a time (no contention): microseconds per statement.
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>

#include "db/odbc.h"
#include "frame/log.h"
#include "support/test_installation.h"

namespace {
using Clock = std::chrono::steady_clock;

void Time(const char* what, int n, const std::function<void()>& body) {
  auto start = Clock::now();
  for (int i = 0; i < n; ++i) body();
  double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / n;
  std::printf("%-48s %8.1f us\n", what, us);
}
}  // namespace

int main() {
  testsupport::SharedInstallation();
  SetInfoLevel(0);
  db::Row row;
  Time("getRowCount userinfo where user_id", 2000,
       [&] { db::getRowCount(db::UserDB(), "userinfo", "user_id = 'alice'", 0); });
  Time("SelectMatchingRecords userinfo (66 columns)", 2000,
       [&] { db::SelectMatchingRecords(db::UserDB(), "userinfo", 66, row, "user_id = 'alice'", 0); });
  Time("ExecuteSQL update connect_state", 2000, [&] {
    db::ExecuteSQL(db::UserDB(), "Update userinfo set connect_state = 0 where user_id = 'alice'", 0);
  });
  Time("log line at level 0 (dropped Debug)", 20000, [&] { LogDebug(0, "dropped"); });
  SetInfoLevel(2);
  Time("log line at level 2 (Debug written)", 2000, [&] { LogDebug(0, "written"); });
  return 0;
}
