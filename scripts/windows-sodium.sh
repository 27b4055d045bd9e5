#!/bin/bash
# Cross-builds libsodium for 64-bit Windows with MinGW-w64 from Debian's
# source package, into a cache outside the checkout: the DLL, its import
# library and headers that the Windows build links and ships. A later run
# finds the finished cache and does nothing. Run as root.
#   MUDP_SODIUM_CACHE  where the cache lives (default /var/cache/mudp/sodium-mingw)
#   MUDP_SODIUM_STOP   "fetch": stop where the source would be fetched, before
#                      anything goes to the network (the suite's fresh-machine
#                      check, tests/windows_setup); "unpacked": stop once the
#                      source is unpacked. Neither installs the cross tool chain.
# Prints the install prefix of the cross-built libsodium on its last line.
set -Eeuo pipefail
source "$(dirname "$0")/lib/err-trap.sh"
source "$(dirname "$0")/lib/source-build.sh"
label=libsodium
start_cached_build "${MUDP_SODIUM_CACHE:-/var/cache/mudp/sodium-mingw}" MUDP_SODIUM_STOP

# An interrupted build resumes from the unpacked source, which stays until
# libsodium is installed.
unpack_source libsodium
rm -rf "$prefix" "$cache/build"
mkdir -p "$cache/build"

# Debian's source has no configure script: its build makes one, as here.
stage autoreconf autoreconf -fi "$source_dir"
# The DLL alone (no static library), built out of the source tree with the
# same compiler as the rest of the Windows build.
checkout=$PWD
cd "$cache/build"
stage configure "$source_dir/configure" --host=x86_64-w64-mingw32 --prefix="$prefix" \
  --enable-shared --disable-static --disable-dependency-tracking \
  CC=x86_64-w64-mingw32-gcc-posix CFLAGS="-O2"
stage build nice -n 19 ionice -c3 make -j"${MUDP_JOBS:-2}"
stage install make install
cd "$checkout"
if ! ls "$prefix"/bin/libsodium*.dll >/dev/null 2>&1 || [ ! -f "$prefix/lib/libsodium.dll.a" ]; then
  echo "windows-sodium.sh: the install in $prefix has no libsodium DLL or import library" >&2
  exit 1
fi
rm -rf "$cache/src" "$cache/build"
touch "$stamp"
echo "$prefix"
