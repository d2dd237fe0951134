#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the example client against a simulator started for it: prints the
# client's output and fails unless it connected, named the simulated robot
# and disconnected. Usage: run_example.sh CLIENT ORVEXSIM ZYLA-DIRECTORY
set -uo pipefail
client=${1:?client}
sim=${2:?orvexsim}
export ZYLA=${3:?directory holding params/}
work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
"$sim" --link "$work/robot" >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -e "$work/robot" ] && break; sleep 0.1; done
[ -e "$work/robot" ] || { echo "FAIL: orvexsim did not start: $(cat "$work/sim.out")"; exit 1; }
out=$(timeout 60 "$client" "$work/robot" 2>&1)
status=$?
echo "$out"
[ $status -eq 0 ] || { echo "FAIL: the client ended with status $status"; exit 1; }
grep -q "^Connected to robot '.*': type .*, subtype marlock-sim$" <<<"$out" ||
  { echo "FAIL: no identity of the simulated robot"; exit 1; }
grep -q '^Disconnected\.$' <<<"$out" || { echo "FAIL: did not disconnect"; exit 1; }
echo "example client: connected, identified and disconnected"
