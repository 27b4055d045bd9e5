#!/bin/bash
# fresh_machine_test.sh SOURCE_DIR: the set-up steps of scripts/windows-qt.sh
# and scripts/windows-sodium.sh as on a machine that never ran them: a new
# empty cache, and an apt of its own (APT_CONFIG) with the machine's deb
# entries but no deb-src entry, no lists and no downloads. Each script must
# get past its first steps, add the deb-src entry and stop where it would
# fetch the source (MUDP_QT_STOP / MUDP_SODIUM_STOP=fetch). They run in a
# network namespace of their own with no way out: nothing is fetched
# (.ci/run fetches and builds for real). Skips (77) when not root.
set -u
src=${1:?usage: fresh_machine_test.sh SOURCE_DIR}
skip() { echo "skipped: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }
[ "$(id -u)" -eq 0 ] || skip "needs root, as scripts/windows-qt.sh does"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
etc=$work/apt/etc
mkdir -p "$etc/sources.list.d" "$work/apt/lists/partial" "$work/apt/cache/archives/partial"

# The machine's deb entries only: no deb-src entry of its own or from an
# earlier run.
eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
[ ! -f "$list" ] || grep '^deb ' "$list" >"$etc/sources.list"
for file in "$parts"/*.list "$parts"/*.sources; do
  [ -f "$file" ] || continue
  case ${file##*/} in mudp-deb-src.*) continue ;; esac
  case $file in
    *.list) grep '^deb ' "$file" >"$etc/sources.list.d/${file##*/}" ;;
    *.sources) awk 'BEGIN { RS = ""; FS = OFS = "\n"; ORS = "\n\n" }
                    { keep = 0
                      for (i = 1; i <= NF; i++)
                        if ($i ~ /^Types:/) { keep = $i ~ /[: \t]deb([ \t]|$)/; $i = "Types: deb" }
                      if (keep) print }' "$file" >"$etc/sources.list.d/${file##*/}" ;;
  esac
done
cat >"$work/apt.conf" <<CONF
Dir::Etc::sourcelist "$etc/sources.list";
Dir::Etc::sourceparts "$etc/sources.list.d";
Dir::State::lists "$work/apt/lists";
Dir::Cache "$work/apt/cache";
CONF

export APT_CONFIG=$work/apt.conf

# check SCRIPT NAME: runs scripts/SCRIPT with a new cache $work/NAME, stopping
# at the fetch, and checks where it stopped and what it set up.
check() {
  local script=$1 name=$2 rc=0 last
  rm -f "$etc/sources.list.d"/mudp-deb-src.*
  timeout -k 10 120 unshare -n bash "$src/scripts/$script" >"$work/out" 2>"$work/err" || rc=$?
  if [ $rc -ne 0 ]; then
    cat "$work/err"
    [ $rc -ne 124 ] || fail "$script did not reach the source fetch within 120 s"
    fail "$script stopped with status $rc before the source fetch"
  fi
  last=$(tail -n1 "$work/out")
  [ "$last" = "fetch: $work/$name/src" ] || fail "$script did not stop at the source fetch: '$last'"
  [ -e "$etc/sources.list.d/mudp-deb-src.sources" ] || [ -e "$etc/sources.list.d/mudp-deb-src.list" ] \
    || fail "$script added no deb-src entry to apt's sources"
  [ ! -e "$work/$name/build" ] && [ ! -e "$work/$name/install" ] || fail "$script configured or built something"
  echo "$script set up from nothing up to the source fetch, with a deb-src entry"
}

MUDP_QT_CACHE=$work/qt MUDP_QT_STOP=fetch check windows-qt.sh qt
MUDP_SODIUM_CACHE=$work/sodium MUDP_SODIUM_STOP=fetch check windows-sodium.sh sodium
