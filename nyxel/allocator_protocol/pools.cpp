// Heap pool: size classes and heap-page carving (pooled paths pending).
#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"
#include "nyxel/allocator_protocol/pool_paths.h"

extern "C" uint64_t c_ap_size_class(uint64_t capacity) {
    if (capacity <= 65536) return capacity / 8;
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
    return 0;
}

namespace ap_detail {
allocator_protocol* heap_request(uint64_t, const allocator_protocol*) { return fail_einval(); }
void heap_release(allocator_protocol*) { errno = EINVAL; }
}  // namespace ap_detail
