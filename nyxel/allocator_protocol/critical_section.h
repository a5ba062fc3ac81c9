// A 40-byte lock record with the layout of the allocator records' critical
// section.  On Linux it is a process-private pthread mutex, which is exactly
// 40 bytes on x86-64 glibc.
#pragma once

#include <pthread.h>

struct ap_critical_section {
    pthread_mutex_t mutex;
};
static_assert(sizeof(ap_critical_section) == 40);

extern "C" {
void ap_critical_section_init(ap_critical_section* cs);
void ap_critical_section_enter(ap_critical_section* cs);
void ap_critical_section_leave(ap_critical_section* cs);
}

// Scoped hold of a critical section, or of nothing when `cs` is null.
class ap_lock_guard {
public:
    explicit ap_lock_guard(ap_critical_section* cs) : cs_(cs) {
        if (cs_) ap_critical_section_enter(cs_);
    }
    ~ap_lock_guard() { release(); }
    void release() {
        if (cs_) ap_critical_section_leave(cs_);
        cs_ = nullptr;
    }
    ap_lock_guard(const ap_lock_guard&) = delete;
    ap_lock_guard& operator=(const ap_lock_guard&) = delete;

private:
    ap_critical_section* cs_;
};
