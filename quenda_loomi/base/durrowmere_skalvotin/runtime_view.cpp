// Python views of the engine's allocator state: _RuntimeAllocatorConfig (live
// flags as read-only properties) and AllocatorTestToolkit (test relays).
//
// Both expose native state through Python-level functions defined here from
// a short source text: those functions carry the docstrings, qualified names
// and return annotations the classes publish (builtin functions cannot hold
// __annotations__), and each one forwards to one native helper below.
#include "quenda_loomi/base/durrowmere_skalvotin/engine_config.h"

#include "support/python/py_ref.h"
#include "support/python/type_setup.h"
#include "support/python/static_method.h"

namespace ql_config {

namespace {

using pyutil::Ref;

constexpr const char kRuntimeConfigDoc[] =
    "Property-based accessor for live QL_CFG_* globals.\n\n"
    "    Unlike the compile-time CONFIG_VIEW mappingproxy, these properties read\n"
    "    the CURRENT value, which may change when an QLConfigContext is active.\n"
    "    ";

constexpr const char kToolkitDoc[] =
    "Relays internal allocator-protocol state to Python for test validation.\n\n"
    "    Exposes the live ``QL_CFG_*`` globals, the allocator protocol struct\n"
    "    configurations (lock/shm/freelist flags and backing allocator presence),\n"
    "    and the ``QLConfigContext`` activation path \xe2\x80\x94 all of which are internal\n"
    "    C state that the public Python API does not otherwise expose.\n\n"
    "    Note:\n"
    "        Test-only class. Not declared in any ``.pxd``; not part of the\n"
    "        public package API.\n";

struct ToolkitMethod {
    const char* name;
    const char* doc;
    const char* returns;
};

// In class order.
constexpr ToolkitMethod kToolkitMethods[] = {
    {"get_cfg_locked",
     "AllocatorTestToolkit.get_cfg_locked() -> c_bool\n\nLive value of the QL_CFG_LOCKED global.", "c_bool"},
    {"get_cfg_shared",
     "AllocatorTestToolkit.get_cfg_shared() -> c_bool\n\nLive value of the QL_CFG_SHARED global.", "c_bool"},
    {"get_cfg_freelist",
     "AllocatorTestToolkit.get_cfg_freelist() -> c_bool\n\nLive value of the QL_CFG_FREELIST global.",
     "c_bool"},
    {"get_default_allocator_config",
     "AllocatorTestToolkit.get_default_allocator_config() -> dict\n\n"
     "Flag/backing configuration of the QL_DEFAULT_ALLOCATOR protocol.",
     "dict"},
    {"get_heap_allocator_config",
     "AllocatorTestToolkit.get_heap_allocator_config() -> dict\n\n"
     "Flag/backing configuration of the QL_HEAP_ALLOCATOR protocol.",
     "dict"},
    {"is_shm_available",
     "AllocatorTestToolkit.is_shm_available() -> bint\n\n"
     "Whether the shared-memory allocator protocol is configured.",
     "bint"},
    {"activate_context",
     "AllocatorTestToolkit.activate_context(QLConfigContext ctx) -> None\n\n"
     "Activate an QLConfigContext (relay of the cdef c_activate).",
     "None"},
    {"deactivate_context",
     "AllocatorTestToolkit.deactivate_context(QLConfigContext ctx) -> None\n\n"
     "Deactivate an QLConfigContext (relay of the cdef c_deactivate).",
     "None"},
};

// The Python-level definitions.  Names starting with "_" are the native
// helpers and texts placed in the namespace before this runs.
constexpr const char kViewsSource[] = R"PY(
class _RuntimeAllocatorConfig:
    __doc__ = _RUNTIME_CONFIG_DOC

    def QL_CFG_LOCKED(self):
        return _cfg_locked()

    def QL_CFG_SHARED(self):
        return _cfg_shared()

    def QL_CFG_FREELIST(self):
        return _cfg_freelist()

    for _getter in (QL_CFG_LOCKED, QL_CFG_SHARED, QL_CFG_FREELIST):
        _getter.__qualname__ = "_RuntimeAllocatorConfig." + _getter.__name__
        _getter.__doc__ = _getter.__qualname__ + "(self)"
    del _getter

    QL_CFG_LOCKED = property(QL_CFG_LOCKED)
    QL_CFG_SHARED = property(QL_CFG_SHARED)
    QL_CFG_FREELIST = property(QL_CFG_FREELIST)


def get_cfg_locked():
    return _cfg_locked()

def get_cfg_shared():
    return _cfg_shared()

def get_cfg_freelist():
    return _cfg_freelist()

def get_default_allocator_config():
    return _default_allocator_config()

def get_heap_allocator_config():
    return _heap_allocator_config()

def is_shm_available():
    return _shm_available()

def activate_context(ctx):
    _activate_context(ctx)

def deactivate_context(ctx):
    _deactivate_context(ctx)
)PY";

PyObject* cfg_locked(PyObject*, PyObject*) { return PyBool_FromLong(QL_CFG_LOCKED); }
PyObject* cfg_shared(PyObject*, PyObject*) { return PyBool_FromLong(QL_CFG_SHARED); }
PyObject* cfg_freelist(PyObject*, PyObject*) { return PyBool_FromLong(QL_CFG_FREELIST); }

// The protocol configuration dict, keys in this fixed order; None for a null record.
PyObject* protocol_config(const allocator_protocol* protocol) {
    if (!protocol) Py_RETURN_NONE;
    const struct {
        const char* key;
        bool value;
    } entries[] = {
        {"with_lock", protocol->with_lock != 0},
        {"with_shm", protocol->with_shm != 0},
        {"with_freelist", protocol->with_freelist != 0},
        {"has_heap", protocol->heap != nullptr},
        {"has_shm", protocol->shm_allocator != nullptr},
    };
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& entry : entries) {
        if (PyDict_SetItemString(dict.get(), entry.key, entry.value ? Py_True : Py_False) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* default_allocator_config(PyObject*, PyObject*) { return protocol_config(QL_DEFAULT_ALLOCATOR); }
PyObject* heap_allocator_config(PyObject*, PyObject*) { return protocol_config(QL_HEAP_ALLOCATOR); }
PyObject* shm_available(PyObject*, PyObject*) { return PyBool_FromLong(QL_SHM_ALLOCATOR != nullptr); }

// The context's own method table is used, so a subclass's entries run.
// None fails the type check too: there is nothing to call through.
template <bool Activate>
PyObject* relay(PyObject*, PyObject* ctx) {
    if (!pyutil::check_arg_type(ctx, state.QLConfigContext, "ctx", false)) return nullptr;
    auto* self = reinterpret_cast<nyxel_interface::AllocatorConfigContextObject*>(ctx);
    int rc = Activate ? self->vtab->c_activate(self) : self->vtab->c_deactivate(self);
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef kNativeHelpers[] = {
    {"_cfg_locked", cfg_locked, METH_NOARGS, nullptr},
    {"_cfg_shared", cfg_shared, METH_NOARGS, nullptr},
    {"_cfg_freelist", cfg_freelist, METH_NOARGS, nullptr},
    {"_default_allocator_config", default_allocator_config, METH_NOARGS, nullptr},
    {"_heap_allocator_config", heap_allocator_config, METH_NOARGS, nullptr},
    {"_shm_available", shm_available, METH_NOARGS, nullptr},
    {"_activate_context", relay<true>, METH_O, nullptr},
    {"_deactivate_context", relay<false>, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Namespace in which kViewsSource runs: builtins, the module's name (so the
// class and functions report it as __module__), the docstring and the helpers.
PyObject* views_namespace(PyObject* module_name) {
    Ref ns(PyDict_New());
    if (!ns) return nullptr;
    if (PyDict_SetItemString(ns.get(), "__builtins__", PyEval_GetBuiltins()) < 0 ||
        PyDict_SetItemString(ns.get(), "__name__", module_name) < 0)
        return nullptr;
    Ref doc(PyUnicode_FromString(kRuntimeConfigDoc));
    if (!doc || PyDict_SetItemString(ns.get(), "_RUNTIME_CONFIG_DOC", doc.get()) < 0) return nullptr;
    for (PyMethodDef* def = kNativeHelpers; def->ml_name; ++def) {
        Ref function(PyCFunction_NewEx(def, nullptr, module_name));
        if (!function || PyDict_SetItemString(ns.get(), def->ml_name, function.get()) < 0) return nullptr;
    }
    return ns.release();
}

PyType_Slot toolkit_slots[] = {
    {Py_tp_doc, const_cast<char*>(kToolkitDoc)},
    {0, nullptr},
};

// No state: instances are plain objects and pickle as such.
PyType_Spec toolkit_spec = {
    "quenda_loomi.base.durrowmere_skalvotin.AllocatorTestToolkit",
    0,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    toolkit_slots,
};

}  // namespace

int create_toolkit_type(PyObject* module) {
    return pyutil::publish_type(module, &toolkit_spec, nullptr, &state.AllocatorTestToolkit);
}

int define_python_views(PyObject* module) {
    Ref module_name(PyUnicode_FromString(kConfigModuleName));
    if (!module_name) return -1;
    Ref ns(views_namespace(module_name.get()));
    if (!ns) return -1;
    Ref code(pyutil::python::compile("runtime view set-up", kViewsSource, "<quenda_loomi.base.durrowmere_skalvotin views>", Py_file_input));
    if (!code) return -1;
    Ref result(pyutil::python::eval_code("runtime view set-up", code.get(), ns.get(), ns.get()));
    if (!result) return -1;

    PyObject* runtime_class = PyDict_GetItemString(ns.get(), "_RuntimeAllocatorConfig");  // borrowed
    if (!runtime_class) {
        PyErr_SetString(PyExc_SystemError, "_RuntimeAllocatorConfig was not defined");
        return -1;
    }
    if (PyModule_AddObjectRef(module, "_RuntimeAllocatorConfig", runtime_class) < 0) return -1;
    Ref instance(pyutil::python::call_no_args("runtime view set-up", runtime_class));
    if (!instance || PyModule_AddObjectRef(module, "RUNTIME_ALLOCATOR_CONFIG", instance.get()) < 0) return -1;

    auto* toolkit = reinterpret_cast<PyObject*>(state.AllocatorTestToolkit);
    for (const ToolkitMethod& method : kToolkitMethods) {
        PyObject* function = PyDict_GetItemString(ns.get(), method.name);  // borrowed
        if (!function) {
            pyutil::python::raise(PyExc_SystemError, "toolkit function %s was not defined", method.name);
            return -1;
        }
        if (pyutil::attach_static_method(toolkit, "AllocatorTestToolkit", function, method.name, method.doc,
                                         method.returns) < 0)
            return -1;
    }
    return 0;
}

}  // namespace ql_config
