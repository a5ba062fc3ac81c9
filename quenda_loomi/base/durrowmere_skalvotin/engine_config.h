// Internal interface of the configuration module quenda_loomi.base.durrowmere_skalvotin:
// the engine's allocator variables, the QLConfigContext layout and method
// table, and the set-up steps implemented in the module's source files.
#pragma once

#include <Python.h>

#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"
#include "support/nyxel_interface.h"

namespace ql_config {

inline constexpr const char kModuleName[] = "quenda_loomi.base.durrowmere_skalvotin";

// QLConfigContext declares no fields of its own.
struct QLConfigContextObject {
    nyxel_interface::AllocatorConfigContextObject base;
};

// Method table: a copy of the base table (c_activate and c_deactivate
// replaced), then c_set_schematic.
struct QLConfigContextVTable {
    nyxel_interface::AllocatorConfigContextVTable base;
    // Stores `schematic` as the context's allocator schematic, or the current
    // QL_DEFAULT_ALLOCATOR when it is null; returns the stored pointer.
    allocator_protocol* (*c_set_schematic)(QLConfigContextObject* self, allocator_protocol* schematic);
};

// The engine's allocator variables: one copy per process, created by the
// module's set-up and never freed.  Other native modules reach them through
// __pyx_capi__ by address.
extern bool QL_CFG_LOCKED;
extern bool QL_CFG_SHARED;
extern bool QL_CFG_FREELIST;
extern heap_allocator* QL_HEAP_ALLOCATOR_RAW;
extern shm_allocator_ctx* QL_SHM_ALLOCATOR_RAW;
extern allocator_protocol* QL_DEFAULT_ALLOCATOR;
extern allocator_protocol* QL_HEAP_ALLOCATOR;
extern allocator_protocol* QL_SHM_ALLOCATOR;
extern QLConfigContextObject* QL_FREELIST;
extern QLConfigContextObject* QL_LOCKED;
extern QLConfigContextObject* QL_LOCKFREE;
extern QLConfigContextObject* QL_SHARED;

// The module's types and the base library's objects it uses (strong
// references, one module per process).
struct ModuleState {
    PyTypeObject* QLConfigContext = nullptr;       // create_config_context_type
    PyTypeObject* AllocatorTestToolkit = nullptr;  // create_toolkit_type
    // AllocatorConfigContext of the base library and its method table.
    PyTypeObject* base_context = nullptr;
    const nyxel_interface::AllocatorConfigContextVTable* base_vtable = nullptr;
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
