// Matching two topics position by position into a chain of evt_topic_match
// nodes.  Exact, any and range positions are decided on bytes alone; pattern
// positions go through the caller's test.
#include <cstring>

#include "nyxel/allocator_protocol/request_inline.h"
#include "quenda_loomi/capi/topic_core/evt_topic.h"

namespace {

template <typename Word>
inline Word load_word(const char* p) {
    Word word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// Segments are mostly a few bytes long, where a library memcmp costs more in
// its call and size dispatch than in comparing.  Up to 16 bytes two
// overlapping loads cover the text from both ends without reading past it.
inline bool same_bytes(const char* a, uint64_t a_len, const char* b, uint64_t b_len) {
    if (a_len != b_len) return false;
    const uint64_t n = a_len;
    if (n > 16) return std::memcmp(a, b, n) == 0;
    if (n >= 8)
        return ((load_word<uint64_t>(a) ^ load_word<uint64_t>(b)) |
                (load_word<uint64_t>(a + n - 8) ^ load_word<uint64_t>(b + n - 8))) == 0;
    if (n >= 4)
        return ((load_word<uint32_t>(a) ^ load_word<uint32_t>(b)) |
                (load_word<uint32_t>(a + n - 4) ^ load_word<uint32_t>(b + n - 4))) == 0;
    if (n == 0) return true;
    return a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1];
}

bool same_literal(const evt_topic* a, const evt_topic* b) {
    return a->key != nullptr && b->key != nullptr && a->key_len != 0 &&
           same_bytes(a->key, a->key_len, b->key, b->key_len);
}

bool range_accepts(const evt_topic_part_variant* range, const char* text, uint64_t text_len) {
    for (uint64_t i = 0; i < range->num_options; ++i) {
        if (same_bytes(range->option_ptr[i], range->option_length[i], text, text_len)) return true;
    }
    return false;
}

// Whether the generic part accepts the exact part's segment.
bool position_matches(const evt_topic_part_variant* exact, const evt_topic_part_variant* generic,
                      evt_topic_pattern_test pattern_test, void* context) {
    switch (generic->ttype) {
        case TOPIC_PART_EXACT:
            return same_bytes(exact->text, exact->text_len, generic->text, generic->text_len);
        case TOPIC_PART_ANY:
            return true;
        case TOPIC_PART_RANGE:
            return range_accepts(generic, exact->text, exact->text_len);
        case TOPIC_PART_PATTERN:
            if (generic->text == nullptr || exact->text == nullptr || pattern_test == nullptr)
                return false;
            return pattern_test(generic->text, exact->text, exact->text_len, context) != 0;
        default:
            return false;
    }
}

// Appends zero-filled nodes from one source; on a failed request the chain
// built so far is released.
struct chain_builder {
    // One request per position is most of a match's cost: the pool's reuse
    // path is compiled in here for the node's fixed size.
    ap_block_requester source;
    evt_topic_match* head = nullptr;
    evt_topic_match* tail = nullptr;

    evt_topic_match* append(const evt_topic_part_variant* part_a,
                            const evt_topic_part_variant* part_b) {
        auto* node = static_cast<evt_topic_match*>(source.request(sizeof(evt_topic_match)));
        if (node == nullptr) {
            c_ap_free_chain(head);
            head = tail = nullptr;
            return nullptr;
        }
        node->part_a = const_cast<evt_topic_part_variant*>(part_a);
        node->part_b = const_cast<evt_topic_part_variant*>(part_b);
        if (tail != nullptr) tail->next = node;
        else head = node;
        tail = node;
        return node;
    }
};

}  // namespace

extern "C" evt_topic_match* evt_topic_match_build(const evt_topic* a, const evt_topic* b,
                                                  evt_topic_pattern_test pattern_test,
                                                  void* context) {
    if (a == nullptr || b == nullptr) return nullptr;
    chain_builder chain{ap_block_requester(c_ap_protocol_from_ptr(a))};

    // One record, or one literal, needs no part comparison.
    if (a == b || same_literal(a, b)) {
        evt_topic_match* node = chain.append(a->parts, b->parts);
        if (node == nullptr) return nullptr;
        node->success = 1;
        node->literal = a->key;
        node->literal_len = a->key_len;
        return node;
    }

    const evt_topic_part_variant* part_a = a->parts;
    const evt_topic_part_variant* part_b = b->parts;
    while (part_a != nullptr || part_b != nullptr) {
        evt_topic_match* node = chain.append(part_a, part_b);
        if (node == nullptr) return nullptr;
        if (part_a == nullptr || part_b == nullptr) break;  // lengths differ

        const evt_topic_part_variant* exact;
        const evt_topic_part_variant* generic;
        if (part_a->ttype == TOPIC_PART_EXACT) {
            exact = part_a;
            generic = part_b;
        } else if (part_b->ttype == TOPIC_PART_EXACT) {
            exact = part_b;
            generic = part_a;
        } else {
            break;  // two generic parts never match
        }
        if (!position_matches(exact, generic, pattern_test, context)) break;

        node->success = 1;
        if (generic->ttype != TOPIC_PART_PATTERN) {
            node->literal = exact->text;
            node->literal_len = exact->text_len;
        }
        part_a = part_a->next;
        part_b = part_b->next;
    }
    return chain.head;
}
