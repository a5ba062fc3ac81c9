// Nanoseconds per request + release pair for the plain runtime heap and the
// heap pool with and without its lock, over a few block sizes.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"

namespace {

// Keeps a batch of live blocks so the pools see realistic LIFO traffic
// rather than one block bouncing in and out.
constexpr int kBatch = 64;

double ns_per_pair(const allocator_protocol* protocol, uint64_t size, long pairs) {
    void* live[kBatch];
    auto start = std::chrono::steady_clock::now();
    for (long done = 0; done < pairs; done += kBatch) {
        for (int i = 0; i < kBatch; ++i) {
            live[i] = c_ap_request(size, protocol);
            if (live[i] == nullptr) {
                std::fprintf(stderr, "request of %llu bytes failed\n", static_cast<unsigned long long>(size));
                std::exit(1);
            }
            static_cast<volatile char*>(live[i])[0] = 1;
        }
        for (int i = kBatch - 1; i >= 0; --i) c_ap_free(live[i]);
    }
    auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(pairs);
}

}  // namespace

int main(int argc, char** argv) {
    long pairs = argc > 1 ? std::atol(argv[1]) : 2'000'000;
    auto* heap = static_cast<heap_allocator*>(std::calloc(1, sizeof(heap_allocator)));
    if (heap == nullptr || c_ap_heap_allocator_init(heap, 65536, 16u << 20, 4096) != 0) return 1;

    allocator_protocol plain{};
    allocator_protocol pool{};
    pool.heap = heap;
    pool.with_freelist = 1;
    allocator_protocol locked_pool = pool;
    locked_pool.with_lock = 1;

    struct source {
        const char* name;
        const allocator_protocol* protocol;
    };
    const source sources[] = {{"plain", &plain}, {"heap-pool", &pool}, {"heap-pool-locked", &locked_pool}};
    const uint64_t sizes[] = {16, 64, 256, 1024, 8192, 65536, 200000};

    std::printf("%-18s", "ns/pair");
    for (uint64_t size : sizes) std::printf("%10llu", static_cast<unsigned long long>(size));
    std::printf("\n");
    for (const source& s : sources) {
        std::printf("%-18s", s.name);
        for (uint64_t size : sizes) {
            long n = size >= 65536 ? pairs / 20 : pairs;
            ns_per_pair(s.protocol, size, n / 10);  // warm up pages and freelists
            std::printf("%10.1f", ns_per_pair(s.protocol, size, n));
        }
        std::printf("\n");
    }
    return 0;
}
