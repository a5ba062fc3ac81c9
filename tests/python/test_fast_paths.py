"""The shortcuts of hot calls give what the general paths give.

Topic(str) skips the argument tuple, bool()/len() of an exact match result
read its chain directly, released results are recycled, part views are made
as their kind's class at once, and compiled pattern expressions are reused
while `re` and `re.compile` are the ones the module saw at set-up.
"""

import gc
import re
import sys
import types

import pytest

from quenda_loomi.capi.tessaly import Topic, TopicMatchResult


# ---- Topic(...) through the fast call and the general one ----------------------


class Str(str):
    pass


@pytest.mark.parametrize(
    "call, value, owner",
    [
        (lambda: Topic("fp.ctor.a"), "fp.ctor.a", False),
        (lambda: Topic(topic="fp.ctor.a"), "fp.ctor.a", False),
        (lambda: Topic("fp.ctor.a", alloc=True), "fp.ctor.a", False),
        (lambda: Topic(), "", True),
        (lambda: Topic(None), "", True),
        (lambda: Topic(""), "", True),
    ],
)
def test_every_call_form_builds_the_same_topic(call, value, owner):
    reference = Topic("fp.ctor.a")
    topic = call()
    assert (type(topic), topic.value, topic.owner) == (Topic, value, owner)
    if value:
        assert topic.addr == reference.addr


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: Topic(1), TypeError, "Argument 'topic' has incorrect type"),
        (lambda: Topic(Str("fp.x")), TypeError, "(expected str, got Str)"),
        (lambda: Topic("a", topic="b"), TypeError, "multiple values for argument 'topic'"),
        (lambda: Topic("fp.x", alloc=False), RuntimeError, "Can not assign topic string when uninitialized!"),
    ],
)
def test_call_forms_report_their_errors(call, error, message):
    with pytest.raises(error, match=re.escape(message)):
        call()


def test_subclasses_run_their_own_new_and_init():
    calls = []

    class Traced(Topic):
        def __new__(cls, *args, **kwargs):
            calls.append("new")
            return super().__new__(cls, *args, **kwargs)

        def __init__(self, *args, **kwargs):
            calls.append(("init", args))

    topic = Traced("fp.sub.a")
    assert (type(topic), topic.value, calls) == (Traced, "fp.sub.a", ["new", ("init", ("fp.sub.a",))])
    assert Topic("fp.sub.a").addr == topic.addr


# ---- bool() / len() of match results -------------------------------------------


class Refusing(TopicMatchResult):
    matched = property(lambda self: False)
    length = 7


@pytest.mark.parametrize(
    "a, b, truth, size",
    [("fp.m.a", "fp.m.{x}", True, 3), ("fp.m.a", "fp.n.{x}", False, 2), ("fp.m", "fp.m", True, 1)],
)
def test_exact_results_answer_from_their_chain(a, b, truth, size):
    result = Topic(a).match(Topic(b))
    assert (bool(result), result.matched, len(result), result.length) == (truth, truth, size, size)


def test_subclass_overrides_of_matched_and_length_are_honoured():
    result = Refusing()
    assert (bool(result), len(result), repr(result)) == (False, 7, "<evt_topic_match failed>(nodes=7)")


def test_results_without_a_chain_refuse_bool_and_len():
    for result in (TopicMatchResult(), Topic("fp.u").match(Topic(alloc=False))):
        for ask in (bool, len, lambda r: r.matched, lambda r: r.length):
            with pytest.raises(RuntimeError, match="^Not initialized!$"):
                ask(result)


def test_recycled_results_start_clean_and_tracked():
    a, b = Topic("fp.r.a"), Topic("fp.r.{x}")
    for _ in range(40):  # more than are kept spare
        result = a.match(b)
        described = {key: repr(view) for key, view in result.to_dict().items()}
        assert described == {
            "fp": '<TopicPartExact>(topic="fp")', "r": '<TopicPartExact>(topic="r")', "a": '<TopicPartAny>(name="x")'}
        del result
    fresh = TopicMatchResult()
    assert gc.is_tracked(fresh)
    with pytest.raises(RuntimeError, match="^Not initialized!$"):
        bool(fresh)
    assert fresh.to_dict() == {}
    reused = a.match(b)
    assert gc.is_tracked(reused) and bool(reused) and len(reused) == 3
    assert sys.getrefcount(a) == sys.getrefcount(b)  # both held once by the result, once here


def test_results_in_a_cycle_are_collected():
    class Holder(Topic):
        pass

    a = Holder("fp.cyc.a")
    a.result = a.match(Topic("fp.cyc.{x}"))
    probe = Topic("fp.cyc.a")
    del a
    gc.collect()
    assert probe.value == "fp.cyc.a"


# ---- part views ---------------------------------------------------------------------


def test_views_have_their_kinds_class_and_follow_their_topic():
    topic = Topic("fp.v.{w}.(a|b)./p+/")
    assert [type(part).__name__ for part in topic] == [
        "TopicPartExact", "TopicPartExact", "TopicPartAny", "TopicPartRange", "TopicPartPattern"]
    view = topic[2]
    topic.value = "fp.other"
    with pytest.raises(RuntimeError, match="no longer part of its topic"):
        view.name


# ---- the compiled-expression cache ------------------------------------------------


def matches(literal, generic):
    return bool(Topic(literal).match(Topic(generic)))


def counting(compile_function, counter):
    def compile(pattern, *args):
        counter.append(pattern)
        return compile_function(pattern, *args)

    return compile


def test_a_replaced_compile_is_called_at_every_position(monkeypatch):
    calls = []
    monkeypatch.setattr(re, "compile", counting(re.compile, calls))
    for _ in range(3):
        assert matches("fp.c.v42.k7", "fp.c./v[0-9]+/./k[0-9]/")
    assert calls == ["v[0-9]+", "k[0-9]"] * 3


def test_a_replaced_re_module_is_used_at_every_position(monkeypatch):
    calls = []
    stand_in = types.ModuleType("re")
    stand_in.compile = counting(re.compile, calls)
    monkeypatch.setitem(sys.modules, "re", stand_in)
    assert matches("fp.m.v42", "fp.m./v[0-9]+/") and not matches("fp.m.x", "fp.m./v[0-9]+/")
    assert calls == ["v[0-9]+", "v[0-9]+"]


def test_the_cache_is_used_again_once_re_is_restored(monkeypatch):
    calls = []
    with monkeypatch.context() as patch:
        patch.setattr(re, "compile", counting(re.compile, calls))
        assert matches("fp.back.v1", "fp.back./v[0-9]/")
    assert calls == ["v[0-9]"]
    assert matches("fp.back.v1", "fp.back./v[0-9]/") and not matches("fp.back.vv", "fp.back./v[0-9]/")
    assert calls == ["v[0-9]"]


def test_cached_answers_agree_with_re_over_many_patterns():
    # More distinct expressions than the cache keeps, each asked twice.
    patterns = [f"x{i}y" for i in range(700)] + ["^a", "b$", "[", "(?P<n>q)"]
    for _ in range(2):
        for i, pattern in enumerate(patterns):
            segment = f"--x{i}y--" if i % 2 else f"x{i + 1}y"
            expected = bool(re.compile(pattern).search(segment)) if pattern != "[" else False
            assert matches(f"fp.many.{segment}", f"fp.many./{pattern}/") == expected, pattern
