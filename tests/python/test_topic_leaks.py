"""Creating and dropping topics, parts and views many times keeps memory flat."""

LOOP = """
import gc, os, sys
import quenda_loomi.capi.tessaly as tessaly
from quenda_loomi.capi.tessaly import (Topic, TopicPartAny, TopicPartExact, TopicPartPattern,
                                       TopicPartRange, TopicTestToolkit as TK)

def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

def work(rounds):
    for i in range(rounds):
        shared = Topic("leak.+x.(a|b).%d" % (i % 64))
        views = list(shared)
        repr(views[2]), views[0].next(), TK.get_range_options(views[2])
        owned = Topic()
        owned.value = "leak.owned.%d" % i  # registered, then handed out to `other`
        other, view = Topic("leak.owned.%d" % i), owned[1]
        del owned
        other.value = "leak.moved.%d" % i  # `view` is now stale
        try:
            view.part
        except RuntimeError:
            pass
        del other, view
        # Records whose literal another record takes over: one still wrapped,
        # one only held by the registry.
        parsed = Topic("leak.c.%d" % i)
        Topic("leak.d.%d" % i)
        joined = Topic.join(["leak", "c", str(i)]), Topic.join(["leak", "d", str(i)])
        del parsed, joined
        for part in (TopicPartExact("e", alloc=True), TopicPartAny("n", alloc=True),
                     TopicPartPattern("p+", alloc=True), TopicPartRange(["x", "", "y"], alloc=True)):
            repr(part)
        try:
            Topic("leak./bad")
        except MemoryError:
            pass
        tessaly.get_internal_topic("leak.+x.(a|b).%d" % (i % 64))
        if i % 5000 == 0:
            tessaly.get_internal_map()

work(5000)
gc.collect()
blocks, memory, entries = sys.getallocatedblocks(), rss(), TK.get_internal_map_size()
work(ROUNDS)
gc.collect()
print(sys.getallocatedblocks() - blocks, rss() - memory, TK.get_internal_map_size() - entries)
"""


def test_memory_stays_flat(python_subprocess):
    rounds = 100_000
    result = python_subprocess(LOOP.replace("ROUNDS", str(rounds)), timeout=300)
    assert result.returncode == 0, result.stderr
    block_growth, rss_growth, entry_growth = map(int, result.stdout.split())
    # One leaked object or record per round would show as >= 100k blocks / several MB.
    assert block_growth < 1000
    assert rss_growth < 4 * 1024 * 1024
    assert entry_growth == 0
