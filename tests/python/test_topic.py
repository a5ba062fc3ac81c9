"""Topic class: construction, value, comparison, hashing, indexing, iteration."""

import gc
import inspect
import pickle
import re
import weakref

import pytest

from quenda_loomi.capi.tessaly import Topic, TopicPartAny, TopicPartExact, TopicPartRange, TopicTestToolkit


@pytest.mark.parametrize(
    "args, literal, owner, exact, text",
    [
        ((), "", True, 1, '<Topic Exact>(value="", n_parts=0)'),
        (("",), "", True, 1, '<Topic Exact>(value="", n_parts=0)'),
        (("a.b",), "a.b", False, 1, '<Topic Exact>(value="a.b", n_parts=2)'),
        (("a.+x",), "a.+x", False, 0, '<Topic Generic>(value="a.+x", n_parts=2)'),
        (("a.{x}.(b|c)./d+/",), "a.{x}.(b|c)./d+/", False, 0, '<Topic Generic>(value="a.{x}.(b|c)./d+/", n_parts=4)'),
        (("é", 1, 2), "é", False, 1, '<Topic Exact>(value="é", n_parts=1)'),  # extra arguments ignored
    ],
)
def test_construction(args, literal, owner, exact, text):
    topic = Topic(*args, other=3)
    assert (topic.value, str(topic), topic.owner, topic.is_exact, repr(topic)) == (literal, literal, owner, exact, text)
    assert bool(topic) is bool(literal) and len(topic) == TopicTestToolkit.get_n_parts(topic)
    if not literal:
        assert hash(topic) == 0 and not TopicTestToolkit.get_internal_map_has("")


def test_construction_holds_its_arguments_while_alloc_is_tested():
    class EmptiesKeywords:
        def __bool__(self):
            for referrer in gc.get_referrers(self):
                if isinstance(referrer, dict) and "topic" in referrer:
                    referrer.clear()
            return True

    keywords = {"topic": "".join(["held.", "lit", "eral"]), "alloc": EmptiesKeywords()}
    assert Topic(**keywords).value == "held.literal"


def test_same_literal_shares_one_record():
    first, second = Topic("share.me"), Topic("share.me")
    assert first is not second and first.addr == second.addr != 0
    assert first == second and hash(first) == hash(second)


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        (("a",), {"alloc": False}, RuntimeError, "Can not assign topic string when uninitialized!"),
        (("/abc",), {}, MemoryError, "Failed to allocate memory!"),
        ((5,), {}, TypeError, "Argument 'topic' has incorrect type"),
        ((type("Text", (str,), {})("a"),), {}, TypeError, "Argument 'topic' has incorrect type"),
        (("a",), {"topic": "b"}, TypeError, "multiple values"),
    ],
)
def test_construction_failures(args, kwargs, error, message):
    with pytest.raises(error, match=re.escape(message)):
        Topic(*args, **kwargs)


@pytest.mark.parametrize(
    "action",
    [len, hash, str, lambda t: next(iter(t)), lambda t: t.value, lambda t: t.is_exact, lambda t: t[0],
     lambda t: t == Topic("x"), lambda t: Topic("x") != t, lambda t: setattr(t, "value", "a")],
    ids=["len", "hash", "str", "iter", "value", "is_exact", "index", "eq", "ne", "set_value"],
)
def test_uninitialized_topic(action):
    topic = Topic(None, alloc=False)
    assert (topic.addr, topic.owner, bool(topic), repr(topic)) == (0, False, False, "<Topic uninitialized>")
    iterator = iter(topic)  # fails only on its first step
    with pytest.raises(RuntimeError, match="Not initialized!"):
        action(topic)
    del iterator


@pytest.mark.parametrize(
    "index, cls, content",
    [(0, TopicPartExact, "a"), (1, TopicPartAny, "b"), (-1, TopicPartRange, ["c", "d"]), (-3, TopicPartExact, "a")],
)
def test_indexing(index, cls, content):
    part = Topic("a.+b.(c|d)")[index]
    assert type(part) is cls and part.owner is False
    assert {TopicPartExact: lambda: part.part, TopicPartAny: lambda: part.name, TopicPartRange: lambda: list(part)}[
        cls
    ]() == content


@pytest.mark.parametrize(
    "index, error, message",
    [(3, IndexError, "Index 3 out of range!"), (-4, IndexError, "Index -4 out of range!"),
     (2**70, IndexError, f"Index {2**70} out of range!"), ("0", TypeError, "indices must be integers"),
     (slice(0, 1), TypeError, "indices must be integers")],
)
def test_index_failures(index, error, message):
    with pytest.raises(error, match=re.escape(message)):
        Topic("a.b.c")[index]


def test_iteration_keeps_the_topic_and_follows_a_reassigned_value():
    topic = Topic()
    topic.value = "one.two.three"
    iterator = iter(topic)
    assert inspect.isgenerator(iterator) and iterator.__qualname__ == "Topic.__iter__"
    assert next(iterator).part == "one"
    topic.value = "x.(p|q)"
    del topic
    assert [repr(p) for p in iterator] == ["<TopicPartRange>(n=2, options=['p', 'q'])"]


def test_value_assignment_rekeys_the_shared_record():
    old, holder = Topic("va.old"), Topic("va.old")
    old.value = "va.new.+x"
    assert (holder.value, holder.is_exact) == ("va.new.+x", 0)
    assert Topic("va.new.+x").addr == old.addr
    assert Topic("va.old").addr != old.addr  # parsed anew


@pytest.mark.parametrize(
    "value, error, message",
    [("", ValueError, 'Failed to assign topic "", check if syntax is correct!'),
     ("a./b", ValueError, 'Failed to assign topic "a./b", check if syntax is correct!'),
     (5, TypeError, "Argument 'value' has incorrect type"),
     # None passes the type check and fails where its UTF-8 bytes are taken.
     (None, AttributeError, "'NoneType' object has no attribute 'encode'")],
)
def test_value_assignment_failures(value, error, message):
    topic = Topic()
    topic.value = "before.fail"
    with pytest.raises(error, match=re.escape(message)):
        topic.value = value
    registered = TopicTestToolkit.get_internal_map_has("before.fail")
    assert (topic.value, registered) == (("", False) if error is ValueError else ("before.fail", True))
    with pytest.raises(NotImplementedError, match="__del__"):
        del topic.value


def test_equality_rules():
    assert Topic("eq.a") == Topic("eq.a") and Topic("eq.+x") != Topic("eq.{x}")
    # None is accepted and never equal, also for an uninitialised topic.
    assert (Topic("eq.a") == None, Topic("eq.a") != None, Topic(alloc=False) == None) == (False, True, False)  # noqa
    for compare in (lambda: Topic("eq.a") == "eq.a", lambda: "eq.a" != Topic("eq.a")):
        with pytest.raises(TypeError, match="Argument 'other' has incorrect type"):
            compare()
    with pytest.raises(TypeError):
        Topic("eq.a") < Topic("eq.b")


def test_hash_is_the_signed_record_hash():
    topic = Topic("hash.me")
    unsigned = TopicTestToolkit.get_hash(topic)
    signed = unsigned - 2**64 if unsigned >= 2**63 else unsigned
    assert hash(topic) == (-2 if signed == -1 else signed)


def test_subclass_weakref_and_pickling():
    class Named(Topic):
        pass

    topic = Named("sub.class")
    assert repr(topic) == '<Named Exact>(value="sub.class", n_parts=2)'
    assert repr(Named(alloc=False)) == "<Named uninitialized>"
    assert topic == Topic("sub.class") and weakref.ref(topic)() is topic
    topic.extra = topic[0]  # a cycle through a view is collectable
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(Topic("pick.le"))
