// Fuzz target: the pooled heap allocator and plain blocks.
//
// Random request / release / chain-release sequences over a fresh heap pool
// (locked and unlocked protocols, small and top size classes, pages of
// varying default size and granularity) and the plain heap.  Checked on
// every step:
//  * a block is handed out 8-byte aligned and zero-filled, with the header
//    its source prescribes and a pool_block that lies inside its page;
//  * a pooled request reuses the freelist block the size-class rules name
//    (LIFO over classes c..c+2, first-fit in a top class) or carves anew;
//  * no two live blocks overlap, and a live block's bytes are never touched
//    by another request or release (each carries a fill pattern);
//  * a released pooled block carries the released header and heads its
//    class's freelist;
//  * at the end, the pages' block chains, the freelists and the live set
//    account for every carved block.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"

// Absurd sizes must come back as null, not as a sanitizer report.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

enum class source { null_protocol, plain, plain_locked, heap, heap_locked, count };

struct live_block {
    uint8_t* user;
    uint64_t size;
    uint8_t fill;
    bool pooled;
};

allocator_protocol* header_of(void* user) {
    return reinterpret_cast<allocator_protocol*>(static_cast<uint8_t*>(user) - AP_HEADER_SIZE);
}

pool_block* pool_block_of(void* user) { return reinterpret_cast<pool_block*>(header_of(user)) - 1; }

uint64_t capacity_for(uint64_t size) { return (size + AP_HEADER_SIZE + 7) & ~uint64_t{7}; }

// The freelist block a pooled request of `capacity` must take, or null.
pool_block* expected_reuse(heap_allocator* heap, uint64_t capacity) {
    const uint64_t size_class = c_ap_size_class(capacity);
    if (size_class <= AP_SMALL_CLASS_MAX) {
        for (uint64_t c = size_class; c <= size_class + 2 && c <= AP_SMALL_CLASS_MAX; ++c)
            if (heap->freelists[c] != nullptr) return heap->freelists[c];
        return nullptr;
    }
    for (pool_block* b = heap->freelists[size_class]; b != nullptr; b = b->next_free)
        if (b->capacity >= capacity) return b;
    return nullptr;
}

// Long scans (blocks of up to 600 KiB, all 8202 freelists) are kept out of
// the coverage instrumentation, which would otherwise dominate the run time.
#define UNINSTRUMENTED __attribute__((noinline, no_sanitize("coverage")))

UNINSTRUMENTED bool is_zero(const uint8_t* p, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

UNINSTRUMENTED bool is_filled(const uint8_t* p, uint64_t n, uint8_t fill) {
    for (uint64_t i = 0; i < n; ++i)
        if (p[i] != fill) return false;
    return true;
}

class allocator_session {
public:
    allocator_session(uint64_t default_page_size, uint64_t granularity)
        : heap_(static_cast<heap_allocator*>(std::calloc(1, sizeof(heap_allocator)))) {
        FUZZ_CHECK(heap_ != nullptr);
        FUZZ_CHECK(c_ap_heap_allocator_init(heap_, default_page_size, 16u << 20, granularity) == 0);
    }

    ~allocator_session() {
        check_pages();
        for (live_block& block : live_) c_ap_free(block.user);
        for (heap_memory_page* page = heap_->newest_page; page != nullptr;) {
            heap_memory_page* older = page->next;
            std::free(page);
            page = older;
        }
        std::free(heap_);
    }

    void request(source from, uint64_t size) {
        allocator_protocol protocol{};
        const bool pooled = from == source::heap || from == source::heap_locked;
        protocol.with_lock = from == source::plain_locked || from == source::heap_locked;
        if (pooled) {
            protocol.heap = heap_;
            protocol.with_freelist = 1;
        }
        const allocator_protocol* passed = from == source::null_protocol ? nullptr : &protocol;

        pool_block* reuse = nullptr;
        heap_memory_page* newest_before = heap_->newest_page;
        if (pooled && size <= (uint64_t{1} << 40)) reuse = expected_reuse(heap_, capacity_for(size));

        errno = 0;
        auto* user = static_cast<uint8_t*>(c_ap_request(size, passed));
        if (user == nullptr) {
            // Only sizes no page or heap can hold may fail here.
            FUZZ_CHECK(size > (uint64_t{1} << 40));
            if (pooled && size > UINT64_MAX - AP_HEADER_SIZE - 600) FUZZ_CHECK(errno == EINVAL);
            FUZZ_CHECK(heap_->newest_page == newest_before);
            return;
        }
        FUZZ_CHECK(size <= (uint64_t{1} << 40));
        FUZZ_CHECK(reinterpret_cast<uintptr_t>(user) % 8 == 0);
        FUZZ_CHECK(is_zero(user, size));

        const allocator_protocol* header = header_of(user);
        FUZZ_CHECK(c_ap_protocol_from_ptr(user) == header);
        FUZZ_CHECK(header->magic == AP_ALLOC_MAGIC);
        FUZZ_CHECK(header->ref_count == 1);
        FUZZ_CHECK(header->size == size);
        FUZZ_CHECK(header->with_lock == protocol.with_lock);
        FUZZ_CHECK(header->with_shm == 0);
        FUZZ_CHECK(header->with_freelist == (pooled ? 1 : 0));
        FUZZ_CHECK(header->heap == (pooled ? heap_ : nullptr));
        FUZZ_CHECK(header->shm_allocator == nullptr && header->shm_ctx == nullptr);
        FUZZ_CHECK(is_zero(header->reserved, sizeof header->reserved));

        uintptr_t begin = reinterpret_cast<uintptr_t>(header);
        uintptr_t end = begin + AP_HEADER_SIZE + size;
        if (pooled) {
            pool_block* block = pool_block_of(user);
            const uint64_t needed = capacity_for(size);
            if (reuse != nullptr) {
                FUZZ_CHECK(block == reuse);
            } else {
                FUZZ_CHECK(heap_->newest_page != nullptr && heap_->newest_page->last_block == block);
                FUZZ_CHECK(block->capacity == needed);
            }
            FUZZ_CHECK(block->capacity >= needed && block->capacity % 8 == 0);
            if (c_ap_size_class(needed) <= AP_SMALL_CLASS_MAX) FUZZ_CHECK(block->capacity <= needed + 16);
            else FUZZ_CHECK(c_ap_size_class(block->capacity) == c_ap_size_class(needed));
            FUZZ_CHECK(block->in_use_size == size + AP_HEADER_SIZE);
            FUZZ_CHECK(block->next_free == nullptr);
            auto* page = static_cast<heap_memory_page*>(block->page);
            FUZZ_CHECK(page != nullptr && page->owner == heap_);
            const auto page_at = reinterpret_cast<uintptr_t>(page);
            begin = reinterpret_cast<uintptr_t>(block);
            end = reinterpret_cast<uintptr_t>(header) + block->capacity;
            FUZZ_CHECK(begin >= page_at + AP_HEAP_PAGE_HEADER_SIZE && end <= page_at + page->used);
            FUZZ_CHECK(page->used <= page->size);
            FUZZ_CHECK(page->size % (heap_->page_granularity ? heap_->page_granularity : 1) == 0);
        }
        claim(begin, end);

        const uint8_t fill = static_cast<uint8_t>(++fills_ | 1);
        std::memset(user, fill, size);
        live_.push_back({user, size, fill, pooled});
    }

    void release(size_t pick) {
        if (live_.empty()) return;
        live_block block = take(pick);
        c_ap_free(block.user);
        if (block.pooled) check_released(block);
    }

    // Links up to `n` live blocks (those big enough to hold the link) and
    // releases them as one chain.
    void release_chain(size_t pick, size_t n) {
        std::vector<live_block> chain;
        for (size_t i = 0; i < n && !live_.empty(); ++i) {
            live_block block = take(pick + i);
            if (block.size < 48) {
                c_ap_free(block.user);
                if (block.pooled) check_released(block);
                continue;
            }
            if (!chain.empty()) std::memcpy(chain.back().user + 40, &block.user, sizeof block.user);
            chain.push_back(block);
        }
        if (chain.empty()) return;
        void* end_of_chain = nullptr;
        std::memcpy(chain.back().user + 40, &end_of_chain, sizeof end_of_chain);
        c_ap_free_chain(chain.front().user);
        // Later blocks of the same class have been pushed on top.
        for (const live_block& block : chain)
            if (block.pooled) check_released(block, false);
    }

private:
    // Checks that [begin, end) overlaps no live block and records it.
    void claim(uintptr_t begin, uintptr_t end) {
        auto next = spans_.lower_bound(begin);
        if (next != spans_.end()) FUZZ_CHECK(next->first >= end);
        if (next != spans_.begin()) FUZZ_CHECK(std::prev(next)->second <= begin);
        spans_.emplace(begin, end);
    }

    live_block take(size_t pick) {
        const size_t index = pick % live_.size();
        live_block block = live_[index];
        live_[index] = live_.back();
        live_.pop_back();
        // Nothing handed out or released since may have touched its bytes.
        FUZZ_CHECK(is_filled(block.user, block.size, block.fill));
        const uintptr_t begin = block.pooled ? reinterpret_cast<uintptr_t>(pool_block_of(block.user))
                                             : reinterpret_cast<uintptr_t>(header_of(block.user));
        FUZZ_CHECK(spans_.erase(begin) == 1);
        return block;
    }

    void check_released(const live_block& block, bool last_released = true) {
        const allocator_protocol* header = header_of(block.user);
        const pool_block* pb = pool_block_of(block.user);
        FUZZ_CHECK(header->magic == AP_DEALLOC_MAGIC);
        FUZZ_CHECK(header->ref_count == 0);
        FUZZ_CHECK(pb->in_use_size == 0);
        const pool_block* listed = heap_->freelists[c_ap_size_class(pb->capacity)];
        if (!last_released)
            while (listed != nullptr && listed != pb) listed = listed->next_free;
        FUZZ_CHECK(listed == pb);
    }

    // Every carved block is either live or on exactly the freelist of its class.
    UNINSTRUMENTED void check_pages() {
        size_t carved = 0, in_use = 0, free_listed = 0;
        for (const heap_memory_page* page = heap_->newest_page; page != nullptr; page = page->next) {
            FUZZ_CHECK(page->owner == heap_ && page->used <= page->size);
            uint64_t used = AP_HEAP_PAGE_HEADER_SIZE;
            for (const pool_block* b = page->last_block; b != nullptr; b = b->previous_block) {
                FUZZ_CHECK(b->page == page);
                used += b->capacity + AP_POOL_BLOCK_SIZE;
                ++carved;
                in_use += b->in_use_size != 0;
            }
            FUZZ_CHECK(used == page->used);
        }
        for (uint64_t c = 0; c < AP_SIZE_CLASS_COUNT; ++c) {
            for (const pool_block* b = heap_->freelists[c]; b != nullptr; b = b->next_free) {
                FUZZ_CHECK(b->in_use_size == 0 && c_ap_size_class(b->capacity) == c);
                FUZZ_CHECK(++free_listed <= carved);
            }
        }
        size_t live_pooled = 0;
        for (const live_block& block : live_) live_pooled += block.pooled;
        FUZZ_CHECK(in_use == live_pooled);
        FUZZ_CHECK(carved == in_use + free_listed);
    }

    heap_allocator* heap_;
    std::vector<live_block> live_;
    std::map<uintptr_t, uintptr_t> spans_;  // start -> end of every live block's memory
    unsigned fills_ = 0;
};

uint64_t request_size(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 15)) {
        case 0:  // around the last small class and the first top class
            return in.ConsumeIntegralInRange<uint64_t>(65536 - 56 - 24, 65536 - 56 + 24);
        case 1:  // top classes
            return in.ConsumeIntegralInRange<uint64_t>(65481, 600 * 1024);
        case 2: {  // sizes no pool can hold, and the EINVAL edges
            static constexpr uint64_t absurd[] = {UINT64_MAX, UINT64_MAX - 55, UINT64_MAX - 56,
                                                  UINT64_MAX - 63, uint64_t{1} << 63, uint64_t{1} << 62};
            return absurd[in.ConsumeIntegralInRange<size_t>(0, std::size(absurd) - 1)];
        }
        default:  // small classes, often adjacent so that c..c+2 reuse happens
            return in.ConsumeIntegralInRange<uint64_t>(0, 640);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    static constexpr uint64_t page_sizes[] = {0, 512, 4096, 65536};
    static constexpr uint64_t granularities[] = {0, 1, 8, 4096};
    allocator_session session(page_sizes[in.ConsumeIntegralInRange<size_t>(0, 3)],
                              granularities[in.ConsumeIntegralInRange<size_t>(0, 3)]);
    for (int step = 0; step < 256 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
            case 0: case 1: case 2: case 3: {
                const auto from = static_cast<source>(
                    in.ConsumeIntegralInRange<int>(0, static_cast<int>(source::count) - 1));
                session.request(from, request_size(in));
                break;
            }
            case 4: case 5: case 6:
                session.release(in.ConsumeIntegral<uint16_t>());
                break;
            case 7:
                session.release_chain(in.ConsumeIntegral<uint16_t>(), in.ConsumeIntegralInRange<size_t>(1, 6));
                break;
        }
    }
    return 0;
}
