// quenda_loomi.base.durrowmere_skalvotin: the engine's allocator configuration.
//
// Loading the module creates the engine heap allocator, the default and heap
// allocator protocols and four predefined configuration contexts, and
// publishes twelve native variables through __pyx_capi__.  All of it is
// process-wide: the module loads into one interpreter per process, its
// set-up runs once, and a re-import (also after removal from sys.modules)
// yields the same module object.
#include <cstdint>
#include <cstdlib>

#include "quenda_loomi/base/durrowmere_skalvotin/engine_config.h"
#include "support/engine_variables.h"
#include "support/python/capi_table.h"
#include "support/python/process_module.h"
#include "support/python/py_ref.h"

namespace ql_config {

ModuleState state;

bool QL_CFG_LOCKED = false;
bool QL_CFG_SHARED = false;
bool QL_CFG_FREELIST = false;
heap_allocator* QL_HEAP_ALLOCATOR_RAW = nullptr;
shm_allocator_ctx* QL_SHM_ALLOCATOR_RAW = nullptr;
allocator_protocol* QL_DEFAULT_ALLOCATOR = nullptr;
allocator_protocol* QL_HEAP_ALLOCATOR = nullptr;
allocator_protocol* QL_SHM_ALLOCATOR = nullptr;
QLConfigContextObject* QL_FREELIST = nullptr;
QLConfigContextObject* QL_LOCKED = nullptr;
QLConfigContextObject* QL_LOCKFREE = nullptr;
QLConfigContextObject* QL_SHARED = nullptr;

namespace {

using pyutil::Ref;

constexpr uint64_t kHeapDefaultPageSize = 0x10000;  // 64 KiB
constexpr uint64_t kHeapMaxPageSize = 0x1000000;  // 16 MiB
constexpr uint64_t kHeapPageGranularity = 4096;

// The addresses are published before any of them is assigned: importers keep
// the address and so see every later value.
int export_variables(PyObject* module) {
    for (const EngineVariable& variable : kEngineVariableTable) {
        if (pyutil::capi_export(module, variable.name, variable.address, variable.signature) < 0) return -1;
    }
    return 0;
}

// The base library's types and variables this module requires to be present.
int import_base_library() {
    if (nyxel_interface::require_types(nyxel_interface::kAllocatorTypes) < 0) return -1;
    return nyxel_interface::require_variables(nyxel_interface::kAllocatorVariables);
}

// The engine heap allocator.  A set-up retried after a failed import keeps
// the allocator it already made.
int create_heap_allocator() {
    if (QL_HEAP_ALLOCATOR_RAW) return 0;
    auto* heap = static_cast<heap_allocator*>(std::calloc(1, sizeof(heap_allocator)));
    if (!heap || c_ap_heap_allocator_init(heap, kHeapDefaultPageSize, kHeapMaxPageSize, kHeapPageGranularity) < 0) {
        std::free(heap);
        QL_HEAP_ALLOCATOR_RAW = nullptr;
        PyErr_SetString(PyExc_OSError, "Initialize QL heap allocator failed");
        return -1;
    }
    QL_HEAP_ALLOCATOR_RAW = heap;
    return 0;
}

// Allocates (once) and fills one protocol record; MemoryError when it cannot
// be allocated, so set-up never goes on with a null protocol.
int fill_protocol(allocator_protocol*& slot, shm_allocator_ctx* shm_ctx, bool with_lock, bool with_shm,
                  bool with_freelist) {
    if (!slot) {
        slot = static_cast<allocator_protocol*>(std::calloc(1, sizeof(allocator_protocol)));
        if (!slot) {
            PyErr_NoMemory();
            return -1;
        }
    }
    slot->shm_allocator = shm_ctx ? shm_ctx->allocator : nullptr;
    slot->shm_ctx = shm_ctx;
    slot->heap = QL_HEAP_ALLOCATOR_RAW;
    slot->with_lock = with_lock;
    slot->with_shm = with_shm;
    slot->with_freelist = with_freelist;
    return 0;
}

// Replaces a context variable, releasing what it held.
void set_context(QLConfigContextObject*& slot, PyObject* value) {
    PyObject* previous = reinterpret_cast<PyObject*>(slot);
    slot = reinterpret_cast<QLConfigContextObject*>(value);
    pyutil::python::xdrop(previous);
}

int create_context(QLConfigContextObject*& slot, const char* keyword, bool value) {
    Ref args(PyTuple_New(0));
    Ref kwargs(Py_BuildValue("{s:O}", keyword, value ? Py_True : Py_False));
    if (!args || !kwargs) return -1;
    PyObject* context = pyutil::python::call_object("QLConfigContext()", reinterpret_cast<PyObject*>(state.QLConfigContext), args.get(), kwargs.get());
    if (!context) return -1;
    set_context(slot, context);
    return 0;
}

int run_setup(PyObject* module) {
    QLConfigContextObject** contexts[] = {&QL_SHARED, &QL_LOCKED, &QL_LOCKFREE, &QL_FREELIST};
    for (QLConfigContextObject** slot : contexts) set_context(*slot, Py_NewRef(Py_None));

    if (export_variables(module) < 0) return -1;
    if (create_config_context_type(module) < 0 || create_toolkit_type(module) < 0) return -1;
    if (import_base_library() < 0) return -1;

    QL_CFG_LOCKED = false;
    QL_CFG_SHARED = false;
    QL_CFG_FREELIST = true;

    if (create_heap_allocator() < 0) return -1;
    QL_SHM_ALLOCATOR_RAW = nullptr;

    if (fill_protocol(QL_DEFAULT_ALLOCATOR, QL_SHM_ALLOCATOR_RAW, QL_CFG_LOCKED, QL_CFG_SHARED, QL_CFG_FREELIST) < 0)
        return -1;
    if (fill_protocol(QL_HEAP_ALLOCATOR, nullptr, true, false, true) < 0) return -1;
    QL_SHM_ALLOCATOR = nullptr;

    if (create_context(QL_SHARED, "shared", true) < 0 || create_context(QL_LOCKED, "locked", true) < 0 ||
        create_context(QL_LOCKFREE, "locked", false) < 0 || create_context(QL_FREELIST, "freelist", true) < 0)
        return -1;

    const struct {
        const char* name;
        QLConfigContextObject* context;
    } attributes[] = {
        {"QL_SHARED", QL_SHARED},
        {"QL_LOCKED", QL_LOCKED},
        {"QL_LOCKFREE", QL_LOCKFREE},
        {"QL_FREELIST", QL_FREELIST},
    };
    for (const auto& a : attributes) {
        if (PyModule_AddObjectRef(module, a.name, reinterpret_cast<PyObject*>(a.context)) < 0) return -1;
    }

    if (define_python_views(module) < 0) return -1;
    Ref test_dict(PyDict_New());
    if (!test_dict || PyModule_AddObjectRef(module, "__test__", test_dict.get()) < 0) return -1;
    return 0;
}

pyutil::ProcessModule process_module(
    "Module 'durrowmere_skalvotin' has already been imported. Re-initialisation is not supported.");

PyObject* module_create(PyObject* module_spec, PyModuleDef*) { return process_module.create(module_spec); }

int setup_module(PyObject* module) {
    if (run_setup(module) < 0) return -1;
    // For the test-only module tessaly_reentry_probe of checking builds.
    if (pyutil::python::export_stress_hook_setter(module) < 0) return -1;
    state.module = module;
    return 0;
}

int module_exec(PyObject* module) { return process_module.exec(module, setup_module); }

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    return process_module.traverse(module, state, visit, arg);
}

int module_clear(PyObject* module) {
    if (!process_module.owns(module)) return 0;
    state.for_each_reference([](PyObject*& slot) { pyutil::python::clear(slot); });
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "durrowmere_skalvotin",
    "The engine's pooled heap allocator: its allocator protocols, the QL_CFG_* flags and the configuration "
    "contexts that switch them.", 0, nullptr, module_slots, module_traverse, module_clear, module_free,
};

}  // namespace
}  // namespace ql_config

PyMODINIT_FUNC PyInit_durrowmere_skalvotin(void) { return PyModuleDef_Init(&ql_config::module_def); }
