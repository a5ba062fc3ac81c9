"""Python subclasses overriding the overridable native slots of Topic."""

import pytest

from quenda_loomi.capi.tessaly import Topic

MARKER = object()


class Recording(Topic):
    """Overrides format_map; records each call and answers with `answer` when set."""

    calls = []
    answer = MARKER

    def format_map(self, mapping, internalized=True, strict=False):
        Recording.calls.append((mapping, internalized, strict))
        if Recording.answer is MARKER:
            return super().format_map(mapping, internalized, strict)
        return Recording.answer


@pytest.mark.parametrize(
    "call, answer, outcome",
    [
        (lambda t: t.format(x="1"), MARKER, "so.1"),
        (lambda t: t(x="1"), MARKER, "so.1"),
        (lambda t: t(x="1"), None, None),
        (lambda t: t.format(x="1"), "so.text", "Cannot convert str to quenda_loomi.capi.tessaly.Topic"),
    ],
)
def test_format_and_call_go_through_the_override(call, answer, outcome):
    Recording.calls.clear()
    Recording.answer = answer
    try:
        result = call(Recording("so.{x}"))
    except TypeError as error:
        result = str(error)
    assert Recording.calls == [({"x": "1"}, True, False)]
    assert (result.value if isinstance(result, Topic) else result) == outcome


def test_subclass_without_override_and_direct_calls_use_the_builtin():
    class Plain(Topic):
        pass

    class Alias(Topic):
        format_map = Topic.format_map

    Recording.calls.clear()
    assert Plain("sp.{x}").format(x="2").value == "sp.2"
    assert Alias("sa.{x}")(x="4").value == "sa.4"
    assert Topic.format_map(Recording("sd.{x}"), {"x": "3"}).value == "sd.3"
    assert Recording.calls == []


def test_override_is_what_the_instance_resolves_to():
    class Plain(Topic):
        pass

    calls = []
    topic = Plain("si.{x}")
    # An instance attribute, or another topic's bound method, stands in for the built-in.
    topic.format_map = lambda *args: calls.append(args) or Topic("si.answer")
    assert topic.format(x="1").value == "si.answer" and calls == [({"x": "1"}, True, False)]
    topic.format_map = Topic("si.other.{x}").format_map
    assert topic(x="2").value == "si.other.2"


def test_native_table_dispatch(python_subprocess):
    """append and match are reached with dispatch only from native code: call the table."""
    code = r"""
        import ctypes
        from quenda_loomi.capi.tessaly import Topic, TopicMatchResult, TopicPartExact

        def slots(topic):
            # TopicObject: object header (16 bytes), then the table pointer.
            table = ctypes.c_void_p.from_address(id(topic) + 16).value
            return (ctypes.c_void_p * 6).from_address(table)

        two = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_int)

        class Sub(Topic):
            answer = None
            def append(self, topic_part):
                return Sub.answer
            def match(self, other):
                return Sub.answer

        table = slots(Topic("nt.a"))
        append, match = two(table[3]), two(table[4])
        sub, part, other = Sub("nt.s"), TopicPartExact("z", alloc=True), Topic("nt.{x}")

        def attempt(fn, *args):
            try:
                result = fn(*args)
            except TypeError as error:
                return str(error)
            return type(result).__name__ if not isinstance(result, Topic) else result.value

        lines = []
        for answer in (None, TopicMatchResult(), "x", Topic("nt.t")):
            Sub.answer = answer
            lines.append(f"{attempt(match, sub, other, 0)} | {attempt(append, sub, part, 0)}")
        lines.append(f"{attempt(match, sub, other, 1)} | {attempt(append, Sub('nt.u'), part, 1)}")
        lines.append(f"{attempt(match, Topic('nt.a'), None, 0)} | {attempt(append, Topic('nt.a'), None, 0)}")
        print("\n".join(lines))
    """
    proc = python_subprocess(code)
    assert proc.returncode == 0, proc.stderr
    topic_type, result_type = "quenda_loomi.capi.tessaly.Topic", "quenda_loomi.capi.tessaly.TopicMatchResult"
    assert proc.stdout.splitlines() == [
        "NoneType | NoneType",
        f"TopicMatchResult | Cannot convert {result_type} to {topic_type}",
        f"Cannot convert str to {result_type} | Cannot convert str to {topic_type}",
        f"Cannot convert {topic_type} to {result_type} | nt.t",
        "TopicMatchResult | nt.u.z",
        f"Argument 'other' has incorrect type (expected {topic_type}, got NoneType)"
        f" | Argument 'topic_part' has incorrect type (expected quenda_loomi.capi.tessaly.TopicPart, got NoneType)",
    ]
