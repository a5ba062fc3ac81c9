// Argument unpacking for METH_FASTCALL | METH_KEYWORDS functions with a few
// named parameters, with the interpreter's usual TypeError wording.
#pragma once

#include <Python.h>

#include "support/python/python_calls.h"

namespace pyutil {

// Fills out[0..n_names) from positional and keyword arguments; entries not
// given stay null.  The first `n_required` names must be given.
inline bool unpack_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                             const char* const* names, Py_ssize_t n_names, Py_ssize_t n_required, PyObject** out) {
    for (Py_ssize_t i = 0; i < n_names; ++i) out[i] = nullptr;
    if (nargs > n_names) {
        python::raise(PyExc_TypeError, "%s() takes %s %zd positional argument%s (%zd given)", function,
                     n_names == n_required ? "exactly" : "at most", n_names, n_names == 1 ? "" : "s", nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = 0;
        while (slot < n_names && PyUnicode_CompareWithASCIIString(keyword, names[slot]) != 0) ++slot;
        if (slot == n_names) {
            python::raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, keyword);
            return false;
        }
        if (out[slot]) {
            python::raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", function, keyword);
            return false;
        }
        out[slot] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < n_required; ++i) {
        if (!out[i]) {
            python::raise(PyExc_TypeError, "%s() takes %s %zd positional argument%s (%zd given)", function,
                         n_names == n_required ? "exactly" : "at least", n_required, n_required == 1 ? "" : "s",
                         nargs);
            return false;
        }
    }
    return true;
}

}  // namespace pyutil
