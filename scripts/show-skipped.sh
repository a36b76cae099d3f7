#!/usr/bin/env bash
# Prints each test that the last ctest run in build tree DIR skipped, with its reason.
set -euo pipefail
log="$1/Testing/Temporary/LastTest.log"
[[ -f "$log" ]] || exit 0
awk '
  /: Skipped$/ { getline reason; next }
  /^\[  SKIPPED \] / && reason != "" { print "-- skipped " $4 ": " reason; reason = "" }
' "$log" | sort -u
