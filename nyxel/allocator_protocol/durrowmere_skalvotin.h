// Allocator protocol: the block header every native record carries, and the
// pooled sources (heap pages with size-class freelists, named shared-memory
// pages) that blocks are drawn from.
//
// Contract of this layer
//  * c_ap_request(size, protocol) hands out `size` zero-filled, 8-byte aligned
//    bytes preceded by a 56-byte allocator_protocol header that records the
//    source.  A null protocol means the plain runtime heap without a lock.
//    Bad arguments (including sizes whose bookkeeping would overflow 64 bits)
//    give null with errno EINVAL; exhausted memory gives null.
//  * c_ap_protocol_from_ptr / c_ap_free check the header magic and abort the
//    process with "[AP_ALLOC_VIGILANT]" lines on a foreign or released block;
//    c_ap_free also aborts on a shared block (ref_count > 1).
//  * Pooled blocks are never returned to the system: released blocks go onto
//    their pool's freelist and are reused LIFO (small classes) or first-fit
//    (top classes).  Pages only grow.  A released heap block over 64 KiB
//    keeps its place on the freelist and its address range, but the whole
//    pages inside it are given back (madvise) until it is handed out again.
//  * All layouts are shared by separately compiled modules (and, for shared
//    memory pages, by other processes) and are pinned with static_asserts.
//  * with_lock protocols serialise pool operations through the allocator's
//    critical section; nothing else here is synchronised.
//  * Shared-memory page objects are created with mode 0600.  An object that
//    already holds a page's name is used only when it belongs to this user
//    and grants no group/other write; otherwise the request fails (EACCES).
//    When an allocator makes its first page, pages of the same name prefix
//    left by dead processes of this user (killed before their exit handlers
//    ran) are removed; the creator's pid is part of every page name.
//  * Nothing here throws: every routine reports failure by its return value.
//  * Under AddressSanitizer released pooled blocks and uncarved page tails
//    are poisoned (see poison.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "critical_section.h"

extern "C" {

inline constexpr uint64_t AP_ALLOC_MAGIC = 0x00000000CFBBBBFCull;
inline constexpr uint64_t AP_DEALLOC_MAGIC = 0x00000000DEADDEADull;
inline constexpr size_t AP_HEADER_SIZE = 56;
inline constexpr size_t AP_POOL_BLOCK_SIZE = 40;
inline constexpr size_t AP_SIZE_CLASS_COUNT = 8202;
inline constexpr size_t AP_SMALL_CLASS_MAX = 8192;  // classes 0..8192 hold one capacity each
inline constexpr uint64_t AP_MAX_PAGE_GROWTH = 0x8000000ull;  // 128 MiB
inline constexpr size_t AP_HEAP_PAGE_HEADER_SIZE = 40;
inline constexpr size_t AP_SHM_PAGE_HEADER_SIZE = 552;
inline constexpr size_t AP_SHM_NAME_SIZE = 256;

struct shm_allocator;
struct shm_allocator_ctx;
struct heap_allocator;

// Configuration record and block header in one.
struct allocator_protocol {
    shm_allocator* shm_allocator;
    shm_allocator_ctx* shm_ctx;
    heap_allocator* heap;
    uint8_t with_lock;
    uint8_t with_shm;
    uint8_t with_freelist;
    uint8_t reserved[5];
    uint64_t size;
    uint64_t magic;
    int64_t ref_count;
};

// Bookkeeping in front of every pooled block's header.
struct pool_block {
    uint64_t capacity;  // header + user bytes, rounded up to 8; fixed once carved
    uint64_t in_use_size;  // request + 56 while handed out, 0 on a freelist
    pool_block* next_free;
    pool_block* previous_block;  // carved before this one in the same page
    void* page;  // heap_memory_page or shm_memory_page
};

struct heap_memory_page {
    uint64_t size;
    uint64_t used;  // offset of the next free byte
    heap_allocator* owner;
    heap_memory_page* next;  // older page
    pool_block* last_block;
};

struct heap_allocator {
    ap_critical_section lock;
    uint64_t page_count;
    heap_memory_page* newest_page;
    uint64_t default_page_size;
    uint64_t max_page_size;  // informational: the request path doubles up to AP_MAX_PAGE_GROWTH
    uint64_t page_granularity;  // power of two
    pool_block* freelists[AP_SIZE_CLASS_COUNT];
};

struct shm_allocator {
    uint8_t opaque_base[520];  // owned by the base library
    uint64_t total_mapped;
    char newest_page_name[AP_SHM_NAME_SIZE];
    uint64_t page_count;
    uint64_t default_page_size;
    uint64_t max_page_size;
    uint64_t page_granularity;
    pool_block* freelists[AP_SIZE_CLASS_COUNT];
    char name_prefix[64];
    ap_critical_section lock;
};

struct shm_page_node {
    struct shm_memory_page* page;
    uint64_t mapping_handle;  // 0 once the view exists
    uint8_t* base;  // carving base: the mapped address
    shm_page_node* next;  // older node
};

struct shm_allocator_ctx {
    shm_allocator* allocator;
    uint64_t reserved[2];
    shm_page_node* newest_node;
};

struct shm_memory_page {
    uint64_t size;
    uint64_t used;
    uint64_t base_offset;  // allocator's total mapped bytes before this page
    shm_allocator* owner;  // address in the creating process
    pool_block* last_block;
    char name[AP_SHM_NAME_SIZE];
    char previous_name[AP_SHM_NAME_SIZE];
};

// Block routines.
void* c_ap_request(uint64_t size, const allocator_protocol* protocol);
allocator_protocol* c_ap_protocol_from_ptr(const void* ptr);
void c_ap_free(void* ptr);
void c_ap_allocator_protocol_free(allocator_protocol* header);
// Releases a chain linked through the pointer at byte 40 of each block's user
// data (0 ends it); a block of fewer than 48 user bytes holds no link and ends
// the chain too.
void c_ap_free_chain(void* ptr);

// Size class of a pooled block capacity: c/8 up to 65536, then log classes up to 8201.
uint64_t c_ap_size_class(uint64_t capacity);

// Record set-up helpers for the owners of pool records (the configuration
// module, tests).  Both return 0 on success, -1 on failure.
int c_ap_heap_allocator_init(heap_allocator* heap, uint64_t default_page_size,
                             uint64_t max_page_size, uint64_t page_granularity);
int c_ap_shm_allocator_init(shm_allocator* shm, const char* name_prefix,
                            uint64_t default_page_size, uint64_t max_page_size,
                            uint64_t page_granularity);

// Removes the names of the shared-memory page objects this process created
// (POSIX names outlive their creator unless unlinked).  Mapped views, also in
// other processes, stay valid.  Runs automatically at process exit.
void c_ap_shm_unlink_created_pages(void);

}  // extern "C"

static_assert(sizeof(allocator_protocol) == 56);
static_assert(offsetof(allocator_protocol, shm_ctx) == 8);
static_assert(offsetof(allocator_protocol, heap) == 16);
static_assert(offsetof(allocator_protocol, with_lock) == 24);
static_assert(offsetof(allocator_protocol, with_shm) == 25);
static_assert(offsetof(allocator_protocol, with_freelist) == 26);
static_assert(offsetof(allocator_protocol, size) == 32);
static_assert(offsetof(allocator_protocol, magic) == 40);
static_assert(offsetof(allocator_protocol, ref_count) == 48);
static_assert(sizeof(pool_block) == 40);
static_assert(offsetof(pool_block, page) == 32);
static_assert(sizeof(heap_memory_page) == 40);
static_assert(offsetof(heap_allocator, page_count) == 40);
static_assert(offsetof(heap_allocator, newest_page) == 48);
static_assert(offsetof(heap_allocator, default_page_size) == 56);
static_assert(offsetof(heap_allocator, page_granularity) == 72);
static_assert(offsetof(heap_allocator, freelists) == 80);
static_assert(sizeof(heap_allocator) == 65696);
static_assert(offsetof(shm_allocator, total_mapped) == 520);
static_assert(offsetof(shm_allocator, newest_page_name) == 528);
static_assert(offsetof(shm_allocator, page_count) == 784);
static_assert(offsetof(shm_allocator, default_page_size) == 792);
static_assert(offsetof(shm_allocator, page_granularity) == 808);
static_assert(offsetof(shm_allocator, freelists) == 816);
static_assert(offsetof(shm_allocator, name_prefix) == 66432);
static_assert(offsetof(shm_allocator, lock) == 66496);
static_assert(sizeof(shm_page_node) == 32);
static_assert(offsetof(shm_allocator_ctx, newest_node) == 24);
static_assert(sizeof(shm_memory_page) == 552);
static_assert(offsetof(shm_memory_page, name) == 40);
static_assert(offsetof(shm_memory_page, previous_name) == 296);
