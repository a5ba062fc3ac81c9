// Stand-in for nyxel.allocator_protocol.durrowmere_skalvotin: the
// configuration context base type, a placeholder AllocatorProtocol type and
// the library's exported protocol and context variables (null slots here).
//
// Settings in force.  For every allocator schematic a context has touched,
// a process-wide entry records the settings {locked, shared, freelist} in
// force, taken from the record the first time.  This is kept apart from the
// record because a "shared" request cannot always be applied to it (see
// write_record), yet must be restored exactly.  Each activation pushes a
// frame with the previous in-force values of the keys it sets; the matching
// deactivation applies that frame again.  Activations must be undone in LIFO
// order, as `with` blocks do.
#include <cstddef>
#include <cstdint>

#include "support/nyxel_interface.h"
#include "standin/src/standin_module.h"

namespace {

using nyxel_interface::AllocatorConfigContextObject;
using nyxel_interface::AllocatorConfigContextVTable;
using pyutil::Ref;

// The exported variables of the library; this stand-in builds no protocols
// or contexts of its own, so the slots stay null.
allocator_protocol* AP_DEFAULT_ALLOCATOR = nullptr;
allocator_protocol* AP_HEAP_ALLOCATOR = nullptr;
allocator_protocol* AP_SHM_ALLOCATOR = nullptr;
AllocatorConfigContextObject* AP_FREELIST = nullptr;
AllocatorConfigContextObject* AP_LOCKED = nullptr;
AllocatorConfigContextObject* AP_LOCKFREE = nullptr;
AllocatorConfigContextObject* AP_SHARED = nullptr;

constexpr const char* kSettingKeys[3] = {"locked", "shared", "freelist"};
enum SettingIndex { kLocked = 0, kShared = 1, kFreelist = 2 };

struct Settings {
    bool value[3];
};

struct InForce {
    allocator_protocol* schematic;
    Settings settings;
};

// Process-wide: one entry per schematic ever activated; schematics live as
// long as the process, so entries are never dropped.  A plain array grown
// with PyMem_Realloc: a failure is a MemoryError, never a C++ exception.
struct InForceTable {
    InForce* entries = nullptr;
    size_t count = 0;
    size_t capacity = 0;

    InForce& operator[](Py_ssize_t index) { return entries[index]; }
};
InForceTable g_in_force;

// Index of the entry for `schematic`, created from the record on first use
// (all settings off for a null schematic).  -1 with MemoryError set.
Py_ssize_t in_force_index(allocator_protocol* schematic) {
    for (size_t i = 0; i < g_in_force.count; ++i) {
        if (g_in_force.entries[i].schematic == schematic) return static_cast<Py_ssize_t>(i);
    }
    Settings initial = {{false, false, false}};
    if (schematic) {
        initial.value[kLocked] = schematic->with_lock != 0;
        initial.value[kShared] = schematic->with_shm != 0;
        initial.value[kFreelist] = schematic->with_freelist != 0;
    }
    if (g_in_force.count == g_in_force.capacity) {
        size_t capacity = g_in_force.capacity ? 2 * g_in_force.capacity : 4;
        auto* grown = static_cast<InForce*>(PyMem_Realloc(g_in_force.entries, capacity * sizeof(InForce)));
        if (!grown) {
            PyErr_NoMemory();
            return -1;
        }
        g_in_force.entries = grown;
        g_in_force.capacity = capacity;
    }
    g_in_force.entries[g_in_force.count] = {schematic, initial};
    return static_cast<Py_ssize_t>(g_in_force.count++);
}

// A protocol without a shared-memory pool behind it must not be switched to
// with_shm: every request through it would fail.  Such a record keeps its
// with_shm byte; the setting is still tracked as in force.
void write_record(allocator_protocol* schematic, const Settings& s) {
    if (!schematic) return;
    schematic->with_lock = s.value[kLocked];
    schematic->with_freelist = s.value[kFreelist];
    if (schematic->shm_allocator && schematic->shm_ctx) schematic->with_shm = s.value[kShared];
}

// The truth of each setting key present in `mapping` (a dict): 1 or 0, -1
// when the key is absent.  Returns 0, or -1 with an exception set.  Values'
// truth tests (and keys' __eq__) may run Python code, so callers read the
// settings before they look at any shared state, and hold `mapping`.
int read_settings(PyObject* mapping, int (&truth)[3]) {
    for (int k = 0; k < 3; ++k) {
        truth[k] = -1;
        PyObject* raw = nullptr;
        int found = PyDict_GetItemStringRef(mapping, kSettingKeys[k], &raw);
        if (found < 0) return -1;
        if (found == 0) continue;
        Ref value(raw);
        truth[k] = PyObject_IsTrue(value.get());
        if (truth[k] < 0) return -1;
    }
    return 0;
}

int base_c_activate(AllocatorConfigContextObject* self) {
    Ref requested = Ref::borrow(self->requested);
    if (!requested || requested.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return -1;
    }
    if (!PyDict_Check(requested.get())) {
        PyErr_Format(PyExc_TypeError, "requested settings must be a dict, not %.200s",
                     Py_TYPE(requested.get())->tp_name);
        return -1;
    }
    int truth[3];
    if (read_settings(requested.get(), truth) < 0) return -1;

    allocator_protocol* schematic = self->allocator_schematic;
    Py_ssize_t index = in_force_index(schematic);
    if (index < 0) return -1;
    const Settings previous = g_in_force[index].settings;
    Settings next = previous;
    Ref frame(PyDict_New());
    if (!frame) return -1;
    for (int k = 0; k < 3; ++k) {
        if (truth[k] < 0) continue;
        if (PyDict_SetItemString(frame.get(), kSettingKeys[k], previous.value[k] ? Py_True : Py_False) < 0)
            return -1;
        next.value[k] = truth[k] != 0;
    }

    Ref address(PyLong_FromVoidPtr(schematic));
    if (!address) return -1;
    Ref entry(PyTuple_Pack(2, address.get(), frame.get()));
    if (!entry) return -1;
    if (!self->activations && !(self->activations = PyList_New(0))) return -1;
    if (PyList_Append(self->activations, entry.get()) < 0) return -1;

    // Nothing below can fail: commit.
    Py_SETREF(self->saved, frame.release());
    g_in_force[index].settings = next;
    write_record(schematic, next);
    return 0;
}

// Frames are private and hold only True / False, so reading one runs no
// Python code and the list cannot change under us.
int base_c_deactivate(AllocatorConfigContextObject* self) {
    Py_ssize_t open = self->activations ? PyList_GET_SIZE(self->activations) : 0;
    if (open == 0) {
        PyErr_Format(PyExc_RuntimeError, "%.200s deactivated without a matching activation",
                     Py_TYPE(self)->tp_name);
        return -1;
    }
    PyObject* top = PyList_GET_ITEM(self->activations, open - 1);  // borrowed
    auto* schematic = static_cast<allocator_protocol*>(PyLong_AsVoidPtr(PyTuple_GET_ITEM(top, 0)));
    if (!schematic && PyErr_Occurred()) return -1;
    Py_ssize_t index = in_force_index(schematic);
    if (index < 0) return -1;
    int truth[3];
    if (read_settings(PyTuple_GET_ITEM(top, 1), truth) < 0) return -1;
    Settings restored = g_in_force[index].settings;
    for (int k = 0; k < 3; ++k) {
        if (truth[k] >= 0) restored.value[k] = truth[k] != 0;
    }

    PyObject* below = open > 1 ? PyTuple_GET_ITEM(PyList_GET_ITEM(self->activations, open - 2), 1) : Py_None;
    Py_SETREF(self->saved, Py_NewRef(below));
    if (PyList_SetSlice(self->activations, open - 1, open, nullptr) < 0) return -1;
    g_in_force[index].settings = restored;
    write_record(schematic, restored);
    return 0;
}

AllocatorConfigContextVTable g_base_vtable = {base_c_activate, base_c_deactivate};

PyObject* ctx_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = reinterpret_cast<AllocatorConfigContextObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->vtab = &g_base_vtable;
    self->requested = Py_NewRef(Py_None);
    self->saved = Py_NewRef(Py_None);
    self->allocator_schematic = nullptr;
    self->activations = nullptr;
    return reinterpret_cast<PyObject*>(self);
}

int ctx_init(PyObject* op, PyObject* args, PyObject* kwds) {
    auto* self = reinterpret_cast<AllocatorConfigContextObject*>(op);
    if (PyTuple_GET_SIZE(args) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes keyword settings only (%zd positional given)",
                     Py_TYPE(op)->tp_name, PyTuple_GET_SIZE(args));
        return -1;
    }
    PyObject* settings = kwds ? PyDict_Copy(kwds) : PyDict_New();
    if (!settings) return -1;
    Py_SETREF(self->requested, settings);
    return 0;
}

int ctx_traverse(PyObject* op, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<AllocatorConfigContextObject*>(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->requested);
    Py_VISIT(self->saved);
    Py_VISIT(self->activations);
    return 0;
}

int ctx_clear(PyObject* op) {
    auto* self = reinterpret_cast<AllocatorConfigContextObject*>(op);
    Py_CLEAR(self->activations);
    Py_XSETREF(self->requested, Py_NewRef(Py_None));
    Py_XSETREF(self->saved, Py_NewRef(Py_None));
    return 0;
}

void ctx_dealloc(PyObject* op) {
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    auto* self = reinterpret_cast<AllocatorConfigContextObject*>(op);
    Py_CLEAR(self->activations);
    Py_CLEAR(self->requested);
    Py_CLEAR(self->saved);
    type->tp_free(op);
    Py_DECREF(type);
}

PyObject* ctx_enter(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<AllocatorConfigContextObject*>(op);
    if (self->vtab->c_activate(self) < 0) return nullptr;
    return Py_NewRef(op);
}

// Deactivates also when the block raised; returns None so the exception
// (if any) keeps propagating.
PyObject* ctx_exit(PyObject* op, PyObject* const*, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "__exit__ expected 3 arguments, got %zd", nargs);
        return nullptr;
    }
    auto* self = reinterpret_cast<AllocatorConfigContextObject*>(op);
    if (self->vtab->c_deactivate(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* ctx_get_requested(PyObject* op, void*) {
    PyObject* v = reinterpret_cast<AllocatorConfigContextObject*>(op)->requested;
    return Py_NewRef(v ? v : Py_None);
}

// A copy: the dict itself is the open activation's frame, which must not
// be edited from outside.
PyObject* ctx_get_saved(PyObject* op, void*) {
    PyObject* v = reinterpret_cast<AllocatorConfigContextObject*>(op)->saved;
    if (v == nullptr || v == Py_None) Py_RETURN_NONE;
    return PyDict_Copy(v);
}

PyMethodDef ctx_methods[] = {
    {"__enter__", ctx_enter, METH_NOARGS, "Activate the context; returns the context."},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(ctx_exit)), METH_FASTCALL,
     "Deactivate the context; exceptions of the block propagate."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef ctx_getset[] = {
    {"requested", ctx_get_requested, nullptr, "Settings given to the constructor (dict).", nullptr},
    {"saved", ctx_get_saved, nullptr,
     "Settings to put back at the next deactivation (dict), or None when not active.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot ctx_slots[] = {
    {Py_tp_doc, const_cast<char*>("AllocatorConfigContext(**settings)\n--\n\n"
                                  "Switches allocator settings (locked, shared, freelist) of an "
                                  "allocator schematic for the duration of a with block.")},
    {Py_tp_new, reinterpret_cast<void*>(ctx_new)},
    {Py_tp_init, reinterpret_cast<void*>(ctx_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ctx_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(ctx_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ctx_clear)},
    {Py_tp_methods, ctx_methods},
    {Py_tp_getset, ctx_getset},
    {0, nullptr},
};

PyType_Spec ctx_spec = {
    "nyxel.allocator_protocol.durrowmere_skalvotin.AllocatorConfigContext",
    sizeof(AllocatorConfigContextObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    ctx_slots,
};

int durrowmere_skalvotin_exec(PyObject* module) {
    Ref type(PyType_FromModuleAndSpec(module, &ctx_spec, nullptr));
    if (!type) return -1;
    if (pyutil::set_method_table(reinterpret_cast<PyTypeObject*>(type.get()), &g_base_vtable) < 0) return -1;
    if (PyModule_AddObjectRef(module, nyxel_interface::kConfigContextType, type.get()) < 0) return -1;
    if (nyxel_standin::add_placeholder_type(module, "nyxel.allocator_protocol.durrowmere_skalvotin.AllocatorProtocol",
                                            "Placeholder type of the stand-in base library.") < 0)
        return -1;

    constexpr const char* kProtocol = nyxel_interface::kProtocolSignature;
    constexpr const char* kContext = nyxel_interface::kConfigContextSignature;
    const nyxel_standin::ExportedVariable variables[] = {
        {"AP_DEFAULT_ALLOCATOR", &AP_DEFAULT_ALLOCATOR, kProtocol},
        {"AP_HEAP_ALLOCATOR", &AP_HEAP_ALLOCATOR, kProtocol},
        {"AP_SHM_ALLOCATOR", &AP_SHM_ALLOCATOR, kProtocol},
        {"AP_FREELIST", &AP_FREELIST, kContext},
        {"AP_LOCKED", &AP_LOCKED, kContext},
        {"AP_LOCKFREE", &AP_LOCKFREE, kContext},
        {"AP_SHARED", &AP_SHARED, kContext},
    };
    return nyxel_standin::export_variables(module, variables);
}

}  // namespace

NYXEL_STANDIN_MODULE(durrowmere_skalvotin, durrowmere_skalvotin_exec,
                     "Allocator protocol configuration (stand-in).")
