#!/usr/bin/env bash
# Builds COMM and runs every test twice: a plain build in build/, then a build
# with AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/.
# Exits non-zero when anything fails.
#
# Environment: TAVREL_JOBS (parallel tests, default 2), TAVREL_BUILD_DIR and
# TAVREL_ASAN_BUILD_DIR (default build and build-asan), TAVREL_TEST_PG (a
# PostgreSQL server to use instead of the throwaway cluster started here).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
source scripts/postgres.sh
ensure_packages

# The user-database tests also run on PostgreSQL: a cluster of our own, gone
# when the script ends, however it ends.
trap stop_test_postgres EXIT
start_test_postgres

jobs=${TAVREL_JOBS:-2}
build=${TAVREL_BUILD_DIR:-build}
asan=${TAVREL_ASAN_BUILD_DIR:-build-asan}
failed=()

run_suite() {
  local dir=$1
  shift
  echo "== $dir: configure and build"
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  ninja -C "$dir"
  echo "== $dir: tests"
  (cd "$dir" && ctest --output-on-failure -j"$jobs") || failed+=("$dir")
}

run_suite "$build"

# Leaks inside the ODBC driver manager and the SQLite driver are theirs, not
# ours; tests/lsan.supp names them.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
run_suite "$asan" -DTAVREL_SANITIZE=ON

if ((${#failed[@]})); then
  echo "FAILED: tests in ${failed[*]}" >&2
  exit 1
fi
echo "All tests passed (plain and sanitizer builds)."
