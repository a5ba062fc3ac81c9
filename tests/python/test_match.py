"""Topic.match and TopicMatchResult."""

import copy
import pickle
import sys
import types

import pytest

from quenda_loomi.capi.tessaly import Topic, TopicMatchResult

E, A, R, P, N = "TopicPartExact", "TopicPartAny", "TopicPartRange", "TopicPartPattern", "NoneType"


def describe(node):
    return node["matched"], type(node["part_a"]).__name__, type(node["part_b"]).__name__, node["literal"]


def walk(result):
    return [describe(node) for node in result]


@pytest.mark.parametrize(
    "a, b, nodes",
    [
        ("m.b.c", "m.{x}.c", [(1, E, E, "m"), (1, E, A, "b"), (1, E, E, "c")]),
        ("m.{x}.c", "m.b.c", [(1, E, E, "m"), (1, A, E, "b"), (1, E, E, "c")]),
        ("m.b", "m.b", [(1, E, E, "m.b")]),
        ("m.{x}", "m.{x}", [(1, E, E, "m.{x}")]),
        ("m.{x}", "m.{y}", [(1, E, E, "m"), (0, A, A, None)]),
        ("m.b.c", "m.b", [(1, E, E, "m"), (1, E, E, "b"), (0, E, N, None)]),
        ("m", "m.b", [(1, E, E, "m"), (0, N, E, None)]),
        ("z.b", "m.{x}", [(0, E, E, None)]),
        ("m.c", "m.(b|c)", [(1, E, E, "m"), (1, E, R, "c")]),
        ("m.cc", "m.(b|c)", [(1, E, E, "m"), (0, E, R, None)]),
        ("m.(b|c)", "m.b", [(1, E, E, "m"), (1, R, E, "b")]),
        ("m.v12", "m./[0-9]+/", [(1, E, E, "m"), (1, E, P, None)]),
        ("m.v", "m./[0-9]+/", [(1, E, E, "m"), (0, E, P, None)]),
        ("m.x", "m./(/", [(1, E, E, "m"), (0, E, P, None)]),
    ],
)
def test_walk_records_every_position(a, b, nodes):
    result = Topic(a).match(Topic(b))
    assert walk(result) == nodes
    assert result.length == len(result) == len(nodes)
    assert result.matched is bool(result) is all(node[0] for node in nodes)
    assert repr(result) == f"<evt_topic_match {'success' if result else 'failed'}>(nodes={len(nodes)})"
    assert [describe(result[i]) for i in range(-len(nodes), 0)] == nodes


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ("d.b.c", "d.{x}.c", {"d": (E, "d"), "b": (A, "x"), "c": (E, "c")}),
        ("d.b.c", "d.b", {"d": (E, "d"), "b": (E, "b"), "": None}),
        ("d.v1", "d./v/", {"d": (E, "d"), "": (P, "v")}),
        ("orders.eu.buy", "orders.+region.(buy|sell)", {"orders": (E, "orders"), "eu": (A, "region"), "buy": (R, None)}),
    ],
)
def test_to_dict_maps_literals_to_parts_of_other(a, b, expected):
    def content(part):
        if part is None:
            return None
        text = getattr(part, "part", None) or getattr(part, "name", None) or getattr(part, "pattern", None)
        return type(part).__name__, text

    assert {k: content(v) for k, v in Topic(a).match(Topic(b)).to_dict().items()} == expected


def test_index_errors_repeat_the_index_as_passed():
    result = Topic("i.b.c").match(Topic("i.b.c.d"))
    assert result[-1]["part_a"] is None and result[-1]["matched"] == 0
    for idx in (4, -5, 100):
        with pytest.raises(IndexError, match=rf"^Index {idx} out of range!$"):
            result[idx]
    with pytest.raises(TypeError):
        result["0"]


@pytest.mark.parametrize("other, got", [("x", "str"), (None, "NoneType"), (3, "int")])
def test_other_must_be_a_topic(other, got):
    message = f"Argument 'other' has incorrect type (expected quenda_loomi.capi.tessaly.Topic, got {got})"
    with pytest.raises(TypeError) as info:
        Topic("t.a").match(other)
    assert str(info.value) == message


def test_other_by_keyword():
    assert walk(Topic("t.a").match(other=Topic("t.{x}")))[1] == (1, E, A, "a")


def test_results_without_a_chain():
    unbound = Topic(alloc=False)
    with pytest.raises(RuntimeError, match="^Not initialized!$"):
        unbound.match(Topic("u.a"))
    empties = [Topic("u.a").match(unbound), Topic().match(Topic()), TopicMatchResult()]
    for result in empties:
        for read in (len, bool, repr, lambda r: r.length, lambda r: r.matched):
            with pytest.raises(RuntimeError, match="^Not initialized!$"):
                read(result)
        # (list() would ask __len__ for a size hint first, which raises here.)
        assert [node for node in result] == [] and result.to_dict() == {}


def test_same_record_without_parts_gives_one_node():
    empty = Topic()
    assert walk(empty.match(empty)) == [(1, N, N, None)]


@pytest.mark.parametrize(
    "args, kwargs, outcome",
    [
        ((3, True), {}, 3),
        ((), {"n_parts": 0, "alloc": True}, None),
        ((2,), {}, (RuntimeError, "Can not allocator buffer when uninitialized!")),
        ((-1, True), {}, (OverflowError, "can't convert negative value to size_t")),
        ((1, True, 3), {}, (TypeError, None)),
    ],
)
def test_constructor(args, kwargs, outcome):
    if isinstance(outcome, tuple):
        with pytest.raises(outcome[0]) as info:
            TopicMatchResult(*args, **kwargs)
        assert outcome[1] is None or str(info.value) == outcome[1]
        return
    result = TopicMatchResult(*args, **kwargs)
    if outcome is None:
        with pytest.raises(RuntimeError):
            len(result)
        return
    assert result.length == outcome and result.matched is False
    assert list(result) == [{"matched": 0, "part_a": None, "part_b": None, "literal": None}] * outcome


def test_iteration_and_pickling():
    result = Topic("p.a").match(Topic("p.{x}"))
    iterator = iter(result)
    assert [node["literal"] for node in iterator] == ["p", "a"]
    assert next(iterator, "done") == "done"
    for refuse in (pickle.dumps, copy.copy):
        with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
            refuse(result)
    assert TopicMatchResult.to_dict.__doc__ == "TopicMatchResult.to_dict(self)"
    assert Topic.match.__doc__ == "Topic.match(self, Topic other) -> TopicMatchResult"


def test_pattern_errors_never_reach_the_caller(monkeypatch):
    broken = types.ModuleType("re")

    def compile(pattern):
        raise ValueError("no regular expressions today")

    broken.compile = compile
    monkeypatch.setitem(sys.modules, "re", broken)
    result = Topic("q.v1").match(Topic("q./v/"))
    assert walk(result) == [(1, E, E, "q"), (0, E, P, None)]


def test_result_outlives_its_topics_and_notices_changes(python_subprocess):
    # A fresh interpreter: a lifetime fault must not take pytest down.
    proc = python_subprocess(
        """
        import gc, sys, types
        from quenda_loomi.capi.tessaly import Topic, TopicPartAny, TopicPartExact

        # Owned records: the result alone keeps them alive.
        a = Topic.join(["own", "b"])
        b = Topic.from_parts([TopicPartExact("own", alloc=True), TopicPartAny("x", alloc=True)])
        result = a.match(b)
        del a, b
        gc.collect()
        print(sorted((k, type(v).__name__) for k, v in result.to_dict().items()))

        # A record re-parsed under the result: reading parts is refused.
        t = Topic.join(["chg", "b"])
        result = t.match(Topic("chg.{x}"))
        first = result[0]
        t.value = "other.literal.here"
        print(len(result), result.matched)
        for read in (result.to_dict, lambda: result[1], lambda: list(result)):
            try:
                read()
            except RuntimeError as error:
                print("refused")

        # Identity node of a displaced literal stays readable while the
        # registry still holds the key copy, and is refused once it is gone.
        shared = Topic("disp.a")
        same = shared.match(shared)
        taker = Topic.join(["disp", "a"])
        print(list(same.to_dict()))
        del taker
        try:
            same.to_dict()
        except RuntimeError:
            print("refused")

        # Python code run by a pattern test changes a topic while matching.
        import re as real_re
        victim = Topic.join(["vic", "v1"])
        evil = types.ModuleType("re")
        def compile(pattern):
            victim.value = "gone"
            return real_re.compile(pattern)
        evil.compile = compile
        sys.modules["re"] = evil
        try:
            victim.match(Topic("vic./v/"))
        except RuntimeError as error:
            print(error)
        sys.modules["re"] = real_re
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "[('b', 'TopicPartAny'), ('own', 'TopicPartExact')]",
        "2 True",
        "refused",
        "refused",
        "refused",
        "['disp.a']",
        "refused",
        "A topic changed while it was being matched",
    ]
