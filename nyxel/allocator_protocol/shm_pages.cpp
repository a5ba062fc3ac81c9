// Shared-memory pool (pending).
#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"
#include "nyxel/allocator_protocol/pool_paths.h"

extern "C" int c_ap_shm_allocator_init(shm_allocator*, const char*, uint64_t, uint64_t, uint64_t) { return -1; }
extern "C" void c_ap_shm_unlink_created_pages(void) {}

namespace ap_detail {
allocator_protocol* shm_request(uint64_t, const allocator_protocol*) { return fail_einval(); }
void shm_release(allocator_protocol*) { errno = EINVAL; }
}  // namespace ap_detail
