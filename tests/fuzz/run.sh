#!/bin/bash
# Builds the packet fuzzer with clang in build-fuzz and runs it for about 60
# seconds inside a network namespace of its own. Fails on any crash, leak or
# sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${MUDP_FUZZ_BUILD:-build-fuzz}
seconds=${MUDP_FUZZ_SECONDS:-60}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMUDP_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2 --target mudp_fuzz_packets mudp_fuzz_seeds

corpus="$build/tests/fuzz/corpus"
seeds="$build/tests/fuzz/seeds"
rm -rf "$seeds"
mkdir -p "$corpus" "$seeds"
"$build/tests/fuzz/mudp_fuzz_seeds" "$seeds"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The fuzzing stops itself after $seconds; the replay of a corpus grown by
# earlier runs comes first and is slow on a busy machine, hence the margin.
timeout $((seconds + 600)) tests/netns-run.sh "$build/tests/fuzz/mudp_fuzz_packets" \
  -max_total_time="$seconds" -max_len=4096 -timeout=30 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$build/tests/fuzz/" "$corpus" "$seeds"
