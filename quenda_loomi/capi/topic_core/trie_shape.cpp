// The trie's shape: construction, nodes and their blocks, the edge and
// range-option tables that find a child, filing subscriptions in a node,
// and pruning emptied nodes (deferred while a walk runs, their compiled
// expressions queued for the caller).
#include <algorithm>
#include <cstdlib>
#include <new>
#include <utility>

#include "quenda_loomi/capi/topic_core/trie_internals.h"

namespace topic_index {

// ---- Construction -------------------------------------------------------------

namespace {

// An empty table on the C heap (its slots come from the trie's source).
template <class Slot>
TopicTrie::Table<Slot>* make_table() {
    void* block = std::calloc(1, sizeof(TopicTrie::Table<Slot>));
    return block ? ::new (block) TopicTrie::Table<Slot>() : nullptr;
}

// Gives a table's slots back to the trie and frees the table itself (it
// holds only pointers and counts).
template <class Slot>
void drop_table(TopicTrie& owner, TopicTrie::Table<Slot>*& table) {
    if (table == nullptr) return;
    table->free_storage(owner);
    std::free(std::exchange(table, nullptr));
}

}  // namespace

TopicTrie::TopicTrie(const allocator_protocol* source, PatternHooks hooks)
    : source_(source), hooks_(hooks) {
    edges_ = make_table<EdgeSlot>();
    records_ = make_table<RecordSlot>();
    keys_ = make_table<KeySlot>();
    options_ = make_table<OptionSlot>();
    filed_keys_ = make_table<FiledKeySlot>();
    root_ = new_node(nullptr, TOPIC_PART_EXACT, "", 0);
    ok_ = edges_ && records_ && keys_ && options_ && filed_keys_ && root_;
}

TopicTrie::~TopicTrie() {
    if (root_ != nullptr) release_subtree(root_);
    root_ = nullptr;
    drop_table(*this, edges_);
    drop_table(*this, records_);
    drop_table(*this, keys_);
    drop_table(*this, options_);
    drop_table(*this, filed_keys_);
    release_patterns();  // last: nothing of the trie is read after a hook ran
}

void* TopicTrie::request(uint64_t size) {
    void* block = c_ap_request(size, source_);
    if (block != nullptr) bytes_held_ += size + AP_HEADER_SIZE;
    return block;
}

void TopicTrie::release(void* block, uint64_t size) {
    if (block == nullptr) return;
    c_ap_free(block);
    bytes_held_ -= size + AP_HEADER_SIZE;
}

Node* TopicTrie::new_node(Node* parent, int32_t kind, const char* label, uint64_t label_len) {
    if (label_len >= UINT32_MAX) return nullptr;
    auto* node = static_cast<Node*>(request(Node::size_for(kind, label_len)));
    if (node == nullptr) return nullptr;
    node->parent = parent;
    node->kind = static_cast<uint8_t>(kind);
    node->label_len = static_cast<uint32_t>(label_len);
    node->sub_capacity = 1;
    node->sub_front = 0;
    if (label_len) std::memcpy(node->label, label, label_len);
    if (kind == TOPIC_PART_PATTERN && hooks_.prepare) {
        void* prepared = hooks_.prepare(node->label, hooks_.context);
        if (prepared == nullptr) {  // no memory for it: a node that never matches would be a lost subscription
            release(node, node->block_size());
            return nullptr;
        }
        node->set_prepared(prepared);
    }
    ++node_count_;
    return node;
}

// ---- Compiled expressions handed back ------------------------------------------
//
// Giving an expression back may run arbitrary code (the caller's release hook
// can drop the last reference to an object with a finalizer), and that code
// may add, remove or clear subscriptions.  So nothing that changes the trie
// gives one back itself: it queues it, and the caller hands the queue back
// with release_patterns() once it holds no node, record or table position.

void TopicTrie::defer_release(void* prepared) {
    if (prepared == nullptr || hooks_.release == nullptr) return;
    // Without memory to queue it the reference is kept for good: a small
    // leak, where calling the hook here could free the nodes being walked.
    released_patterns_.push_back(prepared);
}

void TopicTrie::defer_pattern_release(Node* node) {
    if (node->kind != TOPIC_PART_PATTERN) return;
    defer_release(node->prepared());
    node->set_prepared(nullptr);
}

void TopicTrie::release_patterns() {
    // The hooks may queue more (a finalizer removing subscriptions): take
    // the queue each round, so nothing is read after a hook ran.
    while (!released_patterns_.empty()) {
        FlatVector<void*> batch;
        batch.swap(released_patterns_);
        for (void* prepared : batch) hooks_.release(prepared, hooks_.context);
    }
}

namespace {

// The node after `node` among its parent's children (exact list, then the
// generic list, then the wildcard child), or null after the last.
const Node* next_child(const Node* node) {
    if (node->next_sibling) return node->next_sibling;
    const Node* parent = node->parent;
    if (node->kind == TOPIC_PART_EXACT) return parent->first_generic ? parent->first_generic : parent->any_child;
    if (node->kind == TOPIC_PART_ANY) return nullptr;
    return parent->any_child;
}

}  // namespace

int TopicTrie::visit_patterns(int (*visit)(void* prepared, void* arg), void* arg) const {
    // Depth first along the parent links: no stack, however deep the trie.
    const Node* node = root_;
    while (node != nullptr) {
        if (void* prepared = node->prepared())
            if (int result = visit(prepared, arg)) return result;
        const Node* down = node->first_exact ? node->first_exact
                           : node->first_generic ? node->first_generic
                                                 : node->any_child;
        if (down != nullptr) {
            node = down;
            continue;
        }
        while (node != root_ && next_child(node) == nullptr) node = node->parent;
        node = node == root_ ? nullptr : next_child(node);
    }
    for (void* prepared : released_patterns_)
        if (int result = visit(prepared, arg)) return result;
    return 0;
}

void TopicTrie::release_subtree(Node* node) {
    for (Node* list : {node->first_exact, node->first_generic, node->any_child}) {
        while (list != nullptr) {
            Node* next = list->next_sibling;
            release_subtree(list);
            list = next;
        }
    }
    defer_pattern_release(node);
    if (node->owns_array()) release(node->array, node->sub_capacity * sizeof(Subscription));
    release(node, node->block_size());
    --node_count_;
}

// ---- Filing -----------------------------------------------------------------

Node* TopicTrie::exact_child(const Node* parent, const char* text, uint64_t length) const {
    return exact_child(parent, text, length, edge_hash(parent, text, length));
}

Node* TopicTrie::exact_child(const Node* parent, const char* text, uint64_t length, uint64_t hash) const {
    EdgeSlot* slot = edges_->find_slot(hash, [&](const EdgeSlot& s) {
        if (!s.tag_matches(hash)) return false;
        const Node* child = s.child();
        return child->parent == parent && same_bytes(child->label, child->label_len, text, length);
    });
    return slot ? slot->child() : nullptr;
}

// Files every distinct option of a new range child; all or none.
bool TopicTrie::file_options(Node* range_child) {
    uint64_t distinct = 0;
    auto each_distinct = [&](auto&& each) {
        const char* label = range_child->label;
        for_each_option(label, range_child->label_len, [&](const char* option, uint64_t length) {
            // An option repeated in one range is filed once.
            const char* first = nullptr;
            for_each_option(label, range_child->label_len, [&](const char* other, uint64_t other_len) {
                if (first == nullptr && same_bytes(other, other_len, option, length)) first = other;
            });
            if (first == option) each(option, length);
        });
    };
    each_distinct([&](const char*, uint64_t) { ++distinct; });
    if (!options_->reserve(*this, distinct)) return false;
    each_distinct([&](const char* option, uint64_t length) {
        const uint64_t hash = edge_hash(range_child->parent, option, length);
        options_->insert(OptionSlot{hash, range_child, static_cast<uint32_t>(option - range_child->label),
                                    static_cast<uint32_t>(length)});
    });
    return true;
}

void TopicTrie::unfile_options(Node* range_child) {
    for_each_option(range_child->label, range_child->label_len, [&](const char* option, uint64_t length) {
        const uint64_t hash = edge_hash(range_child->parent, option, length);
        if (OptionSlot* slot = options_->find(hash, [&](const OptionSlot& o) { return o.child == range_child; }))
            options_->erase(slot);
    });
    options_->shrink(*this);
}

// The range or pattern child with this label: ranges through the table of
// their first option, patterns by scanning the pattern siblings.
Node* TopicTrie::generic_child(const Node* parent, int32_t kind, const char* label, uint64_t length) const {
    if (kind == TOPIC_PART_PATTERN) {
        for (Node* child = parent->first_generic; child && child->kind == TOPIC_PART_PATTERN; child = child->next_sibling)
            if (same_bytes(child->label, child->label_len, label, length)) return child;
        return nullptr;
    }
    Node* found = nullptr;
    if (length == 0) {  // a range without options: no option to look it up by
        for (Node* child = parent->first_generic; child; child = child->next_sibling)
            if (child->kind == TOPIC_PART_RANGE && child->label_len == 0) return child;
        return nullptr;
    }
    bool first = true;
    for_each_option(label, length, [&](const char* option, uint64_t option_len) {
        if (!std::exchange(first, false)) return;
        options_->find(edge_hash(parent, option, option_len), [&](const OptionSlot& o) {
            if (o.child->parent != parent || !same_bytes(o.child->label, o.child->label_len, label, length)) return false;
            found = o.child;
            return true;
        });
    });
    return found;
}

namespace {

// A range accepts a segment equal to any of its options, whatever their
// order or repeats: its node is labelled by the distinct options, sorted, so
// that (a|b) and (b|a|b) share one node and a walk meets one child, not two.
bool canonical_range(const char* literal, uint64_t length, FlatVector<char>* out) {
    struct Option {
        const char* text;
        uint64_t length;
    };
    FlatVector<Option> options;
    for_each_option(literal, length, [&](const char* option, uint64_t option_len) {
        options.push_back(Option{option, option_len});
    });
    if (!options.ok()) return false;
    auto less = [](const Option& a, const Option& b) {
        const int order = std::memcmp(a.text, b.text, std::min(a.length, b.length));
        return order != 0 ? order < 0 : a.length < b.length;
    };
    std::sort(options.begin(), options.end(), less);
    out->clear();
    for (size_t i = 0; i < options.size(); ++i) {
        const Option& option = options[i];
        if (i > 0 && same_bytes(options[i - 1].text, options[i - 1].length, option.text, option.length)) continue;
        if (!out->empty()) out->push_back('\0');
        out->append(option.text, option.text + option.length);
    }
    return out->ok();
}

}  // namespace

Node* TopicTrie::child_for(Node* parent, const evt_topic_part_variant* part) {
    uint64_t length = 0;
    const char* label = part_label(part, &length);
    if (label == nullptr && length != 0) return nullptr;
    FlatVector<char> canonical;
    if (part->ttype == TOPIC_PART_RANGE) {
        if (!canonical_range(label, length, &canonical)) return nullptr;
        label = canonical.data();
        length = canonical.size();
    }
    switch (part->ttype) {
        case TOPIC_PART_EXACT: {
            if (Node* found = exact_child(parent, label, length)) return found;
            if (!edges_->reserve_one(*this)) return nullptr;
            const uint64_t hash = edge_hash(parent, label, length);
            Node* child = new_node(parent, TOPIC_PART_EXACT, label, length);
            if (child == nullptr) return nullptr;
            if (!EdgeSlot::fits(child)) {  // an address above 48 bits cannot be tagged
                release(child, child->block_size());
                --node_count_;
                return nullptr;
            }
            edges_->insert_hashed(EdgeSlot::of(child, hash), hash);
            child->next_sibling = parent->first_exact;
            if (parent->first_exact) parent->first_exact->prev_sibling = child;
            parent->first_exact = child;
            return child;
        }
        case TOPIC_PART_ANY:
            if (parent->any_child == nullptr)
                parent->any_child = new_node(parent, TOPIC_PART_ANY, "", 0);
            return parent->any_child;
        case TOPIC_PART_RANGE:
        case TOPIC_PART_PATTERN: {
            if (Node* found = generic_child(parent, part->ttype, label, length)) return found;
            Node* child = new_node(parent, part->ttype, label, length);
            if (child == nullptr) return nullptr;
            if (part->ttype == TOPIC_PART_RANGE && !file_options(child)) {
                release(child, child->block_size());
                --node_count_;
                return nullptr;
            }
            // Patterns stay ahead of ranges: a walk tests the patterns and
            // stops at the first range (those it finds through options_).
            Node* before = nullptr;
            if (part->ttype == TOPIC_PART_RANGE)
                for (Node* it = parent->first_generic; it && it->kind == TOPIC_PART_PATTERN; it = it->next_sibling)
                    before = it;
            Node*& link = before ? before->next_sibling : parent->first_generic;
            child->prev_sibling = before;
            child->next_sibling = link;
            if (link) link->prev_sibling = child;
            link = child;
            return child;
        }
        default:
            return nullptr;
    }
}

// The node a record's parts lead to, made as needed; on failure the nodes
// made on the way are released again.
Node* TopicTrie::path_of(const evt_topic* record) {
    Node* node = root_;
    for (const evt_topic_part_variant* part = record->parts; part; part = part->next) {
        Node* child = child_for(node, part);
        if (child == nullptr) {
            prune(node);
            return nullptr;
        }
        node = child;
    }
    return node;
}

bool TopicTrie::add_to_node(Node* node, const Subscription& subscription) {
    if (node->sub_front + node->sub_count == node->sub_capacity) {
        if (node->sub_front != 0 && node->sub_count < node->sub_capacity / 2) {
            // Room was freed at the front: slide down instead of growing.
            std::memmove(node->array, node->subs(), node->sub_count * sizeof(Subscription));
            node->sub_front = 0;
        } else {
            if (node->sub_capacity > UINT32_MAX / 2) return false;
            const uint32_t grown = node->sub_capacity * 2;
            auto* fresh = static_cast<Subscription*>(request(grown * sizeof(Subscription)));
            if (fresh == nullptr) return false;
            std::memcpy(fresh, node->subs(), node->sub_count * sizeof(Subscription));
            if (node->owns_array()) release(node->array, node->sub_capacity * sizeof(Subscription));
            node->array = fresh;
            node->sub_capacity = grown;
            node->sub_front = 0;
        }
    }
    Subscription* subs = node->subs();
    uint32_t at = node->sub_count;
    while (at > 0 && subs[at - 1].seq > subscription.seq) {
        subs[at] = subs[at - 1];
        --at;
    }
    subs[at] = subscription;
    ++node->sub_count;
    return true;
}

// Subscriptions in a node are sorted by their (unique) sequence numbers.
namespace {
uint32_t position_of_seq(const Subscription* subs, uint32_t count, uint64_t seq) {
    const Subscription* at = std::lower_bound(subs, subs + count, seq,
                                              [](const Subscription& s, uint64_t wanted) { return s.seq < wanted; });
    return static_cast<uint32_t>(at - subs);
}
}  // namespace

bool TopicTrie::remove_from_node(Node* node, evt_topic* record, uint64_t seq, Subscription* removed) {
    Subscription* subs = node->subs();
    const uint32_t i = position_of_seq(subs, node->sub_count, seq);
    if (i == node->sub_count || subs[i].seq != seq || subs[i].record != record) return false;
    if (removed) *removed = subs[i];
    if (node->owns_array() && i < node->sub_count / 2) {
        std::memmove(subs + 1, subs, i * sizeof(Subscription));
        ++node->sub_front;
    } else {
        std::memmove(subs + i, subs + i + 1, (node->sub_count - i - 1) * sizeof(Subscription));
    }
    --node->sub_count;
    if (node->sub_count == 0 && node->owns_array()) {
        release(node->array, node->sub_capacity * sizeof(Subscription));
        node->sub_capacity = 1;
        node->sub_front = 0;
        node->single = Subscription{};
    }
    return true;
}

bool TopicTrie::next_of(const evt_topic* record, uint64_t from_seq, Subscription* found) const {
    RecordSlot* slot = records_->find(mix_pointer(record), [&](const RecordSlot& s) { return s.record == record; });
    if (slot == nullptr) return false;
    const Node* node = slot->node;
    const Subscription* subs = node->subs();
    for (uint32_t i = position_of_seq(subs, node->sub_count, from_seq); i < node->sub_count; ++i) {
        if (subs[i].record != record) continue;
        *found = subs[i];
        return true;
    }
    return false;
}

// Releases `node` and every ancestor left empty; deferred while a walk runs.
void TopicTrie::prune(Node* node) {
    if (walks_running_ != 0) {
        if (!node->prune_pending) {
            // Out of memory: the empty node stays in the trie, harmless.
            if (prune_later_.push_back(node)) node->prune_pending = 1;
        }
        return;
    }
    while (node != root_ && node->is_empty()) {
        Node* parent = node->parent;
        if (node->kind == TOPIC_PART_ANY) {
            parent->any_child = nullptr;
        } else {
            Node*& first = node->kind == TOPIC_PART_EXACT ? parent->first_exact : parent->first_generic;
            if (node->prev_sibling) node->prev_sibling->next_sibling = node->next_sibling;
            else first = node->next_sibling;
            if (node->next_sibling) node->next_sibling->prev_sibling = node->prev_sibling;
        }
        if (node->kind == TOPIC_PART_EXACT) {
            const uint64_t hash = edge_hash(parent, node->label, node->label_len);
            EdgeSlot* slot = edges_->find_slot(hash, [&](const EdgeSlot& s) { return s.child() == node; });
            if (slot) {
                edges_->erase(slot);
                edges_->shrink(*this);
            }
        }
        if (node->kind == TOPIC_PART_RANGE) unfile_options(node);
        if (node->prune_pending)  // still queued: it must not be visited again
            std::replace(draining_.begin(), draining_.end(), node, static_cast<Node*>(nullptr));
        defer_pattern_release(node);
        release(node, node->block_size());
        --node_count_;
        node = parent;
    }
}

void TopicTrie::prune_deferred() { prune_queued(); }

void TopicTrie::prune_queued() {
    draining_.swap(prune_later_);
    struct Queued {
        uint64_t depth;
        Node* node;
    };
    FlatVector<Queued> by_depth;
    for (Node* node : draining_) {
        uint64_t depth = 0;
        for (Node* up = node; up; up = up->parent) ++depth;
        by_depth.push_back(Queued{depth, node});
    }
    // Deepest first, so a node is visited after the emptied children below
    // it; without memory to sort, queue order (a parent queued before its
    // child is then left in place, empty but harmless).
    if (by_depth.ok()) {
        std::sort(by_depth.begin(), by_depth.end(), [](const Queued& a, const Queued& b) { return a.depth > b.depth; });
        for (size_t i = 0; i < by_depth.size(); ++i) draining_[i] = by_depth[i].node;
    }
    for (Node*& node : draining_) {
        if (node == nullptr) continue;  // released with a deeper node
        Node* pending = std::exchange(node, nullptr);
        pending->prune_pending = 0;
        prune(pending);
    }
    draining_.clear();
}

}  // namespace topic_index
