#!/bin/bash
# Installs what the Windows cross-build and the Wine tests need on Debian 12,
# on top of what the Linux build needs. Run as root.
set -Eeuo pipefail
source "$(dirname "$0")/lib/err-trap.sh"
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
          wine wine64 ninja-build dpkg-dev qt6-base-dev-tools zip unzip)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=900 update -qq
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
