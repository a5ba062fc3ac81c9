"""Shared pieces of the benchmark components: the row protocol and a timing
harness.

Every component prints one JSON object per line on stdout:
    {"row": str, "ratio": float|null, "target": str|null, "met": bool|null, "detail": str,
     "better": "lower"|"higher", "limit": float|null}
and may add "metric": a name under which bench/run.py keeps the ratio for rows
derived from several components, and "group": the chart's area for the row
(bench/run.py derives it from the component and the row name otherwise).  A
ratio is ours / theirs unless the row name says otherwise; "better" says which
way of the ratio is good for us, "limit" is the target's bound; "met" is null
where no target applies.
"""

import gc
import json
import statistics
import sys
import time


def row(name, ratio, target, detail, limit=None, at_least=False, metric=None, group=None):
    """at_least: a higher ratio is better for us (and the target is ratio >= limit)."""
    met = None
    if ratio is not None and limit is not None:
        met = ratio >= limit if at_least else ratio <= limit
    record = {"row": name, "ratio": ratio, "target": target, "met": met, "detail": detail,
              "better": "higher" if at_least else "lower", "limit": limit}
    if metric:
        record["metric"] = metric
    if group:
        record["group"] = group
    return record


def emit(record):
    print(json.dumps(record), flush=True)


def per_op_ns(func, number):
    """Nanoseconds per call of func(number) that loops `number` times itself."""
    start = time.perf_counter_ns()
    func(number)
    return (time.perf_counter_ns() - start) / number


def interleaved(cases, number, repeats, warmup=1):
    """Median ns/op of each case, timed in turns so drift hits all alike.

    cases: {name: callable(number)}.  Returns {name: median ns/op}.
    """
    # Like timeit: a collection landing in one sample would be charged to
    # whichever case happened to allocate last.
    enabled = gc.isenabled()
    gc.disable()
    try:
        return _interleaved(cases, number, repeats, warmup)
    finally:
        if enabled:
            gc.enable()


def _interleaved(cases, number, repeats, warmup):
    for _ in range(warmup):
        for func in cases.values():
            func(max(1, number // 10))
    samples = {name: [] for name in cases}
    for _ in range(repeats):
        for name, func in cases.items():
            samples[name].append(per_op_ns(func, number))
    return {name: statistics.median(values) for name, values in samples.items()}


def warn(message):
    print(message, file=sys.stderr, flush=True)
