#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks man pages with groff's and man's warnings on: any warning fails.
set -uo pipefail
status=0
for page in "$@"; do
  if [ ! -s "$page" ]; then
    echo "FAIL: $page missing or empty"
    status=1
    continue
  fi
  out=$(groff -ww -z -t -man "$page" 2>&1)
  if [ -n "$out" ]; then
    echo "FAIL: groff warns about $page:"
    echo "$out"
    status=1
  fi
  if command -v man >/dev/null; then
    out=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    if [ -n "$out" ]; then
      echo "FAIL: man warns about $page:"
      echo "$out"
      status=1
    fi
  fi
  # Every section a reader looks for is there.
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES; do
    grep -q "^\.SH \"\?$section\"\?\$" "$page" || { echo "FAIL: $page lacks $section"; status=1; }
  done
done
[ $status -eq 0 ] && echo "man pages clean: $*"
exit $status
