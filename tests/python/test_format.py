"""Formatting: format_map, format, calling a topic, update_literal."""

import collections

import pytest

from quenda_loomi.capi.tessaly import Topic, get_internal_topic


@pytest.mark.parametrize(
    "literal, mapping, strict, value, n_parts, is_exact, registered",
    [
        ("fa.{x}.c", {"x": "b"}, False, "fa.b.c", 3, 1, True),
        ("fa.{x}.c", {"x": ""}, True, "fa.c", 2, 1, True),
        ("fa.{x}.c", {}, False, "fa.{x}.c", 3, 0, True),
        ("fa.+x.c", {"y": "1"}, False, "fa.{x}.c", 3, 0, True),
        ("fa.{x}.{y}", {"x": "1"}, False, "fa.1.{y}", 3, 0, True),
        ("fa.{x}.{x}", {"x": "é"}, True, "fa.é.é", 3, 1, True),
        ("fa.b", None, True, "fa.b", 2, 1, True),
        # A value stays one exact segment; a literal that would read back as
        # other parts is not registered, and the result owns its record.
        ("fa.{x}.c", {"x": "b.c"}, False, "fa.b.c.c", 3, 1, False),
        ("fa.{x}", {"x": "{y}"}, True, "fa.{y}", 2, 1, False),
    ],
)
def test_format_map(literal, mapping, strict, value, n_parts, is_exact, registered):
    source = Topic(literal)
    result = source.format_map(mapping, strict=strict)
    assert (result.value, len(result), result.is_exact) == (value, n_parts, is_exact)
    assert source.value == literal
    internal = get_internal_topic(value)
    assert (internal is not None and internal.addr == result.addr) == registered
    assert result.owner == (not registered)


@pytest.mark.parametrize(
    "literal, mapping, kwargs, error, message",
    [
        ("fe.{x}.c", {}, {"strict": True}, KeyError, "'x'"),
        ("fe.{x}", {"x": 5}, {}, TypeError, None),
        ("fe.(b|c)", {}, {}, ValueError, "Not supported topic type 2"),
        ("fe.{x}./v/", {"x": "1"}, {}, ValueError, "Not supported topic type 3"),
        ("fe.{x}", None, {}, TypeError, "'NoneType' object is not iterable"),
        ("fe.{x}", collections.OrderedDict(x="1"), {}, TypeError,
         "Argument 'mapping' has incorrect type (expected dict, got collections.OrderedDict)"),
        ("fe.{x}", {}, {"other": 1}, TypeError, None),
    ],
)
def test_format_map_errors_leave_source_alone(literal, mapping, kwargs, error, message):
    source = Topic(literal)
    before = (source.addr, len(source), source.value)
    with pytest.raises(error) as info:
        source.format_map(mapping, **kwargs)
    if message is not None:
        assert str(info.value) == message
    assert (source.addr, len(source), source.value) == before


def test_shorthands_agree_and_each_registers_a_new_record():
    template = Topic("fs.{x}.{y}")
    results = [template(x="1"), template.format(x="1"), template.format_map({"x": "1"})]
    assert {(r.value, r.owner) for r in results} == {("fs.1.{y}", False)}
    # Every call makes a record of its own; the newest holds the literal.
    assert len({r.addr for r in results}) == 3
    assert Topic("fs.1.{y}").addr == results[-1].addr
    assert results[0] == results[-1] and results[0][2].name == "y"
    owned = template.format_map({"x": "1"}, False)
    assert owned.owner and owned.value == "fs.1.{y}" and owned.addr != results[0].addr
    for call in (lambda: template.format("1"), lambda: template("1")):
        with pytest.raises(TypeError):
            call()
    # Same literal, different parts: the formatted record keeps to itself and
    # the registry goes on answering the parsed record.
    parsed, joined = Topic("fs.b.c"), Topic("fs.{x}").format(x="b.c")
    assert (len(parsed), len(joined), get_internal_topic("fs.b.c").addr) == (3, 2, parsed.addr)
    assert joined.owner and joined.value == "fs.b.c" and joined == parsed


def test_empty_results_uninitialized_sources_and_update_literal():
    # An empty record cannot be registered; it goes with its last wrapper.
    empty = Topic("{fz}").format(fz="")
    assert (len(empty), empty.value, empty.owner) == (0, "", False)
    with pytest.raises(RuntimeError, match="^Not initialized!$"):
        Topic(alloc=False).format_map({})
    unbound, topic = Topic(alloc=False), Topic("fu.+x")
    assert unbound.update_literal() is unbound
    assert topic.update_literal() is topic and topic.value == "fu.{x}" == topic.update_literal().value


def test_mapping_code_that_changes_the_source_is_refused(python_subprocess):
    code = """
        from quenda_loomi.capi.tessaly import Topic

        source = Topic.join(["mut"]) + Topic("{x}.{y}")

        class Key(str):
            # Runs `action` whenever the dict compares a stored key.
            def __new__(cls, text, action):
                self = super().__new__(cls, text)
                self.action = action
                return self

            def __hash__(self):
                return hash(str(self))

            def __eq__(self, other):
                self.action()
                return str.__eq__(self, other)

        def attempt(mapping):
            try:
                return source.format_map(mapping).value
            except RuntimeError as error:
                return str(error)

        # Changes elsewhere, or parts appended after the walked ones, leave the walk alone.
        print(attempt({Key("x", lambda: Topic.join(["elsewhere"])): "1", "y": "2"}))
        print(attempt({Key("x", lambda: source.__iadd__(Topic("more"))): "1", "y": "2"}))
        # Parts released under the walk stop it.
        print(attempt({Key("x", lambda: setattr(source, "value", "replaced.literal.with.parts")): "1"}))
    """
    proc = python_subprocess(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "mut.1.2",
        "mut.1.2",
        "The topic changed while it was being formatted",
    ]
