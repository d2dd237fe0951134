#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Refuses any #include by relative path, then builds the project in the
# normal, the sanitizer (ASan+UBSan) and the ThreadSanitizer flavour,
# warnings as errors, and runs the test suite in each; then checks the
# installed tool and library and runs every fuzz target briefly. Pass
# "default", "asan" or "tsan" to run one flavour alone.
# Each flavour has build directories of its own (build-ci, build-ci-asan,
# build-tsan), so this script and scripts/demo.sh (build/) never make each
# other rebuild. ctest runs the tests side by side, as many at once as the
# presets' jobs allow: nearly all of them wait (pty peers, the simulator,
# the tool's fixed pauses) rather than compute; the few that check short
# deadlines on the wall clock run alone (see the test section of
# CMakeLists.txt). Each phase prints the time it took, and the end a table
# of them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
started=$SECONDS
times=()

# Runs one phase (a name, then the command) and notes how long it took.
phase() {
  local name=$1
  shift
  echo "=== $name ==="
  local begun=$SECONDS
  "$@"
  times+=("$(printf '%-28s %4d s' "$name" $((SECONDS - begun)))")
}

build_preset() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
}

# No #include by relative path anywhere (ctest runs this check too).
scripts/check-includes.sh

# The normal flavour.
run_default() {
  phase "default build (build-ci)" build_preset ci
  phase "default tests" ctest --preset ci </dev/null
}

# The sanitizer flavour: AddressSanitizer and UndefinedBehaviorSanitizer.
run_asan() {
  phase "asan build (build-ci-asan)" build_preset ci-asan
  phase "asan tests" ctest --preset ci-asan </dev/null
}

# The thread flavour: ThreadSanitizer over the library's threaded tests.
run_tsan() {
  phase "tsan build and tests" scripts/test-tsan.sh </dev/null
}

if [ $# -eq 0 ]; then
  flavours=(default asan tsan)
else
  flavours=("$@")
fi
for f in "${flavours[@]}"; do
  case "$f" in
    default) run_default ;;
    asan) run_asan ;;
    tsan) run_tsan ;;
    *) echo "test.sh: unknown flavour '$f' (default, asan, tsan)" >&2; exit 2 ;;
  esac
done
# With no flavour named, the checks of the installed tool and library
# (install, package, man pages, completion, version and help) too,
# and every fuzz target for a short run on its corpus, as many at once as
# there are processors.
if [ $# -eq 0 ]; then
  phase "install checks" scripts/test-install.sh
  phase "fuzz targets, 20 s each" scripts/fuzz.sh 20
fi
echo "=== times ==="
printf '%s\n' "${times[@]}"
echo "=== all done in $((SECONDS - started)) s ==="
