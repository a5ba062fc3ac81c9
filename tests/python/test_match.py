"""Topic.match and TopicMatchResult."""

import collections.abc
import pickle

import pytest

from quenda_loomi.capi.tessaly import Topic, TopicMatchResult

E, A, R, P, N = "TopicPartExact", "TopicPartAny", "TopicPartRange", "TopicPartPattern", "NoneType"
NOT_INITIALIZED = "^Not initialized!$"


class NegativeLength(TopicMatchResult):
    length = -2


class Falsy:
    def __bool__(self):
        raise ValueError("asked for alloc")


def describe(node):
    return node["matched"], type(node["part_a"]).__name__, type(node["part_b"]).__name__, node["literal"]


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
    result = Topic(a).match(other=Topic(b))
    assert [describe(node) for node in result] == nodes
    assert [describe(result[i]) for i in range(-len(nodes), 0)] == nodes
    assert result.length == len(result) == len(nodes)
    assert result.matched is bool(result) is all(node[0] for node in nodes)
    assert repr(result) == f"<evt_topic_match {'success' if result else 'failed'}>(nodes={len(nodes)})"


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ("d.b.c", "d.b", {"d": (E, "d"), "b": (E, "b"), "": None}),
        ("d.v1", "d./v/", {"d": (E, "d"), "": (P, "v")}),
        ("orders.eu.buy", "orders.+region.(buy|sell)", {"orders": (E, "orders"), "eu": (A, "region"), "buy": (R, None)}),
    ],
)
def test_to_dict_maps_literals_to_parts_of_other(a, b, expected):
    def content(part):
        text = getattr(part, "part", None) or getattr(part, "name", None) or getattr(part, "pattern", None)
        return None if part is None else (type(part).__name__, text)

    assert {k: content(v) for k, v in Topic(a).match(Topic(b)).to_dict().items()} == expected


@pytest.mark.parametrize(
    "action, error, message",
    [
        (lambda r: r[3], IndexError, "^Index 3 out of range!$"),
        (lambda r: r[-4], IndexError, "^Index -4 out of range!$"),
        (lambda r: r["0"], TypeError, None),
        (pickle.dumps, TypeError, "^no default __reduce__ due to non-trivial __cinit__$"),
        (lambda r: Topic("t.a").match(None), TypeError,
         r"^Argument 'other' has incorrect type \(expected quenda_loomi.capi.tessaly.Topic, got NoneType\)$"),
        (lambda r: Topic("t.a").match("t.a"), TypeError, r"got str\)$"),
        (lambda r: Topic(alloc=False).match(Topic("t.a")), RuntimeError, NOT_INITIALIZED),
        (lambda r: len(NegativeLength(1, True)), ValueError, r"^__len__\(\) should return >= 0$"),
    ],
)
def test_refusals(action, error, message):
    with pytest.raises(error, match=message):
        action(Topic("i.b.c").match(Topic("i.b.{c}")))


def test_results_without_a_chain():
    empty = Topic()
    assert [describe(node) for node in empty.match(empty)] == [(1, N, N, None)]
    for result in (Topic("u.a").match(Topic(alloc=False)), Topic().match(Topic()), TopicMatchResult()):
        for read in (len, bool, repr, lambda r: r.length, lambda r: r.matched):
            with pytest.raises(RuntimeError, match=NOT_INITIALIZED):
                read(result)
        # (list() would ask __len__ for a size hint first, which raises here.)
        assert [node for node in result] == [] and result.to_dict() == {}
    assert TopicMatchResult.to_dict.__doc__ == "TopicMatchResult.to_dict(self)"


def test_iteration_is_a_generator():
    result = Topic("g.b.c").match(Topic("g.{x}.c"))
    literals = lambda gen: [node["literal"] for node in gen]  # noqa: E731
    gen = iter(result)
    assert isinstance(gen, collections.abc.Generator) and iter(gen) is gen
    assert (gen.__name__, gen.__qualname__) == ("__iter__", "TopicMatchResult.__iter__")
    with pytest.raises(TypeError, match="^can't send non-None value to a just-started generator$"):
        gen.send(1)
    assert gen.send(None)["literal"] == "g" and gen.send(5)["literal"] == "b" and literals(gen) == ["c"]
    with pytest.raises(StopIteration):
        gen.send(None)
    # Nothing in the body catches: a thrown exception leaves and ends it.
    gen = iter(result)
    next(gen)
    with pytest.raises(KeyError, match="thrown"):
        gen.throw(KeyError("thrown"))
    assert literals(gen) == []
    gen = iter(result)
    assert gen.close() is None and literals(gen) == [] and literals(iter(result)) == ["g", "b", "c"]


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((2,), RuntimeError, "^Can not allocator buffer when uninitialized!$"),
        ((-1, True), OverflowError, "^can't convert negative value to size_t$"),
        ((1, True, 3), TypeError, None),
        ((-1, Falsy()), OverflowError, "^can't convert negative value to size_t$"),
        ((1, Falsy()), ValueError, "^asked for alloc$"),
        ((3, True), None, None),
    ],
)
def test_constructor(args, error, message):
    if error is None:
        result = TopicMatchResult(*args)
        assert result.length == 3 and result.matched is False
        assert list(result) == [{"matched": 0, "part_a": None, "part_b": None, "literal": None}] * 3
        return
    with pytest.raises(error, match=message):
        TopicMatchResult(*args)


def test_result_outlives_its_topics_and_notices_changes(python_subprocess):
    # A fresh interpreter: a lifetime fault must not take pytest down.
    proc = python_subprocess(
        """
        import gc, sys, types
        from quenda_loomi.capi.tessaly import Topic, TopicPartAny, TopicPartExact

        def attempt(read):
            try:
                return read()
            except RuntimeError as error:
                return str(error)

        # Owned records: the result alone keeps them alive.
        a = Topic.join(["own", "b"])
        b = Topic.from_parts([TopicPartExact("own", alloc=True), TopicPartAny("x", alloc=True)])
        result = a.match(b)
        del a, b
        gc.collect()
        print(sorted((k, type(v).__name__) for k, v in result.to_dict().items()))

        # A record re-parsed under the result: node counts stay, parts are refused.
        t = Topic.join(["chg", "b"])
        result = t.match(Topic("chg.{x}"))
        t.value = "other.literal.here"
        print(len(result), result.matched, attempt(result.to_dict) == attempt(lambda: list(result)))
        print(attempt(lambda: result[1]))

        # An identity node of a literal that another record took over stays
        # readable while the registry holds the key copy, then is refused.
        shared = Topic("disp.a")
        same = shared.match(shared)
        taker = Topic.join(["disp", "a"])
        print(list(same.to_dict()))
        del taker
        print(attempt(same.to_dict) == attempt(lambda: same[0]))

        # Python code run by a pattern test changes a topic while matching.
        import re as real_re
        victim = Topic.join(["vic", "v1"])
        evil = types.ModuleType("re")
        def compile(pattern):
            victim.value = "gone"
            return real_re.compile(pattern)
        evil.compile = compile
        sys.modules["re"] = evil
        print(attempt(lambda: victim.match(Topic("vic./v/"))))
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "[('b', 'TopicPartAny'), ('own', 'TopicPartExact')]",
        "2 True True",
        "The matched topics changed after matching; this match result is no longer valid",
        "['disp.a']",
        "True",
        "A topic changed while it was being matched",
    ]


@pytest.mark.parametrize("n_parts", [2**63, 2**64 - 1, 2**44])
def test_chain_larger_than_memory_is_refused_before_any_request(n_parts, python_subprocess):
    # In a child with its address space capped: requested node by node, such
    # a chain would take the machine's memory before failing.
    proc = python_subprocess(
        f"""
        import os, resource
        if "libasan" not in os.environ.get("LD_PRELOAD", ""):  # its shadow needs the address space
            resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY))
        from quenda_loomi.capi.tessaly import TopicMatchResult
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        try:
            TopicMatchResult({n_parts}, alloc=True)
        except MemoryError as error:
            print(error)
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024, "MiB")
        """,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[0] == "Failed to allocate memory!"
    assert int(proc.stdout.split()[-2]) < 64, proc.stdout
