// Small RAII helpers over the CPython C API shared by the project's
// extension modules: owned references, and the "Argument ... has incorrect
// type" check used by every typed parameter.
#pragma once

#include <Python.h>

#include <utility>

#include "support/python/python_calls.h"

namespace pyutil {

// An owned (strong) reference, released on scope exit through
// python_calls.h (a drop may run a finalizer).  Checking builds remember
// where the reference was taken, to name that place when its drop is refused.
class Ref {
public:
    Ref(const python::Where& where = python::Where::current()) noexcept { remember(where); }
    explicit Ref(PyObject* owned, const python::Where& where = python::Where::current()) noexcept : obj_(owned) {
        remember(where);
    }
    static Ref borrow(PyObject* borrowed, const python::Where& where = python::Where::current()) noexcept {
        return Ref(Py_XNewRef(borrowed), where);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {
#ifdef QL_REENTRY_CHECKS
        where_ = other.where_;
#endif
    }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
            python::xdrop(old, where());
#ifdef QL_REENTRY_CHECKS
            where_ = other.where_;
#endif
        }
        return *this;
    }
    ~Ref() { python::xdrop(obj_, where()); }

    PyObject* get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(obj_, nullptr); }
    void reset(PyObject* owned = nullptr) { python::replace(obj_, owned, where()); }

private:
#ifdef QL_REENTRY_CHECKS
    void remember(const python::Where& where) { where_ = where; }
    python::Where where() const { return where_; }
    python::Where where_;
#else
    void remember(const python::Where&) {}
    static python::Where where() { return {}; }
#endif
    PyObject* obj_ = nullptr;
};

// TypeError in the wording shared by every typed argument of the modules.
// None passes when `none_allowed`.  Returns false with the error set.
inline bool check_arg_type(PyObject* obj, PyTypeObject* expected, const char* arg_name,
                           bool none_allowed, bool exact = false) {
    if (none_allowed && obj == Py_None) return true;
    if (exact ? Py_IS_TYPE(obj, expected) : PyObject_TypeCheck(obj, expected)) return true;
    python::raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg_name,
                  expected->tp_name, Py_TYPE(obj)->tp_name);
    return false;
}

// Sets exception `type` with `message` and returns null, for one-line error returns.
inline PyObject* fail(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return nullptr;
}

}  // namespace pyutil
