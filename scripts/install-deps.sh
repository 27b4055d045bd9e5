#!/bin/bash
# Installs what building, testing and the demo need on Debian 12. Run as root.
set -Eeuo pipefail
source "$(dirname "$0")/lib/err-trap.sh"
packages=(cmake g++ make pkg-config qt6-base-dev libgtest-dev clang libclang-rt-14-dev
          iproute2 iptables tshark libglib2.0-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
