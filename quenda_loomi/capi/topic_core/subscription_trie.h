// Subscription index: a segment trie that answers "which subscriptions does
// this event match" in time set by the event's depth and the number of
// answers, not by the number of subscriptions.
//
// Contract of this layer
//  * A subscription is (sequence number, record, two opaque handles).  The
//    caller owns what the handles stand for; the index never reads them.
//  * Subscriptions are filed at the trie node reached by their record's
//    parts: an exact part follows an exact edge, every wildcard part the one
//    wildcard edge (names do not affect matching), a range or pattern part
//    the edge of its option literal or expression.  A record whose parts
//    change must be re-filed with refile() (the caller tracks generations).
//  * match() decides exactly what the pairwise matcher decides for the event
//    against each subscription: per position the exact side is tested
//    against the generic side, two generic parts never match, lengths must
//    agree, and equal literals (or the same record) match whatever their
//    parts.  The answer is sorted by sequence number without duplicates.
//  * Pattern tests go through caller hooks and may run arbitrary code that
//    adds, removes or clears subscriptions.  While a walk is running, nodes
//    are never released (emptied nodes are pruned when the outermost walk
//    ends), the walk keeps no table iterator across a hook call, and reads
//    the event only from the copy it made first.  The release hook is never
//    called from inside an operation: expressions let go of are queued and
//    handed back by release_patterns(), which the caller runs when it holds
//    nothing of the trie.
//  * Every native block comes from the allocator protocol given at
//    construction; bytes_held() counts them with their headers.
//  * Nothing throws (the layer is built without exceptions): insert, erase,
//    match and refile answer false on exhausted memory; the listing calls
//    (all, records, subscriptions_of, records_like, take_all,
//    changed_records) leave their output's ok() false.  Not synchronised.
#pragma once

#include <cstdint>
#include <memory>

#include "quenda_loomi/capi/topic_core/evt_topic.h"
#include "quenda_loomi/capi/topic_core/flat_table.h"
#include "quenda_loomi/capi/topic_core/flat_vector.h"

namespace topic_index {

struct Subscription {
    uint64_t seq;
    evt_topic* record;
    void* topic;
    void* value;
};

// Compiled pattern expressions live with the caller.  prepare() returns an
// opaque compiled form (null when the expression never matches), test()
// answers 1 when the expression is found in the segment (`length` bytes,
// NULs included; a NUL follows them), 0 when not, and a negative number when
// it could not answer: the walk then stops and match answers false.
struct PatternHooks {
    void* (*prepare)(const char* expression, void* context);
    int (*test)(void* prepared, const char* segment, uint64_t length, void* context);
    void (*release)(void* prepared, void* context);
    void* context;
};

struct Node;

class TopicTrie {
public:
    TopicTrie(const allocator_protocol* source, PatternHooks hooks);
    ~TopicTrie();
    TopicTrie(const TopicTrie&) = delete;
    TopicTrie& operator=(const TopicTrie&) = delete;

    // Files one subscription.  `generation` is stored with a record seen for
    // the first time.  False on exhausted memory (nothing is filed).
    bool insert(const Subscription& subscription, uint64_t generation);
    // Removes the subscription with this sequence number of `record`; it is
    // copied to *removed.  False when it is not held.
    bool erase(evt_topic* record, uint64_t seq, Subscription* removed);
    // Takes every subscription out (copied to *removed, in sequence order).
    void take_all(FlatVector<Subscription>* removed);

    // The subscription of `record` with the smallest sequence number from
    // `from_seq` on; false when there is none.  Logarithmic in the node's
    // size when the node holds mostly this record's subscriptions.
    bool next_of(const evt_topic* record, uint64_t from_seq, Subscription* found) const;
    // Subscriptions of `record` in sequence order (none when not held).
    void subscriptions_of(const evt_topic* record, FlatVector<Subscription>* out) const;
    // Records held that the identity shortcut pairs with `record`: itself,
    // and any record with the same non-empty literal.
    void records_like(const evt_topic* record, FlatVector<evt_topic*>* out) const;
    // The same for a record not made (an event given as its literal): the
    // records held under that literal.
    void records_like_literal(const char* literal, uint64_t length, FlatVector<evt_topic*>* out) const;
    // Every subscription in sequence order.
    void all(FlatVector<Subscription>* out) const;
    // Calls `visit` for every subscription (any order) until it returns non-zero.
    int visit_all(int (*visit)(const Subscription& subscription, void* arg), void* arg) const;

    // Records held whose generation (as `generation_of` reports it now)
    // differs from the stored one, and those of subscriptions waiting to be
    // re-filed: of every record held, or only of `candidates` (records the
    // caller knows changed; any record, held or not, repeats allowed).
    void changed_records(uint64_t (*generation_of)(const evt_topic* record), FlatVector<evt_topic*>* out) const;
    void changed_among(uint64_t (*generation_of)(const evt_topic* record), const evt_topic* const* candidates,
                       size_t candidate_count, FlatVector<evt_topic*>* out) const;
    // Re-files the subscriptions of the `changed` records whose generation
    // moved, and retries those waiting from an earlier refile.  False on
    // exhausted memory: a record is then either still filed where it was or
    // waiting (counted, listed, released with the rest), never lost.
    bool refile(uint64_t (*generation_of)(const evt_topic* record), evt_topic* const* changed, size_t changed_count);
    // Subscriptions waiting to be re-filed (for tests).
    size_t waiting_count() const { return stranded_.size(); }

    // Subscriptions matched by `event`, sorted by sequence number.  False on
    // exhausted memory or when a pattern test could not answer.
    bool match(const evt_topic* event, FlatVector<Subscription>* out);
    // The same, with `literal` standing for the event's literal in the
    // identity shortcut (the event record may be a private, unregistered
    // parse of that literal).
    bool match(const evt_topic* event, const char* literal, uint64_t length, FlatVector<Subscription>* out);
    // An event given only as a literal that is_plain_literal() accepts: its
    // segments are split off the text as the walk goes, no record is made,
    // and the answer is the one the parsed literal would get.
    bool match_plain(const char* literal, uint64_t length, FlatVector<Subscription>* out);
    // True when every non-empty segment of `literal` parses as an exact part
    // (no segment opens with '/', '+', '{' or '('); such a literal's parts are
    // its dot-separated segments, empty ones skipped.
    static bool is_plain_literal(const char* literal, uint64_t length);
    // Calls each(offset, length) for every part of a plain literal: its
    // non-empty dot-separated segments, in order.
    template <class Each>
    static void for_each_plain_segment(const char* literal, uint64_t length, Each&& each) {
        uint64_t start = 0;
        for (uint64_t i = 0; i <= length; ++i) {
            if (i < length && literal[i] != '.') continue;
            if (i > start) each(start, i - start);
            start = i + 1;
        }
    }

    // Compiled expressions the trie let go of, handed to the release hook.
    // Every operation that can drop a node queues them instead of calling the
    // hook (which may run code that changes the trie); the caller calls this
    // when it reads nothing of the trie any more.
    bool has_released_patterns() const { return !released_patterns_.empty(); }
    // Calls `visit` with every compiled expression the trie holds (once per
    // node using it, and once per queued release) until it returns non-zero.
    int visit_patterns(int (*visit)(void* prepared, void* arg), void* arg) const;
    void release_patterns();

    uint64_t size() const { return subscription_count_; }
    uint64_t node_count() const { return node_count_; }
    uint64_t bytes_held() const { return bytes_held_; }
    // Records held, each once.
    void records(FlatVector<evt_topic*>* out) const;

    // Opaque tables (defined in the implementation).
    struct EdgeSlot;
    struct RecordSlot;
    struct KeySlot;
    struct OptionSlot;
    struct FiledKeySlot;
    // The trie's tables take their slots from the trie's allocator protocol.
    template <class Slot>
    using Table = topic_core::FlatTable<Slot, TopicTrie>;
    template <class, class>
    friend class topic_core::FlatTable;

private:
    struct EventPart {
        int32_t kind;
        uint64_t offset;  // of the text (segment, expression, or NUL-separated options) in the walk's buffer
        uint64_t length;
    };

    void* request(uint64_t size);
    void release(void* block, uint64_t size);
    Node* new_node(Node* parent, int32_t kind, const char* label, uint64_t label_len);
    Node* child_for(Node* parent, const evt_topic_part_variant* part);
    Node* path_of(const evt_topic* record);
    bool add_to_node(Node* node, const Subscription& subscription);
    bool remove_from_node(Node* node, evt_topic* record, uint64_t seq, Subscription* removed);
    void prune(Node* node);
    void prune_deferred();
    void prune_queued();
    void release_subtree(Node* node);
    void defer_release(void* prepared);
    void defer_pattern_release(Node* node);
    Node* exact_child(const Node* parent, const char* text, uint64_t length) const;
    Node* exact_child(const Node* parent, const char* text, uint64_t length, uint64_t hash) const;
    Node* generic_child(const Node* parent, int32_t kind, const char* label, uint64_t length) const;
    bool file_options(Node* range_child);
    void unfile_options(Node* range_child);
    // One level of the walk; false when an expression could not be prepared
    // for lack of memory.
    bool step(int32_t kind, const char* text, uint64_t length, const FlatVector<Node*>& frontier,
              FlatVector<Node*>* next, FlatVector<Node*>* to_test);
    void forget_record(evt_topic* record);
    bool holds(const evt_topic* record) const;
    static bool node_holds(const Node* node, const evt_topic* record);
    // Calls each(record) for every held record the identity shortcut pairs
    // with `record` (whose literal is given separately: it may be a copy).
    template <class Each>
    void for_each_alike(const evt_topic* record, const char* literal, uint64_t length, Each&& each) const;
    struct Scratch;
    // The walk and the answer over the event parts already in `scratch`;
    // `event` is the event's record for the identity shortcut (may be null).
    bool answer(Scratch& scratch, const evt_topic* event, FlatVector<Subscription>* out);
    template <class Fill>
    bool walk_filled(const evt_topic* event, FlatVector<Subscription>* out, Fill&& fill);
    Scratch* take_scratch();
    void keep_scratch(Scratch* scratch);

    const allocator_protocol* source_;
    PatternHooks hooks_;
    Node* root_ = nullptr;
    Table<EdgeSlot>* edges_ = nullptr;
    Table<RecordSlot>* records_ = nullptr;
    Table<KeySlot>* keys_ = nullptr;
    Table<OptionSlot>* options_ = nullptr;  // (parent, option) -> range children accepting it
    Table<FiledKeySlot>* filed_keys_ = nullptr;  // record -> the hash it has in keys_
    uint64_t subscription_count_ = 0;
    uint64_t node_count_ = 0;
    uint64_t bytes_held_ = 0;
    uint32_t walks_running_ = 0;
    FlatVector<Node*> prune_later_;
    FlatVector<Node*> draining_;              // prune_later_ while it is being emptied
    FlatVector<Subscription> stranded_;      // could not be re-filed for lack of memory
    FlatVector<void*> released_patterns_;    // waiting for release_patterns()
    struct ScratchDeleter {
        void operator()(Scratch* scratch) const;
    };
    std::unique_ptr<Scratch, ScratchDeleter> spare_scratch_;  // buffers of the last walk
    bool ok_ = true;

public:
    bool valid() const { return ok_; }
};

}  // namespace topic_index
