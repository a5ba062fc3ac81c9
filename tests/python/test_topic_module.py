"""Module set-up: attributes, docstrings, TopicType, export table, import guards, record layout."""

import collections.abc
import ctypes
import enum
import inspect
import re

import pytest

import quenda_loomi.base.durrowmere_skalvotin as config
import quenda_loomi.capi.tessaly as tessaly
from quenda_loomi.capi.tessaly import Topic, TopicPartExact, TopicTestToolkit, TopicType

api = ctypes.pythonapi
api.PyCapsule_GetName.restype, api.PyCapsule_GetName.argtypes = ctypes.c_char_p, [ctypes.py_object]
api.PyCapsule_GetPointer.restype = ctypes.c_void_p
api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def variable(module, name):
    """The native variable behind an export-table capsule, as a pointer-sized cell."""
    capsule = module.__pyx_capi__[name]
    return ctypes.c_void_p.from_address(api.PyCapsule_GetPointer(capsule, api.PyCapsule_GetName(capsule)))


def read(kind, address):
    return kind.from_address(address).value


def test_module_attributes_and_classes():
    assert tessaly.enum is enum and tessaly.re is re and tessaly.Iterable is collections.abc.Iterable
    assert tessaly.__test__ == {}
    part_classes = ["TopicPartExact", "TopicPartAny", "TopicPartRange", "TopicPartPattern"]
    for name in ["TopicPart", *part_classes, "TopicMatchResult", "Topic", "TopicTestToolkit"]:
        cls = getattr(tessaly, name)
        assert cls.__bases__ == ((tessaly.TopicPart,) if name in part_classes else (object,))
        assert (cls.__module__, cls.__qualname__) == ("quenda_loomi.capi.tessaly", name)


@pytest.mark.parametrize(
    "owner, name, doc",
    [
        (tessaly, "get_internal_topic", "get_internal_topic(str key, bool owner=False) -> Topic"),
        (tessaly, "get_internal_map", "get_internal_map() -> dict"),
        (tessaly.TopicPart, "ttype", "TopicPart.ttype: TopicType"),
        (tessaly.TopicPart, "addr", "TopicPart.addr: int"),
        (tessaly.TopicPart, "next", "TopicPart.next(self)"),
        (tessaly.TopicPart, "owner", None),
        (tessaly.TopicPartExact, "part", "TopicPartExact.part: str"),
        (tessaly.TopicPartAny, "name", "TopicPartAny.name: str"),
        (tessaly.TopicPartPattern, "pattern", "TopicPartPattern.pattern: str"),
        (tessaly.TopicPartPattern, "regex", None),
        (tessaly.TopicPartRange, "options", "TopicPartRange.options(self)"),
        (Topic, "is_exact", "Topic.is_exact: bint"),
        (Topic, "addr", "Topic.addr: uintptr_t"),
        (Topic, "value", None),
        (Topic, "owner", None),
        (Topic, "append", "Topic.append(self, TopicPart topic_part) -> Topic"),
        (Topic, "match", "Topic.match(self, Topic other) -> TopicMatchResult"),
        (Topic, "format_map", "Topic.format_map(self, dict mapping, bool internalized=True, bool strict=False) -> Topic"),
        (Topic, "format", "Topic.format(self, **kwargs) -> Topic"),
        (Topic, "update_literal", "Topic.update_literal(self) -> Topic"),
        (Topic, "from_parts", "Topic.from_parts(cls, topic_parts: Iterable[TopicPart]) -> Topic"),
        (Topic, "join", "Topic.join(cls, topic_parts: Iterable[str]) -> Topic"),
    ],
)
def test_docstrings(owner, name, doc):
    assert getattr(owner, name).__doc__ == doc


@pytest.mark.parametrize(
    "function, parameters",
    [
        (tessaly.get_internal_topic, "(key, owner=False)"),
        (tessaly.get_internal_map, "()"),
        (Topic("sig.x").format_map, "(mapping, internalized=True, strict=False)"),
        (Topic("sig.x").append, "(topic_part)"),
        (Topic.join, "(topic_parts)"),
        (tessaly.TopicPartRange(alloc=True).options, "()"),
    ],
)
def test_signatures(function, parameters):
    assert str(inspect.signature(function)) == parameters


def test_topic_type_enum():
    assert issubclass(TopicType, enum.IntEnum)
    assert (TopicType.__module__, TopicType.__qualname__) == ("quenda_loomi.capi.tessaly", "TopicType")
    assert [(m.name, m.value) for m in TopicType] == [
        ("TOPIC_PART_EXACT", 0), ("TOPIC_PART_ANY", 1), ("TOPIC_PART_RANGE", 2), ("TOPIC_PART_PATTERN", 3)]
    assert TopicType.TOPIC_PART_RANGE == 2 and isinstance(TopicType.TOPIC_PART_RANGE, int)
    assert TopicType(3) is TopicType.TOPIC_PART_PATTERN


def test_export_table():
    assert {name: api.PyCapsule_GetName(c).decode() for name, c in tessaly.__pyx_capi__.items()} == {
        "TOPIC_ALLOCATOR": "allocator_protocol *",
        "get_internal_map": "PyObject *(int __pyx_skip_dispatch)",
        "get_internal_topic": (
            "struct __pyx_obj_12quenda_loomi_4capi_7tessaly_Topic *(PyObject *, int __pyx_skip_dispatch, "
            "struct __pyx_opt_args_12quenda_loomi_4capi_7tessaly_get_internal_topic *__pyx_optional_args)"),
    }
    # TOPIC_ALLOCATOR is the default protocol the configuration module had at load.
    assert variable(tessaly, "TOPIC_ALLOCATOR").value == variable(config, "QL_DEFAULT_ALLOCATOR").value != None  # noqa


def method_table(cls):
    """The native method table that a class publishes for importing native modules."""
    capsule = cls.__dict__["__pyx_vtable__"]
    assert api.PyCapsule_GetName(capsule) is None
    return ctypes.cast(api.PyCapsule_GetPointer(capsule, None), ctypes.POINTER(ctypes.c_void_p))


def test_native_method_tables():
    parts = [tessaly.TopicPart, TopicPartExact, tessaly.TopicPartAny, tessaly.TopicPartRange, tessaly.TopicPartPattern]
    assert len({method_table(cls)[i] for cls in parts for i in (0, 1)}) == 2  # inherited unchanged
    assert method_table(tessaly.TopicMatchResult)[0] and not hasattr(TopicTestToolkit, "__pyx_vtable__")
    slot = ctypes.PYFUNCTYPE
    topic = Topic("table.from.header")
    wrapped = slot(ctypes.py_object, ctypes.c_void_p, ctypes.c_int)(method_table(Topic)[0])(topic.addr, 0)
    assert (type(wrapped), wrapped.addr, wrapped.owner, wrapped) == (Topic, topic.addr, False, topic)
    part_from_header = slot(ctypes.py_object, ctypes.c_void_p, ctypes.c_int)(method_table(tessaly.TopicPart)[0])
    c_cast = slot(ctypes.py_object, ctypes.py_object)(method_table(tessaly.TopicPart)[1])
    plain = part_from_header(topic[1].addr, 0)
    assert (type(plain), plain.owner, type(c_cast(plain)), c_cast(plain).part) == (
        tessaly.TopicPart, False, TopicPartExact, "from")
    owning = tessaly.TopicPart(alloc=True)
    cast = c_cast(owning)  # ownership moves to the object of the kind's class
    assert (type(cast), cast.owner, owning.owner, cast.addr) == (TopicPartExact, True, False, owning.addr)


def test_topic_record_layout_and_block_header():
    topic = Topic("lay.+out")
    address = topic.addr
    assert read(ctypes.c_uint64, address - 16) == 0xCFBBBBFC  # block magic
    assert read(ctypes.c_uint64, address - 24) == 48  # requested size
    assert read(ctypes.c_uint8, address - 30) == 1  # with_freelist of the default protocol
    assert read(ctypes.c_void_p, address) == topic[0].addr  # parts
    assert read(ctypes.c_uint64, address + 8) == 2  # n_parts
    assert read(ctypes.c_uint64, address + 16) == TopicTestToolkit.get_hash(topic)
    assert ctypes.string_at(read(ctypes.c_void_p, address + 24), read(ctypes.c_uint64, address + 32)) == b"lay.+out"
    assert read(ctypes.c_int32, address + 40) == 0  # is_exact
    assert read(ctypes.c_void_p, topic[0].addr + 8) == topic[1].addr  # next
    assert read(ctypes.c_int32, topic[1].addr) == TopicType.TOPIC_PART_ANY


@pytest.mark.parametrize(
    "name, build",
    [("QL_DEFAULT_ALLOCATOR", Topic), ("QL_HEAP_ALLOCATOR", lambda: TopicPartExact("swap", alloc=True))],
)
def test_allocator_variables_are_read_at_each_construction(name, build):
    default, heap = variable(config, "QL_DEFAULT_ALLOCATOR"), variable(config, "QL_HEAP_ALLOCATOR")
    swapped, other = (default, heap) if name == "QL_DEFAULT_ALLOCATOR" else (heap, default)
    first, before = build(), swapped.value
    swapped.value = other.value
    try:
        second = build()
    finally:
        swapped.value = before
    # with_lock of the block header in front of each record: 0 for the default, 1 for the heap protocol
    with_lock = [read(ctypes.c_uint8, obj.addr - 32) for obj in (first, second)]
    assert with_lock == ([0, 1] if swapped is default else [1, 0])


GUARDS = {
    # Removing the module and importing again yields the same object, no second set-up.
    "reimport": ("""
        import sys
        import quenda_loomi.capi.tessaly as first
        allocator = first.__pyx_capi__["TOPIC_ALLOCATOR"]
        first.Topic("kept.registered")
        del sys.modules["quenda_loomi.capi.tessaly"]
        import quenda_loomi.capi.tessaly as second
        print(second is first, second.__pyx_capi__["TOPIC_ALLOCATOR"] is allocator,
              second.get_internal_topic("kept.registered") is not None,
              "quenda_loomi.base.durrowmere_skalvotin" in sys.modules)
        """, "True True True True"),
    # Executing the set-up for another module object is refused.
    "re-exec": ("""
        import ctypes, types
        import quenda_loomi.capi.tessaly as module
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype, api.PyModule_GetDef.argtypes = ctypes.c_void_p, [ctypes.py_object]
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        try:
            api.PyModule_ExecDef(types.ModuleType("other"), api.PyModule_GetDef(module))
        except RuntimeError as error:
            print(error)
        print(api.PyModule_ExecDef(module, api.PyModule_GetDef(module)))
        """, "Module 'tessaly' has already been imported. Re-initialisation is not supported.\n0"),
    # A second interpreter is refused (legacy and isolated ones).
    "subinterpreter": ("""
        import _interpreters, _testcapi
        import quenda_loomi.capi.tessaly
        code = "import quenda_loomi.capi.tessaly"
        _testcapi.run_in_subinterp("try:\\n    " + code + "\\nexcept ImportError as e:\\n    print(e)")
        interp = _interpreters.create()
        print(_interpreters.exec(interp, code).type.__name__)
        _interpreters.destroy(interp)
        """, "Interpreter change detected - this module can only be loaded into one interpreter per process.\n"
             "ImportError"),
}

BROKEN_EXPORT = """
    import ctypes, sys, types
    import nyxel.bytemap.sorvelink as real
    api = ctypes.pythonapi
    api.PyCapsule_New.restype = ctypes.py_object
    api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    signature, storage = ctypes.create_string_buffer(b"int *"), ctypes.c_int(0)
    fake = types.ModuleType(real.__name__)
    fake.__dict__.update({k: v for k, v in vars(real).items() if k != "__pyx_capi__"})
    fake.__pyx_capi__ = CAPI
    sys.modules[real.__name__] = fake
    try:
        import quenda_loomi.capi.tessaly
    except Exception as error:
        print(type(error).__name__, error)
    sys.modules[real.__name__] = real
    import quenda_loomi.capi.tessaly as module  # a failed set-up can be retried
    print(module.Topic("retry.ok").value)
"""
GUARDS["wrong-signature"] = (
    BROKEN_EXPORT.replace("CAPI", '{"NO_DEFAULT": api.PyCapsule_New(ctypes.addressof(storage), signature, None)}'),
    "TypeError C variable nyxel.bytemap.sorvelink.NO_DEFAULT has wrong signature (expected PyObject *, got int *)\n"
    "retry.ok")

GUARDS["config-context-layout"] = ("""
    import quenda_loomi.base.durrowmere_skalvotin as config
    real, config.QLConfigContext = config.QLConfigContext, int
    try:
        import quenda_loomi.capi.tessaly
    except Exception as error:
        print(type(error).__name__, error)
    config.QLConfigContext = real
    import quenda_loomi.capi.tessaly as module
    print(module.Topic("retry.ok").value)
    """, f"ValueError quenda_loomi.base.durrowmere_skalvotin.QLConfigContext size changed, may indicate binary "
         f"incompatibility. Expected {config.QLConfigContext.__basicsize__} from C header, got {int.__basicsize__} from PyObject\n"
         "retry.ok")

@pytest.mark.parametrize("name", GUARDS)
def test_import_guards(python_subprocess, name):
    code, expected = GUARDS[name]
    result = python_subprocess(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == expected


MODULE_STATE_REFERENTS = """
import gc, re
from quenda_loomi.capi import tessaly
import quenda_loomi.base.durrowmere_skalvotin as config

assert tessaly.Topic("ms./q+/").match(tessaly.Topic("ms.qq"))  # caches the expression's bound search
for _ in range(20):
    tessaly.Topic("ms.+x").match(tessaly.Topic("ms.y"))  # results dropped and parked for reuse
referents = gc.get_referents(tessaly)
held = {id(obj) for obj in referents}
for obj in (tessaly.Topic, tessaly.TopicIndex, tessaly.TopicMatchResult, tessaly.TopicType, re, re.error, re.Pattern):
    assert id(obj) in held, obj
assert any(getattr(getattr(obj, "__self__", None), "pattern", None) == "q+" for obj in referents)
# Parked results are no references: handing them out would free them twice.
assert not any(type(obj) is tessaly.TopicMatchResult for obj in referents)
del referents
gc.collect()
assert id(config.QLConfigContext) in {id(obj) for obj in gc.get_referents(config)}
print("ok")
"""


def test_module_state_references_are_visible_to_the_collector(python_subprocess):
    done = python_subprocess(MODULE_STATE_REFERENTS)
    assert done.returncode == 0 and done.stdout == "ok\n", (done.returncode, done.stderr[-2000:])
