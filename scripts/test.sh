#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Refuses any #include by relative path, then builds the project in the
# normal, the sanitizer (ASan+UBSan) and the ThreadSanitizer flavour,
# warnings as errors, and runs the test suite in each; then checks the
# installed tool and library and runs every fuzz target briefly. Pass
# "default", "asan" or "tsan" to run one flavour alone.
# Each flavour has build directories of its own (build-ci, build-ci-asan,
# build-tsan), so this script and scripts/demo.sh (build/) never make each
# other rebuild. ctest runs two tests at a time; the timing-bound ones (pty
# peers, simulator, signals, end-to-end runs) one after another.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
started=$SECONDS
# No #include by relative path anywhere (ctest runs this check too).
scripts/check-includes.sh

# The normal flavour.
run_default() {
  echo "=== default build (build-ci) ==="
  cmake --preset ci >/dev/null
  cmake --build --preset ci
  echo "=== default tests ==="
  ctest --preset ci </dev/null
}

# The sanitizer flavour: AddressSanitizer and UndefinedBehaviorSanitizer.
run_asan() {
  echo "=== asan build (build-ci-asan) ==="
  cmake --preset ci-asan >/dev/null
  cmake --build --preset ci-asan
  echo "=== asan tests ==="
  ctest --preset ci-asan </dev/null
}

# The thread flavour: ThreadSanitizer over the library's threaded tests.
run_tsan() {
  echo "=== tsan build and tests (build-tsan) ==="
  scripts/test-tsan.sh </dev/null
}

flavours=("${@:-default asan tsan}")
for f in ${flavours[@]}; do
  case "$f" in
    default) run_default ;;
    asan) run_asan ;;
    tsan) run_tsan ;;
    *) echo "test.sh: unknown flavour '$f' (default, asan, tsan)" >&2; exit 2 ;;
  esac
done
# With no flavour named, the checks of the installed tool and library
# (install, package, man pages, completion, version and help) too,
# and every fuzz target for a short run on its corpus.
if [ $# -eq 0 ]; then
  echo "=== install checks ==="
  scripts/test-install.sh
  echo "=== fuzz targets, 20 s each ==="
  scripts/fuzz.sh 20
fi
echo "=== all done in $((SECONDS - started)) s ==="
