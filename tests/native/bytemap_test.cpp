#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "nyxel/bytemap/sorvelink.h"

#if defined(__SANITIZE_ADDRESS__)
// The failed-resize test asks for ~10^19 bytes on purpose and needs calloc to
// answer null instead of the sanitizer stopping the process.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}
#endif

namespace {

// "prefix" + number, built by appending (GCC 12 warns falsely on operator+ here).
std::string numbered(const char* prefix, long number) {
    std::string text(prefix);
    text += std::to_string(number);
    return text;
}


struct RecordedEvent {
    uint32_t code;
    std::string key;
    bool key_is_null;
    const void* key_address;
    uint64_t key_len;
    const void* value;
    uint64_t value_len;
    uint64_t zero;
};

void record_event(uint32_t code, const char* key, uint64_t key_len, const void* value,
                  uint64_t value_len, uint64_t zero, void* user_data) {
    auto* log = static_cast<std::vector<RecordedEvent>*>(user_data);
    log->push_back({code, key ? std::string(key, key_len) : std::string(), key == nullptr, key,
                    key_len, value, value_len, zero});
}

class ByteMapTest : public ::testing::Test {
protected:
    void SetUp() override {
        map = byte_map_new(nullptr);
        ASSERT_NE(map, nullptr);
        observer.callback = record_event;
        observer.user_data = &events;
        map->observers = &observer;
    }
    void TearDown() override { destroy(map); }

    static void destroy(byte_map* m) {
        if (m == nullptr) return;
        for (byte_map_entry* e = m->first; e != nullptr; e = e->next) c_ap_free(e->key);
        c_ap_free(m->buckets);
        c_ap_free(m);
    }

    int set(const std::string& key, uint64_t value) {
        return byte_map_set(map, key.data(), key.size(), &value, sizeof value, nullptr);
    }
    uint64_t get(const std::string& key) {
        uint64_t value = ~0ull;
        EXPECT_EQ(byte_map_get(map, key.data(), key.size(), &value), 0) << key;
        return value;
    }
    std::vector<std::string> keys_in_order() const {
        std::vector<std::string> keys;
        for (const byte_map_entry* e = map->first; e != nullptr; e = e->next)
            keys.emplace_back(e->key, e->key_len);
        return keys;
    }
    // The backward links must mirror the forward ones.
    void expect_list_consistent() const {
        const byte_map_entry* previous = nullptr;
        uint64_t seen = 0;
        for (const byte_map_entry* e = map->first; e != nullptr; e = e->next, ++seen) {
            EXPECT_EQ(e->previous, previous);
            EXPECT_TRUE(e->occupied);
            EXPECT_FALSE(e->tombstone);
            previous = e;
        }
        EXPECT_EQ(map->last, previous);
        EXPECT_EQ(seen, map->count);
    }

    byte_map* map = nullptr;
    byte_map_observer observer{};
    std::vector<RecordedEvent> events;
};

TEST_F(ByteMapTest, NewMapHasInitialShape) {
    EXPECT_NE(map->buckets, nullptr);
    EXPECT_EQ(map->buckets_end, map->buckets + 64);
    EXPECT_EQ(map->capacity, 64u);
    EXPECT_EQ(map->count, 0u);
    EXPECT_EQ(map->used, 0u);
    EXPECT_EQ(map->value_size, 8u);
    EXPECT_EQ(map->entry_size, 64u);
    EXPECT_EQ(map->first, nullptr);
    EXPECT_EQ(map->last, nullptr);
    EXPECT_EQ(c_ap_protocol_from_ptr(map->buckets)->size, 4096u);

    const uint64_t x = reinterpret_cast<uintptr_t>(map) ^ 64u;  // little-endian host
    EXPECT_EQ(map->seed, XXH3_64bits(&x, sizeof x) ^ 0x9E3779B97F4A7C15ull);
}

TEST_F(ByteMapTest, SeedsDifferYetMapsBehaveAlike) {
    byte_map* other = byte_map_new(nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_NE(map->seed, other->seed);

    uint64_t h1 = 0, h2 = 0;
    ASSERT_EQ(byte_map_hash(map, "orders.eu", 0, &h1), 0);
    ASSERT_EQ(byte_map_hash(other, "orders.eu", 0, &h2), 0);
    EXPECT_NE(h1, h2);
    EXPECT_EQ(h1, XXH3_64bits_withSeed("orders.eu", 9, map->seed));

    const std::vector<std::string> keys = {"a", "b", "orders.eu", "x.y.z", "a"};
    for (byte_map* m : {map, other}) {
        for (size_t i = 0; i < keys.size(); ++i) {
            uint64_t v = i;
            ASSERT_EQ(byte_map_set(m, keys[i].data(), 0, &v, 8, nullptr), 0);
        }
        EXPECT_EQ(m->count, 4u);
        uint64_t v = 0;
        EXPECT_EQ(byte_map_get(m, "a", 0, &v), 0);
        EXPECT_EQ(v, 4u);
        EXPECT_EQ(byte_map_pop(m, "b", 0), 0);
        EXPECT_EQ(byte_map_pop(m, "b", 0), -4);
        EXPECT_EQ(byte_map_get(m, "b", 0, &v), -4);
    }
    destroy(other);
}

TEST_F(ByteMapTest, ReplaceKeepsPlaceAndSendsReplaceEvent) {
    ASSERT_EQ(set("a", 1), 0);
    ASSERT_EQ(set("b", 2), 0);
    ASSERT_EQ(set("c", 3), 0);
    events.clear();

    byte_map_entry* entry = nullptr;
    uint64_t value = 20;
    ASSERT_EQ(byte_map_set(map, "b", 1, &value, 8, &entry), 0);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(std::string(entry->key, entry->key_len), "b");

    EXPECT_EQ(get("b"), 20u);
    EXPECT_EQ(map->count, 3u);
    EXPECT_EQ(map->used, 3u);
    EXPECT_EQ(keys_in_order(), (std::vector<std::string>{"a", "b", "c"}));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, BYTE_MAP_EVENT_REPLACED);
    EXPECT_EQ(events[0].key_address, entry->key);  // the entry's copy, not the caller's
    EXPECT_EQ(events[0].value, entry->value);
    EXPECT_EQ(events[0].value_len, 8u);
    expect_list_consistent();
}

TEST_F(ByteMapTest, PopThenSetGoesLastAndReusesTombstone) {
    for (const char* k : {"a", "b", "c"}) ASSERT_EQ(set(k, 1), 0);
    ASSERT_EQ(byte_map_pop(map, "a", 0), 0);
    EXPECT_EQ(map->count, 2u);
    EXPECT_EQ(map->used, 3u);
    expect_list_consistent();

    ASSERT_EQ(set("a", 9), 0);
    EXPECT_EQ(map->used, 3u);  // the tombstone on a's own probe path is taken
    EXPECT_EQ(map->count, 3u);
    EXPECT_EQ(keys_in_order(), (std::vector<std::string>{"b", "c", "a"}));
    EXPECT_EQ(get("a"), 9u);
    expect_list_consistent();
}

TEST_F(ByteMapTest, ThirtyThirdKeyDoublesCapacity) {
    for (int i = 0; i < 32; ++i) ASSERT_EQ(set(numbered("key", i), i), 0);
    EXPECT_EQ(map->capacity, 64u);
    EXPECT_EQ(map->used, 32u);
    events.clear();

    ASSERT_EQ(set("key32", 32), 0);
    EXPECT_EQ(map->capacity, 128u);
    EXPECT_EQ(map->buckets_end, map->buckets + 128);
    EXPECT_EQ(map->count, 33u);
    EXPECT_EQ(map->used, 33u);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].code, BYTE_MAP_EVENT_RESIZED);
    EXPECT_EQ(events[1].code, BYTE_MAP_EVENT_INSERTED);

    std::vector<std::string> expected;
    for (int i = 0; i <= 32; ++i) {
        expected.push_back(numbered("key", i));
        EXPECT_EQ(get(expected.back()), static_cast<uint64_t>(i));
    }
    EXPECT_EQ(keys_in_order(), expected);
    expect_list_consistent();
}

TEST_F(ByteMapTest, ChurnWithFewLiveKeysDoesNotGrowTheTable) {
    for (int i = 0; i < 20000; ++i) {
        const std::string key = numbered("churn.", i);
        ASSERT_EQ(set(key, i), 0);
        ASSERT_EQ(byte_map_pop(map, key.data(), key.size()), 0);
    }
    EXPECT_EQ(map->capacity, 64u);
    EXPECT_EQ(map->count, 0u);
    EXPECT_LT(2 * map->used, map->capacity + 2);
}

TEST_F(ByteMapTest, ManyKeysSurviveRepeatedGrowthAndPops) {
    constexpr int kKeys = 5000;
    for (int i = 0; i < kKeys; ++i) ASSERT_EQ(set(numbered("k", i), i), 0);
    for (int i = 0; i < kKeys; i += 2) {
        const std::string key = numbered("k", i);
        ASSERT_EQ(byte_map_pop(map, key.data(), key.size()), 0);
    }
    EXPECT_EQ(map->count, static_cast<uint64_t>(kKeys / 2));
    EXPECT_LE(2 * map->used, map->capacity);
    // Lookups pass live entries on their hash word alone; that needs every
    // free bucket and tombstone to hold hash 0.
    for (const byte_map_entry* b = map->buckets; b != map->buckets_end; ++b) {
        if (!b->occupied) {
            ASSERT_EQ(b->hash, 0u) << (b - map->buckets);
        }
    }
    for (int i = 0; i < kKeys; ++i) {
        const std::string key = numbered("k", i);
        uint64_t v = 0;
        EXPECT_EQ(byte_map_get(map, key.data(), key.size(), &v), i % 2 ? 0 : -4) << key;
        if (i % 2) {
            EXPECT_EQ(v, static_cast<uint64_t>(i));
        }
    }
    expect_list_consistent();
}

TEST_F(ByteMapTest, GetMissingLeavesDestinationAlone) {
    ASSERT_EQ(set("present", 5), 0);
    uint64_t destination = 0xABCDu;
    EXPECT_EQ(byte_map_get(map, "absent", 0, &destination), -4);
    EXPECT_EQ(destination, 0xABCDu);
    EXPECT_EQ(byte_map_get(map, "present", 0, nullptr), 0);
}

TEST(ByteMapArguments, RejectsBadAndEmptyKeys) {
    byte_map* map = byte_map_new(nullptr);
    ASSERT_NE(map, nullptr);
    uint64_t value = 1, hash = 0;
    struct Case {
        const char* name;
        int result;
        int expected;
    };
    const Case cases[] = {
        {"hash empty", byte_map_hash(map, "", 0, &hash), -2},
        {"hash null key", byte_map_hash(map, nullptr, 3, &hash), -2},
        {"hash null out", byte_map_hash(map, "k", 1, nullptr), -1},
        {"get empty", byte_map_get(map, "", 0, &value), -2},
        {"get null key", byte_map_get(map, nullptr, 1, &value), -1},
        {"get null map", byte_map_get(nullptr, "k", 1, &value), -1},
        {"pop empty", byte_map_pop(map, "", 0), -2},
        {"pop null key", byte_map_pop(map, nullptr, 1), -1},
        {"pop null map", byte_map_pop(nullptr, "k", 1), -1},
        {"pop absent", byte_map_pop(map, "k", 1), -4},
        {"set empty", byte_map_set(map, "", 0, &value, 8, nullptr), -1},
        {"set null key", byte_map_set(map, nullptr, 1, &value, 8, nullptr), -1},
        {"set null map", byte_map_set(nullptr, "k", 1, &value, 8, nullptr), -1},
        {"set value wider than 8", byte_map_set(map, "k", 1, "123456789", 9, nullptr), -1},
        {"resize null map", byte_map_resize(nullptr, 128), -1},
        {"resize to 0", byte_map_resize(map, 0), -1},
        {"resize past max", byte_map_resize(map, BYTE_MAP_MAX_CAPACITY + 1), -1},
    };
    for (const Case& c : cases) EXPECT_EQ(c.result, c.expected) << c.name;
    EXPECT_EQ(map->count, 0u);
    EXPECT_EQ(map->capacity, 64u);
    c_ap_free(map->buckets);
    c_ap_free(map);
}

TEST_F(ByteMapTest, ResizeBelowCountIsRefused) {
    for (int i = 0; i < 10; ++i) ASSERT_EQ(set(numbered("r", i), i), 0);
    EXPECT_EQ(byte_map_resize(map, 9), -1);
    EXPECT_EQ(map->capacity, 64u);
    EXPECT_EQ(byte_map_resize(map, 10), 0);  // exactly full still places everything
    for (int i = 0; i < 10; ++i) EXPECT_EQ(get(numbered("r", i)), static_cast<uint64_t>(i));
    EXPECT_EQ(byte_map_get(map, "absent", 0, nullptr), -4);  // probe wraps and stops
}

// A lone entry sits exactly at hash mod capacity, whether or not the
// capacity is a power of two, and lookups start from that same bucket.
TEST_F(ByteMapTest, EntriesStartAtHashModCapacity) {
    for (uint64_t capacity : {64u, 97u, 128u, 100u, 1u, 2u, 3u}) {
        SCOPED_TRACE(capacity);
        if (capacity != map->capacity) {
            ASSERT_EQ(byte_map_resize(map, capacity), 0);
        }
        for (const char* key : {"solo", "orders.eu.buy", "x"}) {
            ASSERT_EQ(set(key, 7), 0);
            ASSERT_EQ(map->capacity, capacity);
            uint64_t hash = 0;
            ASSERT_EQ(byte_map_hash(map, key, 0, &hash), 0);
            EXPECT_EQ(map->first, map->buckets + hash % capacity) << key;
            EXPECT_EQ(get(key), 7u);
            ASSERT_EQ(byte_map_pop(map, key, 0), 0);
            ASSERT_EQ(byte_map_resize(map, capacity), 0);  // drop the tombstone
        }
    }
}

TEST_F(ByteMapTest, ResizeDropsTombstonesAndKeepsOrder) {
    for (const char* k : {"a", "b", "c", "d"}) ASSERT_EQ(set(k, 1), 0);
    ASSERT_EQ(byte_map_pop(map, "b", 0), 0);
    const char* key_copy_of_c = nullptr;
    for (byte_map_entry* e = map->first; e; e = e->next)
        if (e->key[0] == 'c') key_copy_of_c = e->key;
    events.clear();

    ASSERT_EQ(byte_map_resize(map, 256), 0);
    EXPECT_EQ(map->capacity, 256u);
    EXPECT_EQ(map->used, 3u);
    EXPECT_EQ(keys_in_order(), (std::vector<std::string>{"a", "c", "d"}));
    int tombstones = 0;
    for (byte_map_entry* b = map->buckets; b != map->buckets_end; ++b) tombstones += b->tombstone;
    EXPECT_EQ(tombstones, 0);
    for (byte_map_entry* e = map->first; e; e = e->next) {  // key copies move, not re-copied
        if (e->key[0] == 'c') {
            EXPECT_EQ(e->key, key_copy_of_c);
        }
    }
    expect_list_consistent();

    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, BYTE_MAP_EVENT_RESIZED);
    EXPECT_TRUE(events[0].key_is_null);
    EXPECT_EQ(events[0].key_len, 0u);
    EXPECT_EQ(events[0].value, nullptr);
    EXPECT_EQ(events[0].value_len, 0u);
    EXPECT_EQ(events[0].zero, 0u);
}

TEST_F(ByteMapTest, FailedResizeLeavesMapAnswering) {
    for (int i = 0; i < 20; ++i) ASSERT_EQ(set(numbered("f", i), i), 0);
    byte_map_entry* const buckets = map->buckets;
    events.clear();

    EXPECT_EQ(byte_map_resize(map, BYTE_MAP_MAX_CAPACITY), -7);
    EXPECT_EQ(map->buckets, buckets);
    EXPECT_EQ(map->capacity, 64u);
    EXPECT_TRUE(events.empty());
    for (int i = 0; i < 20; ++i) EXPECT_EQ(get(numbered("f", i)), static_cast<uint64_t>(i));
    EXPECT_EQ(set("after", 1), 0);
}

TEST_F(ByteMapTest, PopEventCarriesCallersKeyAndNoValue) {
    ASSERT_EQ(set("gone", 1), 0);
    events.clear();
    const char key[] = "gone";
    ASSERT_EQ(byte_map_pop(map, key, 4), 0);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, BYTE_MAP_EVENT_POPPED);
    EXPECT_EQ(events[0].key_address, key);
    EXPECT_EQ(events[0].key, "gone");
    EXPECT_EQ(events[0].value, nullptr);
    EXPECT_EQ(events[0].value_len, 0u);
}

TEST_F(ByteMapTest, PopWithEntrysOwnKeyStaysReadableForObservers) {
    ASSERT_EQ(set("own", 1), 0);
    events.clear();
    // The registry pops with the entry's own key copy; observers still read it.
    ASSERT_EQ(byte_map_pop(map, map->first->key, map->first->key_len), 0);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].key, "own");
    EXPECT_EQ(map->count, 0u);
}

}  // namespace
