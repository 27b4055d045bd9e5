#!/bin/sh
# Runs a Windows program under Wine. MUDP_WINE_DLLS lists, colon-separated,
# the folders of the DLLs it needs (Qt, libsodium, the MinGW runtime);
# WINEPREFIX is the Wine prefix to use.
wine_path=
old_ifs=$IFS
IFS=:
for dir in $MUDP_WINE_DLLS; do
  wine_path="$wine_path${wine_path:+;}Z:$(printf '%s' "$dir" | tr / '\\')"
done
IFS=$old_ifs
WINEPATH=$wine_path WINEDEBUG=${WINEDEBUG:--all} exec wine "$@"
