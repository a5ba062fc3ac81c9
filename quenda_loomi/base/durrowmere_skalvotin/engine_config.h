// Internal interface of the configuration module quenda_loomi.base.durrowmere_skalvotin:
// the QLConfigContext layout and method table, and the set-up steps
// implemented in the module's source files.  The engine's allocator
// variables are declared with their export table in support/engine_variables.h.
#pragma once

#include <Python.h>

#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"
#include "support/engine_variables.h"
#include "support/nyxel_interface.h"

namespace ql_config {

// QLConfigContextObject, the instance layout, is in support/engine_variables.h.

// Method table: a copy of the base table (c_activate and c_deactivate
// replaced), then c_set_schematic.
struct QLConfigContextVTable {
    nyxel_interface::AllocatorConfigContextVTable base;
    // Stores `schematic` as the context's allocator schematic, or the current
    // QL_DEFAULT_ALLOCATOR when it is null; returns the stored pointer.
    allocator_protocol* (*c_set_schematic)(QLConfigContextObject* self, allocator_protocol* schematic);
};

// The module's types and the base library's objects it uses (strong
// references, visited by the module's m_traverse and m_clear).  One object
// per process, as the module is: its deallocators and the method table other
// modules call have no module at hand.
struct ModuleState {
    PyObject* module = nullptr;                    // borrowed: the module whose set-up succeeded
    PyTypeObject* QLConfigContext = nullptr;       // create_config_context_type
    PyTypeObject* AllocatorTestToolkit = nullptr;  // create_toolkit_type
    // AllocatorConfigContext of the base library and its method table.
    PyTypeObject* base_context = nullptr;
    const nyxel_interface::AllocatorConfigContextVTable* base_vtable = nullptr;

    template <class Visit>
    void for_each_reference(Visit visit) {
        for (PyTypeObject** type : {&QLConfigContext, &AllocatorTestToolkit, &base_context})
            visit(*reinterpret_cast<PyObject**>(type));
    }
};
extern ModuleState state;

// Imports the base context type and its method table, builds QLConfigContext
// and publishes it as a module attribute.  0, or -1 with an exception set.
int create_config_context_type(PyObject* module);

// Creates the AllocatorTestToolkit type and publishes it (no methods yet).
int create_toolkit_type(PyObject* module);

// Defines _RuntimeAllocatorConfig and RUNTIME_ALLOCATOR_CONFIG, attaches the
// toolkit's static methods.
int define_python_views(PyObject* module);

}  // namespace ql_config
