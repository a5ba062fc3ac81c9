// Shared pieces of the stand-in's native modules: placeholder types and the
// __pyx_capi__ entries of exported variables.
#pragma once

#include <Python.h>

#include <cstring>
#include <span>

#include "support/python/capi_table.h"
#include "support/python/py_ref.h"

namespace nyxel_standin {

// One exported variable: `address` is the variable's address (the slot
// itself stays null in the stand-in unless noted otherwise).
struct ExportedVariable {
    const char* name;
    void* address;
    const char* signature;
};

// Adds a placeholder type `qualified_name` ("package.module.Type") to `module`:
// a subclassable native type without state of its own.  Returns 0 or -1.
inline int add_placeholder_type(PyObject* module, const char* qualified_name, const char* doc) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc)},
        {0, nullptr},
    };
    PyType_Spec spec = {qualified_name, 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    pyutil::Ref type(PyType_FromModuleAndSpec(module, &spec, nullptr));
    if (!type) return -1;
    const char* short_name = reinterpret_cast<PyTypeObject*>(type.get())->tp_name;
    if (const char* dot = strrchr(short_name, '.')) short_name = dot + 1;
    return PyModule_AddObjectRef(module, short_name, type.get());
}

inline int export_variables(PyObject* module, std::span<const ExportedVariable> variables) {
    for (const ExportedVariable& v : variables) {
        if (pyutil::capi_export(module, v.name, v.address, v.signature) < 0) return -1;
    }
    return 0;
}

}  // namespace nyxel_standin

// The stand-in modules keep process-wide native slots, so each loads into
// one interpreter only, like the engine modules that import them.
#define NYXEL_STANDIN_MODULE(module_name, exec_function, doc)                              \
    static PyModuleDef_Slot module_name##_slots[] = {                                    \
        {Py_mod_exec, reinterpret_cast<void*>(exec_function)},                           \
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},      \
        {Py_mod_gil, Py_MOD_GIL_USED},                                                   \
        {0, nullptr},                                                                    \
    };                                                                                   \
    static PyModuleDef module_name##_def = {                                             \
        PyModuleDef_HEAD_INIT, #module_name, doc, 0, nullptr, module_name##_slots,       \
        nullptr, nullptr, nullptr,                                                       \
    };                                                                                   \
    PyMODINIT_FUNC PyInit_##module_name(void) { return PyModuleDef_Init(&module_name##_def); }
