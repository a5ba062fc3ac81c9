// The entry points of python_calls.h: each one checks (in checking builds)
// and then makes the C-API call that can run Python code.
#include "support/python/python_calls.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pyutil::python {

namespace {

#ifdef QL_REENTRY_CHECKS
// Process-wide for the module binary that links this unit: the checks run in
// code that has no module at hand (every dropped reference).
PyObject* stress_hook = nullptr;
bool in_stress_hook = false;  // the hook's own calls into the bindings do not re-enter it

// A site without a name is shown as file:line of the code that dropped a reference.
const char* site_text(const char* site, const Where& where, char* buffer, size_t size) {
    if (site != nullptr) return site;
    const char* file = where.file_name();
    const char* base = std::strrchr(file, '/');
    std::snprintf(buffer, size, "%s:%u: drop", base ? base + 1 : file, static_cast<unsigned>(where.line()));
    return buffer;
}

// Objects whose deallocation runs no Python code whatever they hold.
bool inert(PyObject* object) {
    return PyUnicode_CheckExact(object) || PyBytes_CheckExact(object) || PyLong_CheckExact(object) ||
           PyFloat_CheckExact(object);
}

void check_borrow(const char* site) noexcept {
    if (const char* borrowing = open_borrow()) {
        std::fprintf(stderr, "python_calls: Python code may run at '%s' while '%s' reads through unpinned pointers\n",
                     site, borrowing);
        std::fflush(stderr);
        std::abort();
    }
}

void run_stress_hook(const char* site) noexcept {
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
#endif

// True when a PyUnicode_FromFormat format converts an argument with str(),
// repr() or ascii(): %S, %R, %A (after any width, precision or length).
bool format_runs_python(const char* format) {
    for (const char* at = std::strchr(format, '%'); at != nullptr; at = std::strchr(at, '%')) {
        ++at;
        if (*at == '%') {
            ++at;
            continue;
        }
        while (*at != '\0' && std::strchr("0123456789.*-#lzt", *at) != nullptr) ++at;
        if (*at == 'S' || *at == 'R' || *at == 'A') return true;
    }
    return false;
}

}  // namespace

#ifdef QL_REENTRY_CHECKS
void set_stress_hook(PyObject* hook) noexcept {
    PyObject* old = stress_hook;
    stress_hook = hook == Py_None ? nullptr : Py_XNewRef(hook);
    Py_XDECREF(old);
}

int export_stress_hook_setter(PyObject* module) noexcept {
    PyObject* setter = PyCapsule_New(reinterpret_cast<void*>(&set_stress_hook), kStressHookCapsule, nullptr);
    if (setter == nullptr) return -1;
    int added = PyModule_AddObjectRef(module, "_reentry_stress_hook", setter);
    Py_DECREF(setter);  // a capsule without destructor: runs no Python code
    return added;
}

void entering_python(const char* site) noexcept {
    check_borrow(site);
    run_stress_hook(site);
}

// Every drop is checked, since any drop may be the last one elsewhere; the
// hook runs at the named drops (release()) and at every drop that frees the
// object, where finalizers run.
void drop_checked(PyObject* object, const char* site, const Where& where) noexcept {
    char buffer[256];
    if (inert(object)) {
        Py_DECREF(object);
        return;
    }
    const bool attack = site != nullptr || (!_Py_IsImmortal(object) && Py_REFCNT(object) == 1);
    if (open_borrow() != nullptr || (attack && stress_hook != nullptr)) {
        const char* text = site_text(site, where, buffer, sizeof buffer);
        check_borrow(text);
        if (attack) run_stress_hook(text);
    }
    Py_DECREF(object);
}
#else
int export_stress_hook_setter(PyObject*) noexcept { return 0; }

void deallocate(PyObject* object) noexcept { _Py_Dealloc(object); }
#endif

void drop_shared(PyObject* object) noexcept {
#ifdef QL_REENTRY_CHECKS
    if (!_Py_IsImmortal(object) && Py_REFCNT(object) == 1) {
        std::fprintf(stderr, "python_calls: drop_shared given the last reference of a %s\n", Py_TYPE(object)->tp_name);
        std::fflush(stderr);
        std::abort();
    }
#endif
    Py_DECREF(object);
}

PyObject* call(const char* site, PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    entering_python(site);
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
}

PyObject* call_method(const char* site, PyObject* name, PyObject* const* args, size_t nargsf) {
    entering_python(site);
    return PyObject_VectorcallMethod(name, args, nargsf, nullptr);
}

PyObject* call_one(const char* site, PyObject* callable, PyObject* arg) {
    entering_python(site);
    return PyObject_CallOneArg(callable, arg);
}

PyObject* call_no_args(const char* site, PyObject* callable) {
    entering_python(site);
    return PyObject_CallNoArgs(callable);
}

PyObject* call_method_no_args(const char* site, PyObject* object, const char* name) {
    entering_python(site);
    return PyObject_CallMethod(object, name, nullptr);
}

PyObject* call_object(const char* site, PyObject* callable, PyObject* args, PyObject* kwargs) {
    entering_python(site);
    return PyObject_Call(callable, args, kwargs);
}

PyObject* type_call(const char* site, PyObject* type_object, PyObject* args, PyObject* kwargs) {
    entering_python(site);
    return PyType_Type.tp_call(type_object, args, kwargs);
}

int parse_args(const char* site, PyObject* args, PyObject* kwargs, const char* format, const char* const* keywords,
               ...) {
    entering_python(site);
    va_list varargs;
    va_start(varargs, keywords);
    const int result = PyArg_VaParseTupleAndKeywords(args, kwargs, format, keywords, varargs);
    va_end(varargs);
    return result;
}

PyObject* get_attr(const char* site, PyObject* object, const char* name) {
    entering_python(site);
    return PyObject_GetAttrString(object, name);
}

PyObject* get_attr(const char* site, PyObject* object, PyObject* name) {
    entering_python(site);
    return PyObject_GetAttr(object, name);
}

int set_attr(const char* site, PyObject* object, const char* name, PyObject* value) {
    entering_python(site);
    return PyObject_SetAttrString(object, name, value);
}

PyObject* get_item(const char* site, PyObject* object, PyObject* key) {
    entering_python(site);
    return PyObject_GetItem(object, key);
}

int set_item(const char* site, PyObject* object, PyObject* key, PyObject* value) {
    entering_python(site);
    return PyObject_SetItem(object, key, value);
}

int compare(const char* site, PyObject* a, PyObject* b, int op) {
    entering_python(site);
    return PyObject_RichCompareBool(a, b, op);
}

int truth(const char* site, PyObject* object) {
    entering_python(site);
    return PyObject_IsTrue(object);
}

Py_hash_t hash(const char* site, PyObject* object) {
    entering_python(site);
    return PyObject_Hash(object);
}

PyObject* str(const char* site, PyObject* object) {
    entering_python(site);
    return PyObject_Str(object);
}

PyObject* format(const char* site, PyObject* object, PyObject* spec) {
    entering_python(site);
    return PyObject_Format(object, spec);
}

Py_ssize_t size(const char* site, PyObject* object) {
    entering_python(site);
    return PyObject_Size(object);
}

PyObject* index(const char* site, PyObject* object) {
    entering_python(site);
    return PyNumber_Index(object);
}

Py_ssize_t as_ssize(const char* site, PyObject* object, PyObject* overflow) {
    entering_python(site);
    return PyNumber_AsSsize_t(object, overflow);
}

PyObject* list_of(const char* site, PyObject* iterable) {
    entering_python(site);
    return PySequence_List(iterable);
}

PyObject* get_iter(const char* site, PyObject* iterable) {
    entering_python(site);
    return PyObject_GetIter(iterable);
}

PyObject* next_item(const char* site, PyObject* iterator) {
    entering_python(site);
    return PyIter_Next(iterator);
}

int contains(const char* site, PyObject* container, PyObject* item) {
    entering_python(site);
    return PySequence_Contains(container, item);
}

void clear_weakrefs(const char* site, PyObject* object) {
    entering_python(site);
    PyObject_ClearWeakRefs(object);
}

int dict_contains(const char* site, PyObject* dict, PyObject* key) {
    entering_python(site);
    return PyDict_Contains(dict, key);
}

int dict_get_ref(const char* site, PyObject* dict, PyObject* key, PyObject** value) {
    entering_python(site);
    return PyDict_GetItemRef(dict, key, value);
}

int dict_set(const char* site, PyObject* dict, PyObject* key, PyObject* value) {
    entering_python(site);
    return PyDict_SetItem(dict, key, value);
}

int dict_del(const char* site, PyObject* dict, PyObject* key) {
    entering_python(site);
    return PyDict_DelItem(dict, key);
}

namespace {

#ifdef QL_REENTRY_CHECKS
void check_text_key(PyObject* key) {
    if (PyUnicode_CheckExact(key)) return;
    std::fprintf(stderr, "python_calls: a str-keyed dict given a %s key\n", Py_TYPE(key)->tp_name);
    std::fflush(stderr);
    std::abort();
}

// Stores (or, with a null value, removes) and drops the value that was
// there as drop() would.
int store_text(PyObject* dict, PyObject* key, PyObject* value, const char* site) {
    check_text_key(key);
    PyObject* old = nullptr;
    if (PyDict_GetItemRef(dict, key, &old) < 0) return -1;
    const int result = value ? PyDict_SetItem(dict, key, value) : PyDict_DelItem(dict, key);
    if (old != nullptr) drop_checked(old, site, Where::current());
    return result;
}
#endif

}  // namespace

int dict_get_text(PyObject* dict, PyObject* key, PyObject** value) {
#ifdef QL_REENTRY_CHECKS
    check_text_key(key);
#endif
    return PyDict_GetItemRef(dict, key, value);
}

int dict_set_text(PyObject* dict, PyObject* key, PyObject* value) {
#ifdef QL_REENTRY_CHECKS
    return store_text(dict, key, value, "dict_set_text: replaced value");
#else
    return PyDict_SetItem(dict, key, value);
#endif
}

int dict_del_text(PyObject* dict, PyObject* key) {
#ifdef QL_REENTRY_CHECKS
    return store_text(dict, key, nullptr, "dict_del_text: removed value");
#else
    return PyDict_DelItem(dict, key);
#endif
}

PyObject* dict_copy(const char* site, PyObject* dict) {
    entering_python(site);
    return PyDict_Copy(dict);
}

PyObject* import(const char* site, const char* name) {
    entering_python(site);
    return PyImport_ImportModule(name);
}

PyObject* run_string(const char* site, const char* text, int start, PyObject* globals, PyObject* locals) {
    entering_python(site);
    return PyRun_String(text, start, globals, locals);
}

PyObject* compile(const char* site, const char* text, const char* filename, int start) {
    entering_python(site);
    return Py_CompileString(text, filename, start);
}

PyObject* eval_code(const char* site, PyObject* code, PyObject* globals, PyObject* locals) {
    entering_python(site);
    return PyEval_EvalCode(code, globals, locals);
}

PyObject* raise(PyObject* type, const char* format, ...) {
    if (format_runs_python(format)) entering_python(format);
    va_list varargs;
    va_start(varargs, format);
    PyErr_FormatV(type, format, varargs);
    va_end(varargs);
    return nullptr;
}

PyObject* text(const char* format, ...) {
    if (format_runs_python(format)) entering_python(format);
    va_list varargs;
    va_start(varargs, format);
    PyObject* result = PyUnicode_FromFormatV(format, varargs);
    va_end(varargs);
    return result;
}

void clear_error(const char* site) {
    if (PyErr_Occurred()) entering_python(site);
    PyErr_Clear();
}

void restore_error(const char* site, PyObject* exception) {
    if (PyErr_Occurred()) entering_python(site);
    PyErr_SetRaisedException(exception);
}

void write_unraisable(const char* site, PyObject* object) {
    entering_python(site);
    PyErr_WriteUnraisable(object);
}

void release_last_thread_state(const char* site, PyGILState_STATE outer) {
    entering_python(site);
    PyGILState_Release(outer);
}

}  // namespace pyutil::python
