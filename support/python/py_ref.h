// Small RAII helpers over the CPython C API shared by the project's
// extension modules: owned references, and the "Argument ... has incorrect
// type" check used by every typed parameter.
#pragma once

#include <Python.h>

#include <utility>

namespace pyutil {

// An owned (strong) reference, released on scope exit.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : obj_(owned) {}
    static Ref borrow(PyObject* borrowed) { return Ref(Py_XNewRef(borrowed)); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(obj_, nullptr); }
    void reset(PyObject* owned = nullptr) { Py_XSETREF(obj_, owned); }

private:
    PyObject* obj_ = nullptr;
};

// TypeError in the wording shared by every typed argument of the modules.
// None passes when `none_allowed`.  Returns false with the error set.
inline bool check_arg_type(PyObject* obj, PyTypeObject* expected, const char* arg_name,
                           bool none_allowed, bool exact = false) {
    if (none_allowed && obj == Py_None) return true;
    if (exact ? Py_IS_TYPE(obj, expected) : PyObject_TypeCheck(obj, expected)) return true;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg_name,
                 expected->tp_name, Py_TYPE(obj)->tp_name);
    return false;
}

// Sets exception `type` with `message` and returns null, for one-line error returns.
inline PyObject* fail(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return nullptr;
}

}  // namespace pyutil
