#!/usr/bin/env bash
# man_test.sh MAN_DIR - every page renders with no warning from the formatter.
set -euo pipefail
status=0
for page in "$1"/*.[0-9]; do
  out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  if [[ -n $out ]]; then echo "$page:"; echo "$out"; status=1; fi
  text=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
  grep -q '^NAME' <<<"$text" || { echo "$page: no NAME section"; status=1; }
done
exit $status
