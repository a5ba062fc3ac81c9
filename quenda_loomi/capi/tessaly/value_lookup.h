// Finding a TopicIndex subscription by its value without comparing every
// earlier one.
//
// remove(topic, value) takes the earliest subscription of the topic whose
// value equals the given one, and in general that means comparing candidates
// in order (a value's __eq__ may say anything).  For values of the built-in
// types whose hash runs no Python code and agrees with equality (int, bool,
// float, str, bytes, None) a hash table names the candidates directly: once
// a record has been scanned at length, its subscriptions are indexed here by
// value hash, and a later removal from it compares only the values of equal
// hash, usually one.  The table is trusted only while every subscription of
// the record holds such a value; otherwise the index falls back to comparing
// in order.  The comparison itself is the caller's (str against bytes of
// equal hash warns under -b, which runs Python code).
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
    // The earliest subscription of `record` from sequence number `from_seq`
    // on whose value hashes as `value` does (equal plain values do): `found`
    // with it in *candidate, for the caller to compare; `none` when there is
    // none; `unknown` when the record is not indexed, `value` is not plain,
    // or the record holds a value that is not plain (then the caller
    // compares in order).
    Answer candidate(const evt_topic* record, PyObject* value, uint64_t from_seq,
                     topic_index::Subscription* candidate) const;

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
