"""Composition: +, +=, append, Topic.from_parts and Topic.join."""

import pytest

from quenda_loomi.capi.tessaly import (
    Topic,
    TopicPart,
    TopicPartAny,
    TopicPartExact,
    TopicPartPattern,
    TopicPartRange,
)


def kinds(topic):
    return [part.ttype.name.removeprefix("TOPIC_PART_") for part in topic]


def exact(text):
    return TopicPartExact(text, alloc=True)


@pytest.mark.parametrize(
    "build, value, part_kinds",
    [
        (lambda: Topic("ca.b") + Topic("cc.{d}"), "ca.b.cc.{d}", ["EXACT", "EXACT", "EXACT", "ANY"]),
        (lambda: Topic("cx") + exact("y"), "cx.y", ["EXACT", "EXACT"]),
        (lambda: Topic("cr") + Topic("x.(b|c)./v+/"), "cr.x.(b|c)./v+/", ["EXACT", "EXACT", "RANGE", "PATTERN"]),
        (lambda: Topic("ct") + TopicPartRange(["x", "yy"], alloc=True), "ct.(x|yy)", ["EXACT", "RANGE"]),
        (lambda: Topic("cp") + TopicPartPattern("a.b", alloc=True), "cp./a.b/", ["EXACT", "PATTERN"]),
        (lambda: Topic() + Topic("ce"), "ce", ["EXACT"]),
        (lambda: Topic.join(["a.b", "c"]), "a.b.c", ["EXACT", "EXACT"]),
        (lambda: Topic.join(iter(["", "ja", ""])), "ja", ["EXACT"]),
        (lambda: Topic.join([]), "", []),
        (lambda: Topic.join(("{x}", "(y)")), "{x}.(y)", ["EXACT", "EXACT"]),
        (lambda: Topic.from_parts([TopicPartAny("x", alloc=True), exact("fy")]), "{x}.fy", ["ANY", "EXACT"]),
        (lambda: Topic.from_parts(p for p in Topic("fa.+b.(c|d)")), "fa.{b}.(c|d)", ["EXACT", "ANY", "RANGE"]),
    ],
)
def test_composed_topics(build, value, part_kinds):
    topic = build()
    assert type(topic) is Topic and topic.owner
    assert (topic.value, kinds(topic), len(topic)) == (value, part_kinds, len(part_kinds))
    assert topic.is_exact == (set(part_kinds) <= {"EXACT"})


def test_add_leaves_operands_alone_and_shares_nothing():
    left, right = Topic("sa.b"), Topic("sc.{d}")
    total = left + right
    assert (left.value, right.value) == ("sa.b", "sc.{d}")
    assert not {part.addr for part in total} & {part.addr for part in [*left, *right]}
    doubled = left + left
    assert doubled.value == "sa.b.sa.b"


def test_iadd_changes_the_shared_record():
    first, second = Topic("ia.b"), Topic("ia.b")
    first += Topic("c")
    assert second.value == "ia.b.c" and first.addr == second.addr
    assert Topic("ia.b").addr != first.addr
    first += TopicPartAny("z", alloc=True)
    assert second.value == "ia.b.c.{z}" and not second.is_exact


def test_iadd_with_itself_doubles_once():
    topic = Topic.join(["s1", "s2"])
    same = topic
    topic += topic
    assert topic is same and topic.value == "s1.s2.s1.s2" and len(topic) == 4


def test_append_copies_the_part():
    topic = Topic.join(["ap"])
    part = exact("x")
    assert topic.append(part) is topic and topic.append(topic_part=part) is topic
    assert topic.value == "ap.x.x"
    assert (part.owner, part.part) == (True, "x") and topic[-1].addr != part.addr


ADD_MESSAGE = (
    "Can not add {} to sa, expected ether a <class 'quenda_loomi.capi.tessaly.Topic'>"
    " or <class 'quenda_loomi.capi.tessaly.TopicPart'>"
)
PART_TYPE = "quenda_loomi.capi.tessaly.TopicPart"


@pytest.mark.parametrize(
    "action, error, message",
    [
        (lambda: Topic("sa") + 5, TypeError, ADD_MESSAGE.format(5)),
        (lambda: Topic("sa") + None, TypeError, ADD_MESSAGE.format(None)),
        (lambda: Topic("sa") + "x", TypeError, ADD_MESSAGE.format("x")),
        (lambda: 5 + Topic("sa"), TypeError,
         "unsupported operand type(s) for +: 'int' and 'quenda_loomi.capi.tessaly.Topic'"),
        (lambda: Topic("sa").append(None), TypeError,
         f"Argument 'topic_part' has incorrect type (expected {PART_TYPE}, got NoneType)"),
        (lambda: Topic("sa").append(Topic("x")), TypeError,
         f"Argument 'topic_part' has incorrect type (expected {PART_TYPE}, got quenda_loomi.capi.tessaly.Topic)"),
        (lambda: Topic.from_parts([exact("a"), 3]), TypeError, f"Cannot convert int to {PART_TYPE}"),
        (lambda: Topic.from_parts([None]), TypeError, f"Cannot convert NoneType to {PART_TYPE}"),
        (lambda: Topic.from_parts(5), TypeError, None),
        (lambda: Topic.join(["a", 5]), TypeError, None),
        (lambda: Topic(alloc=False) + Topic("sa"), RuntimeError, "Not initialized!"),
        (lambda: Topic("sa") + Topic(alloc=False), RuntimeError, "Not initialized!"),
        (lambda: Topic("sa") + TopicPartExact(), RuntimeError, "Not initialized!"),
        (lambda: Topic("sa").append(TopicPart()), RuntimeError, "Not initialized!"),
        (lambda: Topic(alloc=False).append(exact("a")), RuntimeError, "Not initialized!"),
        (lambda: Topic.from_parts([TopicPartAny()]), RuntimeError, "Not initialized!"),
    ],
)
def test_refused_operands(action, error, message):
    with pytest.raises(error) as info:
        action()
    if message is not None:
        assert str(info.value) == message


def test_iadd_on_uninitialized_and_refused_operand_leaves_topic():
    unbound = Topic(alloc=False)
    with pytest.raises(RuntimeError, match="^Not initialized!$"):
        unbound += Topic("x")
    topic = Topic("ir.a")
    with pytest.raises(TypeError):
        topic += 1
    assert topic.value == "ir.a"


def test_class_methods_on_subclasses_return_topic():
    class Sub(Topic):
        pass

    assert type(Sub.join(["sj"])) is Topic
    assert type(Sub.from_parts([exact("sf")])) is Topic
    assert type(Sub("sb") + Topic("x")) is Topic


def test_docstrings():
    assert Topic.append.__doc__ == "Topic.append(self, TopicPart topic_part) -> Topic"
    assert Topic.from_parts.__doc__ == "Topic.from_parts(cls, topic_parts: Iterable[TopicPart]) -> Topic"
    assert Topic.join.__doc__ == "Topic.join(cls, topic_parts: Iterable[str]) -> Topic"


def test_stale_part_views_are_refused(python_subprocess):
    proc = python_subprocess(
        """
        from quenda_loomi.capi.tessaly import Topic

        topic = Topic.join(["sv", "a"])
        view = topic[1]
        topic.value = "replaced.b"
        for use in (lambda: Topic("x") + view, lambda: Topic.join(["y"]).append(view),
                    lambda: Topic.from_parts([view])):
            try:
                use()
            except RuntimeError:
                print("refused")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["refused"] * 3
