"""Hostile code at every place where the topic module runs Python code.

Sanitizer build only: its topic module calls the hook of
tessaly_reentry_probe before each such place.  The hooks here attack the
very objects the running operation uses; the operations may then fail with
an exception, but never crash or touch freed memory (which the sanitizer
reports), and the index stays consistent.
"""

import signal

import pytest
import reentry_stress

pytestmark = pytest.mark.skipif(not reentry_stress.available(), reason="needs the sanitizer build's probe module")


def test_hook_sees_the_places_where_python_runs():
    import re

    from quenda_loomi.capi.tessaly import Topic, TopicIndex

    sites = []
    reentry_stress.install(sites.append)
    try:
        index = TopicIndex()
        index.add("hs./a+/", 1)
        index.add("hs.x", [1])
        index.match("hs.aa")
        index.remove("hs.x", [1])
        Topic("hs.aa").match(Topic("hs./a/"))
        Topic("hs.+v").format(v="w")
        Topic.from_parts(part for part in Topic("hs.p"))
    finally:
        reentry_stress.uninstall()
    for expected in ("TopicIndex.add: pattern compiled", "TopicIndex: pattern search", "TopicIndex.remove: value comparison",
                     "pattern search: search", "format: mapping lookup", "composition: next part"):
        assert expected in sites, (expected, sorted(set(sites)))
    assert re.compile is not None


ATTACK_INDEX = """
import gc, random, re, sys
import reentry_stress
from quenda_loomi.capi.tessaly import Topic, TopicIndex

rng = random.Random(SEED)
LITERALS = ["a.b", "a.+x", "a.(b|c)", "a./^b/", "+y.b", "a.b.c", "./[bc]/.+z", "c"]
EVENTS = ["a.b", "a.c", "b.b", "a.bb", "a.b.c", "c", "a.+q", "a./b/"]
index = TopicIndex()
topics = [Topic(literal) for literal in LITERALS]
owned = []
for _ in range(4):
    topic = Topic()
    topic.value = rng.choice(LITERALS)
    owned.append(topic)
depth = [0]

def attack(site):
    if depth[0]:
        return
    depth[0] += 1
    try:
        roll = rng.random()
        pool = topics + owned
        if roll < 0.15:
            index.clear()
        elif roll < 0.35:
            held = list(index)
            if held:
                topic, value = rng.choice(held)
                index.remove(topic, value)
        elif roll < 0.5:
            index.add(rng.choice(pool + LITERALS), rng.randrange(100))
        elif roll < 0.65:
            rng.choice(owned).value = rng.choice(LITERALS)
        elif roll < 0.75:
            owned[rng.randrange(len(owned))] = Topic()   # the old one is dropped
            owned[-1].value = rng.choice(LITERALS)
        elif roll < 0.85:
            gc.collect()
        else:
            index.match_captures(rng.choice(EVENTS))
    except Exception:
        pass
    finally:
        depth[0] -= 1

reentry_stress.install(attack)
failures = 0
for step in range(STEPS):
    op = rng.randrange(7)
    try:
        if op == 0:
            index.add(rng.choice(topics + owned + LITERALS), step)
        elif op == 1:
            index.match(rng.choice(EVENTS + [rng.choice(owned)]))
        elif op == 2:
            index.match_captures(rng.choice(EVENTS))
        elif op == 3:
            [(v, bool(r)) for v, r in index.match_results(rng.choice(EVENTS))]
        elif op == 4:
            held = list(index)
            if held:
                index.remove(*rng.choice(held))
        elif op == 5:
            rng.choice(EVENTS) in index
        else:
            rng.choice(owned).value = rng.choice(LITERALS)
    except Exception:
        failures += 1
reentry_stress.uninstall()

# Whatever happened, the index still answers as the pairwise matcher does.
subs = list(index)
for event in EVENTS:
    expected = [value for topic, value in subs if Topic(event).match(topic)]
    assert index.match(event) == expected, (event, index.match(event), expected)
    assert [v for v, _ in index.match_captures(event)] == expected
print("ok", failures)
"""


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_index_attacked_at_every_python_site_stays_sound(python_subprocess, seed):
    done = python_subprocess(ATTACK_INDEX.replace("SEED", str(seed)).replace("STEPS", "400"), timeout=600)
    assert done.returncode == 0 and done.stdout.startswith("ok"), done.stderr[-4000:]
    assert "Sanitizer" not in done.stderr, done.stderr[-4000:]


ATTACK_TOPICS = """
import gc, random
import reentry_stress
from quenda_loomi.capi.tessaly import Topic, TopicPartExact

rng = random.Random(SEED)
LITERALS = ["a.b", "a.+x", "a.(b|c)", "a./^b/", "+y.b", "a.b.c", "x"]
owned = []
for literal in LITERALS:
    topic = Topic()
    topic.value = literal
    owned.append(topic)
depth = [0]

def attack(site):
    if depth[0]:
        return
    depth[0] += 1
    try:
        roll = rng.random()
        if roll < 0.4:
            rng.choice(owned).value = rng.choice(LITERALS)
        elif roll < 0.6:
            owned[rng.randrange(len(owned))] = Topic(rng.choice(LITERALS))
        elif roll < 0.75:
            victim = rng.choice(owned)
            victim += Topic("more")
        else:
            gc.collect()
    except Exception:
        pass
    finally:
        depth[0] -= 1

reentry_stress.install(attack)
done = 0
for step in range(STEPS):
    a, b = rng.choice(owned), rng.choice(owned)
    try:
        op = rng.randrange(6)
        if op == 0:
            result = a.match(b)
            result.captures(); result.to_dict(); [node for node in result]
        elif op == 1:
            a.format(x="f", y="g")
        elif op == 2:
            a + b
        elif op == 3:
            Topic.from_parts(list(a) + list(b))
        elif op == 4:
            [(part, repr(part)) for part in a]
        else:
            a += b[0] if len(b) else TopicPartExact("e", alloc=True)
        done += 1
    except Exception:
        pass
reentry_stress.uninstall()
print("ok", done)
"""


@pytest.mark.parametrize("seed", [1, 2])
def test_topics_attacked_while_matched_formatted_and_composed(python_subprocess, seed):
    done = python_subprocess(ATTACK_TOPICS.replace("SEED", str(seed)).replace("STEPS", "400"), timeout=600)
    assert done.returncode == 0 and done.stdout.startswith("ok"), done.stderr[-4000:]
    assert "Sanitizer" not in done.stderr, done.stderr[-4000:]


FINALIZED = """
import tessaly_reentry_probe as probe

class Finalized:
    def __del__(self):
        print("finalizer ran", flush=True)

probe.drop_in_section([Finalized()])
print("returned", flush=True)
"""

RULE_BROKEN = {
    "call": ("import tessaly_reentry_probe as probe\nprobe.call_in_section(lambda: print('called', flush=True))",
             "probe: call"),
    "last reference with a finalizer": (FINALIZED, "reentry_probe.cpp:"),
}


@pytest.mark.parametrize("kind", RULE_BROKEN)
def test_python_inside_a_borrowed_section_aborts_naming_both_sites(python_subprocess, kind):
    code, site = RULE_BROKEN[kind]
    done = python_subprocess(code)
    assert done.returncode == -signal.SIGABRT, (done.returncode, done.stdout, done.stderr[-2000:])
    assert f"Python code may run at '{site}" in done.stderr, done.stderr[-2000:]
    assert "while 'probe: borrowed section' reads through unpinned pointers" in done.stderr
    assert done.stdout == ""  # neither the call nor the finalizer ran
