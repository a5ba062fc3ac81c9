// Fixed-count loops of the native hot paths for instruction counting:
//   valgrind --tool=callgrind callgrind_probe <case> <n>
// Running a case at n and 2n and subtracting the totals cancels the set-up,
// leaving instructions per operation (bench/callgrind.sh does that).
#include <absl/container/flat_hash_map.h>
#include <dlfcn.h>
#include <mosquitto.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"
#include "nyxel/bytemap/sorvelink.h"
#include "quenda_loomi/capi/topic_core/evt_topic.h"

namespace {

allocator_protocol make_pool() {
    auto* heap = static_cast<heap_allocator*>(std::calloc(1, sizeof(heap_allocator)));
    if (heap == nullptr || c_ap_heap_allocator_init(heap, 0x10000, 0x1000000, 4096) != 0) std::abort();
    allocator_protocol protocol{};
    protocol.heap = heap;
    protocol.with_freelist = 1;
    return protocol;
}

evt_topic* parsed(const char* literal, const allocator_protocol* protocol) {
    evt_topic* topic = evt_topic_new(nullptr, 0, protocol);
    if (topic == nullptr || evt_topic_parse(topic, literal, 0) != 0) std::abort();
    return topic;
}

volatile uintptr_t sink;

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s pair64|steady|mimalloc_steady|match3|match8|mosquitto3|mosquitto8|get_hit|get_miss|absl_hit|absl_miss n\n", argv[0]);
        return 2;
    }
    const std::string what = argv[1];
    const long n = std::atol(argv[2]);
    const allocator_protocol pool = make_pool();

    if (what == "pair64") {
        void* blocks[16];
        for (long i = 0; i < n; i += 16) {
            for (void*& b : blocks) b = c_ap_request(64, &pool);
            for (void* b : blocks) c_ap_free(b);
        }
    } else if (what == "steady") {
        // A fixed plan cycled like the benchmark's: generating it per step
        // would put the generator's instructions into the difference.
        constexpr long kSteps = 1 << 16;
        std::mt19937_64 random(42);
        std::vector<void*> live(10000);
        for (void*& b : live) b = c_ap_request(16 + random() % 241, &pool);
        std::vector<uint32_t> slots(kSteps), sizes(kSteps);
        for (long i = 0; i < kSteps; ++i) slots[i] = random() % live.size(), sizes[i] = 16 + random() % 241;
        for (long i = 0; i < n; ++i) {
            const long step = i & (kSteps - 1);
            c_ap_free(live[slots[step]]);
            live[slots[step]] = c_ap_request(sizes[step], &pool);
        }
    } else if (what == "match3" || what == "match8") {
        const bool three = what == "match3";
        evt_topic* a = parsed(three ? "orders.eu.buy" : "site.s1.line.l2.cell.c3.dev.d4", &pool);
        evt_topic* b = parsed(three ? "orders.+region.buy" : "site.+a.line.+b.cell.+c.dev.+d", &pool);
        for (long i = 0; i < n; ++i) {
            evt_topic_match* head = evt_topic_match_build(a, b, nullptr, nullptr);
            sink = reinterpret_cast<uintptr_t>(head);
            c_ap_free_chain(head);
        }
    } else if (what == "mosquitto3" || what == "mosquitto8") {
        const bool three = what == "mosquitto3";
        const char* sub = three ? "orders/+/buy" : "site/+/line/+/cell/+/dev/+";
        const char* topic = three ? "orders/eu/buy" : "site/s1/line/l2/cell/c3/dev/d4";
        for (long i = 0; i < n; ++i) {
            bool result = false;
            mosquitto_topic_matches_sub(sub, topic, &result);
            sink = result;
        }
    } else if (what == "get_hit" || what == "get_miss" || what == "absl_hit" || what == "absl_miss") {
        const bool hits = what == "get_hit" || what == "absl_hit";
        byte_map* map = byte_map_new(&pool);
        absl::flat_hash_map<std::string, void*> peer;
        std::vector<std::string> keys, queries;
        for (int i = 0; i < 1000; ++i) {
            keys.push_back("key.number." + std::to_string(i * 7919));
            void* value = &keys;
            byte_map_set(map, keys.back().data(), keys.back().size(), &value, sizeof value, nullptr);
            peer.emplace(keys.back(), value);
            queries.push_back((hits ? "key.number." : "key.absent.") + std::to_string(i * 7919));
        }
        if (what[0] == 'g') {
            for (long i = 0; i < n; ++i) {
                const std::string& q = queries[i % queries.size()];
                void* value = nullptr;
                sink = byte_map_get(map, q.data(), q.size(), &value);
            }
        } else {
            for (long i = 0; i < n; ++i) {
                auto found = peer.find(queries[i % queries.size()]);
                sink = found != peer.end() ? reinterpret_cast<uintptr_t>(found->second) : 0;
            }
        }
    } else if (what == "mimalloc_steady") {
        // The peer row of "steady": the same plan through mi_calloc / mi_free,
        // opened locally so that glibc stays the process heap.
        void* library = dlopen("libmimalloc.so.2", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return 2;
        auto zeroed = reinterpret_cast<void* (*)(size_t, size_t)>(dlsym(library, "mi_calloc"));
        auto release = reinterpret_cast<void (*)(void*)>(dlsym(library, "mi_free"));
        constexpr long kSteps = 1 << 16;
        std::mt19937_64 random(42);
        std::vector<void*> live(10000);
        for (void*& b : live) b = zeroed(1, 16 + random() % 241);
        std::vector<uint32_t> slots(kSteps), sizes(kSteps);
        for (long i = 0; i < kSteps; ++i) slots[i] = random() % live.size(), sizes[i] = 16 + random() % 241;
        for (long i = 0; i < n; ++i) {
            const long step = i & (kSteps - 1);
            release(live[slots[step]]);
            live[slots[step]] = zeroed(1, sizes[step]);
        }
    } else {
        return 2;
    }
    return 0;
}
