#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, in build-fuzz/) and runs each one for the
# given number of seconds on its seed corpus, with its dictionary, a
# per-input time-out and leak detection. Any crash, leak, time-out or
# sanitizer report fails the run and prints the input that caused it.
# A fuzz target keeps one processor busy: as many run at once as there are
# processors (FUZZ_JOBS=N to choose), each for the whole time given.
#
#   scripts/fuzz.sh              every target for 600 s (before a release)
#   scripts/fuzz.sh 20           every target for 20 s (the test suite's run)
#   scripts/fuzz.sh 60 fuzz_shell fuzz_srecord_file    only these targets
#
# Inputs the fuzzer finds interesting are kept in build-fuzz/corpus/ (not
# checked in); findings go to build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "usage: scripts/fuzz.sh [seconds] [target...]" >&2
  exit 2
fi
scripts/deps.sh

build="build-fuzz"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZY_FUZZ=ON -DZY_TESTS=OFF -DZY_BENCH=OFF >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in fuzz/fuzz_*.cpp; do
    targets+=("$(basename "$src" .cpp)")
  done
fi
cmake --build "$build" --target "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
jobs=${FUZZ_JOBS:-$(nproc)}
if ! [[ "$jobs" =~ ^[0-9]+$ ]] || [ "$jobs" -eq 0 ]; then
  echo "fuzz.sh: FUZZ_JOBS must be a number of targets to run at once, not '$jobs'" >&2
  exit 2
fi
mkdir -p "$build/findings"

# One target for the time given (run in the background: a stop request,
# SIGTERM, stops the fuzzer too); its exit status goes to findings/T.status.
fuzz_one() {
  local t=$1
  local seeds=fuzz/corpus/$t
  local work=$build/corpus/$t
  mkdir -p "$work" "$seeds"
  local dict=()
  [ -f "fuzz/dict/$t.dict" ] && dict=(-dict="fuzz/dict/$t.dict")
  "$build/bin/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -detect_leaks=1 -print_final_stats=1 "${dict[@]}" \
    -artifact_prefix="$build/findings/$t-" "$work" "$seeds" >"$build/findings/$t.log" 2>&1 &
  local fuzzer=$!
  trap 'kill "$fuzzer" 2>/dev/null' TERM
  local status=0
  wait "$fuzzer" || status=$?
  echo "$status" >"$build/findings/$t.status"
}

# The targets still running are stopped when the script ends early.
running=()
stop_running() {
  for pid in "${running[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
}
trap stop_running EXIT

for t in "${targets[@]}"; do
  rm -f "$build/findings/$t"-* "$build/findings/$t.status"
done
for t in "${targets[@]}"; do
  if [ ${#running[@]} -ge "$jobs" ]; then
    wait -n || true
    still=()
    for pid in "${running[@]}"; do
      kill -0 "$pid" 2>/dev/null && still+=("$pid")
    done
    running=("${still[@]}")
  fi
  echo "=== $t: ${seconds} s ==="
  fuzz_one "$t" &
  running+=("$!")
done
wait
running=()

failed=()
summary=()
for t in "${targets[@]}"; do
  log=$build/findings/$t.log
  status=$(cat "$build/findings/$t.status" 2>/dev/null || echo "?")
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2 || true)
  summary+=("$(printf '%-24s %10s runs %7s exec/s  cov %s' "$t" "${runs:-?}" "${speed:-?}" "${cov:-?}")")
  if [ "$status" != 0 ]; then
    failed+=("$t")
    echo "--- $t FAILED (status $status); the end of its log:"
    tail -n 60 "$log"
    for f in "$build/findings/$t"-*; do
      [ -f "$f" ] || continue
      echo "--- reproducer $f ($(stat -c %s "$f") bytes), as hexadecimal:"
      od -An -tx1 -v "$f" | head -n 40
      echo "--- run it again with: $build/bin/$t $f"
    done
  fi
done
echo "=== fuzzing summary ==="
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "no findings"
