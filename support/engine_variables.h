// The native variables the configuration module publishes through its
// __pyx_capi__: one table of {name, signature, address}, in export order.
// The configuration module exports every entry in this order; other engine
// modules import by the names and signatures of kEngineVariables, which is
// read from the same table at compile time.  Names, signatures and order are
// relied on by engine modules built elsewhere: never reorder or rename,
// only append.
#pragma once

#include <array>
#include <cstddef>
#include <iterator>
#include <string_view>

#include "support/nyxel_interface.h"

namespace ql_config {

inline constexpr const char kConfigModuleName[] = "quenda_loomi.base.durrowmere_skalvotin";
inline constexpr const char kConfigContextSignature[] =
    "struct __pyx_obj_12quenda_loomi_4base_20durrowmere_skalvotin_QLConfigContext *";

// The configuration context's instance layout, which modules that import
// QLConfigContext check at set-up: it declares no fields of its own.
struct QLConfigContextObject {
    nyxel_interface::AllocatorConfigContextObject base;
};

// Defined in the configuration module (module.cpp).  Code of any other
// module must reach them only through the addresses its imports return: they
// live in another shared object, which exports no symbols.
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

struct EngineVariable {
    const char* name;
    const char* signature;  // the capsule name importers compare exactly
    void* address;          // odr-used by the configuration module only
};

inline constexpr EngineVariable kEngineVariableTable[] = {
    {"QL_DEFAULT_ALLOCATOR", nyxel_interface::kProtocolSignature, &QL_DEFAULT_ALLOCATOR},
    {"QL_HEAP_ALLOCATOR", nyxel_interface::kProtocolSignature, &QL_HEAP_ALLOCATOR},
    {"QL_SHM_ALLOCATOR", nyxel_interface::kProtocolSignature, &QL_SHM_ALLOCATOR},
    {"QL_CFG_FREELIST", "bool", &QL_CFG_FREELIST},
    {"QL_CFG_LOCKED", "bool", &QL_CFG_LOCKED},
    {"QL_CFG_SHARED", "bool", &QL_CFG_SHARED},
    {"QL_HEAP_ALLOCATOR_RAW", nyxel_interface::kHeapAllocatorSignature, &QL_HEAP_ALLOCATOR_RAW},
    {"QL_SHM_ALLOCATOR_RAW", nyxel_interface::kShmContextSignature, &QL_SHM_ALLOCATOR_RAW},
    {"QL_FREELIST", kConfigContextSignature, &QL_FREELIST},
    {"QL_LOCKED", kConfigContextSignature, &QL_LOCKED},
    {"QL_LOCKFREE", kConfigContextSignature, &QL_LOCKFREE},
    {"QL_SHARED", kConfigContextSignature, &QL_SHARED},
};

namespace engine_variables_detail {

inline constexpr size_t kCount = std::size(kEngineVariableTable);

// Evaluated only at compile time, so an importer's binary holds the names and
// signatures but no reference to the variables themselves.
consteval std::array<nyxel_interface::VariableImport, kCount> imports() {
    std::array<nyxel_interface::VariableImport, kCount> out{};
    for (size_t i = 0; i < kCount; ++i)
        out[i] = {kConfigModuleName, kEngineVariableTable[i].name, kEngineVariableTable[i].signature};
    return out;
}

consteval size_t index_of(std::string_view name) {
    for (size_t i = 0; i < kCount; ++i)
        if (name == kEngineVariableTable[i].name) return i;
    return kCount;
}

// A repeated name would be exported once, shifting every later position.
consteval bool names_are_distinct() {
    for (size_t i = 0; i < kCount; ++i)
        if (index_of(kEngineVariableTable[i].name) != i) return false;
    return true;
}

}  // namespace engine_variables_detail

static_assert(engine_variables_detail::names_are_distinct());

// The table as importers look it up, one entry per table entry, same order.
inline constexpr std::array<nyxel_interface::VariableImport, engine_variables_detail::kCount> kEngineVariables =
    engine_variables_detail::imports();

// Positions of the variables the topic module reads.
inline constexpr size_t kDefaultAllocator = engine_variables_detail::index_of("QL_DEFAULT_ALLOCATOR");
inline constexpr size_t kHeapAllocator = engine_variables_detail::index_of("QL_HEAP_ALLOCATOR");
static_assert(kDefaultAllocator < engine_variables_detail::kCount && kHeapAllocator < engine_variables_detail::kCount);

}  // namespace ql_config
