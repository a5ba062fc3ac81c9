#!/usr/bin/env bash
# Fails when a library or module references anything that can raise or route a
# C++ exception: the standard library's out-of-line members (which throw on
# exhaustion or misuse), operator new/delete, or the unwinder.  The block
# allocator, the byte map and the base-library stand-in are called from C and
# from Python, where an exception would end the process.
#   no_throwing_calls.sh <nm> <library or module>...
set -euo pipefail
nm=$1
shift
status=0
for library in "$@"; do
  dynamic=()
  case "$library" in *.so) dynamic=(-D) ;; esac
  found=$("$nm" -C "${dynamic[@]}" --undefined-only "$library" |
    grep -E ' U (std::|operator new|operator delete|__cxa_(throw|rethrow|allocate_exception|begin_catch|end_catch)|_Unwind_)' | sort -u || true)
  if [ -n "$found" ]; then
    echo "$library references code that can throw:"
    echo "$found"
    status=1
  else
    echo "$library: no throwing references"
  fi
done
exit $status
