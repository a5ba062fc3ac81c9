// Internals of the subscription trie shared by its implementation files
// (trie_shape.cpp, trie_refile.cpp, trie_walk.cpp): the node layout, the
// slots of its hash tables and the small helpers on texts and records.
// Not part of the trie's interface (subscription_trie.h).
#pragma once

#include <cstring>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "quenda_loomi/capi/topic_core/subscription_trie.h"

namespace topic_index {

// A run of subscriptions sorted by sequence number (one node's, or the
// identity shortcut's), merged into a walk's answer.
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

inline uint64_t mix_pointer(const void* pointer) { return topic_core::mix_bits(reinterpret_cast<uintptr_t>(pointer)); }

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
inline void for_each_option(const char* literal, uint64_t length, Each&& each) {
    uint64_t start = 0;
    for (uint64_t i = 0; i <= length; ++i) {
        if (i < length && literal[i] != '\0') continue;
        if (i > start) each(literal + start, i - start);
        start = i + 1;
    }
}

inline const char* part_label(const evt_topic_part_variant* part, uint64_t* length) {
    if (part->ttype == TOPIC_PART_RANGE) {
        *length = part->literal_len;
        return part->literal;
    }
    *length = part->text_len;
    return part->text;
}

// ---- Hash table slots -------------------------------------------------------------

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

inline uint64_t TopicTrie::EdgeSlot::hash() const {
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
    if (keys_->empty()) return;
    keys_->find(XXH3_64bits(literal, length), [&](const KeySlot& k) {
        if (k.record != record && k.record != registered && has_literal(k.record) &&
            same_bytes(k.record->key, k.record->key_len, literal, length))
            each(k.record);
        return false;  // every record of the literal
    });
}


}  // namespace topic_index
