// Merging the sorted runs of subscriptions a walk reaches into one answer
// in sequence order, without repeats.
#pragma once

#include "quenda_loomi/capi/topic_core/trie_internals.h"

namespace topic_index {

// Sorts by sequence number and drops repeats.  False on exhausted memory.
bool sort_by_seq(FlatVector<Subscription>* items);

// Merges runs sorted by sequence number into `out`, dropping repeats (a
// range event may reach one node twice).  False on exhausted memory.
bool merge_runs(FlatVector<Run>* runs, FlatVector<Subscription>* out, FlatVector<Subscription>* scratch);

}  // namespace topic_index
