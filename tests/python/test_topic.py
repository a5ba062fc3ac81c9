"""Topic class: construction, value, comparison, hashing, indexing, iteration."""

import pickle
import re
import weakref

import pytest

from quenda_loomi.capi.tessaly import (
    Topic,
    TopicPartAny,
    TopicPartExact,
    TopicPartPattern,
    TopicPartRange,
    TopicTestToolkit,
)

NOT_INITIALIZED = "Not initialized!"


@pytest.mark.parametrize("args", [(), ("",), (None,)])
def test_empty_topic_is_owned_and_exact(args):
    topic = Topic(*args)
    assert topic.owner is True
    assert (len(topic), bool(topic), topic.value, topic.is_exact, hash(topic)) == (0, False, "", 1, 0)
    assert repr(topic) == '<Topic Exact>(value="", n_parts=0)'
    assert not TopicTestToolkit.get_internal_map_has("")


@pytest.mark.parametrize(
    "literal, exact, text",
    [
        ("a.b", 1, '<Topic Exact>(value="a.b", n_parts=2)'),
        ("a.+x", 0, '<Topic Generic>(value="a.+x", n_parts=2)'),
        ("a.{x}.(b|c)./d+/", 0, '<Topic Generic>(value="a.{x}.(b|c)./d+/", n_parts=4)'),
        ("é", 1, '<Topic Exact>(value="é", n_parts=1)'),
    ],
)
def test_literal_topic(literal, exact, text):
    topic = Topic(literal)
    assert topic.owner is False
    assert topic.value == str(topic) == literal
    assert topic.is_exact == exact
    assert repr(topic) == text
    assert bool(topic)


def test_same_literal_shares_one_record():
    first, second = Topic("share.me"), Topic("share.me")
    assert first is not second
    assert first.addr == second.addr != 0
    assert first == second and hash(first) == hash(second)
    assert not first.owner and not second.owner


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        (("a",), {"alloc": False}, RuntimeError, "Can not assign topic string when uninitialized!"),
        (("/abc",), {}, MemoryError, "Failed to allocate memory!"),
        ((5,), {}, TypeError, "Argument 'topic' has incorrect type"),
        ((b"a",), {}, TypeError, "Argument 'topic' has incorrect type"),
        (("a",), {"topic": "b"}, TypeError, "multiple values"),
    ],
)
def test_construction_failures(args, kwargs, error, message):
    with pytest.raises(error, match=re.escape(message)):
        Topic(*args, **kwargs)


def test_extra_arguments_are_ignored():
    assert Topic("ign.ored", 1, 2, alloc=1, other=3).value == "ign.ored"


@pytest.mark.parametrize(
    "action",
    [len, hash, str, iter, lambda t: t.value, lambda t: t.is_exact, lambda t: t[0],
     lambda t: t == Topic("x"), lambda t: Topic("x") != t, lambda t: setattr(t, "value", "a")],
    ids=["len", "hash", "str", "iter", "value", "is_exact", "index", "eq", "ne", "set_value"],
)
def test_uninitialized_topic_raises(action):
    topic = Topic(alloc=False)
    with pytest.raises(RuntimeError, match=NOT_INITIALIZED):
        result = action(topic)
        if action is iter:
            next(result)


def test_uninitialized_topic_neutral_members():
    topic = Topic(None, alloc=False)
    assert (topic.addr, topic.owner, bool(topic), repr(topic)) == (0, False, False, "<Topic uninitialized>")


@pytest.mark.parametrize(
    "index, expected",
    [(0, ("a", TopicPartExact)), (1, ("b", TopicPartAny)), (-1, (["c", "d"], TopicPartRange)),
     (-3, ("a", TopicPartExact)), (True, ("b", TopicPartAny))],
)
def test_indexing(index, expected):
    part = Topic("a.+b.(c|d)")[index]
    text, cls = expected
    assert type(part) is cls and part.owner is False
    assert (list(part) if cls is TopicPartRange else (part.part if cls is TopicPartExact else part.name)) == text


@pytest.mark.parametrize(
    "index, error, message",
    [(3, IndexError, "Index 3 out of range!"), (-4, IndexError, "Index -4 out of range!"),
     (2**70, IndexError, f"Index {2**70} out of range!"), ("0", TypeError, "indices must be integers"),
     (slice(0, 1), TypeError, "indices must be integers")],
)
def test_index_failures(index, error, message):
    with pytest.raises(error, match=re.escape(message)):
        Topic("a.b.c")[index]


def test_iteration_yields_views_of_each_kind():
    parts = list(Topic("a.{b}.(c|d)./e/"))
    assert [type(p) for p in parts] == [TopicPartExact, TopicPartAny, TopicPartRange, TopicPartPattern]
    assert all(not p.owner for p in parts)


def test_iteration_follows_a_reassigned_value():
    topic = Topic()
    topic.value = "one.two.three"
    iterator = iter(topic)
    assert next(iterator).part == "one"
    topic.value = "x.(p|q)"
    assert [repr(p) for p in iterator] == ["<TopicPartRange>(n=2, options=['p', 'q'])"]


def test_iterator_keeps_topic_alive():
    topic = Topic()
    topic.value = "iter.keeps"
    iterator = iter(topic)
    del topic
    assert [p.part for p in iterator] == ["iter", "keeps"]


def test_value_assignment_rekeys_the_shared_record():
    old = Topic("va.old")
    holder = Topic("va.old")
    old.value = "va.new.+x"
    assert holder.value == "va.new.+x" and holder.is_exact == 0
    assert Topic("va.new.+x").addr == old.addr
    fresh = Topic("va.old")
    assert fresh.addr != old.addr and fresh.value == "va.old"


@pytest.mark.parametrize(
    "value, error, message",
    [("", ValueError, 'Failed to assign topic "", check if syntax is correct!'),
     ("a./b", ValueError, 'Failed to assign topic "a./b", check if syntax is correct!'),
     (5, TypeError, "Argument 'value' has incorrect type"),
     (None, TypeError, "must be a str")],
)
def test_value_assignment_failures(value, error, message):
    topic = Topic()
    topic.value = "before.fail"
    with pytest.raises(error, match=re.escape(message)):
        topic.value = value
    if error is ValueError:
        assert topic.value == "" and not TopicTestToolkit.get_internal_map_has("before.fail")
    else:
        assert topic.value == "before.fail"


def test_value_cannot_be_deleted():
    with pytest.raises(NotImplementedError, match="__del__"):
        del Topic("del.value").value


def test_equality_rules():
    assert Topic("eq.a") == Topic("eq.a")
    assert Topic("eq.+x") != Topic("eq.{x}")
    # None is accepted and never equal.
    assert (Topic("eq.a") == None, Topic("eq.a") != None) == (False, True)  # noqa: E711
    assert (Topic(alloc=False) == None) is False  # noqa: E711
    with pytest.raises(TypeError, match="Argument 'other' has incorrect type"):
        Topic("eq.a") == "eq.a"
    with pytest.raises(TypeError, match="Argument 'other' has incorrect type"):
        "eq.a" != Topic("eq.a")
    with pytest.raises(TypeError):
        Topic("eq.a") < Topic("eq.b")


def test_hash_is_the_signed_record_hash():
    topic = Topic("hash.me")
    unsigned = TopicTestToolkit.get_hash(topic)
    signed = unsigned - 2**64 if unsigned >= 2**63 else unsigned
    assert hash(topic) == (-2 if signed == -1 else signed)


def test_subclass():
    class Named(Topic):
        pass

    topic = Named("sub.class")
    assert repr(topic) == '<Named Exact>(value="sub.class", n_parts=2)'
    assert repr(Named(alloc=False)) == "<Named uninitialized>"
    assert topic == Topic("sub.class")
    topic.extra = topic[0]  # a cycle through a view is collectable
    assert weakref.ref(topic)() is topic
    assert Topic.join.__doc__ == "Topic.join(cls, topic_parts: Iterable[str]) -> Topic"


def test_pickling_refused():
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(Topic("pick.le"))


def test_docstrings():
    assert Topic.is_exact.__doc__ == "Topic.is_exact: bint"
    assert Topic.addr.__doc__ == "Topic.addr: uintptr_t"
    assert Topic.value.__doc__ is None and Topic.owner.__doc__ is None
    assert {name: getattr(Topic, name).__doc__ for name in ("append", "match", "format_map", "format",
                                                            "update_literal", "from_parts")} == {
        "append": "Topic.append(self, TopicPart topic_part) -> Topic",
        "match": "Topic.match(self, Topic other) -> TopicMatchResult",
        "format_map": "Topic.format_map(self, dict mapping, bool internalized=True, bool strict=False) -> Topic",
        "format": "Topic.format(self, **kwargs) -> Topic",
        "update_literal": "Topic.update_literal(self) -> Topic",
        "from_parts": "Topic.from_parts(cls, topic_parts: Iterable[TopicPart]) -> Topic",
    }
