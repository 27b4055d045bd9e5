#!/bin/bash
# Cross-builds Qt 6 base (Core and Network only) for 64-bit Windows with
# MinGW-w64 from Debian's source package, into a cache outside the checkout.
# A later run finds the finished cache and does nothing. Run as root.
#   MUDP_QT_CACHE   where the cache lives (default /var/cache/mudp/qt6-mingw)
# Prints the install prefix of the cross-built Qt on its last line.
set -Eeuo pipefail
source "$(dirname "$0")/lib/err-trap.sh"
cd "$(dirname "$0")/.."
cache=${MUDP_QT_CACHE:-/var/cache/mudp/qt6-mingw}
prefix=$cache/install
stamp=$prefix/.complete

bash scripts/windows-deps.sh >&2

if [ -f "$stamp" ]; then
  echo "$prefix"
  exit 0
fi

# The source package needs a deb-src entry for the mirrors apt already uses.
if ! apt-get source --print-uris qt6-base >/dev/null 2>&1; then
  src_list=/etc/apt/sources.list.d/mudp-deb-src.sources
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$src_list"
  else
    grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' \
      >/etc/apt/sources.list.d/mudp-deb-src.list
  fi
  apt-get -o DPkg::Lock::Timeout=900 update -qq
fi

# An interrupted build resumes where it stopped.
source_dir=$(find "$cache/src" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' 2>/dev/null | head -n1)
if [ -z "$source_dir" ] || [ ! -f "$cache/src/.unpacked" ]; then
  rm -rf "$cache/src" "$cache/build"
  mkdir -p "$cache/src"
  (cd "$cache/src" && apt-get source -qq qt6-base >/dev/null)
  touch "$cache/src/.unpacked"
  source_dir=$(find "$cache/src" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' | head -n1)
fi
rm -rf "$prefix"
mkdir -p "$cache/build"

# Qt's own toolchain file refers to this one, so the cache keeps a copy.
cp cmake/mingw-w64.cmake "$cache/toolchain.cmake"

features_off=(gui widgets sql dbus xml concurrent testlib openssl icu printsupport opengl
              network_proxy_autodetect zstd brotli glib)
defs=()
for f in "${features_off[@]}"; do defs+=("-DFEATURE_$f=OFF"); done

jobs=${MUDP_JOBS:-2}
cmake -S "$source_dir" -B "$cache/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$cache/toolchain.cmake" \
  -DQT_HOST_PATH=/usr \
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_SHARED_LIBS=ON \
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
  -DQT_GENERATE_SBOM=OFF \
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_doubleconversion=OFF \
  "${defs[@]}" >"$cache/configure.log" 2>&1 \
  || { tail -n 60 "$cache/configure.log" >&2; echo "windows-qt.sh: configuring Qt failed; log: $cache/configure.log" >&2; exit 1; }
nice -n 19 ionice -c3 cmake --build "$cache/build" -j"$jobs" >"$cache/build.log" 2>&1 \
  || { tail -n 60 "$cache/build.log" >&2; echo "windows-qt.sh: building Qt failed; log: $cache/build.log" >&2; exit 1; }
cmake --install "$cache/build" >"$cache/install.log" 2>&1
rm -rf "$cache/src" "$cache/build"
touch "$stamp"
echo "$prefix"
