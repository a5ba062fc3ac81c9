#!/usr/bin/env bash
# Builds the project and runs every test: the GoogleTest suites through ctest,
# the Python suites with pytest on the provisioned CPython 3.14, then the
# GoogleTest suites again in an AddressSanitizer + UBSan build.
#   QL_SKIP_SANITIZER=1 tools/test.sh    skips the sanitizer pass
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/build.sh"
ctest --test-dir "$root/build" --output-on-failure -j 2
cd "$root"
"$root/.venv/bin/python" -m pytest -q tests/python "$@"

if [ -z "${QL_SKIP_SANITIZER:-}" ]; then
  QL_SANITIZE=ON QL_BUILD_TYPE=RelWithDebInfo QL_BUILD_DIR="$root/build-asan" "$root/tools/build.sh"
  ctest --test-dir "$root/build-asan" --output-on-failure -j 2
fi
