#!/usr/bin/env bash
# Builds the project and runs every test: the GoogleTest suites through ctest,
# the Python suites with pytest on the provisioned CPython 3.14, then, in an
# AddressSanitizer + UBSan build, the GoogleTest suites and the Python suites
# again (once per default-protocol mode: pooled, plain heap, locked pool).
#   QL_SKIP_SANITIZER=1 tools/test.sh    skips the sanitizer pass
# Extra arguments go to the first pytest run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/build.sh"
ctest --test-dir "$root/build" --output-on-failure -j 2
cd "$root"
"$root/.venv/bin/python" -m pytest -q -p no:cacheprovider tests/python "$@"

if [ -z "${QL_SKIP_SANITIZER:-}" ]; then
  sanitizer_start=$SECONDS
  QL_SANITIZE=ON QL_BUILD_TYPE=RelWithDebInfo QL_BUILD_DIR="$root/build-asan" "$root/tools/build.sh"
  ctest --test-dir "$root/build-asan" --output-on-failure -j 2

  # The interpreter is not instrumented, so the sanitizer runtime has to be
  # the first library it loads: preload g++'s.  Leak detection stays off, as
  # the interpreter keeps much of its own memory until exit by design.
  asan_runtime=$(g++ -print-file-name=libasan.so)
  sanitized_python() {
    env PYTHONPATH="$root/build-asan/python" LD_PRELOAD="$asan_runtime" \
      ASAN_OPTIONS="detect_leaks=0" \
      UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
      "$root/.venv/bin/python" "$@"
  }
  # Refuse to report a sanitizer pass that silently ran the release modules
  # or no sanitizer at all.
  sanitized_python - "$root/build-asan/python" <<'PY'
import sys
import quenda_loomi.capi.tessaly as topics
import quenda_loomi.base.durrowmere_skalvotin as config
with open("/proc/self/maps") as maps:
    runtime = any("libasan" in line for line in maps)
modules = [m.__file__ for m in (topics, config)]
if not runtime or not all(path.startswith(sys.argv[1]) for path in modules):
    sys.exit(f"sanitizer pass not set up: runtime loaded={runtime}, modules={modules}")
PY
  for mode in pooled plain locked; do
    echo "== Python suites under the sanitizers, default protocol: $mode"
    QL_TEST_DEFAULT_PROTOCOL=$mode sanitized_python -m pytest -q -p no:cacheprovider tests/python
  done
  echo "sanitizer pass: $((SECONDS - sanitizer_start)) s (build, native and Python suites)"
fi
