// Finding a TopicIndex subscription by its value without comparing every
// earlier one.
//
// remove(topic, value) takes the earliest subscription of the topic whose
// value equals the given one, and in general that means comparing candidates
// in order (a value's __eq__ may say anything).  For values of the built-in
// types whose equality and hash run no Python code and agree (int, bool,
// float, str, bytes, None) a hash table answers directly: once a record has
// been scanned at length, its subscriptions are indexed here by value, and a
// later removal from it costs one probe.  The answer is trusted only while
// every subscription of the record holds such a value; otherwise the index
// falls back to comparing in order.
//
// Rules
//  * The index calls filed() for every subscription it files and removed()
//    for every one it takes out (cleared() for all), so an indexed record's
//    entries always mirror the trie.
//  * Values are borrowed: the trie holds their references.
//  * Runs no Python code; a failed growth stops indexing that record (the
//    index then compares as before), never an answer.
#pragma once

#include <Python.h>

#include <cstdint>

#include "quenda_loomi/capi/topic_core/flat_table.h"
#include "quenda_loomi/capi/topic_core/subscription_trie.h"

namespace tessaly {

class ValueLookup {
public:
    ValueLookup() = default;
    ~ValueLookup() { cleared(); }
    ValueLookup(const ValueLookup&) = delete;
    ValueLookup& operator=(const ValueLookup&) = delete;

    // True for a value whose equality with another such value is decided by
    // hash and comparison without running Python code.
    static bool plain_value(PyObject* value);

    void filed(const topic_index::Subscription& subscription);
    void removed(const topic_index::Subscription& subscription);
    void cleared();

    bool indexed(const evt_topic* record) const;
    // Indexes every subscription of `record` now.  False when memory ran out
    // (the record stays unindexed).
    bool index_record(const topic_index::TopicTrie& trie, evt_topic* record);

    enum class Answer { unknown, none, found };
    // The earliest subscription of `record` whose value equals `value`:
    // `unknown` when the record is not indexed, `value` is not plain, or the
    // record holds a value that is not plain (then the caller compares).
    Answer earliest(const evt_topic* record, PyObject* value, topic_index::Subscription* found) const;

    struct ValueSlot;
    struct RecordSlot;

private:
    RecordSlot* record_slot(const evt_topic* record) const;
    void forget(RecordSlot* slot, bool drop_values);

    topic_core::FlatTable<ValueSlot, topic_core::CHeapStorage> values_;
    topic_core::FlatTable<RecordSlot, topic_core::CHeapStorage> records_;
    topic_core::CHeapStorage heap_;
};

}  // namespace tessaly
