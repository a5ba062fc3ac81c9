"""Whole-topic operations stay linear in the number of parts.

Each operation runs on 200 000-part topics in a fresh interpreter under a
timeout far above what a linear walk needs (a fraction of a second, a few
seconds under the sanitizers) and far below what one walk from the head per
part takes (minutes): a quadratic regression fails without any timing inside
the test.
"""

import pytest

from conftest import default_protocol_mode, run_python, sanitizer_loaded
from quenda_loomi.capi.tessaly import Topic, TopicPartExact

N_PARTS = 200_000
TIMEOUT = 120 if sanitizer_loaded() else 60

PRELUDE = f"""
from quenda_loomi.capi.tessaly import Topic
n = {N_PARTS}
exact = Topic(".".join("p%d" % i for i in range(n)))
assert len(exact) == n
"""

OPERATIONS = {
    "literal": "",
    "iteration": "assert sum(1 for _ in exact) == n",
    "add": "assert len(exact + exact) == 2 * n",
    "iadd": "t = Topic(); t += exact; t += exact; assert len(t) == 2 * n",
    "from_parts": "assert Topic.from_parts(list(exact)).value == exact.value",
    # The first copy takes the literal over from `exact` (a key change of its
    # record); the views are then checked again before the second copy reads them.
    "views after rekey": "parts = list(exact); Topic.from_parts(parts); assert len(Topic.from_parts(parts)) == n",
    "join": "assert len(Topic.join(['s%d' % i for i in range(n)])) == n",
    "format_map": """
generic = Topic(".".join("{w%d}" % i for i in range(n)))
assert generic.format_map({"w%d" % i: "v" for i in range(n)}).value == ".".join(["v"] * n)
""",
    "match": """
generic = Topic(".".join(("{w%d}" % i) if i % 2 else ("p%d" % i) for i in range(n)))
result = exact.match(generic)
assert result.matched and result.length == n
assert sum(1 for _ in result) == n
assert len(result.to_dict()) == n
""",
    "update_literal": "t = Topic.join(['s'] * n); assert t.update_literal().value == '.'.join(['s'] * n)",
}


# The subprocess runs with the import-time protocol whatever the session's
# mode, so the other modes would only repeat the pooled run.
@pytest.mark.skipif(default_protocol_mode() != "pooled", reason="subprocesses use the import-time protocol")
@pytest.mark.parametrize("operation", OPERATIONS, ids=list(OPERATIONS))
def test_operation_on_a_long_topic_finishes(operation):
    done = run_python(PRELUDE + OPERATIONS[operation] + "\nprint('done')\n", timeout=TIMEOUT)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "done"


# Iteration resumes from the part it reached last; a chain changed between
# two steps must be walked again instead.
@pytest.mark.parametrize(
    "change, rest",
    [
        (lambda t: setattr(t, "value", "x.y.z.w"), ["z", "w"]),
        (lambda t: setattr(t, "value", "x"), []),
        (lambda t: t.append(TopicPartExact("e", alloc=True)), ["c", "d", "e"]),
        (lambda t: t.__iadd__(Topic("e.f")), ["c", "d", "e", "f"]),
        (lambda t: Topic("unrelated.topic"), ["c", "d"]),
    ],
    ids=["reassigned", "shortened", "appended", "extended", "other-topic"],
)
def test_iteration_follows_changes_between_steps(change, rest):
    topic = Topic()
    topic.value = "a.b.c.d"
    iterator = iter(topic)
    assert [next(iterator).part, next(iterator).part] == ["a", "b"]
    change(topic)
    assert [p.part for p in iterator] == rest


def test_interleaved_iterations_keep_their_own_place():
    first, second = Topic("il.a.b.c"), Topic("il.x.y")
    pairs = [(a.part, b.part) for a, b in zip(first, second)]
    assert pairs == [("il", "il"), ("a", "x"), ("b", "y")]
    twice = iter(first)
    next(twice)
    assert [p.part for p in first] == ["il", "a", "b", "c"]
    assert [p.part for p in twice] == ["a", "b", "c"]
