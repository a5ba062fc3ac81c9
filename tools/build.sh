#!/usr/bin/env bash
# Provisions the toolchain (idempotent), configures and builds everything with
# CMake + Ninja, and makes the assembled packages importable from .venv.
#   tools/build.sh            release build in build/
#   QL_SANITIZE=ON QL_BUILD_DIR=build-asan tools/build.sh   sanitizer build
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${QL_BUILD_DIR:-$root/build}
case "$build_dir" in /*) ;; *) build_dir=$root/$build_dir ;; esac

"$root/tools/provision-python.sh"
# shellcheck disable=SC1091
source "$root/.venv/toolchain.sh"

build_type=${QL_BUILD_TYPE:-Release}
sanitize=${QL_SANITIZE:-OFF}
if [ ! -f "$build_dir/build.ninja" ]; then
  cmake -S "$root" -B "$build_dir" -G Ninja \
    -DCMAKE_BUILD_TYPE="$build_type" -DQL_SANITIZE="$sanitize" \
    -DPYTHON_INCLUDE_DIRS="$PYTHON_INCLUDE_DIRS" -DPYTHON_EXT_SUFFIX="$PYTHON_EXT_SUFFIX"
fi
ninja -C "$build_dir" -j "${QL_JOBS:-2}"

# The default build is what .venv imports; other build dirs are used with PYTHONPATH.
if [ "$build_dir" = "$root/build" ]; then
  site=$("$root/.venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  echo "$build_dir/python" > "$site/quenda_loomi_build.pth"
fi
