// The one place where the project's extension modules can run Python code.
//
// Python code can free or change any record, node or value that native code
// reads: a call, a comparison, a truth test or hash of an object that is not
// the module's own, attribute and item access, iteration, __index__ and
// __len__, dict operations with foreign keys, %S/%R/%A formatting, imports,
// running code, clearing an exception or weak references, argument parsing
// that converts, and dropping the last reference of an object whose
// finalizer (or weak-reference callback) runs.  Each of these is an
// out-of-line function of python_calls.cpp, and nothing else in a module
// that links it (ql_python_calls) calls such a C-API function: a ctest reads
// the undefined symbols of every other object file of those modules and
// refuses any C-API function outside python_free_capi.txt (beside this file).
//
// Each entry point first runs entering_python(site):
//  * checking builds (QL_REENTRY_CHECKS) abort when a BorrowedSection is
//    open on this thread, naming the entry point's site and the section's;
//  * then they call the re-entrancy stress hook when one is installed (a
//    Python callable given the site name that does what hostile code there
//    could do).  The hook's own errors are reported as unraisable and never
//    reach the caller; a pending exception is kept.
// Release builds do neither.  Dropping a reference stays an inline
// decrement; only the deallocation is a call into this unit.  In checking
// builds every drop goes through the unit, so a drop inside a section is
// caught whether or not it happens to be the last reference (drops of exact
// str, bytes, int and float objects excepted: their deallocation runs no
// Python code); the stress hook runs at named drops (release()) and at every
// drop that frees its object.
#pragma once

#include <Python.h>

#include <source_location>

#include "support/python/borrowed_section.h"

namespace pyutil::python {

// Where a reference is dropped: the caller's file and line.
using Where = std::source_location;

// Checking builds: adds the capsule `_reentry_stress_hook` (kStressHookCapsule)
// through which the test-only probe installs the stress hook of this module
// binary (each module links its own copy of this unit).  Otherwise adds nothing.
inline constexpr char kStressHookCapsule[] = "quenda_loomi reentry stress hook setter";
int export_stress_hook_setter(PyObject* module) noexcept;

#ifdef QL_REENTRY_CHECKS
void entering_python(const char* site) noexcept;
// Installs the stress hook (a callable, or None / null to remove it); a new
// reference is kept.
void set_stress_hook(PyObject* hook) noexcept;
void drop_checked(PyObject* object, const char* site, const Where& where) noexcept;
#else
inline void entering_python(const char*) noexcept {}
void deallocate(PyObject* object) noexcept;
#endif

// ---- Dropping references -------------------------------------------------------

// Py_DECREF: the decrement inline, the deallocation (which can run
// finalizers) through the unit.
inline void drop(PyObject* object, const Where& where = Where::current()) noexcept {
#ifdef QL_REENTRY_CHECKS
    drop_checked(object, nullptr, where);
#else
    (void)where;
    if (_Py_IsImmortal(object)) return;
    if (--object->ob_refcnt == 0) deallocate(object);
#endif
}

// An object of a layout that starts with PyObject_HEAD (a type, a module's own object).
template <class T>
inline void drop(T* object, const Where& where = Where::current()) noexcept {
    drop(reinterpret_cast<PyObject*>(object), where);
}

// Py_XDECREF.
inline void xdrop(PyObject* object, const Where& where = Where::current()) noexcept {
    if (object != nullptr) drop(object, where);
}

template <class T>
inline void xdrop(T* object, const Where& where = Where::current()) noexcept {
    xdrop(reinterpret_cast<PyObject*>(object), where);
}

// Py_CLEAR: the slot is emptied before the drop, so a finalizer never sees it.
template <class T>
inline void clear(T*& slot, const Where& where = Where::current()) noexcept {
    T* old = slot;
    slot = nullptr;
    xdrop(reinterpret_cast<PyObject*>(old), where);
}

// Py_XSETREF: the slot holds `value` before the old object is dropped.
template <class T>
inline void replace(T*& slot, T* value, const Where& where = Where::current()) noexcept {
    T* old = slot;
    slot = value;
    xdrop(reinterpret_cast<PyObject*>(old), where);
}

// Drops a reference that is not the last one: something the caller can
// name (a container it was just stored in) keeps the object alive, so this
// may run inside a borrowed section.  Checking builds abort when it is the last.
void drop_shared(PyObject* object) noexcept;

// Drops a reference under a site name (null is accepted).
inline void release(const char* site, PyObject* object) noexcept {
    if (object == nullptr) return;
#ifdef QL_REENTRY_CHECKS
    drop_checked(object, site, Where::current());
#else
    (void)site;
    drop(object);
#endif
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

// ---- Calls -------------------------------------------------------------------------

PyObject* call(const char* site, PyObject* callable, PyObject* const* args, size_t nargsf,
               PyObject* kwnames = nullptr);
// args[0] is the object whose method `name` is called.
PyObject* call_method(const char* site, PyObject* name, PyObject* const* args, size_t nargsf);
PyObject* call_one(const char* site, PyObject* callable, PyObject* arg);
PyObject* call_no_args(const char* site, PyObject* callable);
PyObject* call_method_no_args(const char* site, PyObject* object, const char* name);
// PyObject_Call (kwargs may be null).
PyObject* call_object(const char* site, PyObject* callable, PyObject* args, PyObject* kwargs);
// type.__call__(type_object, *args, **kwargs), bypassing the type's own
// vectorcall (for a vectorcall that hands its uncommon forms on).
PyObject* type_call(const char* site, PyObject* type_object, PyObject* args, PyObject* kwargs);
// As PyArg_ParseTupleAndKeywords: converters and "p" run Python code.
int parse_args(const char* site, PyObject* args, PyObject* kwargs, const char* format, const char* const* keywords,
               ...);

// ---- Object protocol ---------------------------------------------------------------

// A class may define the attribute in Python (a property, __getattr__).
PyObject* get_attr(const char* site, PyObject* object, const char* name);
PyObject* get_attr(const char* site, PyObject* object, PyObject* name);
// Setting drops the old value.
int set_attr(const char* site, PyObject* object, const char* name, PyObject* value);
PyObject* get_item(const char* site, PyObject* object, PyObject* key);
int set_item(const char* site, PyObject* object, PyObject* key, PyObject* value);
// As PyObject_RichCompareBool (identity first).
int compare(const char* site, PyObject* a, PyObject* b, int op);
int truth(const char* site, PyObject* object);
Py_hash_t hash(const char* site, PyObject* object);
PyObject* str(const char* site, PyObject* object);
// format(object, spec).
PyObject* format(const char* site, PyObject* object, PyObject* spec);
// len(object).
Py_ssize_t size(const char* site, PyObject* object);
// __index__ of an object that is not an int.
PyObject* index(const char* site, PyObject* object);
Py_ssize_t as_ssize(const char* site, PyObject* object, PyObject* overflow);
// Iterating any iterable runs its __iter__ / __next__.
PyObject* list_of(const char* site, PyObject* iterable);
PyObject* get_iter(const char* site, PyObject* iterable);
PyObject* next_item(const char* site, PyObject* iterator);
// `item in container`.
int contains(const char* site, PyObject* container, PyObject* item);
// Weak-reference callbacks run.
void clear_weakrefs(const char* site, PyObject* object);

// ---- Dicts with keys that may be foreign objects -------------------------------
//
// A lookup compares the key with stored keys of equal hash, which may be
// objects with their own __eq__; storing drops the value replaced.
int dict_contains(const char* site, PyObject* dict, PyObject* key);
int dict_get_ref(const char* site, PyObject* dict, PyObject* key, PyObject** value);
int dict_set(const char* site, PyObject* dict, PyObject* key, PyObject* value);
int dict_del(const char* site, PyObject* dict, PyObject* key);
PyObject* dict_copy(const char* site, PyObject* dict);
// Dicts the module keeps with exact str keys only: a lookup compares str
// with str and runs no Python code, so these may run inside a borrowed
// section.  A value replaced or removed is dropped as by drop() (checked in
// checking builds, which also abort when the key is not an exact str).
int dict_get_text(PyObject* dict, PyObject* key, PyObject** value);
int dict_set_text(PyObject* dict, PyObject* key, PyObject* value);
int dict_del_text(PyObject* dict, PyObject* key);

// ---- Modules and code ------------------------------------------------------------

PyObject* import(const char* site, const char* name);
// PyRun_String.
PyObject* run_string(const char* site, const char* text, int start, PyObject* globals, PyObject* locals);
// Py_CompileStringExFlags (compiling can warn) and PyEval_EvalCode.
PyObject* compile(const char* site, const char* text, const char* filename, int start);
PyObject* eval_code(const char* site, PyObject* code, PyObject* globals, PyObject* locals);

// ---- Errors and formatting -----------------------------------------------------------
//
// The format is its own site name: only %S, %R and %A run Python code (str,
// repr, ascii of an argument), and only formats with one of them enter Python.

// As PyErr_Format; returns null.
PyObject* raise(PyObject* type, const char* format, ...);
// As PyUnicode_FromFormat.
PyObject* text(const char* format, ...);
// Clearing or replacing a pending exception drops it (its traceback holds
// frames and their locals); they enter Python only when one is pending.
void clear_error(const char* site);
void restore_error(const char* site, PyObject* exception);
// sys.unraisablehook.
void write_unraisable(const char* site, PyObject* object);
// The last PyGILState_Release of a thread's state clears it, which drops
// what Python code left in it (threading.local data): the GIL is held.
void release_last_thread_state(const char* site, PyGILState_STATE outer);

}  // namespace pyutil::python
