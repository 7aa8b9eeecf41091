#!/usr/bin/env bash
# skip-reasons.sh BUILD-FOLDER: why the tests of the folder's last CTest run
# were skipped (CTest itself shows only that they were), each reason once with
# the number of tests that gave it.
set -euo pipefail
reasons=$(grep -h -A1 ': Skipped$' "$1/Testing/Temporary/LastTest.log" 2>/dev/null |
          grep -vE ': Skipped$|^--$' | sort | uniq -c || true)
if [[ -n $reasons ]]; then
    printf '\n=== Skipped in %s, and why (tests, reason):\n%s\n' "$(basename "$1")" "$reasons"
fi
