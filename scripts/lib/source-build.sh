# Sourced by the scripts that cross-build a Debian source package into a
# cache folder outside the checkout (windows-qt.sh, windows-sodium.sh), with
# `label` set to what they build, for messages ("Qt", "libsodium"). The
# cache holds src/ (the unpacked source, marked .unpacked), build/, the logs
# and install/, which is finished when it holds the stamp .complete.

# start_cached_build CACHE STOP_VARIABLE: sets cache (absolute, as the caller
# meant it), prefix, stamp and stop (the value of STOP_VARIABLE: empty,
# "fetch" or "unpacked"), goes to the checkout, installs the cross tool chain
# unless stopping early, and when the cache is finished prints its prefix
# and ends the script.
start_cached_build() {
  cache=$(realpath -m "$1")
  prefix=$cache/install
  stamp=$prefix/.complete
  stop=${!2:-}
  case $stop in
    '' | fetch | unpacked) ;;
    *) echo "$0: unknown $2=$stop (only 'fetch' or 'unpacked')" >&2; exit 2 ;;
  esac
  cd "$(dirname "$0")/.."
  [ -n "$stop" ] || bash scripts/windows-deps.sh >&2
  if [ -f "$stamp" ]; then
    echo "$prefix"
    exit 0
  fi
}

# unpack_source PACKAGE: sets source_dir to PACKAGE's unpacked source: the
# one an interrupted run left, or a fresh one (after adding a deb-src entry
# if apt has none). Ends the script where $stop says.
unpack_source() {
  find_source "$1"
  if [ -z "$source_dir" ]; then
    ensure_deb_src
    if [ "$stop" = fetch ]; then
      echo "fetch: $cache/src"
      exit 0
    fi
    fetch_source "$1"
  fi
  if [ "$stop" = unpacked ]; then
    echo "unpacked: $source_dir"
    exit 0
  fi
}

# stage NAME COMMAND...: runs one step of the build with its output in
# $cache/NAME.log, of which the end is shown when the step fails.
stage() {
  local name=$1
  shift
  "$@" >"$cache/$name.log" 2>&1 && return 0
  tail -n 60 "$cache/$name.log" >&2
  echo "$0: $label's $name step failed; the whole log is $cache/$name.log" >&2
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
    echo "$0: apt has no Debian entry ($parts/debian.sources or deb lines in $list) to add a deb-src entry for" >&2
    return 1
  fi
}

# find_source PACKAGE: sets source_dir to the folder of PACKAGE's source that
# an earlier, interrupted run unpacked into $cache/src, or to nothing.
find_source() {
  source_dir=
  [ -f "$cache/src/.unpacked" ] || return 0
  source_dir=$(find "$cache/src" -mindepth 1 -maxdepth 1 -type d -name "$1-*" -print -quit)
}

# fetch_source PACKAGE: fetches PACKAGE's source afresh into $cache/src (with
# current package lists: a version that has left the mirror cannot be
# fetched) and sets source_dir to the folder it unpacked into.
fetch_source() {
  local package=$1
  apt-get -o DPkg::Lock::Timeout=900 update -qq
  rm -rf "$cache/src" "$cache/build"
  mkdir -p "$cache/src"
  cd "$cache/src"
  stage source apt-get source -qq "$package"
  cd "$OLDPWD"
  source_dir=$(find "$cache/src" -mindepth 1 -maxdepth 1 -type d -name "$package-*" -print -quit)
  if [ -z "$source_dir" ]; then
    echo "$0: apt-get source unpacked no $package-* folder in $cache/src" >&2
    return 1
  fi
  touch "$cache/src/.unpacked"
}
