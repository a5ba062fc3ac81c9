// Fuzz target: the subscription trie against the pairwise matcher.
//
// Each input runs a short program over one trie and a handful of records
// (private parses of literals drawn from a small alphabet of all four part
// kinds, some given their literal as a private key): file a subscription,
// erase one, change a record in place and re-file it, match an event given
// as a record or as a plain literal, hand compiled expressions back.
// Checked after every step:
//  * an event's answer is exactly the subscriptions, in sequence order, that
//    the pairwise matcher accepts (the same record, equal literals, or every
//    position matched with equal lengths);
//  * match_plain answers a plain literal as match answers its parse;
//  * size() follows the model, and next_of walks a record's subscriptions;
//  * in the re-entrant mode the pattern test erases subscriptions while the
//    walk runs: nothing crashes, and the next quiet match agrees with the
//    model again.
// At the end every subscription is erased and the trie must be back to its
// root node and its empty size, with every expression handed back.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "quenda_loomi/capi/topic_core/subscription_trie.h"

namespace {

using topic_index::FlatVector;
using topic_index::PatternHooks;
using topic_index::Subscription;
using topic_index::TopicTrie;

const char* const kSegments[] = {"a", "b", "ab", "", "+x", "{y}", "(a|b)", "(b|ab|b)", "(|)", "/a/", "/^b/", "/ab$/"};

struct Held {
    evt_topic* record;
    uint64_t generation;
};

struct Program {
    std::vector<Held> records;
    std::vector<Subscription> subscriptions;  // the model, in sequence order
    TopicTrie* trie = nullptr;
    FuzzedDataProvider* data = nullptr;
    bool reentrant = false;
    int depth = 0;
    int prepared = 0;
    uint64_t next_seq = 0;
};

Program* program = nullptr;

// Patterns are substrings, as in the native tests.
void* prepare(const char* expression, void*) {
    ++program->prepared;
    return new std::string(expression);
}
int test(void* prepared, const char* segment, uint64_t length, void*) {
    if (program->reentrant && program->depth == 0 && !program->subscriptions.empty() && program->data->ConsumeBool()) {
        ++program->depth;
        const size_t victim = program->data->ConsumeIntegralInRange<size_t>(0, program->subscriptions.size() - 1);
        const Subscription gone = program->subscriptions[victim];
        FUZZ_CHECK(program->trie->erase(gone.record, gone.seq, nullptr));
        program->subscriptions.erase(program->subscriptions.begin() + static_cast<long>(victim));
        --program->depth;
    }
    return std::string_view(segment, length).find(*static_cast<std::string*>(prepared)) != std::string_view::npos;
}
void release(void* prepared, void*) {
    --program->prepared;
    delete static_cast<std::string*>(prepared);
}
int pairwise_test(const char* pattern, const char* segment, uint64_t length, void*) {
    return std::string_view(segment, length).find(pattern) != std::string_view::npos;
}

uint64_t generation_of(const evt_topic* record) {
    for (const Held& held : program->records)
        if (held.record == record) return held.generation;
    return 0;
}

std::string draw_literal(FuzzedDataProvider& data, bool plain) {
    std::string literal;
    const size_t count = data.ConsumeIntegralInRange<size_t>(0, 4);
    for (size_t i = 0; i < count; ++i) {
        if (i) literal += '.';
        literal += kSegments[data.ConsumeIntegralInRange<size_t>(0, plain ? 3 : std::size(kSegments) - 1)];
    }
    return literal;
}

// A private parse; with `keyed`, its literal as a private key (so the
// identity shortcut goes through the trie's own literal table).
evt_topic* parse(const std::string& literal, bool keyed) {
    evt_topic* record = evt_topic_new(nullptr, 0, nullptr);
    FUZZ_CHECK(record != nullptr);
    if (!literal.empty() && evt_topic_parse(record, literal.data(), literal.size()) != 0) {
        evt_topic_free(record);
        return nullptr;
    }
    if (keyed && !literal.empty()) FUZZ_CHECK(evt_topic_key_privately(record, literal.data(), literal.size()) == 0);
    return record;
}

bool matches(const evt_topic* event, const evt_topic* subscription) {
    evt_topic_match* chain = evt_topic_match_build(event, subscription, pairwise_test, nullptr);
    bool all = chain != nullptr;
    for (const evt_topic_match* node = chain; node; node = node->next) all = all && node->success;
    c_ap_free_chain(chain);
    return all;
}

std::vector<uint64_t> expected_for(const evt_topic* event) {
    std::vector<uint64_t> seqs;
    for (const Subscription& s : program->subscriptions)
        if (matches(event, s.record)) seqs.push_back(s.seq);
    return seqs;
}

std::vector<uint64_t> seqs_of(const FlatVector<Subscription>& found) {
    std::vector<uint64_t> seqs;
    for (const Subscription& s : found) seqs.push_back(s.seq);
    return seqs;
}

void check_match(const std::string& literal, bool plain, bool quiet) {
    evt_topic* event = parse(literal, true);
    if (event == nullptr) return;
    FlatVector<Subscription> found;
    FUZZ_CHECK(program->trie->match(event, &found));
    if (quiet) FUZZ_CHECK(seqs_of(found) == expected_for(event));
    if (plain) {
        FUZZ_CHECK(TopicTrie::is_plain_literal(literal.data(), literal.size()));
        FlatVector<Subscription> walked;
        FUZZ_CHECK(program->trie->match_plain(literal.data(), literal.size(), &walked));
        if (quiet) FUZZ_CHECK(seqs_of(walked) == seqs_of(found));
    }
    evt_topic_free(event);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    Program state;
    program = &state;
    state.data = &data;
    state.reentrant = data.ConsumeBool();
    TopicTrie trie(nullptr, PatternHooks{prepare, test, release, nullptr});
    FUZZ_CHECK(trie.valid());
    state.trie = &trie;
    const uint64_t empty_bytes = trie.bytes_held();

    for (int step = 0; step < 48 && data.remaining_bytes() > 0; ++step) {
        switch (data.ConsumeIntegralInRange<int>(0, 5)) {
            case 0: {  // a new record and a subscription to it
                evt_topic* record = parse(draw_literal(data, false), data.ConsumeBool());
                if (record == nullptr) break;
                state.records.push_back(Held{record, 1});
                const Subscription s{state.next_seq++, record, nullptr, nullptr};
                FUZZ_CHECK(trie.insert(s, 1));
                state.subscriptions.push_back(s);
                break;
            }
            case 1: {  // another subscription to a held record
                if (state.records.empty()) break;
                const Held& held = state.records[data.ConsumeIntegralInRange<size_t>(0, state.records.size() - 1)];
                const Subscription s{state.next_seq++, held.record, nullptr, nullptr};
                FUZZ_CHECK(trie.insert(s, held.generation));
                state.subscriptions.push_back(s);
                break;
            }
            case 2: {  // erase one, checking next_of on the way
                if (state.subscriptions.empty()) break;
                const size_t at = data.ConsumeIntegralInRange<size_t>(0, state.subscriptions.size() - 1);
                const Subscription gone = state.subscriptions[at];
                Subscription first{};
                FUZZ_CHECK(trie.next_of(gone.record, 0, &first));
                const auto model_first = std::find_if(state.subscriptions.begin(), state.subscriptions.end(),
                                                      [&](const Subscription& s) { return s.record == gone.record; });
                FUZZ_CHECK(first.seq == model_first->seq);
                Subscription removed{};
                FUZZ_CHECK(trie.erase(gone.record, gone.seq, &removed) && removed.seq == gone.seq);
                FUZZ_CHECK(!trie.erase(gone.record, gone.seq, nullptr));
                state.subscriptions.erase(state.subscriptions.begin() + static_cast<long>(at));
                break;
            }
            case 3: {  // change a record in place, then re-file it
                if (state.records.empty()) break;
                Held& held = state.records[data.ConsumeIntegralInRange<size_t>(0, state.records.size() - 1)];
                const std::string literal = draw_literal(data, false);
                evt_topic_clear(held.record);
                if (!literal.empty() && evt_topic_parse(held.record, literal.data(), literal.size()) == 0 &&
                    data.ConsumeBool())
                    FUZZ_CHECK(evt_topic_key_privately(held.record, literal.data(), literal.size()) == 0);
                ++held.generation;
                evt_topic* const changed[] = {held.record};
                FUZZ_CHECK(trie.refile(generation_of, changed, 1));
                break;
            }
            case 4: {  // match an event; in the re-entrant mode, once more quietly
                const bool plain = data.ConsumeBool();
                const std::string literal = draw_literal(data, plain);
                check_match(literal, plain, !state.reentrant);
                if (state.reentrant) {
                    state.reentrant = false;
                    check_match(literal, plain, true);
                    state.reentrant = true;
                }
                break;
            }
            default:
                trie.release_patterns();
                break;
        }
        FUZZ_CHECK(trie.size() == state.subscriptions.size());
    }

    for (const Subscription& s : state.subscriptions) FUZZ_CHECK(trie.erase(s.record, s.seq, nullptr));
    trie.release_patterns();
    FUZZ_CHECK(trie.size() == 0 && trie.node_count() == 1 && trie.bytes_held() == empty_bytes);
    FUZZ_CHECK(state.prepared == 0);
    for (const Held& held : state.records) evt_topic_free(held.record);
    program = nullptr;
    return 0;
}
