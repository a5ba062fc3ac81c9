"""Micro-benchmark of the topic module as Python code sees it.

Prints nanoseconds per operation (best of a few repeats) for building topics,
matching them, reading match results, formatting and composing.  The figures
include the cost of the Python statement that drives each operation; nothing
is asserted.

Run it with the built packages on the path, after tools/build.sh:

    .venv/bin/python bench/python_bench.py
    PYTHONPATH=build-mine/python .venv/bin/python bench/python_bench.py --number 20000

Every "new literal" operation registers one more literal in the process-wide
registry (registered records stay for the life of the process), so keep
--number moderate.
"""

import argparse
import itertools
import timeit

from quenda_loomi.capi.tessaly import Topic

# name, statement, setup (run once per repeat, in the namespace below)
CASES = [
    ("Topic(registered literal)", "Topic('orders.eu.buy')", ""),
    ("Topic(new literal) + drop", "Topic(next(fresh))", ""),
    ("match exact (differs at the end)", "concrete.match(exact)", ""),
    ("match any", "concrete.match(wildcard)", ""),
    ("match range", "concrete.match(ranged)", ""),
    ("match pattern", "concrete.match(patterned)", ""),
    ("to_dict (3 nodes)", "result.to_dict()", "result = concrete.match(generic)"),
    ("format (2 wildcards)", "template.format(region='eu', side='buy')", ""),
    ("Topic + Topic", "left + right", ""),
    ("Topic.join (3 strings)", "Topic.join(segments)", ""),
]


def namespace():
    serial = itertools.count()
    return {
        "Topic": Topic,
        "fresh": (f"bench.new.{n}" for n in serial),
        "concrete": Topic("orders.eu.buy"),
        "exact": Topic("orders.eu.buy2"),
        "wildcard": Topic("orders.+region.buy"),
        "ranged": Topic("orders.eu.(sell|buy)"),
        "patterned": Topic("orders.eu./^b/"),
        "generic": Topic("orders.+region.(buy|sell)"),
        "template": Topic("orders.{region}.{side}"),
        "left": Topic("orders.eu"),
        "right": Topic("buy.now"),
        "segments": ["orders", "eu", "buy"],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=100_000, help="operations per timing (default 100000)")
    parser.add_argument("--repeat", type=int, default=3, help="timings per case; the best is shown (default 3)")
    args = parser.parse_args()

    width = max(len(name) for name, _, _ in CASES)
    print(f"{'operation':<{width}}  ns/op")
    for name, statement, setup in CASES:
        env = namespace()
        timer = timeit.Timer(statement, setup=setup or "pass", globals=env)
        best = min(timer.repeat(repeat=args.repeat, number=args.number))
        print(f"{name:<{width}}  {best / args.number * 1e9:8.1f}")


if __name__ == "__main__":
    main()
