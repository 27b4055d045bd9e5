#!/bin/bash
# Installs what the Windows cross-build and the Wine tests need on Debian 12,
# on top of what the Linux build needs (autoconf, automake and libtool make
# libsodium's configure script, which its Debian source leaves to the build).
# Run as root.
set -Eeuo pipefail
source "$(dirname "$0")/lib/err-trap.sh"
source "$(dirname "$0")/lib/apt-install.sh"
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
apt_install_missing --no-install-recommends -- g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
  binutils-mingw-w64-x86-64 wine wine64 ninja-build dpkg-dev qt6-base-dev-tools zip unzip \
  autoconf automake libtool make
