#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Tests scripts/check-includes.sh: it passes the source tree, and it refuses
# a scratch tree with relative includes, naming each file and line.
set -uo pipefail
src=${1:?usage: include_check_test.sh source-root}
check="$src/scripts/check-includes.sh"
status=0
"$check" "$src" || { echo "FAIL: the source tree has an #include by relative path"; status=1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/tool" "$scratch/tests/lib"
printf '// ok\n#include "ZyRobot.h"\n#include <vector>\n' >"$scratch/tool/Fine.cpp"
printf '// bad\n#include "ZyLog.h"\n#include "../robot/ZyRobot.h"\n' >"$scratch/tool/Bad.cpp"
printf '  #  include <../base/ZyLog.h>\n' >"$scratch/tests/lib/bad.h"
out=$("$check" "$scratch" 2>&1)
rc=$?
[ $rc -eq 1 ] || { echo "FAIL: status $rc for relative includes, expected 1"; status=1; }
for want in 'tool/Bad.cpp:3:#include "../robot/ZyRobot.h"' 'tests/lib/bad.h:1:'; do
  grep -qF "$want" <<<"$out" || { echo "FAIL: '$want' not named in:"; echo "$out"; status=1; }
done
grep -q 'Fine.cpp' <<<"$out" && { echo "FAIL: a plain include was refused"; status=1; }
[ $status -eq 0 ] && echo "include check passes the tree and refuses relative includes"
exit $status
