#!/usr/bin/env bash
# Fails when an object file of an extension module references a C-API
# symbol (Py*, _Py*) outside the allowlist of functions that run no Python
# code: every call that can run Python goes through the unit of
# support/python/python_calls.h, whose own object is not listed here.
#   python_calls_only_in_unit.sh <nm> <allowlist> <object>...
set -euo pipefail
nm_tool=$1 allowlist=$2
shift 2
mapfile -t allowed < <(sed -e 's/#.*//' -e 's/[[:space:]]//g' "$allowlist" | grep -v '^$')
[ "${#allowed[@]}" -gt 0 ] || { echo "empty allowlist $allowlist"; exit 1; }
[ "$#" -gt 0 ] || { echo "no object files given"; exit 1; }
failed=0
for object in "$@"; do
  # A list that did not expand, or nm failing, must fail the check, not pass it empty.
  undefined=$("$nm_tool" -u "$object") || { echo "cannot read $object"; exit 1; }
  for symbol in $(awk '{print $NF}' <<<"$undefined" | grep -E '^_?Py' | sort -u); do
    ok=0
    for pattern in "${allowed[@]}"; do
      # shellcheck disable=SC2053  # the pattern is a glob on purpose
      if [[ $symbol == $pattern ]]; then ok=1; break; fi
    done
    if [ "$ok" = 0 ]; then
      echo "${object#*CMakeFiles/}: $symbol may run Python code: call it through support/python/python_calls.h"
      failed=1
    fi
  done
done
[ "$failed" = 0 ] && echo "$# object files reference only C-API functions that run no Python code"
exit "$failed"
