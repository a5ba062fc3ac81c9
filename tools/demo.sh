#!/usr/bin/env bash
# Builds the project and runs the end-to-end walkthrough of the topic module,
# then the event bus walkthrough: a local mosquitto broker, two workers in a
# group, one more subscriber, a few published events and who handled them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/build.sh" >/dev/null
"$root/.venv/bin/python" "$root/examples/topic_walkthrough.py"
echo
echo "== Event bus over mosquitto"
exec "$root/.venv/bin/python" "$root/examples/bus_walkthrough.py"
