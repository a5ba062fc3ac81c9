#!/usr/bin/env bash
# Builds the project and runs the end-to-end walkthrough of the topic module.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/build.sh" >/dev/null
exec "$root/.venv/bin/python" "$root/examples/topic_walkthrough.py"
