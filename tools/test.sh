#!/usr/bin/env bash
# Builds the project and runs every test: the GoogleTest suites through ctest,
# the Python suites with pytest on the provisioned CPython 3.14, then, in an
# AddressSanitizer + UBSan build, the GoogleTest suites and the Python suites
# again (once per default-protocol mode: pooled, plain heap, locked pool, and
# the topic suites once more with the re-entrancy stress hook), and,
# where clang-14 is installed, the fuzz targets over their seed inputs; and
# the stress suites once more on an optimised build with the re-entrancy
# checks but no sanitizers (build-checks).
#   QL_SKIP_SANITIZER=1 tools/test.sh    skips the sanitizer pass
#   QL_SKIP_CHECKS_PASS=1 tools/test.sh  skips the stress pass on the optimised checking build
#   QL_SKIP_FUZZ=1 tools/test.sh         skips the fuzz seed smoke run
# Extra arguments go to the first pytest run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/build.sh"
ctest --test-dir "$root/build" --output-on-failure -j 2
cd "$root"
"$root/.venv/bin/python" -m pytest -q -p no:cacheprovider tests/python "$@"

# The suites that exercise the places where the native modules run Python code.
stress_suites=(tests/python/test_topic_index.py tests/python/test_index_hardening.py
  tests/python/test_reentry_stress.py tests/python/test_no_crash.py tests/python/test_match.py
  tests/python/test_format.py tests/python/test_compose.py tests/python/test_lifetime.py)
# The configuration module's suite checks the import-time allocator state, so
# it runs with the default protocol left as imported.
config_suite=tests/python/test_config_module.py

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
  # The bus suites run once: the MQTT transport is pure Python, and the NATS
  # module draws no blocks from the engine's protocols, so the other modes
  # would repeat minutes of broker runs for nothing.  The MQTT suite runs in
  # the first mode, the NATS suite in the stress pass below.  The fault
  # suite's timings (keepalive pings, SIGSTOPped brokers) and the worker
  # processes of the MQTT group test are the release pass's only.
  not_in_modes=(--ignore=tests/python/test_bus_faults.py --ignore=tests/python/test_bus_processes.py
    --ignore=tests/python/test_bus_nats.py)
  for mode in pooled plain locked; do
    echo "== Python suites under the sanitizers, default protocol: $mode"
    skipped=("${not_in_modes[@]}")
    if [ "$mode" != pooled ]; then
      skipped+=(--ignore=tests/python/test_bus.py)
    fi
    QL_TEST_DEFAULT_PROTOCOL=$mode sanitized_python -m pytest -q -p no:cacheprovider "${skipped[@]}" tests/python
  done
  # Re-entrancy stress: every place the native modules run Python code first
  # runs hostile code (tests/python/reentry_stress.py), with pooling off so
  # a freed record is really freed, over the suites that exercise those places.
  # The NATS suite runs here: its dispatcher enters Python from a thread of
  # its own, and its process-orchestration tests skip under the sanitizers.
  echo "== Python suites under the sanitizers with the re-entrancy stress hook (plain heap)"
  QL_REENTRY_STRESS=1 QL_TEST_DEFAULT_PROTOCOL=plain sanitized_python -m pytest -q -p no:cacheprovider \
    "${stress_suites[@]}" tests/python/test_bus_nats.py
  QL_REENTRY_STRESS=1 sanitized_python -m pytest -q -p no:cacheprovider "$config_suite"
  echo "sanitizer pass: $((SECONDS - sanitizer_start)) s (build, native and Python suites)"
fi

# The re-entrancy checks on an optimised build without the sanitizers: the
# stress pass again where the compiler inlines and reorders as in a release.
# Only the modules the pass imports are built.
if [ -z "${QL_SKIP_CHECKS_PASS:-}" ]; then
  checks_start=$SECONDS
  QL_REENTRY_CHECKS=ON QL_BUILD_TYPE=RelWithDebInfo QL_BUILD_TESTS=OFF QL_BUILD_DIR="$root/build-checks" \
    QL_TARGETS="tessaly tessaly_reentry_probe" "$root/tools/build.sh"
  echo "== topic suites with the re-entrancy checks and stress hook, optimised build (plain heap)"
  QL_REENTRY_STRESS=1 QL_TEST_DEFAULT_PROTOCOL=plain PYTHONPATH="$root/build-checks/python" \
    "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider "${stress_suites[@]}"
  QL_REENTRY_STRESS=1 PYTHONPATH="$root/build-checks/python" \
    "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider "$config_suite"
  echo "checks pass: $((SECONDS - checks_start)) s (build and stress suites)"
fi

# Smoke run of the fuzz targets over their committed seed inputs, only where
# Debian's clang and its fuzzer runtime are already installed (tools/fuzz.sh
# installs them for real fuzzing; the test run does not).
if [ -z "${QL_SKIP_FUZZ:-}" ]; then
  if command -v clang++-14 >/dev/null &&
     compgen -G '/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null; then
    "$root/tools/fuzz.sh" 0
  else
    echo "test.sh: clang-14 / libclang-rt-14-dev not installed; fuzz seed smoke run skipped"
  fi
fi
