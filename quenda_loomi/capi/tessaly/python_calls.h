// The places where the topic module's bindings can run Python code.
//
// Python code can free or change any record, node or value: a call or a
// method call, a rich comparison or truth test of an object that is not the
// module's own, and dropping a reference whose finalizer (or weak-reference
// callback) runs.  Every such place in the bindings goes through one of the
// helpers below, named by a site string, and nothing else in the bindings
// calls into Python.  Each helper first runs entering_python(site):
//  * it checks that no BorrowedSection (record_lifetime.h) is open on this
//    thread: reading through unpinned pointers across Python code is the
//    fault this rule exists to prevent.  Checking builds (QL_REENTRY_CHECKS,
//    the sanitizer build) abort with both sites' names; other builds trust it.
//  * in checking builds it then calls the re-entrancy stress hook, when one
//    is installed (tests install one through the test-only module
//    tessaly_reentry_probe): a Python callable given the site name, which
//    does what hostile code at that point could do (clear indexes, drop
//    topics, collect garbage).  The hook's own errors are reported as
//    unraisable and never reach the caller; a pending exception is kept.
// Allocating objects, dict operations with str keys and building strings
// run no Python code (collections run only at the interpreter's own
// checkpoints) and need no helper.
#pragma once

#include <Python.h>

#include "quenda_loomi/capi/tessaly/record_lifetime.h"

namespace tessaly::python {

#ifdef QL_REENTRY_CHECKS
void entering_python(const char* site) noexcept;
// The stress hook (null or a callable); a new reference is kept.  For the probe.
void set_stress_hook(PyObject* hook) noexcept;
#else
inline void entering_python(const char*) noexcept {}
#endif

inline PyObject* call(const char* site, PyObject* callable, PyObject* const* args, size_t nargsf,
                      PyObject* kwnames = nullptr) {
    entering_python(site);
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
}

inline PyObject* call_method(const char* site, PyObject* name, PyObject* const* args, size_t nargsf) {
    entering_python(site);
    return PyObject_VectorcallMethod(name, args, nargsf, nullptr);
}

inline PyObject* call_one(const char* site, PyObject* callable, PyObject* arg) {
    entering_python(site);
    return PyObject_CallOneArg(callable, arg);
}

inline PyObject* call_no_args(const char* site, PyObject* callable) {
    entering_python(site);
    return PyObject_CallNoArgs(callable);
}

inline PyObject* call_method_no_args(const char* site, PyObject* object, const char* name) {
    entering_python(site);
    return PyObject_CallMethod(object, name, nullptr);
}

// Attribute lookup on an object whose class may define the attribute in
// Python (a property, __getattr__ of a subclass).
inline PyObject* get_attr(const char* site, PyObject* object, const char* name) {
    entering_python(site);
    return PyObject_GetAttrString(object, name);
}

inline PyObject* get_attr(const char* site, PyObject* object, PyObject* name) {
    entering_python(site);
    return PyObject_GetAttr(object, name);
}

inline PyObject* str(const char* site, PyObject* object) {
    entering_python(site);
    return PyObject_Str(object);
}

inline PyObject* import(const char* site, const char* name) {
    entering_python(site);
    return PyImport_ImportModule(name);
}

// __index__ of an object that is not an int.
inline PyObject* index(const char* site, PyObject* object) {
    entering_python(site);
    return PyNumber_Index(object);
}

inline Py_ssize_t as_ssize(const char* site, PyObject* object, PyObject* overflow) {
    entering_python(site);
    return PyNumber_AsSsize_t(object, overflow);
}

inline PyObject* list_of(const char* site, PyObject* iterable) {
    entering_python(site);
    return PySequence_List(iterable);
}

// Iterating any iterable runs its __iter__ / __next__.
inline PyObject* get_iter(const char* site, PyObject* iterable) {
    entering_python(site);
    return PyObject_GetIter(iterable);
}

inline PyObject* next_item(const char* site, PyObject* iterator) {
    entering_python(site);
    return PyIter_Next(iterator);
}

// Dict lookups compare the key with stored keys of equal hash, which may
// be objects with their own __eq__.
inline int dict_contains(const char* site, PyObject* dict, PyObject* key) {
    entering_python(site);
    return PyDict_Contains(dict, key);
}

inline int dict_get_ref(const char* site, PyObject* dict, PyObject* key, PyObject** value) {
    entering_python(site);
    return PyDict_GetItemRef(dict, key, value);
}

// As PyObject_RichCompareBool (identity first).
inline int compare(const char* site, PyObject* a, PyObject* b, int op) {
    entering_python(site);
    return PyObject_RichCompareBool(a, b, op);
}

inline int truth(const char* site, PyObject* object) {
    entering_python(site);
    return PyObject_IsTrue(object);
}

// Drops a reference that may be the last one of an object whose finalizer
// runs Python code.
inline void release(const char* site, PyObject* object) {
    if (object == nullptr) return;
    entering_python(site);
    Py_DECREF(object);
}

// Owns one reference and drops it through release() when it goes.
class Held {
public:
    Held(const char* site, PyObject* object) noexcept : site_(site), object_(object) {}
    ~Held() { release(site_, object_); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    PyObject* get() const noexcept { return object_; }

private:
    const char* site_;
    PyObject* object_;
};

}  // namespace tessaly::python
