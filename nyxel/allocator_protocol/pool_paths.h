// Internal seams between the block routines and the two pooled sources.
#pragma once

#include <cerrno>
#include <cstdint>

#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"

namespace ap_detail {

// Pooled request paths; they return the header of a zeroed block (size,
// magic and ref_count are set by the caller) or null with errno set.
allocator_protocol* heap_request(uint64_t size, const allocator_protocol* protocol);
allocator_protocol* shm_request(uint64_t size, const allocator_protocol* protocol);

// Pooled release of a block already marked released.
void heap_release(allocator_protocol* header);
void shm_release(allocator_protocol* header);

inline allocator_protocol* fail_einval() {
    errno = EINVAL;
    return nullptr;
}

}  // namespace ap_detail
