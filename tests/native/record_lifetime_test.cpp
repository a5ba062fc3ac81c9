#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "quenda_loomi/capi/tessaly/record_lifetime.h"

namespace {

using namespace tessaly;

// A parsed, unregistered record of the plain heap, wrapped once.
evt_topic* wrapped(const char* literal) {
    evt_topic* record = evt_topic_new(nullptr, 0, nullptr);
    EXPECT_NE(record, nullptr);
    EXPECT_EQ(evt_topic_parse(record, literal, 0), 0);
    EXPECT_TRUE(record_acquire(record));
    return record;
}

TEST(Generation, MovesOnlyWithTheRecordsOwnChanges) {
    evt_topic* a = wrapped("g.a");
    evt_topic* b = wrapped("g.b");
    const uint64_t a0 = record_generation(a);
    const uint64_t b0 = record_generation(b);
    EXPECT_NE(a0, 0u);
    EXPECT_NE(b0, 0u);

    const uint64_t stamp = current_stamp();
    ASSERT_EQ(evt_topic_append_part(a, "c", 1, TOPIC_PART_EXACT), 0);
    record_parts_appended(a);
    EXPECT_GT(record_generation(a), stamp);
    EXPECT_EQ(record_generation(b), b0);
    EXPECT_FALSE(parts_released_since(a, stamp));  // appending keeps older parts
    EXPECT_TRUE(record_still_holds(a, a->parts, stamp));

    ASSERT_TRUE(record_clear(a));
    EXPECT_TRUE(parts_released_since(a, stamp));
    EXPECT_FALSE(parts_released_since(b, stamp));
    EXPECT_EQ(record_generation(b), b0);

    record_release(a, true);
    record_release(b, true);
    EXPECT_EQ(record_generation(a), 0u);
    EXPECT_EQ(record_generation(b), 0u);
}

TEST(Pin, ParksPartsReleasedWhilePinned) {
    evt_topic* record = wrapped("pin.segment_text");
    const evt_topic_part_variant* second = record->parts->next;
    const char* text = second->text;
    {
        RecordPin pin(record);
        ASSERT_TRUE(pin.pinned());
        RecordPin moved(std::move(pin));
        EXPECT_FALSE(pin.pinned());
        ASSERT_TRUE(record_clear(record));
        EXPECT_EQ(record->parts, nullptr);
        ASSERT_EQ(evt_topic_parse(record, "other.parts.now", 0), 0);
        // The walk that pinned the record still reads what it saw.
        EXPECT_EQ(std::string(text, second->text_len), "segment_text");
        EXPECT_EQ(second->next, nullptr);
    }
    EXPECT_EQ(record->n_parts, 3u);
    record_release(record, true);
}

TEST(Pin, DefersFreeingToTheLastUnpin) {
    const uint64_t before = tracked_record_count();
    evt_topic* record = wrapped("defer.me");
    auto outer = std::make_unique<RecordPin>(record);
    {
        RecordPin inner(record);
        record_release(record, true);  // last wrapper of an owned record
        EXPECT_EQ(std::string(record->parts->text, record->parts->text_len), "defer");
    }
    EXPECT_NE(record_generation(record), 0u);  // the outer pin still holds it
    outer.reset();
    EXPECT_EQ(tracked_record_count(), before);
}

TEST(Pins, HoldEveryRecordTheyPinnedUntilReset) {
    const uint64_t before = tracked_record_count();
    evt_topic* first = wrapped("pins.one");
    evt_topic* second = wrapped("pins.two");
    evt_topic* untracked = evt_topic_new(nullptr, 0, nullptr);
    {
        RecordPins pins;
        ASSERT_TRUE(pins.pin(first));
        ASSERT_TRUE(pins.pin(second));
        ASSERT_TRUE(pins.pin(first));  // twice: held twice
        EXPECT_TRUE(pins.pin(untracked));  // nothing can free it behind our back: nothing to hold
        record_release(first, true);
        record_release(second, true);
        // Both freed by their owners, both still readable.
        EXPECT_EQ(std::string(first->parts->text, first->parts->text_len), "pins");
        EXPECT_NE(record_generation(second), 0u);
        EXPECT_EQ(tracked_record_count(), before + 2);
    }
    EXPECT_EQ(tracked_record_count(), before);
    evt_topic_free(untracked);
}

TEST(BorrowedSection, NestsAndNamesTheInnermostSite) {
    EXPECT_EQ(open_borrow(), nullptr);
    {
        BorrowedSection outer("outer");
        EXPECT_STREQ(open_borrow(), "outer");
        {
            BorrowedSection inner("inner");
            EXPECT_STREQ(open_borrow(), "inner");
        }
        EXPECT_STREQ(open_borrow(), "outer");
    }
    EXPECT_EQ(open_borrow(), nullptr);
}

TEST(Pin, ARecordDisplacedWhilePinnedGoesAtTheLastUnpin) {
    const uint64_t before = tracked_record_count();
    evt_topic* shared = evt_topic_new("displaced.lit", 0, nullptr);  // registered, not owned
    ASSERT_TRUE(record_acquire(shared));
    {
        RecordPin pin(shared);
        record_release(shared, false);  // still registered: kept
        evt_topic* taker = evt_topic_new(nullptr, 0, nullptr);
        ASSERT_EQ(evt_topic_parse(taker, "displaced.lit", 0), 0);
        ASSERT_TRUE(record_acquire(taker));
        ASSERT_EQ(register_record(taker, nullptr, 0), 0);
        EXPECT_EQ(evt_topic_lookup("displaced.lit", 0), taker);
        EXPECT_EQ(std::string(shared->parts->text, shared->parts->text_len), "displaced");
        record_release(taker, true);
    }
    // Out of the registry and without wrappers: freed by the unpin (a leak
    // here fails the sanitizer run).
    EXPECT_EQ(tracked_record_count(), before);
    EXPECT_EQ(evt_topic_lookup("displaced.lit", 0), nullptr);
}

TEST(Pin, AnUntrackedRecordPinsNothing) {
    evt_topic* record = evt_topic_new(nullptr, 0, nullptr);
    RecordPin pin(record);
    EXPECT_FALSE(pin.pinned());
    RecordPin none(nullptr);
    EXPECT_FALSE(none.pinned());
    evt_topic_free(record);
}

TEST(Watch, CountsChangesOfWatchedRecordsOnly) {
    evt_topic* watched = wrapped("w.a");
    evt_topic* other = wrapped("w.b");
    record_watch(watched);
    record_watch(watched);
    uint64_t seen = watched_change_count();

    record_parts_appended(other);
    EXPECT_EQ(watched_change_count(), seen);
    ASSERT_TRUE(record_clear(watched));
    EXPECT_GT(watched_change_count(), seen);

    seen = watched_change_count();
    record_unwatch(watched);
    record_parts_appended(watched);  // still watched once
    EXPECT_GT(watched_change_count(), seen);

    seen = watched_change_count();
    record_unwatch(watched);
    record_parts_appended(watched);
    EXPECT_EQ(watched_change_count(), seen);

    record_watch(other);
    seen = watched_change_count();
    record_release(other, true);  // freeing is a change too
    EXPECT_GT(watched_change_count(), seen);
    record_unwatch(other);
    record_release(watched, true);
}

TEST(Table, KeepsEveryRecordThroughGrowthAndRemovalInAnyOrder) {
    const uint64_t before = tracked_record_count();
    std::vector<evt_topic*> records;
    for (int i = 0; i < 3000; ++i) records.push_back(wrapped(("t." + std::to_string(i)).c_str()));
    for (evt_topic* record : records) record_acquire(record);  // a second wrapper each
    EXPECT_EQ(tracked_record_count(), before + records.size());

    std::mt19937 shuffle(7);
    std::shuffle(records.begin(), records.end(), shuffle);
    std::vector<uint64_t> generations;
    for (evt_topic* record : records) generations.push_back(record_generation(record));
    for (size_t i = 0; i < records.size(); ++i) {
        record_release(records[i], true);
        record_release(records[i], true);
        if (i % 97 != 0) continue;
        // The records left are all still found with their own generation.
        for (size_t j = i + 1; j < records.size(); ++j)
            ASSERT_EQ(record_generation(records[j]), generations[j]) << i << ' ' << j;
    }
    EXPECT_EQ(tracked_record_count(), before);
}

// ---- Long chains ---------------------------------------------------------------

std::vector<std::string> texts_of(const evt_topic* record) {
    std::vector<std::string> texts;
    for (const evt_topic_part_variant* p = record->parts; p != nullptr; p = p->next)
        texts.emplace_back(p->text, p->text_len);
    return texts;
}

// A remembered tail must not outlive a change made by someone else: cleared
// (the tail is released; under ASan a stale one is a use after free),
// re-parsed, or appended to through another path.
TEST(RecordAppender, FindsTheEndAgainAfterAnyOtherChange) {
    evt_topic* record = wrapped("ap.a");
    RecordAppender appender(record);
    ASSERT_EQ(appender.append("b", 1, TOPIC_PART_EXACT), 0);
    const uint64_t after_append = record_generation(record);
    ASSERT_EQ(appender.append("c", 1, TOPIC_PART_EXACT), 0);
    EXPECT_GT(record_generation(record), after_append);  // holders see appends
    EXPECT_EQ(texts_of(record), (std::vector<std::string>{"ap", "a", "b", "c"}));

    ASSERT_EQ(evt_topic_append_part(record, "other", 0, TOPIC_PART_EXACT), 0);
    record_parts_appended(record);
    ASSERT_EQ(appender.append("d", 1, TOPIC_PART_EXACT), 0);
    EXPECT_EQ(texts_of(record), (std::vector<std::string>{"ap", "a", "b", "c", "other", "d"}));

    ASSERT_TRUE(record_clear(record));
    ASSERT_EQ(appender.append("e", 1, TOPIC_PART_EXACT), 0);
    EXPECT_EQ(texts_of(record), (std::vector<std::string>{"e"}));
    ASSERT_TRUE(record_clear(record));
    ASSERT_EQ(evt_topic_parse(record, "n.m", 0), 0);
    record_parts_appended(record);
    ASSERT_EQ(appender.append("f", 1, TOPIC_PART_EXACT), 0);
    EXPECT_EQ(texts_of(record), (std::vector<std::string>{"n", "m", "f"}));
    EXPECT_EQ(record->n_parts, 3u);
    record_release(record, true);
}

TEST(ChainCursor, ReachesEveryPositionOfTheCurrentChain) {
    evt_topic* record = wrapped("c0.c1.c2.c3");
    evt_topic* other = wrapped("o0.o1");
    ChainCursor cursor;
    auto text_at = [&cursor](const evt_topic* r, uint64_t i) {
        const evt_topic_part_variant* p = cursor.part_at(r, i);
        return p ? std::string(p->text, p->text_len) : std::string("<end>");
    };
    // Ascending, repeated, backwards and past the end.
    const std::pair<uint64_t, const char*> steps[] = {{0, "c0"}, {1, "c1"}, {1, "c1"}, {3, "c3"},
                                                      {2, "c2"}, {4, "<end>"}, {0, "c0"}};
    for (const auto& [index, text] : steps) EXPECT_EQ(text_at(record, index), text) << index;

    // Another record, then the first one changed in place between steps.
    EXPECT_EQ(text_at(other, 1), "o1");
    EXPECT_EQ(text_at(record, 2), "c2");
    ASSERT_TRUE(record_clear(record));
    ASSERT_EQ(evt_topic_parse(record, "n0.n1.n2.n3", 0), 0);
    record_parts_appended(record);
    EXPECT_EQ(text_at(record, 3), "n3");
    ASSERT_EQ(evt_topic_append_part(record, "n4", 0, TOPIC_PART_EXACT), 0);
    record_parts_appended(record);
    EXPECT_EQ(text_at(record, 4), "n4");
    record_release(record, true);
    record_release(other, true);
}

}  // namespace
