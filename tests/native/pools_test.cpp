// Heap pool: size classes, freelist reuse rules, page growth, and a locked
// multi-threaded stress run.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <unordered_set>
#include <vector>

#include "nyxel/allocator_protocol/pool_paths.h"
#include "nyxel/allocator_protocol/request_inline.h"
#include "tests/native/ap_alloc_fixtures.h"

namespace {

using namespace ap_test;

constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = 1024 * KiB;

// User bytes that give a block of exactly `capacity` bytes (header included).
constexpr uint64_t size_for_capacity(uint64_t capacity) { return capacity - AP_HEADER_SIZE; }

TEST(size_class, table) {
    struct row {
        uint64_t capacity, size_class;
    };
    const row rows[] = {
        {0, 0},          {56, 7},          {64, 8},           {65528, 8191},          {65536, 8192},
        {65537, 8193},   {65544, 8193},    {131072, 8193},    {131073, 8194},         {262144, 8194},
        {262145, 8195},  {8 * MiB, 8199},  {16 * MiB, 8200},  {16 * MiB + 1, 8201},   {1ull << 40, 8201},
        {1ull << 63, 8201}, {UINT64_MAX, 8201},
    };
    for (const row& r : rows) EXPECT_EQ(c_ap_size_class(r.capacity), r.size_class) << r.capacity;
}

TEST(page_size, growth_rule) {
    using ap_detail::next_page_size;
    struct row {
        uint64_t default_size;
        bool has_newest;
        uint64_t newest, need, granularity, expected;
    };
    const row rows[] = {
        {65536, false, 0, 240, 4096, 65536},                    // first page: the default
        {65536, false, 0, 70056 + 80, 4096, 131072},            // doubled until the block fits
        {65536, true, 65536, 240, 4096, 131072},                // twice the newest page
        {65536, true, 32768, 240, 4096, 65536},                 // newest below the default: back to default
        {65536, true, 64 * MiB, 240, 4096, 128 * MiB},          // growth capped at 128 MiB
        {65536, true, 512 * MiB, 240, 4096, 128 * MiB},         // also for pages already above the cap
        {65536, true, 128 * MiB, 300 * MiB, 4096, 512 * MiB},   // a huge block still gets its page
        {5000, false, 0, 100, 4096, 8192},                      // rounded up to the granularity
        {0, false, 0, 100, 1, 128},                             // a zero default still terminates
        {65536, false, 0, 1ull << 63, 1ull << 62, 1ull << 63},  // largest page it can describe
        {3, false, 0, 1ull << 63, 1ull << 63, 0},               // 3 << 62 fits, rounding it would not
    };
    for (const row& r : rows)
        EXPECT_EQ(next_page_size(r.default_size, r.has_newest, r.newest, r.need, r.granularity), r.expected)
            << r.default_size << " " << r.newest << " " << r.need;
}

class heap_pool : public ::testing::Test {
protected:
    std::unique_ptr<owned_heap> heap = engine_heap();
    allocator_protocol protocol = heap_protocol(heap->get(), false);

    void* request(uint64_t size) {
        void* block = c_ap_request(size, &protocol);
        EXPECT_NE(block, nullptr);
        return block;
    }
};

TEST_F(heap_pool, small_class_reuse_reaches_two_classes_down_but_not_three) {
    struct row {
        uint64_t smaller_by;
        bool reused;
    };
    for (row r : {row{0, true}, row{8, true}, row{16, true}, row{24, false}}) {
        SCOPED_TRACE(r.smaller_by);
        void* freed = request(size_for_capacity(256));  // class 32
        c_ap_free(freed);
        void* again = request(size_for_capacity(256 - r.smaller_by));
        EXPECT_EQ(again == freed, r.reused);
        if (r.reused) {
            EXPECT_EQ(pool_block_of(again)->capacity, 256u);  // keeps its own capacity
        }
        c_ap_free(again);
        if (!r.reused) (void)request(size_for_capacity(256));  // drain the class for the next row
    }
    // A block is never handed out for a larger class.
    void* small = request(size_for_capacity(248));
    c_ap_free(small);
    EXPECT_NE(request(size_for_capacity(256)), small);
}

TEST_F(heap_pool, small_classes_are_lifo) {
    void* a = request(100);
    void* b = request(100);
    c_ap_free(a);
    c_ap_free(b);
    EXPECT_EQ(request(100), b);
    EXPECT_EQ(request(100), a);
}

TEST_F(heap_pool, boundary_capacities_land_in_the_right_class) {
    void* exact = request(size_for_capacity(65536));
    void* above = request(size_for_capacity(65544));
    EXPECT_EQ(pool_block_of(exact)->capacity, 65536u);
    c_ap_free(exact);
    c_ap_free(above);
    EXPECT_EQ(heap->get()->freelists[8192], pool_block_of(exact));
    EXPECT_EQ(heap->get()->freelists[8193], pool_block_of(above));
}

TEST_F(heap_pool, top_classes_are_first_fit_within_their_own_class) {
    void* big = request(200 * KiB);       // class 8194
    void* smaller = request(140 * KiB);   // class 8194 too, but too small for 150 KiB
    void* other = request(100 * KiB);     // class 8193
    c_ap_free(big);
    c_ap_free(smaller);  // now the head of class 8194
    c_ap_free(other);

    EXPECT_EQ(request(150 * KiB), big);        // walks past the smaller head
    EXPECT_EQ(heap->get()->freelists[8194], pool_block_of(smaller));
    EXPECT_EQ(request(130 * KiB), smaller);    // fits the remaining one
    EXPECT_EQ(heap->get()->freelists[8194], nullptr);
    void* fresh = request(150 * KiB);          // class 8193's free block is not considered
    EXPECT_NE(fresh, other);
    EXPECT_EQ(heap->get()->freelists[8193], pool_block_of(other));
}

TEST_F(heap_pool, first_large_request_gets_a_doubled_page) {
    void* block = request(70000);
    EXPECT_EQ(pool_block_of(block)->capacity, 70056u);
    EXPECT_EQ(heap->get()->page_count, 1u);
    EXPECT_EQ(heap->get()->newest_page->size, 131072u);
}

TEST_F(heap_pool, pages_are_carved_in_order_and_grow_by_doubling) {
    heap_allocator* h = heap->get();
    void* first = request(100);  // capacity 160
    heap_memory_page* page = h->newest_page;
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->size, 65536u);
    EXPECT_EQ(page->owner, h);
    pool_block* first_block = pool_block_of(first);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(first_block), reinterpret_cast<uint8_t*>(page) + 40);
    EXPECT_EQ(first_block->previous_block, nullptr);
    EXPECT_EQ(first_block->in_use_size, 156u);
    EXPECT_EQ(first_block->page, page);

    void* second = request(100);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(pool_block_of(second)), reinterpret_cast<uint8_t*>(first_block) + 200);
    EXPECT_EQ(pool_block_of(second)->previous_block, first_block);
    EXPECT_EQ(page->used, 40u + 2 * 200);
    EXPECT_EQ(page->last_block, pool_block_of(second));

    // Fill pages and watch each new one double the previous.
    std::vector<uint64_t> sizes;
    while (h->page_count < 4) {
        uint64_t before = h->page_count;
        request(100);
        if (h->page_count != before) sizes.push_back(h->newest_page->size);
    }
    EXPECT_EQ(sizes, (std::vector<uint64_t>{131072, 262144, 524288}));
    // Older pages stay linked behind the newest.
    EXPECT_EQ(h->newest_page->next->next->next, page);
    EXPECT_EQ(page->next, nullptr);
}

TEST_F(heap_pool, reused_blocks_are_zeroed_including_their_slack) {
    uint8_t* block = static_cast<uint8_t*>(request(size_for_capacity(256)));
    std::memset(block, 0xEE, size_for_capacity(256));
    c_ap_free(block);
    uint8_t* again = static_cast<uint8_t*>(request(size_for_capacity(240)));  // two classes down
    ASSERT_EQ(again, block);
    EXPECT_TRUE(all_zero(again, size_for_capacity(256)));
    EXPECT_EQ(pool_block_of(again)->in_use_size, 240u);
}

// Locked heap protocol hammered from several threads.  Every block must come
// out zeroed and must not be handed to anyone else while held: each holder
// stamps its block and finds the stamp intact when it releases it.
TEST(heap_pool_threads, locked_pool_never_hands_out_a_block_twice) {
    constexpr int kOpsPerThread = 1'000'000;  // about 1 s, also under the sanitizers
    constexpr int kThreads = 4;
    constexpr int kSlots = 64;
    auto heap = engine_heap();
    const allocator_protocol protocol = heap_protocol(heap->get(), true);  // the engine's locked heap protocol
    std::atomic<long> faults{0};

    auto worker = [&](int thread_id) {
        struct held {
            uint64_t* words = nullptr;
            uint64_t size = 0;
            uint64_t stamp = 0;
        };
        std::vector<held> slots(kSlots);
        std::mt19937_64 rng(thread_id * 7919 + 1);
        long local_faults = 0;
        auto positions = [](uint64_t size) {
            uint64_t n = size / 8;
            return std::array<uint64_t, 4>{0, n / 3, n / 2, n - 1};
        };
        for (int op = 0; op < kOpsPerThread; ++op) {
            held& slot = slots[rng() % kSlots];
            if (slot.words != nullptr) {
                for (uint64_t i : positions(slot.size))
                    if (slot.words[i] != slot.stamp) ++local_faults;
                c_ap_free(slot.words);
                slot.words = nullptr;
                continue;
            }
            uint64_t pick = rng() % 1000;
            uint64_t size = pick < 900 ? 8 + rng() % 1024            // small classes
                            : pick < 995 ? 1024 + rng() % (64 * KiB)  // up to the last small class
                                         : 64 * KiB + rng() % (256 * KiB);  // top classes
            size &= ~uint64_t{7};
            auto* words = static_cast<uint64_t*>(c_ap_request(size, &protocol));
            if (words == nullptr) {
                ++local_faults;
                continue;
            }
            auto* bytes = reinterpret_cast<uint8_t*>(words);
            if (bytes[0] != 0 || bytes[size - 1] != 0) ++local_faults;
            for (uint64_t i : positions(size))
                if (words[i] != 0) ++local_faults;
            slot = held{words, size, (uint64_t(thread_id) << 56) | uint64_t(op)};
            for (uint64_t i : positions(size)) words[i] = slot.stamp;
        }
        for (held& slot : slots) {
            if (slot.words == nullptr) continue;
            for (uint64_t i : positions(slot.size))
                if (slot.words[i] != slot.stamp) ++local_faults;
            c_ap_free(slot.words);
        }
        faults += local_faults;
    };

    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t + 1);
    for (auto& t : threads) t.join();
    auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    EXPECT_EQ(faults.load(), 0);
    EXPECT_GT(heap->get()->page_count, 0u);

    // Everything was released: each carved block must now sit on exactly one
    // freelist (a lost or doubled freelist update breaks this).
    std::unordered_set<pool_block*> carved;
    for (heap_memory_page* page = heap->get()->newest_page; page != nullptr; page = page->next)
        for (pool_block* block = page->last_block; block != nullptr; block = block->previous_block)
            carved.insert(block);
    std::unordered_set<pool_block*> listed;
    size_t duplicates = 0;
    for (pool_block* head : heap->get()->freelists)
        for (pool_block* block = head; block != nullptr && listed.size() <= carved.size(); block = block->next_free)
            if (!listed.insert(block).second) ++duplicates;
    EXPECT_EQ(duplicates, 0u);
    EXPECT_EQ(listed, carved);
    std::printf("%d threads x %d ops in %.2f s, %llu pages\n", kThreads, kOpsPerThread, elapsed,
                static_cast<unsigned long long>(heap->get()->page_count));
}

}  // namespace

namespace {

// Every capacity the inline zeroing handles, plus the memset hand-over at
// 1024: exactly the block is cleared, never a byte past it.
TEST(zero_block, clears_exactly_the_capacity) {
    std::vector<uint8_t> buffer(1200);
    for (uint64_t capacity = 56; capacity <= 1096; capacity += 8) {
        std::fill(buffer.begin(), buffer.end(), 0xEE);
        ap_detail::zero_block(buffer.data() + 8, capacity);
        ASSERT_EQ(buffer[7], 0xEE) << capacity;
        ASSERT_TRUE(std::all_of(buffer.begin() + 8, buffer.begin() + 8 + capacity, [](uint8_t b) { return b == 0; }))
            << capacity;
        ASSERT_EQ(buffer[8 + capacity], 0xEE) << capacity;
    }
}

// The same with capacities known at compile time, which take the unrolled
// stores (a capacity that is not a multiple of 16 ends in an overlapping store).
template <uint64_t Capacity>
void expect_constant_capacity_cleared() {
    std::vector<uint8_t> buffer(Capacity + 16, 0xEE);
    ap_detail::zero_block(buffer.data() + 8, Capacity);
    EXPECT_EQ(buffer[7], 0xEE) << Capacity;
    EXPECT_TRUE(std::all_of(buffer.begin() + 8, buffer.begin() + 8 + Capacity, [](uint8_t b) { return b == 0; }))
        << Capacity;
    EXPECT_EQ(buffer[8 + Capacity], 0xEE) << Capacity;
}

TEST(zero_block, clears_exactly_a_constant_capacity) {
    expect_constant_capacity_cleared<56>();
    expect_constant_capacity_cleared<64>();
    expect_constant_capacity_cleared<104>();
    expect_constant_capacity_cleared<248>();
    expect_constant_capacity_cleared<256>();
}

}  // namespace

// The unlocked fast path hands back the head of the block's own class; it must
// clear what the previous holder wrote, over the whole capacity, at every
// small size.  Blocks carved fresh are handed out without zeroing and must
// still read zero even right after a dirty neighbour.
TEST_F(heap_pool, exact_class_reuse_and_fresh_carves_read_zero) {
    for (uint64_t size : {1, 8, 9, 40, 64, 100, 200, 456, 457, 968, 969, 4000}) {
        auto* block = static_cast<uint8_t*>(request(size));
        const uint64_t capacity = pool_block_of(block)->capacity;
        std::memset(block, 0xEE, capacity - AP_HEADER_SIZE);
        c_ap_free(block);
        auto* again = static_cast<uint8_t*>(request(size));
        ASSERT_EQ(again, block) << size;
        EXPECT_TRUE(all_zero(again, capacity - AP_HEADER_SIZE)) << size;
        allocator_protocol* header = c_ap_protocol_from_ptr(again);
        EXPECT_EQ(header->size, size);
        EXPECT_EQ(header->ref_count, 1);
        EXPECT_EQ(header->with_freelist, 1);
        EXPECT_EQ(header->shm_ctx, nullptr);
        auto* fresh = static_cast<uint8_t*>(request(size));
        EXPECT_TRUE(all_zero(fresh, size)) << size;
        c_ap_free(again);
        c_ap_free(fresh);
    }
}

// A released top-class block keeps its place on the freelist but not its
// memory: the whole pages inside it are no longer resident, the header still
// says "released", and handing it out again gives zeroed memory.
TEST_F(heap_pool, released_large_blocks_give_their_pages_back) {
    constexpr uint64_t size = 1 * MiB;
    auto* block = static_cast<uint8_t*>(request(size));
    std::memset(block, 0xEE, size);
    c_ap_free(block);

    const long page = sysconf(_SC_PAGESIZE);
    auto* first = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(block) + page - 1) & ~uintptr_t(page - 1));
    const size_t pages = (block + size - first) / page - 1;
    std::vector<unsigned char> resident(pages);
    ASSERT_EQ(mincore(first, pages * page, resident.data()), 0);
    EXPECT_EQ(std::count_if(resident.begin(), resident.end(), [](unsigned char r) { return r & 1; }), 0);
    EXPECT_EQ(reinterpret_cast<const allocator_protocol*>(block - AP_HEADER_SIZE)->magic, AP_DEALLOC_MAGIC);
}

TEST_F(heap_pool, released_large_blocks_come_back_zeroed) {
    constexpr uint64_t size = 1 * MiB;
    auto* block = static_cast<uint8_t*>(request(size));
    std::memset(block, 0xEE, size);
    c_ap_free(block);
    auto* again = static_cast<uint8_t*>(request(size));
    ASSERT_EQ(again, block);
    EXPECT_TRUE(all_zero(again, size));
}

// The requester compiled into hot callers must pick the same block and
// leave the same header as c_ap_request: own-class reuse inline, and through
// the out-of-line path neighbouring-class reuse, fresh carving, locked pools
// and the plain heap.
TEST_F(heap_pool, inline_request_hands_out_what_c_ap_request_would) {
    constexpr uint64_t kRecord = 48;  // a match node: capacity 104
    auto* dirty = static_cast<uint8_t*>(request(kRecord));
    std::memset(dirty, 0xEE, kRecord);
    c_ap_free(dirty);
    const ap_block_requester requester(&protocol);
    auto* reused = static_cast<uint8_t*>(requester.request(kRecord));
    EXPECT_EQ(reused, dirty);  // LIFO head of its own class
    EXPECT_TRUE(all_zero(reused, kRecord));

    void* neighbour = request(kRecord + 16);  // two classes up
    c_ap_free(neighbour);
    EXPECT_EQ(requester.request(kRecord), neighbour);

    void* fresh = requester.request(kRecord);  // every list empty: carved
    ASSERT_NE(fresh, nullptr);
    EXPECT_TRUE(all_zero(fresh, kRecord));

    for (void* block : {static_cast<void*>(reused), neighbour, fresh}) {
        allocator_protocol* header = c_ap_protocol_from_ptr(block);
        EXPECT_EQ(header->size, kRecord);
        EXPECT_EQ(header->ref_count, 1);
        EXPECT_EQ(header->heap, heap->get());
        EXPECT_EQ(header->with_freelist, 1);
        EXPECT_EQ(header->with_lock, 0);
        c_ap_free(block);
    }

    allocator_protocol locked = heap_protocol(heap->get(), true);
    void* locked_block = ap_block_requester(&locked).request(kRecord);
    ASSERT_NE(locked_block, nullptr);
    EXPECT_EQ(c_ap_protocol_from_ptr(locked_block)->with_lock, 1);
    c_ap_free(locked_block);

    void* plain = ap_block_requester(nullptr).request(kRecord);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(c_ap_protocol_from_ptr(plain)->with_freelist, 0);
    c_ap_free(plain);
}
