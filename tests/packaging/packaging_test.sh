#!/bin/bash
# packaging_test.sh BUILD_DIR EXAMPLE_DIR C_COMPILER LIBDIR [CFLAGS]
# Installs BUILD_DIR into a temporary prefix, checks what was installed, and
# builds and runs the example host with CMake and with pkg-config.
set -u
build=$1 example=$2 cc=$3 libdir=$4 cflags=${5:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

echo "== install"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
for f in "$libdir/libmudp.so" "$libdir/libmudp.so.1" include/mudp.h \
         "$libdir/cmake/mudp/mudpConfig.cmake" "$libdir/cmake/mudp/mudpConfigVersion.cmake" \
         "$libdir/cmake/mudp/mudpTargets.cmake" "$libdir/pkgconfig/mudp.pc"; do
    [ -e "$prefix/$f" ] || fail "$f not installed"
done
[ -L "$prefix/$libdir/libmudp.so" ] && [ -L "$prefix/$libdir/libmudp.so.1" ] || fail "soname links missing"
soname=$(objdump -p "$prefix/$libdir/libmudp.so" 2>/dev/null | awk '$1 == "SONAME" {print $2}')
[ "$soname" = libmudp.so.1 ] || fail "soname is '$soname', not libmudp.so.1"
objdump -p "$prefix/$libdir/libmudp.so" | grep -q 'NEEDED *libsodium\.so' || fail "libmudp.so does not load libsodium"

# Runs a built example; it registers with itself over 127.0.0.1.
run_example() {
    local out=$work/run.out
    timeout 60 "$@" >"$out" 2>&1 || fail "$1 exited $?"
    grep -q "^log  .*Reg Sucess" "$out" || fail "$1 did not register"
    grep -q "^server hello at 127.0.0.1:" "$out" || fail "$1 did not list its server"
    [ $failures -eq 0 ] || sed 's/^/    /' "$out"
}

echo "== find_package(mudp)"
if cmake -S "$example" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
         -DCMAKE_C_FLAGS="$cflags" -DCMAKE_EXE_LINKER_FLAGS="$cflags" >"$work/cmake.log" 2>&1 &&
   cmake --build "$work/cmake-build" >>"$work/cmake.log" 2>&1; then
    run_example "$work/cmake-build/hello"
else
    fail "the CMake build of the example failed"; cat "$work/cmake.log"
fi

echo "== pkg-config"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
[ "$(pkg-config --modversion mudp)" = 1.0.0 ] || fail "pkg-config does not report version 1.0.0"
pkg-config --print-requires-private mudp | grep -q '^libsodium' || fail "mudp.pc does not name libsodium among its private requirements"
# shellcheck disable=SC2046,SC2086 # flags are meant to split
if $cc $cflags -std=c11 -Wall -Wextra -Werror "$example/hello.c" $(pkg-config --cflags --libs mudp) \
       -o "$work/hello-pc" 2>"$work/cc.log"; then
    LD_LIBRARY_PATH=$prefix/$libdir run_example "$work/hello-pc"
    LD_LIBRARY_PATH=$prefix/$libdir ldd "$work/hello-pc" | grep -q "$prefix/$libdir/libmudp.so.1" || fail "hello-pc does not load the installed library"
else
    fail "the pkg-config build of the example failed"; cat "$work/cc.log"
fi

echo "== the installed tree can move"
mv "$prefix" "$work/moved"
PKG_CONFIG_PATH=$work/moved/$libdir/pkgconfig pkg-config --libs mudp | grep -q -- "-L$work/moved/" ||
    fail "mudp.pc does not follow a moved prefix"

[ $failures -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all passed"
