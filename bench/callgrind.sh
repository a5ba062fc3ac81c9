#!/usr/bin/env bash
# Instructions per operation of the native hot paths, from callgrind (stable
# on a noisy machine): each case runs at n and 2n, the difference / n is shown.
#   bench/callgrind.sh [build-dir]     (default ./build-bench)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
probe=${1:-$root/build-bench}/bench/callgrind_probe
n=${QL_PROBE_N:-20000}
total() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$probe" "$1" "$2" 2>&1 \
    | sed -n 's/.*Collected : *\([0-9]*\).*/\1/p'
}
for case in pair64 steady mimalloc_steady match3 match8 mosquitto3 mosquitto8 get_hit absl_hit get_miss absl_miss; do
  one=$(total "$case" "$n")
  two=$(total "$case" $((2 * n)))
  printf '%-10s %8.1f instructions/op\n' "$case" "$(echo "($two - $one) / $n" | bc -l)"
done
