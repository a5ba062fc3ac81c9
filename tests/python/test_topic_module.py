"""Module set-up: attributes, TopicType, export table, import guards, record layout."""

import collections.abc
import ctypes
import enum
import re

import pytest

import quenda_loomi.base.durrowmere_skalvotin as config
import quenda_loomi.capi.tessaly as tessaly
from quenda_loomi.capi.tessaly import Topic, TopicPartExact, TopicTestToolkit, TopicType

EXPORTS = {
    "TOPIC_ALLOCATOR": "allocator_protocol *",
    "get_internal_map": "PyObject *(int __pyx_skip_dispatch)",
    "get_internal_topic": (
        "struct __pyx_obj_12quenda_loomi_4capi_7tessaly_Topic *(PyObject *, int __pyx_skip_dispatch, "
        "struct __pyx_opt_args_12quenda_loomi_4capi_7tessaly_get_internal_topic *__pyx_optional_args)"
    ),
}

api = ctypes.pythonapi
api.PyCapsule_GetName.restype = ctypes.c_char_p
api.PyCapsule_GetName.argtypes = [ctypes.py_object]
api.PyCapsule_GetPointer.restype = ctypes.c_void_p
api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def capsule_pointer(capsule):
    return api.PyCapsule_GetPointer(capsule, api.PyCapsule_GetName(capsule))


def read(kind, address):
    return kind.from_address(address).value


def test_module_attributes():
    names = {"enum", "re", "Iterable", "TopicType", "TopicPart", "TopicPartExact", "TopicPartAny",
             "TopicPartRange", "TopicPartPattern", "TopicMatchResult", "Topic", "TopicTestToolkit",
             "get_internal_topic", "get_internal_map", "__pyx_capi__", "__test__"}
    assert names <= set(vars(tessaly))
    assert tessaly.enum is enum and tessaly.re is re and tessaly.Iterable is collections.abc.Iterable
    assert tessaly.__test__ == {}
    assert tessaly.get_internal_topic.__doc__ == "get_internal_topic(str key, bool owner=False) -> Topic"
    assert tessaly.get_internal_map.__doc__ == "get_internal_map() -> dict"


@pytest.mark.parametrize(
    "name, bases",
    [("TopicPart", (object,)), ("TopicPartExact", ("TopicPart",)), ("TopicPartAny", ("TopicPart",)),
     ("TopicPartRange", ("TopicPart",)), ("TopicPartPattern", ("TopicPart",)),
     ("TopicMatchResult", (object,)), ("Topic", (object,)), ("TopicTestToolkit", (object,))],
)
def test_class_bases_and_names(name, bases):
    cls = getattr(tessaly, name)
    assert cls.__bases__ == tuple(getattr(tessaly, b) if isinstance(b, str) else b for b in bases)
    assert (cls.__module__, cls.__qualname__) == ("quenda_loomi.capi.tessaly", name)


def test_topic_type_enum():
    assert issubclass(TopicType, enum.IntEnum)
    assert (TopicType.__module__, TopicType.__qualname__) == ("quenda_loomi.capi.tessaly", "TopicType")
    assert [(m.name, m.value) for m in TopicType] == [
        ("TOPIC_PART_EXACT", 0), ("TOPIC_PART_ANY", 1), ("TOPIC_PART_RANGE", 2), ("TOPIC_PART_PATTERN", 3)]
    assert TopicType.TOPIC_PART_RANGE == 2 and isinstance(TopicType.TOPIC_PART_RANGE, int)
    assert TopicType(3) is TopicType.TOPIC_PART_PATTERN


def test_export_table_capsule_names():
    table = tessaly.__pyx_capi__
    assert set(table) == set(EXPORTS)
    assert {name: api.PyCapsule_GetName(c).decode() for name, c in table.items()} == EXPORTS


def test_topic_allocator_is_the_default_protocol_at_load():
    topic_allocator = read(ctypes.c_void_p, capsule_pointer(tessaly.__pyx_capi__["TOPIC_ALLOCATOR"]))
    default = read(ctypes.c_void_p, capsule_pointer(config.__pyx_capi__["QL_DEFAULT_ALLOCATOR"]))
    assert topic_allocator is not None and topic_allocator == default


def test_topic_record_layout_and_block_header():
    topic = Topic("lay.+out")
    address = topic.addr
    assert read(ctypes.c_uint64, address - 16) == 0xCFBBBBFC  # block magic
    assert read(ctypes.c_uint64, address - 24) == 48  # requested size
    assert read(ctypes.c_uint8, address - 30) == 1  # with_freelist of the default protocol
    assert read(ctypes.c_uint64, address + 8) == 2  # n_parts
    assert read(ctypes.c_uint64, address + 16) == TopicTestToolkit.get_hash(topic)
    key, key_len = read(ctypes.c_void_p, address + 24), read(ctypes.c_uint64, address + 32)
    assert ctypes.string_at(key, key_len) == b"lay.+out"
    assert read(ctypes.c_int32, address + 40) == 0  # is_exact
    first = read(ctypes.c_void_p, address)
    assert first == topic[0].addr
    assert read(ctypes.c_void_p, first + 8) == topic[1].addr  # next
    assert read(ctypes.c_int32, topic[1].addr) == TopicType.TOPIC_PART_ANY


def test_standalone_parts_come_from_the_heap_protocol():
    part = TopicPartExact("abc", alloc=True)
    assert read(ctypes.c_uint64, part.addr - 24) == 56
    assert read(ctypes.c_uint8, part.addr - 32) == 1  # with_lock of QL_HEAP_ALLOCATOR
    text = read(ctypes.c_void_p, part.addr + 16)
    assert ctypes.string_at(text, 4) == b"abc\0"
    assert read(ctypes.c_uint8, text - 32) == 1


@pytest.mark.parametrize(
    "code, expected",
    [
        # Removing the module and importing again yields the same object, no second set-up.
        ("""
         import sys
         import quenda_loomi.capi.tessaly as first
         allocator = first.__pyx_capi__["TOPIC_ALLOCATOR"]
         first.Topic("kept.registered")
         del sys.modules["quenda_loomi.capi.tessaly"]
         import quenda_loomi.capi.tessaly as second
         print(second is first, second.__pyx_capi__["TOPIC_ALLOCATOR"] is allocator,
               second.get_internal_topic("kept.registered") is not None)
         """, "True True True"),
        # Importing the topic module loads the configuration module first.
        ("""
         import sys
         import quenda_loomi.capi.tessaly
         print("quenda_loomi.base.durrowmere_skalvotin" in sys.modules)
         """, "True"),
        # Executing the set-up for another module object is refused.
        ("""
         import ctypes, types
         import quenda_loomi.capi.tessaly as module
         api = ctypes.pythonapi
         api.PyModule_GetDef.restype = ctypes.c_void_p
         api.PyModule_GetDef.argtypes = [ctypes.py_object]
         api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
         definition = api.PyModule_GetDef(module)
         try:
             api.PyModule_ExecDef(types.ModuleType("other"), definition)
         except RuntimeError as error:
             print(error)
         print(api.PyModule_ExecDef(module, definition))
         """, "Module 'tessaly' has already been imported. Re-initialisation is not supported.\n0"),
        # A second interpreter is refused (legacy and isolated ones).
        ("""
         import _interpreters, _testcapi
         import quenda_loomi.capi.tessaly
         code = "import quenda_loomi.capi.tessaly"
         _testcapi.run_in_subinterp("try:\\n    " + code + "\\nexcept ImportError as e:\\n    print(e)")
         interp = _interpreters.create()
         failure = _interpreters.exec(interp, code)
         _interpreters.destroy(interp)
         print(failure.type.__name__)
         """, "Interpreter change detected - this module can only be loaded into one interpreter per process.\n"
              "ImportError"),
    ],
    ids=["reimport", "loads-config", "re-exec", "subinterpreter"],
)
def test_import_guards(python_subprocess, code, expected):
    result = python_subprocess(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == expected


BROKEN_EXPORT = """
import ctypes, sys, types
import nyxel.bytemap.sorvelink as real

api = ctypes.pythonapi
api.PyCapsule_New.restype = ctypes.py_object
api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
signature = ctypes.create_string_buffer(b"int *")
storage = ctypes.c_int(0)

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


@pytest.mark.parametrize(
    "capi, expected",
    [
        ("{}", "ImportError nyxel.bytemap.sorvelink does not export expected C variable NO_DEFAULT"),
        ('{"NO_DEFAULT": api.PyCapsule_New(ctypes.addressof(storage), signature, None)}',
         "TypeError C variable nyxel.bytemap.sorvelink.NO_DEFAULT has wrong signature "
         "(expected PyObject *, got int *)"),
    ],
    ids=["missing", "wrong-signature"],
)
def test_import_fails_on_a_bad_base_library_export(python_subprocess, capi, expected):
    result = python_subprocess(BROKEN_EXPORT.replace("CAPI", capi))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [expected, "retry.ok"]


@pytest.mark.parametrize(
    "variable, build",
    [("QL_DEFAULT_ALLOCATOR", Topic), ("QL_HEAP_ALLOCATOR", lambda: TopicPartExact("swap", alloc=True))],
    ids=["topic-record", "part-record"],
)
def test_allocator_variables_are_read_at_each_construction(variable, build):
    default = ctypes.c_void_p.from_address(capsule_pointer(config.__pyx_capi__["QL_DEFAULT_ALLOCATOR"]))
    heap = ctypes.c_void_p.from_address(capsule_pointer(config.__pyx_capi__["QL_HEAP_ALLOCATOR"]))
    assert read(ctypes.c_uint8, default.value + 24) == 0 and read(ctypes.c_uint8, heap.value + 24) == 1
    swapped = default if variable == "QL_DEFAULT_ALLOCATOR" else heap
    before = swapped.value
    first = build()
    swapped.value = heap.value if swapped is default else default.value
    try:
        second = build()
    finally:
        swapped.value = before
    # with_lock of the block header in front of each record
    assert (read(ctypes.c_uint8, first.addr - 32), read(ctypes.c_uint8, second.addr - 32)) == ((0, 1) if swapped is default else (1, 0))
