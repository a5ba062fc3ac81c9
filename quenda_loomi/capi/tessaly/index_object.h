// The TopicIndex object and what its source files share.  The type and its
// methods are in topic_index.cpp; the compiled pattern expressions and the
// answer cache of their searches in index_expressions.cpp; reading an event
// or topic argument (a Topic or a str) in index_query.cpp; the captures of
// match_captures in index_captures.cpp.
//
// Where Python code runs (python_calls.h), and what is held across it:
//  * pattern search and compile inside a walk (trie hooks): the trie keeps
//    its nodes while a walk runs and reads only its own copy of the event;
//    the expression entry is referenced for the call.
//  * giving compiled expressions back (release_patterns), dropping the
//    references of removed subscriptions, comparing values in remove, the
//    pairwise match of match_results: only after the trie operation ended,
//    with nothing borrowed; what is needed afterwards is referenced first.
// Everything between a walk's end and the references taken on its answer is
// one BorrowedSection.
#pragma once

#include <Python.h>

#include <cstdint>

#include "quenda_loomi/capi/tessaly/value_lookup.h"
#include "quenda_loomi/capi/topic_core/direct_cache.h"
#include "quenda_loomi/capi/topic_core/subscription_trie.h"

namespace tessaly::index_binding {

using topic_index::FlatVector;
using topic_index::Subscription;
using topic_index::TopicTrie;

// The wildcard name of a part as str (index_captures.cpp).
struct NameSlot {
    const evt_topic_part_variant* part;
    PyObject* name;  // an exact str
};

// One remembered answer of an expression entry (by its serial number) for a
// segment short enough to be kept in the slot (index_expressions.cpp).
struct SearchSlot {
    static constexpr size_t kMaxText = 20;
    uint64_t serial;  // 0: empty
    uint32_t length;
    int32_t answer;
    char text[kMaxText];
};

struct TopicIndexObject {
    PyObject_HEAD
    TopicTrie* trie;
    // Expression entries by text (a str, or bytes for text that is not
    // UTF-8): each is a list [compiled, text, serial number], `compiled`
    // being state.not_compiled until a walk or an add compiles it, and None
    // when it never compiles.  Every node or walk using an expression holds
    // a reference to its entry; the entry leaves the dict with its last user.
    PyObject* patterns;
    uint64_t next_seq;
    uint64_t seen_changes;  // watched_change_count() when the trie was last brought up to date
    // The answer buffer of the last match, kept so an event costs no
    // allocation; a match run from inside another takes its own.
    FlatVector<Subscription> spare_answer;
    // Subscriptions by value for remove, per record scanned at length.
    ValueLookup value_lookup;
    // Wildcard names as str by part, for the captures.
    topic_core::DirectCache<NameSlot, 1024> names;
    // Answers of compiled expressions for short segments.
    topic_core::DirectCache<SearchSlot, 1024> searches;
    PyObject* weakreflist;
};

// ---- Expression entries (index_expressions.cpp) ----------------------------

// The trie's hooks; the context is the TopicIndexObject.
topic_index::PatternHooks pattern_hooks(TopicIndexObject* self);

// Compiles every pattern expression of `record` now, so that add reports a
// failure to compile that is not the expression's own fault.  The entries
// are kept referenced by `held` (given back with give_back_entry) so the
// trie finds them compiled.  False with an exception set.
bool compile_patterns_of(TopicIndexObject* self, const evt_topic* record, FlatVector<PyObject*>* held);

// Gives back one entry referenced by compile_patterns_of.  Runs Python code.
void give_back_entry(TopicIndexObject* self, PyObject* entry);

// Gives back what the trie let go of.  Runs Python code: call only with
// nothing borrowed.
void release_patterns(TopicIndexObject* self);

// Frees the answer cache of the searches.
void drop_searches(TopicIndexObject* self);

// ---- Captures (index_captures.cpp) ---------------------------------------

class Query;

// One part of the event as the captures read it.
struct EventSegment {
    int32_t kind;
    const char* text;
    uint64_t length;
};

// The event's parts: the record's chain, or the plain literal split at its
// separators.  False on exhausted memory.
bool event_segments(const Query& query, FlatVector<EventSegment>* out);

// The wildcard values of one subscription for the event, as
// TopicMatchResult.captures() gives them for the pair.  `segment_texts`
// caches the event's segment strings by position.  New reference or null.
// Runs no Python code.
PyObject* captures_for(TopicIndexObject* self, const Query& query, const FlatVector<EventSegment>& event,
                       const evt_topic* record, FlatVector<PyObject*>* segment_texts);

// Frees the cache of wildcard names.
void drop_names(TopicIndexObject* self);

}  // namespace tessaly::index_binding
