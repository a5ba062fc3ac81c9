// Byte map: an insertion-ordered, open-addressing hash map from byte-string
// keys to small fixed-size values.
//
// Contract of this layer
//  * Linear probing with tombstones; the load (live + tombstones) is at most
//    one half at the moment of an insertion, so probe runs stay short.
//  * Keys are hashed with XXH3-64 under a per-map seed and compared by length,
//    then bytes.  The map owns a NUL-terminated copy of every key.
//  * The record, the bucket array and the key copies are blocks of one
//    allocator protocol; a new bucket array or key copy is requested from the
//    source of the current bucket array.
//  * Live entries form a doubly linked list in insertion order
//    (first -> next); replacing a value keeps the entry's place.
//  * Observers are told about every change, synchronously, after it is done.
//  * Result codes: 0 ok, -1 bad arguments / failure, -2 empty key,
//    -4 key not present, -7 bucket allocation failed.  Nothing here raises,
//    prints or locks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"

extern "C" {

inline constexpr uint64_t BYTE_MAP_MAX_CAPACITY = 0x249249249249249ull;
inline constexpr uint64_t BYTE_MAP_INITIAL_CAPACITY = 64;
inline constexpr uint64_t BYTE_MAP_VALUE_SIZE = 8;
inline constexpr uint64_t BYTE_MAP_ENTRY_SIZE = 64;

inline constexpr int BYTE_MAP_OK = 0;
inline constexpr int BYTE_MAP_ERR_ARGS = -1;
inline constexpr int BYTE_MAP_ERR_EMPTY_KEY = -2;
inline constexpr int BYTE_MAP_ERR_NOT_FOUND = -4;
inline constexpr int BYTE_MAP_ERR_NO_MEMORY = -7;

enum byte_map_event : uint32_t {
    BYTE_MAP_EVENT_REPLACED = 0,
    BYTE_MAP_EVENT_INSERTED = 1,
    BYTE_MAP_EVENT_POPPED = 2,
    BYTE_MAP_EVENT_RESIZED = 4,
};

struct byte_map_entry {
    uint64_t hash;
    uint64_t key_len;
    char* key;
    uint64_t value_len;
    uint8_t occupied;
    uint8_t tombstone;
    uint8_t reserved[6];
    byte_map_entry* previous;
    byte_map_entry* next;
    uint8_t value[BYTE_MAP_VALUE_SIZE];
};

using byte_map_callback = void (*)(uint32_t event, const char* key, uint64_t key_len,
                                   const void* value, uint64_t value_len, uint64_t zero,
                                   void* user_data);

struct byte_map_observer {
    byte_map_callback callback;
    void* user_data;
    uint64_t reserved;
    byte_map_observer* next;
};

struct byte_map {
    byte_map_entry* buckets;
    byte_map_entry* first;
    byte_map_entry* last;
    byte_map_observer* observers;
    uint64_t capacity;
    uint64_t count;
    uint64_t used;  // live entries plus tombstones
    uint64_t seed;
    uint64_t value_size;
    uint64_t entry_size;
    byte_map_entry* buckets_end;
};

byte_map* byte_map_new(const allocator_protocol* protocol);
int byte_map_hash(const byte_map* map, const char* key, uint64_t key_len, uint64_t* out_hash);
int byte_map_get(const byte_map* map, const char* key, uint64_t key_len, void* out_value);
// On success *out_entry (if given) is the entry that now holds the key.
int byte_map_set(byte_map* map, const char* key, uint64_t key_len, const void* value,
                 uint64_t value_len, byte_map_entry** out_entry);
int byte_map_pop(byte_map* map, const char* key, uint64_t key_len);
int byte_map_resize(byte_map* map, uint64_t new_capacity);
void byte_map_notify(uint32_t event, byte_map* map, const char* key, uint64_t key_len,
                     const void* value, uint64_t value_len);

}  // extern "C"

static_assert(sizeof(byte_map) == 88);
static_assert(offsetof(byte_map, capacity) == 32);
static_assert(offsetof(byte_map, seed) == 56);
static_assert(offsetof(byte_map, buckets_end) == 80);
static_assert(sizeof(byte_map_entry) == 64);
static_assert(offsetof(byte_map_entry, occupied) == 32);
static_assert(offsetof(byte_map_entry, tombstone) == 33);
static_assert(offsetof(byte_map_entry, previous) == 40);
static_assert(offsetof(byte_map_entry, value) == 56);
static_assert(sizeof(byte_map_observer) == 32);
