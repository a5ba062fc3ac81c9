// tessaly_reentry_probe: test-only module of the checking build (never
// installed).  set_hook(callable) makes every place where the topic, the
// configuration and the NATS modules can run Python code call callable(site) first, so a test can act
// as hostile code at each of those places; set_hook(None) removes it.
// call_in_section and drop_in_section break the rule on purpose, so a test
// can see the checks of support/python/python_calls.h abort.
#include <Python.h>

#include "support/python/borrowed_section.h"
#include "support/python/py_ref.h"
#include "support/python/python_calls.h"

namespace {

using SetHook = void (*)(PyObject*) noexcept;

// Each module binary links its own copy of the python_calls unit, so each
// has its own hook; the NATS module is absent where libnats is not installed.
struct HookedModule {
    const char* name;
    bool optional;
};
constexpr HookedModule kHookedModules[] = {{"quenda_loomi.capi.tessaly", false},
                                           {"quenda_loomi.base.durrowmere_skalvotin", false},
                                           {"quenda_loomi.bus.nats._natsbus", true}};

int set_hook_of(const HookedModule& hooked, PyObject* hook) {
    pyutil::Ref module(PyImport_ImportModule(hooked.name));
    if (!module) {
        if (hooked.optional && PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    pyutil::Ref capsule(PyObject_GetAttrString(module.get(), "_reentry_stress_hook"));
    if (!capsule) return -1;
    auto setter = reinterpret_cast<SetHook>(PyCapsule_GetPointer(capsule.get(), pyutil::python::kStressHookCapsule));
    if (setter == nullptr) return -1;
    setter(hook);
    return 0;
}

PyObject* set_hook(PyObject*, PyObject* hook) {
    if (hook != Py_None && !PyCallable_Check(hook)) {
        PyErr_SetString(PyExc_TypeError, "set_hook() takes a callable or None");
        return nullptr;
    }
    for (const HookedModule& hooked : kHookedModules)
        if (set_hook_of(hooked, hook) < 0) return nullptr;
    Py_RETURN_NONE;
}

constexpr char kSection[] = "probe: borrowed section";

// callable() through the unit while a borrowed section is open.
PyObject* call_in_section(PyObject*, PyObject* callable) {
    pyutil::BorrowedSection section(kSection);
    return pyutil::python::call_no_args("probe: call", callable);
}

// Takes the one item of `holder` (a list) and drops it, its last reference
// when nothing else holds it, while a borrowed section is open.
PyObject* drop_in_section(PyObject*, PyObject* holder) {
    if (!PyList_CheckExact(holder) || PyList_GET_SIZE(holder) != 1)
        return pyutil::fail(PyExc_TypeError, "drop_in_section() takes a list of one item");
    pyutil::Ref item(PyList_GetItemRef(holder, 0));
    if (!item || PyList_SetSlice(holder, 0, 1, nullptr) < 0) return nullptr;
    {
        pyutil::BorrowedSection section(kSection);
        item.reset();
    }
    Py_RETURN_NONE;
}

PyMethodDef probe_methods[] = {
    {"set_hook", set_hook, METH_O,
     "set_hook(hook)\n--\n\nCalls hook(site) before every place where the native modules can run Python code."},
    {"call_in_section", call_in_section, METH_O,
     "call_in_section(callable)\n--\n\nCalls callable() inside a borrowed section (checking builds abort)."},
    {"drop_in_section", drop_in_section, METH_O,
     "drop_in_section(holder)\n--\n\nDrops the one item of the list holder inside a borrowed section."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot probe_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef probe_def = {
    PyModuleDef_HEAD_INIT, "tessaly_reentry_probe", "Re-entrancy stress hook of the topic module (tests only).", 0,
    probe_methods, probe_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_tessaly_reentry_probe(void) { return PyModuleDef_Init(&probe_def); }
