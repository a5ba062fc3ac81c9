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
#include <type_traits>

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
class FlatTable {
public:
    static constexpr uint64_t kMinCapacity = 16;

    uint64_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    // Bytes of slot storage held.
    uint64_t bytes() const { return capacity_ * sizeof(Slot); }

    [[nodiscard]] bool reserve_one(Storage& owner) { return reserve(owner, 1); }
    [[nodiscard]] bool reserve(Storage& owner, uint64_t extra) {
        uint64_t size = capacity_ ? capacity_ : kMinCapacity;
        while ((count_ + extra) * 100 > size * max_load_percent()) size *= 2;
        return size == capacity_ || resize(owner, size);
    }

    // Gives memory back as the table empties, so a table that held many
    // slots and holds none again is back to its empty size.  Without memory
    // for the smaller array the larger one is kept: it answers the same.
    void shrink(Storage& owner) {
        if (count_ == 0) free_storage(owner);
        else if (capacity_ > kMinCapacity && count_ * 8 < capacity_ && !resize(owner, capacity_ / 2)) return;
    }

    // The caller reserved room first.
    Slot* insert(const Slot& slot) { return insert_hashed(slot, hash_of(slot)); }
    Slot* insert_hashed(const Slot& slot, uint64_t hash) {
        uint64_t at = hash & (capacity_ - 1);
        while (slots_[at].used()) at = (at + 1) & (capacity_ - 1);
        slots_[at] = slot;
        ++count_;
        return &slots_[at];
    }

    // The first slot of hash `hash` that `visit` accepts, or null.
    template <class Visit>
    Slot* find(uint64_t hash, Visit&& visit) const {
        if (capacity_ == 0) return nullptr;
        for (uint64_t at = hash & (capacity_ - 1); slots_[at].used(); at = (at + 1) & (capacity_ - 1))
            if (hash_of(slots_[at]) == hash && visit(slots_[at])) return &slots_[at];
        return nullptr;
    }

    // Like find(), for slots whose hash is costly to recompute: every slot of
    // the probe run is offered to `visit`.
    template <class Visit>
    Slot* find_slot(uint64_t hash, Visit&& visit) const {
        if (capacity_ == 0) return nullptr;
        for (uint64_t at = hash & (capacity_ - 1); slots_[at].used(); at = (at + 1) & (capacity_ - 1))
            if (visit(slots_[at])) return &slots_[at];
        return nullptr;
    }

    // Every used slot in storage order.  A `visit` that returns a number
    // stops the walk at the first non-zero one, which is returned.
    template <class Visit>
    auto for_each_used(Visit&& visit) const {
        using Result = decltype(visit(*slots_));
        for (uint64_t i = 0; i < capacity_; ++i) {
            if (!slots_[i].used()) continue;
            if constexpr (std::is_void_v<Result>) visit(slots_[i]);
            else if (Result result = visit(slots_[i])) return result;
        }
        if constexpr (!std::is_void_v<Result>) return Result{};
    }

    // Erases every used slot that `doomed` accepts.
    template <class Doomed>
    void erase_if(Doomed&& doomed) {
        for (uint64_t i = 0; i < capacity_;) {
            if (slots_[i].used() && doomed(slots_[i])) erase(&slots_[i]);  // shifts a follower into i
            else ++i;
        }
    }

    // A slot's position, and the slot at a position while it is still used:
    // for callers that remember where an entry was as a hint.
    uint64_t position_of(const Slot* slot) const { return static_cast<uint64_t>(slot - slots_); }
    Slot* used_at(uint64_t position) const {
        return position < capacity_ && slots_[position].used() ? &slots_[position] : nullptr;
    }

    void erase(Slot* slot) {
        uint64_t hole = static_cast<uint64_t>(slot - slots_);
        uint64_t at = hole;
        for (;;) {
            at = (at + 1) & (capacity_ - 1);
            if (!slots_[at].used()) break;
            const uint64_t home = hash_of(slots_[at]) & (capacity_ - 1);
            // The follower stays when its home lies in (hole, at]: moving it
            // back would put it before its home.
            const bool stays = hole <= at ? (home > hole && home <= at) : (home > hole || home <= at);
            if (stays) continue;
            slots_[hole] = slots_[at];
            hole = at;
        }
        slots_[hole] = Slot{};
        --count_;
    }

    void free_storage(Storage& owner) {
        if (slots_ != nullptr) owner.release(slots_, capacity_ * sizeof(Slot));
        slots_ = nullptr;
        capacity_ = count_ = 0;
    }

private:
    static uint64_t hash_of(const Slot& slot) {
        if constexpr (requires { slot.hash(); }) return slot.hash();
        else return slot.hash;
    }
    static constexpr uint64_t max_load_percent() {
        if constexpr (requires { Slot::kMaxLoadPercent; }) return Slot::kMaxLoadPercent;
        else return 75;
    }

    [[nodiscard]] bool resize(Storage& owner, uint64_t size) {
        auto* fresh = static_cast<Slot*>(owner.request(size * sizeof(Slot)));
        if (fresh == nullptr) return false;
        for (uint64_t i = 0; i < capacity_; ++i) {
            if (!slots_[i].used()) continue;
            uint64_t at = hash_of(slots_[i]) & (size - 1);
            while (fresh[at].used()) at = (at + 1) & (size - 1);
            fresh[at] = slots_[i];
        }
        if (slots_ != nullptr) owner.release(slots_, capacity_ * sizeof(Slot));
        slots_ = fresh;
        capacity_ = size;
        return true;
    }

    Slot* slots_ = nullptr;
    uint64_t capacity_ = 0;
    uint64_t count_ = 0;
};

}  // namespace topic_core
