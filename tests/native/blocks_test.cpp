// Block header, per-source header contents, integrity aborts and argument checks.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/native/ap_alloc_fixtures.h"

namespace {

using namespace ap_test;

enum class source { null_protocol, plain, plain_locked, heap_pool, heap_pool_locked, shm_pool, shm_pool_locked };

struct source_case {
    const char* name;
    source kind;
};

void PrintTo(const source_case& c, std::ostream* os) { *os << c.name; }

// One of every kind of protocol, with the records behind it.
class block_sources : public ::testing::TestWithParam<source_case> {
protected:
    std::unique_ptr<owned_heap> heap = engine_heap();
    owned_shm shm{"apblk", 65536, 4096};
    allocator_protocol protocol{};

    const allocator_protocol* protocol_for(source kind) {
        switch (kind) {
            case source::null_protocol: return nullptr;
            case source::plain: protocol = allocator_protocol{}; break;
            case source::plain_locked: protocol = allocator_protocol{}; protocol.with_lock = 1; break;
            case source::heap_pool: protocol = heap_protocol(heap->get(), false); break;
            case source::heap_pool_locked: protocol = heap_protocol(heap->get(), true); break;
            case source::shm_pool: protocol = shm_protocol(shm.pool.get(), shm.ctx.get(), false); break;
            case source::shm_pool_locked: protocol = shm_protocol(shm.pool.get(), shm.ctx.get(), true); break;
        }
        return &protocol;
    }

    void expect_header_for(source kind, const allocator_protocol* h, uint64_t size) {
        bool heap_src = kind == source::heap_pool || kind == source::heap_pool_locked;
        bool shm_src = kind == source::shm_pool || kind == source::shm_pool_locked;
        bool locked = kind == source::plain_locked || kind == source::heap_pool_locked || kind == source::shm_pool_locked;
        EXPECT_EQ(h->shm_allocator, shm_src ? shm.pool.get() : nullptr);
        EXPECT_EQ(h->shm_ctx, shm_src ? shm.ctx.get() : nullptr);
        EXPECT_EQ(h->heap, heap_src ? heap->get() : nullptr);
        EXPECT_EQ(h->with_lock, locked ? 1 : 0);
        EXPECT_EQ(h->with_shm, shm_src ? 1 : 0);
        EXPECT_EQ(h->with_freelist, heap_src ? 1 : 0);
        EXPECT_TRUE(all_zero(h->reserved, sizeof h->reserved));
        EXPECT_EQ(h->size, size);
        EXPECT_EQ(h->magic, AP_ALLOC_MAGIC);
        EXPECT_EQ(h->ref_count, 1);
    }
};

TEST_P(block_sources, blocks_are_zeroed_aligned_and_carry_their_source) {
    const source kind = GetParam().kind;
    const allocator_protocol* p = protocol_for(kind);
    std::vector<void*> live;
    for (uint64_t size : {0, 1, 7, 8, 41, 100, 4096, 70000}) {
        SCOPED_TRACE(size);
        void* block = c_ap_request(size, p);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 8, 0u);
        EXPECT_TRUE(all_zero(block, size));
        allocator_protocol* h = c_ap_protocol_from_ptr(block);
        EXPECT_EQ(reinterpret_cast<uint8_t*>(h), static_cast<uint8_t*>(block) - 56);
        expect_header_for(kind, h, size);
        std::memset(block, 0xA5, size);
        live.push_back(block);
    }
    // Zero-size blocks are real, distinct blocks.
    void* empty_a = c_ap_request(0, p);
    void* empty_b = c_ap_request(0, p);
    ASSERT_NE(empty_a, nullptr);
    ASSERT_NE(empty_b, nullptr);
    EXPECT_NE(empty_a, empty_b);
    live.push_back(empty_a);
    live.push_back(empty_b);

    for (void* block : live) c_ap_free(block);
    // Released blocks come back zeroed (pooled sources reuse the dirtied memory).
    for (uint64_t size : {41, 100, 4096}) {
        void* block = c_ap_request(size, p);
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(all_zero(block, size));
        c_ap_free(block);
    }
}

// Sizes whose header, rounding, page overhead or page doubling overflow 64 bits.
TEST_P(block_sources, overflowing_sizes_are_refused_with_einval) {
    const source kind = GetParam().kind;
    const allocator_protocol* p = protocol_for(kind);
    bool pooled = kind != source::null_protocol && kind != source::plain && kind != source::plain_locked;
    std::vector<uint64_t> sizes = {UINT64_MAX, UINT64_MAX - 55, UINT64_MAX - 40};
    if (pooled) sizes.insert(sizes.end(), {UINT64_MAX - 56, UINT64_MAX - 62, UINT64_MAX - 100,
                                           UINT64_MAX - 700, uint64_t{1} << 63, (uint64_t{1} << 63) - 100});
    for (uint64_t size : sizes) {
        SCOPED_TRACE(size);
        errno = 0;
        EXPECT_EQ(c_ap_request(size, p), nullptr);
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(heap->get()->page_count, 0u);
    EXPECT_EQ(shm.pool->page_count, 0u);
}

INSTANTIATE_TEST_SUITE_P(all, block_sources,
                         ::testing::Values(source_case{"null_protocol", source::null_protocol},
                                           source_case{"plain", source::plain},
                                           source_case{"plain_locked", source::plain_locked},
                                           source_case{"heap_pool", source::heap_pool},
                                           source_case{"heap_pool_locked", source::heap_pool_locked},
                                           source_case{"shm_pool", source::shm_pool},
                                           source_case{"shm_pool_locked", source::shm_pool_locked}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(blocks, missing_pool_records_are_einval) {
    shm_allocator_ctx empty_ctx{};
    allocator_protocol cases[] = {
        heap_protocol(nullptr, true),
        shm_protocol(nullptr, nullptr, true),
        shm_protocol(nullptr, &empty_ctx, true),
    };
    for (const allocator_protocol& p : cases) {
        errno = 0;
        EXPECT_EQ(c_ap_request(16, &p), nullptr);
        EXPECT_EQ(errno, EINVAL);
    }
}

TEST(blocks, null_pointers_are_ignored) {
    EXPECT_EQ(c_ap_protocol_from_ptr(nullptr), nullptr);
    c_ap_free(nullptr);
    c_ap_free_chain(nullptr);
}

// Chain nodes carry the next node's address at byte 40 of their user data.
void* chain_node(const allocator_protocol* p, void* next) {
    void* node = c_ap_request(64, p);
    std::memcpy(static_cast<uint8_t*>(node) + 40, &next, sizeof next);
    return node;
}

TEST(blocks, free_chain_releases_every_node_even_after_an_unpoolable_one) {
    auto heap = engine_heap();
    allocator_protocol p = heap_protocol(heap->get(), false);
    void* third = chain_node(&p, nullptr);
    void* second = chain_node(&p, third);
    void* first = chain_node(&p, second);
    // A node whose pool bookkeeping is gone cannot be pooled (EINVAL) but the
    // rest of the chain is still released.
    pool_block_of(second)->page = nullptr;

    c_ap_free_chain(first);
    for (void* node : {first, second, third}) {
        const allocator_protocol* h = reinterpret_cast<allocator_protocol*>(static_cast<uint8_t*>(node) - 56);
        EXPECT_EQ(h->magic, AP_DEALLOC_MAGIC);
        EXPECT_EQ(h->ref_count, 0);
    }
    EXPECT_EQ(pool_block_of(first)->in_use_size, 0u);
    EXPECT_EQ(pool_block_of(third)->in_use_size, 0u);
    EXPECT_NE(pool_block_of(second)->in_use_size, 0u);
    // LIFO: the last node released is the first reused; the orphan never is.
    EXPECT_EQ(c_ap_request(64, &p), third);
    EXPECT_EQ(c_ap_request(64, &p), first);
    EXPECT_NE(c_ap_request(64, &p), second);
}

// A block too small to hold a link ends the chain: the bytes behind it belong
// to the next carved block (here its previous-block field, which points back
// at the short block's own bookkeeping) and must not be taken for a link.
TEST(blocks, free_chain_stops_at_a_block_too_small_for_a_link) {
    for (uint64_t short_size : {0, 16, 40, 47}) {
        SCOPED_TRACE(short_size);
        auto heap = engine_heap();  // fresh pages, so the two blocks are neighbours
        allocator_protocol p = heap_protocol(heap->get(), false);
        void* short_node = c_ap_request(short_size, &p);
        void* neighbour = c_ap_request(64, &p);  // carved right behind it
        ASSERT_EQ(reinterpret_cast<uint8_t*>(pool_block_of(neighbour)),
                  reinterpret_cast<uint8_t*>(pool_block_of(short_node)) + 40 + pool_block_of(short_node)->capacity);
        void* first = chain_node(&p, short_node);

        c_ap_free_chain(first);
        EXPECT_EQ(c_ap_protocol_from_ptr(neighbour)->magic, AP_ALLOC_MAGIC);
        EXPECT_EQ(pool_block_of(short_node)->in_use_size, 0u);
        EXPECT_EQ(pool_block_of(first)->in_use_size, 0u);
        c_ap_free(neighbour);
    }
    // 48 user bytes hold a link, which is followed.
    auto heap = engine_heap();
    allocator_protocol p = heap_protocol(heap->get(), false);
    void* last = chain_node(&p, nullptr);
    void* exact = c_ap_request(48, &p);
    std::memcpy(static_cast<uint8_t*>(exact) + 40, &last, sizeof last);
    c_ap_free_chain(exact);
    EXPECT_EQ(pool_block_of(last)->in_use_size, 0u);
}

// Fatal misuse.  Pooled blocks are used where the released memory is read
// again, so the checks see the header rather than freed heap memory.
using blocks_death = ::testing::Test;

TEST_F(blocks_death, second_release_reports_use_after_free) {
    auto heap = engine_heap();
    allocator_protocol p = heap_protocol(heap->get(), false);
    void* block = c_ap_request(32, &p);
    c_ap_free(block);
    EXPECT_DEATH(c_ap_free(block),
                 "\\[AP_ALLOC_VIGILANT\\] ERROR: Use-after-free detected in c_ap_protocol_from_ptr!\n"
                 "\\[AP_ALLOC_VIGILANT\\] Pointer 0x[0-9a-f]+ was already freed \\(dealloc magic: 0xdeaddead\\)\\.\n");
    EXPECT_DEATH(c_ap_protocol_from_ptr(block), "Use-after-free detected");
}

TEST_F(blocks_death, foreign_pointer_reports_magic_mismatch) {
    auto* raw = static_cast<uint8_t*>(std::calloc(1, 128));
    const uint64_t junk = 0x1122334455667788ull;
    std::memcpy(raw + 64 - 16, &junk, sizeof junk);
    const std::string expected =
        "\\[AP_ALLOC_VIGILANT\\] ERROR: Magic mismatch in c_ap_protocol_from_ptr! Not an ap-allocated pointer!\n"
        "\\[AP_ALLOC_VIGILANT\\] Expected: 0xcfbbbbfc, Got: 0x1122334455667788\n"
        "\\[AP_ALLOC_VIGILANT\\] This is likely a raw malloc / calloc'd pointer\\.\n";
    EXPECT_DEATH(c_ap_free(raw + 64), expected);
    EXPECT_DEATH(c_ap_protocol_from_ptr(raw + 64), expected);
    std::free(raw);
}

TEST_F(blocks_death, shared_block_cannot_be_released) {
    void* block = c_ap_request(16, nullptr);
    c_ap_protocol_from_ptr(block)->ref_count = 2;
    EXPECT_DEATH(c_ap_free(block),
                 "\\[AP_ALLOC_VIGILANT\\] ERROR: c_ap_free is not allowed while buffer is shared \\(ref_count>1\\)!\n");
    c_ap_protocol_from_ptr(block)->ref_count = 1;
    c_ap_free(block);
}

TEST_F(blocks_death, header_with_both_pool_flags_aborts) {
    auto heap = engine_heap();
    allocator_protocol p = heap_protocol(heap->get(), false);
    void* block = c_ap_request(16, &p);
    c_ap_protocol_from_ptr(block)->with_shm = 1;
    EXPECT_DEATH(c_ap_free(block),
                 "\\[c_ap_allocator_protocol_free\\] ERROR: Protocol cannot have both with_shm and with_freelist set to "
                 "true!\n");
}

}  // namespace
