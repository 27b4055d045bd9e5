# Sourced by the dependency scripts: apt_install_missing [APT-OPTION...] --
# PACKAGE... installs those of the packages that are not installed, after
# refreshing the package lists (a fresh machine may have none, or old ones
# naming versions the mirror no longer has). Waits for another apt or dpkg
# run to finish rather than failing on its lock.
apt_install_missing() {
  local options=() missing=() p status
  while [ $# -gt 0 ] && [ "$1" != -- ]; do options+=("$1"); shift; done
  shift
  for p in "$@"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null) || status=
    [ "$status" = "install ok installed" ] || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=900 update -qq
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq "${options[@]}" "${missing[@]}" >/dev/null
}
