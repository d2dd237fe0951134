#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs an example client (that of liborvex, examples/orvex_client.cpp, or
# that of the Python module, examples/orvex_example.py) on the sample
# parameter file and
# firmware image and holds it to what orvexconf itself does without a
# controller: the file it saves is the one orvexconf -n -s saves for the
# same change, the digest it prints is the one orvexconf prints, and a
# misspelt keyword or a malformed image ends with orvexconf's status and
# words. Usage: run_orvex_example.sh CLIENT ORVEXCONF PARAMS-DIRECTORY
set -uo pipefail
client=${1:?client}
tool=${2:?orvexconf}
params=${3:?directory holding sample.rop and sample.mot}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*"
  exit 1
}
cd "$work" || fail "no scratch folder"

out=$("$client" "$params/sample.rop" HostBaud 4 client.rop "$params/sample.mot" 2>&1)
status=$?
echo "$out"
[ $status -eq 0 ] || fail "the client ended with status $status"
grep -qx "Changed HostBaud: 0 -> 4" <<<"$out" || fail "no change listed"
"$tool" -n -b -r "$params/sample.rop" HostBaud 4 -s tool.rop >tool.out 2>&1 ||
  fail "orvexconf -n -s: $(cat tool.out)"
cmp client.rop tool.rop || fail "the client's file differs from the one orvexconf saves"
want=$("$tool" -n -b -u "$params/sample.mot" | grep '^SHA-256 of the bytes to write: ')
[ -n "$want" ] || fail "orvexconf printed no digest"
grep -qxF "$want" <<<"$out" || fail "the client's digest is not orvexconf's: $want"

status=0
err=$("$client" "$params/sample.rop" HostBuad 4 other.rop "$params/sample.mot" 2>&1 >/dev/null) ||
  status=$?
[ $status -eq 7 ] || fail "a misspelt keyword ended with $status, not 7: $err"
grep -qF "Unknown keyword 'HostBuad' (did you mean 'HostBaud'?)." <<<"$err" ||
  fail "no hint for the misspelt keyword: $err"
[ ! -e other.rop ] || fail "a refused change saved a file"

printf 'S1\nS9030000FC\n' >bad.mot
status=0
err=$("$client" "$params/sample.rop" HostBaud 4 third.rop bad.mot 2>&1 >/dev/null) || status=$?
"$tool" -n -b -u bad.mot >/dev/null 2>&1
toolStatus=$?
[ $status -eq $toolStatus ] && [ $status -eq 5 ] ||
  fail "a malformed image ended with $status, orvexconf with $toolStatus: $err"
grep -qF "at bad.mot line 1" <<<"$err" || fail "the failure names no line: $err"
echo "orvex example client: saves, digests and fails as orvexconf does"
