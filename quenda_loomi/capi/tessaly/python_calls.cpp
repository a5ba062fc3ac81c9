// Checking-build side of python_calls.h: the borrow check and the stress hook.
#include "quenda_loomi/capi/tessaly/python_calls.h"
#include "quenda_loomi/capi/tessaly/tessaly.h"

#ifdef QL_REENTRY_CHECKS

#include <cstdio>
#include <cstdlib>

namespace tessaly::python {

namespace {
PyObject*& stress_hook = state.stress_hook;
bool& in_stress_hook = state.in_stress_hook;  // the hook's own calls into the bindings do not re-enter it
}  // namespace

void set_stress_hook(PyObject* hook) noexcept {
    PyObject* old = stress_hook;
    stress_hook = hook == Py_None ? nullptr : Py_XNewRef(hook);
    Py_XDECREF(old);
}

void entering_python(const char* site) noexcept {
    if (const char* borrowing = open_borrow()) {
        std::fprintf(stderr,
                     "tessaly: Python code may run at '%s' while '%s' reads through unpinned pointers\n",
                     site, borrowing);
        std::fflush(stderr);
        std::abort();
    }
    if (stress_hook == nullptr || in_stress_hook) return;
    in_stress_hook = true;
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* hook = Py_NewRef(stress_hook);
    PyObject* name = PyUnicode_FromString(site);
    PyObject* result = name ? PyObject_CallOneArg(hook, name) : nullptr;
    if (result == nullptr) PyErr_WriteUnraisable(hook);
    Py_XDECREF(result);
    Py_XDECREF(name);
    Py_DECREF(hook);
    PyErr_SetRaisedException(pending);
    in_stress_hook = false;
}

}  // namespace tessaly::python

#endif  // QL_REENTRY_CHECKS
