// Record lifetime of the topic module's binding layer: who keeps a topic
// record alive, when it is freed, and how native walks and Python objects
// notice that a record they read changed.
//
// Rules
//  * Every record that a Topic object wraps has one entry in a flat
//    open-addressing table owned by this unit, keyed by the record's address.
//    The entry counts the record's wrappers, pins and watchers.  The record
//    layouts stay untouched; the table grows by doubling, and a failed growth
//    is a return code (record_acquire), never an exception.
//  * Generation: every entry carries a stamp drawn from one process-wide
//    clock, given when the entry is made and renewed whenever *that* record's
//    parts are replaced, appended or cleared, its key changes, or it is freed
//    (record_generation answers 0 for a record without an entry).  Changes to
//    other records never move it, so an operation fails only when one of its
//    own topics changed.  Because all stamps come from one clock, a stamp
//    taken with current_stamp() also works as "since when" for any record.
//  * A part pointer read from a record at stamp S stays valid while
//    parts_released_since(record, S) is false: appending keeps older parts.
//  * A wrapper owns the record or not.  The last wrapper to go frees it when
//    some wrapper owned it or when the registry no longer names it.
//  * RecordPin keeps a record and the parts it holds readable for a native
//    walk that calls Python in between (a pattern test, a dict lookup):
//    freeing is deferred to the last unpin, and parts released while pinned
//    (value assignment) are parked and released at the last unpin.  The walk
//    then compares generations and gives up if its own record changed.
//  * No Python while borrowed.  Binding code that reads a record, a trie
//    node, a subscription's value or any other memory Python code could free
//    through a pointer nothing pins does so inside a BorrowedSection, and runs
//    no Python code until the section ends: every place where the bindings
//    can run Python (a call, a comparison, a truth test, dropping a reference
//    to an object that is not the module's own: support/python/python_calls.h) first asks
//    open_borrow(), and checking builds abort there, naming both places.
//    What must stay readable across such a place is pinned (RecordPin, a
//    strong reference) and re-checked afterwards by generation.
//  * Nothing here calls Python or throws.  Callers hold the interpreter lock.
#pragma once

#include <cstdint>
#include <utility>

#include "quenda_loomi/capi/topic_core/evt_topic.h"
#include "quenda_loomi/capi/topic_core/flat_vector.h"
#include "support/python/borrowed_section.h"

namespace tessaly {

// ---- Observing records --------------------------------------------------------

// The record's current generation; 0 when the binding layer does not track it
// (not wrapped, or freed).
uint64_t record_generation(const evt_topic* record) noexcept;
// The clock's current value: a later change of any record gets a larger stamp.
uint64_t current_stamp() noexcept;
// True when parts of `record` were released after `stamp` (or the record is
// not tracked any more), so pointers into its chain taken then may dangle.
bool parts_released_since(const evt_topic* record, uint64_t stamp) noexcept;

// Watching: a change of a watched record (parts, key, freeing) bumps
// watched_change_count().  Counted: every watch needs one unwatch.  When a
// watch cannot be recorded (no memory) watched_change_count() moves on every
// call until the watch is dropped, so a watcher re-checks rather than misses.
void record_watch(evt_topic* record) noexcept;
void record_unwatch(evt_topic* record) noexcept;
uint64_t watched_change_count() noexcept;
// The record whose change moved watched_change_count() to `count`, kept for
// the last kWatchedChangeLog counts, so a watcher re-checks only the records
// that changed.  Null when the count is older than that, not reached yet, or
// stands for no record (a lost watch): the watcher must then check them all.
inline constexpr uint64_t kWatchedChangeLog = 1024;
evt_topic* watched_change_record(uint64_t count) noexcept;

// Keeps a record (and the parts it holds now) alive and unreleased while it
// lives.  Pinning an untracked record (or null) pins nothing.
class RecordPin {
public:
    RecordPin() noexcept = default;
    explicit RecordPin(evt_topic* record) noexcept;
    RecordPin(RecordPin&& other) noexcept
        : record_(std::exchange(other.record_, nullptr)), slot_(other.slot_) {}
    RecordPin& operator=(RecordPin&& other) noexcept {
        if (this != &other) {
            reset();
            record_ = std::exchange(other.record_, nullptr);
            slot_ = other.slot_;
        }
        return *this;
    }
    RecordPin(const RecordPin&) = delete;
    RecordPin& operator=(const RecordPin&) = delete;
    ~RecordPin() { reset(); }

    bool pinned() const noexcept { return record_ != nullptr; }
    // The pinned record's generation (0 when nothing is pinned).
    uint64_t generation() const noexcept;
    void reset() noexcept;

private:
    evt_topic* record_ = nullptr;
    // Where the record's entry was last seen: entries move only when the
    // table grows or a removal shifts them, so this usually saves the lookup.
    mutable uint64_t slot_ = 0;
};

// Many records pinned for one operation (those whose patterns compile, say).
class RecordPins {
public:
    RecordPins() noexcept = default;
    ~RecordPins() { reset(); }
    RecordPins(const RecordPins&) = delete;
    RecordPins& operator=(const RecordPins&) = delete;
    // False (nothing pinned) when the list cannot grow.  A record pinned
    // twice is held twice.
    bool pin(evt_topic* record) noexcept;
    void reset() noexcept;

private:
    topic_index::FlatVector<evt_topic*> records_;
};

// ---- Wrappers ---------------------------------------------------------------------

// One more Topic object wraps `record`.  False when the table could not grow
// (the wrapper must not be made).  Null is accepted and ignored.
bool record_acquire(evt_topic* record) noexcept;
// A wrapper of `record` goes; frees the record when it was the last one and
// the record is owned or no longer registered under its key.
void record_release(evt_topic* record, bool owner) noexcept;
// Frees a record that no wrapper will ever hold (a failed construction);
// deferred while pinned.
void record_discard(evt_topic* record) noexcept;

// ---- Changing records ---------------------------------------------------------------

// Parts were appended to `record` in place: new generation.
void record_parts_appended(evt_topic* record) noexcept;
// Releases the parts and key of `record` (value assignment).  While the
// record is pinned the released chain is parked until the last unpin.
// False (nothing changed) when parking needs memory that is not there.
bool record_clear(evt_topic* record) noexcept;
// Drops the parts after the first `kept`: undoes appends of one step that
// could not be completed (no Python code may have run since they were made).
void record_truncate(evt_topic* record, uint64_t kept) noexcept;
// Registers `record` under `literal` (or, when null, the canonical literal of
// its parts), freeing the record it displaced when nothing can reach that one
// any more.  Returns the core's result (0 / -1).
int32_t register_record(evt_topic* record, const char* literal, uint64_t length) noexcept;
// Gives a composed or formatted record its key: registered under its
// canonical literal when its parts read back from that literal, otherwise a
// private key (the record stays out of the registry, so looking the literal
// up never answers parts that literal does not describe).  Returns the result
// of the keying (0 / -1; a record without parts needs no key: 0); the
// caller's wrapper should own a private record.
int32_t key_composed_record(evt_topic* record, bool* registered) noexcept;

// True when `part` is one of the parts of `record` (walks the chain).
bool record_has_part(const evt_topic* record, const evt_topic_part_variant* part) noexcept;
// True when a pointer to `part` taken from `record` at `stamp` may still be
// read: the record did not release parts since (so it still holds the part).
// Constant time; a part that may come from another record needs
// record_has_part as well.
bool record_still_holds(const evt_topic* record, const evt_topic_part_variant* part, uint64_t stamp) noexcept;

// ---- Walking and growing long chains ------------------------------------------------
//
// The header has no tail pointer and parts are reached by walking `next`, so
// doing something per part with a walk from `parts` each time is quadratic.
// These two remember where the last step ended, together with the record's
// generation, and start from `parts` again only when the record changed in
// between (Python code run between two steps can change it).

// Appends parts to one record in a row.  Every append renews the record's
// generation as record_parts_appended does.  A record the binding layer does
// not track (generation 0) is one that only its builder can reach, so its
// remembered tail is always trusted.
class RecordAppender {
public:
    explicit RecordAppender(evt_topic* record) noexcept : record_(record) {}
    // As evt_topic_append_part (0 / -1).
    int32_t append(const char* text, uint64_t length, int32_t kind) noexcept;
    evt_topic* record() const noexcept { return record_; }

private:
    evt_topic* record_;
    evt_topic_part_variant* tail_ = nullptr;  // null: not known, walk to find it
    uint64_t generation_ = 0;
};

// Position `index` of a record's chain for steps that ask for ascending
// positions (an iteration): walks on from the node reached last while the
// record keeps the generation it had then.  Untracked records are always
// walked from `parts`.
class ChainCursor {
public:
    // The part at `index`, or null past the end.
    evt_topic_part_variant* part_at(const evt_topic* record, uint64_t index) noexcept;

private:
    const evt_topic* record_ = nullptr;
    uint64_t generation_ = 0;
    uint64_t index_ = 0;
    evt_topic_part_variant* node_ = nullptr;
};

// ---- Borrowing without a pin ---------------------------------------------------------

// Marks the extent of a section that reads through unpinned pointers
// (support/python/borrowed_section.h).
using pyutil::BorrowedSection;
using pyutil::open_borrow;

// Number of tracked records (for tests of the table itself).
uint64_t tracked_record_count() noexcept;

}  // namespace tessaly
