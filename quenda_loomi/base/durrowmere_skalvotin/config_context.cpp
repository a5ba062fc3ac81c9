// QLConfigContext: the base library's AllocatorConfigContext extended with the
// engine's three allocator flags.  Activation writes the flags named in the
// requested settings and then runs the base activation; deactivation writes
// the flags named in the saved settings and then runs the base deactivation.
#include "quenda_loomi/base/durrowmere_skalvotin/engine_config.h"

#include "support/python/capi_table.h"
#include "support/python/py_ref.h"
#include "support/python/type_setup.h"

namespace ql_config {

namespace {

using nyxel_interface::AllocatorConfigContextObject;
using nyxel_interface::AllocatorConfigContextVTable;
using pyutil::Ref;

QLConfigContextVTable g_vtable;

struct FlagKey {
    const char* key;
    bool* flag;
};
const FlagKey kFlagKeys[] = {
    {"locked", &QL_CFG_LOCKED},
    {"shared", &QL_CFG_SHARED},
    {"freelist", &QL_CFG_FREELIST},
};

// Writes each engine flag whose key is in `settings` from the value's truth,
// keys in the fixed order above.  A failing step leaves the flags written
// before it as they are.
int apply_flags(PyObject* settings) {
    if (settings == nullptr || settings == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return -1;
    }
    for (const FlagKey& entry : kFlagKeys) {
        Ref key(PyUnicode_FromString(entry.key));
        if (!key) return -1;
        int present = pyutil::python::contains("QLConfigContext settings", settings, key.get());
        if (present < 0) return -1;
        if (!present) continue;
        Ref value(pyutil::python::get_item("QLConfigContext settings", settings, key.get()));
        if (!value) return -1;
        int truth;
        if (value.get() == Py_True) {
            truth = 1;
        } else if (value.get() == Py_False || value.get() == Py_None) {
            truth = 0;
        } else {
            truth = pyutil::python::truth("QLConfigContext settings", value.get());
            if (truth < 0) return -1;
        }
        *entry.flag = truth != 0;
    }
    return 0;
}

// The mapping is held for the whole walk: a key's __eq__ or a value's
// __bool__ may run code that re-initialises the context and drops it.
int ql_c_activate(AllocatorConfigContextObject* self) {
    Ref settings = Ref::borrow(self->requested);
    if (apply_flags(settings.get()) < 0) return -1;
    return state.base_vtable->c_activate(self);
}

int ql_c_deactivate(AllocatorConfigContextObject* self) {
    Ref settings = Ref::borrow(self->saved);
    if (apply_flags(settings.get()) < 0) return -1;
    return state.base_vtable->c_deactivate(self);
}

allocator_protocol* ql_c_set_schematic(QLConfigContextObject* self, allocator_protocol* schematic) {
    self->base.allocator_schematic = schematic ? schematic : QL_DEFAULT_ALLOCATOR;
    return self->base.allocator_schematic;
}

PyObject* ql_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    Ref obj(state.base_context->tp_new(type, args, kwds));
    if (!obj) return nullptr;
    auto* self = reinterpret_cast<QLConfigContextObject*>(obj.get());
    self->base.vtab = &g_vtable.base;
    g_vtable.c_set_schematic(self, nullptr);
    return obj.release();
}

// The schematic is a native pointer: the context has no state that pickling
// or copying could carry.
constexpr char kNoPickle[] = "self.allocator_schematic cannot be converted to a Python object for pickling";
using NoPickling = pyutil::PicklingRefusal<kNoPickle>;

PyMethodDef ql_methods[] = {
    NoPickling::reduce,
    NoPickling::reduce_ex,
    NoPickling::setstate,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ql_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Switches the engine's allocator flags (locked, shared, freelist) for the duration of a "
                    "with block.\n\n"
                    "The flags are process-wide, not per thread: a block changes them for every thread, and its "
                    "exit puts back the values that were in force when it was entered.  Blocks on different "
                    "threads therefore restore in the order they end, not per thread: if one thread enters "
                    "QL_LOCKED, another then enters QL_LOCKFREE, and the first block ends before the second, "
                    "the first exit unlocks the engine and the second locks it again, so it stays locked after "
                    "both blocks have ended.  Use the contexts from one thread, or around whole phases of the "
                    "program (before worker threads start or after they have been joined).")},
    {Py_tp_new, reinterpret_cast<void*>(ql_new)},
    {Py_tp_methods, ql_methods},
    {0, nullptr},
};

PyType_Spec ql_spec = {
    "quenda_loomi.base.durrowmere_skalvotin.QLConfigContext",
    sizeof(QLConfigContextObject),
    0,
    // GC support (traverse / clear of the base's dicts) is inherited.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    ql_slots,
};

}  // namespace

int create_config_context_type(PyObject* module) {
    Ref base(reinterpret_cast<PyObject*>(pyutil::import_type(
        nyxel_interface::kProtocolModule, nyxel_interface::kConfigContextType, sizeof(AllocatorConfigContextObject))));
    if (!base) return -1;
    auto* base_vtable = static_cast<const AllocatorConfigContextVTable*>(
        pyutil::get_method_table(reinterpret_cast<PyTypeObject*>(base.get())));
    if (!base_vtable) return -1;

    // A set-up retried after a failed import replaces the earlier objects.
    if (pyutil::publish_type(module, &ql_spec, reinterpret_cast<PyTypeObject*>(base.get()), &state.QLConfigContext) < 0)
        return -1;
    if (pyutil::set_method_table(state.QLConfigContext, &g_vtable) < 0) return -1;

    state.base_vtable = base_vtable;
    g_vtable.base = *base_vtable;
    g_vtable.base.c_activate = ql_c_activate;
    g_vtable.base.c_deactivate = ql_c_deactivate;
    g_vtable.c_set_schematic = ql_c_set_schematic;
    pyutil::python::replace(state.base_context, reinterpret_cast<PyTypeObject*>(base.release()));
    return 0;
}

}  // namespace ql_config
