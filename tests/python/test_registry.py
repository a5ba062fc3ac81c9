"""Registry functions, their exported native forms, and record lifetime."""

import ctypes
import gc

import pytest

import quenda_loomi.capi.tessaly as tessaly
from quenda_loomi.capi.tessaly import Topic, TopicTestToolkit, get_internal_map, get_internal_topic


class OptionalArgs(ctypes.Structure):
    _fields_ = [("n", ctypes.c_int), ("owner", ctypes.c_int)]


def exported(name):
    """The native entry point behind a capsule of the export table."""
    api = ctypes.pythonapi
    api.PyCapsule_GetName.restype = ctypes.c_char_p
    api.PyCapsule_GetName.argtypes = [ctypes.py_object]
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    capsule = tessaly.__pyx_capi__[name]
    return api.PyCapsule_GetPointer(capsule, api.PyCapsule_GetName(capsule))


# PYFUNCTYPE: the entry points are called with the interpreter lock held.
native_get_internal_map = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_int)(exported("get_internal_map"))
native_get_internal_topic = ctypes.PYFUNCTYPE(
    ctypes.py_object, ctypes.py_object, ctypes.c_int, ctypes.POINTER(OptionalArgs)
)(exported("get_internal_topic"))


def test_lookup_wraps_the_registered_record():
    topic = Topic("reg.look.up")
    found = get_internal_topic("reg.look.up")
    assert found is not topic and found.addr == topic.addr and found.owner is False
    assert get_internal_topic(key="reg.look.up", owner=0).addr == topic.addr


@pytest.mark.parametrize("key", ["", "reg.never.used", "reg.look"])
def test_lookup_misses_return_none(key):
    Topic("reg.look.up.miss")
    assert get_internal_topic(key) is None


@pytest.mark.parametrize(
    "args, kwargs, message",
    [((None,), {}, "Argument 'key' has incorrect type"), ((b"x",), {}, "Argument 'key' has incorrect type"),
     (("a", 1, 2), {}, "at most 2 positional"), ((), {}, "missing required argument 'key'"),
     (("a",), {"key": "a"}, "multiple values"), (("a",), {"other": 1}, "unexpected keyword")],
)
def test_lookup_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        get_internal_topic(*args, **kwargs)


def test_map_snapshot_in_registration_order():
    literals = ["snap.one", "snap.two", "snap.three"]
    topics = [Topic(literal) for literal in literals]
    first, second = get_internal_map(), get_internal_map()
    assert first is not second
    keys = [key for key in first if key.startswith("snap.")]
    assert keys == literals
    assert [first[key].addr for key in keys] == [t.addr for t in topics]
    assert first["snap.one"] is not second["snap.one"]
    assert all(not t.owner for t in first.values())
    assert len(first) == TopicTestToolkit.get_internal_map_size()


def test_replacing_a_literal_keeps_its_place_and_freed_literal_is_gone():
    Topic("order.a"), Topic("order.b")
    taker = Topic()
    taker.value = "order.a"  # takes the literal over from the registered record
    keys = [k for k in get_internal_map() if k.startswith("order.")]
    assert keys == ["order.a", "order.b"]
    assert get_internal_map()["order.a"].addr == taker.addr
    del taker
    assert "order.a" not in get_internal_map()


@pytest.mark.parametrize("owner_args", [None, OptionalArgs(0, 1), OptionalArgs(1, 0)])
def test_native_lookup_without_owner(owner_args):
    topic = Topic("native.look")
    pointer = ctypes.byref(owner_args) if owner_args is not None else None
    found = native_get_internal_topic("native.look", 0, pointer)
    assert found.addr == topic.addr and found.owner is False
    assert native_get_internal_topic("native.missing", 1, None) is None


def test_native_lookup_with_owner_and_native_map():
    holder = Topic()
    holder.value = "native.owned"
    owning = native_get_internal_topic("native.owned", 0, ctypes.byref(OptionalArgs(1, 1)))
    assert owning.owner is True and owning.addr == holder.addr
    snapshot = native_get_internal_map(0)
    assert snapshot["native.owned"].addr == holder.addr
    with pytest.raises(TypeError, match="Argument 'key' has incorrect type"):
        native_get_internal_topic(5, 0, None)


def test_owner_death_does_not_release_a_record_others_hold():
    owned = Topic()
    owned.value = "life.x.y"
    other = Topic("life.x.y")
    assert other.addr == owned.addr
    del owned
    gc.collect()
    assert other.value == "life.x.y"
    assert [p.part for p in other] == ["life", "x", "y"]
    del other
    assert get_internal_topic("life.x.y") is None
    assert not TopicTestToolkit.get_internal_map_has("life.x.y")


def test_two_owners_free_the_record_once():
    base = Topic()
    base.value = "life.two.owners"
    second_owner = get_internal_topic("life.two.owners", True)
    del base
    assert second_owner.value == "life.two.owners"
    del second_owner
    assert get_internal_topic("life.two.owners") is None


def test_non_owning_wrappers_never_release_the_record():
    address = Topic("life.shared").addr
    gc.collect()
    assert get_internal_topic("life.shared").addr == address
