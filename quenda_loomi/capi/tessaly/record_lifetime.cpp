// Record lifetime of the binding layer: the table of tracked records, their
// generations, pins and watchers, and the freeing decisions (rules in
// record_lifetime.h).
#include "quenda_loomi/capi/tessaly/record_lifetime.h"

#include <cstdlib>
#include <cstring>

#include "quenda_loomi/capi/topic_core/chain_tail.h"
#include "quenda_loomi/capi/topic_core/flat_table.h"
#include "quenda_loomi/capi/topic_core/registry_rekey.h"

namespace tessaly {
namespace {

// Parts released while their record was pinned, waiting for the last unpin.
struct ParkedChain {
    evt_topic_part_variant* parts;
    ParkedChain* next;
};

struct Entry {
    static constexpr uint64_t kMaxLoadPercent = 50;
    evt_topic* record;  // null: free slot
    uint32_t wrappers;
    uint32_t pins;
    uint32_t watchers;
    bool owned;          // some wrapper owned the record: the last one frees it
    bool free_pending;   // freed while pinned: the last unpin frees it
    uint64_t generation;
    uint64_t released_at;  // stamp of the last release of parts
    ParkedChain* parked;

    bool used() const { return record != nullptr; }
    uint64_t hash() const;
};

// The records' entries: the trie's open-addressing table, at most half full,
// on the C heap.
using Table = topic_core::FlatTable<Entry, topic_core::CHeapStorage>;

Table table;
topic_core::CHeapStorage heap;
uint64_t clock_now = 0;
uint64_t watched_changes = 0;
uint64_t lost_watches = 0;

uint64_t next_stamp() { return ++clock_now; }

// The records behind the last kWatchedChangeLog moves of watched_changes, by
// count modulo the log's size (null for a move no record stands for).
evt_topic* watched_change_log[kWatchedChangeLog] = {};

void note_watched_change(evt_topic* record) {
    ++watched_changes;
    watched_change_log[watched_changes % kWatchedChangeLog] = record;
}

uint64_t hash_of_record(const evt_topic* record) {
    auto bits = reinterpret_cast<uintptr_t>(record) >> 4;
    return static_cast<uint64_t>(bits) * 0x9E3779B97F4A7C15ull >> 17;
}

uint64_t Entry::hash() const { return hash_of_record(record); }

Entry* find(const evt_topic* record) {
    if (record == nullptr) return nullptr;
    return table.find_slot(hash_of_record(record), [&](const Entry& entry) { return entry.record == record; });
}

Entry* find_or_insert(evt_topic* record) {
    if (Entry* found = find(record)) return found;
    if (!table.reserve_one(heap)) return nullptr;
    Entry fresh{};
    fresh.record = record;
    fresh.generation = next_stamp();
    return table.insert_hashed(fresh, hash_of_record(record));
}

void erase(Entry* entry) { table.erase(entry); }

void release_chain(evt_topic_part_variant* part) {
    while (part != nullptr) {
        evt_topic_part_variant* next = part->next;
        evt_topic_part_free(part);
        part = next;
    }
}

void release_parked(Entry* entry) {
    for (ParkedChain* parked = entry->parked; parked != nullptr;) {
        ParkedChain* next = parked->next;
        release_chain(parked->parts);
        std::free(parked);
        parked = next;
    }
    entry->parked = nullptr;
}

void note_change(Entry* entry, bool parts_released) {
    entry->generation = next_stamp();
    if (parts_released) entry->released_at = entry->generation;
    if (entry->watchers > 0) note_watched_change(entry->record);
}

// Frees the record now (entry and all), or marks it for the last unpin.
void free_tracked(evt_topic* record, Entry* entry) {
    if (entry != nullptr) {
        if (entry->pins > 0) {
            entry->free_pending = true;
            note_change(entry, true);
            return;
        }
        if (entry->watchers > 0) note_watched_change(record);
        release_parked(entry);
        erase(entry);
    }
    evt_topic_free(record);
}

bool is_registered(const evt_topic* record) { return evt_topic_is_registered(record) != 0; }

// Drops an entry nobody counts any more, freeing its record when nothing
// else can reach it (owned, freed while pinned, or out of the registry).
void forget_if_unused(Entry* entry) {
    if (entry->wrappers != 0 || entry->pins != 0 || entry->watchers != 0) return;
    release_parked(entry);
    evt_topic* record = entry->record;
    const bool unreachable = entry->free_pending || entry->owned || !is_registered(record);
    erase(entry);
    if (unreachable) evt_topic_free(record);
}

}  // namespace

// ---- Observing ----------------------------------------------------------------------

uint64_t record_generation(const evt_topic* record) noexcept {
    const Entry* entry = find(record);
    return entry ? entry->generation : 0;
}

uint64_t current_stamp() noexcept { return clock_now; }

bool parts_released_since(const evt_topic* record, uint64_t stamp) noexcept {
    const Entry* entry = find(record);
    return entry == nullptr || entry->released_at > stamp;
}

bool record_has_part(const evt_topic* record, const evt_topic_part_variant* part) noexcept {
    if (record == nullptr || part == nullptr) return false;
    for (const evt_topic_part_variant* it = record->parts; it != nullptr; it = it->next)
        if (it == part) return true;
    return false;
}

// Parts leave a chain only by being released, so a part the record held at
// `stamp` is still there when nothing was released since: no walk needed,
// whatever else (appends, key changes) moved the generation.
bool record_still_holds(const evt_topic* record, const evt_topic_part_variant* part, uint64_t stamp) noexcept {
    const Entry* entry = find(record);
    return entry != nullptr && part != nullptr && entry->released_at <= stamp;
}

void record_watch(evt_topic* record) noexcept {
    if (record == nullptr) return;
    Entry* entry = find_or_insert(record);
    if (entry == nullptr) {
        ++lost_watches;
        return;
    }
    ++entry->watchers;
}

void record_unwatch(evt_topic* record) noexcept {
    Entry* entry = find(record);
    if (entry != nullptr && entry->watchers > 0) {
        --entry->watchers;
        forget_if_unused(entry);
    } else if (lost_watches > 0) {
        --lost_watches;
    }
}

uint64_t watched_change_count() noexcept {
    if (lost_watches > 0) note_watched_change(nullptr);
    return watched_changes;
}

evt_topic* watched_change_record(uint64_t count) noexcept {
    if (count == 0 || count > watched_changes || watched_changes - count >= kWatchedChangeLog) return nullptr;
    return watched_change_log[count % kWatchedChangeLog];
}

uint64_t tracked_record_count() noexcept { return table.size(); }

// ---- Pins -----------------------------------------------------------------------------

namespace {

// The entry of `record`, trying the slot it was last seen in first.
Entry* find_near(const evt_topic* record, uint64_t& slot) {
    if (Entry* hinted = table.used_at(slot); record != nullptr && hinted != nullptr && hinted->record == record)
        return hinted;
    Entry* entry = find(record);
    if (entry != nullptr) slot = table.position_of(entry);
    return entry;
}

}  // namespace

RecordPin::RecordPin(evt_topic* record) noexcept {
    Entry* entry = find_near(record, slot_);
    if (entry == nullptr) return;
    ++entry->pins;
    record_ = record;
}

uint64_t RecordPin::generation() const noexcept {
    const Entry* entry = find_near(record_, slot_);
    return entry ? entry->generation : 0;
}

namespace {

// One pin of `entry`'s record goes; the last one settles what waited for it.
void unpin(evt_topic* record, Entry* entry) {
    if (entry == nullptr || entry->pins == 0) return;
    if (--entry->pins != 0) return;
    release_parked(entry);
    if (entry->free_pending && entry->wrappers == 0) {
        if (entry->watchers > 0) note_watched_change(record);
        erase(entry);
        evt_topic_free(record);
        return;
    }
    forget_if_unused(entry);
}

}  // namespace

void RecordPin::reset() noexcept {
    evt_topic* record = std::exchange(record_, nullptr);
    unpin(record, find_near(record, slot_));
}

bool RecordPins::pin(evt_topic* record) noexcept {
    Entry* entry = find(record);
    if (entry == nullptr) return true;  // untracked: nothing can free it behind our back
    if (!records_.push_back(record)) return false;
    ++entry->pins;
    return true;
}

void RecordPins::reset() noexcept {
    for (evt_topic* record : records_) unpin(record, find(record));
    records_.clear();
}

// ---- Wrappers ---------------------------------------------------------------------------

bool record_acquire(evt_topic* record) noexcept {
    if (record == nullptr) return true;
    Entry* entry = find_or_insert(record);
    if (entry == nullptr) return false;
    // Reached again through the registry before a deferred free: the new
    // wrapper keeps it, and the last wrapper frees it as an owned record.
    entry->free_pending = false;
    ++entry->wrappers;
    return true;
}

void record_release(evt_topic* record, bool owner) noexcept {
    if (record == nullptr) return;
    Entry* entry = find(record);
    if (entry == nullptr || entry->wrappers == 0) {
        // Wrapped without record_acquire (should not happen): only an owner
        // may free, and nobody else is known to hold the record.
        if (owner) free_tracked(record, entry);
        return;
    }
    entry->owned = entry->owned || owner;
    if (--entry->wrappers > 0) return;
    if (entry->pins == 0 && (entry->owned || !is_registered(record))) {
        free_tracked(record, entry);
        return;
    }
    forget_if_unused(entry);  // a pinned record is settled at its last unpin
}

void record_discard(evt_topic* record) noexcept {
    if (record != nullptr) free_tracked(record, find(record));
}

// ---- Changes ------------------------------------------------------------------------------

void record_parts_appended(evt_topic* record) noexcept {
    if (Entry* entry = find(record)) note_change(entry, false);
}

bool record_clear(evt_topic* record) noexcept {
    if (record == nullptr) return true;
    Entry* entry = find(record);
    if (entry != nullptr && entry->pins > 0 && record->parts != nullptr) {
        auto* parked = static_cast<ParkedChain*>(std::malloc(sizeof(ParkedChain)));
        if (parked == nullptr) return false;
        *parked = ParkedChain{record->parts, entry->parked};
        entry->parked = parked;
        record->parts = nullptr;
        record->n_parts = 0;
    }
    evt_topic_clear(record);
    record->parts = nullptr;
    record->n_parts = 0;
    record->hash = 0;
    record->key = nullptr;
    record->key_len = 0;
    if (entry != nullptr) note_change(entry, true);
    return true;
}

void record_truncate(evt_topic* record, uint64_t kept) noexcept {
    if (record == nullptr || record->n_parts <= kept) return;
    evt_topic_part_variant* last_kept = nullptr;
    evt_topic_part_variant* cut = record->parts;
    int32_t exact = 1;
    for (uint64_t i = 0; i < kept && cut != nullptr; ++i) {
        if (cut->ttype != TOPIC_PART_EXACT) exact = 0;
        last_kept = cut;
        cut = cut->next;
    }
    if (last_kept != nullptr) last_kept->next = nullptr;
    else record->parts = nullptr;
    record->n_parts = kept;
    record->is_exact = exact;
    // The parts cut were appended by the failed step itself, with no Python
    // code run since, so no reader can hold one: they go at once.
    release_chain(cut);
    if (Entry* entry = find(record)) note_change(entry, true);
}

namespace {

using Registrar = int (*)(evt_topic*, const char*, uint64_t, evt_topic**);

int32_t register_with(Registrar registrar, evt_topic* record, const char* literal, uint64_t length) noexcept {
    char* rendered = nullptr;
    if (literal == nullptr) {
        rendered = evt_topic_render_literal(record, &length);
        if (rendered == nullptr) return -1;
        literal = rendered;
    }
    evt_topic* previous = nullptr;
    const int32_t result = registrar(record, literal, length, &previous);
    if (rendered) c_ap_free(rendered);
    if (Entry* entry = find(record)) note_change(entry, false);
    if (previous != nullptr && previous != record) {
        Entry* displaced = find(previous);
        if (displaced != nullptr) {
            note_change(displaced, false);  // its key became a private copy
        } else if (!is_registered(previous)) {
            free_tracked(previous, nullptr);  // nothing can reach it any more
        }
    }
    return result;
}

int internalize(evt_topic* record, const char* literal, uint64_t length, evt_topic** displaced) noexcept {
    return evt_topic_internalize_displacing(record, literal, length, displaced);
}

}  // namespace

int32_t register_record(evt_topic* record, const char* literal, uint64_t length) noexcept {
    return register_with(internalize, record, literal, length);
}

int32_t key_composed_record(evt_topic* record, bool* registered) noexcept {
    *registered = evt_topic_reads_back(record) != 0;
    if (record->parts == nullptr) return 0;  // an empty topic has no literal to key
    // In place the record may be registered already: its old key stays
    // until the new one is made, so a failure changes nothing.
    if (*registered) return register_with(topic_core::rekey_displacing, record, nullptr, 0);
    uint64_t length = 0;
    char* rendered = evt_topic_render_literal(record, &length);
    if (rendered == nullptr) return -1;
    const int32_t result = evt_topic_key_privately(record, rendered, length);
    c_ap_free(rendered);
    if (Entry* entry = find(record)) note_change(entry, false);
    return result;
}

// ---- Long chains ------------------------------------------------------------------------

int32_t RecordAppender::append(const char* text, uint64_t length, int32_t kind) noexcept {
    if (record_generation(record_) != generation_) tail_ = nullptr;  // changed by someone else
    const int result = topic_core::append_part_after(record_, &tail_, text, length, kind);
    if (result == 0) record_parts_appended(record_);
    generation_ = record_generation(record_);
    return result;
}

evt_topic_part_variant* ChainCursor::part_at(const evt_topic* record, uint64_t index) noexcept {
    const uint64_t generation = record_generation(record);
    evt_topic_part_variant* node = record != nullptr ? record->parts : nullptr;
    uint64_t at = 0;
    if (record == record_ && generation != 0 && generation == generation_ && node_ != nullptr && index_ <= index) {
        node = node_;
        at = index_;
    }
    for (; node != nullptr && at < index; ++at) node = node->next;
    record_ = record;
    generation_ = generation;
    index_ = at;
    node_ = node;
    return node;
}

}  // namespace tessaly
