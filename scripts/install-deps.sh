#!/bin/bash
# Installs what building, testing and the demo need on Debian 12. Run as root.
# dpkg-dev unpacks Debian source packages, which the Windows set-up check of
# the suite (tests/windows_setup) does. libsodium-dev serves the secure
# channel (src/secure).
set -Eeuo pipefail
source "$(dirname "$0")/lib/err-trap.sh"
source "$(dirname "$0")/lib/apt-install.sh"
apt_install_missing -- cmake g++ make pkg-config qt6-base-dev libgtest-dev clang libclang-rt-14-dev \
  iproute2 iptables tshark libglib2.0-dev dpkg-dev libsodium-dev
