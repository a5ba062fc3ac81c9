// Manual poisoning of pooled memory under AddressSanitizer.
//
// The pools recycle blocks themselves, so without help the sanitizer sees a
// released pooled block as ordinary live heap.  In a sanitizer build:
//  * the user bytes of a released pooled block are poisoned from the moment
//    it is released until a request hands it out again;
//  * the uncarved tail of every page is poisoned until a block is carved
//    from it.
// The pool_block record and the 56-byte header stay addressable at all
// times: the freelist links live in the pool_block, and the header's magic
// is what the release checks read to report a double release with their own
// diagnostics.  Poisoning is per process (another process mapping a shared
// page sees plain memory), and must be undone before memory is handed back
// to the system by anyone who unmaps or frees a page (see
// ap_unpoison_region).  Outside a sanitizer build every helper compiles to
// nothing.
#pragma once

#include <cstddef>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define AP_POISONING 1
#endif
#endif
#if !defined(AP_POISONING) && defined(__SANITIZE_ADDRESS__)
#define AP_POISONING 1
#endif

#if defined(AP_POISONING)
#include <sanitizer/asan_interface.h>
#endif

inline constexpr bool ap_poisoning_enabled =
#if defined(AP_POISONING)
    true;
#else
    false;
#endif

inline void ap_poison_region(const void* begin, size_t size) {
#if defined(AP_POISONING)
    if (size != 0) ASAN_POISON_MEMORY_REGION(begin, size);
#else
    (void)begin;
    (void)size;
#endif
}

inline void ap_unpoison_region(const void* begin, size_t size) {
#if defined(AP_POISONING)
    if (size != 0) ASAN_UNPOISON_MEMORY_REGION(begin, size);
#else
    (void)begin;
    (void)size;
#endif
}
