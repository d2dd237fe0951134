#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sources the orvexconf bash completion (the script given as $1) and calls
# its function as bash would, checking what it offers.
set -uo pipefail
script=$1
# shellcheck disable=SC1090
source "$script" || { echo "FAIL: cannot source $script"; exit 1; }
failures=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
touch a.rop b.rop c.mot d.blk d.txt e.hex f.bin
mkdir sub

# complete WORDS...: the last word is the one being completed.
complete_line() {
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _orvexconf
  printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//'
}

expect() {
  local want=$1
  shift
  local got
  got=$(complete_line "$@")
  if [ "$got" != "$want" ]; then
    echo "FAIL: '$*' offers '$got', want '$want'"
    failures=$((failures + 1))
  fi
}

expect_has() {
  local want=$1
  shift
  local got
  got=" $(complete_line "$@") "
  if [[ $got != *" $want "* ]]; then
    echo "FAIL: '$*' offers '$got', lacks '$want'"
    failures=$((failures + 1))
  fi
}

expect "-robotBaud -robotPort" orvexconf -ro
expect_has "-version" orvexconf -
expect_has "--version" orvexconf --v
expect_has "-restoreBlock" orvexconf -b -
expect "a.rop b.rop sub" orvexconf -r ""
expect "a.rop b.rop sub" orvexconf -saveToFile ""
expect "d.blk sub" orvexconf -restoreBlock ""
expect "sub" orvexconf --backup-dir ""
expect_has "--dismiss-unfinished" orvexconf -b --d
expect "HostBaud" orvexconf --backup-dir sub --dismiss-unfinished HOSTB
expect "c.mot e.hex f.bin sub" orvexconf -u ""
expect "c.mot e.hex f.bin sub" orvexconf -B -MOT ""
expect "" orvexconf -u f.bin --base ""
expect_has "Name" orvexconf -u f.bin --base 0x8000 --no-verify ""
expect "115200 19200 38400 57600 9600" orvexconf -rb ""
expect "115200" orvexconf --robotBaud 11
# Keywords after the options, in any letter case, and none in a value's place.
expect "HostBaud" orvexconf -b host
expect "HostBaud" orvexconf -rp /dev/ttyUSB0 -b Name Rover7 HOSTB
expect "" orvexconf -b HostBaud ""
expect "" orvexconf -b DriftFactor -
expect_has "Ticks/mm" orvexconf -n ti
expect_has "ticksmm" orvexconf -n ti
expect_has "Aux24V" orvexconf -n aux2
# --diff: two parameter sets, either one "-" for the controller; --export:
# a format, then a file; keywords after them and after --check.
expect "- a.rop b.rop d.blk sub" orvexconf --diff ""
expect "a.rop b.rop d.blk sub" orvexconf --diff - ""
expect "json yaml" orvexconf --export ""
expect "sub" orvexconf --export yaml ""
expect "HostBaud" orvexconf -n --export json x.json HOSTB
expect_has "--history" orvexconf --h
expect_has "Name" orvexconf -b --check ""
# Ports: whatever of the usual devices exists on this machine.
want=""
for p in /dev/serial/by-id/* /dev/ttyUSB* /dev/ttyACM* /dev/ttyS*; do
  [ -e "$p" ] && want="$want $p"
done
want=$(printf '%s\n' $want | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')
expect "$want" orvexconf -rp ""
# Ports across the network: the URL schemes after a letter.
expect "rfc2217:// rfc2217s://" orvexconf -rp rf
expect "socket:// sockets://" orvexconf --robotPort so
complete -p orvexconf | grep -q -- '-F _orvexconf' || { echo "FAIL: not registered"; failures=$((failures + 1)); }

if [ $failures -ne 0 ]; then
  echo "$failures completion check(s) failed"
  exit 1
fi
echo "completion checks passed"
