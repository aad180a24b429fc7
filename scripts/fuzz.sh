#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (ASan and UBSan) in
# build-fuzz/ and runs each for SECONDS (default 30) from its seed corpus in
# tests/fuzz/<target>/; what a run finds is kept in build-fuzz/corpus/<target>/
# for the next run. Prints each target's executions and coverage; exits
# non-zero when any target crashes, leaks, hangs (one input over 25 s) or
# fails to build. Crashing inputs are left in build-fuzz/artifacts/.
#
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
# TAVREL_FUZZ_FLAGS adds libFuzzer flags to every run (a long run to a count
# of executions: TAVREL_FUZZ_FLAGS=-runs=10000000 scripts/fuzz.sh 36000 dataset).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
ensure_packages

seconds=${1:-30}
shift || true
root=$PWD
build=${TAVREL_FUZZ_BUILD_DIR:-build-fuzz}
mkdir -p "$build"
build=$(cd "$build" && pwd)
targets=("$@")
if ((${#targets[@]} == 0)); then
  for source in tests/fuzz/*_fuzz.cc; do
    name=$(basename "$source" _fuzz.cc)
    targets+=("$name")
  done
fi

echo "== $build: configure and build the fuzz targets"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DTAVREL_FUZZ=ON >/dev/null
ninja -C "$build" "${targets[@]/#/fuzz_}"

# Leaks inside the ODBC driver manager and the SQLite driver are theirs.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=32:malloc_context_size=20}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/tests/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$build/artifacts"
failed=()
summary=()
for target in "${targets[@]}"; do
  corpus=$build/corpus/$target
  log=$build/fuzz-$target.log
  mkdir -p "$corpus"
  echo "== fuzz_$target: $seconds s"
  status=0
  "$build/bin/fuzz_$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=3072 -print_final_stats=1 \
    ${TAVREL_FUZZ_FLAGS:-} -artifact_prefix="$build/artifacts/$target-" "$corpus" "$root/tests/fuzz/$target" >"$log" 2>&1 || status=$?
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
  line="fuzz_$target: ${runs:-?} executions (${rate:-?}/s), ${coverage:-no coverage figure}"
  if ((status != 0)); then
    line+=" FAILED (exit $status; see $log)"
    failed+=("$target")
    grep -E '^==[0-9]+==ERROR|SUMMARY|^ +#[0-9]+ ' "$log" | head -30 >&2 || true
  fi
  echo "$line"
  summary+=("$line")
done

echo "== fuzzing summary"
printf '%s\n' "${summary[@]}"
if ((${#failed[@]})); then
  echo "FAILED: fuzz targets ${failed[*]}" >&2
  exit 1
fi
