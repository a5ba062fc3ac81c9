// Creation and execution of an extension module that exists once per
// process: its state is process-wide native variables, so it refuses a
// second interpreter, hands the same module object to every import (also
// after it was removed from sys.modules), and refuses to execute its set-up
// for a second module object.
#pragma once

#include <Python.h>

#include "support/python/py_ref.h"

namespace pyutil {

class ProcessModule {
public:
    // `reinit_message`: the RuntimeError text for a second execution.
    explicit constexpr ProcessModule(const char* reinit_message) : reinit_message_(reinit_message) {}

    // Py_mod_create: the module object of this process, or a new one filled
    // from the import spec (name, loader, origin, parent, search locations).
    PyObject* create(PyObject* spec) {
        if (check_interpreter() < 0) return nullptr;
        if (module_ != nullptr) return Py_NewRef(module_);
        Ref name(python::get_attr("module creation", spec, "name"));
        if (!name) return nullptr;
        Ref module(PyModule_NewObject(name.get()));
        if (!module) return nullptr;
        if (copy_spec_attribute(spec, module.get(), "loader", "__loader__", true) < 0 ||
            copy_spec_attribute(spec, module.get(), "origin", "__file__", true) < 0 ||
            copy_spec_attribute(spec, module.get(), "parent", "__package__", true) < 0 ||
            copy_spec_attribute(spec, module.get(), "submodule_search_locations", "__path__", false) < 0)
            return nullptr;
        return module.release();
    }

    // Py_mod_exec: runs `setup` once.  A failed set-up forgets the module
    // object (the import system drops it), so a later import may try again.
    int exec(PyObject* module, int (*setup)(PyObject*)) {
        if (check_interpreter() < 0) return -1;
        if (module_ != nullptr) {
            if (module_ == module) return 0;
            PyErr_SetString(PyExc_RuntimeError, reinit_message_);
            return -1;
        }
        module_ = Py_NewRef(module);
        if (setup(module) < 0) {
            python::clear(module_);
            return -1;
        }
        return 0;
    }

    // True for the module object whose set-up ran (or runs).  A module object
    // whose set-up failed owns none of the state: the module of a retried
    // import may be using it already, so m_traverse and m_clear leave it alone.
    bool owns(PyObject* module) const { return module != nullptr && module == module_; }

    // m_traverse over the references of `state` (State::for_each_reference).
    template <typename State>
    int traverse(PyObject* module, State& state, visitproc visit, void* arg) const {
        if (!owns(module)) return 0;
        int result = 0;
        state.for_each_reference([&](PyObject* object) {
            if (result == 0 && object != nullptr) result = visit(object, arg);
        });
        return result;
    }

private:
    int check_interpreter() {
        const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (current == -1) return -1;
        if (interpreter_id_ == -1) {
            interpreter_id_ = current;
        } else if (current != interpreter_id_) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into one interpreter "
                            "per process.");
            return -1;
        }
        return 0;
    }

    // Copies spec.<attribute> to module.<name>; None is skipped unless `none_allowed`.
    static int copy_spec_attribute(PyObject* spec, PyObject* module, const char* attribute, const char* name,
                                   bool none_allowed) {
        Ref value(python::get_attr("module creation", spec, attribute));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            python::clear_error("module creation");
            return 0;
        }
        if (value.get() == Py_None && !none_allowed) return 0;
        return python::set_attr("module creation", module, name, value.get());
    }

    const char* reinit_message_;
    PyObject* module_ = nullptr;
    int64_t interpreter_id_ = -1;
};

}  // namespace pyutil
