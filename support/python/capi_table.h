// Native variables and functions exchanged between extension modules
// through each module's `__pyx_capi__` dict: capsule name = the exact native
// signature text, capsule pointer = the variable's address or the function.
#pragma once

#include <Python.h>

#include <cstring>

#include "support/python/py_ref.h"

namespace pyutil {

// Adds `name` -> capsule(pointer, signature) to the module's __pyx_capi__,
// creating the dict when absent.  `signature` must outlive the process
// (a string literal).  Returns 0, or -1 with an exception set.
inline int capi_export(PyObject* module, const char* name, void* pointer, const char* signature) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    Ref table = Ref::borrow(PyDict_GetItemString(dict, "__pyx_capi__"));
    if (!table) {
        table = Ref(PyDict_New());
        if (!table || PyDict_SetItemString(dict, "__pyx_capi__", table.get()) < 0) return -1;
    }
    Ref capsule(PyCapsule_New(pointer, signature, nullptr));
    if (!capsule) return -1;
    return PyDict_SetItemString(table.get(), name, capsule.get());
}

// Looks `name` up in the __pyx_capi__ of `module_name` (importing it) and
// checks the capsule's signature text.  `kind` is "variable" or "function".
// Returns the pointer, or null with ImportError / TypeError set.
inline void* capi_import(const char* module_name, const char* name, const char* signature,
                         const char* kind = "variable") {
    Ref module(python::import("C-API import", module_name));
    if (!module) return nullptr;
    Ref table(python::get_attr("C-API import", module.get(), "__pyx_capi__"));
    if (!table) return nullptr;
    PyObject* capsule = PyDict_Check(table.get()) ? PyDict_GetItemString(table.get(), name) : nullptr;
    if (!capsule) {
        python::raise(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s", module_name,
                     kind, name);
        return nullptr;
    }
    const char* actual = PyCapsule_GetName(capsule);
    if (!actual || strcmp(actual, signature) != 0) {
        python::raise(PyExc_TypeError, "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     kind, module_name, name, signature, actual ? actual : "(null)");
        return nullptr;
    }
    return PyCapsule_GetPointer(capsule, actual);
}

// Imports `type_name` from `module_name` and checks that it is a type whose
// instances have exactly `basic_size` bytes, the layout this module was
// built against (0: any size).  Returns a new
// reference, or null with an exception set.
inline PyTypeObject* import_type(const char* module_name, const char* type_name, Py_ssize_t basic_size = 0) {
    Ref module(python::import("C-API import", module_name));
    if (!module) return nullptr;
    Ref obj(python::get_attr("C-API import", module.get(), type_name));
    if (!obj) return nullptr;
    if (!PyType_Check(obj.get())) {
        python::raise(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, type_name);
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(obj.get());
    if (basic_size && type->tp_basicsize != basic_size) {
        python::raise(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd from PyObject",
                     module_name, type_name, basic_size, type->tp_basicsize);
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(obj.release());
}

// A class's native method table, published on the type the way native
// modules that import the class expect it: a capsule without a name under
// `__pyx_vtable__`.  Returns 0, or -1 with an exception set.
inline int set_method_table(PyTypeObject* type, void* table) {
    Ref capsule(PyCapsule_New(table, nullptr, nullptr));
    if (!capsule) return -1;
    return python::set_attr("method table", reinterpret_cast<PyObject*>(type), "__pyx_vtable__", capsule.get());
}

// The method table published by set_method_table (looked up through the
// type's MRO), or null with an exception set.
inline void* get_method_table(PyTypeObject* type) {
    Ref capsule(python::get_attr("method table", reinterpret_cast<PyObject*>(type), "__pyx_vtable__"));
    if (!capsule) return nullptr;
    return PyCapsule_GetPointer(capsule.get(), nullptr);
}

}  // namespace pyutil
