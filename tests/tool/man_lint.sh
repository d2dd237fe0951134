#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks man pages with groff's and man's warnings on: any warning fails.
# A page may be compressed (NAME.1.gz, as installed).
set -uo pipefail
status=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for given in "$@"; do
  page=$given
  if [[ $given == *.gz ]]; then
    page=$work/$(basename "$given" .gz)
    if ! gzip -dc "$given" >"$page" 2>/dev/null; then
      echo "FAIL: $given is no gzip file"
      status=1
      continue
    fi
  fi
  if [ ! -s "$page" ]; then
    echo "FAIL: $given missing or empty"
    status=1
    continue
  fi
  out=$(groff -ww -z -t -man "$page" 2>&1)
  if [ -n "$out" ]; then
    echo "FAIL: groff warns about $given:"
    echo "$out"
    status=1
  fi
  if command -v man >/dev/null; then
    out=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    if [ -n "$out" ]; then
      echo "FAIL: man warns about $given:"
      echo "$out"
      status=1
    fi
  fi
  # Every section a reader looks for is there.
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES; do
    grep -q "^\.SH \"\?$section\"\?\$" "$page" || { echo "FAIL: $given lacks $section"; status=1; }
  done
done
[ $status -eq 0 ] && echo "man pages clean: $*"
exit $status
