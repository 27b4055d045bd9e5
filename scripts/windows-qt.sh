#!/bin/bash
# Cross-builds Qt 6 base (Core and Network only) for 64-bit Windows with
# MinGW-w64 from Debian's source package, into a cache outside the checkout.
# A later run finds the finished cache and does nothing. Run as root.
#   MUDP_QT_CACHE  where the cache lives (default /var/cache/mudp/qt6-mingw)
#   MUDP_QT_STOP   "fetch": stop where the source would be fetched, before
#                  anything goes to the network (the suite's fresh-machine
#                  check, tests/windows_setup); "unpacked": stop once the
#                  source is unpacked. Neither installs the cross tool chain.
# Prints the install prefix of the cross-built Qt on its last line.
set -Eeuo pipefail
source "$(dirname "$0")/lib/err-trap.sh"
source "$(dirname "$0")/lib/source-build.sh"
label=Qt
start_cached_build "${MUDP_QT_CACHE:-/var/cache/mudp/qt6-mingw}" MUDP_QT_STOP

# An interrupted build resumes where it stopped: the unpacked source stays
# until Qt is installed.
unpack_source qt6-base
rm -rf "$prefix"
mkdir -p "$cache/build"

# Qt's own toolchain file refers to this one, so the cache keeps a copy. Its
# name must not end in anything Qt's configure takes for its own generated
# file (a pattern like "qt.toolchain.cmake", which a cache folder named "qt"
# followed by "/toolchain.cmake" matched).
cp cmake/mingw-w64.cmake "$cache/mudp-mingw-w64.cmake"

features_off=(gui widgets sql dbus xml concurrent testlib openssl icu printsupport opengl
              network_proxy_autodetect zstd brotli glib)
defs=()
for f in "${features_off[@]}"; do defs+=("-DFEATURE_$f=OFF"); done

jobs=${MUDP_JOBS:-2}
stage configure cmake -S "$source_dir" -B "$cache/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$cache/mudp-mingw-w64.cmake" \
  -DQT_HOST_PATH=/usr \
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_SHARED_LIBS=ON \
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
  -DQT_GENERATE_SBOM=OFF \
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_doubleconversion=OFF \
  "${defs[@]}"
stage build nice -n 19 ionice -c3 cmake --build "$cache/build" -j"$jobs"
stage install cmake --install "$cache/build"
rm -rf "$cache/src" "$cache/build"
touch "$stamp"
echo "$prefix"
