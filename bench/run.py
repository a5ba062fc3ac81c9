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
import re
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
        ("pipeline", [python, os.path.join(HERE, "pipeline_rows.py")]),
        ("bus", [python, os.path.join(HERE, "bus_rows.py")]),
        ("nats", [python, os.path.join(HERE, "nats_rows.py")]),
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
                            "detail": f"{metrics[top]:.2f}x vs {metrics[bottom]:.2f}x", "component": "derived",
                            "better": "lower", "limit": limit})
    return derived


def verdict(record):
    return {True: "met", False: "MISSED", None: "-"}[record.get("met")]


GROUPS = ["allocator", "byte map", "topics", "index", "pipeline", "memory", "bus"]


def group_of(record):
    """The area a row belongs to: its own "group", else by component and name."""
    if record.get("group"):
        return record["group"]
    component, name = record.get("component"), record["row"]
    if component == "native":
        if name.startswith(("pool", "locked")):
            return "allocator"
        if name.startswith(("byte_map", "absl")):
            return "byte map"
        return "topics"
    if component in ("python", "derived"):
        return "topics"
    if component == "index" and name.startswith("memory"):
        return "memory"
    return component or "other"


def grouped(rows):
    """(group, rows) in the areas' order; rows keep their order inside a group."""
    names = GROUPS + sorted({group_of(r) for r in rows} - set(GROUPS))
    return [(g, [r for r in rows if group_of(r) == g]) for g in names if any(group_of(r) == g for r in rows)]


def better_higher(record):
    """True when a higher ratio is better for us."""
    if record.get("better") in ("higher", "lower"):
        return record["better"] == "higher"
    return (record.get("target") or "").lstrip().startswith(">")


def limit_of(record):
    if record.get("limit") is not None:
        return float(record["limit"])
    found = re.search(r"[<>]?=\s*([0-9]*\.?[0-9]+)", record.get("target") or "")
    return float(found.group(1)) if found else None


def advantage(record, ratio):
    """How many times better for us than the row's reference (> 1 good, < 1 bad)."""
    return ratio if better_higher(record) else 1.0 / ratio


def print_table(rows):
    width = max(len(r["row"]) for r in rows)
    print(f"{'row':<{width}}  {'ratio':>8}  {'target':<8}  {'':<6}  detail")
    for group, members in grouped(rows):
        print(f"-- {group}")
        for r in members:
            ratio = "n/a" if r.get("ratio") is None else f"{r['ratio']:.2f}x"
            print(f"{r['row']:<{width}}  {ratio:>8}  {r.get('target') or '-':<8}  {verdict(r):<6}  "
                  f"{r.get('detail', '')}")
    judged = [r for r in rows if r.get("met") is not None]
    print(f"\n{sum(1 for r in judged if r['met'])} of {len(judged)} targets met")


def short_ratio(value):
    return f"{value:.0f}x" if value >= 100 else f"{value:.3g}x"


def write_svg(rows, path):
    """Horizontal bars grouped by area, on a log scale of how many times better
    (right of the 1x line) or worse (left) each row is for us; green met, red
    missed, grey no target; the black tick on a bar is its target."""
    label_width, bar_width, note_width, line, head = 710, 660, 260, 22, 64
    groups = grouped(rows)
    height = head + line * (len(rows) + len(groups)) + 40
    points = [advantage(r, r["ratio"]) for r in rows if r.get("ratio")]
    points += [advantage(r, limit_of(r)) for r in rows if limit_of(r)]
    low = 10.0 ** math.floor(math.log10(min([0.1] + points)))
    high = 10.0 ** math.ceil(math.log10(max([10.0] + points)))
    span = math.log10(high) - math.log10(low)

    def x_of(value):
        return label_width + bar_width * (math.log10(value) - math.log10(low)) / span

    width = label_width + bar_width + note_width
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           'font-family="monospace" font-size="12">',
           '<rect width="100%" height="100%" fill="white"/>']
    one = x_of(1.0)
    out.append(f'<text x="{one - 6:.1f}" y="16" text-anchor="end" fill="#c33">&#8592; worse for us</text>')
    out.append(f'<text x="{one + 6:.1f}" y="16" fill="#3a3">better for us &#8594;</text>')
    out.append(f'<text x="{label_width + bar_width + 8}" y="16">ratio  target  verdict</text>')
    decade = low
    while decade <= high * 1.0001:
        x = x_of(decade)
        text = f"{decade:g}x" if decade >= 1 else f"1/{1 / decade:g}"
        out.append(f'<line x1="{x:.1f}" y1="{head - 12}" x2="{x:.1f}" y2="{height - 36}" stroke="#ddd"/>')
        out.append(f'<text x="{x:.1f}" y="{head - 16}" text-anchor="middle" fill="#555">{text}</text>')
        decade *= 10
    out.append(f'<line x1="{one:.1f}" y1="{head - 12}" x2="{one:.1f}" y2="{height - 36}" stroke="black"/>')
    y = head
    colours = {True: "#3a3", False: "#c33", None: "#999"}
    for group, members in groups:
        out.append(f'<rect x="0" y="{y}" width="{width}" height="{line - 2}" fill="#eef"/>')
        out.append(f'<text x="4" y="{y + 15}" font-weight="bold">{html.escape(group)}</text>')
        y += line
        for r in members:
            out.append(f'<text x="4" y="{y + 14}">{html.escape(r["row"][:98])}</text>')
            if r.get("ratio"):
                x = x_of(advantage(r, r["ratio"]))
                left, right = min(x, one), max(x, one)
                if right - left < 3:  # at parity: still show the verdict's colour
                    left, right = x - 1.5, x + 1.5
                out.append(f'<rect x="{left:.1f}" y="{y + 3}" width="{right - left:.1f}" '
                           f'height="{line - 7}" fill="{colours[r.get("met")]}"/>')
            else:
                out.append(f'<text x="{one + 6:.1f}" y="{y + 14}" fill="#555">n/a</text>')
            limit = limit_of(r)
            if limit:
                x = x_of(advantage(r, limit))
                out.append(f'<line x1="{x:.1f}" y1="{y}" x2="{x:.1f}" y2="{y + line - 1}" stroke="black" '
                           'stroke-width="3"/>')
            ratio = "n/a" if r.get("ratio") is None else short_ratio(r["ratio"])
            note = f'{ratio}  {r.get("target") or "-"}  {verdict(r)}'
            out.append(f'<text x="{label_width + bar_width + 8}" y="{y + 14}">{html.escape(note)}</text>')
            y += line
    out.append(f'<text x="4" y="{height - 14}" fill="#555">Bars: log scale of how many times better (right) or '
               'worse (left) for us each row is than its reference; green met, red missed, grey no target; '
               'black tick: target.</text>')
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
