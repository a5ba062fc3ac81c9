// c_ap_request with its reuse fast path compiled into the caller, for loops
// that request many blocks of one fixed record size (match chains).  With a
// constant size the class lookup folds away and the zeroing loop has a fixed trip count.
// Behaviour is exactly c_ap_request's: the inline part serves only what
// c_ap_request's own fast path would, everything else goes to c_ap_request.
#pragma once

#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"
#include "nyxel/allocator_protocol/pool_paths.h"

inline void* c_ap_request_inline(uint64_t size, const allocator_protocol* protocol) {
    if (void* user = ap_detail::request_fast(size, protocol)) return user;
    return c_ap_request(size, protocol);
}
