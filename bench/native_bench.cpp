// Native rows of the benchmark suite: the pooled heap, the byte map and the
// matcher side by side with what a user would pick instead (glibc, mimalloc,
// jemalloc, absl::flat_hash_map, mosquitto).  Google Benchmark drives the
// loops; bench/native_rows.py turns its JSON into ratio rows.
//
// mimalloc and jemalloc both export malloc/calloc/free.  Linking either would
// replace glibc's heap for the whole process (and with it the baseline), so
// they are opened with RTLD_LOCAL and called through their own symbols.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <gnu/libc-version.h>
#include <mosquitto.h>

#include <absl/container/flat_hash_map.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"
#include "nyxel/bytemap/sorvelink.h"
#include "quenda_loomi/capi/topic_core/evt_topic.h"

namespace {

// ---------------------------------------------------------------------------
// Block sources
// ---------------------------------------------------------------------------

// The heap pool configured like the configuration module's default protocol:
// freelists on, no lock, 64 KiB default pages on a 4 KiB granularity.
struct PoolSource {
    heap_allocator* heap;
    allocator_protocol protocol{};

    explicit PoolSource(bool locked) {
        heap = static_cast<heap_allocator*>(std::calloc(1, sizeof(heap_allocator)));
        if (heap == nullptr || c_ap_heap_allocator_init(heap, 0x10000, 0x1000000, 4096) != 0) std::abort();
        protocol.heap = heap;
        protocol.with_freelist = 1;
        protocol.with_lock = locked ? 1 : 0;
    }
};

const allocator_protocol* default_pool() {
    static PoolSource source(false);
    return &source.protocol;
}

const allocator_protocol* locked_pool() {
    static PoolSource source(true);
    return &source.protocol;
}

using calloc_fn = void* (*)(size_t, size_t);
using free_fn = void (*)(void*);

struct CAllocator {
    calloc_fn zeroed = nullptr;
    free_fn release = nullptr;
    bool available() const { return zeroed != nullptr && release != nullptr; }
};

CAllocator open_local(const char* library, const char* calloc_name, const char* free_name) {
    CAllocator allocator;
    void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "native_bench: cannot open %s: %s\n", library, dlerror());
        return allocator;
    }
    allocator.zeroed = reinterpret_cast<calloc_fn>(dlsym(handle, calloc_name));
    allocator.release = reinterpret_cast<free_fn>(dlsym(handle, free_name));
    return allocator;
}

const CAllocator& glibc() {
    static const CAllocator allocator{&std::calloc, &std::free};
    return allocator;
}

const CAllocator& mimalloc() {
    static const CAllocator allocator = open_local("libmimalloc.so.2", "mi_calloc", "mi_free");
    return allocator;
}

const CAllocator& jemalloc() {
    static const CAllocator allocator = open_local("libjemalloc.so.2", "calloc", "free");
    return allocator;
}

// Uniform face over the pool and the C allocators for the loops below.
struct PoolOps {
    const allocator_protocol* protocol;
    void* get(size_t size) const { return c_ap_request(size, protocol); }
    void put(void* block) const { c_ap_free(block); }
};

struct COps {
    const CAllocator* allocator;
    void* get(size_t size) const { return allocator->zeroed(1, size); }
    void put(void* block) const { allocator->release(block); }
};

template <class Ops>
bool usable(benchmark::State& state, const Ops& ops) {
    if constexpr (std::is_same_v<Ops, COps>) {
        if (!ops.allocator->available()) {
            state.SkipWithError("allocator library not available");
            return false;
        }
    }
    return true;
}

// (a) one million 64-byte blocks requested, then all released.
constexpr size_t kBulkBlocks = 1'000'000;

template <class Ops>
void bulk_pairs(benchmark::State& state, Ops ops) {
    if (!usable(state, ops)) return;
    std::vector<void*> blocks(kBulkBlocks);
    for (auto _ : state) {
        for (void*& block : blocks) {
            block = ops.get(64);
            if (block == nullptr) std::abort();
        }
        for (void* block : blocks) ops.put(block);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBulkBlocks));
}

// (b) 10k live blocks; each step releases a random one and requests a block
// of random size 16..256 in its place.  The random stream is precomputed so
// the loop measures the allocator, not the generator.
constexpr size_t kLiveBlocks = 10'000;
constexpr size_t kSteps = 1 << 16;

struct SteadyPlan {
    std::vector<uint32_t> slot;
    std::vector<uint16_t> size;
    SteadyPlan() : slot(kSteps), size(kSteps) {
        std::mt19937_64 random(42);
        for (size_t i = 0; i < kSteps; ++i) {
            slot[i] = static_cast<uint32_t>(random() % kLiveBlocks);
            size[i] = static_cast<uint16_t>(16 + random() % 241);
        }
    }
};

template <class Ops>
void steady_pairs(benchmark::State& state, Ops ops) {
    if (!usable(state, ops)) return;
    static const SteadyPlan plan;
    std::vector<void*> live(kLiveBlocks);
    for (size_t i = 0; i < kLiveBlocks; ++i) live[i] = ops.get(plan.size[i % kSteps]);
    size_t step = 0;
    for (auto _ : state) {
        void*& block = live[plan.slot[step]];
        ops.put(block);
        block = ops.get(plan.size[step]);
        benchmark::DoNotOptimize(block);
        step = (step + 1) & (kSteps - 1);
    }
    for (void* block : live) ops.put(block);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_bulk64_pool(benchmark::State& s) { bulk_pairs(s, PoolOps{default_pool()}); }
void BM_bulk64_glibc(benchmark::State& s) { bulk_pairs(s, COps{&glibc()}); }
void BM_bulk64_mimalloc(benchmark::State& s) { bulk_pairs(s, COps{&mimalloc()}); }
void BM_bulk64_jemalloc(benchmark::State& s) { bulk_pairs(s, COps{&jemalloc()}); }
void BM_steady_pool(benchmark::State& s) { steady_pairs(s, PoolOps{default_pool()}); }
void BM_steady_glibc(benchmark::State& s) { steady_pairs(s, COps{&glibc()}); }
void BM_steady_mimalloc(benchmark::State& s) { steady_pairs(s, COps{&mimalloc()}); }
void BM_steady_jemalloc(benchmark::State& s) { steady_pairs(s, COps{&jemalloc()}); }
BENCHMARK(BM_bulk64_pool);
BENCHMARK(BM_bulk64_glibc);
BENCHMARK(BM_bulk64_mimalloc);
BENCHMARK(BM_bulk64_jemalloc);
BENCHMARK(BM_steady_pool);
BENCHMARK(BM_steady_glibc);
BENCHMARK(BM_steady_mimalloc);
BENCHMARK(BM_steady_jemalloc);

// The locked protocol shared by 1, 2 and 4 threads, each cycling a batch of
// 64-byte blocks; items/s is the total throughput of all threads.
void BM_locked_pool(benchmark::State& state) {
    const allocator_protocol* protocol = locked_pool();
    constexpr int kBatch = 16;
    void* blocks[kBatch];
    for (auto _ : state) {
        for (void*& block : blocks) block = c_ap_request(64, protocol);
        for (void* block : blocks) c_ap_free(block);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBatch));
}
BENCHMARK(BM_locked_pool)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();

// ---------------------------------------------------------------------------
// byte_map_get against absl::flat_hash_map<std::string, void*>
// ---------------------------------------------------------------------------

// N keys of 10..30 bytes in both maps, and shuffled copies of them (hits) and
// of keys that are absent (misses) so that no query shares storage with the
// stored key.
struct KeySet {
    byte_map* map = nullptr;
    absl::flat_hash_map<std::string, void*> absl_map;
    std::vector<std::string> hits;
    std::vector<std::string> misses;

    explicit KeySet(size_t n) {
        std::mt19937_64 random(n);
        static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789._";
        auto make_key = [&](char lead) {
            std::string key(1, lead);
            const size_t length = 10 + random() % 21;
            while (key.size() < length) key += kAlphabet[random() % (sizeof kAlphabet - 1)];
            return key;
        };
        map = byte_map_new(default_pool());
        if (map == nullptr) std::abort();
        std::vector<std::string> keys;
        keys.reserve(n);
        while (keys.size() < n) {
            std::string key = make_key('k');
            if (absl_map.contains(key)) continue;
            void* value = reinterpret_cast<void*>(keys.size() + 1);
            if (byte_map_set(map, key.data(), key.size(), &value, sizeof value, nullptr) != 0) std::abort();
            absl_map.emplace(key, value);
            keys.push_back(std::move(key));
        }
        hits = keys;  // fresh copies
        std::shuffle(hits.begin(), hits.end(), random);
        misses.reserve(n);
        for (size_t i = 0; i < n; ++i) misses.push_back(make_key('m'));  // 'm' never leads a stored key
    }
};

KeySet& key_set(size_t n) {
    static std::map<size_t, std::unique_ptr<KeySet>> sets;
    auto& slot = sets[n];
    if (!slot) slot = std::make_unique<KeySet>(n);
    return *slot;
}

template <bool kHit>
void BM_bytemap_get(benchmark::State& state) {
    KeySet& keys = key_set(static_cast<size_t>(state.range(0)));
    const std::vector<std::string>& queries = kHit ? keys.hits : keys.misses;
    size_t i = 0;
    for (auto _ : state) {
        const std::string& q = queries[i];
        void* value = nullptr;
        const int rc = byte_map_get(keys.map, q.data(), q.size(), &value);
        benchmark::DoNotOptimize(rc);
        benchmark::DoNotOptimize(value);
        if (++i == queries.size()) i = 0;
    }
}

template <bool kHit>
void BM_absl_get(benchmark::State& state) {
    KeySet& keys = key_set(static_cast<size_t>(state.range(0)));
    const std::vector<std::string>& queries = kHit ? keys.hits : keys.misses;
    size_t i = 0;
    for (auto _ : state) {
        auto found = keys.absl_map.find(absl::string_view(queries[i].data(), queries[i].size()));
        void* value = found != keys.absl_map.end() ? found->second : nullptr;
        benchmark::DoNotOptimize(value);
        if (++i == queries.size()) i = 0;
    }
}
BENCHMARK(BM_bytemap_get<true>)->Name("BM_bytemap_hit")->Arg(1000)->Arg(100000)->Arg(1000000);
BENCHMARK(BM_absl_get<true>)->Name("BM_absl_hit")->Arg(1000)->Arg(100000)->Arg(1000000);
BENCHMARK(BM_bytemap_get<false>)->Name("BM_bytemap_miss")->Arg(1000)->Arg(100000)->Arg(1000000);
BENCHMARK(BM_absl_get<false>)->Name("BM_absl_miss")->Arg(1000)->Arg(100000)->Arg(1000000);

// ---------------------------------------------------------------------------
// Matching: the native walk with its node chain against mosquitto on "/"
// ---------------------------------------------------------------------------

struct MatchCase {
    const char* concrete;
    const char* generic;
    const char* mqtt_topic;
    const char* mqtt_sub;
};

// Index 0: 3 segments, index 1: 8 segments; every other position a
// single-segment wildcard.
constexpr MatchCase kMatchCases[] = {
    {"orders.eu.buy", "orders.+region.buy", "orders/eu/buy", "orders/+/buy"},
    {"site.s1.line.l2.cell.c3.dev.d4", "site.+a.line.+b.cell.+c.dev.+d", "site/s1/line/l2/cell/c3/dev/d4",
     "site/+/line/+/cell/+/dev/+"},
};

evt_topic* parsed(const char* literal) {
    evt_topic* topic = evt_topic_new(nullptr, 0, default_pool());
    if (topic == nullptr || evt_topic_parse(topic, literal, 0) != 0) std::abort();
    return topic;
}

void BM_match_native(benchmark::State& state) {
    const MatchCase& c = kMatchCases[state.range(0)];
    evt_topic* concrete = parsed(c.concrete);
    evt_topic* generic = parsed(c.generic);
    for (auto _ : state) {
        evt_topic_match* head = evt_topic_match_build(concrete, generic, nullptr, nullptr);
        if (head == nullptr || !head->success) std::abort();
        c_ap_free_chain(head);
    }
    evt_topic_free(concrete);
    evt_topic_free(generic);
}

void BM_match_mosquitto(benchmark::State& state) {
    const MatchCase& c = kMatchCases[state.range(0)];
    for (auto _ : state) {
        bool result = false;
        if (mosquitto_topic_matches_sub(c.mqtt_sub, c.mqtt_topic, &result) != MOSQ_ERR_SUCCESS || !result)
            std::abort();
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_match_native)->Arg(0)->Arg(1);
BENCHMARK(BM_match_mosquitto)->Arg(0)->Arg(1);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::AddCustomContext("glibc", gnu_get_libc_version());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
