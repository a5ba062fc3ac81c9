#!/usr/bin/env bash
# Builds the project and runs every test: the GoogleTest suites through ctest,
# then the Python suites with pytest on the provisioned CPython 3.14.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/build.sh"
ctest --test-dir "$root/build" --output-on-failure -j 2
cd "$root"
"$root/.venv/bin/python" -m pytest -q tests/python "$@"
