// Topic literal parser: dot-separated segments, each becoming one part by its
// shape (/pattern/, +name, {name}, (a|b), or an exact segment).
#include <cstring>

#include "quenda_loomi/capi/topic_core/chain_tail.h"
#include "quenda_loomi/capi/topic_core/evt_topic.h"

namespace {

constexpr char kSeparator = '.';
constexpr char kSlash = '/';

// The closing slash of a pattern whose text starts at `from`: the first '/'
// that ends the literal or is followed by a separator.  `n` when there is none.
uint64_t closing_slash(const char* s, uint64_t from, uint64_t n) {
    for (uint64_t c = from; c < n; ++c) {
        if (s[c] == kSlash && (c + 1 == n || s[c + 1] == kSeparator)) return c;
    }
    return n;
}

uint64_t segment_end(const char* s, uint64_t from, uint64_t n) {
    const void* dot = std::memchr(s + from, kSeparator, n - from);
    return dot != nullptr ? static_cast<uint64_t>(static_cast<const char*>(dot) - s) : n;
}

// The part a plain (non-pattern) segment reads as: its kind and the body
// that becomes the part's text.
struct SegmentShape {
    int32_t kind;
    uint64_t body_start;
    uint64_t body_len;
};

SegmentShape shape_of(const char* segment, uint64_t length) {
    const char first = segment[0];
    const char last = segment[length - 1];
    if (first == '+' && length >= 2) return {TOPIC_PART_ANY, 1, length - 1};
    if (first == '{' && last == '}' && length >= 3) return {TOPIC_PART_ANY, 1, length - 2};
    if (first == '(' && last == ')' && length >= 3) return {TOPIC_PART_RANGE, 1, length - 2};
    return {TOPIC_PART_EXACT, 0, length};
}

int append_segment(evt_topic* topic, evt_topic_part_variant** tail, const char* segment, uint64_t length) {
    const SegmentShape shape = shape_of(segment, length);
    return topic_core::append_part_after(topic, tail, segment + shape.body_start, shape.body_len, shape.kind);
}

bool holds(const char* text, uint64_t length, char wanted) {
    return length != 0 && std::memchr(text, wanted, length) != nullptr;
}

// The rendered segment of one part parses back to that part.
bool part_reads_back(const evt_topic_part_variant* part) {
    switch (part->ttype) {
        case TOPIC_PART_EXACT:
            // A leading slash would open a pattern.
            return part->text_len != 0 && part->text[0] != kSlash && !holds(part->text, part->text_len, kSeparator) &&
                   shape_of(part->text, part->text_len).kind == TOPIC_PART_EXACT;
        case TOPIC_PART_ANY:  // rendered as {name}
            return part->text_len != 0 && !holds(part->text, part->text_len, kSeparator);
        case TOPIC_PART_PATTERN:  // rendered as /text/: "/." would close it early
            for (uint64_t i = 0; i + 1 < part->text_len; ++i)
                if (part->text[i] == kSlash && part->text[i + 1] == kSeparator) return false;
            return part->text_len != 0;
        case TOPIC_PART_RANGE: {  // rendered as (a|b): the parser drops empty options
            if (part->literal_len == 0 || holds(part->literal, part->literal_len, kSeparator) ||
                holds(part->literal, part->literal_len, '|'))
                return false;
            uint64_t options = 0;
            for (uint64_t i = 0; i < part->literal_len; ++i)
                options += part->literal[i] != '\0' && (i + 1 == part->literal_len || part->literal[i + 1] == '\0');
            return options == part->num_options;
        }
        default:
            return false;
    }
}

}  // namespace

extern "C" int evt_topic_parse(evt_topic* topic, const char* s, uint64_t n) {
    if (topic == nullptr || s == nullptr) return -1;
    if (n == 0) n = std::strlen(s);
    if (n == 0) return -1;

    // Parts go after whatever the topic already holds; the first append finds
    // the end, every later one links after the part appended before it.
    evt_topic_part_variant* tail = nullptr;
    uint64_t pos = 0;
    while (pos < n) {
        uint64_t pattern_start = 0;
        if (pos == 0 && s[0] == kSlash) pattern_start = 1;
        else if (pos + 1 < n && s[pos] == kSeparator && s[pos + 1] == kSlash) pattern_start = pos + 2;

        if (pattern_start != 0) {
            if (pattern_start >= n) return -1;
            const uint64_t close = closing_slash(s, pattern_start, n);
            // An empty pattern has nothing to search for, and a zero length
            // would be taken as "measure to the NUL" further down.
            if (close == n || close == pattern_start) return -1;
            if (topic_core::append_part_after(topic, &tail, s + pattern_start, close - pattern_start,
                                              TOPIC_PART_PATTERN) != 0)
                return -1;
            // Resume at the separator after the slash so that a pattern right
            // after a pattern ("/a/./b/") is seen as one.
            pos = close + 1;
            continue;
        }

        const uint64_t end = segment_end(s, pos, n);
        if (end > pos && append_segment(topic, &tail, s + pos, end - pos) != 0) return -1;
        if (end >= n) return 0;
        pos = (end + 1 < n && s[end + 1] == kSlash) ? end : end + 1;
    }
    return 0;
}

extern "C" int evt_topic_reads_back(const evt_topic* topic) {
    if (topic == nullptr) return 0;
    for (const evt_topic_part_variant* part = topic->parts; part != nullptr; part = part->next)
        if (!part_reads_back(part)) return 0;
    return 1;
}
