// Byte map: open addressing with linear probing and tombstones, live entries
// threaded on an insertion-ordered list, private NUL-terminated key copies.
#include "nyxel/bytemap/sorvelink.h"

#include <cstring>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace {

constexpr uint64_t kSeedMix = 0x9E3779B97F4A7C15ull;

// Bytes an entry can actually hold: never more than the bucket's value slot,
// whatever the record claims.
inline uint64_t value_capacity(const byte_map* map) {
    return map->value_size < BYTE_MAP_VALUE_SIZE ? map->value_size : BYTE_MAP_VALUE_SIZE;
}

inline uint64_t measured(const char* key, uint64_t key_len) {
    return key_len != 0 ? key_len : std::strlen(key);
}

[[gnu::always_inline]] inline uint64_t hash_bytes(const byte_map* map, const char* key, uint64_t key_len) {
    if (map != nullptr && map->seed != 0) return XXH3_64bits_withSeed(key, key_len, map->seed);
    return XXH3_64bits(key, key_len);
}

// Bucket of a hash.  Growth keeps capacities at powers of two (short of the
// maximum), where a mask gives the same bucket as the division without its
// latency; other capacities come only from explicit resizes.
inline uint64_t bucket_index(uint64_t hash, uint64_t capacity) {
    return (capacity & (capacity - 1)) == 0 ? hash & (capacity - 1) : hash % capacity;
}

// The stored hash is compared first: it sits in the bucket already loaded,
// while the key bytes are behind a pointer (another cache line, often a miss).
inline bool holds_key(const byte_map_entry* entry, const char* key, uint64_t key_len, uint64_t hash) {
    return entry->occupied && entry->hash == hash && entry->key_len == key_len &&
           std::memcmp(entry->key, key, key_len) == 0;
}

// What a probe run from hash % capacity found.  `stop` is the free bucket
// that ended the run, or null when the run came back to its start.
struct probe_result {
    byte_map_entry* match;
    byte_map_entry* first_tombstone;
    byte_map_entry* stop;
};

probe_result probe(const byte_map* map, const char* key, uint64_t key_len, uint64_t hash) {
    probe_result result{nullptr, nullptr, nullptr};
    byte_map_entry* const begin = map->buckets;
    byte_map_entry* const end = begin + map->capacity;
    byte_map_entry* const start = begin + bucket_index(hash, map->capacity);
    byte_map_entry* entry = start;
    do {
        if (entry->occupied) {
            if (holds_key(entry, key, key_len, hash)) {
                result.match = entry;
                return result;
            }
        } else if (entry->tombstone) {
            if (result.first_tombstone == nullptr) result.first_tombstone = entry;
        } else {
            result.stop = entry;
            return result;
        }
        if (++entry == end) entry = begin;
    } while (entry != start);
    return result;
}

inline void store_value(byte_map_entry* entry, const void* value, uint64_t value_len) {
    std::memset(entry->value, 0, sizeof entry->value);
    if (value_len != 0) std::memcpy(entry->value, value, value_len);
    entry->value_len = value_len;
}

inline bool has_buckets(const byte_map* map) {
    return map->buckets != nullptr && map->capacity != 0;
}

// Lookup-only probe: the same run as probe() without tracking tombstones or
// the stopping bucket, which only insertion needs.  Inlined with the hash
// into the lookup so that a get is one stack frame.
// A bucket without a live entry always holds hash 0: bucket arrays are
// handed out zero-filled and a pop clears the whole entry.  So a non-zero
// stored hash other than the key's is a live entry of another key, passed
// on that one word; the flags are read only for a zero hash (free bucket,
// tombstone, or a live hash of 0) and for an equal hash.  An entry straddles
// two cache lines when the bucket array is not 64-byte aligned (the
// allocator aligns blocks to 8), and this keeps a miss on the line of the
// hash.  Were the rule ever broken, a run would only be walked further,
// never answered wrongly: every candidate is still checked for `occupied`.
[[gnu::always_inline]] inline byte_map_entry* find(const byte_map* map, const char* key, uint64_t key_len) {
    const uint64_t hash = hash_bytes(map, key, key_len);
    byte_map_entry* const begin = map->buckets;
    byte_map_entry* const end = begin + map->capacity;
    byte_map_entry* const start = begin + bucket_index(hash, map->capacity);
    byte_map_entry* entry = start;
    do {
        const uint64_t stored = entry->hash;
        if (stored == hash) {
            if (entry->occupied && entry->key_len == key_len && std::memcmp(entry->key, key, key_len) == 0)
                return entry;
        }
        if (stored == 0) {
            uint16_t flags;  // occupied and tombstone, adjacent bytes
            std::memcpy(&flags, &entry->occupied, sizeof flags);
            if (flags == 0) return nullptr;
        }
        if (++entry == end) entry = begin;
    } while (entry != start);
    return nullptr;
}

// Copies a stored value out; values are at most 8 bytes, nearly always a
// full pointer, which a fixed-size copy handles without a library call.
inline void load_value(const byte_map_entry* entry, void* out_value) {
    if (entry->value_len == sizeof entry->value) std::memcpy(out_value, entry->value, sizeof entry->value);
    else std::memcpy(out_value, entry->value, entry->value_len);
}

// Next capacity when an insertion finds the table too loaded; equal to the
// current one once the maximum is reached.
uint64_t grown_capacity(uint64_t capacity) {
    if (capacity == 0) return 16;
    if (capacity >= BYTE_MAP_MAX_CAPACITY / 2) return BYTE_MAP_MAX_CAPACITY;
    return capacity * 2;
}

// When the load is mostly tombstones, rebuilding at the same capacity clears
// them; doubling instead would let insert/pop churn grow the table without
// bound while it holds only a handful of keys.
inline bool tombstones_dominate(const byte_map* map) {
    return map->count < map->capacity / 4;
}

const allocator_protocol* bucket_source(const byte_map* map) {
    return c_ap_protocol_from_ptr(map->buckets != nullptr ? static_cast<const void*>(map->buckets)
                                                          : static_cast<const void*>(map));
}

}  // namespace

extern "C" {

byte_map* byte_map_new(const allocator_protocol* protocol) {
    auto* map = static_cast<byte_map*>(c_ap_request(sizeof(byte_map), protocol));
    if (map == nullptr) return nullptr;
    const uint64_t bucket_bytes = BYTE_MAP_INITIAL_CAPACITY * BYTE_MAP_ENTRY_SIZE;
    auto* buckets = static_cast<byte_map_entry*>(c_ap_request(bucket_bytes, protocol));
    if (buckets == nullptr) {
        c_ap_free(map);
        return nullptr;
    }
    map->buckets = buckets;
    map->buckets_end = buckets + BYTE_MAP_INITIAL_CAPACITY;
    map->capacity = BYTE_MAP_INITIAL_CAPACITY;
    map->value_size = BYTE_MAP_VALUE_SIZE;
    map->entry_size = BYTE_MAP_ENTRY_SIZE;

    // The seed is derived from the record's address so that maps differ;
    // hashed little-endian so the derivation is the same on every host.
    const uint64_t address = reinterpret_cast<uintptr_t>(map) ^ 64u;
    unsigned char le[8];
    for (int i = 0; i < 8; ++i) le[i] = static_cast<unsigned char>(address >> (8 * i));
    map->seed = XXH3_64bits(le, sizeof le) ^ kSeedMix;
    return map;
}

int byte_map_hash(const byte_map* map, const char* key, uint64_t key_len, uint64_t* out_hash) {
    if (key == nullptr) return BYTE_MAP_ERR_EMPTY_KEY;
    key_len = measured(key, key_len);
    if (key_len == 0) return BYTE_MAP_ERR_EMPTY_KEY;
    if (out_hash == nullptr) return BYTE_MAP_ERR_ARGS;
    *out_hash = hash_bytes(map, key, key_len);
    return BYTE_MAP_OK;
}

int byte_map_get(const byte_map* map, const char* key, uint64_t key_len, void* out_value) {
    if (map == nullptr || !has_buckets(map) || key == nullptr) return BYTE_MAP_ERR_ARGS;
    key_len = measured(key, key_len);
    if (key_len == 0) return BYTE_MAP_ERR_EMPTY_KEY;
    const byte_map_entry* entry = find(map, key, key_len);
    if (entry == nullptr) return BYTE_MAP_ERR_NOT_FOUND;
    if (out_value != nullptr) load_value(entry, out_value);
    return BYTE_MAP_OK;
}

int byte_map_set(byte_map* map, const char* key, uint64_t key_len, const void* value,
                 uint64_t value_len, byte_map_entry** out_entry) {
    if (map == nullptr || key == nullptr) return BYTE_MAP_ERR_ARGS;
    if (value_len > value_capacity(map) || (value == nullptr && value_len != 0))
        return BYTE_MAP_ERR_ARGS;
    key_len = measured(key, key_len);
    if (key_len == 0 || key_len == UINT64_MAX) return BYTE_MAP_ERR_ARGS;

    const uint64_t hash = hash_bytes(map, key, key_len);
    byte_map_entry* slot = nullptr;
    bool takes_free_bucket = false;
    for (;;) {
        probe_result found{nullptr, nullptr, nullptr};
        if (has_buckets(map)) {
            found = probe(map, key, key_len, hash);
            if (found.match != nullptr) {
                byte_map_entry* entry = found.match;
                store_value(entry, value, value_len);
                byte_map_notify(BYTE_MAP_EVENT_REPLACED, map, entry->key, entry->key_len,
                                entry->value, entry->value_len);
                if (out_entry != nullptr) *out_entry = entry;
                return BYTE_MAP_OK;
            }
            if (found.first_tombstone != nullptr) {
                slot = found.first_tombstone;
                break;
            }
            // Keep the load at or below one half at the moment of insertion.
            if (found.stop != nullptr && 2 * map->used < map->capacity) {
                slot = found.stop;
                takes_free_bucket = true;
                break;
            }
        }
        if (found.stop != nullptr && tombstones_dominate(map)) {
            if (byte_map_resize(map, map->capacity) != BYTE_MAP_OK) return BYTE_MAP_ERR_ARGS;
            continue;
        }
        const uint64_t capacity = grown_capacity(map->capacity);
        if (capacity == map->capacity) {
            if (found.stop == nullptr) return BYTE_MAP_ERR_ARGS;  // full at the maximum
            slot = found.stop;
            takes_free_bucket = true;
            break;
        }
        if (byte_map_resize(map, capacity) != BYTE_MAP_OK) return BYTE_MAP_ERR_ARGS;
    }

    auto* key_copy = static_cast<char*>(c_ap_request(key_len + 1, bucket_source(map)));
    if (key_copy == nullptr) return BYTE_MAP_ERR_ARGS;
    std::memcpy(key_copy, key, key_len);

    slot->hash = hash;
    slot->key_len = key_len;
    slot->key = key_copy;
    store_value(slot, value, value_len);
    slot->occupied = 1;
    slot->tombstone = 0;
    slot->previous = map->last;
    slot->next = nullptr;
    if (map->last != nullptr) map->last->next = slot;
    else map->first = slot;
    map->last = slot;
    ++map->count;
    if (takes_free_bucket) ++map->used;

    byte_map_notify(BYTE_MAP_EVENT_INSERTED, map, slot->key, slot->key_len, slot->value,
                    slot->value_len);
    if (out_entry != nullptr) *out_entry = slot;
    return BYTE_MAP_OK;
}

int byte_map_pop(byte_map* map, const char* key, uint64_t key_len) {
    if (map == nullptr || key == nullptr) return BYTE_MAP_ERR_ARGS;
    key_len = measured(key, key_len);
    if (key_len == 0) return BYTE_MAP_ERR_EMPTY_KEY;
    if (!has_buckets(map)) return BYTE_MAP_ERR_NOT_FOUND;
    byte_map_entry* entry = find(map, key, key_len);
    if (entry == nullptr) return BYTE_MAP_ERR_NOT_FOUND;

    if (entry->previous != nullptr) entry->previous->next = entry->next;
    else map->first = entry->next;
    if (entry->next != nullptr) entry->next->previous = entry->previous;
    else map->last = entry->previous;

    char* key_copy = entry->key;
    std::memset(entry, 0, sizeof *entry);
    entry->tombstone = 1;
    --map->count;

    // Callers routinely pass the entry's own key copy (the topic registry
    // does), so the copy is released only after the observers have seen it.
    byte_map_notify(BYTE_MAP_EVENT_POPPED, map, key, key_len, nullptr, 0);
    c_ap_free(key_copy);
    return BYTE_MAP_OK;
}

int byte_map_resize(byte_map* map, uint64_t new_capacity) {
    if (map == nullptr || new_capacity == 0 || new_capacity > BYTE_MAP_MAX_CAPACITY)
        return BYTE_MAP_ERR_ARGS;
    // Every live entry needs a bucket of its own, or placement never ends.
    if (new_capacity < map->count) return BYTE_MAP_ERR_ARGS;
    if (new_capacity > UINT64_MAX / sizeof(byte_map_entry)) return BYTE_MAP_ERR_NO_MEMORY;

    auto* buckets = static_cast<byte_map_entry*>(
        c_ap_request(new_capacity * sizeof(byte_map_entry), bucket_source(map)));
    if (buckets == nullptr) return BYTE_MAP_ERR_NO_MEMORY;

    byte_map_entry* const end = buckets + new_capacity;
    byte_map_entry* placed_first = nullptr;
    byte_map_entry* placed_last = nullptr;
    for (const byte_map_entry* old = map->first; old != nullptr; old = old->next) {
        byte_map_entry* slot = buckets + bucket_index(old->hash, new_capacity);
        while (slot->occupied) {
            if (++slot == end) slot = buckets;
        }
        *slot = *old;  // the key copy moves with the entry
        slot->previous = placed_last;
        slot->next = nullptr;
        if (placed_last != nullptr) placed_last->next = slot;
        else placed_first = slot;
        placed_last = slot;
    }

    c_ap_free(map->buckets);
    map->buckets = buckets;
    map->buckets_end = end;
    map->capacity = new_capacity;
    map->used = map->count;
    map->first = placed_first;
    map->last = placed_last;
    byte_map_notify(BYTE_MAP_EVENT_RESIZED, map, nullptr, 0, nullptr, 0);
    return BYTE_MAP_OK;
}

void byte_map_notify(uint32_t event, byte_map* map, const char* key, uint64_t key_len,
                     const void* value, uint64_t value_len) {
    if (map == nullptr) return;
    for (byte_map_observer* observer = map->observers; observer != nullptr;) {
        byte_map_observer* next = observer->next;  // the callback may unlink its node
        if (observer->callback != nullptr)
            observer->callback(event, key, key_len, value, value_len, 0, observer->user_data);
        observer = next;
    }
}

}  // extern "C"
