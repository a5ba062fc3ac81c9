// Where the NATS module's C++ meets code that cannot unwind an exception
// (CPython, libnats' callbacks, the bodies of our own threads), what the
// standard library throws stops: an allocation or a thread that cannot be
// had becomes a Failure the caller sees (MemoryError, RuntimeError), a
// dropped core message (counted) or an unacknowledged JetStream message (the
// server sends it again).  The module builds with exceptions for this; the
// functions libnats and the threads call are noexcept, so one that escaped
// by mistake would end the process at once instead of unwinding C frames.
#pragma once

#include "quenda_loomi/bus/nats/nats_link.h"

namespace natsbus {

// Inside a catch handler: the Failure for the exception being handled.  It
// builds no message that could fail to allocate again.
Failure failure_of_current_exception(const char* what) noexcept;

// Runs `work` (which returns a Failure); an exception becomes one.
template <class Work>
Failure contained(const char* what, Work&& work) noexcept {
    try {
        return work();
    } catch (...) {
        return failure_of_current_exception(what);
    }
}

}  // namespace natsbus
