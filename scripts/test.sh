#!/usr/bin/env bash
# Builds the project in the normal and the sanitizer flavour and runs the
# whole test suite in both. Pass "default" or "asan" to run one flavour.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
flavours=("${@:-default asan}")
for f in ${flavours[@]}; do
  echo "=== $f build ==="
  cmake --preset "$f" -DZY_WERROR=ON >/dev/null
  cmake --build --preset "$f"
  echo "=== $f tests ==="
  ctest --preset "$f" </dev/null
done
# Installation, package, man pages, completion, version and help.
if [ $# -eq 0 ]; then echo "=== install checks ===" && scripts/test-install.sh; fi
