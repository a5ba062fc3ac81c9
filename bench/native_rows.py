"""Runs bench/native_bench and prints its comparisons as suite rows.

Each row is one JSON line: {"row", "ratio", "target", "met", "detail"} (plus
"metric" for figures that bench/run.py combines with other components').
Ratios are of medians over interleaved repetitions, CPU time per operation
(wall time for the multi-threaded rows).

The binary runs under the interpreter's own glibc when the provisioned
toolchain bundles one, so "glibc" is the calloc/free a Python process of this
project actually gets.
"""

import argparse
import json
import os
import subprocess
import sys

from bench_rows import emit, row


def run_native(binary, quick):
    args = [
        binary,
        "--benchmark_format=json",
        "--benchmark_enable_random_interleaving=true",
        "--benchmark_report_aggregates_only=true",
        f"--benchmark_repetitions={3 if quick else 5}",
        f"--benchmark_min_time={0.02 if quick else 0.1}",
    ]
    env = dict(os.environ)
    # jemalloc uses initial-exec TLS; opening it at run time needs spare static TLS.
    env["GLIBC_TUNABLES"] = "glibc.rtld.optional_static_tls=16384"
    libdir = os.environ.get("PYTHON_LIBRARY_DIR", "")
    loader = os.path.join(libdir, "ld-linux-x86-64.so.2")
    if libdir and os.path.exists(loader):
        path = ":".join([libdir, "/usr/lib/x86_64-linux-gnu", "/lib/x86_64-linux-gnu"])
        args = [loader, "--library-path", path] + args
    out = subprocess.run(args, env=env, check=True, stdout=subprocess.PIPE).stdout
    return json.loads(out)


def medians(report):
    by_name = {}
    for bench in report["benchmarks"]:
        if bench.get("aggregate_name") != "median" or bench.get("error_occurred"):
            continue
        by_name[bench["run_name"]] = bench
    return by_name


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()

    report = run_native(args.binary, args.quick)
    glibc = report["context"].get("glibc", "?")
    runs = medians(report)

    def ns(name):
        bench = runs.get(name)
        return None if bench is None else bench["cpu_time"]

    def compare(label, ours, peer, target=None, limit=None, at_least=False, metric=None):
        a, b = ns(ours), ns(peer)
        if a is None or b is None:
            emit(row(label, None, target, f"missing run: {ours if a is None else peer}"))
            return
        ratio = a / b
        emit(row(label, ratio, target, f"{a:.1f} ns vs {b:.1f} ns", limit=limit, at_least=at_least, metric=metric))

    peers = [("glibc " + glibc, "glibc"), ("mimalloc", "mimalloc"), ("jemalloc", "jemalloc")]
    for title, peer in peers:
        compare(f"pool request+release, 1e6 x 64 B then release / {title}",
                "BM_bulk64_pool", f"BM_bulk64_{peer}")
    for title, peer in peers:
        target = {"mimalloc": 1.25, "glibc": 0.7}.get(peer)
        compare(f"pool steady state 10k live 16..256 B / {title}", "BM_steady_pool", f"BM_steady_{peer}",
                target=None if target is None else f"<= {target}x", limit=target)

    for kind in ("hit", "miss"):
        for n, label in ((1000, "1k"), (100000, "100k"), (1000000, "1M")):
            limited = n <= 100000
            compare(f"byte_map_get {kind} / absl::flat_hash_map, {label} keys", f"BM_bytemap_{kind}/{n}",
                    f"BM_absl_{kind}/{n}", target="<= 1.0x" if limited else None, limit=1.0 if limited else None)
    for ours in ("bytemap", "absl"):
        a, b = ns(f"BM_{ours}_hit/1000000"), ns(f"BM_{ours}_hit/1000")
        if a is not None and b is not None:
            name = "byte_map_get" if ours == "bytemap" else "absl::flat_hash_map"
            emit(row(f"{name} hit growth, 1M / 1k keys", a / b, None, f"{a:.1f} ns vs {b:.1f} ns",
                     metric=f"{ours}_hit_growth"))

    for index, segments in ((0, 3), (1, 8)):
        compare(f"native match + node chain / mosquitto_topic_matches_sub, {segments} segments",
                f"BM_match_native/{index}", f"BM_match_mosquitto/{index}", target="<= 1.0x", limit=1.0)

    def throughput(threads):
        bench = runs.get(f"BM_locked_pool/real_time/threads:{threads}")
        return None if bench is None else bench["items_per_second"]

    one = throughput(1)
    for threads in (2, 4):
        many = throughput(threads)
        if one is None or many is None:
            emit(row(f"locked heap protocol, {threads} threads / 1 thread throughput", None, None, "missing run"))
            continue
        target, limit = (">= 0.5x", 0.5) if threads == 4 else (None, None)
        emit(row(f"locked heap protocol, {threads} threads / 1 thread throughput", many / one, target,
                 f"{many / 1e6:.1f} M/s vs {one / 1e6:.1f} M/s", limit=limit, at_least=True))


if __name__ == "__main__":
    sys.exit(main())
