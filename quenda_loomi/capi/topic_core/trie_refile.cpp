// Records held by the trie: the record and literal tables, filing and
// unfiling subscriptions, the listings, and re-filing records whose parts
// changed in place.
#include "quenda_loomi/capi/topic_core/answer_merge.h"
#include "quenda_loomi/capi/topic_core/trie_internals.h"

namespace topic_index {

// ---- Records and literals ---------------------------------------------------

bool TopicTrie::insert(const Subscription& subscription, uint64_t generation) {
    evt_topic* record = subscription.record;
    const uint64_t hash = mix_pointer(record);
    RecordSlot* slot = records_->find(hash, [&](const RecordSlot& s) { return s.record == record; });
    if (slot != nullptr) {
        if (!add_to_node(slot->node, subscription)) return false;
        ++subscription_count_;
        return true;
    }
    auto give_back = [&] {  // tables grown for this record shrink back
        records_->shrink(*this);
        keys_->shrink(*this);
        filed_keys_->shrink(*this);
        edges_->shrink(*this);
        options_->shrink(*this);
        return false;
    };
    if (!records_->reserve_one(*this) || !keys_->reserve_one(*this) || !filed_keys_->reserve_one(*this))
        return give_back();
    Node* node = path_of(record);
    if (node == nullptr) return give_back();
    if (!add_to_node(node, subscription)) {
        prune(node);
        return give_back();
    }
    RecordSlot fresh{record, node, generation & RecordSlot::kGenerationMask, 0};
    if (needs_key_slot(record)) {
        fresh.in_key_table = 1;
        const uint64_t key_hash = XXH3_64bits(record->key, record->key_len);
        keys_->insert(KeySlot{key_hash, record});
        filed_keys_->insert(FiledKeySlot{record, key_hash});
    }
    records_->insert(fresh);
    ++subscription_count_;
    return true;
}

void TopicTrie::forget_record(evt_topic* record) {
    RecordSlot* slot = records_->find(mix_pointer(record), [&](const RecordSlot& s) { return s.record == record; });
    if (slot == nullptr) return;
    if (slot->in_key_table) {
        // The literal may have changed since it was filed: find its slot by
        // the hash it was filed under.
        FiledKeySlot* filed =
            filed_keys_->find(mix_pointer(record), [&](const FiledKeySlot& f) { return f.record == record; });
        if (filed != nullptr) {
            if (KeySlot* key = keys_->find(filed->key_hash, [&](const KeySlot& k) { return k.record == record; }))
                keys_->erase(key);
            filed_keys_->erase(filed);
        }
    }
    records_->erase(slot);
    keys_->shrink(*this);
    filed_keys_->shrink(*this);
    records_->shrink(*this);
}

bool TopicTrie::node_holds(const Node* node, const evt_topic* record) {
    const Subscription* subs = node->subs();
    for (uint32_t i = 0; i < node->sub_count; ++i)
        if (subs[i].record == record) return true;
    return false;
}

bool TopicTrie::erase(evt_topic* record, uint64_t seq, Subscription* removed) {
    RecordSlot* slot = records_->find(mix_pointer(record), [&](const RecordSlot& s) { return s.record == record; });
    if (slot == nullptr) return false;
    Node* node = slot->node;
    if (!remove_from_node(node, record, seq, removed)) return false;
    --subscription_count_;
    if (!node_holds(node, record)) forget_record(record);
    prune(node);
    return true;
}

void TopicTrie::take_all(FlatVector<Subscription>* removed) {
    all(removed);
    stranded_.clear();
    FlatVector<evt_topic*> held;
    records(&held);
    for (evt_topic* record : held) {
        RecordSlot* slot = records_->find(mix_pointer(record), [&](const RecordSlot& s) { return s.record == record; });
        Node* node = slot->node;
        for (uint32_t i = node->sub_count; i-- > 0;)
            if (node->subs()[i].record == record) remove_from_node(node, record, node->subs()[i].seq, nullptr);
        forget_record(record);
        prune(node);
    }
    subscription_count_ = 0;
}

void TopicTrie::records(FlatVector<evt_topic*>* out) const {
    records_->for_each_used([&](const RecordSlot& slot) { out->push_back(slot.record); });
}

void TopicTrie::subscriptions_of(const evt_topic* record, FlatVector<Subscription>* out) const {
    RecordSlot* slot = records_->find(mix_pointer(record), [&](const RecordSlot& s) { return s.record == record; });
    if (slot == nullptr) return;
    for (uint32_t i = 0; i < slot->node->sub_count; ++i)
        if (slot->node->subs()[i].record == record) out->push_back(slot->node->subs()[i]);
}

bool TopicTrie::holds(const evt_topic* record) const {
    return records_->find(mix_pointer(record), [&](const RecordSlot& s) { return s.record == record; }) != nullptr;
}

void TopicTrie::records_like(const evt_topic* record, FlatVector<evt_topic*>* out) const {
    const uint64_t length = has_literal(record) ? record->key_len : 0;
    for_each_alike(record, record->key, length, [&](evt_topic* alike) { out->push_back(alike); });
}

void TopicTrie::records_like_literal(const char* literal, uint64_t length, FlatVector<evt_topic*>* out) const {
    for_each_alike(nullptr, literal, length, [&](evt_topic* alike) { out->push_back(alike); });
}

void TopicTrie::all(FlatVector<Subscription>* out) const {
    out->append(stranded_.begin(), stranded_.end());
    records_->for_each_used([&](const RecordSlot& slot) { subscriptions_of(slot.record, out); });
    if (!sort_by_seq(out)) out->fail();
}

int TopicTrie::visit_all(int (*visit)(const Subscription& subscription, void* arg), void* arg) const {
    for (const Subscription& subscription : stranded_)
        if (int result = visit(subscription, arg)) return result;
    return records_->for_each_used([&](const RecordSlot& slot) {
        for (uint32_t j = 0; j < slot.node->sub_count; ++j)
            if (slot.node->subs()[j].record == slot.record)
                if (int result = visit(slot.node->subs()[j], arg)) return result;
        return 0;
    });
}

void TopicTrie::changed_records(uint64_t (*generation_of)(const evt_topic* record),
                                FlatVector<evt_topic*>* out) const {
    records_->for_each_used([&](const RecordSlot& slot) {
        if (!slot.filed_at(generation_of(slot.record))) out->push_back(slot.record);
    });
    for (const Subscription& subscription : stranded_) out->push_back(subscription.record);
}

void TopicTrie::changed_among(uint64_t (*generation_of)(const evt_topic* record), const evt_topic* const* candidates,
                              size_t candidate_count, FlatVector<evt_topic*>* out) const {
    for (size_t i = 0; i < candidate_count; ++i) {
        const evt_topic* record = candidates[i];
        RecordSlot* slot = records_->find(mix_pointer(record), [&](const RecordSlot& s) { return s.record == record; });
        if (slot != nullptr && !slot->filed_at(generation_of(record))) out->push_back(slot->record);
    }
    for (const Subscription& subscription : stranded_) out->push_back(subscription.record);
}

bool TopicTrie::refile(uint64_t (*generation_of)(const evt_topic* record), evt_topic* const* changed,
                       size_t changed_count) {
    // A subscription leaves its node only once a place to wait is reserved
    // for it, so running out of memory anywhere below parks it, never drops it.
    bool complete = true;
    if (!stranded_.empty()) {
        FlatVector<Subscription> retry;
        if (!retry.reserve(stranded_.size())) return false;
        retry.swap(stranded_);
        if (!stranded_.reserve(retry.size())) {  // cannot fail: it held them a moment ago
            stranded_.swap(retry);
            return false;
        }
        subscription_count_ -= retry.size();
        for (const Subscription& subscription : retry) {
            if (insert(subscription, generation_of(subscription.record))) continue;
            stranded_.push_back(subscription);  // reserved
            ++subscription_count_;
            complete = false;
        }
    }
    FlatVector<Subscription> moving;
    for (size_t i = 0; i < changed_count; ++i) {
        evt_topic* record = changed[i];
        RecordSlot* slot = records_->find(mix_pointer(record), [&](const RecordSlot& s) { return s.record == record; });
        if (slot == nullptr) continue;  // listed twice, or only waiting
        const uint64_t generation = generation_of(record);
        if (slot->filed_at(generation)) continue;
        moving.clear();
        subscriptions_of(record, &moving);
        if (!moving.ok() || !stranded_.reserve(stranded_.size() + moving.size())) {
            complete = false;  // stays filed where it is; the next refile retries
            continue;
        }
        Node* old_node = slot->node;
        for (const Subscription& subscription : moving) remove_from_node(old_node, record, subscription.seq, nullptr);
        subscription_count_ -= moving.size();
        forget_record(record);
        prune(old_node);
        for (const Subscription& subscription : moving) {
            if (insert(subscription, generation)) continue;
            stranded_.push_back(subscription);  // reserved
            ++subscription_count_;
            complete = false;
        }
    }
    return complete;
}

}  // namespace topic_index
