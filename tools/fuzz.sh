#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang under AddressSanitizer +
# UBSan and runs each one for a bounded time, one after another.
#   tools/fuzz.sh [seconds-per-target] [target...]    default: 60 s, every target
#   tools/fuzz.sh 0       smoke run: each committed seed input once (tools/test.sh
#                         does this when clang-14 and its runtime are installed)
#   QL_FUZZ_BUILD_DIR=...   build tree (default build-fuzz/)
#   QL_FUZZ_UPDATE_SEEDS=1  afterwards, replace fuzz/corpus/<target> by the
#                           fewest inputs (smallest first) that reach every edge
#                           the working corpus reaches
# Each target starts from its committed seed corpus (fuzz/corpus/<target>)
# and keeps what it learns in <build>/corpus/<target>; a finding is written
# to <build>/artifacts/ and fails the command.  Logs: <build>/logs/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
build_dir=${QL_FUZZ_BUILD_DIR:-$root/build-fuzz}
targets=("$@")
((${#targets[@]})) || targets=(topic_lifecycle_fuzz bytemap_fuzz allocator_fuzz trie_fuzz)

as_root() {
    if [[ $EUID -eq 0 ]]; then "$@"
    elif command -v sudo >/dev/null; then sudo "$@"
    else echo "fuzz.sh: need root to run: $*" >&2; exit 1
    fi
}

# Debian's clang with its compiler-rt (libFuzzer and the sanitizer runtimes),
# installed only when one is missing.
packages=(clang-14 libclang-rt-14-dev cmake ninja-build libxxhash-dev)
missing=()
for p in "${packages[@]}"; do
    [[ "$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)" == installed ]] || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "fuzz.sh: installing ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    as_root apt-get update -q >&2
    as_root apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
fi

if [[ ! -f "$build_dir/build.ninja" ]]; then
    cmake -S "$root/fuzz" -B "$build_dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
fi
ninja -C "$build_dir" -j "${QL_JOBS:-1}" "${targets[@]}"

mkdir -p "$build_dir/artifacts" "$build_dir/logs"
status=0
for target in "${targets[@]}"; do
    corpus="$build_dir/corpus/$target"
    log="$build_dir/logs/$target.log"
    mkdir -p "$corpus" "$root/fuzz/corpus/$target"
    run=(-max_total_time="$seconds" "$corpus")
    [[ -f "$root/fuzz/$target.dict" ]] && run+=(-dict="$root/fuzz/$target.dict")
    if [[ "$seconds" == 0 ]]; then
        run=(-runs=0)  # load (so run) the seeds, generate nothing
        echo "== $target: seed inputs"
    else
        echo "== $target: ${seconds}s"
    fi
    # Niced and single-job: the machine is shared.
    if ! nice -n 10 "$build_dir/$target" -print_final_stats=1 -timeout=20 -rss_limit_mb=3072 \
            -artifact_prefix="$build_dir/artifacts/$target-" "${run[@]}" \
            "$root/fuzz/corpus/$target" >"$log" 2>&1; then
        echo "   FINDING: see $log and $build_dir/artifacts/"
        status=1
    fi
    # The last status line carries the coverage figures; the final stats the executions.
    grep -E '^#[0-9]+' "$log" | tail -n 1 | sed 's/^/   /' || true
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$log" | sed 's/^/   /' || true
    if [[ "$seconds" == 0 ]]; then
        echo "   seeds: $(find "$root/fuzz/corpus/$target" -type f | wc -l) files"
    else
        echo "   corpus: $(find "$corpus" -type f | wc -l) files"
    fi
    if [[ -n "${QL_FUZZ_UPDATE_SEEDS:-}" && "$seconds" != 0 ]]; then
        seeds="$build_dir/seeds/$target"
        rm -rf "$seeds" && mkdir -p "$seeds"
        # Edges only (no hit counters), so the seed set stays small.
        nice -n 10 "$build_dir/$target" -merge=1 -use_counters=0 "$seeds" "$corpus" \
            "$root/fuzz/corpus/$target" >>"$log" 2>&1
        rm -rf "$root/fuzz/corpus/$target" && cp -r "$seeds" "$root/fuzz/corpus/$target"
        echo "   seeds: $(find "$seeds" -type f | wc -l) files"
    fi
done
exit $status
