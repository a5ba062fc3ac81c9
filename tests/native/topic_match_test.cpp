#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quenda_loomi/capi/topic_core/evt_topic.h"
#include "tests/native/ap_alloc_fixtures.h"

namespace {

// Stands in for the regular-expression search: the pattern matches when it
// occurs as a substring of the segment.
struct FakeSearch {
    int calls = 0;
    std::string last_pattern;
    std::string last_segment;
};

int substring_search(const char* pattern, const char* segment, uint64_t segment_len, void* context) {
    auto* fake = static_cast<FakeSearch*>(context);
    ++fake->calls;
    fake->last_pattern = pattern;
    fake->last_segment.assign(segment, segment_len);
    return std::string_view(segment, segment_len).find(pattern) != std::string_view::npos;
}

std::optional<std::string> describe(const evt_topic_part_variant* p) {
    if (p == nullptr) return std::nullopt;
    static const char kinds[] = "EARP";
    std::string line = std::string(1, kinds[p->ttype]) + ":";
    if (p->ttype == TOPIC_PART_RANGE) {
        for (uint64_t i = 0; i < p->num_options; ++i)
            line += (i ? "," : "") + std::string(p->option_ptr[i], p->option_length[i]);
    } else if (p->text != nullptr) {
        line.append(p->text, p->text_len);
    }
    return line;
}

struct Node {
    int success;
    std::optional<std::string> part_a;
    std::optional<std::string> part_b;
    std::optional<std::string> literal;
    bool operator==(const Node&) const = default;
};

void PrintTo(const Node& n, std::ostream* os) {
    auto show = [](const std::optional<std::string>& s) { return s ? *s : std::string("None"); };
    *os << "{" << n.success << ", " << show(n.part_a) << ", " << show(n.part_b) << ", "
        << show(n.literal) << "}";
}

std::vector<Node> read_chain(const evt_topic_match* head) {
    std::vector<Node> nodes;
    for (const evt_topic_match* n = head; n != nullptr; n = n->next) {
        std::optional<std::string> literal;
        if (n->literal != nullptr) literal.emplace(n->literal, n->literal_len);
        else EXPECT_EQ(n->literal_len, 0u);
        nodes.push_back({n->success, describe(n->part_a), describe(n->part_b), literal});
    }
    return nodes;
}

std::vector<Node> match(const evt_topic* a, const evt_topic* b, FakeSearch* fake = nullptr) {
    FakeSearch local;
    evt_topic_match* head = evt_topic_match_build(a, b, substring_search, fake ? fake : &local);
    std::vector<Node> nodes = read_chain(head);
    c_ap_free_chain(head);
    return nodes;
}

// Unregistered, so that equal literals do not share a record.
evt_topic* parsed(const char* literal) {
    evt_topic* topic = evt_topic_new(nullptr, 0, nullptr);
    EXPECT_NE(topic, nullptr);
    EXPECT_EQ(evt_topic_parse(topic, literal, 0), 0) << literal;
    return topic;
}

const std::nullopt_t None = std::nullopt;

struct MatchCase {
    const char* a;
    const char* b;
    std::vector<Node> nodes;
};

void PrintTo(const MatchCase& c, std::ostream* os) { *os << c.a << " vs " << c.b; }

class MatchWalk : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatchWalk, BuildsOneNodePerPositionUpToTheFirstFailure) {
    const MatchCase& c = GetParam();
    evt_topic* a = parsed(c.a);
    evt_topic* b = parsed(c.b);
    EXPECT_EQ(match(a, b), c.nodes);
    evt_topic_free(a);
    evt_topic_free(b);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, MatchWalk,
    ::testing::Values(
        MatchCase{"a.b.c", "a.{x}.c", {{1, "E:a", "E:a", "a"}, {1, "E:b", "A:x", "b"}, {1, "E:c", "E:c", "c"}}},
        MatchCase{"a.{x}.c", "a.b.c", {{1, "E:a", "E:a", "a"}, {1, "A:x", "E:b", "b"}, {1, "E:c", "E:c", "c"}}},
        MatchCase{"a.b", "a.b", {{1, "E:a", "E:a", "a"}, {1, "E:b", "E:b", "b"}}},
        MatchCase{"a.{x}", "a.{y}", {{1, "E:a", "E:a", "a"}, {0, "A:x", "A:y", None}}},
        MatchCase{"a.{x}", "a.{x}", {{1, "E:a", "E:a", "a"}, {0, "A:x", "A:x", None}}},
        MatchCase{"a.b.c", "a.b", {{1, "E:a", "E:a", "a"}, {1, "E:b", "E:b", "b"}, {0, "E:c", None, None}}},
        MatchCase{"a", "a.b", {{1, "E:a", "E:a", "a"}, {0, None, "E:b", None}}},
        MatchCase{"z.b", "a.{x}", {{0, "E:z", "E:a", None}}},
        MatchCase{"ab", "a", {{0, "E:ab", "E:a", None}}},
        MatchCase{"m.c", "m.(b|c)", {{1, "E:m", "E:m", "m"}, {1, "E:c", "R:b,c", "c"}}},
        MatchCase{"m.(b|c)", "m.b", {{1, "E:m", "E:m", "m"}, {1, "R:b,c", "E:b", "b"}}},
        MatchCase{"m.cc", "m.(b|c)", {{1, "E:m", "E:m", "m"}, {0, "E:cc", "R:b,c", None}}},
        MatchCase{"m.x", "m.(|)", {{1, "E:m", "E:m", "m"}, {0, "E:x", "R:", None}}},
        MatchCase{"p.v12.q", "p./v1/.q", {{1, "E:p", "E:p", "p"}, {1, "E:v12", "P:v1", None}, {1, "E:q", "E:q", "q"}}},
        MatchCase{"p./v1/", "p.zz", {{1, "E:p", "E:p", "p"}, {0, "P:v1", "E:zz", None}}},
        MatchCase{"(a|b)", "/a/", {{0, "R:a,b", "P:a", None}}},
        MatchCase{"{x}", "a.b", {{1, "A:x", "E:a", "a"}, {0, None, "E:b", None}}}));

// Exact texts and range options are compared with word loads from both
// ends for short texts: a difference at any position of any length has to
// be seen, and equal texts have to match.
TEST(MatchSegments, EveryDifferingByteIsSeenAtEveryLength) {
    for (size_t length = 1; length <= 20; ++length) {
        const std::string segment = std::string("abcdefghijklmnopqrstu").substr(0, length);
        evt_topic* same = parsed(("s." + segment).c_str());
        for (const std::string& pattern : {"s." + segment, "s.(zz|" + segment + ")"}) {
            evt_topic* generic = parsed(pattern.c_str());
            EXPECT_EQ(match(same, generic).back().success, 1) << pattern;
            evt_topic_free(generic);
        }
        for (size_t at = 0; at < length; ++at) {
            std::string differing = segment;
            differing[at] = 'Z';
            evt_topic* other = parsed(("s." + differing).c_str());
            EXPECT_EQ(match(same, other).back().success, 0) << differing;
            evt_topic* range = parsed(("s.(zz|" + differing + ")").c_str());
            EXPECT_EQ(match(same, range).back().success, 0) << differing;
            evt_topic_free(other);
            evt_topic_free(range);
        }
        evt_topic_free(same);
    }
}

TEST(MatchIdentity, SameRecordGivesOneNodeWithTheWholeKey) {
    evt_topic* topic = evt_topic_new("id.{x}.(a|b)", 0, nullptr);
    ASSERT_NE(topic, nullptr);
    EXPECT_EQ(evt_topic_new("id.{x}.(a|b)", 0, nullptr), topic);
    EXPECT_EQ(match(topic, topic), (std::vector<Node>{{1, "E:id", "E:id", "id.{x}.(a|b)"}}));
    evt_topic_free(topic);
}

TEST(MatchIdentity, EqualKeysOfDifferentRecordsShortcut) {
    // The first record is displaced from its entry and keeps a private copy
    // of the same literal.
    evt_topic* first = evt_topic_new("eq.{x}", 0, nullptr);
    evt_topic* second = parsed("eq.{x}");
    ASSERT_EQ(evt_topic_internalize(second, "eq.{x}", 0), 0);
    ASSERT_NE(first->key, second->key);
    FakeSearch fake;
    EXPECT_EQ(match(first, second, &fake), (std::vector<Node>{{1, "E:eq", "E:eq", "eq.{x}"}}));
    evt_topic_free(second);
    evt_topic_free(first);
}

TEST(MatchIdentity, EmptyTopics) {
    evt_topic* empty = parsed(".");
    evt_topic* other = parsed("..");
    EXPECT_EQ(match(empty, empty), (std::vector<Node>{{1, None, None, None}}));
    EXPECT_EQ(evt_topic_match_build(empty, other, substring_search, nullptr), nullptr);
    EXPECT_EQ(evt_topic_match_build(empty, nullptr, substring_search, nullptr), nullptr);
    EXPECT_EQ(evt_topic_match_build(nullptr, empty, substring_search, nullptr), nullptr);
    evt_topic_free(empty);
    evt_topic_free(other);
}

TEST(MatchNodes, ComeFromTheFirstTopicsSourceAndBorrowItsTexts) {
    allocator_protocol locked{};
    locked.with_lock = 1;  // plain heap, but the flag is recorded in every block header
    evt_topic* a = evt_topic_new(nullptr, 0, &locked);
    ASSERT_EQ(evt_topic_parse(a, "n.b", 0), 0);
    evt_topic* b = parsed("n.{x}");

    evt_topic_match* head = evt_topic_match_build(a, b, substring_search, nullptr);
    ASSERT_NE(head, nullptr);
    ASSERT_NE(head->next, nullptr);
    for (evt_topic_match* n = head; n != nullptr; n = n->next) {
        EXPECT_EQ(c_ap_protocol_from_ptr(n)->with_lock, 1);
        EXPECT_EQ(c_ap_protocol_from_ptr(n)->size, sizeof(evt_topic_match));
    }
    EXPECT_EQ(head->part_a, a->parts);
    EXPECT_EQ(head->part_b, b->parts);
    EXPECT_EQ(head->next->literal, a->parts->next->text);  // borrowed, not copied
    c_ap_free_chain(head);

    head = evt_topic_match_build(b, a, substring_search, nullptr);
    EXPECT_EQ(c_ap_protocol_from_ptr(head)->with_lock, 0);
    c_ap_free_chain(head);
    evt_topic_free(a);
    evt_topic_free(b);
}

// Nodes come from the first topic's heap; squeezed so that the k-th node
// cannot be had, the walk gives null and every node obtained before is
// released, for every k.
TEST(MatchNodes, ExhaustedSourceGivesNoChainAndKeepsNoNode) {
    evt_topic* b = parsed("n.{x}.(c|d).e");
    // Pool bookkeeping + header + node, rounded to 8.
    const uint64_t node_footprint = AP_POOL_BLOCK_SIZE + ((AP_HEADER_SIZE + sizeof(evt_topic_match) + 7) & ~7ull);
    int failures = 0;
    for (uint64_t nodes = 0;; ++nodes) {
        ASSERT_LT(nodes, 5u);
        SCOPED_TRACE(nodes);
        const uint64_t room = nodes * node_footprint;
        auto heap = ap_test::engine_heap();
        allocator_protocol protocol = ap_test::heap_protocol(heap->get(), false);
        evt_topic* a = evt_topic_new(nullptr, 0, &protocol);
        ASSERT_EQ(evt_topic_parse(a, "n.b.c.e", 0), 0);
        ap_test::leave_only(heap->get(), room);
        const size_t live_before = ap_test::live_blocks(heap->get());

        evt_topic_match* head = evt_topic_match_build(a, b, substring_search, nullptr);
        if (head == nullptr) {
            EXPECT_EQ(ap_test::live_blocks(heap->get()), live_before);
            ++failures;
        } else {
            EXPECT_EQ(read_chain(head).size(), 4u);
            EXPECT_EQ(ap_test::live_blocks(heap->get()), live_before + 4);
            c_ap_free_chain(head);
        }
        EXPECT_EQ(ap_test::live_blocks(heap->get()), live_before);
        evt_topic_free(a);
        if (head != nullptr) break;
    }
    EXPECT_EQ(failures, 4);  // no room, then room for one, two and three nodes
    evt_topic_free(b);
}

TEST(MatchPattern, CallbackSeesPatternTextAndSegment) {
    evt_topic* concrete = parsed("log.error42");
    evt_topic* generic = parsed("log./err/");
    FakeSearch fake;
    EXPECT_EQ(match(concrete, generic, &fake).back(), (Node{1, "E:error42", "P:err", None}));
    EXPECT_EQ(fake.calls, 1);
    EXPECT_EQ(fake.last_pattern, "err");
    EXPECT_EQ(fake.last_segment, "error42");
    evt_topic_free(concrete);
    evt_topic_free(generic);
}

TEST(MatchPattern, MissingTextOrCallbackFailsWithoutCalling) {
    evt_topic* concrete = parsed("error");
    evt_topic* generic = parsed("/err/");
    FakeSearch fake;

    char* const segment = concrete->parts->text;
    concrete->parts->text = nullptr;
    EXPECT_EQ(match(concrete, generic, &fake), (std::vector<Node>{{0, "E:", "P:err", None}}));
    concrete->parts->text = segment;

    char* const pattern = generic->parts->text;
    generic->parts->text = nullptr;
    EXPECT_EQ(match(concrete, generic, &fake), (std::vector<Node>{{0, "E:error", "P:", None}}));
    generic->parts->text = pattern;
    EXPECT_EQ(fake.calls, 0);

    evt_topic_match* head = evt_topic_match_build(concrete, generic, nullptr, nullptr);
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->success, 0);
    c_ap_free_chain(head);
    evt_topic_free(concrete);
    evt_topic_free(generic);
}

}  // namespace
