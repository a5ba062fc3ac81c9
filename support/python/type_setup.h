// Set-up helpers shared by the extension modules' types: creating a heap type
// from its PyType_Spec and publishing it on the module, and the method entries
// that refuse pickling.
#pragma once

#include <Python.h>

#include <cstring>

#include "support/python/py_ref.h"

namespace pyutil {

// Creates the type of `spec` (on `base`, may be null) for `module`, adds it
// to the module under the last dotted component of the type's qualified
// name, and keeps a strong reference in *slot (a set-up run again replaces
// the earlier type).  0, or -1 with an exception set.
inline int publish_type(PyObject* module, PyType_Spec* spec, PyTypeObject* base, PyTypeObject** slot) {
    Ref type(PyType_FromModuleAndSpec(module, spec, reinterpret_cast<PyObject*>(base)));
    if (!type) return -1;
    const char* dot = std::strrchr(spec->name, '.');
    if (PyModule_AddObjectRef(module, dot ? dot + 1 : spec->name, type.get()) < 0) return -1;
    python::replace(*slot, reinterpret_cast<PyTypeObject*>(type.release()));
    return 0;
}

// Method entries that make pickling and copying of a type's objects raise
// TypeError(Message): the objects hold native pointers that no pickle could
// carry.  Usage: `PicklingRefusal<kMessage>::reduce, ...::reduce_ex, ...::setstate`.
template <const char* Message>
struct PicklingRefusal {
    static PyObject* refuse(PyObject*, PyObject*) {
        PyErr_SetString(PyExc_TypeError, Message);
        return nullptr;
    }
    static constexpr PyMethodDef reduce{"__reduce__", refuse, METH_NOARGS, nullptr};
    static constexpr PyMethodDef reduce_ex{"__reduce_ex__", refuse, METH_O, nullptr};
    static constexpr PyMethodDef setstate{"__setstate__", refuse, METH_O, nullptr};
};

}  // namespace pyutil
