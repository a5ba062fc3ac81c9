// The dispatcher's hand-off of a batch to the delivery core.
//
// The only code of the NATS module that runs on a thread of its own and
// enters Python: it takes the GIL once per batch, builds the (name,
// payload, token) tuples and calls the core's offer_batch.  Every call that
// can run Python goes through support/python/python_calls.h.
#pragma once

#include <Python.h>

#include <vector>

#include "quenda_loomi/bus/nats/nats_link.h"

namespace natsbus {

// The transport object as the dispatcher sees it; the fields are owned by module.cpp.
struct DeliveryTarget {
    PyObject* owner;      // the link object holding this target (borrowed)
    PyObject* sink;       // core.offer_batch, or null before connect / after close
    PyObject* ack;        // the link's bound `ack`, handed to the core with each batch
    bool closing;         // set under the GIL before close waits for the dispatcher
};

// Takes the GIL, builds the events, frees the messages it no longer needs
// (token 0) and calls sink(events, ack); `target` is a DeliveryTarget.
void hand_off(void* target, std::vector<Received>& batch) noexcept;
// Called by the dispatcher thread when its loop returned: drops the thread
// state hand_off keeps for the thread's life.
void dispatcher_ends(void* target) noexcept;

}  // namespace natsbus
