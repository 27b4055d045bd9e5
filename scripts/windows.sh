#!/bin/bash
# Builds the Windows package: mudp.dll with its import libraries, the header,
# the example host windows-hello.exe and every DLL they need, as the folder
# build-windows/mudp-windows-x64 and the zip beside it. Installs what it needs
# and cross-builds Qt and libsodium once into caches (scripts/windows-qt.sh,
# scripts/windows-sodium.sh). Run as root.
#   MUDP_LINUX_BUILD  a Linux build (default: build, when it has the peer
#                     tool): adds the Windows tests against it (text
#                     conversion, interoperation)
set -Eeuo pipefail
source "$(dirname "$0")/lib/err-trap.sh"
cd "$(dirname "$0")/.."
if [ -z "${MUDP_LINUX_BUILD:-}" ] && [ -x build/tools/peer/mudp-peer ]; then
  MUDP_LINUX_BUILD=$PWD/build
fi
qt=$(bash scripts/windows-qt.sh | tail -n1)
if [ ! -f "$qt/lib/cmake/Qt6/qt.toolchain.cmake" ]; then
  echo "windows.sh: scripts/windows-qt.sh named no cross-built Qt ('$qt')" >&2
  exit 1
fi
sodium=$(bash scripts/windows-sodium.sh | tail -n1)
if [ ! -f "$sodium/include/sodium.h" ]; then
  echo "windows.sh: scripts/windows-sodium.sh named no cross-built libsodium ('$sodium')" >&2
  exit 1
fi
build=build-windows
jobs=${MUDP_JOBS:-$(nproc)}

echo "== Windows build (Qt from $qt, libsodium from $sodium)"
cmake -S . -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$qt/lib/cmake/Qt6/qt.toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DMUDP_SODIUM_PREFIX="$sodium" \
  -DMUDP_LINUX_BUILD="${MUDP_LINUX_BUILD:-}" >/dev/null
cmake --build "$build" -j"$jobs"

echo "== Windows package"
name=mudp-windows-x64
pkg=$build/$name
rm -rf "$pkg" "$pkg.zip"
mkdir -p "$pkg/bin" "$pkg/include" "$pkg/lib"
cp include/mudp.h "$pkg/include/"
cp "$build/src/mudp.dll" "$build/tests/wine/windows-hello.exe" "$pkg/bin/"
cp "$build/src/libmudp.dll.a" "$pkg/lib/"
# A definition file and an import library in the format other Windows linkers
# read, for the C exports.
{
  echo "LIBRARY mudp.dll"
  echo "EXPORTS"
  x86_64-w64-mingw32-objdump -p "$pkg/bin/mudp.dll" \
    | awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && NF == 0 { on = 0 } on { print "    " $NF }' \
    | grep -v '^    _Z'
} >"$pkg/lib/mudp.def"
x86_64-w64-mingw32-dlltool -d "$pkg/lib/mudp.def" -D mudp.dll -l "$pkg/lib/mudp.lib"

# Every DLL the programs load that is not part of Windows: Qt's, libsodium's
# and the MinGW runtime's, found where the compiler, Qt and libsodium keep them.
search=("$qt/bin" "$sodium/bin" "$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")"
        "$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libwinpthread-1.dll)")")
pending=("$pkg/bin/mudp.dll" "$pkg/bin/windows-hello.exe")
while [ ${#pending[@]} -gt 0 ]; do
  file=${pending[0]}
  pending=("${pending[@]:1}")
  dlls=$(x86_64-w64-mingw32-objdump -p "$file" | awk '/DLL Name:/ { print $3 }')
  for dll in $dlls; do
    [ -e "$pkg/bin/$dll" ] && continue
    for dir in "${search[@]}"; do
      if [ -e "$dir/$dll" ]; then
        cp "$dir/$dll" "$pkg/bin/"
        pending+=("$pkg/bin/$dll")
        break
      fi
    done
  done
done
x86_64-w64-mingw32-strip --strip-unneeded "$pkg"/bin/*
cp examples/windows-hello/windows-hello.c "$pkg/"
cp docs/windows-package.txt "$pkg/README.txt"

# The package is enough to link a host: build the example against it alone.
x86_64-w64-mingw32-gcc -std=c11 -Wall -Wextra -Werror -I"$pkg/include" \
  examples/windows-hello/windows-hello.c -L"$pkg/lib" -lmudp -o "$build/package-link-check.exe"
(cd "$build" && zip -qr "$name.zip" "$name")
ls "$pkg/bin"
echo "package: $pkg and $pkg.zip"
