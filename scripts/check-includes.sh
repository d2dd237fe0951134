#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Refuses any #include whose name holds "..": a header reached by relative
# path compiles whatever the layer, so it would get round the rule that a
# layer sees only its own folder and the layers below it. Each offending
# line is named as file:line. Usage: check-includes.sh [source-root]
# (default: the tree this script is in).
set -uo pipefail
root=${1:-"$(dirname "$0")/.."}
cd "$root" || { echo "check-includes: cannot enter '$root'" >&2; exit 2; }
dirs=()
for d in lib tool sim tests bench fuzz examples; do
  [ -d "$d" ] && dirs+=("$d")
done
[ ${#dirs[@]} -gt 0 ] || { echo "check-includes: no source folders under '$root'" >&2; exit 2; }
found=$(grep -rnE --include='*.h' --include='*.hpp' --include='*.cpp' --include='*.c' \
  --include='*.in' '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"][^>"]*\.\.' "${dirs[@]}")
if [ -n "$found" ]; then
  echo "$found"
  echo "check-includes: an #include by relative path (with '..') gets round the layers;" \
       "include the header by its name alone and link the layer that owns it" >&2
  exit 1
fi
echo "check-includes: no #include by relative path in ${dirs[*]}"
