// Under AddressSanitizer the pools poison what is not handed out: the user
// bytes of released blocks and the uncarved tail of every page.  A stray use
// of a released topic, part or match node is then reported like any heap bug.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <unistd.h>

#include "tests/native/ap_alloc_fixtures.h"

namespace {

using namespace ap_test;

// A read the compiler cannot drop or move.
__attribute__((noinline)) uint8_t read_byte(const void* p) { return *static_cast<const volatile uint8_t*>(p); }

enum class source { heap_unlocked, heap_locked, shm };

std::string source_name(const ::testing::TestParamInfo<source>& info) {
    switch (info.param) {
        case source::heap_unlocked: return "heap_unlocked";
        case source::heap_locked: return "heap_locked";
        case source::shm: return "shm";
    }
    return "unknown";
}

class pooled_poisoning : public ::testing::TestWithParam<source> {
protected:
    void SetUp() override {
        if (!ap_poisoning_enabled) GTEST_SKIP() << "poisoning exists only in the AddressSanitizer build";
        // Forked, not re-executed, death tests: a re-run of the test body in
        // the child would make shared-memory pages that nobody removes.
        GTEST_FLAG_SET(death_test_style, "fast");
        if (GetParam() == source::shm) {
            char prefix[64];
            std::snprintf(prefix, sizeof prefix, "appoison%lx", static_cast<unsigned long>(getpid()));
            shm = std::make_unique<owned_shm>(prefix, 65536, 4096);
            protocol = shm_protocol(shm->pool.get(), shm->ctx.get(), true);
        } else {
            protocol = heap_protocol(heap->get(), GetParam() == source::heap_locked);
        }
    }

    // First byte past the newest page's carved blocks.
    const uint8_t* page_tail() const {
        if (shm) return shm->ctx->newest_node->base + shm->ctx->newest_node->page->used;
        const heap_memory_page* page = heap->get()->newest_page;
        return reinterpret_cast<const uint8_t*>(page) + page->used;
    }

    std::unique_ptr<owned_heap> heap = engine_heap();
    std::unique_ptr<owned_shm> shm;
    allocator_protocol protocol{};
};

TEST_P(pooled_poisoning, reading_a_released_block_is_reported) {
    auto* block = static_cast<uint8_t*>(c_ap_request(64, &protocol));
    ASSERT_NE(block, nullptr);
    std::memset(block, 0x11, 64);
    c_ap_free(block);
    EXPECT_DEATH(read_byte(block), "use-after-poison");
    EXPECT_DEATH(read_byte(block + 63), "use-after-poison");
}

TEST_P(pooled_poisoning, uncarved_page_tail_is_reported) {
    ASSERT_NE(c_ap_request(64, &protocol), nullptr);
    const uint8_t* tail = page_tail();
    EXPECT_DEATH(read_byte(tail), "use-after-poison");
    EXPECT_DEATH(read_byte(tail + 4000), "use-after-poison");
}

// What the allocator itself must keep reading stays addressable, and a block
// handed out again is fully usable.
TEST_P(pooled_poisoning, bookkeeping_stays_readable_and_reuse_unpoisons) {
    auto* block = static_cast<uint8_t*>(c_ap_request(64, &protocol));
    ASSERT_NE(block, nullptr);
    c_ap_free(block);
    const pool_block* record = pool_block_of(block);
    EXPECT_EQ(record->in_use_size, 0u);
    // A second release is still diagnosed by the allocator's own header check.
    EXPECT_DEATH(c_ap_free(block), "\\[AP_ALLOC_VIGILANT\\] ERROR: Use-after-free detected");

    auto* again = static_cast<uint8_t*>(c_ap_request(60, &protocol));
    ASSERT_EQ(again, block);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(read_byte(again + i), 0) << i;
    // A freshly carved block next to it is usable too, up to its last byte.
    auto* fresh = static_cast<uint8_t*>(c_ap_request(1000, &protocol));
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(read_byte(fresh + 999), 0);
}

INSTANTIATE_TEST_SUITE_P(sources, pooled_poisoning,
                         ::testing::Values(source::heap_unlocked, source::heap_locked, source::shm), source_name);

}  // namespace
