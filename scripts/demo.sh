#!/bin/bash
# Installs what is needed, builds, and runs the live demo: peers in their own
# network namespaces registering, listing each other and exchanging data.
set -Eeuo pipefail
source "$(dirname "$0")/lib/err-trap.sh"
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
bash tools/demo/run.sh build
