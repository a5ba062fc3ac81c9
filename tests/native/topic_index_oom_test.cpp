// The subscription index under exhausted memory: every block request it makes
// can be made to fail, one at a time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fuzz/failing_requests.h"
#include "quenda_loomi/capi/topic_core/subscription_trie.h"

namespace {

using topic_index::FlatVector;
using topic_index::PatternHooks;
using topic_index::Subscription;
using topic_index::TopicTrie;

uint64_t parts_as_generation(const evt_topic* record) { return record->n_parts; }

struct Records {
    std::vector<evt_topic*> made;
    ~Records() {
        for (evt_topic* record : made) evt_topic_free(record);
    }
    evt_topic* parse(const std::string& literal) {
        evt_topic* record = evt_topic_new(nullptr, 0, nullptr);
        EXPECT_EQ(evt_topic_parse(record, literal.c_str(), 0), 0) << literal;
        made.push_back(record);
        return record;
    }
};

std::vector<uint64_t> seqs_of(const FlatVector<Subscription>& subscriptions) {
    std::vector<uint64_t> seqs;
    for (const Subscription& subscription : subscriptions) seqs.push_back(subscription.seq);
    return seqs;
}

// Re-filing moves changed records to new nodes; when a request fails on the
// way, each subscription is either still filed or waiting, and a later
// re-file with memory back files everything where its parts now lead.
TEST(TopicTrieOutOfMemory, RefileNeverLosesASubscription) {
    for (int fail_at = 0; fail_at < 40; ++fail_at) {
        SCOPED_TRACE("request failed: " + std::to_string(fail_at));
        Records records;
        TopicTrie trie(nullptr, PatternHooks{});
        std::vector<evt_topic*> moving;
        uint64_t seq = 0;
        for (int i = 0; i < 6; ++i) {
            evt_topic* record = records.parse("m." + std::to_string(i));
            moving.push_back(record);
            for (int copy = 0; copy < 3; ++copy) ASSERT_TRUE(trie.insert(Subscription{seq++, record, nullptr, nullptr}, 2));
        }
        ASSERT_TRUE(trie.insert(Subscription{seq++, records.parse("m.still"), nullptr, nullptr}, 2));
        for (size_t i = 0; i < moving.size(); ++i) {
            const std::string extra = "(x|y" + std::to_string(i) + ")";
            evt_topic_clear(moving[i]);
            ASSERT_EQ(evt_topic_parse(moving[i], ("n." + std::to_string(i) + ".deep." + extra).c_str(), 0), 0);
        }
        fuzz_failures::injected = false;
        fuzz_failures::countdown = fail_at;
        const bool complete = trie.refile(parts_as_generation, moving.data(), moving.size());
        fuzz_failures::countdown = -1;
        EXPECT_EQ(complete, !fuzz_failures::injected);

        FlatVector<Subscription> listed;
        trie.all(&listed);
        std::vector<uint64_t> expected;
        for (uint64_t i = 0; i < seq; ++i) expected.push_back(i);
        EXPECT_EQ(seqs_of(listed), expected);
        EXPECT_EQ(trie.size(), seq);

        // Memory is back: the next re-file settles everything.
        FlatVector<evt_topic*> changed;
        trie.changed_records(parts_as_generation, &changed);
        ASSERT_TRUE(trie.refile(parts_as_generation, changed.data(), changed.size()));
        EXPECT_EQ(trie.waiting_count(), 0u);
        FlatVector<Subscription> found;
        ASSERT_TRUE(trie.match(records.parse("n.3.deep.x"), &found));
        EXPECT_EQ(seqs_of(found), (std::vector<uint64_t>{9, 10, 11}));
        ASSERT_TRUE(trie.match(records.parse("m.2"), &found));
        EXPECT_TRUE(found.empty());
        if (!fuzz_failures::injected) break;  // every request of the re-file has had its turn
    }
}

// A new range child files all its options or none.
TEST(TopicTrieOutOfMemory, FailedInsertLeavesNoTrace) {
    Records records;
    TopicTrie trie(nullptr, PatternHooks{});
    const uint64_t empty_bytes = trie.bytes_held();
    evt_topic* record = records.parse("a.(b|c|d).+x");
    for (int fail_at = 0; fail_at < 20; ++fail_at) {
        fuzz_failures::injected = false;
        fuzz_failures::countdown = fail_at;
        const bool filed = trie.insert(Subscription{1, record, nullptr, nullptr}, 0);
        fuzz_failures::countdown = -1;
        if (filed) {
            EXPECT_FALSE(fuzz_failures::injected);
            break;
        }
        EXPECT_EQ(trie.size(), 0u);
        EXPECT_EQ(trie.node_count(), 1u);
        EXPECT_EQ(trie.bytes_held(), empty_bytes);
    }
    FlatVector<Subscription> found;
    ASSERT_TRUE(trie.match(records.parse("a.c.z"), &found));
    EXPECT_EQ(seqs_of(found), std::vector<uint64_t>{1});
}

}  // namespace
