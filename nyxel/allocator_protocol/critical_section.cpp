// Process-private pthread mutex behind the allocator records' 40-byte lock slot.
#include "nyxel/allocator_protocol/critical_section.h"

#include <cstdio>
#include <cstdlib>

namespace {

// A lock that cannot be taken or released leaves the pool in an unknown state;
// carrying on would corrupt freelists silently.
[[noreturn]] void lock_failure(const char* what, int rc) {
    std::fprintf(stderr, "[AP_ALLOC_VIGILANT] ERROR: %s failed (error %d)!\n", what, rc);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

extern "C" void ap_critical_section_init(ap_critical_section* cs) {
    // Default attributes: process-private, non-recursive, like the pool code expects.
    int rc = pthread_mutex_init(&cs->mutex, nullptr);
    if (rc != 0) lock_failure("pthread_mutex_init", rc);
}

extern "C" void ap_critical_section_enter(ap_critical_section* cs) {
    int rc = pthread_mutex_lock(&cs->mutex);
    if (rc != 0) lock_failure("pthread_mutex_lock", rc);
}

extern "C" void ap_critical_section_leave(ap_critical_section* cs) {
    int rc = pthread_mutex_unlock(&cs->mutex);
    if (rc != 0) lock_failure("pthread_mutex_unlock", rc);
}
