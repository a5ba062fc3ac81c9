// Failure injection for block requests.  A target that includes this header
// links with -Wl,--wrap=c_ap_request, so every request the layers under test
// make passes through here; inside a failure_window the n-th request fails
// as an exhausted heap would, and the window records that it did.
#pragma once

#include <cerrno>
#include <cstdint>

#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"

extern "C" void* __real_c_ap_request(uint64_t size, const allocator_protocol* protocol);

namespace fuzz_failures {

inline int countdown = -1;  // requests to let through before failing one; -1: none
inline bool injected = false;

}  // namespace fuzz_failures

extern "C" void* __wrap_c_ap_request(uint64_t size, const allocator_protocol* protocol) {
    if (fuzz_failures::countdown == 0) {
        fuzz_failures::countdown = -1;
        fuzz_failures::injected = true;
        errno = ENOMEM;
        return nullptr;
    }
    if (fuzz_failures::countdown > 0) --fuzz_failures::countdown;
    return __real_c_ap_request(size, protocol);
}

// Arms one failure for the operation in its scope (`after` < 0: none).
class failure_window {
public:
    explicit failure_window(int after) {
        fuzz_failures::countdown = after;
        fuzz_failures::injected = false;
    }
    ~failure_window() { fuzz_failures::countdown = -1; }
    bool injected() const { return fuzz_failures::injected; }
    failure_window(const failure_window&) = delete;
    failure_window& operator=(const failure_window&) = delete;
};
