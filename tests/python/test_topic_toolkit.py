"""TopicTestToolkit: relayed native state, docstrings, annotations, argument errors."""

import inspect
import pickle
import re

import pytest

from quenda_loomi.capi.tessaly import (
    Topic,
    TopicPart,
    TopicPartExact,
    TopicPartRange,
    TopicTestToolkit as TK,
    TopicType,
)

CLASS_DOC = (
    "Relays internal C topic state to Python for test validation.\n\n"
    "    The toolkit exposes internal ``evt_topic`` / ``evt_topic_part_variant``\n"
    "    fields that are deliberately not part of the public Python API, so that\n"
    "    unit tests can verify the C-level layout (part chain length, keys, hash,\n"
    "    internal map bookkeeping) without relying on public properties alone.\n\n"
    "    Note:\n"
    "        Test-only class. Not declared in any ``.pxd``; not part of the\n"
    "        public package API.\n"
)

METHODS = [
    ("get_n_parts", "Topic topic", "size_t", "Number of parts in the topic's C part chain."),
    ("get_hash", "Topic topic", "uint64_t", "Internalized hash of the topic literal."),
    ("get_is_exact", "Topic topic", "bint", "C-level is_exact flag."),
    ("get_key", "Topic topic", "str", "The internalized key literal stored on the C topic."),
    ("get_part_ttype", "Topic topic, size_t idx", "TopicType", "Type of the part at ``idx`` in the C part linked list."),
    ("get_part_chain_len", "TopicPart part", "size_t", "Length of the C linked chain starting at ``part`` (inclusive)."),
    ("get_part_addr", "TopicPart part", "uintptr_t", "Address of the C header backing ``part``."),
    ("get_range_options", "TopicPartRange part", "list", "Option strings of a range part (via the C option array)."),
    ("get_range_num_options", "TopicPartRange part", "size_t", "Number of options stored on a range part."),
    ("get_internal_map_size", "", "size_t", "Number of entries in the global internal topic map."),
    ("get_internal_map_has", "str key", "bint", "Whether the global internal map contains ``key``."),
]


def test_class_docstring_order_and_pickling():
    assert TK.__doc__ == CLASS_DOC
    assert type(pickle.loads(pickle.dumps(TK()))) is TK
    assert [n for n in vars(TK) if n.startswith("get_")] == [m[0] for m in METHODS]


@pytest.mark.parametrize("name, params, returns, summary", METHODS, ids=[m[0] for m in METHODS])
def test_method_docstring_annotation_and_parameters(name, params, returns, summary):
    method = getattr(TK, name)
    assert method.__doc__ == f"TopicTestToolkit.{name}({params}) -> {returns}\n\n{summary}"
    assert method.__annotations__ == {"return": returns}
    expected = [p.split()[-1] for p in params.split(", ") if p]
    assert list(inspect.signature(method).parameters) == expected
    assert isinstance(inspect.getattr_static(TK, name), staticmethod)


@pytest.mark.parametrize(
    "literal, n_parts, exact, ttypes",
    [
        ("tk.a.b", 3, 1, [TopicType.TOPIC_PART_EXACT] * 3),
        ("tk.+x.(a|b)./p/", 4, 0, list(TopicType)),
    ],
)
def test_topic_state(literal, n_parts, exact, ttypes):
    topic = Topic(literal)
    assert TK.get_n_parts(topic) == n_parts == TK.get_part_chain_len(topic[0])
    is_exact = TK.get_is_exact(topic)
    assert is_exact == exact and type(is_exact) is int
    assert TK.get_key(topic) == literal
    assert 0 <= TK.get_hash(topic) < 2**64
    assert [TK.get_part_ttype(topic, i) for i in range(n_parts)] == ttypes
    assert TK.get_part_ttype(topic, idx=0) is TopicType.TOPIC_PART_EXACT
    with pytest.raises(IndexError, match=re.escape(f"Index {n_parts} out of range!")):
        TK.get_part_ttype(topic, n_parts)


def test_part_and_registry_state():
    assert TK.get_key(Topic()) == ""  # not registered
    topic = Topic("tk.(x|y|z)")
    assert TK.get_part_addr(topic[1]) == TK.get_part_addr(topic[-1]) == topic[1].addr
    assert TK.get_part_chain_len(topic[1]) == 1
    assert TK.get_range_options(topic[1]) == ["x", "y", "z"]
    assert TK.get_range_num_options(topic[1]) == 3
    standalone = TopicPartRange(["a", "", "b"], alloc=True)
    assert TK.get_range_options(standalone) == ["a", "", "b"]
    assert TK.get_part_addr(TopicPart()) == 0 and TK.get_part_chain_len(TopicPart()) == 0
    before = TK.get_internal_map_size()
    assert not TK.get_internal_map_has("tk.brand.new")
    Topic("tk.brand.new")
    assert TK.get_internal_map_has("tk.brand.new")
    assert TK.get_internal_map_size() == before + 1
    assert not TK.get_internal_map_has("")


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: TK.get_n_parts("a"), TypeError,
         "Argument 'topic' has incorrect type (expected quenda_loomi.capi.tessaly.Topic, got str)"),
        (lambda: TK.get_part_chain_len(None), TypeError, "Argument 'part' has incorrect type"),
        (lambda: TK.get_range_num_options(TopicPartExact("a", alloc=True)), TypeError,
         "expected quenda_loomi.capi.tessaly.TopicPartRange, got quenda_loomi.capi.tessaly.TopicPartExact)"),
        (lambda: TK.get_internal_map_has(None), AttributeError, "'NoneType' object has no attribute 'encode'"),
        (lambda: TK.get_internal_map_has("\ud800"), UnicodeEncodeError, "surrogates not allowed"),
        (lambda: TK.get_part_ttype(Topic("a"), -1), OverflowError, "negative"),
        (lambda: TK.get_part_ttype(Topic("a"), "0"), TypeError, "cannot be interpreted as an integer"),
        (lambda: TK.get_n_parts(Topic(), 1), TypeError, "positional argument"),
        (lambda: TK.get_n_parts(Topic(alloc=False)), RuntimeError, "Not initialized!"),
        (lambda: TK.get_part_ttype(Topic(alloc=False), 0), RuntimeError, "Not initialized!"),
        (lambda: TK.get_range_num_options(TopicPartRange()), RuntimeError, "Not initialized!"),
    ],
)
def test_failures(call, error, message):
    with pytest.raises(error, match=re.escape(message)):
        call()
