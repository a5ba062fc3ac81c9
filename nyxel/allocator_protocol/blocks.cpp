// Block header, plain runtime-heap blocks, and the checked lookup / release
// shared by every source.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"
#include "nyxel/allocator_protocol/pool_paths.h"

namespace {

constexpr size_t kUserOffsetOfMagic = AP_HEADER_SIZE - offsetof(allocator_protocol, magic);  // 16
constexpr size_t kChainLinkOffset = 40;

[[noreturn]] void die() {
    std::fflush(stderr);
    std::abort();
}

allocator_protocol* header_of(const void* ptr) {
    return reinterpret_cast<allocator_protocol*>(
        const_cast<unsigned char*>(static_cast<const unsigned char*>(ptr)) - AP_HEADER_SIZE);
}

// Plain runtime-heap block; the header is zero from calloc.
allocator_protocol* plain_request(uint64_t size) {
    if (size > UINT64_MAX - AP_HEADER_SIZE) return ap_detail::fail_einval();
    return static_cast<allocator_protocol*>(std::calloc(1, size + AP_HEADER_SIZE));
}

}  // namespace

namespace {

// Every request the inline fast path of c_ap_request does not serve.
[[gnu::noinline]] void* request_slow(uint64_t size, const allocator_protocol* protocol) {
    allocator_protocol* header;
    if (protocol == nullptr) {
        header = plain_request(size);
    } else if (protocol->with_shm) {
        header = ap_detail::shm_request(size, protocol);
    } else if (protocol->with_freelist) {
        header = ap_detail::heap_request(size, protocol);
    } else {
        header = plain_request(size);
    }
    if (header == nullptr) return nullptr;
    return ap_detail::stamp_handed_out(header, size, protocol ? protocol->with_lock : 0);
}

}  // namespace

// The unlocked heap protocol's reuse path calls nothing, so it needs no
// stack frame; all else is one call away.
extern "C" void* c_ap_request(uint64_t size, const allocator_protocol* protocol) {
    if (void* user = ap_detail::request_fast(size, protocol)) return user;
    return request_slow(size, protocol);
}

namespace {

// Reports a pointer whose header does not hold the live magic and aborts.
// Kept out of line so the checked lookup inlines into the release paths.
[[noreturn, gnu::noinline, gnu::cold]] void report_bad_magic(const void* ptr, uint64_t magic) {
    if (magic == AP_DEALLOC_MAGIC) {
        std::fprintf(stderr, "[AP_ALLOC_VIGILANT] ERROR: Use-after-free detected in c_ap_protocol_from_ptr!\n");
        std::fprintf(stderr, "[AP_ALLOC_VIGILANT] Pointer %p was already freed (dealloc magic: 0x%llx).\n",
                     ptr, static_cast<unsigned long long>(AP_DEALLOC_MAGIC));
    } else {
        std::fprintf(stderr,
                     "[AP_ALLOC_VIGILANT] ERROR: Magic mismatch in c_ap_protocol_from_ptr! Not an ap-allocated pointer!\n");
        std::fprintf(stderr, "[AP_ALLOC_VIGILANT] Expected: 0x%llx, Got: 0x%llx\n",
                     static_cast<unsigned long long>(AP_ALLOC_MAGIC), static_cast<unsigned long long>(magic));
        std::fprintf(stderr, "[AP_ALLOC_VIGILANT] This is likely a raw malloc / calloc'd pointer.\n");
    }
    die();
}

// Header of a non-null block pointer after the magic check.
inline allocator_protocol* checked_header(const void* ptr) {
    uint64_t magic;
    std::memcpy(&magic, static_cast<const unsigned char*>(ptr) - kUserOffsetOfMagic, sizeof magic);
    if (magic != AP_ALLOC_MAGIC) [[unlikely]]
        report_bad_magic(ptr, magic);
    return header_of(ptr);
}

}  // namespace

extern "C" allocator_protocol* c_ap_protocol_from_ptr(const void* ptr) {
    if (ptr == nullptr) return nullptr;
    return checked_header(ptr);
}

namespace {

// c_ap_allocator_protocol_free kept out of line so that the fast release
// path of c_ap_free needs no stack frame.
[[gnu::noinline]] void release_released(allocator_protocol* header) { c_ap_allocator_protocol_free(header); }

[[noreturn, gnu::noinline, gnu::cold]] void report_shared_release() {
    std::fprintf(stderr, "[AP_ALLOC_VIGILANT] ERROR: c_ap_free is not allowed while buffer is shared (ref_count>1)!\n");
    die();
}

// Release of a block whose header has passed the magic check.
void release_live(allocator_protocol* header) {
    if (header->ref_count > 1) [[unlikely]]
        report_shared_release();
    header->ref_count = 0;
    header->magic = AP_DEALLOC_MAGIC;
    if (ap_detail::is_unlocked_heap_block(header) && ap_detail::heap_release_fast(header)) return;
    release_released(header);
}

}  // namespace

extern "C" void c_ap_free(void* ptr) {
    if (ptr == nullptr) return;
    release_live(checked_header(ptr));
}

extern "C" void c_ap_allocator_protocol_free(allocator_protocol* header) {
    if (header->with_shm && header->with_freelist) {
        std::fprintf(stderr,
                     "[c_ap_allocator_protocol_free] ERROR: Protocol cannot have both with_shm and with_freelist set to true!\n");
        die();
    }
    if (header->with_shm) {
        ap_detail::shm_release(header);
    } else if (header->with_freelist) {
        ap_detail::heap_release(header);
    } else {
        std::free(header);
    }
}

extern "C" void c_ap_free_chain(void* ptr) {
    while (ptr != nullptr) {
        // The link lives inside the block, so it must be read before release.
        // The header is checked first (same diagnostics as c_ap_free) so that
        // its size can be trusted: a block too small to hold a link ends the
        // chain instead of having the bytes behind it read as an address.
        allocator_protocol* header = checked_header(ptr);
        void* next = nullptr;
        if (header->size >= kChainLinkOffset + sizeof next)
            std::memcpy(&next, static_cast<unsigned char*>(ptr) + kChainLinkOffset, sizeof next);
        release_live(header);
        ptr = next;
    }
}
