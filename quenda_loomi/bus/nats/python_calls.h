// Every place where the NATS transport's bindings can run Python code.
//
// Calling the delivery core, converting arguments (a float() or index()
// of a caller's object), and dropping a reference whose finalizer may run
// are all done here, and module.cpp calls only these helpers for them, so a
// check of the object files can tell that no other unit enters Python.
#pragma once

#include <Python.h>

#include <cstdarg>
#include <vector>

#include "quenda_loomi/bus/nats/nats_link.h"

namespace natsbus::python {

// The transport object as the dispatcher sees it; the fields are owned by module.cpp.
struct DeliveryTarget {
    PyObject* sink;       // core.offer_batch, or null before connect / after close
    PyObject* ack;        // the link's bound `ack`, handed to the core with each batch
    bool closing;         // set under the GIL before close waits for the dispatcher
};

// The dispatcher's hand-off: takes the GIL once, builds (name, payload, token)
// tuples, frees the messages it no longer needs and calls sink(events, ack).
void deliver(void* target, std::vector<Received>& batch);

// PyArg_ParseTupleAndKeywords (its converters may call __float__, __index__).
int parse_arguments(PyObject* args, PyObject* kwargs, const char* format, const char* const* keywords, ...);
// Drops a reference; the object's finalizer may run.
void release(PyObject* object);
void clear(PyObject*& slot);

}  // namespace natsbus::python
