"""Composition: +, +=, append, Topic.from_parts and Topic.join."""

import operator

import pytest

from quenda_loomi.capi.tessaly import Topic, TopicPart, TopicPartAny, TopicPartExact, TopicPartPattern, TopicPartRange


class Sub(Topic):
    pass


class Iterating(list):
    """A list whose iteration yields `instead`, not its items."""

    def __init__(self, items, instead):
        super().__init__(items)
        self.instead = instead

    def __iter__(self):
        return iter(self.instead)


class IteratingTuple(tuple):
    def __new__(cls, items, instead):
        self = super().__new__(cls, items)
        self.instead = instead
        return self

    def __iter__(self):
        return iter(self.instead)


def exact(text):
    return TopicPartExact(text, alloc=True)


@pytest.mark.parametrize(
    "build, value, kinds",
    [
        (lambda: Topic("ca.b") + Topic("cc.{d}"), "ca.b.cc.{d}", "EEEA"),
        (lambda: Topic("cx") + exact("y"), "cx.y", "EE"),
        (lambda: Topic("cr") + Topic("x.(b|c)./v+/"), "cr.x.(b|c)./v+/", "EERP"),
        (lambda: Topic("ct") + TopicPartRange(["x", "yy"], alloc=True), "ct.(x|yy)", "ER"),
        (lambda: Topic("cp") + TopicPartPattern("a.b", alloc=True), "cp./a.b/", "EP"),
        (lambda: Topic("sd.b") + Topic("sd.b"), "sd.b.sd.b", "EEEE"),
        (lambda: Sub("sb") + Topic("x"), "sb.x", "EE"),
        (lambda: Topic.join(["a.b", "c"]), "a.b.c", "EE"),
        (lambda: Sub.join(iter(["", "ja", ""])), "ja", "E"),
        (lambda: Topic.join([]), "", ""),
        (lambda: Topic.join(("{x}", "(y)")), "{x}.(y)", "EE"),
        (lambda: Sub.from_parts([TopicPartAny("x", alloc=True), exact("fy")]), "{x}.fy", "AE"),
        (lambda: Topic.from_parts(p for p in Topic("fa.+b.(c|d)")), "fa.{b}.(c|d)", "EAR"),
        # Only an exact list or tuple is read by index; subclasses iterate.
        (lambda: Topic.join(Iterating(["by.index"], ["by.iter"])), "by.iter", "E"),
        (lambda: Topic.join(IteratingTuple(["by.index"], ["by.iter"])), "by.iter", "E"),
        (lambda: Topic.from_parts(Iterating([exact("fi")], [exact("fj")])), "fj", "E"),
    ],
)
def test_composed_topics(build, value, kinds):
    topic = build()
    assert type(topic) is Topic and topic.owner
    assert (topic.value, "".join(part.ttype.name[11] for part in topic)) == (value, kinds)
    assert topic.is_exact == (set(kinds) <= {"E"})


def appended_in_place(part):
    topic = Topic("ce")
    topic += part
    return topic


@pytest.mark.parametrize("cls", [TopicPart, TopicPartExact, TopicPartAny, TopicPartRange, TopicPartPattern])
@pytest.mark.parametrize("compose", [
    lambda part: Topic("ce").append(part),
    lambda part: Topic("ce") + part,
    appended_in_place,
    lambda part: Topic.from_parts([exact("ce"), part]),
])
def test_a_part_without_content_is_skipped(cls, compose):
    assert compose(cls(alloc=True)).value == "ce"


def test_operands_keep_their_records():
    left, right, part = Topic("sa.b"), Topic("sc.{d}"), exact("x")
    total = left + right + part
    assert (left.value, right.value, part.part, part.owner) == ("sa.b", "sc.{d}", "x", True)
    assert not {p.addr for p in total} & {p.addr for p in [*left, *right, part]}


def test_in_place_changes_are_shared_and_return_the_receiver():
    first, second = Topic("ia.b"), Topic("ia.b")
    same = first
    first += Topic("c")
    assert first is same and (second.value, first.addr) == ("ia.b.c", second.addr)
    assert Topic("ia.b").addr != first.addr
    assert first.append(TopicPartAny("z", alloc=True)) is first and not second.is_exact
    first += first
    assert (len(second), second.value) == (8, "ia.b.c.{z}.ia.b.c.{z}")


ADD_MESSAGE = (
    "Can not add {} to sa, expected ether a <class 'quenda_loomi.capi.tessaly.Topic'>"
    " or <class 'quenda_loomi.capi.tessaly.TopicPart'>"
)
PART_TYPE = "quenda_loomi.capi.tessaly.TopicPart"


@pytest.mark.parametrize(
    "action, error, message",
    [
        (lambda: Topic("sa") + 5, TypeError, ADD_MESSAGE.format(5)),
        (lambda: operator.iadd(Topic("sa"), None), TypeError, ADD_MESSAGE.format(None)),
        (lambda: 5 + Topic("sa"), TypeError,
         "unsupported operand type(s) for +: 'int' and 'quenda_loomi.capi.tessaly.Topic'"),
        (lambda: Topic("sa").append(None), TypeError,
         f"Argument 'topic_part' has incorrect type (expected {PART_TYPE}, got NoneType)"),
        (lambda: Topic.from_parts([exact("a"), 3]), TypeError, f"Cannot convert int to {PART_TYPE}"),
        (lambda: Topic.from_parts([None]), TypeError, f"Cannot convert NoneType to {PART_TYPE}"),
        (lambda: Topic.join(["a", 5]), TypeError, None),
        (lambda: operator.iadd(Topic(alloc=False), Topic("sa")), RuntimeError, "Not initialized!"),
        (lambda: Topic("sa") + Topic(alloc=False), RuntimeError, "Not initialized!"),
        (lambda: Topic("sa") + TopicPartExact(), RuntimeError, "Not initialized!"),
        (lambda: Topic("sa").append(TopicPart()), RuntimeError, "Not initialized!"),
        (lambda: Topic.from_parts([TopicPartAny()]), RuntimeError, "Not initialized!"),
    ],
)
def test_refused_operands(action, error, message):
    with pytest.raises(error) as info:
        action()
    assert message is None or str(info.value) == message
    assert Topic("sa").value == "sa"


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
