#!/usr/bin/env bash
# Fails when the topic module's bindings call into Python other than through
# the helpers of python_calls.h, which check the "no Python while borrowed"
# rule and carry the re-entrancy stress hook.  A line may opt out with the
# marker `python-call-ok: <why>` (module set-up, a call on an object of our
# own, a call right after entering_python).
#   python_calls_through_helpers.sh <tessaly source folder>
set -euo pipefail
folder=$1
calls='PyObject_(Call|Vectorcall|RichCompare|IsTrue|Not|GetIter|Str|Repr|Format|GetAttr|GetItem|SetItem|SetAttr|Hash)[A-Za-z]*\(|PyIter_Next\(|PyImport_Import[A-Za-z]*\(|PyDict_(Contains|GetItemRef|GetItemWithError|SetDefault)[A-Za-z]*\(|PyNumber_|PySequence_'
found=$(grep -nE "$calls" "$folder"/*.cpp "$folder"/*.h |
  grep -vE '^[^:]*/(python_calls\.(h|cpp)|module\.cpp|reentry_probe\.cpp):' |
  grep -v 'python-call-ok' || true)
if [ -n "$found" ]; then
  echo "calls into Python outside python_calls.h:"
  echo "$found"
  exit 1
fi
echo "every call into Python of $folder goes through python_calls.h"
