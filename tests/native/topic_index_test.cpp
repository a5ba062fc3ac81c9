#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quenda_loomi/capi/topic_core/subscription_trie.h"

namespace {

using topic_index::PatternHooks;
using topic_index::Subscription;
using topic_index::TopicTrie;

// Patterns are substrings here; `during_test` runs inside every test call,
// standing in for Python code run by the regular-expression engine.
struct FakePatterns {
    std::function<void()> during_test;
    std::function<void()> during_release;
    bool out_of_memory = false;  // prepare() answers null, as a caller without memory does
    bool cannot_answer = false;  // test() fails, as an interrupted search does
    int prepared = 0;
};

void* prepare(const char* expression, void* context) {
    if (static_cast<FakePatterns*>(context)->out_of_memory) return nullptr;
    ++static_cast<FakePatterns*>(context)->prepared;
    return new std::string(expression);
}
int test(void* prepared, const char* segment, uint64_t length, void* context) {
    auto* fake = static_cast<FakePatterns*>(context);
    if (fake->during_test) fake->during_test();
    if (fake->cannot_answer) return -1;
    return std::string_view(segment, length).find(*static_cast<std::string*>(prepared)) != std::string_view::npos;
}
void release(void* prepared, void* context) {
    auto* fake = static_cast<FakePatterns*>(context);
    --fake->prepared;
    delete static_cast<std::string*>(prepared);
    if (fake->during_release) fake->during_release();
}

class TopicTrieTest : public ::testing::Test {
protected:
    ~TopicTrieTest() override {
        trie_.reset();
        for (evt_topic* record : records_) evt_topic_free(record);
    }

    evt_topic* record(const char* literal) {
        evt_topic* made = evt_topic_new(nullptr, 0, nullptr);
        EXPECT_EQ(evt_topic_parse(made, literal, 0), 0) << literal;
        records_.push_back(made);
        return made;
    }

    uint64_t add(const char* literal) {
        const uint64_t seq = next_seq_++;
        EXPECT_TRUE(trie_->insert(Subscription{seq, record(literal), nullptr, nullptr}, 0));
        return seq;
    }

    std::vector<uint64_t> match(const char* literal) {
        topic_index::FlatVector<Subscription> found;
        EXPECT_TRUE(trie_->match(record(literal), &found));
        std::vector<uint64_t> seqs;
        for (const Subscription& s : found) seqs.push_back(s.seq);
        return seqs;
    }

    FakePatterns fake_;
    std::unique_ptr<TopicTrie> trie_ = std::make_unique<TopicTrie>(nullptr, PatternHooks{prepare, test, release, &fake_});
    std::vector<evt_topic*> records_;
    uint64_t next_seq_ = 0;
};

TEST_F(TopicTrieTest, WalkDecidesEachPositionLikeThePairwiseMatcher) {
    add("a.b.c");    // 0
    add("a.+x.c");   // 1
    add("a.(b|q).c");  // 2
    add("a./b/.c");  // 3
    add("a.b");      // 4
    add("+x.+y.+z");  // 5
    EXPECT_EQ(match("a.b.c"), (std::vector<uint64_t>{0, 1, 2, 3, 5}));
    EXPECT_EQ(match("a.+w.c"), (std::vector<uint64_t>{0}));          // generic vs generic never matches
    EXPECT_EQ(match("a.(b|b|z).c"), (std::vector<uint64_t>{0}));     // repeated options count once
    EXPECT_EQ(match("a./b/.c"), (std::vector<uint64_t>{0}));  // pattern event against exact children
    EXPECT_EQ(match("a.b.c.d"), (std::vector<uint64_t>{}));          // no subscription is that long
}

TEST_F(TopicTrieTest, APatternTestThatCannotAnswerFailsTheMatchAndIsNotRemembered) {
    add("f./x/");  // tested against the event's exact segment
    add("f.xy");   // tested by the event's pattern
    fake_.cannot_answer = true;
    topic_index::FlatVector<Subscription> found;
    EXPECT_FALSE(trie_->match(record("f.xy"), &found));
    EXPECT_FALSE(trie_->match(record("f./y/"), &found));
    fake_.cannot_answer = false;
    EXPECT_EQ(match("f.xy"), (std::vector<uint64_t>{0, 1}));
    EXPECT_EQ(match("f./y/"), (std::vector<uint64_t>{1}));
}

TEST_F(TopicTrieTest, HooksThatEmptyTheTrieMidWalkDeferReleasingNodes) {
    std::vector<uint64_t> seqs;
    const char* literals[] = {"m./x/.a", "m./y/.a", "m.xy.a", "m.+k.a"};
    std::vector<evt_topic*> filed;
    for (const char* literal : literals) {
        seqs.push_back(add(literal));
        filed.push_back(records_.back());
    }
    const uint64_t nodes_before = trie_->node_count();
    bool fired = false;
    fake_.during_test = [&] {
        if (std::exchange(fired, true)) return;
        for (size_t i = 0; i < filed.size(); ++i) trie_->erase(filed[i], seqs[i], nullptr);
        // Growing the edge table while the walk holds nodes.
        for (int i = 0; i < 64; ++i) add(("n." + std::to_string(i)).c_str());
    };
    EXPECT_GT(nodes_before, 1u);
    EXPECT_EQ(match("m.xy.a"), (std::vector<uint64_t>{}));  // what the nodes hold when the walk ends
    EXPECT_EQ(trie_->size(), 64u);
    EXPECT_EQ(trie_->node_count(), 1u + 1u + 64u);  // root, "n", its children: the m-branch is gone
}

TEST_F(TopicTrieTest, EmptyingReturnsEveryBlockAndPatternUse) {
    std::vector<std::pair<evt_topic*, uint64_t>> held;
    for (int i = 0; i < 500; ++i) {
        const std::string literal = "e." + std::to_string(i % 13) + ".(" + std::to_string(i) + "|z)./p" +
                                    std::to_string(i % 5) + "/";
        const uint64_t seq = add(literal.c_str());
        held.emplace_back(records_.back(), seq);
    }
    EXPECT_GT(trie_->bytes_held(), 500u * 100);
    EXPECT_EQ(fake_.prepared, 500);  // one pattern node per distinct path
    for (auto& [record, seq] : held) EXPECT_TRUE(trie_->erase(record, seq, nullptr));
    EXPECT_FALSE(trie_->erase(held[0].first, held[0].second, nullptr));
    EXPECT_EQ(trie_->node_count(), 1u);
    // Expressions wait for the caller, who gives them back holding nothing.
    EXPECT_EQ(fake_.prepared, 500);
    ASSERT_TRUE(trie_->has_released_patterns());
    trie_->release_patterns();
    EXPECT_EQ(fake_.prepared, 0);
    EXPECT_FALSE(trie_->has_released_patterns());
    TopicTrie fresh(nullptr, PatternHooks{prepare, test, release, &fake_});
    EXPECT_EQ(trie_->bytes_held(), fresh.bytes_held());
}

uint64_t bumped_generation(const evt_topic* record) { return record->n_parts; }

TEST_F(TopicTrieTest, RefileMovesRecordsWhosePartsChanged) {
    const uint64_t seq = add("r.one");
    evt_topic* changed = records_.back();
    ASSERT_EQ(match("r.one"), std::vector<uint64_t>{seq});
    ASSERT_EQ(evt_topic_append_part(changed, "two", 0, TOPIC_PART_EXACT), 0);
    evt_topic* const changed_records[] = {changed, changed};  // a record listed twice moves once
    ASSERT_TRUE(trie_->refile(bumped_generation, changed_records, 2));  // generation 0 -> 3
    EXPECT_EQ(match("r.one"), std::vector<uint64_t>{});
    EXPECT_EQ(match("r.one.two"), std::vector<uint64_t>{seq});
    EXPECT_EQ(trie_->size(), 1u);
}

TEST_F(TopicTrieTest, ChangedAmongReportsOnlyHeldRecordsWhoseGenerationMoved) {
    add("s.one");
    evt_topic* moved = records_.back();
    add("s.two");
    evt_topic* still = records_.back();
    evt_topic* stranger = record("s.three");
    ASSERT_EQ(evt_topic_append_part(moved, "x", 0, TOPIC_PART_EXACT), 0);
    const evt_topic* candidates[] = {still, stranger, moved};
    topic_index::FlatVector<evt_topic*> changed;
    trie_->changed_among(bumped_generation, candidates, 3, &changed);
    // "still" has two parts and was filed with generation 0, like every
    // record here: only the generation function decides.
    std::vector<evt_topic*> got(changed.begin(), changed.end());
    EXPECT_EQ(got, (std::vector<evt_topic*>{still, moved}));
}

// Range children are found through their options: many siblings, options
// shared between them, and pruning that must take the options out again.
// Option order and repeats do not matter to a range, so they share a node;
// a range without options is one node too, and matches nothing.
TEST_F(TopicTrieTest, RangesWithTheSameOptionsShareOneNode) {
    const uint64_t first = add("k.(b|a).x");
    const uint64_t nodes = trie_->node_count();
    const uint64_t second = add("k.(a|b|a).x");
    const uint64_t third = add("k.(a|b).x");
    EXPECT_EQ(trie_->node_count(), nodes);
    EXPECT_EQ(match("k.a.x"), (std::vector<uint64_t>{first, second, third}));
    add("k.(ab).x");  // not the options a and b
    EXPECT_EQ(trie_->node_count(), nodes + 2);
    EXPECT_EQ(match("k.b.x"), (std::vector<uint64_t>{first, second, third}));
}

TEST_F(TopicTrieTest, RangeChildrenAreFoundByOptionAndForgottenWhenPruned) {
    std::vector<std::pair<evt_topic*, uint64_t>> held;
    for (int i = 0; i < 200; ++i) {
        const std::string literal = "g.(" + std::to_string(i) + "|" + std::to_string(i + 1) + "|shared)";
        held.emplace_back(nullptr, add(literal.c_str()));
        held.back().first = records_.back();
    }
    add("g./7/");  // a pattern sibling among the ranges
    const uint64_t pattern_seq = next_seq_ - 1;
    EXPECT_EQ(match("g.7"), (std::vector<uint64_t>{6, 7, pattern_seq}));
    EXPECT_EQ(match("g.shared").size(), 200u);
    EXPECT_EQ(match("g.0"), (std::vector<uint64_t>{0}));
    for (int i = 0; i < 200; i += 2) EXPECT_TRUE(trie_->erase(held[i].first, held[i].second, nullptr));
    EXPECT_EQ(match("g.7"), (std::vector<uint64_t>{7, pattern_seq}));
    EXPECT_EQ(match("g.shared").size(), 100u);
    // A range reached from another parent with the same option is not this one.
    add("h.(7|q)");
    EXPECT_EQ(match("g.7"), (std::vector<uint64_t>{7, pattern_seq}));
    EXPECT_EQ(match("h.7"), (std::vector<uint64_t>{next_seq_ - 1}));
}

}  // namespace

namespace {

std::vector<uint64_t> seqs_of(const topic_index::FlatVector<Subscription>& found) {
    std::vector<uint64_t> seqs;
    for (const Subscription& s : found) seqs.push_back(s.seq);
    return seqs;
}

}  // namespace

// Giving an expression back may run code that changes the trie (a finalizer
// removing subscriptions): the trie is never in the middle of an operation
// when the caller does it, and what the code queues is given back too.
TEST_F(TopicTrieTest, ReleaseHookMayChangeTheTrie) {
    const uint64_t pattern = add("rh.a./p/");
    evt_topic* pattern_record = records_.back();
    const uint64_t other = add("rh.a.b./q/");
    evt_topic* other_record = records_.back();
    int releases = 0;
    fake_.during_release = [&] {
        if (++releases == 1) {
            EXPECT_TRUE(trie_->erase(other_record, other, nullptr));
        }
    };
    EXPECT_TRUE(trie_->erase(pattern_record, pattern, nullptr));
    trie_->release_patterns();
    EXPECT_EQ(releases, 2);  // the second expression was queued by the hook and given back in the same call
    EXPECT_EQ(trie_->size(), 0u);
    EXPECT_EQ(trie_->node_count(), 1u);
    EXPECT_EQ(fake_.prepared, 0);
}

TEST_F(TopicTrieTest, PlainLiteralIsWalkedLikeItsParsedRecord) {
    struct Case {
        const char* literal;
        bool plain;
    };
    const Case cases[] = {{"a.b.c", true},  {"a..b.", true},  {"x/y.b", true}, {"a.b+", true}, {"", true},
                          {"a.+x", false},  {"a.{x}", false}, {"(a|b)", false}, {"/a/", false}, {"a./b/", false}};
    add("a.b.c");
    add("a.+x.c");
    add("a.b");
    add("+q.b");
    add("x/y.(b|c)");
    add("a./^b/");
    for (const Case& c : cases) {
        EXPECT_EQ(TopicTrie::is_plain_literal(c.literal, std::strlen(c.literal)), c.plain) << c.literal;
        if (!c.plain || *c.literal == '\0') continue;
        topic_index::FlatVector<Subscription> found;
        ASSERT_TRUE(trie_->match_plain(c.literal, std::strlen(c.literal), &found));
        EXPECT_EQ(seqs_of(found), match(c.literal)) << c.literal;
    }
}

TEST_F(TopicTrieTest, ManySubscriptionsOfOneRecordLeaveFromEitherEndInOrder) {
    evt_topic* shared = record("many.one");
    for (uint64_t seq = 0; seq < 64; ++seq) ASSERT_TRUE(trie_->insert(Subscription{seq, shared, nullptr, nullptr}, 0));
    const uint64_t removed_order[] = {0, 63, 1, 62, 30, 2, 31};
    for (uint64_t seq : removed_order) EXPECT_TRUE(trie_->erase(shared, seq, nullptr)) << seq;
    Subscription next{};
    ASSERT_TRUE(trie_->next_of(shared, 0, &next));
    EXPECT_EQ(next.seq, 3u);
    ASSERT_TRUE(trie_->next_of(shared, 30, &next));
    EXPECT_EQ(next.seq, 32u);
    EXPECT_FALSE(trie_->next_of(shared, 62, &next));
    // Appending after removals at the front reuses the room there.
    for (uint64_t seq = 64; seq < 80; ++seq) ASSERT_TRUE(trie_->insert(Subscription{seq, shared, nullptr, nullptr}, 0));
    std::vector<uint64_t> expected;
    for (uint64_t seq = 3; seq < 80; ++seq)
        if (seq != 30 && seq != 31 && seq != 62 && seq != 63) expected.push_back(seq);
    EXPECT_EQ(match("many.one"), expected);
}

TEST_F(TopicTrieTest, RangeWithoutOptionsIsAWholeNode) {
    add("x.(|)");
    add("x.(|)");  // another record: found through the generic children
    EXPECT_EQ(trie_->node_count(), 3u);
    EXPECT_EQ(match("x.(|)"), (std::vector<uint64_t>{}));  // records differ and hold no literal
}

TEST_F(TopicTrieTest, VisitPatternsSeesEveryPatternNodeOnce) {
    add("v./a/");
    add("v./a/.w");
    add("v.+x./b/");
    add("v.(c|d)./c/");
    add("/d/");
    std::vector<std::string> seen;
    trie_->visit_patterns(
        [](void* prepared, void* arg) {
            static_cast<std::vector<std::string>*>(arg)->push_back(*static_cast<std::string*>(prepared));
            return 0;
        },
        &seen);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c", "d"}));
}

// An expression that cannot be prepared is a failure, never a subscription
// or an answer that silently matches nothing.
TEST_F(TopicTrieTest, ExpressionsThatCannotBePreparedFailTheOperation) {
    const uint64_t exact = add("om.x");
    fake_.out_of_memory = true;
    const uint64_t nodes = trie_->node_count();
    EXPECT_FALSE(trie_->insert(Subscription{99, record("om./x/"), nullptr, nullptr}, 0));
    EXPECT_EQ(trie_->node_count(), nodes);
    EXPECT_EQ(trie_->size(), 1u);
    topic_index::FlatVector<Subscription> found;
    EXPECT_FALSE(trie_->match(record("om./x/"), &found));
    EXPECT_TRUE(found.empty());
    fake_.out_of_memory = false;
    EXPECT_EQ(match("om./x/"), (std::vector<uint64_t>{exact}));
}
