#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "quenda_loomi/capi/topic_core/chain_tail.h"
#include "quenda_loomi/capi/topic_core/evt_topic.h"
#include "tests/native/ap_alloc_fixtures.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace {

using namespace std::string_literals;

// Bytes currently handed out by the runtime heap (plain blocks come from it).
size_t heap_bytes_in_use() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

// One line per part: "E:text", "A:name", "P:source", "R:opt,opt".
std::vector<std::string> describe(const evt_topic* topic) {
    std::vector<std::string> lines;
    for (const evt_topic_part_variant* p = topic->parts; p != nullptr; p = p->next) {
        switch (p->ttype) {
            case TOPIC_PART_EXACT: lines.push_back("E:" + std::string(p->text, p->text_len)); break;
            case TOPIC_PART_ANY: lines.push_back("A:" + std::string(p->text, p->text_len)); break;
            case TOPIC_PART_PATTERN: lines.push_back("P:" + std::string(p->text, p->text_len)); break;
            case TOPIC_PART_RANGE: {
                std::string line = "R:";
                for (uint64_t i = 0; i < p->num_options; ++i) {
                    if (i) line += ',';
                    line += std::string(p->option_ptr[i], p->option_length[i]);
                }
                lines.push_back(line);
                break;
            }
            default: lines.push_back("?"); break;
        }
    }
    return lines;
}

uint64_t chain_length(const evt_topic* topic) {
    uint64_t n = 0;
    for (const evt_topic_part_variant* p = topic->parts; p != nullptr; p = p->next) ++n;
    return n;
}

bool any_generic(const std::vector<std::string>& parts) {
    for (const std::string& p : parts)
        if (p[0] != 'E') return true;
    return false;
}

std::string key_of(const evt_topic* topic) {
    return topic->key ? std::string(topic->key, topic->key_len) : "<none>";
}

// An unregistered topic of the plain heap.
evt_topic* empty_topic() {
    evt_topic* topic = evt_topic_new(nullptr, 0, nullptr);
    EXPECT_NE(topic, nullptr);
    return topic;
}

std::string render(const evt_topic* topic) {
    uint64_t len = 0;
    char* text = evt_topic_render_literal(topic, &len);
    if (text == nullptr) return "<null>";
    EXPECT_EQ(text[len], '\0');
    std::string out(text, len);
    c_ap_free(text);
    return out;
}

// ---- Parser ----------------------------------------------------------------

struct ParseCase {
    std::string literal;
    int result;
    std::vector<std::string> parts;  // after the parse, also after a failure
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << '"' << c.literal << '"'; }

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, AppendsThePartsTheLiteralDescribes) {
    const ParseCase& c = GetParam();
    evt_topic* topic = empty_topic();
    EXPECT_EQ(evt_topic_parse(topic, c.literal.data(), c.literal.size()), c.result);
    EXPECT_EQ(describe(topic), c.parts);
    EXPECT_EQ(topic->n_parts, c.parts.size());
    EXPECT_EQ(chain_length(topic), topic->n_parts);
    EXPECT_EQ(topic->is_exact, any_generic(c.parts) ? 0 : 1);
    EXPECT_EQ(topic->key, nullptr);  // the parser never registers
    evt_topic_free(topic);
}

INSTANTIATE_TEST_SUITE_P(
    Literals, ParseTest,
    ::testing::Values(
        ParseCase{"a.b.c", 0, {"E:a", "E:b", "E:c"}},
        ParseCase{"a.+id.c", 0, {"E:a", "A:id", "E:c"}},
        ParseCase{"a.{id}", 0, {"E:a", "A:id"}},
        ParseCase{"a.(x|y|z)", 0, {"E:a", "R:x,y,z"}},
        ParseCase{"a./v[0-9]+/.c", 0, {"E:a", "P:v[0-9]+", "E:c"}},
        ParseCase{"/^a.b$/", 0, {"P:^a.b$"}},
        ParseCase{"/a/b/", 0, {"P:a/b"}},
        ParseCase{"./x/", 0, {"P:x"}},
        ParseCase{"a..b", 0, {"E:a", "E:b"}},
        ParseCase{".a.", 0, {"E:a"}},
        ParseCase{".a..b.", 0, {"E:a", "E:b"}},
        ParseCase{".", 0, {}},
        ParseCase{"..", 0, {}},
        ParseCase{"{}", 0, {"E:{}"}},
        ParseCase{"+", 0, {"E:+"}},
        ParseCase{"()", 0, {"E:()"}},
        ParseCase{"+{x}", 0, {"A:{x}"}},
        ParseCase{"{x", 0, {"E:{x"}},
        ParseCase{"x}", 0, {"E:x}"}},
        ParseCase{"(x", 0, {"E:(x"}},
        ParseCase{"(a.b)", 0, {"E:(a", "E:b)"}},
        ParseCase{"(a||b)", 0, {"R:a,b"}},
        ParseCase{"(|)", 0, {"R:"}},
        ParseCase{"(a\0b)"s, 0, {"R:a,b"}},
        ParseCase{"a\0b.c"s, 0, {"E:a\0b"s, "E:c"}},
        ParseCase{"a/b", 0, {"E:a/b"}},
        ParseCase{"/a.b/", 0, {"P:a.b"}},
        ParseCase{"/a/.b", 0, {"P:a", "E:b"}},
        ParseCase{"/a/./b/", 0, {"P:a", "P:b"}},
        ParseCase{"/a/..b", 0, {"P:a", "E:b"}},
        ParseCase{"x./a/./b/.y", 0, {"E:x", "P:a", "P:b", "E:y"}},
        ParseCase{"/", -1, {}},
        ParseCase{"a./", -1, {"E:a"}},
        ParseCase{"/abc", -1, {}},
        ParseCase{"/a/x", -1, {}},
        ParseCase{"//", -1, {}},
        ParseCase{"a.//.b", -1, {"E:a"}},
        ParseCase{"a./x/./", -1, {"E:a", "P:x"}},
        ParseCase{"", -1, {}}));

TEST(Parse, MeasuresWhenLengthIsZeroAndAppendsAfterExistingParts) {
    evt_topic* topic = empty_topic();
    ASSERT_EQ(evt_topic_parse(topic, "a.b", 0), 0);
    ASSERT_EQ(evt_topic_parse(topic, "{c}", 0), 0);
    EXPECT_EQ(describe(topic), (std::vector<std::string>{"E:a", "E:b", "A:c"}));
    EXPECT_EQ(topic->n_parts, 3u);
    EXPECT_EQ(topic->is_exact, 0);
    evt_topic_free(topic);
}

// ---- Appending after a known tail ---------------------------------------------

TEST(AppendAfterTail, NullTailFindsTheEndAndEveryAppendMovesTheTail) {
    evt_topic* topic = empty_topic();
    ASSERT_EQ(evt_topic_parse(topic, "a.b", 0), 0);
    evt_topic_part_variant* tail = nullptr;
    ASSERT_EQ(topic_core::append_part_after(topic, &tail, "x", 0, TOPIC_PART_ANY), 0);
    EXPECT_EQ(tail, topic_core::last_part(topic));
    ASSERT_EQ(topic_core::append_part_after(topic, &tail, "p|q", 3, TOPIC_PART_RANGE), 0);
    EXPECT_EQ(tail, topic_core::last_part(topic));
    EXPECT_EQ(describe(topic), (std::vector<std::string>{"E:a", "E:b", "A:x", "R:p,q"}));
    EXPECT_EQ(topic->n_parts, 4u);
    EXPECT_EQ(topic->is_exact, 0);

    // A failed append leaves chain and tail as they were.
    evt_topic_part_variant* before = tail;
    EXPECT_EQ(topic_core::append_part_after(topic, &tail, "", 0, TOPIC_PART_EXACT), -1);
    EXPECT_EQ(topic_core::append_part_after(topic, &tail, "y", 1, 9), -1);
    EXPECT_EQ(topic_core::append_part_after(topic, nullptr, "y", 1, TOPIC_PART_EXACT), -1);
    EXPECT_EQ(tail, before);
    EXPECT_EQ(topic->n_parts, 4u);
    evt_topic_free(topic);
}

TEST(AppendAfterTail, KnownTailIsUsedInsteadOfWalkingFromTheHead) {
    evt_topic* topic = empty_topic();
    ASSERT_EQ(evt_topic_parse(topic, "a.b.c", 0), 0);
    evt_topic_part_variant* first = topic->parts;
    evt_topic_part_variant* second = first->next;
    evt_topic_part_variant* last = topic_core::last_part(topic);
    // Cut the chain after its first part: only a walk from the head sees that.
    first->next = nullptr;
    ASSERT_EQ(topic_core::append_part_after(topic, &last, "d", 1, TOPIC_PART_EXACT), 0);
    first->next = second;
    EXPECT_EQ(describe(topic), (std::vector<std::string>{"E:a", "E:b", "E:c", "E:d"}));

    // A tail that is not the last part any more still appends at the end.
    evt_topic_part_variant* stale = second;
    ASSERT_EQ(topic_core::append_part_after(topic, &stale, "e", 1, TOPIC_PART_EXACT), 0);
    EXPECT_EQ(describe(topic), (std::vector<std::string>{"E:a", "E:b", "E:c", "E:d", "E:e"}));
    EXPECT_EQ(topic->n_parts, 5u);
    EXPECT_EQ(topic_core::last_part(nullptr), nullptr);
    evt_topic_free(topic);
}

// ---- Rendering -------------------------------------------------------------

struct RenderCase {
    std::string literal;
    std::string rendered;
};

TEST(Render, CanonicalFormParsesBackToTheSameParts) {
    const RenderCase cases[] = {
        {"a.b.c", "a.b.c"},
        {"+x.(a|b)", "{x}.(a|b)"},
        {".a..b.", "a.b"},
        {"a./v[0-9]+/.c", "a./v[0-9]+/.c"},
        {"/a/./b/", "/a/./b/"},
        {"/a/.b", "/a/.b"},
        {"(a||b)", "(a||b)"},
        {"(|)", "(|)"},
        {"+{x}", "{{x}}"},
        {"(a\0b)"s, "(a|b)"},
    };
    for (const RenderCase& c : cases) {
        evt_topic* parsed = empty_topic();
        ASSERT_EQ(evt_topic_parse(parsed, c.literal.data(), c.literal.size()), 0) << c.literal;
        const std::string rendered = render(parsed);
        EXPECT_EQ(rendered, c.rendered) << c.literal;

        evt_topic* reparsed = empty_topic();
        ASSERT_EQ(evt_topic_parse(reparsed, rendered.data(), rendered.size()), 0) << rendered;
        EXPECT_EQ(describe(reparsed), describe(parsed)) << c.literal;
        evt_topic_free(reparsed);
        evt_topic_free(parsed);
    }
}

TEST(Render, UnknownKindRendersNothing) {
    evt_topic* topic = empty_topic();
    ASSERT_EQ(evt_topic_parse(topic, "a.b", 0), 0);
    topic->parts->next->ttype = 7;
    EXPECT_EQ(render(topic), "<null>");
    EXPECT_EQ(evt_topic_update_literal(topic), -1);
    topic->parts->next->ttype = TOPIC_PART_EXACT;
    evt_topic_free(topic);
}

// ---- Appending parts -------------------------------------------------------

TEST(AppendPart, RangeSplitsOnBarAndNulSkippingEmptyOptions) {
    struct Case {
        std::string text;
        std::vector<std::string> parts;
        uint64_t cap;
    };
    const Case cases[] = {
        {"a||b", {"R:a,b"}, 3},
        {"|", {"R:"}, 2},
        {"x|yy|zzz", {"R:x,yy,zzz"}, 3},
        {"a\0b|"s, {"R:a,b"}, 3},
        {"solo", {"R:solo"}, 1},
    };
    for (const Case& c : cases) {
        evt_topic* topic = empty_topic();
        ASSERT_EQ(evt_topic_append_part(topic, c.text.data(), c.text.size(), TOPIC_PART_RANGE), 0);
        const evt_topic_part_variant* range = topic->parts;
        EXPECT_EQ(describe(topic), c.parts) << c.text;
        EXPECT_EQ(c_ap_protocol_from_ptr(range->option_ptr)->size, c.cap * 16) << c.text;
        EXPECT_EQ(reinterpret_cast<const char*>(range->option_length),
                  reinterpret_cast<const char*>(range->option_ptr) + c.cap * sizeof(char*));
        EXPECT_EQ(range->literal_len, c.text.size());
        for (uint64_t i = 0; i < range->num_options; ++i) {  // options live inside `literal`
            EXPECT_GE(range->option_ptr[i], range->literal);
            EXPECT_EQ(range->option_ptr[i][range->option_length[i]], '\0');
        }

        // A stored literal (separators already NUL) reads back as the same options.
        ASSERT_EQ(evt_topic_append_part(topic, range->literal, range->literal_len, TOPIC_PART_RANGE), 0);
        EXPECT_EQ(describe(topic)[1], c.parts[0]) << c.text;
        evt_topic_free(topic);
    }
}

TEST(AppendPart, RejectsUnknownKindsAndEmptyText) {
    evt_topic* topic = empty_topic();
    ASSERT_EQ(evt_topic_append_part(topic, "a", 0, TOPIC_PART_EXACT), 0);
    struct Case {
        const char* name;
        evt_topic* topic;
        const char* text;
        int32_t kind;
    };
    const Case cases[] = {
        {"kind 4", topic, "x", 4},
        {"kind -1", topic, "x", -1},
        {"empty text", topic, "", TOPIC_PART_EXACT},
        {"null text", topic, nullptr, TOPIC_PART_EXACT},
        {"null topic", nullptr, "x", TOPIC_PART_EXACT},
    };
    for (const Case& c : cases) EXPECT_EQ(evt_topic_append_part(c.topic, c.text, 0, c.kind), -1) << c.name;
    EXPECT_EQ(evt_topic_append_part(topic, "x", UINT64_MAX, TOPIC_PART_EXACT), -1);  // no room for the NUL
    EXPECT_EQ(topic->n_parts, 1u);
    EXPECT_EQ(chain_length(topic), 1u);
    EXPECT_EQ(topic->is_exact, 1);
    evt_topic_free(topic);
}

TEST(AppendPart, IsExactDropsWithTheFirstGenericPartUntilCleared) {
    struct Step {
        int32_t kind;
        int32_t is_exact_after;
    };
    const std::vector<std::vector<Step>> sequences = {
        {{TOPIC_PART_EXACT, 1}, {TOPIC_PART_EXACT, 1}},
        {{TOPIC_PART_EXACT, 1}, {TOPIC_PART_ANY, 0}, {TOPIC_PART_EXACT, 0}},
        {{TOPIC_PART_RANGE, 0}},
        {{TOPIC_PART_PATTERN, 0}, {TOPIC_PART_EXACT, 0}},
    };
    for (const auto& steps : sequences) {
        evt_topic* topic = empty_topic();
        for (const Step& s : steps) {
            ASSERT_EQ(evt_topic_append_part(topic, "t", 1, s.kind), 0);
            EXPECT_EQ(topic->is_exact, s.is_exact_after) << "kind " << s.kind;
        }
        evt_topic_clear(topic);
        EXPECT_EQ(topic->is_exact, 1);
        EXPECT_EQ(topic->n_parts, 0u);
        EXPECT_EQ(topic->parts, nullptr);
        evt_topic_free(topic);
    }
}

// ---- Creation and the registry -----------------------------------------------

TEST(TopicNew, WithoutLiteralGivesEmptyUnregisteredTopic) {
    const char* const literals[] = {nullptr, ""};
    for (const char* literal : literals) {
        const uint64_t registered = TOPIC_INTERNAL_MAP ? TOPIC_INTERNAL_MAP->count : 0;
        evt_topic* topic = evt_topic_new(literal, 0, nullptr);
        ASSERT_NE(topic, nullptr);
        EXPECT_EQ(topic->n_parts, 0u);
        EXPECT_EQ(topic->parts, nullptr);
        EXPECT_EQ(topic->is_exact, 1);
        EXPECT_EQ(topic->key, nullptr);
        EXPECT_EQ(topic->hash, 0u);
        EXPECT_EQ(TOPIC_INTERNAL_MAP ? TOPIC_INTERNAL_MAP->count : 0, registered);
        evt_topic_free(topic);
    }
}

TEST(TopicNew, SameLiteralGivesSameRecordWithoutAllocating) {
    evt_topic* first = evt_topic_new("new.same.(a|b)", 0, nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(TOPIC_INTERNAL_MAP, nullptr);
    EXPECT_EQ(key_of(first), "new.same.(a|b)");
    EXPECT_EQ(first->key[first->key_len], '\0');
    uint64_t hash = 0;
    ASSERT_EQ(byte_map_hash(TOPIC_INTERNAL_MAP, "new.same.(a|b)", 0, &hash), 0);
    EXPECT_EQ(first->hash, hash);
    EXPECT_EQ(evt_topic_lookup("new.same.(a|b)", 0), first);

    allocator_protocol locked{};  // a different source that must go unused
    locked.with_lock = 1;
    const size_t before = heap_bytes_in_use();
    evt_topic* second = evt_topic_new("new.same.(a|b)", 14, &locked);
    const size_t after = heap_bytes_in_use();
    EXPECT_EQ(second, first);
    EXPECT_EQ(after, before);
    EXPECT_EQ(c_ap_protocol_from_ptr(second)->with_lock, 0);
    evt_topic_free(first);
}

TEST(TopicNew, BadLiteralGivesNullAndRegistersNothing) {
    for (const char* literal : {"bad./", "bad./abc", "bad.//"}) {
        EXPECT_EQ(evt_topic_new(literal, 0, nullptr), nullptr) << literal;
        EXPECT_EQ(evt_topic_lookup(literal, 0), nullptr) << literal;
    }
}

TEST(Internalize, LiteralPointingIntoOwnKeyIsReadBeforeTheKeyGoes) {
    evt_topic* topic = evt_topic_new("alias.self", 0, nullptr);
    ASSERT_NE(topic, nullptr);
    ASSERT_EQ(evt_topic_internalize(topic, topic->key, topic->key_len), 0);
    EXPECT_EQ(key_of(topic), "alias.self");
    EXPECT_EQ(evt_topic_lookup("alias.self", 0), topic);
    ASSERT_EQ(evt_topic_internalize(topic, topic->key, 5), 0);  // a prefix of it
    EXPECT_EQ(key_of(topic), "alias");
    EXPECT_EQ(evt_topic_lookup("alias.self", 0), nullptr);
    evt_topic_free(topic);
    EXPECT_EQ(evt_topic_lookup("alias", 0), nullptr);
}

TEST(UpdateLiteral, RekeysUnderTheCanonicalLiteral) {
    evt_topic* topic = evt_topic_new("+x.(a|b)", 0, nullptr);
    ASSERT_NE(topic, nullptr);
    ASSERT_EQ(evt_topic_lookup("+x.(a|b)", 0), topic);
    const uint64_t registered = TOPIC_INTERNAL_MAP->count;

    ASSERT_EQ(evt_topic_update_literal(topic), 0);
    EXPECT_EQ(key_of(topic), "{x}.(a|b)");
    EXPECT_EQ(evt_topic_lookup("{x}.(a|b)", 0), topic);
    EXPECT_EQ(evt_topic_lookup("+x.(a|b)", 0), nullptr);
    EXPECT_EQ(TOPIC_INTERNAL_MAP->count, registered);

    ASSERT_EQ(evt_topic_update_literal(topic), 0);  // already canonical: stays registered
    EXPECT_EQ(evt_topic_lookup("{x}.(a|b)", 0), topic);
    evt_topic_free(topic);
    EXPECT_EQ(evt_topic_lookup("{x}.(a|b)", 0), nullptr);
}

TEST(UpdateLiteral, TopicWithoutPartsEndsUnregistered) {
    evt_topic* topic = evt_topic_new("upd.gone", 0, nullptr);
    ASSERT_NE(topic, nullptr);
    evt_topic_part_variant* parts = topic->parts;
    topic->parts = nullptr;  // keep the record registered but empty
    const uint64_t n = topic->n_parts;
    topic->n_parts = 0;
    EXPECT_EQ(evt_topic_update_literal(topic), -1);
    EXPECT_EQ(topic->key, nullptr);
    EXPECT_EQ(topic->hash, 0u);
    EXPECT_EQ(evt_topic_lookup("upd.gone", 0), nullptr);
    topic->parts = parts;
    topic->n_parts = n;
    evt_topic_free(topic);
}

TEST(ClearAndFree, RemoveOnlyTheirOwnEntry) {
    evt_topic* a = evt_topic_new("own.a", 0, nullptr);
    evt_topic* b = evt_topic_new("own.b", 0, nullptr);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);

    evt_topic_clear(a);
    EXPECT_EQ(evt_topic_lookup("own.a", 0), nullptr);
    EXPECT_EQ(evt_topic_lookup("own.b", 0), b);
    EXPECT_EQ(a->key, nullptr);
    EXPECT_EQ(a->key_len, 0u);
    EXPECT_EQ(a->hash, 0u);
    EXPECT_EQ(a->n_parts, 0u);

    // A cleared header is reusable.
    ASSERT_EQ(evt_topic_parse(a, "own.a2", 0), 0);
    ASSERT_EQ(evt_topic_internalize(a, "own.a2", 0), 0);
    EXPECT_EQ(evt_topic_lookup("own.a2", 0), a);

    evt_topic_free(a);
    evt_topic_free(b);
    EXPECT_EQ(evt_topic_lookup("own.a2", 0), nullptr);
    EXPECT_EQ(evt_topic_lookup("own.b", 0), nullptr);
    evt_topic_clear(nullptr);
    evt_topic_free(nullptr);
}

// ---- Exhausted allocator ---------------------------------------------------

// Blocks a topic owns besides its header: text and record per part, plus the
// option block of a range.
size_t owned_blocks(const evt_topic* topic) {
    size_t blocks = 0;
    for (const evt_topic_part_variant* p = topic->parts; p != nullptr; p = p->next)
        blocks += p->ttype == TOPIC_PART_RANGE ? 3 : 2;
    return blocks;
}

// Every operation is run with the topic's heap squeezed to ever more room, so
// that each of its requests fails once.  A failure must give back what the
// operation took and leave the documented state; the sweep ends when it succeeds.
class Exhausted : public ::testing::Test {
protected:
    void SetUp() override {
        if (TOPIC_INTERNAL_MAP == nullptr) TOPIC_INTERNAL_MAP = byte_map_new(nullptr);  // not on the squeezed heap
        ASSERT_NE(TOPIC_INTERNAL_MAP, nullptr);
    }

    template <class Prepare, class Attempt>
    void sweep(Prepare&& prepare, Attempt&& attempt) {
        int failures = 0;
        for (uint64_t room = 0;; room += 8) {
            ASSERT_LT(room, 4096u) << "never succeeded";
            auto heap = ap_test::engine_heap();
            allocator_protocol protocol = ap_test::heap_protocol(heap->get(), false);
            evt_topic* topic = prepare(&protocol);
            ap_test::leave_only(heap->get(), room);
            const size_t live_before = ap_test::live_blocks(heap->get());
            SCOPED_TRACE(room);
            const bool done = attempt(topic, &protocol, heap->get(), live_before);
            if (topic != nullptr) evt_topic_free(topic);
            if (done) break;
            ++failures;
        }
        EXPECT_GT(failures, 2);
    }
};

TEST_F(Exhausted, NewGivesNullAndKeepsNothing) {
    const std::string literal = "exh.+x.(a|b|c)./p/";
    sweep([](const allocator_protocol* p) {
              EXPECT_NE(c_ap_request(0, p), nullptr);  // makes the page; no topic request reuses it
              return static_cast<evt_topic*>(nullptr);
          },
          [&](evt_topic*, const allocator_protocol* p, heap_allocator* heap, size_t live_before) {
              const uint64_t registered = TOPIC_INTERNAL_MAP->count;
              evt_topic* topic = evt_topic_new(literal.data(), literal.size(), p);
              if (topic == nullptr) {
                  EXPECT_EQ(ap_test::live_blocks(heap), live_before);
                  EXPECT_EQ(evt_topic_lookup(literal.data(), literal.size()), nullptr);
                  EXPECT_EQ(TOPIC_INTERNAL_MAP->count, registered);
                  return false;
              }
              EXPECT_EQ(describe(topic), (std::vector<std::string>{"E:exh", "A:x", "R:a,b,c", "P:p"}));
              EXPECT_EQ(ap_test::live_blocks(heap), live_before + 1 + owned_blocks(topic));
              EXPECT_EQ(evt_topic_lookup(literal.data(), literal.size()), topic);
              evt_topic_free(topic);
              EXPECT_EQ(ap_test::live_blocks(heap), live_before);
              return true;
          });
}

TEST_F(Exhausted, AppendReleasesItsCopiesAndLeavesTheTopicAlone) {
    for (int32_t kind : {TOPIC_PART_EXACT, TOPIC_PART_RANGE}) {
        SCOPED_TRACE(kind);
        sweep([](const allocator_protocol* p) {
                  evt_topic* topic = evt_topic_new(nullptr, 0, p);
                  EXPECT_EQ(evt_topic_append_part(topic, "first", 0, TOPIC_PART_EXACT), 0);
                  return topic;
              },
              [&](evt_topic* topic, const allocator_protocol*, heap_allocator* heap, size_t live_before) {
                  if (evt_topic_append_part(topic, "a|bb|ccc", 0, kind) != 0) {
                      EXPECT_EQ(describe(topic), (std::vector<std::string>{"E:first"}));
                      EXPECT_EQ(topic->n_parts, 1u);
                      EXPECT_EQ(topic->is_exact, 1);
                      EXPECT_EQ(ap_test::live_blocks(heap), live_before);
                      return false;
                  }
                  EXPECT_EQ(topic->n_parts, 2u);
                  EXPECT_EQ(ap_test::live_blocks(heap), live_before + (kind == TOPIC_PART_RANGE ? 3 : 2));
                  return true;
              });
    }
}

// A failed parse keeps the parts appended so far, complete and counted.
TEST_F(Exhausted, ParseKeepsTheWholePartsItAppended) {
    sweep([](const allocator_protocol* p) { return evt_topic_new(nullptr, 0, p); },
          [](evt_topic* topic, const allocator_protocol*, heap_allocator* heap, size_t live_before) {
              const int result = evt_topic_parse(topic, "a.{b}.(c|d)./e/", 0);
              EXPECT_EQ(topic->n_parts, chain_length(topic));
              EXPECT_EQ(ap_test::live_blocks(heap), live_before + owned_blocks(topic));
              EXPECT_EQ(topic->key, nullptr);
              if (result != 0) {
                  EXPECT_EQ(result, -1);
                  EXPECT_LT(topic->n_parts, 4u);
                  return false;
              }
              EXPECT_EQ(describe(topic), (std::vector<std::string>{"E:a", "A:b", "R:c,d", "P:e"}));
              return true;
          });
}

// Also when the literal points into the topic's own key and its copy fails,
// before the registry is touched: a failed registration always unregisters.
TEST_F(Exhausted, InternalizeUnderOwnKeyFailsUnregistered) {
    sweep([](const allocator_protocol* p) { return evt_topic_new("exh.self", 0, p); },
          [](evt_topic* topic, const allocator_protocol*, heap_allocator* heap, size_t live_before) {
              if (evt_topic_internalize(topic, topic->key, topic->key_len) != 0) {
                  EXPECT_EQ(topic->key, nullptr);
                  EXPECT_EQ(topic->hash, 0u);
                  EXPECT_EQ(evt_topic_lookup("exh.self", 0), nullptr);
                  EXPECT_EQ(ap_test::live_blocks(heap), live_before);
                  return false;
              }
              EXPECT_EQ(key_of(topic), "exh.self");
              EXPECT_EQ(evt_topic_lookup("exh.self", 0), topic);
              return true;
          });
}

// T holds "a.b"; T2 takes the literal over.  T must keep a readable key of its
// own, and freeing either must never release what the other still reads.
class Displaced : public ::testing::Test {
protected:
    void SetUp() override {
        original = evt_topic_new("disp.a.b", 0, nullptr);
        ASSERT_NE(original, nullptr);
        registry_key = original->key;
        successor = empty_topic();
        ASSERT_EQ(evt_topic_parse(successor, "disp.a.b", 0), 0);
        ASSERT_EQ(evt_topic_internalize(successor, "disp.a.b", 0), 0);
    }
    evt_topic* original = nullptr;
    evt_topic* successor = nullptr;
    const char* registry_key = nullptr;
};

TEST_F(Displaced, TakeoverRepointsEntryAndGivesOldTopicPrivateKey) {
    EXPECT_EQ(evt_topic_lookup("disp.a.b", 0), successor);
    EXPECT_EQ(successor->key, registry_key);  // the entry keeps its key copy
    EXPECT_TRUE(original->key_is_private);
    EXPECT_NE(original->key, registry_key);
    EXPECT_EQ(key_of(original), "disp.a.b");
    EXPECT_EQ(original->hash, successor->hash);
    evt_topic_free(original);
    EXPECT_EQ(evt_topic_lookup("disp.a.b", 0), successor);  // not its entry to remove
    evt_topic_free(successor);
}

TEST_F(Displaced, FreeingSuccessorLeavesOldTopicsKeyIntact) {
    evt_topic_free(successor);
    EXPECT_EQ(evt_topic_lookup("disp.a.b", 0), nullptr);
    EXPECT_EQ(key_of(original), "disp.a.b");
    EXPECT_EQ(original->key[original->key_len], '\0');
    evt_topic_free(original);
}

TEST_F(Displaced, OriginalCanTakeItsLiteralBack) {
    ASSERT_EQ(evt_topic_internalize(original, "disp.a.b", 0), 0);
    EXPECT_EQ(evt_topic_lookup("disp.a.b", 0), original);
    EXPECT_FALSE(original->key_is_private);
    EXPECT_TRUE(successor->key_is_private);
    EXPECT_EQ(key_of(successor), "disp.a.b");
    evt_topic_free(original);
    EXPECT_EQ(key_of(successor), "disp.a.b");
    evt_topic_free(successor);
}

// The registration test without a lookup must agree with a lookup through
// every way an entry changes hands.
bool named_by_registry(const evt_topic* topic) {
    return topic->key != nullptr && evt_topic_lookup(topic->key, topic->key_len) == topic;
}

TEST_F(Displaced, RegistrationWithoutLookupAgreesWithTheRegistry) {
    evt_topic* unkeyed = empty_topic();
    evt_topic* twin = empty_topic();
    ASSERT_EQ(evt_topic_parse(twin, "disp.a.b", 0), 0);
    ASSERT_EQ(evt_topic_key_privately(twin, "disp.a.b", 8), 0);
    const auto agree = [&] {
        for (const evt_topic* topic : {original, successor, unkeyed, twin})
            if ((evt_topic_is_registered(topic) != 0) != named_by_registry(topic)) return false;
        return true;
    };
    EXPECT_TRUE(agree());  // successor registered; original displaced; twin private; unkeyed none
    EXPECT_EQ(evt_topic_is_registered(successor), 1);
    ASSERT_EQ(evt_topic_internalize(original, "disp.a.b", 0), 0);  // taken back
    EXPECT_TRUE(agree());
    EXPECT_EQ(evt_topic_is_registered(original), 1);
    ASSERT_EQ(evt_topic_update_literal(original), 0);  // re-keyed under the same literal
    EXPECT_TRUE(agree());
    evt_topic_clear(original);  // drops its entry
    EXPECT_TRUE(agree());
    EXPECT_EQ(evt_topic_is_registered(original), 0);
    EXPECT_EQ(evt_topic_is_registered(nullptr), 0);
    for (evt_topic* topic : {original, successor, unkeyed, twin}) evt_topic_free(topic);
}

}  // namespace

// ---- Reading back a canonical literal ------------------------------------------

struct ReadBackCase {
    int32_t kind;
    std::string text;
    bool reads_back;
};

void PrintTo(const ReadBackCase& c, std::ostream* os) { *os << c.kind << ":\"" << c.text << '"'; }

class ReadBackTest : public ::testing::TestWithParam<ReadBackCase> {};

// The answer agrees with the parser itself: render, parse again, compare.
TEST_P(ReadBackTest, AgreesWithParsingTheRenderedLiteral) {
    const ReadBackCase& c = GetParam();
    for (bool first : {true, false}) {
        evt_topic* built = empty_topic();
        if (!first) {
            ASSERT_EQ(evt_topic_append_part(built, "k", 1, TOPIC_PART_EXACT), 0);
        }
        ASSERT_EQ(evt_topic_append_part(built, c.text.data(), c.text.size(), c.kind), 0);
        ASSERT_EQ(evt_topic_append_part(built, "end", 3, TOPIC_PART_EXACT), 0);
        const std::string literal = render(built);
        evt_topic* parsed = empty_topic();
        const bool same = evt_topic_parse(parsed, literal.data(), literal.size()) == 0 &&
                          describe(parsed) == describe(built);
        EXPECT_EQ(same, c.reads_back) << literal;
        EXPECT_EQ(evt_topic_reads_back(built), same ? 1 : 0) << literal;
        evt_topic_free(parsed);
        evt_topic_free(built);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Parts, ReadBackTest,
    ::testing::Values(ReadBackCase{TOPIC_PART_EXACT, "a", true}, ReadBackCase{TOPIC_PART_EXACT, "a.b", false},
                      ReadBackCase{TOPIC_PART_EXACT, "+x", false}, ReadBackCase{TOPIC_PART_EXACT, "+", true},
                      ReadBackCase{TOPIC_PART_EXACT, "{x}", false}, ReadBackCase{TOPIC_PART_EXACT, "{}", true},
                      ReadBackCase{TOPIC_PART_EXACT, "(a|b)", false}, ReadBackCase{TOPIC_PART_EXACT, "()", true},
                      ReadBackCase{TOPIC_PART_EXACT, "/p/", false}, ReadBackCase{TOPIC_PART_EXACT, "a/", true},
                      ReadBackCase{TOPIC_PART_ANY, "x", true}, ReadBackCase{TOPIC_PART_ANY, "x.y", false},
                      ReadBackCase{TOPIC_PART_ANY, "}", true}, ReadBackCase{TOPIC_PART_PATTERN, "x[0-9]+", true},
                      ReadBackCase{TOPIC_PART_PATTERN, "a.b", true}, ReadBackCase{TOPIC_PART_PATTERN, "a/", true},
                      ReadBackCase{TOPIC_PART_PATTERN, "a/.b", false}, ReadBackCase{TOPIC_PART_RANGE, "a|b", true},
                      ReadBackCase{TOPIC_PART_RANGE, "a||b", true}, ReadBackCase{TOPIC_PART_RANGE, "a.b|c", false}));

TEST(ReadBack, RangeWithAnEmptyOptionDoesNot) {
    // As built from Python: options laid out one after another, one empty.
    evt_topic* built = empty_topic();
    ASSERT_EQ(evt_topic_append_part(built, "a|c", 3, TOPIC_PART_RANGE), 0);
    EXPECT_EQ(evt_topic_reads_back(built), 1);
    built->parts->num_options = 3;  // "a", "", "c" would render the same literal
    EXPECT_EQ(evt_topic_reads_back(built), 0);
    built->parts->num_options = 2;
    evt_topic_free(built);
}

TEST(PrivateKey, KeysWithoutRegisteringAndHashesLikeTheRegistry) {
    evt_topic* registered = evt_topic_new("pk.a.b", 0, nullptr);
    ASSERT_NE(registered, nullptr);
    evt_topic* twin = empty_topic();
    ASSERT_EQ(evt_topic_append_part(twin, "pk", 2, TOPIC_PART_EXACT), 0);
    ASSERT_EQ(evt_topic_append_part(twin, "a.b", 3, TOPIC_PART_EXACT), 0);
    ASSERT_EQ(evt_topic_key_privately(twin, "pk.a.b", 6), 0);
    EXPECT_EQ(key_of(twin), "pk.a.b");
    EXPECT_EQ(twin->key_is_private, 1);
    EXPECT_EQ(twin->hash, registered->hash);
    EXPECT_EQ(evt_topic_lookup("pk.a.b", 6), registered);
    evt_topic_free(twin);  // releases only its own copy
    EXPECT_EQ(evt_topic_lookup("pk.a.b", 6), registered);
    evt_topic_free(registered);
}
