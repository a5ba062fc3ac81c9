// Fuzz target: the byte map, differential against std::unordered_map plus an
// insertion-ordered list.
//
// Each input drives one map (plain or pooled source, its own seed or a fixed
// one) through set / get / pop / resize.  Keys come from the input or from
// pools of keys whose hashes under the fixed seed agree in their low 12 bits
// (all zero, or all one so that their runs wrap past the last bucket), so
// they collide modulo every power-of-two capacity up to 4096.  After every
// operation the map must give the model's answers, iterate in the model's
// order (both directions), account for its buckets (count, used =
// live + tombstones), and have told its observer exactly what happened.
// An input can make the next set's or resize's block request fail: the
// operation must fail as a whole and leave the map as the model has it.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "fuzz/failing_requests.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/shared_heap.h"
#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"
#include "nyxel/bytemap/sorvelink.h"

namespace {

constexpr uint64_t kFixedSeed = 0x5eed5eed5eed5eedull;
constexpr uint64_t kCollisionMask = 4095;
constexpr size_t kPoolSize = 24;

// Keys "c<n>" whose seeded hashes have the given low bits.
std::vector<std::string> colliding_keys(uint64_t low_bits) {
    std::vector<std::string> keys;
    for (uint64_t n = 0; keys.size() < kPoolSize; ++n) {
        std::string key = "c" + std::to_string(n);
        if ((XXH3_64bits_withSeed(key.data(), key.size(), kFixedSeed) & kCollisionMask) == low_bits)
            keys.push_back(std::move(key));
    }
    return keys;
}

const std::vector<std::string>& colliding_low() {
    static const std::vector<std::string> keys = colliding_keys(0);
    return keys;
}

const std::vector<std::string>& colliding_high() {
    static const std::vector<std::string> keys = colliding_keys(kCollisionMask);
    return keys;
}

// What the observer was told last.
struct observed_event {
    int calls = 0;
    uint32_t event = 0;
    std::string key;
    const char* key_at = nullptr;
    const void* value = nullptr;
    uint64_t value_len = 0;
    uint64_t zero = 0;
};

void record_event(uint32_t event, const char* key, uint64_t key_len, const void* value,
                  uint64_t value_len, uint64_t zero, void* user_data) {
    auto* seen = static_cast<observed_event*>(user_data);
    ++seen->calls;
    seen->event = event;
    seen->key_at = key;
    seen->key = key != nullptr ? std::string(key, key_len) : std::string();
    seen->value = value;
    seen->value_len = value_len;
    seen->zero = zero;
}

struct model_value {
    std::string bytes;
    std::list<std::string>::iterator place;
};

class map_session {
public:
    map_session(bool pooled, bool fixed_seed) {
        allocator_protocol protocol{};
        if (pooled) {
            protocol.heap = shared_heap();
            protocol.with_freelist = 1;
            protocol.with_lock = 1;
        }
        map_ = byte_map_new(&protocol);
        FUZZ_CHECK(map_ != nullptr);
        FUZZ_CHECK(map_->capacity == BYTE_MAP_INITIAL_CAPACITY && map_->count == 0 && map_->used == 0);
        FUZZ_CHECK(map_->value_size == 8 && map_->entry_size == 64 && map_->seed != 0);
        if (fixed_seed) map_->seed = kFixedSeed;
        observer_.callback = record_event;
        observer_.user_data = &seen_;
        map_->observers = &observer_;
    }

    ~map_session() {
        map_->observers = nullptr;
        while (map_->first != nullptr) {
            std::string key(map_->first->key, map_->first->key_len);
            FUZZ_CHECK(byte_map_pop(map_, key.data(), key.size()) == BYTE_MAP_OK);
        }
        c_ap_free(map_->buckets);
        c_ap_free(map_);
    }

    void set(const std::string& key, const std::string& value) {
        const int calls = seen_.calls;
        byte_map_entry* entry = nullptr;
        failure_window window(take_failure());
        const int rc = byte_map_set(map_, key.data(), key.size(), value.data(), value.size(), &entry);
        if (key.empty()) {
            // Length 0 is "measure": a key that measures empty is refused.
            FUZZ_CHECK(rc == BYTE_MAP_ERR_ARGS);
            FUZZ_CHECK(seen_.calls == calls);
            return;
        }
        if (window.injected()) {
            // Failed growth or key copy: nothing inserted (a growth may stay).
            FUZZ_CHECK(rc == BYTE_MAP_ERR_ARGS);
            FUZZ_CHECK(seen_.calls == calls || seen_.event == BYTE_MAP_EVENT_RESIZED);
            return;
        }
        FUZZ_CHECK(rc == BYTE_MAP_OK);
        FUZZ_CHECK(entry != nullptr && entry->occupied && !entry->tombstone);
        FUZZ_CHECK(std::string(entry->key, entry->key_len) == key && entry->key[key.size()] == '\0');
        FUZZ_CHECK(entry->value_len == value.size());
        FUZZ_CHECK(std::memcmp(entry->value, value.data(), value.size()) == 0);

        auto found = model_.find(key);
        const bool existed = found != model_.end();
        if (existed) {
            found->second.bytes = value;
        } else {
            order_.push_back(key);
            model_.emplace(key, model_value{value, std::prev(order_.end())});
        }
        // A growth adds a resize event before the insertion's.
        FUZZ_CHECK(seen_.calls >= calls + 1);
        FUZZ_CHECK(seen_.event == (existed ? BYTE_MAP_EVENT_REPLACED : BYTE_MAP_EVENT_INSERTED));
        FUZZ_CHECK(seen_.key_at == entry->key && seen_.key == key);
        FUZZ_CHECK(seen_.value == entry->value && seen_.value_len == value.size() && seen_.zero == 0);
    }

    void get(const std::string& key) {
        uint8_t out[BYTE_MAP_VALUE_SIZE];
        std::memset(out, 0xA5, sizeof out);
        const int rc = byte_map_get(map_, key.data(), key.size(), out);
        if (measures_empty(key)) {
            FUZZ_CHECK(rc == BYTE_MAP_ERR_EMPTY_KEY);
            return;
        }
        auto found = model_.find(key);
        if (found == model_.end()) {
            FUZZ_CHECK(rc == BYTE_MAP_ERR_NOT_FOUND);
            for (uint8_t byte : out) FUZZ_CHECK(byte == 0xA5);
            return;
        }
        FUZZ_CHECK(rc == BYTE_MAP_OK);
        const std::string& value = found->second.bytes;
        FUZZ_CHECK(std::memcmp(out, value.data(), value.size()) == 0);
        for (size_t i = value.size(); i < sizeof out; ++i) FUZZ_CHECK(out[i] == 0xA5);
        FUZZ_CHECK(byte_map_get(map_, key.data(), key.size(), nullptr) == BYTE_MAP_OK);
    }

    void pop(const std::string& key) {
        const int calls = seen_.calls;
        const int rc = byte_map_pop(map_, key.data(), key.size());
        if (measures_empty(key)) {
            FUZZ_CHECK(rc == BYTE_MAP_ERR_EMPTY_KEY);
            return;
        }
        auto found = model_.find(key);
        if (found == model_.end()) {
            FUZZ_CHECK(rc == BYTE_MAP_ERR_NOT_FOUND);
            FUZZ_CHECK(seen_.calls == calls);
            return;
        }
        FUZZ_CHECK(rc == BYTE_MAP_OK);
        FUZZ_CHECK(seen_.calls == calls + 1 && seen_.event == BYTE_MAP_EVENT_POPPED);
        FUZZ_CHECK(seen_.key_at == key.data() && seen_.key == key);
        FUZZ_CHECK(seen_.value == nullptr && seen_.value_len == 0 && seen_.zero == 0);
        order_.erase(found->second.place);
        model_.erase(found);
    }

    void resize(uint64_t capacity) {
        const int calls = seen_.calls;
        const uint64_t old_capacity = map_->capacity;
        failure_window window(take_failure());
        const int rc = byte_map_resize(map_, capacity);
        if (window.injected()) {
            FUZZ_CHECK(rc == BYTE_MAP_ERR_NO_MEMORY);
            FUZZ_CHECK(map_->capacity == old_capacity && seen_.calls == calls);
            return;
        }
        if (capacity == 0 || capacity < model_.size()) {
            FUZZ_CHECK(rc == BYTE_MAP_ERR_ARGS);
            FUZZ_CHECK(map_->capacity == old_capacity && seen_.calls == calls);
            return;
        }
        FUZZ_CHECK(rc == BYTE_MAP_OK);
        FUZZ_CHECK(map_->capacity == capacity && map_->used == map_->count);
        FUZZ_CHECK(seen_.calls == calls + 1 && seen_.event == BYTE_MAP_EVENT_RESIZED);
        FUZZ_CHECK(seen_.key_at == nullptr && seen_.value == nullptr && seen_.value_len == 0);
    }

    // The map's structure and iteration order against the model.
    void check() const {
        FUZZ_CHECK(map_->count == model_.size());
        FUZZ_CHECK(map_->buckets_end == map_->buckets + map_->capacity);
        uint64_t occupied = 0, tombstones = 0;
        for (const byte_map_entry* e = map_->buckets; e != map_->buckets_end; ++e) {
            FUZZ_CHECK(!(e->occupied && e->tombstone));
            occupied += e->occupied;
            tombstones += e->tombstone;
        }
        FUZZ_CHECK(occupied == map_->count);
        FUZZ_CHECK(map_->used == occupied + tombstones && map_->used <= map_->capacity);

        const byte_map_entry* previous = nullptr;
        const byte_map_entry* entry = map_->first;
        for (const std::string& key : order_) {
            FUZZ_CHECK(entry != nullptr && entry->occupied && entry->previous == previous);
            FUZZ_CHECK(entry >= map_->buckets && entry < map_->buckets_end);
            FUZZ_CHECK(std::string(entry->key, entry->key_len) == key);
            uint64_t hash = 0;
            FUZZ_CHECK(byte_map_hash(map_, key.data(), key.size(), &hash) == BYTE_MAP_OK && hash == entry->hash);
            const std::string& value = model_.at(key).bytes;
            FUZZ_CHECK(entry->value_len == value.size() && std::memcmp(entry->value, value.data(), value.size()) == 0);
            previous = entry;
            entry = entry->next;
        }
        FUZZ_CHECK(entry == nullptr && map_->last == previous);
    }

    // The next set's or resize's n-th block request fails.
    void arm_failure(int after) { fail_after_ = after; }

    uint64_t count() const { return map_->count; }
    uint64_t capacity() const { return map_->capacity; }

    // A key already in the map, for lookups that must hit.
    std::string some_key(size_t pick) const {
        if (order_.empty()) return "absent";
        auto it = order_.begin();
        std::advance(it, pick % order_.size());
        return *it;
    }

private:
    int take_failure() { return std::exchange(fail_after_, -1); }

    static bool measures_empty(const std::string& key) { return key.empty(); }

    byte_map* map_;
    byte_map_observer observer_{};
    observed_event seen_;
    std::unordered_map<std::string, model_value> model_;
    std::list<std::string> order_;
    int fail_after_ = -1;
};

std::string next_key(FuzzedDataProvider& in, const map_session& session) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: case 1: case 2:
            return colliding_low()[in.ConsumeIntegralInRange<size_t>(0, kPoolSize - 1)];
        case 3: case 4:
            return colliding_high()[in.ConsumeIntegralInRange<size_t>(0, kPoolSize - 1)];
        case 5:
            return session.some_key(in.ConsumeIntegral<uint16_t>());
        default: {
            // Input bytes, NULs included: keys go in with their explicit length.
            return in.ConsumeRandomLengthString(24);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const uint8_t mode = in.ConsumeIntegral<uint8_t>();
    map_session session(mode & 1, mode & 2);
    for (int step = 0; step < 512 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange<int>(0, 10)) {
            case 0: case 1: case 2: case 3: {
                std::string key = next_key(in, session);
                std::string value = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 8));
                session.set(key, value);
                break;
            }
            case 4: case 5:
                session.get(next_key(in, session));
                break;
            case 6: case 7:
                session.pop(next_key(in, session));
                break;
            case 8: {
                // Around the live count (a full table included), or a larger odd capacity.
                const uint64_t base = in.ConsumeBool() ? session.count() : session.capacity();
                const int delta = in.ConsumeIntegralInRange<int>(-2, 40);
                session.resize(delta < 0 && base < uint64_t(-delta) ? 0 : base + delta);
                break;
            }
            case 9:
                session.check();
                break;
            case 10:
                session.arm_failure(in.ConsumeIntegralInRange<int>(0, 1));
                break;
        }
        session.check();
    }
    return 0;
}
