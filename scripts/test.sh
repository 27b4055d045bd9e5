#!/bin/bash
# The whole test suite: installs what it needs, then builds and runs the tests
# twice, plainly and under AddressSanitizer and UndefinedBehaviorSanitizer,
# then fuzzes the packet dispatcher for a bounded time.
set -Eeuo pipefail
source "$(dirname "$0")/lib/err-trap.sh"
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# Runs ctest on a build directory, keeping its summary for the total.
run_ctest() {
  local dir=$1
  shift
  "$@" ctest --test-dir "$dir" --output-on-failure -j"$jobs" | tee -a "$log"
}

echo "== plain build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
run_ctest build env

echo "== sanitizer build"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DMUDP_SANITIZE=ON >/dev/null
cmake --build build-sanitize -j"$jobs"
run_ctest build-sanitize env ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

fuzzed=0
if [ -f tests/fuzz/CMakeLists.txt ]; then
  echo "== fuzzing"
  bash tests/fuzz/run.sh
  fuzzed=1
fi

# One closing line for the whole run (ctest stops the script on a failure).
total=$(awk '/tests passed, [0-9]+ tests failed out of/ { n += $NF } END { print n + 0 }' "$log")
echo "suite: $((total + fuzzed)) passed, 0 failed"
