"""Record lifetime under Python code run in the middle of native walks:
re-assignment and garbage collection inside `re`, other threads, and the
registry's answers after composing or formatting."""

import gc
import sys
import threading
import types

import pytest

from quenda_loomi.capi.tessaly import (
    Topic,
    TopicPartAny,
    TopicPartExact,
    TopicPartRange,
    get_internal_topic,
)

CHANGED = "A topic changed while it was being matched"


class FakeRe(types.ModuleType):
    """A stand-in for `re` whose compile runs `hook` first and whose compiled
    patterns record the text they were asked to search."""

    def __init__(self, hook):
        super().__init__("re")
        import re as real_re

        self.real, self.hook, self.searched = real_re, hook, []

    def compile(self, pattern):
        self.hook()
        compiled, searched = self.real.compile(pattern), self.searched

        class Recording:
            def search(self, text):
                searched.append(text)
                return compiled.search(text)

        return Recording()


def with_fake_re(hook, call):
    """Runs `call` with `re` replaced; returns the fake and what `call`
    returned or raised (the real `re` is back before anyone inspects it)."""
    fake, real = FakeRe(hook), sys.modules["re"]
    sys.modules["re"] = fake
    try:
        outcome = call()
    except Exception as error:
        outcome = error
    finally:
        sys.modules["re"] = real
    return fake, outcome


def changed_error(outcome):
    return isinstance(outcome, RuntimeError) and str(outcome) == CHANGED


def test_reassigning_the_concrete_topic_inside_re_keeps_the_segment_readable():
    exact = Topic("uaf.segment_text_xyz")

    def reassign():
        exact.value = "something.else"
        # Reuse the released blocks: a stale segment pointer would now read
        # one of these texts instead of the original segment.
        churn = [Topic.join(["uaf", "Z" * len("segment_text_xyz")]) for _ in range(50)]
        del churn

    fake, outcome = with_fake_re(reassign, lambda: exact.match(Topic("uaf./segment/")))
    assert changed_error(outcome)
    assert fake.searched == ["segment_text_xyz"]
    assert (exact.value, len(exact)) == ("something.else", 2)


@pytest.mark.parametrize("side", ["concrete", "pattern"])
def test_dropping_and_reassigning_either_side_inside_re(side):
    holder = {"concrete": Topic.join(["drop", "seg1"]), "pattern": Topic.join(["drop"]) + TopicPartAny("x", alloc=True)}
    pattern = Topic("drop./seg[0-9]/")
    target = holder[side] if side == "concrete" else pattern

    def hook():
        target.value = "x.y.z"
        gc.collect()

    _, outcome = with_fake_re(hook, lambda: holder["concrete"].match(pattern))
    assert changed_error(outcome)


def test_garbage_collection_inside_re_does_not_fail_unrelated_matches():
    class Cycle:
        pass

    def make_garbage():
        cycle = Cycle()
        cycle.me, cycle.topic = cycle, Topic()
        cycle.topic += Topic("w.1")

    concrete, pattern = Topic("a.x5.q"), Topic("a./x[0-9]/.+n")

    def match_with_garbage():
        results = []
        for _ in range(20):
            make_garbage()
            results.append(concrete.match(pattern).matched)
        return results

    fake, outcome = with_fake_re(gc.collect, match_with_garbage)
    assert outcome == [True] * 20 and fake.searched == ["x5"] * 20


def test_pattern_matches_survive_unrelated_churn_in_other_threads():
    errors, matched = [], []
    concrete, pattern = Topic("a.x7.end"), Topic("a./x[0-9]/.+n")
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)

    def worker():
        ok = 0
        for _ in range(20_000):
            try:
                ok += bool(concrete.match(pattern).matched)
            except Exception as error:  # every error counts, whatever its kind
                errors.append(error)
            t = Topic()
            t += Topic("w.1")
            del t
        matched.append(ok)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(old_interval)
    assert errors == [] and matched == [20_000] * 4


def test_reassignment_in_another_thread_never_reads_released_parts():
    concrete, pattern = Topic.join(["r", "seg5"]), Topic("r./seg[0-9]/")
    stop, outcomes = threading.Event(), {"matched": 0, "changed": 0}
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)

    def reassign():
        while not stop.is_set():
            concrete.value = "r.seg6"
            concrete.value = "r.seg5"

    thread = threading.Thread(target=reassign)
    thread.start()
    try:
        for _ in range(5_000):
            try:
                outcomes["matched"] += concrete.match(pattern).matched
            except RuntimeError as error:
                assert str(error) == CHANGED
                outcomes["changed"] += 1
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(old_interval)
    assert outcomes["matched"] + outcomes["changed"] == 5_000


# ---- Composed and formatted records and the registry ------------------------------

SPLIT = "orders.10.0.0.1"


def exact(text):
    return TopicPartExact(text, alloc=True)


def plus_assign():
    topic = Topic.join(["orders"])
    topic += exact("10.0.0.1")
    return topic


PRODUCERS = {
    "format": lambda: Topic("orders.{ip}").format(ip="10.0.0.1"),
    "format_map": lambda: Topic("orders.{ip}").format_map({"ip": "10.0.0.1"}),
    "add": lambda: Topic("orders") + exact("10.0.0.1"),
    "inplace_add": plus_assign,
    "join": lambda: Topic.join(["orders", "10.0.0.1"]),
    "from_parts": lambda: Topic.from_parts([exact("orders"), exact("10.0.0.1")]),
}


@pytest.mark.parametrize("parse_first", [True, False])
@pytest.mark.parametrize("produce", PRODUCERS.values(), ids=PRODUCERS.keys())
def test_a_segment_holding_dots_never_takes_the_literal_over(produce, parse_first):
    generic = Topic("orders.+a.+b.+c.+d")
    parsed = Topic(SPLIT) if parse_first else None
    made = produce()
    # The composed topic keeps the value as one segment and owns its record.
    assert (len(made), made.value, made.owner, made[1].part) == (2, SPLIT, True, "10.0.0.1")
    assert made == Topic(SPLIT) and hash(made) == hash(Topic(SPLIT))
    fresh = Topic(SPLIT)
    assert len(fresh) == 5 and fresh.match(generic).matched
    if parsed is not None:
        assert fresh.addr == parsed.addr
    assert get_internal_topic(SPLIT).addr == fresh.addr


@pytest.mark.parametrize(
    "segment, kind",
    [("+x", "TopicPartAny"), ("{x}", "TopicPartAny"), ("(a|b)", "TopicPartRange"), ("/p/", "TopicPartPattern")],
)
def test_an_exact_segment_shaped_like_another_kind_is_not_registered(segment, kind):
    made = Topic.join(["k", segment])
    assert made.owner and type(made[1]).__name__ == "TopicPartExact"
    literal = made.value
    assert get_internal_topic(literal) is None or get_internal_topic(literal).addr != made.addr
    assert type(Topic(literal)[1]).__name__ == kind


@pytest.mark.parametrize(
    "make",
    [
        lambda: Topic.join(["k", "l", "m"]),
        lambda: Topic("k.l") + Topic("m"),
        lambda: Topic("k.{x}.m").format(x="l"),
        lambda: Topic.from_parts([exact("k"), exact("l"), exact("m")]),
    ],
)
def test_records_that_read_back_are_still_registered(make):
    made = make()
    assert get_internal_topic("k.l.m").addr == made.addr


def test_range_options_refuse_nul_at_construction():
    with pytest.raises(ValueError, match="NUL"):
        TopicPartRange(["a\0b", "c"], alloc=True)
    part = TopicPartRange(["a", "c"], alloc=True)
    assert list(part.options()) == ["a", "c"]
    assert list((Topic("r") + part)[1].options()) == ["a", "c"]
