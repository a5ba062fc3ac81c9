"""Runs every benchmark component and prints one table of ratios.

A component is a command that prints JSON rows (see bench_rows.py) on stdout;
COMPONENTS below is the one list of them.  Rows that combine figures of
several components are listed in DERIVED.  `--chart out.svg` also writes the
table as an SVG bar chart.
"""

import argparse
import html
import json
import math
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def components(build_dir):
    """(name, argv) of every component; optional ones only when their file exists."""
    python = sys.executable
    listed = [
        ("native", [python, os.path.join(HERE, "native_rows.py"),
                    "--binary", os.path.join(build_dir, "bench", "native_bench")]),
        ("python", [python, os.path.join(HERE, "python_rows.py")]),
        ("memory", [python, os.path.join(HERE, "memory_rows.py")]),
        ("index", [python, os.path.join(HERE, "index_bench.py")]),
    ]
    return [(name, argv) for name, argv in listed if os.path.exists(argv[1])]


# (row, numerator metric, denominator metric, target text, limit): ratio = numerator / denominator <= limit
DERIVED = [
    ("registry hit growth: Topic(registered literal), largest / smallest set, over absl::flat_hash_map hit, 1M / 1k",
     "registry_hit_growth", "absl_hit_growth", "<= 1.0x", 1.0),
]


def run_component(name, argv, quick, env):
    if quick:
        argv = argv + ["--quick"]
    started = time.monotonic()
    print(f"[bench] {name}: {' '.join(os.path.basename(a) for a in argv[1:2])} ...", file=sys.stderr, flush=True)
    proc = subprocess.run(argv, stdout=subprocess.PIPE, text=True, env=env)
    rows = []
    for line in proc.stdout.splitlines():
        line = line.strip()
        if not line.startswith("{"):
            continue
        try:
            record = json.loads(line)
        except json.JSONDecodeError:
            continue
        if "row" in record:
            record["component"] = name
            rows.append(record)
    if proc.returncode != 0:
        rows.append({"row": f"{name} component failed (exit {proc.returncode})", "ratio": None,
                     "target": None, "met": False, "detail": "see the messages above", "component": name})
    print(f"[bench] {name}: {len(rows)} rows in {time.monotonic() - started:.0f} s", file=sys.stderr, flush=True)
    return rows


def derive(rows):
    metrics = {r["metric"]: r["ratio"] for r in rows if r.get("metric") and r.get("ratio") is not None}
    derived = []
    for name, top, bottom, target, limit in DERIVED:
        if top in metrics and bottom in metrics:
            ratio = metrics[top] / metrics[bottom]
            derived.append({"row": name, "ratio": ratio, "target": target, "met": ratio <= limit,
                            "detail": f"{metrics[top]:.2f}x vs {metrics[bottom]:.2f}x", "component": "derived"})
    return derived


def verdict(record):
    return {True: "met", False: "MISSED", None: "-"}[record.get("met")]


def print_table(rows):
    width = max(len(r["row"]) for r in rows)
    print(f"{'row':<{width}}  {'ratio':>8}  {'target':<8}  {'':<6}  detail")
    for r in rows:
        ratio = "n/a" if r.get("ratio") is None else f"{r['ratio']:.2f}x"
        print(f"{r['row']:<{width}}  {ratio:>8}  {r.get('target') or '-':<8}  {verdict(r):<6}  {r.get('detail', '')}")
    judged = [r for r in rows if r.get("met") is not None]
    print(f"\n{sum(1 for r in judged if r['met'])} of {len(judged)} targets met")


def write_svg(rows, path):
    """Horizontal bars on a log scale around 1.0x; green met, red missed, grey informational."""
    label_width, bar_width, line = 760, 420, 22
    height = 40 + line * len(rows)
    values = [r["ratio"] for r in rows if r.get("ratio")]
    low = min([0.1] + values)
    high = max([10.0] + values)
    span = math.log10(high) - math.log10(low)

    def x_of(value):
        return label_width + bar_width * (math.log10(value) - math.log10(low)) / span

    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{label_width + bar_width + 180}" height="{height}" '
           'font-family="monospace" font-size="12">',
           '<rect width="100%" height="100%" fill="white"/>']
    one = x_of(1.0)
    out.append(f'<line x1="{one:.1f}" y1="20" x2="{one:.1f}" y2="{height - 10}" stroke="black"/>')
    out.append(f'<text x="{one:.1f}" y="14" text-anchor="middle">1.0x (log scale)</text>')
    for i, r in enumerate(rows):
        y = 30 + i * line
        colour = {True: "#3a3", False: "#c33", None: "#999"}[r.get("met")]
        out.append(f'<text x="4" y="{y + 13}">{html.escape(r["row"][:110])}</text>')
        if r.get("ratio"):
            x = x_of(r["ratio"])
            left, right = min(x, one), max(x, one)
            out.append(f'<rect x="{left:.1f}" y="{y + 2}" width="{max(right - left, 1):.1f}" height="{line - 6}" '
                       f'fill="{colour}"/>')
            label = f'{r["ratio"]:.2f}x  {r.get("target") or ""}'
            out.append(f'<text x="{label_width + bar_width + 8}" y="{y + 13}">{html.escape(label)}</text>')
    out.append("</svg>")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True, help="build tree configured with QL_BUILD_BENCH_SUITE=ON")
    parser.add_argument("--quick", action="store_true", help="smaller counts and fewer repeats")
    parser.add_argument("--chart", metavar="OUT.svg", help="also write the table as an SVG chart")
    parser.add_argument("--only", action="append", help="run only these components (repeatable)")
    parser.add_argument("--json", metavar="OUT.jsonl", help="also write every row as JSON lines")
    args = parser.parse_args()

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.join(args.build_dir, "python"), HERE,
                                                      env.get("PYTHONPATH")]))
    rows = []
    for name, argv in components(args.build_dir):
        if args.only and name not in args.only:
            continue
        rows.extend(run_component(name, argv, args.quick, env))
    rows.extend(derive(rows))
    if not rows:
        print("no rows", file=sys.stderr)
        return 1
    print_table(rows)
    if args.json:
        with open(args.json, "w") as f:
            for r in rows:
                f.write(json.dumps(r) + "\n")
    if args.chart:
        write_svg(rows, args.chart)
        print(f"chart written to {args.chart}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
