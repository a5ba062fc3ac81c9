// Value lookup for TopicIndex.remove (rules in value_lookup.h).
#include "quenda_loomi/capi/tessaly/value_lookup.h"

#include "quenda_loomi/capi/tessaly/python_calls.h"

namespace tessaly {

using topic_index::FlatVector;
using topic_index::Subscription;

namespace {

using topic_core::mix_bits;

uint64_t record_hash(const evt_topic* record) { return mix_bits(reinterpret_cast<uintptr_t>(record)); }

// Plain values hash with their type's own C function, which runs no Python
// code and never fails.
uint64_t value_hash(const evt_topic* record, PyObject* value) {
    return mix_bits(record_hash(record) ^ static_cast<uint64_t>(Py_TYPE(value)->tp_hash(value)));
}

}  // namespace

// One subscription of an indexed record with a plain value.
struct ValueLookup::ValueSlot {
    evt_topic* record;  // null: free slot
    PyObject* value;
    uint64_t key;  // value_hash(record, value)
    uint64_t seq;
    bool used() const { return record != nullptr; }
    uint64_t hash() const { return key; }
};

// An indexed record: how many of its subscriptions are filed here, and how
// many of those hold a value that is not plain.
struct ValueLookup::RecordSlot {
    evt_topic* record;
    uint64_t subscriptions;
    uint64_t not_plain;
    bool used() const { return record != nullptr; }
    uint64_t hash() const { return record_hash(record); }
};

bool ValueLookup::plain_value(PyObject* value) {
    return PyLong_CheckExact(value) || PyUnicode_CheckExact(value) || PyBytes_CheckExact(value) ||
           PyFloat_CheckExact(value) || PyBool_Check(value) || value == Py_None;
}

ValueLookup::RecordSlot* ValueLookup::record_slot(const evt_topic* record) const {
    return records_.find(record_hash(record), [&](const RecordSlot& slot) { return slot.record == record; });
}

bool ValueLookup::indexed(const evt_topic* record) const { return record_slot(record) != nullptr; }

void ValueLookup::forget(RecordSlot* slot, bool drop_values) {
    evt_topic* record = slot->record;
    records_.erase(slot);
    // A record whose last subscription went has no value slot left; one
    // forgotten because its entries could not grow has, and they go now.
    if (drop_values) values_.erase_if([&](const ValueSlot& slot) { return slot.record == record; });
    values_.shrink(heap_);
    records_.shrink(heap_);
}

bool ValueLookup::index_record(const topic_index::TopicTrie& trie, evt_topic* record) {
    if (indexed(record)) return true;
    FlatVector<Subscription> held;
    trie.subscriptions_of(record, &held);
    if (!held.ok() || !records_.reserve_one(heap_) || !values_.reserve(heap_, held.size())) return false;
    RecordSlot* slot = records_.insert(RecordSlot{record, held.size(), 0});
    for (const Subscription& subscription : held) {
        auto* value = static_cast<PyObject*>(subscription.value);
        if (plain_value(value))
            values_.insert(ValueSlot{record, value, value_hash(record, value), subscription.seq});
        else ++slot->not_plain;
    }
    return true;
}

void ValueLookup::filed(const Subscription& subscription) {
    RecordSlot* slot = record_slot(subscription.record);
    if (slot == nullptr) return;
    auto* value = static_cast<PyObject*>(subscription.value);
    if (!plain_value(value)) {
        ++slot->not_plain;
    } else if (values_.reserve_one(heap_)) {
        values_.insert(ValueSlot{subscription.record, value, value_hash(subscription.record, value), subscription.seq});
    } else {
        forget(slot, true);  // cannot mirror the trie any more: compare in order from now on
        return;
    }
    ++slot->subscriptions;
}

void ValueLookup::removed(const Subscription& subscription) {
    RecordSlot* slot = record_slot(subscription.record);
    if (slot == nullptr) return;
    auto* value = static_cast<PyObject*>(subscription.value);
    if (plain_value(value)) {
        const uint64_t key = value_hash(subscription.record, value);
        if (ValueSlot* found = values_.find(key, [&](const ValueSlot& v) {
                return v.record == subscription.record && v.seq == subscription.seq;
            }))
            values_.erase(found);
    } else if (slot->not_plain > 0) {
        --slot->not_plain;
    }
    if (--slot->subscriptions == 0) forget(slot, false);
    else values_.shrink(heap_);
}

void ValueLookup::cleared() {
    values_.free_storage(heap_);
    records_.free_storage(heap_);
}

ValueLookup::Answer ValueLookup::candidate(const evt_topic* record, PyObject* value, uint64_t from_seq,
                                           Subscription* candidate) const {
    const RecordSlot* slot = record_slot(record);
    if (slot == nullptr || slot->not_plain != 0 || !plain_value(value)) return Answer::unknown;
    bool any = false;
    values_.find(value_hash(record, value), [&](const ValueSlot& v) {
        if (v.record == record && v.seq >= from_seq && (!any || v.seq < candidate->seq)) {
            *candidate = Subscription{v.seq, v.record, nullptr, v.value};
            any = true;
        }
        return false;  // every slot of the hash: repeats keep their own sequence numbers
    });
    return any ? Answer::found : Answer::none;
}

}  // namespace tessaly
