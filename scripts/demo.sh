#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds orvexconf and the controller simulator, and runs the tool's main job
# against the simulator: connect, check the firmware identity, read the FLASH
# parameter block, change a parameter, write the block back and save the
# parameters to a file. Then a run without a controller edits the sample
# parameter file shipped in params/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target orvexconf orvexsim
work="$(mktemp -d /tmp/orvexdemo.XXXXXX)"
# The demo's backups and write journal stay with its other files.
export XDG_STATE_HOME="$work/state"
build/bin/orvexsim --link "$work/port" --state "$work/controller.mem" >"$work/sim.log" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$work/port" ] && break; sleep 0.1; done
echo "=== orvexconf -rp $work/port -b Name demo-rover HostBaud 4 -s $work/demo.rop"
build/bin/orvexconf -rp "$work/port" -b Name demo-rover HostBaud 4 -s "$work/demo.rop"
echo "=== status $?; without a controller: orvexconf -n -b -r params/sample.rop TransAcc 400 -s edited.rop"
build/bin/orvexconf -n -b -r params/sample.rop TransAcc 400 -s "$work/edited.rop"
echo "=== status $?; first lines of $work/edited.rop:"
head -n 4 "$work/edited.rop"
