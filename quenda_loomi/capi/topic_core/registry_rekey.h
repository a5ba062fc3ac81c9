// Re-keying a registered record whose parts changed in place.
//
// evt_topic_internalize lets the old registration go before it registers the
// new literal, so a failure leaves the topic unregistered.  A composition
// that appends in place must instead be able to fail without a trace: this
// makes the new registry entry first and lets the old key go only once that
// worked.
#pragma once

#include <cstdint>

#include "quenda_loomi/capi/topic_core/evt_topic.h"

namespace topic_core {

// Registers `topic` under `literal` (length bytes, not 0) as
// evt_topic_internalize_displacing does, reporting the record the literal
// named before.  0 / -1; on -1 the topic and the registry are as they were.
int rekey_displacing(evt_topic* topic, const char* literal, uint64_t length, evt_topic** displaced_out) noexcept;

}  // namespace topic_core
