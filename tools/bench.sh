#!/usr/bin/env bash
# Installs the benchmark peers (Debian packages, only when one is missing),
# provisions the toolchain, builds the benchmark tree in ./build-bench and
# runs the whole suite, printing one table of ratios grouped by area.
#   tools/bench.sh                   full run (about 9 minutes on a shared 2-core
#                                    machine: python ~3, index ~4 with N up to 1M,
#                                    native ~0.5, memory ~0.3, pipeline ~0.2; the bus rows,
#                                    when bench/bus_rows.py is present, add their own
#                                    broker runs)
#   tools/bench.sh --quick           smaller counts, for development (under a minute)
#   tools/bench.sh --chart out.svg   also writes the table as an SVG chart: one bar per
#                                    row, right of 1x = better for us, target ticked
#   tools/bench.sh --only index      one component (native, python, memory, index,
#                                    pipeline, bus when bench/bus_rows.py exists); repeatable
# The build tree is configured with -DQL_BUILD_BENCH_SUITE=ON and no tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${QL_BENCH_BUILD_DIR:-$root/build-bench}

peers=(libbenchmark-dev libmimalloc-dev libjemalloc-dev libabsl-dev libmosquitto-dev)
missing=()
for p in "${peers[@]}"; do
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)" = installed ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "[bench] installing ${missing[*]}" >&2
  as_root=(); [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update -q >&2
  "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
fi

# The JavaScript topic matcher the subscription index is compared with comes
# from npm, pinned by bench/js/package-lock.json.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "[bench] installing nodejs npm" >&2
  as_root=(); [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update -q >&2
  "${as_root[@]}" apt-get install -y -q --no-install-recommends nodejs npm >&2
fi
if [ ! -d "$root/bench/js/node_modules/qlobber" ]; then
  echo "[bench] npm ci in bench/js" >&2
  npm ci --prefix "$root/bench/js" --no-audit --no-fund >&2
fi

"$root/tools/provision-python.sh" >&2  # its KEY=VALUE lines would mix into the table
# shellcheck disable=SC1091
source "$root/.venv/toolchain.sh"
cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQL_BUILD_BENCH_SUITE=ON -DQL_BUILD_TESTS=OFF -DPython_EXECUTABLE="$PYTHON_EXECUTABLE" >&2
ninja -C "$build_dir" -j "${QL_JOBS:-2}" >&2

exec "$root/.venv/bin/python" "$root/bench/run.py" --build-dir "$build_dir" "$@"
