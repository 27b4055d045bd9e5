#!/bin/bash
# The whole test suite: installs what it needs, then builds and runs the tests
# twice, plainly and under AddressSanitizer and UndefinedBehaviorSanitizer,
# then fuzzes the packet dispatcher for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

echo "== plain build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== sanitizer build"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DMUDP_SANITIZE=ON >/dev/null
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-sanitize --output-on-failure -j"$jobs"

if [ -f tests/fuzz/CMakeLists.txt ]; then
  echo "== fuzzing"
  bash tests/fuzz/run.sh
fi
