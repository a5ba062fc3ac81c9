"""The nyxel stand-in: import surface and AllocatorConfigContext behaviour."""

import ctypes
import gc
import importlib
import weakref

import pytest

from nyxel.allocator_protocol.durrowmere_skalvotin import AllocatorConfigContext

_api = ctypes.pythonapi
_api.PyCapsule_GetName.restype = ctypes.c_char_p
_api.PyCapsule_GetName.argtypes = [ctypes.py_object]
_api.PyCapsule_GetPointer.restype = ctypes.c_void_p
_api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]

PROTOCOL = "allocator_protocol *"
CONTEXT = "struct __pyx_obj_5nyxel_18allocator_protocol_20durrowmere_skalvotin_AllocatorConfigContext *"
SURFACE = [
    ("nyxel.env", ["EnvConfigContext"], []),
    ("nyxel.allocator_protocol.kestovan_rimbo", ["MemoryBlock"], []),
    ("nyxel.allocator_protocol.vorrin_heskaboll", ["HeapMemoryPage", "HeapMemoryBlock", "HeapAllocator"], [
        ("C_ALLOCATOR", "heap_allocator *"),
        ("ALLOCATOR", "struct __pyx_obj_5nyxel_18allocator_protocol_16vorrin_heskaboll_HeapAllocator *")]),
    ("nyxel.allocator_protocol.durrowmere_skalvotin", ["AllocatorConfigContext", "AllocatorProtocol"], [
        ("AP_DEFAULT_ALLOCATOR", PROTOCOL), ("AP_HEAP_ALLOCATOR", PROTOCOL), ("AP_SHM_ALLOCATOR", PROTOCOL),
        ("AP_FREELIST", CONTEXT), ("AP_LOCKED", CONTEXT), ("AP_LOCKFREE", CONTEXT), ("AP_SHARED", CONTEXT)]),
    ("nyxel.allocator_protocol.ulvar_tesk", [], [("ULVAR_TESK", "shm_allocator_ctx *")]),
    ("nyxel.bytemap.sorvelink", [
        "_ByteMapBase", "ByteMapEx", "ByteMapExDouble", "ByteMap", "_BoundByteMapBase", "BoundByteMapEx",
        "BoundByteMapExDouble", "BoundByteMap", "BoundByteSet", "ByteMapPerformanceTestToolkit"],
     [("NO_DEFAULT", "PyObject *")]),
]


@pytest.mark.parametrize("module_name, types, variables", SURFACE)
def test_import_surface(module_name, types, variables):
    module = importlib.import_module(module_name)
    for name in types:
        assert isinstance(getattr(module, name), type)
    table = getattr(module, "__pyx_capi__", {})
    assert [(name, _api.PyCapsule_GetName(capsule).decode()) for name, capsule in table.items()] == variables
    for name, signature in variables:
        address = _api.PyCapsule_GetPointer(table[name], signature.encode())
        assert ctypes.c_void_p.from_address(address).value is None  # null slots


# A context without a schematic tracks its settings all the same (starting
# from all-off), so `saved` shows the nesting frames.
@pytest.mark.parametrize("settings, saved", [
    ({"locked": True}, {"locked": False}),
    ({"freelist": 1, "shared": []}, {"shared": False, "freelist": False}),
    ({"other": True}, {}),
    ({}, {}),
])
def test_activation_saves_previous_settings_of_requested_keys(settings, saved):
    context = AllocatorConfigContext(**settings)
    assert context.requested == settings and context.saved is None
    with context as entered:
        assert entered is context
        assert context.saved == saved
    assert context.saved is None


def test_nested_contexts_save_what_the_outer_one_set():
    a, b = AllocatorConfigContext(locked=True), AllocatorConfigContext(locked=False, freelist=True)
    with a:
        with b:
            assert b.saved == {"locked": True, "freelist": False}
            with a:  # the same context again: a second frame on top of the first
                assert a.saved == {"locked": False}
            assert a.saved == {"locked": False}
        with b:
            assert b.saved == {"locked": True, "freelist": False}
    with b:  # everything undone: back to all-off
        assert b.saved == {"locked": False, "freelist": False}


def test_saved_settings_are_a_copy_of_the_frame():
    outer, inner = AllocatorConfigContext(locked=True), AllocatorConfigContext(locked=False)
    with outer:
        with inner:
            assert inner.saved is not inner.saved
            inner.saved["locked"] = False
            inner.saved["freelist"] = True
        with inner:  # the first exit put back what outer had set
            assert inner.saved == {"locked": True}


def test_same_context_nested_unwinds_frame_by_frame():
    context = AllocatorConfigContext(locked=True)
    context.__enter__()
    context.__enter__()
    assert context.saved == {"locked": True}
    context.__exit__(None, None, None)
    assert context.saved == {"locked": False}
    context.__exit__(None, None, None)
    assert context.saved is None
    with pytest.raises(RuntimeError, match="without a matching activation"):
        context.__exit__(None, None, None)


@pytest.mark.parametrize("call", [
    lambda: AllocatorConfigContext({"locked": True}),
    lambda: AllocatorConfigContext(locked=True).__exit__(None),
])
def test_argument_errors(call):
    with pytest.raises(TypeError):
        call()


def test_reference_cycle_through_settings_is_collected():
    class Marker:
        pass

    marker = Marker()
    marker.context = AllocatorConfigContext(marker=marker)
    with marker.context:
        pass
    ref = weakref.ref(marker)
    del marker
    gc.collect()
    assert ref() is None
