// Topic core micro-benchmarks: registry lookup of registered literals, literal
// parsing, and matching (exact, any, range, identity).  Prints ns/op, best of
// several rounds; asserts nothing.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/best_time.h"
#include "quenda_loomi/capi/topic_core/evt_topic.h"

namespace {

volatile uint64_t sink;

evt_topic* unregistered(const char* literal, const allocator_protocol* source) {
    evt_topic* topic = evt_topic_new(nullptr, 0, source);
    if (topic == nullptr || evt_topic_parse(topic, literal, 0) != 0) std::abort();
    return topic;
}

struct Source {
    const char* name;
    const allocator_protocol* protocol;
};

}  // namespace

int main(int argc, char** argv) {
    const long ops = argc > 1 ? std::atol(argv[1]) : 1'000'000;

    auto* heap = static_cast<heap_allocator*>(std::calloc(1, sizeof(heap_allocator)));
    if (heap == nullptr || c_ap_heap_allocator_init(heap, 65536, 16u << 20, 4096) != 0) return 1;
    allocator_protocol plain{};
    allocator_protocol pool{};
    pool.heap = heap;
    pool.with_freelist = 1;
    const Source sources[] = {{"plain heap", &plain}, {"heap pool", &pool}};

    // Registry: many registered literals, looked up round-robin.
    constexpr int kLiterals = 1024;
    std::vector<std::string> literals;
    std::vector<std::string> missing;  // same shape, never registered
    for (int i = 0; i < kLiterals; ++i) {
        literals.push_back("bench.orders.{region}.(buy|sell)." + std::to_string(i));
        missing.push_back("bench.orders.{region}.(buy|sell)." + std::to_string(i + kLiterals * 10));
    }
    std::vector<evt_topic*> registered;
    for (const std::string& literal : literals) {
        evt_topic* topic = evt_topic_new(literal.data(), literal.size(), &pool);
        if (topic == nullptr) return 1;
        registered.push_back(topic);
    }
    std::printf("registry: %d literals of ~35 bytes, capacity %llu\n", kLiterals,
                static_cast<unsigned long long>(TOPIC_INTERNAL_MAP->capacity));
    std::printf("  %-40s %8.1f ns/op\n", "byte_map_hash",
                best_ns_per_op(ops, [&](long i) {
                    const std::string& l = literals[i % kLiterals];
                    uint64_t h = 0;
                    byte_map_hash(TOPIC_INTERNAL_MAP, l.data(), l.size(), &h);
                    sink = h;
                }));
    std::printf("  %-40s %8.1f ns/op\n", "evt_topic_lookup (hash + probe)",
                best_ns_per_op(ops, [&](long i) {
                    const std::string& l = literals[i % kLiterals];
                    sink = reinterpret_cast<uintptr_t>(evt_topic_lookup(l.data(), l.size()));
                }));
    std::printf("  %-40s %8.1f ns/op\n", "evt_topic_new of a registered literal",
                best_ns_per_op(ops, [&](long i) {
                    const std::string& l = literals[i % kLiterals];
                    sink = reinterpret_cast<uintptr_t>(evt_topic_new(l.data(), l.size(), &pool));
                }));
    std::printf("  %-40s %8.1f ns/op\n", "evt_topic_lookup of a missing literal",
                best_ns_per_op(ops, [&](long i) {
                    const std::string& l = missing[i % kLiterals];
                    sink = reinterpret_cast<uintptr_t>(evt_topic_lookup(l.data(), l.size()));
                }));

    // Parsing: parse into a reused header, then clear it (the parts must go).
    const char* const parse_literals[] = {"orders.eu.buy", "orders.+region.(buy|sell|hold)./v[0-9]+/"};
    for (const Source& source : sources) {
        std::printf("parse + clear, %s\n", source.name);
        evt_topic* topic = evt_topic_new(nullptr, 0, source.protocol);
        for (const char* literal : parse_literals) {
            const uint64_t length = std::strlen(literal);
            std::printf("  %-40s %8.1f ns/op\n", literal, best_ns_per_op(ops, [&](long) {
                            evt_topic_parse(topic, literal, length);
                            sink = topic->n_parts;
                            evt_topic_clear(topic);
                        }));
        }
        evt_topic_free(topic);
    }

    // Matching: distinct records, so the walk runs; the chain is released.
    struct Pair {
        const char* name;
        const char* concrete;
        const char* generic;
    };
    const Pair pairs[] = {
        {"exact, 4 positions", "orders.eu.buy.now", "orders.eu.buy.now"},
        {"any, 4 positions", "orders.eu.buy.now", "orders.{r}.{s}.{t}"},
        {"range, 4 positions", "orders.eu.sell.now", "orders.(us|eu|apac).(buy|sell).(now|later)"},
        {"mismatch at position 1", "orders.eu.buy.now", "trades.eu.buy.now"},
    };
    for (const Source& source : sources) {
        std::printf("match + free chain, nodes from %s\n", source.name);
        for (const Pair& pair : pairs) {
            evt_topic* concrete = unregistered(pair.concrete, source.protocol);
            evt_topic* generic = unregistered(pair.generic, source.protocol);
            std::printf("  %-40s %8.1f ns/op\n", pair.name, best_ns_per_op(ops, [&](long) {
                            evt_topic_match* head = evt_topic_match_build(concrete, generic, nullptr, nullptr);
                            sink = head != nullptr ? head->success : 0;
                            c_ap_free_chain(head);
                        }));
            evt_topic_free(concrete);
            evt_topic_free(generic);
        }
    }
    evt_topic* same = registered.front();
    std::printf("  %-40s %8.1f ns/op\n", "identity shortcut, heap pool", best_ns_per_op(ops, [&](long) {
                    evt_topic_match* head = evt_topic_match_build(same, same, nullptr, nullptr);
                    sink = head->success;
                    c_ap_free_chain(head);
                }));

    for (evt_topic* topic : registered) evt_topic_free(topic);
    return 0;
}
