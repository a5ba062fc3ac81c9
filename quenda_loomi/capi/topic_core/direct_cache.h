// A direct-mapped cache: a power-of-two array of slots where a key's hash,
// spread by mix_bits, picks the one slot the key may occupy; a colliding key
// replaces the occupant.  Used where remembering the last answer per slot is
// enough (compiled expressions, search answers, wildcard names).
//
// Contract
//  * Slots are trivially copyable and zero-filled when free; the caller
//    decides what a slot holds and whether it is the key's.
//  * The storage is requested on first use; without memory slot_for()
//    answers null and the caller computes the answer itself.
//  * Whatever a slot owns is the caller's to let go of (for_each) before
//    release() or destruction.  Not synchronised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <type_traits>
#include <utility>

#include "quenda_loomi/capi/topic_core/flat_table.h"

namespace topic_core {

template <class Slot, size_t kSlots>
class DirectCache {
    static_assert(kSlots != 0 && (kSlots & (kSlots - 1)) == 0, "a power of two");
    static_assert(std::is_trivially_copyable_v<Slot>);

public:
    DirectCache() = default;
    ~DirectCache() { release(); }
    DirectCache(const DirectCache&) = delete;
    DirectCache& operator=(const DirectCache&) = delete;

    // The slot of a key of hash `hash`, or null without memory for the cache.
    Slot* slot_for(uint64_t hash) {
        if (slots_ == nullptr) slots_ = static_cast<Slot*>(std::calloc(kSlots, sizeof(Slot)));
        return slots_ != nullptr ? &slots_[mix_bits(hash) & (kSlots - 1)] : nullptr;
    }

    template <class Visit>
    void for_each(Visit&& visit) {
        for (size_t i = 0; slots_ != nullptr && i < kSlots; ++i) visit(slots_[i]);
    }

    void release() { std::free(std::exchange(slots_, nullptr)); }

private:
    Slot* slots_ = nullptr;
};

}  // namespace topic_core
