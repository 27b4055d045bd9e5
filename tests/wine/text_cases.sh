#!/bin/sh
# text_cases.sh LINUX_TEXT_CASES WINDOWS_TEXT_CASES: the Linux build converts
# the cases with iconv, the Windows build's converter must give the same.
set -e
cases=$(mktemp)
trap 'rm -f "$cases"' EXIT
"$1" write "$cases"
"$(dirname "$0")/run.sh" "$2" check "$cases"
