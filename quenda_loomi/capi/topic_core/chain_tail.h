// Appending to the end of a topic's part chain without walking it each time.
//
// The header has no tail pointer, so evt_topic_append_part finds the end by
// walking from `parts`: building a topic of n parts that way costs n²/2
// steps.  Code that appends many parts in a row (the parser, composition,
// formatting) keeps the last part it linked in a local variable and hands it
// back here, which makes the whole build linear.
//
// Rule: a remembered tail is only good while nothing else changed the chain
// (appended to it, cleared it, freed it).  Callers whose appends are separated
// by Python code re-check the record's generation first and pass null when it
// moved; null always means "not known: find the end by walking".
#pragma once

#include <cstdint>

#include "quenda_loomi/capi/topic_core/evt_topic.h"

namespace topic_core {

// The last part of the chain, or null for a topic without parts (one walk).
evt_topic_part_variant* last_part(const evt_topic* topic) noexcept;

// Appends exactly as evt_topic_append_part does (same checks, copies and
// results), but links the new part after *tail when *tail is not null (it
// must then be the chain's current last part) and walks from `parts` only
// when it is null.  On success *tail becomes the new part; on failure it is
// left unchanged.  0 / -1.
int append_part_after(evt_topic* topic, evt_topic_part_variant** tail, const char* text, uint64_t length,
                      int32_t kind) noexcept;

}  // namespace topic_core
