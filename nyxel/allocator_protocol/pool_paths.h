// Internal seams between the block routines and the two pooled sources, and
// the freelist / page arithmetic both pools share.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"
#include "nyxel/allocator_protocol/poison.h"

namespace ap_detail {

// Pooled request paths; they return the header of a zeroed block (with_lock,
// size, magic and ref_count are set by the caller) or null with errno set.
// Blocks carved from a fresh heap page are already zero (pages come from
// calloc and carving only moves forward), so only reused blocks are zeroed.
allocator_protocol* heap_request(uint64_t size, const allocator_protocol* protocol);
allocator_protocol* shm_request(uint64_t size, const allocator_protocol* protocol);

// Pooled release of a block already marked released.
void heap_release(allocator_protocol* header);
void shm_release(allocator_protocol* header);

inline allocator_protocol* fail_einval() {
    errno = EINVAL;
    return nullptr;
}

// Bytes a heap / shm page needs beyond a block's capacity: page header + pool_block.
inline constexpr uint64_t kHeapPageOverhead = AP_HEAP_PAGE_HEADER_SIZE + AP_POOL_BLOCK_SIZE;  // 80
inline constexpr uint64_t kShmPageOverhead = AP_SHM_PAGE_HEADER_SIZE + AP_POOL_BLOCK_SIZE;  // 592

// Keeping capacity + page overhead at or below 2^63 guarantees that doubling a
// page size until it covers the block cannot wrap around.
inline constexpr uint64_t kLargestPageNeed = uint64_t{1} << 63;

// Capacity of a pooled block for `size` user bytes (header included, rounded
// up to 8), or false when the page arithmetic for it would overflow.
inline bool pooled_capacity(uint64_t size, uint64_t page_overhead, uint64_t* capacity) {
    if (size > kLargestPageNeed - page_overhead - AP_HEADER_SIZE - 7) return false;
    *capacity = (size + AP_HEADER_SIZE + 7) & ~uint64_t{7};
    return true;
}

// Size of the next page: the default, or twice the newest page (at most
// AP_MAX_PAGE_GROWTH) once pages have reached the default; doubled until it
// holds `need` bytes, rounded up to the granularity.  0 if not representable.
inline uint64_t next_page_size(uint64_t default_size, bool has_newest, uint64_t newest_size,
                               uint64_t need, uint64_t granularity) {
    uint64_t size = default_size;
    if (has_newest && newest_size >= default_size)
        size = newest_size >= AP_MAX_PAGE_GROWTH / 2 ? AP_MAX_PAGE_GROWTH : 2 * newest_size;
    if (size == 0) size = 1;  // a zero default would never grow
    while (size < need) size *= 2;  // need <= 2^63, so this cannot wrap
    if (granularity > 1) {
        if (size > UINT64_MAX - (granularity - 1)) return 0;
        size = (size + granularity - 1) / granularity * granularity;
    }
    return size;
}

// Size class of a capacity; the small classes (the common case) need only a
// shift, so the hot paths test for them inline before calling the full rule.
inline uint64_t size_class_of(uint64_t capacity) {
    return capacity <= 65536 ? capacity / 8 : c_ap_size_class(capacity);
}

// Zero bytes stored 32 at a time.  Blocks are only 8-byte aligned, so the
// stores go through a fixed-size memcpy (unaligned vector stores, no
// alignment assumption).
inline constexpr unsigned char kZeroBytes[32] = {};

// Zeroes `capacity` bytes (a multiple of 8, at least the 56-byte header) from
// `start`.  Most blocks are a few hundred bytes: 32 bytes per loop turn and a
// last 32 bytes stored flush with the end (overlapping the loop's stores)
// leave a single data-dependent branch, where memset first dispatches on the
// size.  Large blocks still take memset.  The empty asm hides the pointer
// from the optimiser, which would otherwise turn the loop back into memset.
inline void zero_block(void* start, uint64_t capacity) {
    auto* p = static_cast<unsigned char*>(start);
    // A capacity known at compile time (a fixed record through an inlined
    // request) becomes straight 16-byte stores, no loop.
    if (__builtin_constant_p(capacity) && capacity >= 16 && capacity <= 256) {
#pragma GCC unroll 16
        for (uint64_t offset = 0; offset + 16 <= capacity; offset += 16) std::memcpy(p + offset, kZeroBytes, 16);
        std::memcpy(p + capacity - 16, kZeroBytes, 16);
        return;
    }
    if (capacity >= 1024) {
        std::memset(p, 0, capacity);
        return;
    }
    unsigned char* const last = p + capacity - 32;
    for (; p < last; p += 32) {
        std::memcpy(p, kZeroBytes, sizeof kZeroBytes);
        asm("" : "+r"(p));
    }
    std::memcpy(last, kZeroBytes, sizeof kZeroBytes);
}

// Takes a reusable block of at least `capacity` bytes off the freelists.
// Small classes are LIFO and also accept the next two (at most 16 bytes
// larger) classes; each top class is searched first-fit.
inline pool_block* take_free_block(pool_block** freelists, uint64_t capacity) {
    uint64_t size_class = size_class_of(capacity);
    if (size_class <= AP_SMALL_CLASS_MAX) {
        uint64_t last = size_class + 2 < AP_SMALL_CLASS_MAX ? size_class + 2 : AP_SMALL_CLASS_MAX;
        for (uint64_t c = size_class; c <= last; ++c) {
            if (pool_block* head = freelists[c]) {
                freelists[c] = head->next_free;
                return head;
            }
        }
        return nullptr;
    }
    for (pool_block** link = &freelists[size_class]; *link != nullptr; link = &(*link)->next_free) {
        pool_block* block = *link;
        if (block->capacity >= capacity) {
            *link = block->next_free;
            return block;
        }
    }
    return nullptr;
}

// Puts a released block on its class's list.  Its user bytes are poisoned
// before it becomes reachable through the list, so that no other thread can
// have taken and unpoisoned it first.
inline void push_free_block(pool_block** freelists, pool_block* block) {
    uint64_t size_class = size_class_of(block->capacity);
    ap_poison_region(reinterpret_cast<uint8_t*>(block + 1) + AP_HEADER_SIZE, block->capacity - AP_HEADER_SIZE);
    block->in_use_size = 0;
    block->next_free = freelists[size_class];
    freelists[size_class] = block;
}

// Carves a block at `page_base + *used`; the caller has checked that it fits.
// The bytes come out of the page's poisoned tail.
inline pool_block* carve_block(uint8_t* page_base, uint64_t* used, pool_block** last_block, void* page,
                               uint64_t capacity) {
    auto* block = reinterpret_cast<pool_block*>(page_base + *used);
    ap_unpoison_region(block, AP_POOL_BLOCK_SIZE + capacity);
    block->capacity = capacity;
    block->next_free = nullptr;
    block->previous_block = *last_block;
    block->page = page;
    *used += capacity + AP_POOL_BLOCK_SIZE;
    *last_block = block;
    return block;
}

inline bool fits_in_page(uint64_t used, uint64_t page_size, uint64_t capacity) {
    return used <= page_size && capacity + AP_POOL_BLOCK_SIZE <= page_size - used;
}

// Makes a block taken off a freelist or just carved addressable and zero
// (header and user bytes); the block is the caller's alone by now.
// `capacity` is block->capacity, passed in where the caller knows it as a
// small constant-bounded value.  `zero` is false only for a block known to be
// zero already (carved from a calloc'd heap page and never written).
inline allocator_protocol* hand_out_block(pool_block* block, uint64_t capacity, bool zero = true);

inline allocator_protocol* header_of_block(pool_block* block) {
    return reinterpret_cast<allocator_protocol*>(block + 1);
}

inline pool_block* block_of_header(allocator_protocol* header) {
    return reinterpret_cast<pool_block*>(header) - 1;
}

inline allocator_protocol* hand_out_block(pool_block* block, uint64_t capacity, bool zero) {
    allocator_protocol* header = header_of_block(block);
    ap_unpoison_region(header, capacity);
    if (zero) zero_block(header, capacity);
    return header;
}

// The fast paths below are what c_ap_request / c_ap_free take for an
// unlocked heap protocol; everything else goes through heap_request /
// heap_release.

// Stamps the header of a block a source has just handed out and gives its
// user bytes.
inline void* stamp_handed_out(allocator_protocol* header, uint64_t size, uint8_t with_lock) {
    header->with_lock = with_lock;
    header->size = size;
    header->ref_count = 1;
    header->magic = AP_ALLOC_MAGIC;
    return reinterpret_cast<unsigned char*>(header) + AP_HEADER_SIZE;
}

// The heap of an unlocked heap protocol, the only source the inline request
// path serves; null for every other protocol.
inline heap_allocator* unlocked_heap_of(const allocator_protocol* protocol) {
    if (protocol == nullptr || !protocol->with_freelist || protocol->with_shm || protocol->with_lock) return nullptr;
    return protocol->heap;
}

// Hand-out fast path of an unlocked heap: the head of the block's own small
// class, which is what take_free_block would pick first.  Null when
// heap_request must decide (empty class, large block).
inline void* reuse_from_own_class(heap_allocator* heap, uint64_t size) {
    // Blocks under 1 KiB: their zeroing never calls memset, so this path calls nothing.
    if (size > 1024 - AP_HEADER_SIZE - 8) return nullptr;
    const uint64_t capacity = (size + AP_HEADER_SIZE + 7) & ~uint64_t{7};
    pool_block** head = &heap->freelists[capacity / 8];
    pool_block* block = *head;
    if (block == nullptr) return nullptr;
    *head = block->next_free;
    block->in_use_size = size + AP_HEADER_SIZE;
    block->next_free = nullptr;
    // A small class holds a single capacity, so block->capacity == capacity.
    allocator_protocol* header = hand_out_block(block, capacity);
    header->heap = heap;
    header->with_freelist = 1;
    return stamp_handed_out(header, size, 0);
}

// The whole of c_ap_request for a block the fast path can serve; null when
// the request needs the out-of-line paths.
inline void* request_fast(uint64_t size, const allocator_protocol* protocol) {
    heap_allocator* heap = unlocked_heap_of(protocol);
    return heap != nullptr ? reuse_from_own_class(heap, size) : nullptr;
}

// Whether a header belongs to an unlocked heap pool block: with_lock 0,
// with_shm 0, with_freelist 1.  The three flag bytes are adjacent, so one
// load and compare decides what would otherwise be three byte tests.
inline bool is_unlocked_heap_block(const allocator_protocol* header) {
    static_assert(offsetof(allocator_protocol, with_shm) == offsetof(allocator_protocol, with_lock) + 1 &&
                  offsetof(allocator_protocol, with_freelist) == offsetof(allocator_protocol, with_lock) + 2);
    constexpr uint8_t expected_bytes[4] = {0, 0, 1, 0};
    uint32_t flags, expected;
    std::memcpy(&flags, &header->with_lock, sizeof flags);
    std::memcpy(&expected, expected_bytes, sizeof expected);
    uint32_t mask;
    constexpr uint8_t mask_bytes[4] = {0xFF, 0xFF, 0xFF, 0};
    std::memcpy(&mask, mask_bytes, sizeof mask);
    return (flags & mask) == expected;
}

// Release fast path of an unlocked heap block (is_unlocked_heap_block) of a
// small class: straight onto the head of its class.  False when
// heap_release must decide (damaged page link, top class).
inline bool heap_release_fast(allocator_protocol* header) {
    pool_block* block = block_of_header(header);
    auto* page = static_cast<heap_memory_page*>(block->page);
    if (page == nullptr || page->owner == nullptr || block->capacity > 65536) return false;
    push_free_block(page->owner->freelists, block);
    return true;
}

}  // namespace ap_detail
