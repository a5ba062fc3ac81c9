// Topic core: native topic records, the literal parser, the process-wide
// registry of internalised literals, and matching.
//
// Contract of this layer
//  * A topic is one evt_topic header plus a singly linked chain of
//    evt_topic_part_variant records.  Parts, their texts and option blocks
//    are requested from the allocator protocol of the header block, so a
//    topic never mixes sources.
//  * TOPIC_INTERNAL_MAP maps literal bytes to the registered evt_topic.  A
//    registered topic borrows the registry's key copy in `key`.  When another
//    topic takes over a literal, the displaced topic is given a private copy
//    of the key (flagged by key_is_private) so it never reads a released copy.
//  * Every operation returns 0 / -1 (or a pointer / null) and never raises or
//    prints.  A length of 0 with a non-null text means "NUL-terminated,
//    measure it"; a text that is still empty is rejected.
//  * Nothing here is synchronised: callers serialise (the Python layer holds
//    the interpreter lock).  The only Python contact is the pattern test that
//    the matcher receives as a callback.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"
#include "nyxel/bytemap/sorvelink.h"

extern "C" {

enum evt_topic_type : int32_t {
    TOPIC_PART_EXACT = 0,
    TOPIC_PART_ANY = 1,
    TOPIC_PART_RANGE = 2,
    TOPIC_PART_PATTERN = 3,
};

struct evt_topic_part_variant {
    int32_t ttype;
    evt_topic_part_variant* next;
    union {
        struct {  // exact, any, pattern
            char* text;
            uint64_t text_len;
        };
        struct {  // range
            char** option_ptr;
            uint64_t* option_length;  // lives in the option block after the pointer slots
            uint64_t num_options;
            char* literal;  // the range text with every separator turned into NUL
            uint64_t literal_len;
        };
    };
};

struct evt_topic {
    evt_topic_part_variant* parts;
    uint64_t n_parts;
    uint64_t hash;
    char* key;
    uint64_t key_len;
    int32_t is_exact;
    // Set while `key` is the topic's own copy because another topic took over
    // the registry entry; cleared whenever the key is dropped.
    uint8_t key_is_private;
};

struct evt_topic_match {
    int32_t success;
    evt_topic_part_variant* part_a;
    evt_topic_part_variant* part_b;
    const char* literal;  // borrowed from the exact side (or the shared key)
    uint64_t literal_len;
    evt_topic_match* next;
};

extern byte_map* TOPIC_INTERNAL_MAP;

evt_topic* evt_topic_new(const char* literal, uint64_t length, const allocator_protocol* protocol);
int evt_topic_append_part(evt_topic* topic, const char* text, uint64_t length, int32_t kind);
int evt_topic_parse(evt_topic* topic, const char* literal, uint64_t length);
int evt_topic_internalize(evt_topic* topic, const char* literal, uint64_t length);
int evt_topic_update_literal(evt_topic* topic);
// evt_topic_internalize that also reports the record the literal was
// registered to before (null when none), from the one registry probe it
// makes anyway: callers that settle the displaced record need no second one.
int evt_topic_internalize_displacing(evt_topic* topic, const char* literal, uint64_t length,
                                     evt_topic** displaced);
void evt_topic_clear(evt_topic* topic);
void evt_topic_free(evt_topic* topic);

// 1 when parsing the canonical literal of the parts gives the same parts
// again (same kinds, texts and options), 0 otherwise: an exact text holding a
// separator or shaped like another kind, a wildcard name or option holding a
// separator, a pattern holding "/." and similar parts built by hand do not.
int evt_topic_reads_back(const evt_topic* topic);

// Gives the topic its own copy of `literal` as key (never registered), with
// the hash the registry would give it.  0 / -1.
int evt_topic_key_privately(evt_topic* topic, const char* literal, uint64_t length);

// Releases one part record and the blocks it owns (text, or option block and
// literal), never the parts after it.
void evt_topic_part_free(evt_topic_part_variant* part);

// Registry lookup: the registered record for the literal, or null.
evt_topic* evt_topic_lookup(const char* literal, uint64_t length);

// 1 when the registry names `topic` under its key, answered without a lookup:
// every change of an entry either points the record at the entry's key copy
// (registering) or drops / privatises the key of the record it named
// (release, displacement), so a record holds a borrowed, non-private key
// exactly while it is registered.
int evt_topic_is_registered(const evt_topic* topic);

// Canonical literal of the parts as a NUL-terminated block of the topic's
// source (release with c_ap_free); null for an unknown part kind or on
// exhausted memory.  *out_len receives the length without the NUL.
char* evt_topic_render_literal(const evt_topic* topic, uint64_t* out_len);

// Pattern test used by the matcher: 1 when `pattern` is found in the segment,
// 0 otherwise (including every error).
using evt_topic_pattern_test = int (*)(const char* pattern, const char* segment,
                                       uint64_t segment_len, void* context);

// Builds the match chain of `a` against `b` (both non-null) with nodes from
// a's source.  Returns the first node, or null when no node was produced or a
// node could not be allocated (every node obtained so far is released).
evt_topic_match* evt_topic_match_build(const evt_topic* a, const evt_topic* b,
                                       evt_topic_pattern_test pattern_test, void* context);

}  // extern "C"

static_assert(offsetof(evt_topic_part_variant, next) == 8);
static_assert(offsetof(evt_topic_part_variant, text) == 16);
static_assert(offsetof(evt_topic_part_variant, text_len) == 24);
static_assert(offsetof(evt_topic_part_variant, option_ptr) == 16);
static_assert(offsetof(evt_topic_part_variant, option_length) == 24);
static_assert(offsetof(evt_topic_part_variant, num_options) == 32);
static_assert(offsetof(evt_topic_part_variant, literal) == 40);
static_assert(offsetof(evt_topic_part_variant, literal_len) == 48);
static_assert(sizeof(evt_topic_part_variant) == 56);
static_assert(offsetof(evt_topic, n_parts) == 8);
static_assert(offsetof(evt_topic, hash) == 16);
static_assert(offsetof(evt_topic, key) == 24);
static_assert(offsetof(evt_topic, key_len) == 32);
static_assert(offsetof(evt_topic, is_exact) == 40);
static_assert(sizeof(evt_topic) == 48);
static_assert(offsetof(evt_topic_match, next) == 40);
static_assert(sizeof(evt_topic_match) == 48);
