#!/usr/bin/env bash
# Provisions the toolchain (idempotent), configures and builds everything with
# CMake + Ninja, and makes the assembled packages importable from .venv.
#   tools/build.sh            release build in build/
#   QL_SANITIZE=ON QL_BUILD_DIR=build-asan tools/build.sh   sanitizer build
# Knobs: QL_BUILD_TYPE (Release), QL_SANITIZE (OFF), QL_REENTRY_CHECKS (OFF),
# QL_BUILD_TESTS (ON), QL_BUILD_DIR (build), QL_JOBS (2). Changing one
# re-configures the build dir.  QL_TARGETS (all) limits what ninja builds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${QL_BUILD_DIR:-$root/build}
case "$build_dir" in /*) ;; *) build_dir=$root/$build_dir ;; esac

"$root/tools/provision-python.sh"
# shellcheck disable=SC1091
source "$root/.venv/toolchain.sh"

configure_args=(
  -DCMAKE_BUILD_TYPE="${QL_BUILD_TYPE:-Release}"
  -DQL_SANITIZE="${QL_SANITIZE:-OFF}"
  -DQL_REENTRY_CHECKS="${QL_REENTRY_CHECKS:-OFF}"
  -DQL_BUILD_TESTS="${QL_BUILD_TESTS:-ON}"
  -DPython_EXECUTABLE="$PYTHON_EXECUTABLE"
)
# The arguments of the last successful configure; CMake keeps cached values,
# so a changed knob needs an explicit re-configure.
stamp="$build_dir/.ql-configure-args"
if [ ! -f "$build_dir/build.ninja" ] || [ "$(cat "$stamp" 2>/dev/null)" != "${configure_args[*]}" ]; then
  rm -f "$stamp"
  cmake -S "$root" -B "$build_dir" -G Ninja "${configure_args[@]}"
  printf '%s' "${configure_args[*]}" >"$stamp"
fi
# shellcheck disable=SC2086  # QL_TARGETS is a list of target names
ninja -C "$build_dir" -j "${QL_JOBS:-2}" ${QL_TARGETS:-}

# The default build is what .venv imports; other build dirs are used with PYTHONPATH.
if [ "$build_dir" = "$root/build" ]; then
  site=$("$root/.venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  echo "$build_dir/python" > "$site/quenda_loomi_build.pth"
fi
