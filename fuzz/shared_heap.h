// One pooled heap for a whole fuzz run: pages are never returned, so the
// blocks released by one input are reused by the next.
#pragma once

#include <cstdlib>

#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"

inline heap_allocator* shared_heap() {
    static heap_allocator* heap = [] {
        auto* h = static_cast<heap_allocator*>(std::calloc(1, sizeof(heap_allocator)));
        c_ap_heap_allocator_init(h, 65536, 16u << 20, 4096);
        return h;
    }();
    return heap;
}
