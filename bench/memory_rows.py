"""Memory rows of the benchmark suite: resident memory per registered topic
against the sum of the pooled blocks the topic occupies.

Each measurement runs in a fresh interpreter that registers N topics (the
Python objects are dropped; the registry keeps the records), then compares
the growth of RSS with what the blocks account for: the header, every part
and its text, the registry's key copy and the topic's share of the current
bucket array, each counted as its pool record (40 bytes) plus its capacity
(block header and rounding included).
"""

import argparse
import ctypes
import subprocess
import sys

from bench_rows import emit, row

POOL_RECORD = 40
BLOCK_HEADER = 56
BUCKET = 64


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096  # resident pages


def block_bytes(user_address):
    """Capacity of the pooled block behind a user pointer, plus its pool record."""
    capacity = ctypes.c_uint64.from_address(user_address - BLOCK_HEADER - POOL_RECORD).value
    return capacity + POOL_RECORD


def topic_blocks(address):
    """Bytes of the header, parts, part texts and registry key copy of an exact topic."""
    read_ptr = lambda at: ctypes.c_void_p.from_address(at).value or 0  # noqa: E731
    total = block_bytes(address)
    part = read_ptr(address)  # evt_topic.parts
    while part:
        total += block_bytes(part)
        text = read_ptr(part + 16)
        if text:
            total += block_bytes(text)
        part = read_ptr(part + 8)
    key = read_ptr(address + 24)  # the registry's key copy
    if key:
        total += block_bytes(key)
    return total


def bucket_capacity(count):
    """Bucket count after `count` insertions: powers of two from 64, load at most 1/2 on insertion."""
    capacity = 64
    while 2 * (count - 1) >= capacity:
        capacity *= 2
    return capacity


def sample(parts, count):
    from quenda_loomi.capi.tessaly import Topic, TopicTestToolkit

    tail = ".".join(f"p{i}" for i in range(parts - 2))
    literals = [f"m{parts}.k{i}.{tail}" for i in range(count)]
    before = rss_bytes()
    for literal in literals:
        Topic(literal)
    after = rss_bytes()
    probe = Topic(literals[count // 2])
    blocks = topic_blocks(probe.addr)
    entries = TopicTestToolkit.get_internal_map_size()
    array = ((bucket_capacity(entries) * BUCKET + BLOCK_HEADER + 7) & ~7) + POOL_RECORD
    per_topic_blocks = blocks + array / entries
    print((after - before) / count, per_topic_blocks, blocks)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--sample", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--count", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.sample:
        sample(args.sample, args.count)
        return
    count = 100_000 if args.quick else 1_000_000
    for parts in (3, 8):
        out = subprocess.run([sys.executable, __file__, "--sample", str(parts), "--count", str(count)],
                             check=True, stdout=subprocess.PIPE, text=True).stdout.split()
        rss, blocks, own = (float(x) for x in out)
        emit(row(f"RSS per registered topic / sum of its blocks, {parts} exact parts, {count:,} topics",
                 rss / blocks, "<= 1.1x",
                 f"{rss:.0f} B RSS vs {blocks:.0f} B of blocks ({own:.0f} B own + bucket share)", limit=1.1))


if __name__ == "__main__":
    main()
