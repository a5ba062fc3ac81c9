// An open-addressing hash table of small trivially copyable slots, the one
// used by the subscription trie (edges, records, literals, range options)
// and by the binding layer's record lifetime table.
//
// Invariants
//  * Linear probing over a power-of-two array: a slot sits at its home
//    (hash & (capacity - 1)) or after it, with no free slot in between.
//  * Removal shifts followers back into the hole (no tombstones), so a probe
//    run always ends at the first free slot.
//  * The table grows before the load passes Slot::kMaxLoadPercent (75 when
//    the slot does not say) and shrinks back as it empties.
//  * Slots say whether they are used (`used()`, a zero-filled slot is free)
//    and give their hash (`hash()`, or a `hash` field).
//  * Storage comes from `Storage` (request(bytes) gives zero-filled memory or
//    null, release(block, bytes) takes it back): a failed growth is a false
//    return, never an exception, and leaves the table as it was.
// Not synchronised.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace topic_core {

// Spreads the bits of a pointer or integer key over the word (the
// finalizer of MurmurHash3): table homes come from the low bits.
inline uint64_t mix_bits(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    return x;
}

// Storage for tables kept on the C heap.
struct CHeapStorage {
    void* request(uint64_t size) { return std::calloc(1, size); }
    void release(void* block, uint64_t) { std::free(block); }
};

template <class Slot, class Storage>
struct FlatTable {
    Slot* slots = nullptr;
    uint64_t capacity = 0;
    uint64_t count = 0;

    static constexpr uint64_t kMinCapacity = 16;

    static uint64_t hash_of(const Slot& slot) {
        if constexpr (requires { slot.hash(); }) return slot.hash();
        else return slot.hash;
    }
    static constexpr uint64_t max_load_percent() {
        if constexpr (requires { Slot::kMaxLoadPercent; }) return Slot::kMaxLoadPercent;
        else return 75;
    }

    bool reserve_one(Storage& owner) { return reserve(owner, 1); }
    bool reserve(Storage& owner, uint64_t extra) {
        uint64_t size = capacity ? capacity : kMinCapacity;
        while ((count + extra) * 100 > size * max_load_percent()) size *= 2;
        return size == capacity || resize(owner, size);
    }

    // Gives memory back as the table empties, so a table that held many
    // slots and holds none again is back to its empty size.
    void shrink(Storage& owner) {
        if (count == 0) free_storage(owner);
        else if (capacity > kMinCapacity && count * 8 < capacity) resize(owner, capacity / 2);
    }

    bool resize(Storage& owner, uint64_t size) {
        auto* fresh = static_cast<Slot*>(owner.request(size * sizeof(Slot)));
        if (fresh == nullptr) return false;
        for (uint64_t i = 0; i < capacity; ++i) {
            if (!slots[i].used()) continue;
            uint64_t at = hash_of(slots[i]) & (size - 1);
            while (fresh[at].used()) at = (at + 1) & (size - 1);
            fresh[at] = slots[i];
        }
        if (slots != nullptr) owner.release(slots, capacity * sizeof(Slot));
        slots = fresh;
        capacity = size;
        return true;
    }

    // The caller reserved room first.
    Slot* insert(const Slot& slot) { return insert_hashed(slot, hash_of(slot)); }
    Slot* insert_hashed(const Slot& slot, uint64_t hash) {
        uint64_t at = hash & (capacity - 1);
        while (slots[at].used()) at = (at + 1) & (capacity - 1);
        slots[at] = slot;
        ++count;
        return &slots[at];
    }

    // The first slot of hash `hash` that `visit` accepts, or null.
    template <class Visit>
    Slot* find(uint64_t hash, Visit&& visit) const {
        if (capacity == 0) return nullptr;
        for (uint64_t at = hash & (capacity - 1); slots[at].used(); at = (at + 1) & (capacity - 1))
            if (hash_of(slots[at]) == hash && visit(slots[at])) return &slots[at];
        return nullptr;
    }

    // Like find(), for slots whose hash is costly to recompute: every slot of
    // the probe run is offered to `visit`.
    template <class Visit>
    Slot* find_slot(uint64_t hash, Visit&& visit) const {
        if (capacity == 0) return nullptr;
        for (uint64_t at = hash & (capacity - 1); slots[at].used(); at = (at + 1) & (capacity - 1))
            if (visit(slots[at])) return &slots[at];
        return nullptr;
    }

    void erase(Slot* slot) {
        uint64_t hole = static_cast<uint64_t>(slot - slots);
        uint64_t at = hole;
        for (;;) {
            at = (at + 1) & (capacity - 1);
            if (!slots[at].used()) break;
            const uint64_t home = hash_of(slots[at]) & (capacity - 1);
            // The follower stays when its home lies in (hole, at]: moving it
            // back would put it before its home.
            const bool stays = hole <= at ? (home > hole && home <= at) : (home > hole || home <= at);
            if (stays) continue;
            slots[hole] = slots[at];
            hole = at;
        }
        slots[hole] = Slot{};
        --count;
    }

    void free_storage(Storage& owner) {
        if (slots != nullptr) owner.release(slots, capacity * sizeof(Slot));
        slots = nullptr;
        capacity = count = 0;
    }
};

}  // namespace topic_core
