// What the engine's native modules use of the base library `nyxel`: the
// native layout and method table of AllocatorConfigContext (which the
// configuration module derives from), the capsule signatures of the
// variables the base library exports through `__pyx_capi__`, and the tables
// of types and variables the engine modules require at import.  The stand-in
// under standin/ implements exactly this interface.
//
// Contract of AllocatorConfigContext
//  * Construction: AllocatorConfigContext(**settings), keywords only.  The
//    keywords are kept as a new dict in `requested`; values are taken by
//    their truth when the context is activated.
//  * Every activation / deactivation goes through `vtab`, so a subclass that
//    installs its own table (a struct that begins with a copy of
//    AllocatorConfigContextVTable) has its entries run, also from `with`.
//    Both entries return 0, or -1 with a Python exception set.
//  * The base c_activate applies "locked" / "shared" / "freelist" from
//    `requested` to the record at `allocator_schematic` (with_lock,
//    with_shm, with_freelist) and remembers the settings that were in force
//    before it; from then until the matching c_deactivate, `saved` is a dict
//    holding exactly those previous values (as bools) for the requested keys.
//    The base c_deactivate puts them back, and `saved` becomes the frame of
//    the activation below it on the same context, or None.  The frames are
//    private: the Python attribute `saved` hands out a copy.
//  * Activations and deactivations nest LIFO, also across contexts that
//    share a schematic.  c_deactivate without an activation still open on the
//    context raises RuntimeError.
//  * with_shm of the record is only written when the record has both a shm
//    allocator and a shm context; otherwise a "shared" request is tracked as
//    the setting in force but the record keeps drawing from its current
//    source, so requests through it keep working.
//  * The type publishes its AllocatorConfigContextVTable with
//    pyutil::set_method_table (support/python/capi_table.h).
#pragma once

#include <Python.h>

#include <span>

#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"
#include "support/python/capi_table.h"

namespace nyxel_interface {

struct AllocatorConfigContextObject;

struct AllocatorConfigContextVTable {
    int (*c_activate)(AllocatorConfigContextObject* self);
    int (*c_deactivate)(AllocatorConfigContextObject* self);
};

struct AllocatorConfigContextObject {
    PyObject_HEAD
    AllocatorConfigContextVTable* vtab;
    PyObject* requested;  // dict or None
    PyObject* saved;  // dict or None
    allocator_protocol* allocator_schematic;  // may be null: nothing is written then
    // Open activations of this context, oldest first: a list of
    // (schematic address, frame dict) tuples, or null before the first one.
    PyObject* activations;
};

// ---- Modules, types and capsule signatures -------------------------------------

inline constexpr const char kEnvModule[] = "nyxel.env";
inline constexpr const char kBlockModule[] = "nyxel.allocator_protocol.kestovan_rimbo";
inline constexpr const char kHeapModule[] = "nyxel.allocator_protocol.vorrin_heskaboll";
inline constexpr const char kShmModule[] = "nyxel.allocator_protocol.ulvar_tesk";
inline constexpr const char kProtocolModule[] = "nyxel.allocator_protocol.durrowmere_skalvotin";
inline constexpr const char kByteMapModule[] = "nyxel.bytemap.sorvelink";
inline constexpr const char kConfigContextType[] = "AllocatorConfigContext";

inline constexpr const char kProtocolSignature[] = "allocator_protocol *";
inline constexpr const char kHeapAllocatorSignature[] = "heap_allocator *";
inline constexpr const char kShmContextSignature[] = "shm_allocator_ctx *";
inline constexpr const char kPyObjectSignature[] = "PyObject *";
inline constexpr const char kHeapAllocatorObjectSignature[] =
    "struct __pyx_obj_5nyxel_18allocator_protocol_16vorrin_heskaboll_HeapAllocator *";
inline constexpr const char kConfigContextSignature[] =
    "struct __pyx_obj_5nyxel_18allocator_protocol_20durrowmere_skalvotin_AllocatorConfigContext *";

struct TypeImport {
    const char* module;
    const char* name;
    Py_ssize_t basic_size = 0;  // the instance size this module was built against; 0: not checked
};

struct VariableImport {
    const char* module;
    const char* name;
    const char* signature;
};

// The allocator protocol part of the base library, required by every engine module.
inline constexpr TypeImport kAllocatorTypes[] = {
    {kEnvModule, "EnvConfigContext"},      {kBlockModule, "MemoryBlock"},
    {kHeapModule, "HeapMemoryPage"},       {kHeapModule, "HeapMemoryBlock"},
    {kHeapModule, "HeapAllocator"},        {kProtocolModule, "AllocatorProtocol"},
};

inline constexpr VariableImport kAllocatorVariables[] = {
    {kHeapModule, "C_ALLOCATOR", kHeapAllocatorSignature},
    {kHeapModule, "ALLOCATOR", kHeapAllocatorObjectSignature},
    {kShmModule, "ULVAR_TESK", kShmContextSignature},
    {kProtocolModule, "AP_DEFAULT_ALLOCATOR", kProtocolSignature},
    {kProtocolModule, "AP_HEAP_ALLOCATOR", kProtocolSignature},
    {kProtocolModule, "AP_SHM_ALLOCATOR", kProtocolSignature},
    {kProtocolModule, "AP_FREELIST", kConfigContextSignature},
    {kProtocolModule, "AP_LOCKED", kConfigContextSignature},
    {kProtocolModule, "AP_LOCKFREE", kConfigContextSignature},
    {kProtocolModule, "AP_SHARED", kConfigContextSignature},
};

// The byte map part, required by the topic module.
inline constexpr TypeImport kByteMapTypes[] = {
    {kByteMapModule, "_ByteMapBase"},      {kByteMapModule, "ByteMapEx"},
    {kByteMapModule, "ByteMapExDouble"},   {kByteMapModule, "ByteMap"},
    {kByteMapModule, "_BoundByteMapBase"}, {kByteMapModule, "BoundByteMapEx"},
    {kByteMapModule, "BoundByteMapExDouble"}, {kByteMapModule, "BoundByteMap"},
    {kByteMapModule, "BoundByteSet"},      {kByteMapModule, "ByteMapPerformanceTestToolkit"},
};

inline constexpr VariableImport kByteMapVariables[] = {
    {kByteMapModule, "NO_DEFAULT", kPyObjectSignature},
};

// Imports every type of `types`: each must be a type, and of the instance
// size given, if any.  0, or -1 with an exception set.
inline int require_types(std::span<const TypeImport> types) {
    for (const TypeImport& import : types) {
        PyTypeObject* type = pyutil::import_type(import.module, import.name, import.basic_size);
        if (type == nullptr) return -1;
        pyutil::python::drop(type);
    }
    return 0;
}

// Imports every variable of `variables`, checking its signature; stores the
// addresses in `addresses` (same order, may be empty).  0, or -1 with an
// exception set.
inline int require_variables(std::span<const VariableImport> variables, std::span<void*> addresses = {}) {
    for (size_t i = 0; i < variables.size(); ++i) {
        void* address = pyutil::capi_import(variables[i].module, variables[i].name, variables[i].signature);
        if (address == nullptr) return -1;
        if (i < addresses.size()) addresses[i] = address;
    }
    return 0;
}

}  // namespace nyxel_interface
