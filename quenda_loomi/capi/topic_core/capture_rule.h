// What one matched position captures.  A named wildcard facing an exact
// part maps the wildcard's name to the exact part's text; any other pair of
// kinds captures nothing.  Both TopicMatchResult.captures() and
// TopicIndex.match_captures() follow this rule, so they agree for a pair.
#pragma once

#include <cstdint>

#include "quenda_loomi/capi/topic_core/evt_topic.h"

namespace topic_capture {

// Which side of the position is the wildcard whose name is captured.
enum class Captor { none, first, second };

constexpr Captor captor_of(int32_t first_kind, int32_t second_kind) {
    if (first_kind == TOPIC_PART_ANY && second_kind == TOPIC_PART_EXACT) return Captor::first;
    if (second_kind == TOPIC_PART_ANY && first_kind == TOPIC_PART_EXACT) return Captor::second;
    return Captor::none;
}

}  // namespace topic_capture
