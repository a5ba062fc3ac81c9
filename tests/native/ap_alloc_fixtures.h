// Pool records and protocols for the block allocator tests.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include <sys/mman.h>

#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"
#include "nyxel/allocator_protocol/poison.h"

namespace ap_test {

struct free_deleter {
    void operator()(void* p) const { std::free(p); }
};

// The records are large and owned by C code in production: calloc'd, like there.
template <typename T>
using c_record = std::unique_ptr<T, free_deleter>;

template <typename T>
c_record<T> zeroed_record() {
    return c_record<T>(static_cast<T*>(std::calloc(1, sizeof(T))));
}

// A heap pool record together with its pages.  The allocator never gives
// pages back, so the fixture does, to keep leak checkers quiet.
struct owned_heap {
    c_record<heap_allocator> record = zeroed_record<heap_allocator>();

    owned_heap(uint64_t default_page_size, uint64_t granularity) {
        c_ap_heap_allocator_init(record.get(), default_page_size, 16u << 20, granularity);
    }
    ~owned_heap() {
        for (heap_memory_page* page = record->newest_page; page != nullptr;) {
            heap_memory_page* older = page->next;
            ap_unpoison_region(page, page->size);
            std::free(page);
            page = older;
        }
    }
    heap_allocator* get() const { return record.get(); }
    heap_allocator* operator->() const { return record.get(); }
};

// The engine's heap: 64 KiB default pages, 16 MiB max, 4 KiB granularity.
inline std::unique_ptr<owned_heap> engine_heap() { return std::make_unique<owned_heap>(65536, 4096); }

// A shared-memory allocator with this process's context; unmaps its views
// and drops the page names it created when it goes.
struct owned_shm {
    c_record<shm_allocator> pool = zeroed_record<shm_allocator>();
    c_record<shm_allocator_ctx> ctx = zeroed_record<shm_allocator_ctx>();

    owned_shm(const char* prefix, uint64_t default_page_size, uint64_t granularity) {
        c_ap_shm_allocator_init(pool.get(), prefix, default_page_size, 16u << 20, granularity);
        ctx->allocator = pool.get();
    }
    ~owned_shm() {
        for (shm_page_node* node = ctx->newest_node; node != nullptr;) {
            shm_page_node* older = node->next;
            // The sanitizer's shadow outlives the mapping; a later mapping
            // at the same address must not inherit the poison.
            ap_unpoison_region(node->base, node->page->size);
            munmap(node->base, node->page->size);
            std::free(node);
            node = older;
        }
        c_ap_shm_unlink_created_pages();
    }
};

inline allocator_protocol heap_protocol(heap_allocator* heap, bool locked) {
    allocator_protocol p{};
    p.heap = heap;
    p.with_lock = locked;
    p.with_freelist = 1;
    return p;
}

inline allocator_protocol shm_protocol(shm_allocator* shm, shm_allocator_ctx* ctx, bool locked) {
    allocator_protocol p{};
    p.shm_allocator = shm;
    p.shm_ctx = ctx;
    p.with_lock = locked;
    p.with_shm = 1;
    return p;
}

// Carves one filler block so that exactly `room` bytes (a multiple of 8) stay
// free in the heap's newest page, then stops the heap from making pages: later
// requests are served from that room or the freelists, or fail.  The heap
// must have a page with more than `room` + 96 bytes left.
inline void* leave_only(heap_allocator* heap, uint64_t room) {
    allocator_protocol p = heap_protocol(heap, false);
    const heap_memory_page* page = heap->newest_page;
    const uint64_t left = page->size - page->used;
    void* filler = c_ap_request(left - room - AP_POOL_BLOCK_SIZE - AP_HEADER_SIZE, &p);
    // A default above the granularity's reach makes every new page size unrepresentable.
    heap->default_page_size = uint64_t{3} << 62;
    heap->page_granularity = uint64_t{1} << 63;
    return filler;
}

// Blocks of the heap's pages that are handed out right now.
inline size_t live_blocks(const heap_allocator* heap) {
    size_t live = 0;
    for (const heap_memory_page* page = heap->newest_page; page != nullptr; page = page->next)
        for (const pool_block* block = page->last_block; block != nullptr; block = block->previous_block)
            live += block->in_use_size != 0;
    return live;
}

inline pool_block* pool_block_of(void* user) {
    return reinterpret_cast<pool_block*>(static_cast<uint8_t*>(user) - AP_HEADER_SIZE) - 1;
}

inline bool all_zero(const void* p, size_t n) {
    auto* bytes = static_cast<const uint8_t*>(p);
    for (size_t i = 0; i < n; ++i)
        if (bytes[i] != 0) return false;
    return true;
}

}  // namespace ap_test
