"""Part classes: construction, content accessors, reprs, views and release."""

import ctypes
import inspect
import pickle
import re

import pytest

from quenda_loomi.capi.tessaly import (
    Topic, TopicPart, TopicPartAny, TopicPartExact, TopicPartPattern, TopicPartRange, TopicType,
)


@pytest.mark.parametrize(
    "cls, keyword, content, ttype, accessor, text",
    [
        (TopicPartExact, "part", "a", TopicType.TOPIC_PART_EXACT, "part", '<TopicPartExact>(topic="a")'),
        (TopicPartAny, "name", "who", TopicType.TOPIC_PART_ANY, "name", '<TopicPartAny>(name="who")'),
        (TopicPartPattern, "regex", "v[0-9]+", TopicType.TOPIC_PART_PATTERN, "pattern",
         '<TopicPartPattern>(regex="v[0-9]+")'),
    ],
)
def test_text_part_built_with_alloc(cls, keyword, content, ttype, accessor, text):
    for part in (cls(content, alloc=True), cls(alloc=True, **{keyword: content})):
        assert (part.ttype, getattr(part, accessor), repr(part), part.owner) == (ttype, content, text, True)
        assert part.addr > 0
        with pytest.raises(StopIteration):
            part.next()
    if cls is TopicPartExact:
        assert len(part) == len(content.encode())


@pytest.mark.parametrize(
    "options, literal",
    [(["x", "yy"], b"x\0yy"), (["é"], b"\xc3\xa9"), (["", "b"], b"\0b")],
)
def test_range_part_built_with_alloc(options, literal):
    part = TopicPartRange(options, alloc=True)
    assert part.ttype is TopicType.TOPIC_PART_RANGE
    assert len(part) == len(options)
    assert list(part) == list(part.options()) == options
    assert inspect.isgenerator(iter(part)) and part.options().__qualname__ == "TopicPartRange.options"
    assert repr(part) == f"<TopicPartRange>(n={len(options)}, options={options})"
    # literal (offset 40) holds the options NUL-separated; literal_len (offset 48)
    literal_len = ctypes.c_uint64.from_address(part.addr + 48).value
    assert literal_len == len(literal)
    assert ctypes.string_at(ctypes.c_void_p.from_address(part.addr + 40).value, literal_len + 1) == literal + b"\0"


@pytest.mark.parametrize(
    "cls, args", [(TopicPart, ()), (TopicPartExact, (None,)), (TopicPartAny, ("",)), (TopicPartRange, ([],))]
)
def test_alloc_without_content_is_an_empty_exact_record(cls, args):
    part = cls(*args, 1, alloc=True, other=3)  # extra arguments are ignored
    assert (part.ttype, part.owner) == (TopicType.TOPIC_PART_EXACT, True)
    if cls is TopicPartRange:
        assert (repr(part), len(part)) == ("<TopicPartRange>(n=0, options=[])", 0)


class Text(str):
    pass


@pytest.mark.parametrize(
    "cls, args, kwargs, error, message",
    [
        (TopicPartExact, ("a",), {}, RuntimeError, "Can not assign part string when uninitialized!"),
        (TopicPartAny, ("a",), {}, RuntimeError, "Can not assign name string when uninitialized!"),
        (TopicPartPattern, ("a",), {}, RuntimeError, "Can not assign regex string when uninitialized!"),
        (TopicPartRange, (["a"],), {}, RuntimeError, "Can not assign options when uninitialized!"),
        # A second positional argument never switches allocation on.
        (TopicPartExact, ("a", True), {}, RuntimeError, "Can not assign part string when uninitialized!"),
        (TopicPartExact, (5,), {"alloc": True}, TypeError, "Argument 'part' has incorrect type"),
        (TopicPartAny, (Text("x"),), {"alloc": True}, TypeError, "Argument 'name' has incorrect type"),
        (TopicPartRange, ([1],), {"alloc": True}, TypeError, "object of type 'int' has no len()"),
        (TopicPartRange, ([b"x"],), {"alloc": True}, TypeError, "Expected str, got bytes"),
        (TopicPartRange, ([Text("x")],), {"alloc": True}, TypeError, "Expected str, got Text"),
        (TopicPartExact, ("a",), {"part": "b", "alloc": True}, TypeError, "multiple values"),
    ],
)
def test_constructor_failures(cls, args, kwargs, error, message):
    with pytest.raises(error, match=re.escape(message)):
        cls(*args, **kwargs)


@pytest.mark.parametrize(
    "cls, action",
    [(TopicPart, lambda p: p.ttype), (TopicPart, lambda p: p.next()), (TopicPartExact, lambda p: p.part),
     (TopicPartExact, len), (TopicPartAny, lambda p: p.name), (TopicPartPattern, lambda p: p.pattern),
     (TopicPartPattern, lambda p: p.regex), (TopicPartRange, len), (TopicPartRange, list),
     (TopicPartRange, lambda p: next(p.options()))],
)
def test_uninitialized_part(cls, action):
    part = cls()
    assert (part.addr, part.owner) == (None, False)
    if cls is not TopicPart:
        assert repr(part) == f"<{cls.__name__} uninitialized>"
    options = part.options() if cls is TopicPartRange else None  # fails only on its first step
    with pytest.raises(RuntimeError, match="Not initialized!"):
        action(part)
    del options


def test_regex_compiles_on_every_access(monkeypatch):
    part = TopicPartPattern("v[0-9]+", alloc=True)
    calls = []
    original = re.compile
    monkeypatch.setattr(re, "compile", lambda source: calls.append(source) or original(source))
    assert part.regex.search("xv12") and part.regex
    assert calls == ["v[0-9]+", "v[0-9]+"]


@pytest.mark.parametrize("cls", [TopicPart, TopicPartExact, TopicPartAny, TopicPartRange, TopicPartPattern])
def test_pickling_refused(cls):
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(cls(alloc=True))


def test_views_of_a_topic():
    views = list(Topic("a.+b.(c|d)./e+/"))
    assert [type(v) for v in views] == [TopicPartExact, TopicPartAny, TopicPartRange, TopicPartPattern]
    assert not any(v.owner for v in views)
    assert views[0].next().name == "b" and views[1].next().addr == views[2].addr
    with pytest.raises(StopIteration):
        views[3].next()


def test_view_keeps_its_topic_record_alive():
    topic = Topic()
    topic.value = "kept.alive.view"
    view = topic[2]
    del topic
    assert repr(view) == '<TopicPartExact>(topic="view")'


@pytest.mark.parametrize("new_value", ["x.y.z", "x.(p|q)", "other"])
def test_view_refuses_to_read_after_value_reassignment(new_value):
    topic = Topic()
    topic.value = "re.assign.(a|b)"
    views = list(topic)
    topic.value = new_value  # new parts may reuse the old addresses
    for view in views:
        with pytest.raises(RuntimeError, match="no longer part of its topic"):
            repr(view)


def test_view_of_an_unknown_part_kind_is_refused():
    topic = Topic()
    topic.value = "cast.bad.kind"
    second = ctypes.c_void_p.from_address(ctypes.c_void_p.from_address(topic.addr).value + 8).value
    kind = ctypes.c_int32.from_address(second)
    kind.value = 7
    try:
        for action in (lambda: topic[1], lambda: list(topic), lambda: topic[0].next()):
            with pytest.raises(ValueError, match="^Invalid ttype 7$"):
                action()
    finally:
        kind.value = 0  # the record is released by its kind
