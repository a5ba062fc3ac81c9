// Exact-child lookups of the subscription index: its own edge table (one
// tagged word per edge, inside TopicTrie::match) against the byte map keyed
// by (parent id, segment).  Subscriptions are exact 3-segment topics over
// segment sets of 10, 100 and 1000, so a match is three exact lookups; the
// byte map column is the three lookups alone, without the rest of a match.
// Prints ns per event and bytes per edge, best of several rounds.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/best_time.h"
#include "nyxel/bytemap/sorvelink.h"
#include "quenda_loomi/capi/topic_core/subscription_trie.h"

namespace {

volatile uint64_t sink;

std::string segment(char position, int number) { return position + std::to_string(number); }

}  // namespace

int main(int argc, char** argv) {
    const long subscriptions = argc > 1 ? std::atol(argv[1]) : 1'000'000;
    std::mt19937_64 random(7);
    const int sizes[] = {10, 100, 1000};
    auto literal = [&](std::vector<std::string>* parts) {
        parts->clear();
        for (int position = 0; position < 3; ++position)
            parts->push_back(segment(static_cast<char>('a' + position), static_cast<int>(random() % sizes[position])));
    };

    topic_index::TopicTrie trie(nullptr, topic_index::PatternHooks{});
    byte_map* map = byte_map_new(nullptr);
    uint64_t next_id = 1;  // node ids of the byte-map trie; 0 is the root
    std::vector<evt_topic*> records;
    std::vector<std::string> parts;
    std::string key;
    for (long i = 0; i < subscriptions; ++i) {
        literal(&parts);
        const std::string text = parts[0] + "." + parts[1] + "." + parts[2];
        evt_topic* record = evt_topic_new(nullptr, 0, nullptr);
        if (record == nullptr || evt_topic_parse(record, text.c_str(), 0) != 0) std::abort();
        records.push_back(record);
        if (!trie.insert(topic_index::Subscription{static_cast<uint64_t>(i), record, nullptr, nullptr}, 0)) std::abort();
        uint64_t parent = 0;
        for (const std::string& part : parts) {
            key.assign(reinterpret_cast<const char*>(&parent), sizeof parent);
            key += part;
            uint64_t child = 0;
            if (byte_map_get(map, key.data(), key.size(), &child) != 0) {
                child = next_id++;
                if (byte_map_set(map, key.data(), key.size(), &child, sizeof child, nullptr) != 0) std::abort();
            }
            parent = child;
        }
    }

    constexpr int kEvents = 1000;
    std::vector<std::vector<std::string>> event_parts(kEvents);
    std::vector<evt_topic*> events;
    for (auto& event : event_parts) {
        literal(&event);
        const std::string text = event[0] + "." + event[1] + "." + event[2];
        evt_topic* record = evt_topic_new(nullptr, 0, nullptr);
        if (record == nullptr || evt_topic_parse(record, text.c_str(), 0) != 0) std::abort();
        events.push_back(record);
    }

    topic_index::FlatVector<topic_index::Subscription> found;
    const double trie_ns = best_ns_per_op(kEvents * 100L, [&](long i) {
        trie.match(events[i % kEvents], &found);
        sink = found.size();
    });
    const double map_ns = best_ns_per_op(kEvents * 100L, [&](long i) {
        uint64_t node = 0;
        char buffer[64];
        for (const std::string& part : event_parts[i % kEvents]) {
            std::memcpy(buffer, &node, sizeof node);
            std::memcpy(buffer + sizeof node, part.data(), part.size());
            if (byte_map_get(map, buffer, sizeof node + part.size(), &node) != 0) break;
        }
        sink = node;
    });
    std::printf("%ld exact subscriptions, %llu trie nodes, %llu byte-map edges\n", subscriptions,
                static_cast<unsigned long long>(trie.node_count()), static_cast<unsigned long long>(map->count));
    std::printf("  %-52s %8.1f ns/event\n", "TopicTrie::match (3 edge-table lookups + answer)", trie_ns);
    std::printf("  %-52s %8.1f ns/event\n", "byte_map_get x3 (lookups only)", map_ns);
    std::printf("  %-52s %8.1f bytes/edge\n", "byte map buckets alone",
                static_cast<double>(map->capacity * map->entry_size) / static_cast<double>(map->count));
    std::printf("  %-52s %8.1f bytes/node\n", "whole trie (nodes, edge and record tables)",
                static_cast<double>(trie.bytes_held()) / static_cast<double>(trie.node_count()));
    for (evt_topic* record : records) evt_topic_free(record);
    for (evt_topic* record : events) evt_topic_free(record);
    return 0;
}
