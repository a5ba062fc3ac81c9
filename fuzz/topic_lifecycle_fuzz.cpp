// Fuzz target: the topic literal parser and the topic lifecycle against the
// process-wide registry.
//
// Each input runs a short program over a handful of held topics: create from
// a literal, create empty and append parts of any kind (unknown kinds too),
// parse more into a topic, re-render its literal, register it under another
// literal, match two topics, clear, free.  Checked after every step:
//  * n_parts equals the chain length, is_exact agrees with the part kinds,
//    every text is a NUL-terminated copy of the stated length, and range
//    options are non-empty NUL-terminated slices of the range text;
//  * a topic parsed from a literal whose parts hold no "." or "/" renders a
//    literal that parses back to the same kinds and texts;
//  * every registry entry names a held topic whose key is that entry's key
//    copy (so no entry outlives its topic and no topic reads a dropped key);
//  * clearing or freeing a topic removes its own entry and nothing else, and
//    a literal asked for again returns its registered record;
//  * an operation whose n-th block request fails (armed by the input) fails
//    as a whole, leaks nothing and leaves topics and registry consistent.
// At the end of an input every held topic is freed and the registry must be
// empty again.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/failing_requests.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/shared_heap.h"
#include "quenda_loomi/capi/topic_core/evt_topic.h"

namespace {

using registry_snapshot = std::vector<std::pair<std::string, evt_topic*>>;

registry_snapshot snapshot() {
    registry_snapshot entries;
    if (TOPIC_INTERNAL_MAP == nullptr) return entries;
    for (const byte_map_entry* e = TOPIC_INTERNAL_MAP->first; e != nullptr; e = e->next) {
        evt_topic* topic;
        std::memcpy(&topic, e->value, sizeof topic);
        entries.emplace_back(std::string(e->key, e->key_len), topic);
    }
    return entries;
}

registry_snapshot without(registry_snapshot entries, const evt_topic* topic) {
    std::erase_if(entries, [topic](const auto& entry) { return entry.second == topic; });
    return entries;
}

// "E:text", "A:name", "P:source", "R:" + options joined by '|'.
std::vector<std::string> describe(const evt_topic* topic) {
    std::vector<std::string> parts;
    for (const evt_topic_part_variant* p = topic->parts; p != nullptr; p = p->next) {
        static constexpr char kinds[] = "EARP";
        std::string line{kinds[p->ttype], ':'};
        if (p->ttype == TOPIC_PART_RANGE) {
            for (uint64_t i = 0; i < p->num_options; ++i)
                line += (i ? "|" : "") + std::string(p->option_ptr[i], p->option_length[i]);
        } else {
            line.append(p->text, p->text_len);
        }
        parts.push_back(std::move(line));
    }
    return parts;
}

bool holds_separator(const evt_topic* topic) {
    for (const evt_topic_part_variant* p = topic->parts; p != nullptr; p = p->next) {
        const char* text = p->ttype == TOPIC_PART_RANGE ? p->literal : p->text;
        const uint64_t length = p->ttype == TOPIC_PART_RANGE ? p->literal_len : p->text_len;
        for (uint64_t i = 0; i < length; ++i)
            if (text[i] == '.' || text[i] == '/') return true;
    }
    return false;
}

void check_parts(const evt_topic* topic) {
    uint64_t length = 0;
    bool exact = true;
    for (const evt_topic_part_variant* p = topic->parts; p != nullptr; p = p->next) {
        ++length;
        FUZZ_CHECK(p->ttype >= TOPIC_PART_EXACT && p->ttype <= TOPIC_PART_PATTERN);
        exact = exact && p->ttype == TOPIC_PART_EXACT;
        if (p->ttype == TOPIC_PART_RANGE) {
            FUZZ_CHECK(p->literal != nullptr && p->literal_len > 0 && p->literal[p->literal_len] == '\0');
            uint64_t separators = 0;
            for (uint64_t i = 0; i < p->literal_len; ++i) separators += p->literal[i] == '\0';
            FUZZ_CHECK(p->num_options <= separators + 1);
            FUZZ_CHECK(p->option_length == reinterpret_cast<uint64_t*>(p->option_ptr + separators + 1));
            for (uint64_t i = 0; i < p->num_options; ++i) {
                const char* option = p->option_ptr[i];
                const uint64_t n = p->option_length[i];
                FUZZ_CHECK(n > 0 && option >= p->literal && option + n <= p->literal + p->literal_len);
                FUZZ_CHECK(option[n] == '\0' && std::memchr(option, '\0', n) == nullptr);
                FUZZ_CHECK(std::memchr(option, '|', n) == nullptr);
                if (i > 0) FUZZ_CHECK(option > p->option_ptr[i - 1] + p->option_length[i - 1]);
            }
        } else {
            FUZZ_CHECK(p->text != nullptr && p->text_len > 0 && p->text[p->text_len] == '\0');
        }
    }
    FUZZ_CHECK(topic->n_parts == length);
    FUZZ_CHECK(topic->is_exact == (exact ? 1 : 0));
}

// Rendering and parsing are inverse while no part text holds "." or "/".
void check_round_trip(const evt_topic* topic) {
    if (topic->n_parts == 0 || holds_separator(topic)) return;
    uint64_t length = 0;
    char* literal = evt_topic_render_literal(topic, &length);
    FUZZ_CHECK(literal != nullptr && length > 0 && literal[length] == '\0');
    evt_topic* reparsed = evt_topic_new(nullptr, 0, nullptr);
    FUZZ_CHECK(reparsed != nullptr);
    FUZZ_CHECK(evt_topic_parse(reparsed, literal, length) == 0);
    check_parts(reparsed);
    FUZZ_CHECK(describe(reparsed) == describe(topic));
    uint64_t again_length = 0;
    char* again = evt_topic_render_literal(reparsed, &again_length);
    FUZZ_CHECK(again != nullptr && std::string(again, again_length) == std::string(literal, length));
    c_ap_free(again);
    c_ap_free(literal);
    evt_topic_free(reparsed);
}

// Pattern test for matching: a plain substring search that also reads the
// whole segment, so a dangling segment shows up under the sanitizer.
int substring_test(const char* pattern, const char* segment, uint64_t segment_len, void* context) {
    ++*static_cast<int*>(context);
    FUZZ_CHECK(segment[segment_len] == '\0');
    return std::string(segment, segment_len).find(pattern) != std::string::npos;
}

// One expected match node.
struct expected_node {
    const evt_topic_part_variant* part_a;
    const evt_topic_part_variant* part_b;
    bool success;
    std::string_view literal;  // data() null when nothing is recorded
};

bool same_text(const char* a, uint64_t a_len, const char* b, uint64_t b_len) {
    return std::string_view(a, a_len) == std::string_view(b, b_len);
}

// Whether the generic part accepts the exact part's text.
bool accepts(const evt_topic_part_variant* generic, const evt_topic_part_variant* exact) {
    switch (generic->ttype) {
        case TOPIC_PART_EXACT: return same_text(generic->text, generic->text_len, exact->text, exact->text_len);
        case TOPIC_PART_ANY: return true;
        case TOPIC_PART_RANGE:
            for (uint64_t i = 0; i < generic->num_options; ++i)
                if (same_text(generic->option_ptr[i], generic->option_length[i], exact->text, exact->text_len))
                    return true;
            return false;
        case TOPIC_PART_PATTERN:
            return std::string_view(exact->text, exact->text_len).find(generic->text) != std::string_view::npos;
    }
    return false;
}

// The match chain of `a` against `b`, position by position.
std::vector<expected_node> expected_match(const evt_topic* a, const evt_topic* b) {
    if (a == b || (a->key != nullptr && b->key != nullptr && a->key_len != 0 &&
                   same_text(a->key, a->key_len, b->key, b->key_len)))
        return {{a->parts, b->parts, true, std::string_view(a->key, a->key_len)}};
    std::vector<expected_node> nodes;
    const evt_topic_part_variant* pa = a->parts;
    const evt_topic_part_variant* pb = b->parts;
    for (; pa != nullptr || pb != nullptr; pa = pa->next, pb = pb->next) {
        nodes.push_back({pa, pb, false, {}});
        if (pa == nullptr || pb == nullptr) break;
        const evt_topic_part_variant* exact = pa->ttype == TOPIC_PART_EXACT ? pa
                                              : pb->ttype == TOPIC_PART_EXACT ? pb : nullptr;
        if (exact == nullptr) break;
        const evt_topic_part_variant* generic = exact == pa ? pb : pa;
        if (!accepts(generic, exact)) break;
        nodes.back().success = true;
        if (generic->ttype != TOPIC_PART_PATTERN) nodes.back().literal = {exact->text, exact->text_len};
    }
    return nodes;
}

class topic_session {
public:
    explicit topic_session(bool pooled) {
        if (pooled) {
            protocol_.heap = shared_heap();
            protocol_.with_freelist = 1;
        }
    }

    ~topic_session() {
        for (evt_topic* topic : held_) evt_topic_free(topic);
        held_.clear();
        // Every entry named a held topic; freeing them all empties the registry.
        FUZZ_CHECK(snapshot().empty());
    }

    void create(const std::string& literal, bool measure) {
        const registry_snapshot before = snapshot();
        evt_topic* registered = evt_topic_lookup(literal.data(), literal.size());
        const bool measured_empty = measure && std::strlen(literal.c_str()) == 0;
        evt_topic* topic;
        {
            failure_window window(take_failure());
            topic = evt_topic_new(literal.c_str(), measure ? 0 : literal.size(), &protocol_);
        }
        if (registered != nullptr && !measure) {
            FUZZ_CHECK(topic == registered);
            FUZZ_CHECK(snapshot() == before);
            return;
        }
        if (topic == nullptr) {
            FUZZ_CHECK(snapshot() == before);  // a failed parse or request leaves nothing behind
            return;
        }
        if (is_held(topic)) return;  // a measured literal found its registered record
        held_.push_back(topic);
        parsed_.push_back(topic);
        check_parts(topic);
        if (literal.empty() || measured_empty) {
            FUZZ_CHECK(topic->n_parts == 0 && topic->key == nullptr);
            FUZZ_CHECK(snapshot() == before);
            return;
        }
        const std::string key = measure ? std::string(literal.c_str()) : literal;
        FUZZ_CHECK(evt_topic_lookup(key.data(), key.size()) == topic);
        FUZZ_CHECK(topic->key != nullptr && std::string(topic->key, topic->key_len) == key);
        check_round_trip(topic);
    }

    void append(size_t pick, int32_t kind, const std::string& text, bool measure) {
        if (held_.empty()) return;
        evt_topic* topic = pick_topic(pick);
        const std::vector<std::string> parts = describe(topic);
        const uint64_t n = topic->n_parts;
        failure_window window(take_failure());
        const int rc = evt_topic_append_part(topic, text.c_str(), measure ? 0 : text.size(), kind);
        const bool usable = kind >= TOPIC_PART_EXACT && kind <= TOPIC_PART_PATTERN &&
                            (measure ? std::strlen(text.c_str()) : text.size()) > 0;
        FUZZ_CHECK((rc == 0) == (usable && !window.injected()));
        FUZZ_CHECK(topic->n_parts == n + (rc == 0));
        if (rc != 0) FUZZ_CHECK(describe(topic) == parts);
        std::erase(parsed_, topic);
    }

    void parse_into(size_t pick, const std::string& literal) {
        if (held_.empty()) return;
        evt_topic* topic = pick_topic(pick);
        const uint64_t n = topic->n_parts;
        const bool was_exact = topic->is_exact;
        failure_window window(take_failure());
        const int rc = evt_topic_parse(topic, literal.data(), literal.size());
        FUZZ_CHECK(topic->n_parts >= n);
        if (literal.empty()) FUZZ_CHECK(rc == -1);
        if (!was_exact) FUZZ_CHECK(topic->is_exact == 0);
        std::erase(parsed_, topic);
    }

    void update_literal(size_t pick) {
        if (held_.empty()) return;
        evt_topic* topic = pick_topic(pick);
        const registry_snapshot before = snapshot();
        uint64_t length = 0;
        char* rendered = evt_topic_render_literal(topic, &length);
        FUZZ_CHECK(rendered != nullptr);
        const std::string literal(rendered, length);
        c_ap_free(rendered);
        evt_topic* displaced = evt_topic_lookup(literal.data(), literal.size());

        failure_window window(take_failure());
        const int rc = evt_topic_update_literal(topic);
        // A failed copy for a displaced topic only costs that topic its key.
        FUZZ_CHECK(rc == 0 ? length > 0 : length == 0 || window.injected());
        // A failed render changes nothing; a failed registration unregisters.
        if (rc != 0 && window.injected() && snapshot() == before) return;
        check_registration_change(before, topic, rc == 0 ? &literal : nullptr, displaced);
    }

    void internalize(size_t pick, const std::string& literal) {
        if (held_.empty()) return;
        evt_topic* topic = pick_topic(pick);
        const registry_snapshot before = snapshot();
        evt_topic* displaced = evt_topic_lookup(literal.data(), literal.size());
        failure_window window(take_failure());
        const int rc = evt_topic_internalize(topic, literal.data(), literal.size());
        FUZZ_CHECK(rc == 0 ? !literal.empty() : literal.empty() || window.injected());
        check_registration_change(before, topic, rc == 0 ? &literal : nullptr, displaced);
    }

    // Registers a topic under the key another topic holds, read through
    // that topic's own key pointer (the registry copy that is about to be
    // re-pointed or dropped).
    void internalize_under_key_of(size_t pick, size_t other) {
        if (held_.empty()) return;
        evt_topic* topic = pick_topic(pick);
        evt_topic* holder = pick_topic(other);
        if (holder->key == nullptr) return;
        const std::string literal(holder->key, holder->key_len);
        const registry_snapshot before = snapshot();
        evt_topic* displaced = evt_topic_lookup(literal.data(), literal.size());
        failure_window window(take_failure());
        const int rc = evt_topic_internalize(topic, holder->key, holder->key_len);
        FUZZ_CHECK(rc == 0 || window.injected());
        check_registration_change(before, topic, rc == 0 ? &literal : nullptr, displaced);
    }

    void match(size_t a, size_t b) {
        if (held_.empty()) return;
        const evt_topic* left = pick_topic(a);
        const evt_topic* right = pick_topic(b);
        int pattern_calls = 0;
        evt_topic_match* chain;
        {
            failure_window window(take_failure());
            chain = evt_topic_match_build(left, right, substring_test, &pattern_calls);
            if (window.injected()) {
                FUZZ_CHECK(chain == nullptr);  // every node obtained so far was released
                return;
            }
        }
        const std::vector<expected_node> expected = expected_match(left, right);
        size_t i = 0;
        for (const evt_topic_match* node = chain; node != nullptr; node = node->next, ++i) {
            FUZZ_CHECK(i < expected.size());
            FUZZ_CHECK(node->part_a == expected[i].part_a && node->part_b == expected[i].part_b);
            FUZZ_CHECK((node->success == 1) == expected[i].success);
            FUZZ_CHECK(node->literal == expected[i].literal.data());
            FUZZ_CHECK(node->literal_len == expected[i].literal.size());
            if (node->literal != nullptr) FUZZ_CHECK(node->literal[node->literal_len] == '\0');
        }
        FUZZ_CHECK(i == expected.size());
        if (left == right) FUZZ_CHECK(pattern_calls == 0);
        c_ap_free_chain(chain);
    }

    void clear(size_t pick) {
        if (held_.empty()) return;
        evt_topic* topic = pick_topic(pick);
        const registry_snapshot expected = without(snapshot(), topic);
        evt_topic_clear(topic);
        FUZZ_CHECK(snapshot() == expected);
        FUZZ_CHECK(topic->parts == nullptr && topic->n_parts == 0 && topic->is_exact == 1);
        FUZZ_CHECK(topic->key == nullptr && topic->hash == 0);
        std::erase(parsed_, topic);
    }

    void free_topic(size_t pick) {
        if (held_.empty()) return;
        evt_topic* topic = pick_topic(pick);
        const registry_snapshot expected = without(snapshot(), topic);
        std::erase(held_, topic);
        std::erase(parsed_, topic);
        evt_topic_free(topic);
        FUZZ_CHECK(snapshot() == expected);
    }

    // Every held topic is well formed, parsed ones read back, and registry
    // entries and topic keys agree.
    void check() const {
        for (const evt_topic* topic : held_) {
            check_parts(topic);
            if (topic->key == nullptr) {
                FUZZ_CHECK(topic->key_len == 0 && topic->hash == 0 && !topic->key_is_private);
                continue;
            }
            FUZZ_CHECK(topic->key[topic->key_len] == '\0');
            if (topic->key_is_private) {
                FUZZ_CHECK(c_ap_protocol_from_ptr(topic->key)->size == topic->key_len + 1);
            } else {
                FUZZ_CHECK(evt_topic_lookup(topic->key, topic->key_len) == topic);
            }
        }
        for (const evt_topic* topic : parsed_) check_round_trip(topic);
        if (TOPIC_INTERNAL_MAP == nullptr) return;
        for (const byte_map_entry* e = TOPIC_INTERNAL_MAP->first; e != nullptr; e = e->next) {
            evt_topic* topic;
            std::memcpy(&topic, e->value, sizeof topic);
            FUZZ_CHECK(is_held(topic));
            FUZZ_CHECK(topic->key == e->key && topic->key_len == e->key_len && topic->hash == e->hash);
            FUZZ_CHECK(!topic->key_is_private);
        }
    }

    // The next operation's n-th block request fails.
    void arm_failure(int after) { fail_after_ = after; }

private:
    int take_failure() { return std::exchange(fail_after_, -1); }

    bool is_held(const evt_topic* topic) const {
        return std::find(held_.begin(), held_.end(), topic) != held_.end();
    }

    evt_topic* pick_topic(size_t pick) const { return held_[pick % held_.size()]; }

    // After `topic` was (re-)registered under `literal` (null: registration
    // failed): its old entry is gone, the literal names it, and every other
    // entry is as before except that a displaced topic lost the literal.
    void check_registration_change(const registry_snapshot& before, evt_topic* topic,
                                   const std::string* literal, evt_topic* displaced) const {
        registry_snapshot expected = without(before, topic);
        if (literal == nullptr) {
            FUZZ_CHECK(topic->key == nullptr && topic->hash == 0);
            FUZZ_CHECK(snapshot() == expected);
            return;
        }
        bool replaced = false;
        for (auto& entry : expected) {
            if (entry.first == *literal) {
                FUZZ_CHECK(entry.second == displaced);
                entry.second = topic;
                replaced = true;
            }
        }
        // A literal that was the topic's own key is appended afresh.
        if (!replaced) expected.emplace_back(*literal, topic);
        FUZZ_CHECK(snapshot() == expected);
        FUZZ_CHECK(evt_topic_lookup(literal->data(), literal->size()) == topic);
        FUZZ_CHECK(topic->key != nullptr && std::string(topic->key, topic->key_len) == *literal);
        if (displaced != nullptr && displaced != topic && displaced->key != nullptr)
            FUZZ_CHECK(displaced->key_is_private && std::string(displaced->key, displaced->key_len) == *literal);
    }

    allocator_protocol protocol_{};
    int fail_after_ = -1;
    std::vector<evt_topic*> held_;
    std::vector<evt_topic*> parsed_;  // built only by parsing their literal
};

// Literals built mostly from the grammar's special bytes so that most
// segments take a non-trivial shape.
std::string next_literal(FuzzedDataProvider& in) {
    if (in.ConsumeBool()) return in.ConsumeRandomLengthString(48);
    static constexpr char alphabet[] = {'.', '/', '+', '{', '}', '(', ')', '|', 'a', 'b', 'x', '\0'};
    std::string literal;
    const size_t length = in.ConsumeIntegralInRange<size_t>(0, 24);
    for (size_t i = 0; i < length; ++i)
        literal += alphabet[in.ConsumeIntegralInRange<size_t>(0, sizeof alphabet - 1)];
    return literal;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    topic_session session(in.ConsumeBool());
    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange<int>(0, 12)) {
            case 0: case 1: case 2:
                session.create(next_literal(in), in.ConsumeIntegralInRange<int>(0, 3) == 0);
                break;
            case 3:
                session.create(std::string(), false);
                break;
            case 4: {
                const size_t pick = in.ConsumeIntegral<uint8_t>();
                const auto kind = in.ConsumeIntegralInRange<int32_t>(-1, 4);
                const bool measure = in.ConsumeIntegralInRange<int>(0, 3) == 0;
                session.append(pick, kind, next_literal(in), measure);
                break;
            }
            case 5: {
                const size_t pick = in.ConsumeIntegral<uint8_t>();
                session.parse_into(pick, next_literal(in));
                break;
            }
            case 6:
                session.update_literal(in.ConsumeIntegral<uint8_t>());
                break;
            case 7: {
                const size_t pick = in.ConsumeIntegral<uint8_t>();
                session.internalize(pick, next_literal(in));
                break;
            }
            case 8: {
                const size_t pick = in.ConsumeIntegral<uint8_t>();
                session.internalize_under_key_of(pick, in.ConsumeIntegral<uint8_t>());
                break;
            }
            case 9: {
                const size_t a = in.ConsumeIntegral<uint8_t>();
                session.match(a, in.ConsumeIntegral<uint8_t>());
                break;
            }
            case 10:
                session.clear(in.ConsumeIntegral<uint8_t>());
                break;
            case 11:
                session.free_topic(in.ConsumeIntegral<uint8_t>());
                break;
            case 12:
                session.arm_failure(in.ConsumeIntegralInRange<int>(0, 12));
                break;
        }
        session.check();
    }
    return 0;
}
