"""The re-entrancy stress mode of the sanitizer build.

The sanitizer build of the topic module calls a hook before every place
where its native code can run Python code (tessaly_reentry_probe.set_hook).
`HostileNeighbour` is a hook that does what unrelated hostile code at such
a place could do, with objects of its own: it changes and drops topics,
adds to, removes from and clears an index, matches, and collects garbage.
Suites whose assertions are about their own objects must still pass with it
installed; `QL_REENTRY_STRESS=1` installs it for a whole pytest run (see
conftest.py) and in every child interpreter the tests start.
Tests that attack the objects under test install their own hooks.
"""

import collections
import gc
import os
import random

try:
    import tessaly_reentry_probe
except ImportError:  # only the sanitizer build has it
    tessaly_reentry_probe = None

ENV = "QL_REENTRY_STRESS"


def available():
    return tessaly_reentry_probe is not None


def requested():
    return os.environ.get(ENV) == "1" and available()


class HostileNeighbour:
    """Each call makes one random change with its own objects.  The
    registry holds the same number of its literals after every call, so
    suites that count registry entries are not disturbed."""

    def __init__(self, seed=20261208):
        from quenda_loomi.capi.tessaly import Topic, TopicIndex

        self.Topic, self.rng = Topic, random.Random(seed)
        self.index = TopicIndex()
        self.topics = []
        for i in range(6):
            topic = Topic()
            topic.value = f"hostile.{i}.a"
            self.topics.append(topic)
        self.sites = collections.Counter()
        self.errors = []

    def __call__(self, site):
        self.sites[site] += 1
        try:
            self.act()
        except Exception as error:  # the hook must never disturb the caller
            self.errors.append(f"{site}: {error!r}")

    def act(self):
        rng, i = self.rng, self.rng.randrange(len(self.topics))
        topic, roll = self.topics[i], rng.random()
        if roll < 0.03:
            gc.collect(0)  # the young generation: a full pass at every place would take the run hours
        elif roll < 0.3:
            # Each topic moves between two literals of its own.
            topic.value = f"hostile.{i}./x{i}/" if topic.value.endswith(".a") else f"hostile.{i}.a"
        elif roll < 0.5:
            self.index.add(topic, i)
        elif roll < 0.65:
            self.index.remove(topic, i)
        elif roll < 0.8:
            self.index.match_captures(f"hostile.{i}.xa{rng.randrange(1000)}")
        elif roll < 0.9:
            joined = self.Topic.join(["hostile", "joined", str(rng.randrange(1000))])
            del joined  # registered only while it lives
        else:
            self.index.clear()


# Hooks nest: a test that installs its own hook inside a stress run gets the
# session's hook back when it uninstalls, instead of ending the stress for
# every test after it.
_installed = []


def install(hook):
    _installed.append(hook)
    tessaly_reentry_probe.set_hook(hook)


def uninstall():
    _installed.pop()
    tessaly_reentry_probe.set_hook(_installed[-1] if _installed else None)


def install_if_requested():
    """For child interpreters started by the tests."""
    if requested():
        install(HostileNeighbour())
