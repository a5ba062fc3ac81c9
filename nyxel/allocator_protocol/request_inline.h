// Requests of many blocks from one source with c_ap_request's reuse fast
// path compiled into the caller (match chains request one node per
// position).  Whether the source is an unlocked heap pool is decided once:
// its flags are bytes, which the compiler must otherwise reload after every
// store into a block.  Behaviour is exactly c_ap_request's: the inline part
// serves only what c_ap_request's own fast path would, everything else goes
// to c_ap_request.
#pragma once

#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"
#include "nyxel/allocator_protocol/pool_paths.h"

class ap_block_requester {
public:
    explicit ap_block_requester(const allocator_protocol* protocol)
        : protocol_(protocol), unlocked_heap_(ap_detail::unlocked_heap_of(protocol)) {}

    void* request(uint64_t size) const {
        if (unlocked_heap_ != nullptr) {
            if (void* user = ap_detail::reuse_from_own_class(unlocked_heap_, size)) return user;
        }
        return c_ap_request(size, protocol_);
    }

private:
    const allocator_protocol* protocol_;
    heap_allocator* unlocked_heap_;
};
