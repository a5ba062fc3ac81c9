"""Part classes: construction, content accessors, reprs, views and release."""

import ctypes
import pickle
import re

import pytest

from quenda_loomi.capi.tessaly import (
    Topic,
    TopicPart,
    TopicPartAny,
    TopicPartExact,
    TopicPartPattern,
    TopicPartRange,
    TopicTestToolkit,
    TopicType,
)

NOT_INITIALIZED = "Not initialized!"
PART_CLASSES = [TopicPart, TopicPartExact, TopicPartAny, TopicPartRange, TopicPartPattern]


@pytest.mark.parametrize(
    "cls, content, ttype, accessor, value, text",
    [
        (TopicPartExact, "a", TopicType.TOPIC_PART_EXACT, "part", "a", '<TopicPartExact>(topic="a")'),
        (TopicPartAny, "who", TopicType.TOPIC_PART_ANY, "name", "who", '<TopicPartAny>(name="who")'),
        (TopicPartPattern, "v[0-9]+", TopicType.TOPIC_PART_PATTERN, "pattern", "v[0-9]+",
         '<TopicPartPattern>(regex="v[0-9]+")'),
        (TopicPartExact, "é.x", TopicType.TOPIC_PART_EXACT, "part", "é.x", '<TopicPartExact>(topic="é.x")'),
    ],
)
def test_text_part_built_with_alloc(cls, content, ttype, accessor, value, text):
    part = cls(content, alloc=True)
    assert part.ttype is ttype
    assert getattr(part, accessor) == value
    assert repr(part) == text
    assert part.owner is True
    assert isinstance(part.addr, int) and part.addr != 0
    with pytest.raises(StopIteration):
        part.next()
    # The same content by keyword.
    assert getattr(cls(alloc=True, **{accessor if accessor != "pattern" else "regex": content}), accessor) == value


def test_exact_length_counts_utf8_bytes():
    assert len(TopicPartExact("a", alloc=True)) == 1
    assert len(TopicPartExact("é", alloc=True)) == 2


def test_range_part_built_with_alloc():
    part = TopicPartRange(["x", "yy"], alloc=True)
    assert part.ttype is TopicType.TOPIC_PART_RANGE
    assert len(part) == 2
    assert list(part) == ["x", "yy"] == list(part.options())
    assert repr(part) == "<TopicPartRange>(n=2, options=['x', 'yy'])"
    assert TopicTestToolkit.get_range_num_options(part) == 2


@pytest.mark.parametrize(
    "options, literal",
    [(["x", "yy"], b"x\0yy"), (["é"], b"\xc3\xa9"), (["", "b"], b"\0b"), (["a"], b"a")],
)
def test_range_literal_layout(options, literal):
    part = TopicPartRange(options, alloc=True)
    record = part.addr
    literal_ptr = ctypes.c_void_p.from_address(record + 40).value
    literal_len = ctypes.c_uint64.from_address(record + 48).value
    assert literal_len == len(literal)
    assert ctypes.string_at(literal_ptr, literal_len + 1) == literal + b"\0"
    assert list(part) == options


@pytest.mark.parametrize(
    "cls, args",
    [(TopicPartExact, ()), (TopicPartAny, ("",)), (TopicPartPattern, (None,)), (TopicPartRange, ([],)),
     (TopicPartRange, ())],
)
def test_alloc_without_content_reads_as_empty_exact_record(cls, args):
    part = cls(*args, alloc=True)
    assert part.ttype is TopicType.TOPIC_PART_EXACT
    assert part.owner is True
    if cls is TopicPartRange:
        assert repr(part) == "<TopicPartRange>(n=0, options=[])"
        assert len(part) == 0


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
        (TopicPartAny, (b"x",), {"alloc": True}, TypeError, "Argument 'name' has incorrect type"),
        (TopicPartRange, (("a",),), {"alloc": True}, TypeError, "Argument 'options' has incorrect type"),
        (TopicPartRange, ([1],), {"alloc": True}, TypeError, "object of type 'int' has no len()"),
        (TopicPartRange, ([b"x"],), {"alloc": True}, TypeError, "Expected str, got bytes"),
        (TopicPartExact, ("a",), {"part": "b", "alloc": True}, TypeError, "multiple values"),
    ],
)
def test_constructor_failures(cls, args, kwargs, error, message):
    with pytest.raises(error, match=re.escape(message)):
        cls(*args, **kwargs)


def test_str_subclass_content_is_refused():
    class Text(str):
        pass

    with pytest.raises(TypeError):
        TopicPartExact(Text("a"), alloc=True)
    with pytest.raises(TypeError, match="Expected str, got Text"):
        TopicPartRange([Text("a")], alloc=True)


@pytest.mark.parametrize(
    "cls, text",
    [(TopicPartExact, "<TopicPartExact uninitialized>"), (TopicPartAny, "<TopicPartAny uninitialized>"),
     (TopicPartRange, "<TopicPartRange uninitialized>"), (TopicPartPattern, "<TopicPartPattern uninitialized>")],
)
def test_uninitialized_repr_addr_owner(cls, text):
    part = cls()
    assert repr(part) == text
    assert part.addr is None
    assert part.owner is False


@pytest.mark.parametrize(
    "cls, action",
    [
        (TopicPart, lambda p: p.ttype),
        (TopicPart, lambda p: p.next()),
        (TopicPartExact, lambda p: p.part),
        (TopicPartExact, len),
        (TopicPartAny, lambda p: p.name),
        (TopicPartPattern, lambda p: p.pattern),
        (TopicPartPattern, lambda p: p.regex),
        (TopicPartRange, len),
        (TopicPartRange, list),
        (TopicPartRange, lambda p: next(p.options())),
    ],
)
def test_uninitialized_accessors_raise(cls, action):
    with pytest.raises(RuntimeError, match=NOT_INITIALIZED):
        action(cls())


def test_options_generator_fails_only_on_first_step():
    options = TopicPartRange().options()
    with pytest.raises(RuntimeError, match=NOT_INITIALIZED):
        next(options)


def test_regex_compiles_on_every_access(monkeypatch):
    part = TopicPartPattern("v[0-9]+", alloc=True)
    calls = []
    original = re.compile
    monkeypatch.setattr(re, "compile", lambda source: calls.append(source) or original(source))
    assert part.regex.search("xv12") is not None
    part.regex
    assert calls == ["v[0-9]+", "v[0-9]+"]


def test_base_part_ignores_arguments():
    part = TopicPart(1, 2, alloc=True, other=3)
    assert part.owner is True and part.ttype is TopicType.TOPIC_PART_EXACT
    assert repr(part).startswith("<quenda_loomi.capi.tessaly.TopicPart object")
    assert TopicPart(True).addr is None


@pytest.mark.parametrize("cls", PART_CLASSES)
def test_part_classes_refuse_pickling(cls):
    part = cls(alloc=True)
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(part)
    with pytest.raises(TypeError, match="no default __reduce__"):
        part.__setstate__({})


def test_views_of_a_topic():
    topic = Topic("a.+b.(c|d)./e+/")
    views = list(topic)
    assert [type(v) for v in views] == [TopicPartExact, TopicPartAny, TopicPartRange, TopicPartPattern]
    assert all(v.owner is False for v in views)
    assert views[0].next().name == "b"
    assert views[1].next().addr == views[2].addr
    assert list(views[2]) == ["c", "d"]
    with pytest.raises(StopIteration):
        views[3].next()


def test_view_keeps_its_topic_record_alive():
    topic = Topic()
    topic.value = "kept.alive.view"
    view = topic[2]
    del topic
    assert view.part == "view"
    assert repr(view) == '<TopicPartExact>(topic="view")'


@pytest.mark.parametrize("new_value", ["x.y.z", "x.(p|q)", "other"])
def test_view_refuses_to_read_after_value_reassignment(new_value):
    topic = Topic()
    topic.value = "re.assign.(a|b)"
    views = list(topic)
    topic.value = new_value
    for view in views:
        with pytest.raises(RuntimeError, match="no longer part of its topic"):
            repr(view)
        assert view.addr is not None  # the number stays readable


def test_docstrings():
    assert TopicPart.ttype.__doc__ == "TopicPart.ttype: TopicType"
    assert TopicPart.addr.__doc__ == "TopicPart.addr: int"
    assert TopicPart.next.__doc__ == "TopicPart.next(self)"
    assert TopicPartExact.part.__doc__ == "TopicPartExact.part: str"
    assert TopicPartAny.name.__doc__ == "TopicPartAny.name: str"
    assert TopicPartPattern.pattern.__doc__ == "TopicPartPattern.pattern: str"
    assert TopicPartRange.options.__doc__ == "TopicPartRange.options(self)"
    assert TopicPart.owner.__doc__ is None and TopicPartPattern.regex.__doc__ is None


def test_subclass_repr_uses_overridden_attribute():
    class Loud(TopicPartExact):
        @property
        def part(self):
            return "LOUD"

    assert repr(Loud("q", alloc=True)) == '<TopicPartExact>(topic="LOUD")'


def test_view_of_an_unknown_part_kind_is_refused():
    topic = Topic()
    topic.value = "cast.bad.kind"
    first = ctypes.c_void_p.from_address(topic.addr).value
    second = ctypes.c_void_p.from_address(first + 8).value
    kind = ctypes.c_int32.from_address(second)
    kind.value = 7
    try:
        with pytest.raises(ValueError, match="^Invalid ttype 7$"):
            topic[1]
        with pytest.raises(ValueError, match="^Invalid ttype 7$"):
            list(topic)
        with pytest.raises(ValueError, match="^Invalid ttype 7$"):
            topic[0].next()
    finally:
        kind.value = 0  # the record is released by its kind
