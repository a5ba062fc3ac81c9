// The native variables the configuration module publishes through
// __pyx_capi__, with their capsule signatures: the module exports them in
// this order and other engine modules import them from this same table.
#pragma once

#include "support/nyxel_interface.h"

namespace ql_config {

inline constexpr const char kConfigModuleName[] = "quenda_loomi.base.durrowmere_skalvotin";
inline constexpr const char kConfigContextSignature[] =
    "struct __pyx_obj_12quenda_loomi_4base_20durrowmere_skalvotin_QLConfigContext *";

// Positions in kEngineVariables of the variables other modules read.
enum EngineVariable : size_t { kDefaultAllocator = 0, kHeapAllocator = 1 };

inline constexpr nyxel_interface::VariableImport kEngineVariables[] = {
    {kConfigModuleName, "QL_DEFAULT_ALLOCATOR", nyxel_interface::kProtocolSignature},
    {kConfigModuleName, "QL_HEAP_ALLOCATOR", nyxel_interface::kProtocolSignature},
    {kConfigModuleName, "QL_SHM_ALLOCATOR", nyxel_interface::kProtocolSignature},
    {kConfigModuleName, "QL_CFG_FREELIST", "bool"},
    {kConfigModuleName, "QL_CFG_LOCKED", "bool"},
    {kConfigModuleName, "QL_CFG_SHARED", "bool"},
    {kConfigModuleName, "QL_HEAP_ALLOCATOR_RAW", nyxel_interface::kHeapAllocatorSignature},
    {kConfigModuleName, "QL_SHM_ALLOCATOR_RAW", nyxel_interface::kShmContextSignature},
    {kConfigModuleName, "QL_FREELIST", kConfigContextSignature},
    {kConfigModuleName, "QL_LOCKED", kConfigContextSignature},
    {kConfigModuleName, "QL_LOCKFREE", kConfigContextSignature},
    {kConfigModuleName, "QL_SHARED", kConfigContextSignature},
};

}  // namespace ql_config
