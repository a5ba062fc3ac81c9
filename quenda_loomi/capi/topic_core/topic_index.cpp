// Subscription index: trie nodes, the index-wide edge table that finds an
// exact child in one probe run, the record and literal tables, and the
// level-by-level walk.
#include "quenda_loomi/capi/topic_core/topic_index.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace topic_index {

struct Run {
    const Subscription* next;
    const Subscription* end;
};

// One block per node, sized to its label; most nodes are leaves holding one
// subscription, so that one lives in the node and larger sets get an array.
struct Node {
    Node* parent;
    Node* first_exact;    // exact children, also found through the edge table
    Node* first_generic;  // pattern children first, then range children
    Node* any_child;      // the one wildcard child
    Node* prev_sibling;
    Node* next_sibling;
    // Filed here, sorted by sequence number: `single` while the capacity is
    // one, else `array`.
    union {
        Subscription single;
        Subscription* array;
    };
    uint32_t sub_count;
    uint32_t sub_capacity;
    // With an array: where the first subscription sits in it, so taking one
    // off either end moves nothing (removal moves the shorter side).
    uint32_t sub_front;
    uint32_t label_len;
    uint8_t kind;
    uint8_t prune_pending;
    char label[1];  // segment, option literal or expression; NUL-terminated
    // A pattern node keeps its compiled expression after the label, aligned.

    static uint64_t label_end(uint64_t label_len) { return offsetof(Node, label) + label_len + 1; }
    static uint64_t prepared_offset(uint64_t label_len) { return (label_end(label_len) + 7) & ~uint64_t{7}; }
    // Never less than the whole struct: a short label still leaves every
    // field (and the padding the compiler may read with them) inside the block.
    static uint64_t size_for(int32_t kind, uint64_t label_len) {
        const uint64_t size =
            kind == TOPIC_PART_PATTERN ? prepared_offset(label_len) + sizeof(void*) : label_end(label_len);
        return size < sizeof(Node) ? sizeof(Node) : size;
    }
    uint64_t block_size() const { return size_for(kind, label_len); }

    void* prepared() const {
        if (kind != TOPIC_PART_PATTERN) return nullptr;
        void* compiled;
        std::memcpy(&compiled, reinterpret_cast<const char*>(this) + prepared_offset(label_len), sizeof compiled);
        return compiled;
    }
    void set_prepared(void* compiled) {
        std::memcpy(reinterpret_cast<char*>(this) + prepared_offset(label_len), &compiled, sizeof compiled);
    }

    bool owns_array() const { return sub_capacity > 1; }
    Subscription* subs() { return owns_array() ? array + sub_front : &single; }
    const Subscription* subs() const { return owns_array() ? array + sub_front : &single; }
    bool is_empty() const {
        return sub_count == 0 && first_exact == nullptr && first_generic == nullptr &&
               any_child == nullptr;
    }
};

namespace {

inline uint64_t mix_pointer(const void* pointer) {
    uint64_t x = reinterpret_cast<uintptr_t>(pointer);
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    return x;
}

inline uint64_t edge_hash(const Node* parent, const char* text, uint64_t length) {
    return XXH3_64bits_withSeed(text, length, reinterpret_cast<uintptr_t>(parent));
}

inline bool same_bytes(const char* a, uint64_t a_len, const char* b, uint64_t b_len) {
    return a_len == b_len && (a_len == 0 || std::memcmp(a, b, a_len) == 0);
}

inline bool has_literal(const evt_topic* record) {
    return record->key != nullptr && record->key_len != 0;
}

// The registry finds the record registered under a literal; only a record
// holding a literal the registry gives to another record (or to none) needs
// the index's own literal table for the identity shortcut.
inline bool needs_key_slot(const evt_topic* record) {
    return has_literal(record) && evt_topic_lookup(record->key, record->key_len) != record;
}

// Calls `each(option, length)` for every non-empty option of a range literal
// whose separators are NULs.
template <class Each>
void for_each_option(const char* literal, uint64_t length, Each&& each) {
    uint64_t start = 0;
    for (uint64_t i = 0; i <= length; ++i) {
        if (i < length && literal[i] != '\0') continue;
        if (i > start) each(literal + start, i - start);
        start = i + 1;
    }
}

bool by_seq(const Subscription& a, const Subscription& b) { return a.seq < b.seq; }



// Least-significant-digit radix sort of packed keys, one byte per pass, over
// the bytes that vary: for the few hundred answers of a broad event this is
// several times cheaper than a comparison sort.
bool radix_sort(FlatVector<uint64_t>* keys, unsigned low_bit, unsigned high_bit) {
    thread_local FlatVector<uint64_t> scratch;  // kept between calls: no allocation per event
    if (!scratch.resize(keys->size())) return false;
    for (unsigned shift = low_bit; shift < high_bit; shift += 8) {
        uint32_t counts[257] = {};
        for (uint64_t key : *keys) ++counts[((key >> shift) & 0xff) + 1];
        for (int digit = 0; digit < 256; ++digit) counts[digit + 1] += counts[digit];
        for (uint64_t key : *keys) scratch[counts[(key >> shift) & 0xff]++] = key;
        keys->swap(scratch);
    }
    return true;
}

// Sorts by sequence number and drops repeats.  Packed 64-bit keys (sequence
// number above, position below) move far less than the records themselves.
bool sort_by_seq(FlatVector<Subscription>* items) {
    const size_t n = items->size();
    if (n < 2) return true;
    constexpr unsigned kPositionBits = 20;
    uint64_t highest = 0;
    bool sorted = true;
    for (size_t i = 0; i < n; ++i) {
        highest = std::max(highest, (*items)[i].seq);
        sorted = sorted && (i == 0 || (*items)[i - 1].seq < (*items)[i].seq);
    }
    if (sorted) return true;
    if (n >= (size_t{1} << kPositionBits) || highest >= (uint64_t{1} << (64 - kPositionBits))) {
        std::sort(items->begin(), items->end(), by_seq);
        Subscription* last = std::unique(items->begin(), items->end(),
                                         [](const Subscription& a, const Subscription& b) { return a.seq == b.seq; });
        items->truncate(static_cast<size_t>(last - items->begin()));
        return true;
    }
    thread_local FlatVector<uint64_t> keys;
    thread_local FlatVector<Subscription> ordered;
    if (!keys.resize(n)) return false;
    for (size_t i = 0; i < n; ++i) keys[i] = (*items)[i].seq << kPositionBits | i;
    if (n < 128) std::sort(keys.begin(), keys.end());
    else if (!radix_sort(&keys, kPositionBits, kPositionBits + static_cast<unsigned>(std::bit_width(highest))))
        return false;
    ordered.clear();
    uint64_t previous = UINT64_MAX;
    for (uint64_t key : keys) {
        const Subscription& item = (*items)[key & ((uint64_t{1} << kPositionBits) - 1)];
        if (item.seq != previous) ordered.push_back(item);
        previous = item.seq;
    }
    return ordered.ok() && items->assign(ordered.begin(), ordered.end());
}

// Merges two runs into `to`, taking a sequence number present in both once.
Subscription* merge_two(Run a, Run b, Subscription* to) {
    while (a.next != a.end && b.next != b.end) {
        const uint64_t left = a.next->seq;
        const uint64_t right = b.next->seq;
        *to++ = left <= right ? *a.next : *b.next;
        a.next += left <= right;
        b.next += right <= left;
    }
    for (; a.next != a.end; ++a.next) *to++ = *a.next;
    for (; b.next != b.end; ++b.next) *to++ = *b.next;
    return to;
}

// Merges runs sorted by sequence number into `out`, dropping repeats (a
// range event may reach one node twice).  A few runs are merged pairwise,
// level by level, through `scratch` (an element is copied once per level);
// many are concatenated and sorted.
bool merge_runs(FlatVector<Run>* runs, FlatVector<Subscription>* out, FlatVector<Subscription>* scratch) {
    size_t total = 0;
    for (const Run& run : *runs) total += static_cast<size_t>(run.end - run.next);
    if (!out->reserve(total)) return false;
    constexpr size_t kMergeWidth = 16;
    if (runs->size() == 1 || runs->size() > kMergeWidth) {
        for (const Run& run : *runs) out->append(run.next, run.end);  // reserved above
        return runs->size() == 1 || sort_by_seq(out);
    }
    if (runs->empty()) return true;
    if (!scratch->reserve(total)) return false;
    unsigned levels = static_cast<unsigned>(std::bit_width(runs->size() - 1));
    // The last level writes into `out`; the levels before alternate with
    // `scratch`, so no level writes the buffer it reads.
    while (runs->size() > 1) {
        --levels;
        Subscription* const base = (levels % 2 == 0 ? out : scratch)->data();
        Subscription* to = base;
        size_t kept = 0;
        for (size_t i = 0; i < runs->size(); i += 2) {
            Subscription* from = to;
            if (i + 1 < runs->size()) {
                to = merge_two((*runs)[i], (*runs)[i + 1], to);
            } else {
                for (const Subscription* it = (*runs)[i].next; it != (*runs)[i].end; ++it) *to++ = *it;
            }
            (*runs)[kept++] = Run{from, to};
        }
        runs->truncate(kept);
    }
    out->set_size_written(static_cast<size_t>(runs->front().end - out->data()));
    return true;
}

const char* part_label(const evt_topic_part_variant* part, uint64_t* length) {
    if (part->ttype == TOPIC_PART_RANGE) {
        *length = part->literal_len;
        return part->literal;
    }
    *length = part->text_len;
    return part->text;
}

}  // namespace

// ---- Open-addressing tables -------------------------------------------------

// One word per edge: the child's address in the low 48 bits (user-space
// addresses fit) and the top 16 bits of its edge hash above, so a probe
// rejects a foreign slot without reading its node.  The full hash is
// recomputed from the child when the table is resized or shifted.
struct TopicTrie::EdgeSlot {
    static constexpr unsigned kTagShift = 48;
    static constexpr uint64_t kAddressMask = (uint64_t{1} << kTagShift) - 1;

    uint64_t bits;
    static EdgeSlot of(Node* child, uint64_t hash) {
        return EdgeSlot{(hash >> kTagShift) << kTagShift | reinterpret_cast<uintptr_t>(child)};
    }
    static bool fits(const Node* child) { return (reinterpret_cast<uintptr_t>(child) & ~kAddressMask) == 0; }
    Node* child() const { return reinterpret_cast<Node*>(bits & kAddressMask); }
    bool tag_matches(uint64_t hash) const { return (bits >> kTagShift) == (hash >> kTagShift); }
    bool used() const { return bits != 0; }
    uint64_t hash() const;
};

// Three words per record held (its subscriptions are counted in its node
// when needed); generations are clock stamps far below 2^63.
struct TopicTrie::RecordSlot {
    evt_topic* record;
    Node* node;
    uint64_t generation : 63;
    uint64_t in_key_table : 1;
    static constexpr uint64_t kGenerationMask = UINT64_MAX >> 1;
    bool filed_at(uint64_t stamp) const { return generation == (stamp & kGenerationMask); }
    bool used() const { return record != nullptr; }
    uint64_t hash() const { return mix_pointer(record); }
};

uint64_t TopicTrie::EdgeSlot::hash() const {
    const Node* node = child();
    return edge_hash(node->parent, node->label, node->label_len);
}

struct TopicTrie::KeySlot {
    uint64_t hash;
    evt_topic* record;
    bool used() const { return record != nullptr; }
};

// The key-table hash a record was filed under (its literal may have changed
// since), for the few records in the key table, so forgetting one is a probe
// rather than a scan.
struct TopicTrie::FiledKeySlot {
    evt_topic* record;
    uint64_t key_hash;
    bool used() const { return record != nullptr; }
    uint64_t hash() const { return mix_pointer(record); }
};

// One option of a range child, filed under (parent, option) so an exact
// event segment finds the range children accepting it without scanning them.
struct TopicTrie::OptionSlot {
    uint64_t hash;
    Node* child;  // null: free slot
    uint32_t offset;  // of the option in the child's label
    uint32_t length;
    bool used() const { return child != nullptr; }
};

// Linear probing over a power-of-two array with backward-shift deletion (no
// tombstones); grown at three quarters.  Slots are requested from the trie.
template <class Slot>
struct TopicTrie::FlatTable {
    Slot* slots = nullptr;
    uint64_t capacity = 0;
    uint64_t count = 0;

    static uint64_t hash_of(const Slot& slot) {
        if constexpr (requires { slot.hash(); }) return slot.hash();
        else return slot.hash;
    }

    bool reserve_one(TopicTrie& owner) { return reserve(owner, 1); }
    bool reserve(TopicTrie& owner, uint64_t extra) {
        uint64_t size = capacity ? capacity : 16;
        while ((count + extra) * 4 > size * 3) size *= 2;
        return size == capacity || resize(owner, size);
    }

    // Gives memory back as the table empties, so an index that held many
    // subscriptions and holds none again is back to its empty size.
    void shrink(TopicTrie& owner) {
        if (count == 0) free_storage(owner);
        else if (capacity > 16 && count * 8 < capacity) resize(owner, capacity / 2);
    }

    bool resize(TopicTrie& owner, uint64_t size) {
        auto* fresh = static_cast<Slot*>(owner.request(size * sizeof(Slot)));
        if (fresh == nullptr) return false;
        for (uint64_t i = 0; i < capacity; ++i) {
            if (!slots[i].used()) continue;
            uint64_t at = hash_of(slots[i]) & (size - 1);
            while (fresh[at].used()) at = (at + 1) & (size - 1);
            fresh[at] = slots[i];
        }
        owner.release(slots, capacity * sizeof(Slot));
        slots = fresh;
        capacity = size;
        return true;
    }

    // Caller reserved first.
    Slot* insert(const Slot& slot) {
        uint64_t at = hash_of(slot) & (capacity - 1);
        while (slots[at].used()) at = (at + 1) & (capacity - 1);
        slots[at] = slot;
        ++count;
        return &slots[at];
    }

    // Calls `visit(slot)` for the slots whose hash is `hash` until it returns true.
    template <class Visit>
    Slot* find(uint64_t hash, Visit&& visit) const {
        if (capacity == 0) return nullptr;
        for (uint64_t at = hash & (capacity - 1); slots[at].used(); at = (at + 1) & (capacity - 1))
            if (hash_of(slots[at]) == hash && visit(slots[at])) return &slots[at];
        return nullptr;
    }

    // Like find(), for slots that keep no hash: every slot of the probe run
    // is offered to `visit`.
    template <class Visit>
    Slot* find_slot(uint64_t hash, Visit&& visit) const {
        if (capacity == 0) return nullptr;
        for (uint64_t at = hash & (capacity - 1); slots[at].used(); at = (at + 1) & (capacity - 1))
            if (visit(slots[at])) return &slots[at];
        return nullptr;
    }

    Slot* insert_hashed(const Slot& slot, uint64_t hash) {
        uint64_t at = hash & (capacity - 1);
        while (slots[at].used()) at = (at + 1) & (capacity - 1);
        slots[at] = slot;
        ++count;
        return &slots[at];
    }

    void erase(Slot* slot) {
        uint64_t hole = static_cast<uint64_t>(slot - slots);
        uint64_t at = hole;
        for (;;) {
            at = (at + 1) & (capacity - 1);
            if (!slots[at].used()) break;
            const uint64_t home = hash_of(slots[at]) & (capacity - 1);
            // The slot may move back into the hole when its home is not in (hole, at].
            const bool stays = hole <= at ? (home > hole && home <= at) : (home > hole || home <= at);
            if (stays) continue;
            slots[hole] = slots[at];
            hole = at;
        }
        slots[hole] = Slot{};
        --count;
    }

    void free_storage(TopicTrie& owner) {
        owner.release(slots, capacity * sizeof(Slot));
        slots = nullptr;
        capacity = count = 0;
    }
};

// ---- Construction -------------------------------------------------------------

namespace {

// An empty table on the C heap (its slots come from the trie's source).
template <class Slot>
TopicTrie::FlatTable<Slot>* make_table() {
    void* block = std::calloc(1, sizeof(TopicTrie::FlatTable<Slot>));
    return block ? ::new (block) TopicTrie::FlatTable<Slot>() : nullptr;
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
    if (edges_) edges_->free_storage(*this);
    if (records_) records_->free_storage(*this);
    if (keys_) keys_->free_storage(*this);
    if (options_) options_->free_storage(*this);
    if (filed_keys_) filed_keys_->free_storage(*this);
    std::free(edges_);  // the tables themselves hold only pointers and counts
    std::free(records_);
    std::free(keys_);
    std::free(options_);
    std::free(filed_keys_);
    filed_keys_ = nullptr;
    edges_ = nullptr;
    records_ = nullptr;
    keys_ = nullptr;
    options_ = nullptr;
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
    if (kind == TOPIC_PART_PATTERN && hooks_.prepare)
        node->set_prepared(hooks_.prepare(node->label, hooks_.context));
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
    const uint64_t hash = edge_hash(parent, text, length);
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
    for (uint64_t i = 0; i < records_->capacity; ++i)
        if (records_->slots[i].used()) out->push_back(records_->slots[i].record);
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

template <class Each>
void TopicTrie::for_each_alike(const evt_topic* record, const char* literal, uint64_t length, Each&& each) const {
    if (record != nullptr && holds(record)) each(const_cast<evt_topic*>(record));
    if (length == 0) return;
    // A record holding the registry's own key copy is the registered one
    // (a displaced record always gets a private copy): no lookup needed.
    const bool registered_itself = record != nullptr && record->key != nullptr && !record->key_is_private &&
                                   same_bytes(record->key, record->key_len, literal, length);
    evt_topic* registered = registered_itself ? const_cast<evt_topic*>(record) : evt_topic_lookup(literal, length);
    if (registered != nullptr && registered != record && holds(registered)) each(registered);
    if (keys_->count == 0) return;
    keys_->find(XXH3_64bits(literal, length), [&](const KeySlot& k) {
        if (k.record != record && k.record != registered && has_literal(k.record) &&
            same_bytes(k.record->key, k.record->key_len, literal, length))
            each(k.record);
        return false;  // every record of the literal
    });
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
    for (uint64_t i = 0; i < records_->capacity; ++i)
        if (records_->slots[i].used()) subscriptions_of(records_->slots[i].record, out);
    if (!sort_by_seq(out)) out->fail();
}

int TopicTrie::visit_all(int (*visit)(const Subscription& subscription, void* arg), void* arg) const {
    for (const Subscription& subscription : stranded_)
        if (int result = visit(subscription, arg)) return result;
    for (uint64_t i = 0; i < records_->capacity; ++i) {
        const RecordSlot& slot = records_->slots[i];
        if (!slot.used()) continue;
        for (uint32_t j = 0; j < slot.node->sub_count; ++j)
            if (slot.node->subs()[j].record == slot.record)
                if (int result = visit(slot.node->subs()[j], arg)) return result;
    }
    return 0;
}

void TopicTrie::changed_records(uint64_t (*generation_of)(const evt_topic* record),
                                FlatVector<evt_topic*>* out) const {
    for (uint64_t i = 0; i < records_->capacity; ++i) {
        const RecordSlot& slot = records_->slots[i];
        if (slot.used() && !slot.filed_at(generation_of(slot.record))) out->push_back(slot.record);
    }
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

// ---- The walk -------------------------------------------------------------------

void TopicTrie::step(int32_t kind, const char* text, uint64_t length, const FlatVector<Node*>& frontier,
                     FlatVector<Node*>* next, FlatVector<Node*>* to_test_buffer) {
    FlatVector<Node*>& to_test = *to_test_buffer;
    to_test.clear();
    switch (kind) {
        case TOPIC_PART_EXACT:
            for (Node* node : frontier) {
                if (Node* child = exact_child(node, text, length)) next->push_back(child);
                if (node->any_child) next->push_back(node->any_child);
                for (Node* child = node->first_generic; child && child->kind == TOPIC_PART_PATTERN;
                     child = child->next_sibling)
                    to_test.push_back(child);
                if (options_->count != 0) {
                    const uint64_t hash = edge_hash(node, text, length);
                    options_->find(hash, [&](const OptionSlot& o) {
                        if (o.child->parent == node && same_bytes(o.child->label + o.offset, o.length, text, length))
                            next->push_back(o.child);
                        return false;  // every range child accepting it
                    });
                }
            }
            // The hooks may run code that changes the trie: only the copies
            // taken above are read across them, and no node is released.
            for (Node* child : to_test)
                if (child->prepared() && hooks_.test(child->prepared(), text, hooks_.context) > 0) next->push_back(child);
            break;
        case TOPIC_PART_ANY:
            for (Node* node : frontier)
                for (Node* child = node->first_exact; child; child = child->next_sibling) next->push_back(child);
            break;
        case TOPIC_PART_RANGE:
            for (Node* node : frontier)
                for_each_option(text, length, [&](const char* option, uint64_t option_len) {
                    if (Node* child = exact_child(node, option, option_len)) next->push_back(child);
                });
            std::sort(next->begin(), next->end());
            next->truncate(static_cast<size_t>(std::unique(next->begin(), next->end()) - next->begin()));
            break;
        case TOPIC_PART_PATTERN: {
            for (Node* node : frontier)
                for (Node* child = node->first_exact; child; child = child->next_sibling) to_test.push_back(child);
            void* prepared = hooks_.prepare ? hooks_.prepare(text, hooks_.context) : nullptr;
            if (prepared == nullptr) break;
            for (Node* child : to_test)
                if (hooks_.test(prepared, child->label, hooks_.context) > 0) next->push_back(child);
            defer_release(prepared);
            break;
        }
        default:
            break;
    }
}

// Counts a running walk for its whole extent, however it ends.
struct WalkMark {
    explicit WalkMark(uint32_t* running) : running_(running) { ++*running_; }
    ~WalkMark() { --*running_; }
    WalkMark(const WalkMark&) = delete;
    WalkMark& operator=(const WalkMark&) = delete;
    uint32_t* running_;
};

// Buffers of one walk, kept between walks so an event costs no allocation.
// A walk started from inside a hook takes a fresh set.
struct TopicTrie::Scratch {
    FlatVector<char> literal;
    FlatVector<char> texts;  // the event's part texts, each NUL-terminated
    FlatVector<EventPart> parts;
    FlatVector<Node*> frontier;
    FlatVector<Node*> next;
    FlatVector<Node*> to_test;
    FlatVector<Subscription> alike;
    FlatVector<Run> runs;
    FlatVector<Subscription> merging;

    bool ok() const {
        return literal.ok() && texts.ok() && parts.ok() && frontier.ok() && next.ok() && to_test.ok() &&
               alike.ok() && runs.ok();
    }
};

void TopicTrie::ScratchDeleter::operator()(Scratch* scratch) const {
    scratch->~Scratch();
    std::free(scratch);
}

TopicTrie::Scratch* TopicTrie::take_scratch() {
    if (spare_scratch_) return spare_scratch_.release();
    void* block = std::malloc(sizeof(Scratch));
    return block ? ::new (block) Scratch() : nullptr;
}

// A walk started from inside a hook took a fresh set: the first one back is kept.
void TopicTrie::keep_scratch(Scratch* scratch) {
    if (!spare_scratch_) spare_scratch_.reset(scratch);
    else ScratchDeleter{}(scratch);
}

bool TopicTrie::match(const evt_topic* event, FlatVector<Subscription>* out) {
    return match(event, event->key, has_literal(event) ? event->key_len : 0, out);
}

bool TopicTrie::match(const evt_topic* event, const char* literal, uint64_t length, FlatVector<Subscription>* out) {
    out->clear();
    Scratch* scratch = take_scratch();
    if (scratch == nullptr) return false;
    Scratch& s = *scratch;
    s.literal.clear();
    s.texts.clear();
    s.parts.clear();
    // Hooks may change the event record too: read it once, up front.
    if (length != 0) s.literal.append(literal, literal + length);
    for (const evt_topic_part_variant* part = event->parts; part; part = part->next) {
        uint64_t part_length = 0;
        const char* label = part_label(part, &part_length);
        if (label == nullptr) part_length = 0;
        s.parts.push_back(EventPart{part->ttype, s.texts.size(), part_length});
        s.texts.append(label, label + part_length);
        s.texts.push_back('\0');
    }
    const bool answered = s.ok() && answer(s, event, out);
    keep_scratch(scratch);
    return answered;
}

bool TopicTrie::is_plain_literal(const char* literal, uint64_t length) {
    bool segment_start = true;
    for (uint64_t i = 0; i < length; ++i) {
        const char c = literal[i];
        if (c == '.') {
            segment_start = true;
            continue;
        }
        if (segment_start && (c == '/' || c == '+' || c == '{' || c == '(')) return false;
        segment_start = false;
    }
    return true;
}

bool TopicTrie::match_plain(const char* literal, uint64_t length, FlatVector<Subscription>* out) {
    out->clear();
    Scratch* scratch = take_scratch();
    if (scratch == nullptr) return false;
    Scratch& s = *scratch;
    s.literal.clear();
    s.texts.clear();
    s.parts.clear();
    // The text is copied once with every separator turned into the NUL that
    // ends the segment before it; empty segments are skipped as the parser does.
    s.literal.append(literal, literal + length);
    s.texts.append(literal, literal + length);
    s.texts.push_back('\0');
    if (s.ok()) {
        char* texts = s.texts.data();
        uint64_t start = 0;
        for (uint64_t i = 0; i <= length; ++i) {
            if (i < length && texts[i] != '.') continue;
            texts[i] = '\0';
            if (i > start) s.parts.push_back(EventPart{TOPIC_PART_EXACT, start, i - start});
            start = i + 1;
        }
    }
    const bool answered = s.ok() && answer(s, nullptr, out);
    keep_scratch(scratch);
    return answered;
}

bool TopicTrie::answer(Scratch& s, const evt_topic* event, FlatVector<Subscription>* out) {
    s.frontier.clear();
    if (!s.parts.empty()) {
        WalkMark mark(&walks_running_);
        s.frontier.push_back(root_);
        for (size_t i = 0; i < s.parts.size() && !s.frontier.empty(); ++i) {
            s.next.clear();
            const EventPart& part = s.parts[i];
            // `texts` is not touched during the walk: the pointer stays valid.
            step(part.kind, s.texts.data() + part.offset, part.length, s.frontier, &s.next, &s.to_test);
            s.frontier.swap(s.next);
        }
    }

    // No hook runs from here on: what the nodes hold now is the answer.  Each
    // node's subscriptions are already in order, and so is the identity
    // shortcut's list: merge the runs.
    s.alike.clear();
    s.runs.clear();
    for_each_alike(event, s.literal.data(), s.literal.size(),
                   [&](evt_topic* record) { subscriptions_of(record, &s.alike); });
    bool answered = s.alike.ok();
    if (answered && !s.alike.empty()) {
        answered = sort_by_seq(&s.alike);
        s.runs.push_back(Run{s.alike.data(), s.alike.data() + s.alike.size()});
    }
    for (Node* node : s.frontier)
        if (node->sub_count) s.runs.push_back(Run{node->subs(), node->subs() + node->sub_count});
    answered = answered && s.ok() && merge_runs(&s.runs, out, &s.merging);

    if (walks_running_ == 0 && !prune_later_.empty()) prune_deferred();
    if (!answered) out->clear();
    return answered;
}

}  // namespace topic_index
