#!/bin/bash
# Runs the Windows build's tests under Wine (after scripts/windows.sh), all
# in one network namespace of their own, one program at a time since they
# share its ports. Wine's sockets belong to its wineserver, so the server is
# started inside the namespace and waited for before leaving it.
set -Eeuo pipefail
source "$(dirname "$0")/lib/err-trap.sh"
cd "$(dirname "$0")/.."
build=build-windows
if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "windows-test.sh: no Windows build in $build; run scripts/windows.sh first" >&2
  exit 1
fi
prefix=$(sed -n 's/^MUDP_WINEPREFIX:PATH=//p' "$build/CMakeCache.txt")
if [ -z "$prefix" ]; then
  echo "windows-test.sh: $build/CMakeCache.txt names no Wine prefix (MUDP_WINEPREFIX)" >&2
  exit 1
fi
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
  echo "== making the Wine prefix $prefix"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
  if [ ! -f "$prefix/system.reg" ]; then
    echo "windows-test.sh: wineboot made no Wine prefix in $prefix" >&2
    exit 1
  fi
fi
wineserver -k 2>/dev/null || true
# The package runs on its own: its example host starts with no DLL path
# (and, given no arguments, exits 2 with its usage).
rc=0
wine build-windows/mudp-windows-x64/bin/windows-hello.exe >/dev/null 2>&1 || rc=$?
[ $rc -eq 2 ] || { echo "the packaged windows-hello.exe did not start (exit $rc)" >&2; exit 1; }
wineserver -w
echo "== Windows tests under Wine"
tests/netns-run.sh bash -c 'ctest --test-dir "$1" --output-on-failure -j1; rc=$?; wineserver -w; exit $rc' \
  run "$build"
