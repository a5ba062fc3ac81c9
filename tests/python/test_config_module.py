"""quenda_loomi.base.durrowmere_skalvotin: engine allocator variables, contexts, views."""

import copy
import ctypes
import importlib
import inspect
import pickle
import sys
import textwrap
import threading

import pytest

import nyxel_standin_probe
import ql_engine_variables_probe
import quenda_loomi.base.durrowmere_skalvotin as cfg
from nyxel.allocator_protocol.durrowmere_skalvotin import AllocatorConfigContext

T = cfg.AllocatorTestToolkit
MODULE = "quenda_loomi.base.durrowmere_skalvotin"
DEFAULT_FLAGS = {"locked": False, "shared": False, "freelist": True}
DEFAULT_CONFIG = [("with_lock", False), ("with_shm", False), ("with_freelist", True),
                  ("has_heap", True), ("has_shm", False)]
HEAP_CONFIG = [("with_lock", True)] + DEFAULT_CONFIG[1:]
CTX_SIGNATURE = "struct __pyx_obj_12quenda_loomi_4base_20durrowmere_skalvotin_QLConfigContext *"
PICKLE_MESSAGE = "self.allocator_schematic cannot be converted to a Python object for pickling"

_api = ctypes.pythonapi
_api.PyCapsule_GetName.restype = ctypes.c_char_p
_api.PyCapsule_GetName.argtypes = [ctypes.py_object]
_api.PyCapsule_GetPointer.restype = ctypes.c_void_p
_api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


@pytest.fixture
def python_subprocess():
    # These children check what importing the module does on its own; the
    # stress hook's installation would import it first.
    from conftest import run_python
    return lambda code, timeout=60: run_python(code, timeout, stress=False)


def capsule_address(name):
    capsule = cfg.__pyx_capi__[name]
    return _api.PyCapsule_GetPointer(capsule, _api.PyCapsule_GetName(capsule))


def pointer_at(address):
    return ctypes.c_void_p.from_address(address).value


def toolkit_flags():
    return {"locked": T.get_cfg_locked(), "shared": T.get_cfg_shared(), "freelist": T.get_cfg_freelist()}


def engine_state():
    """Flags seen three ways (they must agree) plus the default protocol's config (read raw as well)."""
    view = cfg.RUNTIME_ALLOCATOR_CONFIG
    through_view = {"locked": view.QL_CFG_LOCKED, "shared": view.QL_CFG_SHARED,
                    "freelist": view.QL_CFG_FREELIST}
    through_capsules = {key: ctypes.c_bool.from_address(capsule_address("QL_CFG_" + key.upper())).value
                        for key in DEFAULT_FLAGS}
    flags = toolkit_flags()
    assert flags == through_view == through_capsules
    assert all(type(v) is bool for v in [*flags.values(), *through_view.values()])
    config = T.get_default_allocator_config()
    record = pointer_at(capsule_address("QL_DEFAULT_ALLOCATOR"))
    assert ctypes.string_at(record + 24, 3) == bytes([config["with_lock"], config["with_shm"],
                                                      config["with_freelist"]])
    return flags, list(config.items())


@pytest.fixture(autouse=True)
def engine_state_restored():
    """Every test must leave the engine's flags and protocol records as it found them."""
    yield
    assert engine_state() == (DEFAULT_FLAGS, DEFAULT_CONFIG)
    assert list(T.get_heap_allocator_config().items()) == HEAP_CONFIG


def test_state_after_import():
    assert engine_state() == (DEFAULT_FLAGS, DEFAULT_CONFIG)
    assert list(T.get_heap_allocator_config().items()) == HEAP_CONFIG
    assert T.is_shm_available() is False


def test_module_attributes():
    # Checking builds add the test-only `_reentry_stress_hook`.
    public = {name for name in vars(cfg) if not name.startswith("__")} - {"_reentry_stress_hook"}
    assert public == {"QLConfigContext", "AllocatorTestToolkit", "QL_SHARED", "QL_LOCKED", "QL_LOCKFREE",
                      "QL_FREELIST", "_RuntimeAllocatorConfig", "RUNTIME_ALLOCATOR_CONFIG"}
    assert cfg.__test__ == {}
    assert issubclass(cfg.QLConfigContext, AllocatorConfigContext)
    for name, key, value in [("QL_SHARED", "shared", True), ("QL_LOCKED", "locked", True),
                             ("QL_LOCKFREE", "locked", False), ("QL_FREELIST", "freelist", True)]:
        context = getattr(cfg, name)
        assert type(context) is cfg.QLConfigContext
        assert context.requested == {key: value}


def test_export_table_names_and_signatures():
    table = [(name, _api.PyCapsule_GetName(capsule).decode()) for name, capsule in cfg.__pyx_capi__.items()]
    assert table == [
        ("QL_DEFAULT_ALLOCATOR", "allocator_protocol *"), ("QL_HEAP_ALLOCATOR", "allocator_protocol *"),
        ("QL_SHM_ALLOCATOR", "allocator_protocol *"), ("QL_CFG_FREELIST", "bool"), ("QL_CFG_LOCKED", "bool"),
        ("QL_CFG_SHARED", "bool"), ("QL_HEAP_ALLOCATOR_RAW", "heap_allocator *"),
        ("QL_SHM_ALLOCATOR_RAW", "shm_allocator_ctx *"), ("QL_FREELIST", CTX_SIGNATURE),
        ("QL_LOCKED", CTX_SIGNATURE), ("QL_LOCKFREE", CTX_SIGNATURE), ("QL_SHARED", CTX_SIGNATURE)]


def test_importers_see_the_export_table_entry_by_entry():
    # Engine modules import by the shared table's names and signatures; the
    # export must follow that table position by position, addresses included.
    exported = [(name, _api.PyCapsule_GetName(capsule).decode(), capsule_address(name))
                for name, capsule in cfg.__pyx_capi__.items()]
    assert exported == ql_engine_variables_probe.imported_variables()


def test_exported_records():
    default = pointer_at(capsule_address("QL_DEFAULT_ALLOCATOR"))
    heap_protocol = pointer_at(capsule_address("QL_HEAP_ALLOCATOR"))
    heap = pointer_at(capsule_address("QL_HEAP_ALLOCATOR_RAW"))
    assert default and heap_protocol and heap and len({default, heap_protocol, heap}) == 3
    assert pointer_at(capsule_address("QL_SHM_ALLOCATOR")) is None
    assert pointer_at(capsule_address("QL_SHM_ALLOCATOR_RAW")) is None
    for record, flags in [(default, b"\x00\x00\x01"), (heap_protocol, b"\x01\x00\x01")]:
        assert ctypes.string_at(record, 16) == bytes(16)  # no shm allocator, no shm context
        assert pointer_at(record + 16) == heap
        assert ctypes.string_at(record + 24, 32) == flags + bytes(29)  # size, magic, ref_count stay 0
    page_sizes = (ctypes.c_uint64 * 3).from_address(heap + 56)
    assert list(page_sizes) == [65536, 16 * 1024 * 1024, 4096]
    for name in ["QL_FREELIST", "QL_LOCKED", "QL_LOCKFREE", "QL_SHARED"]:
        assert pointer_at(capsule_address(name)) == id(getattr(cfg, name))


def make(name_or_settings):
    if isinstance(name_or_settings, str):
        return getattr(cfg, name_or_settings)
    return cfg.QLConfigContext(**name_or_settings)


def expected_inside(before, context):
    flags, config = dict(before[0]), dict(before[1])
    for key, value in context.requested.items():
        flags[key] = bool(value)
    config["with_lock"], config["with_freelist"] = flags["locked"], flags["freelist"]
    return flags, list(config.items())  # with_shm never changes: no shared-memory pool exists


NESTINGS = [
    ["QL_LOCKED"],
    ["QL_SHARED"],
    ["QL_LOCKED", "QL_LOCKFREE"],
    ["QL_LOCKED", "QL_LOCKED"],
    [{"freelist": False}, "QL_FREELIST"],
    ["QL_SHARED", {"locked": 1, "freelist": ""}, "QL_LOCKFREE", "QL_SHARED"],
    [{"locked": True, "shared": True, "freelist": False}, {}, {"shared": False}],
    ["QL_LOCKFREE", "QL_LOCKED", "QL_FREELIST", "QL_SHARED"],
    ["QL_FREELIST", {"freelist": False}, "QL_FREELIST", "QL_LOCKED", "QL_LOCKFREE"],
]


@pytest.mark.parametrize("nesting", NESTINGS)
def test_nested_relays_restore_state_of_matching_activation(nesting):
    contexts = [make(item) for item in nesting]
    snapshots = []
    for context in contexts:
        snapshots.append(engine_state())
        T.activate_context(context)
        assert engine_state() == expected_inside(snapshots[-1], context)
    for context, before in zip(reversed(contexts), reversed(snapshots)):
        T.deactivate_context(context)
        assert engine_state() == before


@pytest.mark.parametrize("nesting", NESTINGS)
def test_nested_with_blocks_restore_state_when_the_block_raises(nesting):
    contexts = [make(item) for item in nesting]

    def enter(level):
        before = engine_state()
        with contexts[level] as entered:
            assert entered is contexts[level]
            assert engine_state() == expected_inside(before, contexts[level])
            if level + 1 < len(contexts):
                with pytest.raises(LookupError, match=f"^level {level + 1}$"):
                    enter(level + 1)
                assert engine_state() == expected_inside(before, contexts[level])
            raise LookupError(f"level {level}")

    before = engine_state()
    with pytest.raises(LookupError, match="^level 0$"):
        enter(0)
    assert engine_state() == before


def test_blocks_on_two_threads_restore_the_flags_in_the_order_they_end():
    # The flags are process-wide: A enters, B enters, A leaves, B leaves.
    # Each exit restores what was in force when its own block began, so the
    # engine ends locked although both blocks are over.
    steps = [threading.Event() for _ in range(3)]
    seen = {}

    def locked_now():
        return T.get_cfg_locked(), T.get_default_allocator_config()["with_lock"]

    def thread_a():
        with cfg.QL_LOCKED:
            seen["A entered"] = locked_now()
            steps[0].set()
            steps[1].wait(10)
            seen["A inside, B entered"] = locked_now()
        seen["A left"] = locked_now()
        steps[2].set()

    def thread_b():
        steps[0].wait(10)
        with cfg.QL_LOCKFREE:
            seen["B entered"] = locked_now()
            steps[1].set()
            steps[2].wait(10)
        seen["B left"] = locked_now()

    threads = [threading.Thread(target=thread_a), threading.Thread(target=thread_b)]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(30)
        after = engine_state()
    finally:
        # Put the import-time value back: a context whose activation is never undone.
        T.activate_context(cfg.QLConfigContext(locked=False))
    assert seen == {"A entered": (True, True), "B entered": (False, False),
                    "A inside, B entered": (False, False), "A left": (False, False),
                    "B left": (True, True)}
    assert after == expected_inside((DEFAULT_FLAGS, DEFAULT_CONFIG), cfg.QL_LOCKED)


@pytest.mark.parametrize("key, value, expected", [
    ("locked", 1, True), ("locked", [1], True), ("locked", "x", True), ("shared", 0.5, True),
    ("shared", object(), True), ("freelist", 0, False), ("freelist", "", False), ("freelist", [], False),
    ("freelist", None, False),
])
def test_settings_are_taken_by_truth(key, value, expected):
    context = cfg.QLConfigContext(**{key: value})
    T.activate_context(context)
    assert toolkit_flags() == dict(DEFAULT_FLAGS, **{key: expected})
    T.deactivate_context(context)


class Unanswerable:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


def enter_with_block(context):
    with context:
        pytest.fail("the block ran although activation failed")


# Keys are walked as locked, shared, freelist: the ones before the failing key
# stay written, the failing one and the rest keep their values.
@pytest.mark.parametrize("settings, written", [
    ({"freelist": False, "shared": Unanswerable(), "locked": True}, {"locked": True}),
    ({"locked": Unanswerable(), "shared": True}, {}),
    ({"locked": True, "shared": True, "freelist": Unanswerable()}, {"locked": True, "shared": True}),
])
@pytest.mark.parametrize("activate", [T.activate_context, enter_with_block])
def test_failing_truth_test_stops_activation_after_earlier_keys(activate, settings, written):
    context = cfg.QLConfigContext(**settings)
    with pytest.raises(ZeroDivisionError, match="no truth"):
        activate(context)
    assert toolkit_flags() == dict(DEFAULT_FLAGS, **written)
    # The base step never ran: the record and the context's saved settings are untouched.
    assert list(T.get_default_allocator_config().items()) == DEFAULT_CONFIG
    assert context.saved is None
    reset = cfg.QLConfigContext(**DEFAULT_FLAGS)
    T.activate_context(reset)
    T.deactivate_context(reset)


# Settings code that re-initialises the context while activation walks its
# settings, dropping the mapping being walked.
REINITIALISING_SETTINGS = {
    "value __bool__": """
        class Value:
            def __bool__(self):
                context.__init__()
                return True
        context = cfg.QLConfigContext(locked=Value(), freelist=False)
    """,
    "key __eq__": """
        class Key(str):
            __hash__ = str.__hash__
            def __eq__(self, other):
                context.__init__()
                return str.__eq__(self, other)
        context = cfg.QLConfigContext(**{Key("locked"): True, "freelist": False})
    """,
}


@pytest.mark.parametrize("setup", REINITIALISING_SETTINGS.values(), ids=REINITIALISING_SETTINGS)
def test_activation_walks_the_settings_it_started_with(python_subprocess, setup):
    prelude = "import quenda_loomi.base.durrowmere_skalvotin as cfg\nT = cfg.AllocatorTestToolkit\n"
    result = python_subprocess(prelude + textwrap.dedent(setup) + "T.activate_context(context)\n"
                               "print(T.get_cfg_locked(), T.get_cfg_freelist(), context.requested)\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True False {}\n"


def test_deactivation_without_activation_raises():
    with pytest.raises(TypeError, match=r"^'NoneType' object is not iterable$"):
        T.deactivate_context(cfg.QLConfigContext(locked=True))


def test_subclass_activation_goes_through_the_engine_method_table():
    class Sub(cfg.QLConfigContext):
        pass

    with Sub(locked=True, shared=True):
        assert toolkit_flags() == dict(DEFAULT_FLAGS, locked=True, shared=True)
        assert T.get_default_allocator_config()["with_lock"] is True


def test_published_method_tables():
    api = ctypes.pythonapi
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]

    def slots(cls, count):
        table = api.PyCapsule_GetPointer(cls.__dict__["__pyx_vtable__"], None)
        return list(ctypes.cast(table, ctypes.POINTER(ctypes.c_void_p))[:count])

    base, engine = slots(AllocatorConfigContext, 2), slots(cfg.QLConfigContext, 3)
    # Both activation entries replaced, then c_set_schematic.
    assert all(engine) and engine[0] != base[0] and engine[1] != base[1]


@pytest.mark.parametrize("bad, type_name", [
    (None, "NoneType"), (1, "int"), ("QL_LOCKED", "str"),
    (AllocatorConfigContext(locked=True), "nyxel.allocator_protocol.durrowmere_skalvotin.AllocatorConfigContext"),
])
@pytest.mark.parametrize("relay", ["activate_context", "deactivate_context"])
def test_relays_reject_other_types(relay, bad, type_name):
    message = ("Argument 'ctx' has incorrect type (expected quenda_loomi.base.durrowmere_skalvotin."
               f"QLConfigContext, got {type_name})")
    with pytest.raises(TypeError) as info:
        getattr(T, relay)(bad)
    assert str(info.value) == message
    with pytest.raises(TypeError):
        getattr(T, relay)()


def probe(protocol_name):
    return nyxel_standin_probe.request_block(cfg.__pyx_capi__[protocol_name], 200)


@pytest.mark.parametrize("context, header", [
    ("QL_LOCKED", {"with_lock": True, "with_shm": False, "with_freelist": True}),
    ("QL_SHARED", {"with_lock": False, "with_shm": False, "with_freelist": True}),
    ({"freelist": False}, {"with_lock": False, "with_shm": False, "with_freelist": False}),
])
def test_contexts_change_how_default_protocol_blocks_are_made(context, header):
    try:
        outside = probe("QL_DEFAULT_ALLOCATOR")
    except OSError as error:
        pytest.skip(f"pooled heap requests unavailable in this ap_alloc build: {error}")
    assert outside == {"with_lock": False, "with_shm": False, "with_freelist": True, "size": 200}
    with make(context):
        assert probe("QL_DEFAULT_ALLOCATOR") == dict(header, size=200)
        assert probe("QL_HEAP_ALLOCATOR") == {"with_lock": True, "with_shm": False, "with_freelist": True,
                                              "size": 200}
    assert probe("QL_DEFAULT_ALLOCATOR") == outside


@pytest.mark.parametrize("operation", [
    pickle.dumps, lambda c: pickle.dumps(c, protocol=0), lambda c: pickle.dumps(c, protocol=5),
    copy.copy, copy.deepcopy, lambda c: c.__reduce__(), lambda c: c.__reduce_ex__(2),
    lambda c: c.__setstate__({}),
])
@pytest.mark.parametrize("context", ["QL_LOCKED", {"shared": True}])
def test_contexts_refuse_pickling(context, operation):
    with pytest.raises(TypeError) as info:
        operation(make(context))
    assert str(info.value) == PICKLE_MESSAGE


def test_toolkit_instances_pickle():
    for restored in [pickle.loads(pickle.dumps(T())), copy.deepcopy(T())]:
        assert type(restored) is T


TOOLKIT_METHODS = [
    ("get_cfg_locked", "AllocatorTestToolkit.get_cfg_locked() -> c_bool",
     "Live value of the QL_CFG_LOCKED global.", "c_bool"),
    ("get_cfg_shared", "AllocatorTestToolkit.get_cfg_shared() -> c_bool",
     "Live value of the QL_CFG_SHARED global.", "c_bool"),
    ("get_cfg_freelist", "AllocatorTestToolkit.get_cfg_freelist() -> c_bool",
     "Live value of the QL_CFG_FREELIST global.", "c_bool"),
    ("get_default_allocator_config", "AllocatorTestToolkit.get_default_allocator_config() -> dict",
     "Flag/backing configuration of the QL_DEFAULT_ALLOCATOR protocol.", "dict"),
    ("get_heap_allocator_config", "AllocatorTestToolkit.get_heap_allocator_config() -> dict",
     "Flag/backing configuration of the QL_HEAP_ALLOCATOR protocol.", "dict"),
    ("is_shm_available", "AllocatorTestToolkit.is_shm_available() -> bint",
     "Whether the shared-memory allocator protocol is configured.", "bint"),
    ("activate_context", "AllocatorTestToolkit.activate_context(QLConfigContext ctx) -> None",
     "Activate an QLConfigContext (relay of the cdef c_activate).", "None"),
    ("deactivate_context", "AllocatorTestToolkit.deactivate_context(QLConfigContext ctx) -> None",
     "Deactivate an QLConfigContext (relay of the cdef c_deactivate).", "None"),
]


def test_toolkit_texts():
    assert T.__doc__ == (
        "Relays internal allocator-protocol state to Python for test validation.\n\n"
        "    Exposes the live ``QL_CFG_*`` globals, the allocator protocol struct\n"
        "    configurations (lock/shm/freelist flags and backing allocator presence),\n"
        "    and the ``QLConfigContext`` activation path \u2014 all of which are internal\n"
        "    C state that the public Python API does not otherwise expose.\n\n"
        "    Note:\n"
        "        Test-only class. Not declared in any ``.pxd``; not part of the\n"
        "        public package API.\n")
    assert T.__module__ == MODULE
    methods = [name for name, value in vars(T).items() if isinstance(value, staticmethod)]
    assert methods == [name for name, *_ in TOOLKIT_METHODS]
    for name, signature, summary, returns in TOOLKIT_METHODS:
        function = getattr(T, name)
        assert function.__doc__ == f"{signature}\n\n{summary}"
        assert function.__annotations__ == {"return": returns}
        assert function.__qualname__ == f"AllocatorTestToolkit.{name}"
        assert getattr(T(), name) is function


def test_runtime_view_class():
    view_class = cfg._RuntimeAllocatorConfig
    assert type(cfg.RUNTIME_ALLOCATOR_CONFIG) is view_class
    assert view_class.__bases__ == (object,) and view_class.__module__ == MODULE
    assert view_class.__doc__ == (
        "Property-based accessor for live QL_CFG_* globals.\n\n"
        "    Unlike the compile-time CONFIG_VIEW mappingproxy, these properties read\n"
        "    the CURRENT value, which may change when an QLConfigContext is active.\n    ")
    properties = [name for name, value in vars(view_class).items() if isinstance(value, property)]
    assert properties == ["QL_CFG_LOCKED", "QL_CFG_SHARED", "QL_CFG_FREELIST"]
    for name in properties:
        getter = vars(view_class)[name].fget
        assert getter.__doc__ == vars(view_class)[name].__doc__ == f"_RuntimeAllocatorConfig.{name}(self)"
        assert str(inspect.signature(getter)) == "(self)"


@pytest.mark.parametrize("name", ["QL_CFG_LOCKED", "QL_CFG_SHARED", "QL_CFG_FREELIST"])
def test_runtime_view_is_read_only(name):
    with pytest.raises(AttributeError):
        setattr(cfg.RUNTIME_ALLOCATOR_CONFIG, name, True)
    with pytest.raises(AttributeError):
        delattr(cfg.RUNTIME_ALLOCATOR_CONFIG, name)


def test_reimport_yields_the_same_module_and_records():
    default_before = pointer_at(capsule_address("QL_DEFAULT_ALLOCATOR"))
    locked_before = cfg.QL_LOCKED
    del sys.modules[MODULE]
    again = importlib.import_module(MODULE)
    assert again is cfg and importlib.reload(cfg) is cfg
    assert cfg.QL_LOCKED is locked_before
    assert pointer_at(capsule_address("QL_DEFAULT_ALLOCATOR")) == default_before


def test_reinitialisation_refused(python_subprocess):
    result = python_subprocess("""
        import ctypes
        import quenda_loomi.base.durrowmere_skalvotin as cfg
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_New.restype = ctypes.py_object
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        definition = api.PyModule_GetDef(cfg)
        assert api.PyModule_ExecDef(cfg, definition) == 0
        try:
            api.PyModule_ExecDef(api.PyModule_New(b"durrowmere_skalvotin"), definition)
        except RuntimeError as error:
            print(error)
        assert cfg.AllocatorTestToolkit.get_cfg_freelist() is True
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == ("Module 'durrowmere_skalvotin' has already been imported. "
                             "Re-initialisation is not supported.\n")


def test_second_interpreter_refused(python_subprocess):
    pytest.importorskip("_interpreters")
    result = python_subprocess("""
        import _interpreters
        import quenda_loomi.base.durrowmere_skalvotin as cfg
        attempt = '''
        try:
            import quenda_loomi.base.durrowmere_skalvotin
        except ImportError as error:
            print(error)
        '''
        for config in ("legacy", "isolated"):
            interpreter = _interpreters.create(config)
            assert _interpreters.exec(interpreter, attempt) is None
            _interpreters.destroy(interpreter)
        with cfg.QL_LOCKED:
            assert cfg.RUNTIME_ALLOCATOR_CONFIG.QL_CFG_LOCKED is True
    """)
    assert result.returncode == 0, result.stderr
    legacy, isolated = result.stdout.splitlines()
    assert legacy == ("Interpreter change detected - this module can only be loaded into one "
                      "interpreter per process.")
    assert "does not support loading in subinterpreters" in isolated


def test_failed_base_library_lookup_fails_import_and_a_retry_succeeds(python_subprocess):
    result = python_subprocess("""
        import ctypes, sys, types
        ctypes.pythonapi.PyCapsule_New.restype = ctypes.py_object
        ctypes.pythonapi.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
        slot, names = ctypes.c_void_p(), []
        def capsule(name):
            names.append(ctypes.create_string_buffer(name))
            return ctypes.pythonapi.PyCapsule_New(ctypes.addressof(slot), ctypes.addressof(names[-1]), None)
        import nyxel.allocator_protocol
        fake = types.ModuleType("nyxel.allocator_protocol.ulvar_tesk")
        fake.__pyx_capi__ = {'ULVAR_TESK': capsule(b'void *')}
        sys.modules[fake.__name__] = fake
        try:
            import quenda_loomi.base.durrowmere_skalvotin
        except Exception as exc:
            print(f"{type(exc).__name__}: {exc}")
        del sys.modules[fake.__name__]
        import quenda_loomi.base.durrowmere_skalvotin as cfg
        T = cfg.AllocatorTestToolkit
        assert T.get_default_allocator_config()["has_heap"] and T.get_cfg_freelist()
        with cfg.QL_LOCKED:
            assert T.get_default_allocator_config()["with_lock"] is True
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(
        "TypeError: C variable nyxel.allocator_protocol.ulvar_tesk.ULVAR_TESK has wrong signature")
