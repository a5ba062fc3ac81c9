// Static methods that carry what builtin functions cannot: a Python-level
// function (defined by the module from a short source text, forwarding to a
// native helper) gets its class-qualified name, its docstring and a string
// return annotation, and is attached to the class as a staticmethod.
#pragma once

#include <Python.h>

#include "support/python/py_ref.h"

namespace pyutil {

// `function` is borrowed.  Returns 0, or -1 with an exception set.
inline int attach_static_method(PyObject* cls, const char* class_name, PyObject* function, const char* name,
                                const char* doc, const char* returns) {
    Ref qualname(python::text("%s.%s", class_name, name));
    Ref doc_text(PyUnicode_FromString(doc));
    Ref annotations(Py_BuildValue("{s:s}", "return", returns));
    if (!qualname || !doc_text || !annotations) return -1;
    if (python::set_attr("static method set-up", function, "__qualname__", qualname.get()) < 0 ||
        python::set_attr("static method set-up", function, "__doc__", doc_text.get()) < 0 ||
        python::set_attr("static method set-up", function, "__annotations__", annotations.get()) < 0)
        return -1;
    Ref static_method(PyStaticMethod_New(function));
    if (!static_method) return -1;
    return python::set_attr("static method set-up", cls, name, static_method.get());
}

}  // namespace pyutil
