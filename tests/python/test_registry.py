"""Registry functions, their exported native forms, and record lifetime."""

import ctypes

import pytest

import quenda_loomi.capi.tessaly as tessaly
from quenda_loomi.capi.tessaly import Topic, TopicTestToolkit, get_internal_map, get_internal_topic


class OptionalArgs(ctypes.Structure):
    _fields_ = [("n", ctypes.c_int), ("owner", ctypes.c_int)]


def exported(name, *argtypes):
    """The native entry point behind a capsule, called with the interpreter lock held."""
    api = ctypes.pythonapi
    api.PyCapsule_GetName.restype, api.PyCapsule_GetName.argtypes = ctypes.c_char_p, [ctypes.py_object]
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    capsule = tessaly.__pyx_capi__[name]
    address = api.PyCapsule_GetPointer(capsule, api.PyCapsule_GetName(capsule))
    return ctypes.PYFUNCTYPE(ctypes.py_object, *argtypes)(address)


native_map = exported("get_internal_map", ctypes.c_int)
native_topic = exported("get_internal_topic", ctypes.py_object, ctypes.c_int, ctypes.POINTER(OptionalArgs))

LOOKUPS = {
    "python": lambda key, owner: get_internal_topic(key, owner),
    "python-keywords": lambda key, owner: get_internal_topic(key=key, owner=owner),
    "native": lambda key, owner: native_topic(key, 0, ctypes.byref(OptionalArgs(1, owner))),
    # No optional-arguments record, or a count of 0: owner is False.
    "native-null": lambda key, owner: native_topic(key, 1, None),
    "native-count-0": lambda key, owner: native_topic(key, 0, ctypes.byref(OptionalArgs(0, owner))),
}


@pytest.mark.parametrize("name", LOOKUPS)
@pytest.mark.parametrize("owner", [0, 1])
def test_lookup(name, owner):
    lookup = LOOKUPS[name]
    holder = Topic()
    holder.value = "reg.look.up"
    found = lookup("reg.look.up", owner)
    assert found is not holder and found.addr == holder.addr
    assert found.owner is bool(owner and name in ("python", "python-keywords", "native"))
    for key in ("", "reg.never.used", "reg.look"):
        assert lookup(key, owner) is None
    with pytest.raises(TypeError, match="Argument 'key' has incorrect type"):
        lookup(b"reg.look.up", owner)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [((None,), {}, "Argument 'key' has incorrect type"), (("a", 1, 2), {}, "at most 2 positional"),
     (("a",), {"key": "a"}, "multiple values")],
)
def test_lookup_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        get_internal_topic(*args, **kwargs)


@pytest.mark.parametrize(
    "snapshot, prefix", [(get_internal_map, "snap"), (lambda: native_map(0), "nsnap")], ids=["python", "native"]
)
def test_map_snapshot(snapshot, prefix):
    one, two = f"{prefix}.one", f"{prefix}.two"
    topics = [Topic(one), Topic(two)]
    taker = Topic()
    taker.value = one  # takes the literal over: its place in the order stays
    first, second = snapshot(), snapshot()
    assert [key for key in first if key.startswith(prefix + ".")] == [one, two]
    assert [first[one].addr, first[two].addr] == [taker.addr, topics[1].addr]
    assert first is not second and first[two] is not second[two]
    assert not any(t.owner for t in first.values()) and len(first) == TopicTestToolkit.get_internal_map_size()
    del taker
    assert one in snapshot()  # the snapshots still wrap the record
    del first, second
    assert one not in snapshot()


@pytest.mark.parametrize("second_owner", [False, True])
def test_owner_death_leaves_the_record_to_its_other_holders(second_owner):
    owned = Topic()
    owned.value = "life.x.y"
    other = get_internal_topic("life.x.y", second_owner)
    del owned
    assert other.value == "life.x.y" and [p.part for p in other] == ["life", "x", "y"]
    del other  # the last wrapper of a record some wrapper owned frees it
    assert get_internal_topic("life.x.y") is None and not TopicTestToolkit.get_internal_map_has("life.x.y")

