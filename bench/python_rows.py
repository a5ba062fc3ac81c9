"""Python rows of the benchmark suite: the topic module against what a Python
user would write instead (dicts, re, paho-mqtt, str building, split).

Every timing loops inside a compiled function so both sides pay the same loop
overhead; cases of one row are timed in turns (interleaved) and the median of
the repeats is kept.  The new-literal rows register a million topics each, so
every one of their samples runs in a fresh subprocess.
"""

import argparse
import json
import os
import random
import re
import subprocess
import sys
import time

from bench_rows import emit, interleaved, row, warn

from quenda_loomi.capi.tessaly import Topic

try:
    from paho.mqtt.client import topic_matches_sub
except ImportError:  # reported as a missing row
    topic_matches_sub = None


def loop(statement, namespace, setup=""):
    """A function f(n) running `statement` n times with names from namespace."""
    source = f"def _loop(_n):\n    {setup}\n    for _ in range(_n):\n        {statement}\n"
    scope = dict(namespace)
    exec(compile(source, "<bench>", "exec"), scope)
    return scope["_loop"]


def ratio_row(name, times, ours, theirs, target=None, limit=None, at_least=False, metric=None, invert=False):
    a, b = times[ours], times[theirs]
    ratio = b / a if invert else a / b
    detail = f"{ours}: {a:.0f} ns, {theirs}: {b:.0f} ns"
    emit(row(name, ratio, target, detail, limit=limit, at_least=at_least, metric=metric))


# ---------------------------------------------------------------------------
# Matching
# ---------------------------------------------------------------------------

# concrete, generic with every other position a single-segment wildcard
MATCH_CASES = {
    3: ("orders.eu.buy", "orders.+region.buy"),
    8: ("site.s1.line.l2.cell.c3.dev.d4", "site.+a.line.+b.cell.+c.dev.+d"),
}


def regex_of(generic):
    parts = []
    for segment in generic.split("."):
        if segment.startswith("+"):
            parts.append(f"(?P<{segment[1:]}>[^.]+)")
        else:
            parts.append(re.escape(segment))
    return re.compile(r"\.".join(parts))


def split_matcher(generic):
    """The plain Python matcher a user would write: a dict of the wildcard values or None."""
    pattern = generic.split(".")

    def match(topic):
        segments = topic.split(".")
        if len(segments) != len(pattern):
            return None
        found = {}
        for want, got in zip(pattern, segments):
            if want[0] == "+":
                found[want[1:]] = got
            elif want != got:
                return None
        return found

    return match


def match_rows(number, repeats):
    for segments, (concrete, generic) in MATCH_CASES.items():
        ns = {
            "a": Topic(concrete),
            "b": Topic(generic),
            "rx": regex_of(generic),
            "s": concrete,
            "split_match": split_matcher(generic),
            "paho": topic_matches_sub,
            "sub": "/".join("+" if part.startswith("+") else part for part in generic.split(".")),
            "mqtt": concrete.replace(".", "/"),
        }
        assert ns["a"].match(ns["b"]) and ns["rx"].fullmatch(concrete)
        assert ns["a"].match(ns["b"]).to_dict().keys() and ns["split_match"](concrete) is not None
        cases = {
            "bool(a.match(b))": loop("bool(a.match(b))", ns),
            "re.fullmatch": loop("bool(rx.fullmatch(s))", ns),
            "a.match(b).to_dict()": loop("a.match(b).to_dict()", ns),
            "fullmatch().groupdict()": loop("rx.fullmatch(s).groupdict()", ns),
            "split matcher": loop("split_match(s)", ns),
        }
        if topic_matches_sub is not None:
            assert topic_matches_sub(ns["sub"], ns["mqtt"])
            cases["paho topic_matches_sub"] = loop("paho(sub, mqtt)", ns)
        times = interleaved(cases, number, repeats)
        limit = 0.5 if segments == 3 else 0.6
        ratio_row(f"bool(a.match(b)) / re.fullmatch named groups, {segments} segments", times,
                  "bool(a.match(b))", "re.fullmatch", f"<= {limit}x", limit)
        to_dict_limit = 0.8 if segments == 3 else None
        ratio_row(f"a.match(b).to_dict() / fullmatch().groupdict(), {segments} segments", times,
                  "a.match(b).to_dict()", "fullmatch().groupdict()",
                  "<= 0.8x" if to_dict_limit else None, to_dict_limit)
        ratio_row(f"a.match(b).to_dict() / plain Python split matcher, {segments} segments", times,
                  "a.match(b).to_dict()", "split matcher")
        if "paho topic_matches_sub" in times:
            target, limit = (">= 30x", 30) if segments == 3 else (None, None)
            ratio_row(f"paho-mqtt topic_matches_sub / bool(a.match(b)), {segments} segments", times,
                      "bool(a.match(b))", "paho topic_matches_sub", target, limit, at_least=True, invert=True)
        else:
            emit(row(f"paho-mqtt topic_matches_sub / bool(a.match(b)), {segments} segments", None,
                     ">= 30x" if segments == 3 else None, "paho-mqtt is not importable"))

    ns = {"a": Topic("v42"), "p": Topic("/v[0-9]+/"), "rx": re.compile("v[0-9]+"), "s": "v42"}
    assert ns["a"].match(ns["p"]) and ns["rx"].search("v42")
    times = interleaved({
        "pattern position": loop("bool(a.match(p))", ns),
        "re.search": loop("bool(rx.search(s))", ns),
    }, number, repeats)
    ratio_row("one pattern position / precompiled re.search", times, "pattern position", "re.search", "<= 2x", 2.0)


# ---------------------------------------------------------------------------
# Construction, composition, formatting
# ---------------------------------------------------------------------------

def compose_rows(number, repeats):
    template = Topic("orders.{region}.{side}")
    ns = {
        "Topic": Topic,
        "t": template,
        "fmt": "orders.{region}.{side}",
        "left": Topic("orders.eu"),
        "right": Topic("buy.now"),
        "sl": "orders.eu",
        "sr": "buy.now",
        "segs": ["orders", "eu", "buy"],
    }
    Topic("orders.eu.buy")
    Topic("orders.eu.buy.now")
    times = interleaved({
        "t.format": loop("t.format(region='eu', side='buy')", ns),
        "str.format + Topic(str)": loop("Topic(fmt.format(region='eu', side='buy'))", ns),
        "a + b": loop("left + right", ns),
        "concatenation + Topic(str)": loop("Topic(sl + '.' + sr)", ns),
        "Topic.join": loop("Topic.join(segs)", ns),
        "'.'.join + Topic(str)": loop("Topic('.'.join(segs))", ns),
    }, number, repeats)
    ratio_row("t.format(...) / str.format + Topic(str)", times, "t.format", "str.format + Topic(str)",
              "<= 1.0x", 1.0)
    ratio_row("a + b / concatenation + Topic(str)", times, "a + b", "concatenation + Topic(str)", "<= 1.0x", 1.0)
    ratio_row("Topic.join / '.'.join + Topic(str)", times, "Topic.join", "'.'.join + Topic(str)", "<= 1.0x", 1.0)


def fresh_copies(strings):
    """Equal strings in new objects, so no lookup can shortcut on identity."""
    return ["".join(list(s)) for s in strings]


def registry_rows(sizes, number, repeats):
    per_size = {}
    for size in sizes:
        literals = [f"reg{size}.k{i}.evt" for i in range(size)]
        keep = [Topic(s) for s in literals]  # registered; kept alive like an engine's table
        queries = fresh_copies(literals)
        random.Random(size).shuffle(queries)
        d = {s: i for i, s in enumerate(literals)}
        rounds = max(1, number // size)
        ns = {"Topic": Topic, "queries": queries, "d": d, "rounds": rounds}
        body = "for _r in range(rounds):\n            for s in queries:\n                {}"
        times = interleaved({
            "Topic(registered)": loop(body.format("Topic(s)"), ns),
            "d[key] + slice(key, value)": loop(body.format("slice(s, d[s])"), ns),
        }, 1, repeats)
        ops = rounds * size
        times = {k: v / ops for k, v in times.items()}
        label = f"{size // 1000}k" if size < 1_000_000 else f"{size // 1_000_000}M"
        per_size[size] = times
        limit = 0.8 if size == sizes[0] else None
        ratio_row(f"Topic(registered literal) / (d[key] + two-field native object), {label} literals", times,
                  "Topic(registered)", "d[key] + slice(key, value)", "<= 0.8x" if limit else None, limit)
        del keep
    small, large = sizes[0], sizes[-1]
    growth = per_size[large]["Topic(registered)"] / per_size[small]["Topic(registered)"]
    dict_growth = per_size[large]["d[key] + slice(key, value)"] / per_size[small]["d[key] + slice(key, value)"]
    emit(row(f"Topic(registered literal) growth, {large:,} / {small:,} literals", growth, None,
             f"dict + slice grows {dict_growth:.2f}x", metric="registry_hit_growth"))


# ---------------------------------------------------------------------------
# Long topics: whole-topic operations must cost the same per part at any length
# ---------------------------------------------------------------------------

def long_topic_ops(n, salt):
    """{name: callable()} running one whole-topic operation on n-part topics."""
    exact_literal = ".".join(f"p{i}" for i in range(n))
    exact = Topic(exact_literal)
    generic = Topic(".".join(f"{{w{i}}}" if i % 2 else f"p{i}" for i in range(n)))
    parts, strings = list(exact), [f"s{i}" for i in range(n)]
    values = {f"w{i}": "v" for i in range(n)}
    fresh = iter(range(10**9))
    return {
        "Topic(new literal)": lambda: Topic(f"long{salt}.{next(fresh)}.{exact_literal}"),
        "list(topic)": lambda: list(exact),
        "a + b": lambda: exact + generic,
        "Topic.from_parts": lambda: Topic.from_parts(parts),
        "Topic.join": lambda: Topic.join(strings),
        "format_map": lambda: generic.format_map(values),
        "match + to_dict": lambda: exact.match(generic).to_dict(),
        "list(match result)": lambda: list(exact.match(generic)),
    }


def long_topic_rows(small, large, repeats):
    per_part = {}
    for n in (small, large):
        ops = long_topic_ops(n, os.getpid())
        samples = {name: [] for name in ops}
        for _ in range(repeats):  # in turns, so drift hits every case alike
            for name, op in ops.items():
                start = time.perf_counter_ns()
                op()
                samples[name].append((time.perf_counter_ns() - start) / n)
        per_part[n] = {name: sorted(v)[len(v) // 2] for name, v in samples.items()}
    for name in per_part[small]:
        a, b = per_part[large][name], per_part[small][name]
        # Linear: about 1x; one walk from the head per part: large / small.
        emit(row(f"{name} per-part cost growth, {large:,} / {small:,} parts", a / b, "<= 2.0x",
                 f"{large:,}: {a:.0f} ns/part, {small:,}: {b:.0f} ns/part", limit=2.0))


# ---------------------------------------------------------------------------
# The new-literal path (one subprocess per sample: each registers a million topics)
# ---------------------------------------------------------------------------

NEW_LITERAL_CASES = {
    "Topic(new literal)": ("lits", "Topic(s)"),
    "tmpl.format(id=new)": ("ids", "tmpl.format(id=s)"),
    "format_map(internalized=False) + drop": ("ids", "tmpl.format_map({'id': s}, internalized=False)"),
    "split + dict insert": ("lits", "d[s] = s.split('.')"),
}


def new_literal_sample(case, count):
    """Runs in a child: ns per operation of one case over `count` new values."""
    import gc
    import time
    gc.disable()  # as in the interleaved timings
    source, statement = NEW_LITERAL_CASES[case]
    salt = os.getpid()
    ns = {
        "Topic": Topic,
        "tmpl": Topic(f"evt{salt}.orders.{{id}}"),
        "d": {},
        "lits": [f"evt{salt}.orders.{i}" for i in range(count)],
        "ids": [str(i) for i in range(count)],
    }
    func = loop(f"s = values[_]; {statement}", ns, setup=f"values = {source}")
    start = time.perf_counter_ns()
    func(count)
    return (time.perf_counter_ns() - start) / count


def new_literal_rows(count, repeats):
    samples = {case: [] for case in NEW_LITERAL_CASES}
    for _ in range(repeats):
        for case in NEW_LITERAL_CASES:
            out = subprocess.run([sys.executable, __file__, "--sample", case, "--count", str(count)],
                                 check=True, stdout=subprocess.PIPE, text=True).stdout
            samples[case].append(float(out))
    times = {case: sorted(values)[len(values) // 2] for case, values in samples.items()}
    label = f"{count:,} distinct"
    for case in ("Topic(new literal)", "tmpl.format(id=new)", "format_map(internalized=False) + drop"):
        ratio_row(f"{case} / split + dict insert, {label}", times, case, "split + dict insert", "<= 1.5x", 1.5)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller counts, fewer repeats")
    parser.add_argument("--sample", help=argparse.SUPPRESS)
    parser.add_argument("--count", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.sample:
        print(new_literal_sample(args.sample, args.count))
        return
    number, repeats = (20_000, 3) if args.quick else (200_000, 5)
    match_rows(number, repeats)
    compose_rows(number, repeats)
    sizes = (1_000, 10_000, 100_000) if args.quick else (1_000, 100_000, 1_000_000)
    registry_rows(sizes, number if args.quick else 1_000_000, repeats)
    new_literal_rows(100_000 if args.quick else 1_000_000, 3 if args.quick else 5)
    # Both sizes outgrow the caches, so the per-part cost compares walks, not
    # cache hits with misses (below ~20k parts the chain stays cache-resident).
    long_topic_rows(50_000, 200_000, repeats)


if __name__ == "__main__":
    main()
