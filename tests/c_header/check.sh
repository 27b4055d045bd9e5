#!/bin/sh
# check.sh CC STD INCLUDE_DIR: the header compiles warning-free with
# -pedantic-errors as STD, and a false MUDP_STATIC_ASSERT is an error there.
cc=$1 std=$2 include=$3
flags="-std=$std -pedantic-errors -Wall -Wextra -Werror -fsyntax-only -I$include -x c -"
printf '#include <mudp.h>\n#include <mudp.h>\n' | $cc $flags || exit 1
if printf '#include <mudp.h>\nMUDP_STATIC_ASSERT(sizeof(PEERINFO) == 1, "false");\n' \
     | $cc $flags 2>/dev/null; then
  echo "a false assertion compiled as $std" >&2
  exit 1
fi
echo "header ok as $std"
