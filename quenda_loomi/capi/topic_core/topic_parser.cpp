// Topic literal parser: dot-separated segments, each becoming one part by its
// shape (/pattern/, +name, {name}, (a|b), or an exact segment).
#include <cstring>

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

int append_segment(evt_topic* topic, const char* segment, uint64_t length) {
    const char first = segment[0];
    const char last = segment[length - 1];
    if (first == '+' && length >= 2)
        return evt_topic_append_part(topic, segment + 1, length - 1, TOPIC_PART_ANY);
    if (first == '{' && last == '}' && length >= 3)
        return evt_topic_append_part(topic, segment + 1, length - 2, TOPIC_PART_ANY);
    if (first == '(' && last == ')' && length >= 3)
        return evt_topic_append_part(topic, segment + 1, length - 2, TOPIC_PART_RANGE);
    return evt_topic_append_part(topic, segment, length, TOPIC_PART_EXACT);
}

}  // namespace

extern "C" int evt_topic_parse(evt_topic* topic, const char* s, uint64_t n) {
    if (topic == nullptr || s == nullptr) return -1;
    if (n == 0) n = std::strlen(s);
    if (n == 0) return -1;

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
            if (evt_topic_append_part(topic, s + pattern_start, close - pattern_start,
                                      TOPIC_PART_PATTERN) != 0)
                return -1;
            // Resume at the separator after the slash so that a pattern right
            // after a pattern ("/a/./b/") is seen as one.
            pos = close + 1;
            continue;
        }

        const uint64_t end = segment_end(s, pos, n);
        if (end > pos && append_segment(topic, s + pos, end - pos) != 0) return -1;
        if (end >= n) return 0;
        pos = (end + 1 < n && s[end + 1] == kSlash) ? end : end + 1;
    }
    return 0;
}
