#!/usr/bin/env bash
# Builds the project and runs the end-to-end walkthrough of the topic module,
# then the event bus walkthrough: a local mosquitto broker, two workers in a
# group, one more subscriber, a few published events and who handled them;
# then the same bus over a local 3-node NATS cluster with a node killed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/build.sh" >/dev/null
"$root/.venv/bin/python" "$root/examples/topic_walkthrough.py"
echo
echo "== Event bus over mosquitto"
"$root/.venv/bin/python" "$root/examples/bus_walkthrough.py"
echo
echo "== Event bus over a 3-node NATS cluster, one node killed mid-stream"
if "$root/.venv/bin/python" -c 'import quenda_loomi.bus.nats.transport' 2>/dev/null && command -v nats-server >/dev/null; then
  "$root/.venv/bin/python" "$root/examples/nats_walkthrough.py"
else
  echo "(skipped: nats-server or libnats-dev is not installed)"
fi
