// Heap pool: blocks carved from calloc'd pages and recycled through
// size-class freelists.  Pages are never returned to the system.
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"
#include "nyxel/allocator_protocol/pool_paths.h"

extern "C" uint64_t c_ap_size_class(uint64_t capacity) {
    if (capacity <= 65536) return capacity / 8;  // size_class_of's inline case
    uint64_t ceil_log2 = 64 - static_cast<uint64_t>(__builtin_clzll(capacity - 1));
    uint64_t size_class = 8176 + ceil_log2;
    return size_class < AP_SIZE_CLASS_COUNT - 1 ? size_class : AP_SIZE_CLASS_COUNT - 1;
}

extern "C" int c_ap_heap_allocator_init(heap_allocator* heap, uint64_t default_page_size,
                                        uint64_t max_page_size, uint64_t page_granularity) {
    if (heap == nullptr) return -1;
    ap_critical_section_init(&heap->lock);
    heap->default_page_size = default_page_size;
    heap->max_page_size = max_page_size;
    heap->page_granularity = page_granularity;
    std::memset(heap->freelists, 0, sizeof heap->freelists);
    return 0;
}

namespace ap_detail {

namespace {

// Off the hot path: a request needs a new page about once per 64 KiB or more.
[[gnu::noinline, gnu::cold]] heap_memory_page* new_heap_page(heap_allocator* heap, uint64_t capacity) {
    heap_memory_page* newest = heap->newest_page;
    uint64_t page_size = next_page_size(heap->default_page_size, newest != nullptr, newest ? newest->size : 0,
                                        capacity + kHeapPageOverhead, heap->page_granularity);
    if (page_size == 0) {
        errno = EINVAL;
        return nullptr;
    }
    auto* page = static_cast<heap_memory_page*>(std::calloc(1, page_size));
    if (page == nullptr) return nullptr;
    page->size = page_size;
    page->used = AP_HEAP_PAGE_HEADER_SIZE;
    page->owner = heap;
    page->next = newest;
    page->last_block = nullptr;
    heap->newest_page = page;
    heap->page_count += 1;
    ap_poison_region(reinterpret_cast<uint8_t*>(page) + AP_HEAP_PAGE_HEADER_SIZE, page_size - AP_HEAP_PAGE_HEADER_SIZE);
    return page;
}

// A released top-class block (more than 64 KiB, such as a grown table's old
// bucket array) gives the whole pages inside it back to the system.  The
// mapping and the block's bookkeeping stay, so the block is still reused from
// its freelist; its pages read zero until written again.  Must run while the
// block is still ours, before it goes onto a freelist.
void return_interior_pages(pool_block* block) {
    if (block->capacity <= 65536) return;
    constexpr uintptr_t kPage = 4096;
    const auto start = reinterpret_cast<uintptr_t>(header_of_block(block)) + AP_HEADER_SIZE;
    const uintptr_t first = (start + kPage - 1) & ~(kPage - 1);
    const uintptr_t end = (start - AP_HEADER_SIZE + block->capacity) & ~(kPage - 1);
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_DONTNEED);
}

}  // namespace

allocator_protocol* heap_request(uint64_t size, const allocator_protocol* protocol) {
    heap_allocator* heap = protocol->heap;
    uint64_t capacity;
    if (heap == nullptr || !pooled_capacity(size, kHeapPageOverhead, &capacity)) return fail_einval();

    pool_block* block;
    bool reused;
    {
        ap_lock_guard guard(protocol->with_lock ? &heap->lock : nullptr);
        block = take_free_block(heap->freelists, capacity);
        reused = block != nullptr;
        if (!reused) {
            heap_memory_page* page = heap->newest_page;
            if (page == nullptr || !fits_in_page(page->used, page->size, capacity)) {
                page = new_heap_page(heap, capacity);
                if (page == nullptr) return nullptr;
            }
            block = carve_block(reinterpret_cast<uint8_t*>(page), &page->used, &page->last_block, page, capacity);
        }
        block->in_use_size = size + AP_HEADER_SIZE;
        block->next_free = nullptr;
    }
    // The block is ours alone now; zero it outside the lock.  A freshly carved
    // block has never been written since its page was calloc'd.
    allocator_protocol* header = hand_out_block(block, block->capacity, reused);
    header->heap = heap;
    header->with_freelist = 1;
    return header;
}

void heap_release(allocator_protocol* header) {
    pool_block* block = block_of_header(header);
    auto* page = static_cast<heap_memory_page*>(block->page);
    if (page == nullptr || page->owner == nullptr) {
        errno = EINVAL;
        return;
    }
    return_interior_pages(block);
    heap_allocator* owner = page->owner;
    heap_allocator* lock_owner = header->heap != nullptr ? header->heap : owner;
    ap_lock_guard guard(header->with_lock ? &lock_owner->lock : nullptr);
    push_free_block(owner->freelists, block);
}

}  // namespace ap_detail
