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
# Absolute, as the caller meant it: the steps below change folders.
cache=$(realpath -m "${MUDP_QT_CACHE:-/var/cache/mudp/qt6-mingw}")
cd "$(dirname "$0")/.."
prefix=$cache/install
stamp=$prefix/.complete
stop=${MUDP_QT_STOP:-}
case $stop in
  '' | fetch | unpacked) ;;
  *) echo "windows-qt.sh: unknown MUDP_QT_STOP=$stop (only 'fetch' or 'unpacked')" >&2; exit 2 ;;
esac

[ -n "$stop" ] || bash scripts/windows-deps.sh >&2

if [ -f "$stamp" ]; then
  echo "$prefix"
  exit 0
fi

# Runs one step of the build with its output in $cache/NAME.log, which is
# shown in part when the step fails.
stage() {
  local name=$1
  shift
  "$@" >"$cache/$name.log" 2>&1 && return 0
  tail -n 60 "$cache/$name.log" >&2
  echo "windows-qt.sh: Qt's $name step failed; the whole log is $cache/$name.log" >&2
  exit 1
}

# Adds a deb-src entry for the Debian mirrors apt uses when apt has none:
# the source package comes from there.
ensure_deb_src() {
  local list parts
  eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
  if grep -qsE '^[[:space:]]*(deb-src[[:space:]]|Types:.*deb-src)' \
       "$list" "$parts"/*.list "$parts"/*.sources; then
    return 0
  fi
  if [ -f "$parts/debian.sources" ]; then
    sed 's/^Types:.*/Types: deb-src/' "$parts/debian.sources" >"$parts/mudp-deb-src.sources"
  elif grep -qs '^deb ' "$list"; then
    sed -n 's/^deb /deb-src /p' "$list" >"$parts/mudp-deb-src.list"
  else
    echo "windows-qt.sh: apt has no Debian entry ($parts/debian.sources or deb lines in $list) to add a deb-src entry for" >&2
    return 1
  fi
}

# An interrupted build resumes where it stopped: the unpacked source stays
# until Qt is installed.
source_dir=
if [ -f "$cache/src/.unpacked" ]; then
  source_dir=$(find "$cache/src" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' -print -quit)
fi
if [ -z "$source_dir" ]; then
  ensure_deb_src
  if [ "$stop" = fetch ]; then
    echo "fetch: $cache/src"
    exit 0
  fi
  # Current lists: a source version that has left the mirror cannot be fetched.
  apt-get -o DPkg::Lock::Timeout=900 update -qq
  rm -rf "$cache/src" "$cache/build"
  mkdir -p "$cache/src"
  cd "$cache/src"
  stage source apt-get source -qq qt6-base
  cd "$OLDPWD"
  source_dir=$(find "$cache/src" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' -print -quit)
  if [ -z "$source_dir" ]; then
    echo "windows-qt.sh: apt-get source unpacked no qt6-base-* folder in $cache/src" >&2
    exit 1
  fi
  touch "$cache/src/.unpacked"
fi
if [ "$stop" = unpacked ]; then
  echo "unpacked: $source_dir"
  exit 0
fi
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
