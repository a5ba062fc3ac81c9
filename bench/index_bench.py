"""Benchmark of TopicIndex.match against the ways an engine could dispatch otherwise.

Workload: N subscriptions of 3-segment topics whose positions draw from
segment sets of sizes 10, 100 and 1000; 40% hold one `+name` wildcard and 10%
two (at random positions); 1000 concrete events from the same sets.  Variants
put ranges or pattern parts where the wildcards were.

Rows (JSON lines, one per comparison, all measured side by side in one run):
  * ns per event of index.match(event) against the pairwise loop
    `[v for s, v in subs if event.match(s)]` (timed on a sample of events),
    against a Python dict-of-dicts trie (exact and `+` only), and against the
    npm `qlobber` matcher run by Debian's nodejs (bench/js);
  * native bytes per subscription (records and Topic objects excluded)
    against a 100 B budget and against qlobber's heap growth.
`ratio` is other / index ("how many times better the index is") except where
the row names the index first (index / qlobber, bytes / budget).

    .venv/bin/python bench/index_bench.py            # N = 10, 1k, 100k, 1M
    .venv/bin/python bench/index_bench.py --quick    # N = 10, 1k, 100k; fewer events
"""

import argparse
import gc
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

from quenda_loomi.capi.tessaly import Topic, TopicIndex

HERE = os.path.dirname(os.path.abspath(__file__))
JS_DIR = os.path.join(HERE, "js")
SET_SIZES = (10, 100, 1000)
SEGMENTS = [[f"{'abc'[pos]}{i}" for i in range(size)] for pos, size in enumerate(SET_SIZES)]


def make_subscriptions(n, variant, rng):
    literals = []
    for _ in range(n):
        parts = [rng.choice(options) for options in SEGMENTS]
        roll = rng.random()
        generic = 0 if roll < 0.5 else (1 if roll < 0.9 else 2)
        for pos in rng.sample(range(3), generic):
            if variant == "wildcard":
                parts[pos] = f"+w{pos}"
            elif variant == "range":
                parts[pos] = "(" + "|".join(rng.sample(SEGMENTS[pos], min(3, SET_SIZES[pos]))) + ")"
            else:  # pattern: a fixed digit anywhere in the segment
                parts[pos] = f"/{rng.randrange(10)}/"
        literals.append(".".join(parts))
    return literals


def make_events(count, rng):
    return [".".join(rng.choice(options) for options in SEGMENTS) for _ in range(count)]


class PythonTrie:
    """Dict-of-dicts trie with the index's semantics for exact and `+` parts."""

    def __init__(self):
        self.root = {}
        self.seq = 0

    def add(self, literal, value):
        node = self.root
        for segment in literal.split("."):
            node = node.setdefault("+" if segment.startswith("+") else segment, {})
        node.setdefault(None, []).append((self.seq, value))
        self.seq += 1

    def match(self, event):
        level = [self.root]
        for segment in event.split("."):
            level = [child for node in level for child in (node.get(segment), node.get("+")) if child is not None]
        found = [pair for node in level for pair in node.get(None, ())]
        found.sort(key=lambda pair: pair[0])
        return [value for _, value in found]


def best_ns_per_event(function, events, repeats, min_calls=20_000):
    """Best-of-repeats CPU time per event (the machine is shared: wall time
    would count the other processes' turns).  Short event lists are run
    several times per repeat so the clock's resolution does not matter."""
    passes = max(1, min_calls // len(events))
    best = float("inf")
    for _ in range(repeats):
        start = time.process_time_ns()
        for _ in range(passes):
            for event in events:
                function(event)
        best = min(best, (time.process_time_ns() - start) / (passes * len(events)))
    return best


def run_qlobber(literals, events, repeats):
    node = shutil.which("nodejs") or shutil.which("node")
    if node is None or not os.path.isdir(os.path.join(JS_DIR, "node_modules", "qlobber")):
        return None, "nodejs or bench/js/node_modules missing (run: npm ci --prefix bench/js)"
    # MQTT-style: the one-word wildcard is a bare '+'.
    literals = [".".join("+" if s.startswith("+") else s for s in literal.split(".")) for literal in literals]
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as workload:
        json.dump({"subscriptions": literals, "events": events, "repeats": repeats}, workload)
    try:
        done = subprocess.run(
            [node, "--expose-gc", "--max-old-space-size=16384", os.path.join(JS_DIR, "qlobber_bench.js"), workload.name],
            capture_output=True, text=True, timeout=1800)
    finally:
        os.unlink(workload.name)
    if done.returncode != 0:
        return None, "qlobber run failed: " + done.stderr.strip()[-300:]
    return json.loads(done.stdout), ""


def emit(row, ratio, target, met, detail, better="higher", limit=None, group="index"):
    print(json.dumps({"row": row, "ratio": None if ratio is None else round(ratio, 4), "target": target,
                      "met": met, "detail": detail, "better": better, "limit": limit, "group": group}),
          flush=True)


def label(n):
    return f"{n // 1_000_000}M" if n >= 1_000_000 else f"{n // 1000}k" if n >= 1000 else str(n)


def bench_size(n, variant, args, rng):
    literals = make_subscriptions(n, variant, rng)
    events = make_events(args.events, rng)
    topics = [Topic(literal) for literal in literals]
    event_topics = [Topic(event) for event in events]

    gc.collect()
    index = TopicIndex()
    empty = sys.getsizeof(index)
    for number, topic in enumerate(topics):
        index.add(topic, number)
    native_per_sub = (sys.getsizeof(index) - empty) / n

    index_ns = best_ns_per_event(index.match, event_topics, args.repeats)
    results = sum(len(index.match(event)) for event in event_topics) / len(event_topics)
    tag = f"N={label(n)}" + ("" if variant == "wildcard" else f" {variant}s")

    # The pairwise loop on a sample: it costs about N pair matches per event.
    sample = event_topics[: max(3, min(len(event_topics), 2_000_000 // max(n, 1)))]
    subs = list(zip(topics, range(n)))

    def pairwise(event):
        return [v for s, v in subs if event.match(s)]

    for event in sample[:3]:
        assert pairwise(event) == index.match(event), "index and pairwise loop disagree"
    pairwise_ns = best_ns_per_event(pairwise, sample, 1, min_calls=1)
    ratio = pairwise_ns / index_ns
    limit = 1000 if n == 100_000 and variant == "wildcard" else None
    emit(f"match {tag}: pairwise loop / index", ratio, ">= 1000x" if limit else "report",
         None if limit is None else ratio >= limit,
         f"index {index_ns:,.0f} ns/event, pairwise {pairwise_ns:,.0f} ns/event ({len(sample)} events), "
         f"{results:.1f} results/event", limit=limit)
    if n >= 100_000 and variant == "wildcard":
        emit(f"memory {tag}: index native bytes/sub / 100 B", native_per_sub / 100, "<= 1.0x",
             native_per_sub <= 100, f"{native_per_sub:,.0f} native bytes/sub (records and Topic objects excluded)",
             better="lower", limit=1.0, group="memory")

    if variant != "wildcard":
        return
    python_trie = PythonTrie()
    for number, literal in enumerate(literals):
        python_trie.add(literal, number)
    assert python_trie.match(events[0]) == index.match(event_topics[0])
    trie_ns = best_ns_per_event(python_trie.match, events, args.repeats)
    emit(f"match {tag}: Python dict trie / index", trie_ns / index_ns, "report", None,
         f"index {index_ns:,.0f} ns/event, Python trie {trie_ns:,.0f} ns/event")

    peer, why = run_qlobber(literals, events, args.repeats)
    if peer is None:
        emit(f"match {tag}: index.match / qlobber match", None, "<= 0.25x", False, why, better="lower", limit=0.25)
        return
    # Our side again after the other process: the best of both turns counts.
    index_ns = min(index_ns, best_ns_per_event(index.match, event_topics, args.repeats))
    ratio = index_ns / peer["ns_per_event"]
    emit(f"match {tag}: index.match / qlobber match", ratio, "<= 0.25x", ratio <= 0.25,
         f"index {index_ns:,.0f} ns/event, qlobber {peer['ns_per_event']:,.0f} ns/event, "
         f"results/event index {results:.1f} qlobber {peer['results_per_event']:.1f}", better="lower", limit=0.25)
    if n >= 100_000:
        ratio = peer["heap_bytes_per_subscription"] / native_per_sub
        emit(f"memory {tag}: qlobber heap/sub / index native bytes/sub", ratio, ">= 1x", ratio >= 1,
             f"index {native_per_sub:,.0f} native bytes/sub (records and Topic objects excluded), "
             f"qlobber {peer['heap_bytes_per_subscription']:,.0f} heap bytes/sub", limit=1.0, group="memory")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="skip N=1M, fewer events and repeats")
    parser.add_argument("--sizes", type=int, nargs="*", help="subscription counts (default by mode)")
    parser.add_argument("--seed", type=int, default=11)
    args = parser.parse_args()
    args.events = 300 if args.quick else 1000
    args.repeats = 3 if args.quick else 5
    sizes = args.sizes or ([10, 1000, 100_000] if args.quick else [10, 1000, 100_000, 1_000_000])
    rng = random.Random(args.seed)
    for n in sizes:
        bench_size(n, "wildcard", args, rng)
    for variant in ("range", "pattern"):
        bench_size(1000 if args.quick else 100_000, variant, args, rng)


if __name__ == "__main__":
    main()
