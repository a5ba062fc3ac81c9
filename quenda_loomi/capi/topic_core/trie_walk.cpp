// The walk: an event's parts followed level by level through the trie
// (exact edges, the wildcard child, range options, pattern tests through the
// caller's hooks), then the subscriptions of the nodes reached and of the
// identity shortcut merged into the answer.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

#include "quenda_loomi/capi/topic_core/answer_merge.h"
#include "quenda_loomi/capi/topic_core/trie_internals.h"

namespace topic_index {

// ---- The walk -------------------------------------------------------------------

bool TopicTrie::step(int32_t kind, const char* text, uint64_t length, const FlatVector<Node*>& frontier,
                     FlatVector<Node*>* next, FlatVector<Node*>* to_test_buffer) {
    FlatVector<Node*>& to_test = *to_test_buffer;
    to_test.clear();
    switch (kind) {
        case TOPIC_PART_EXACT: {
            for (Node* node : frontier) {
                // Pattern children come first among the generic ones, ranges after them.
                Node* generic = node->first_generic;
                for (; generic && generic->kind == TOPIC_PART_PATTERN; generic = generic->next_sibling)
                    to_test.push_back(generic);
                if (node->any_child) next->push_back(node->any_child);
                const bool has_ranges = generic != nullptr;
                if (node->first_exact == nullptr && !has_ranges) continue;
                // One hash finds both the exact child and the range children accepting the segment.
                const uint64_t hash = edge_hash(node, text, length);
                if (node->first_exact)
                    if (Node* child = exact_child(node, text, length, hash)) next->push_back(child);
                if (has_ranges)
                    options_->find(hash, [&](const OptionSlot& o) {
                        if (o.child->parent == node && same_bytes(o.child->label + o.offset, o.length, text, length))
                            next->push_back(o.child);
                        return false;  // every range child accepting it
                    });
            }
            // The hooks may run code that changes the trie: only the copies
            // taken above are read across them, and no node is released (nor
            // its expression).  Children of several parents often share one
            // expression: it is tested once per segment.
            constexpr size_t kRemembered = 16;
            int answers[kRemembered];
            for (size_t i = 0; i < to_test.size(); ++i) {
                void* prepared = to_test[i]->prepared();
                if (prepared == nullptr) continue;
                int answer = -1;
                for (size_t j = 0; j < i && j < kRemembered && answer < 0; ++j)
                    if (to_test[j]->prepared() == prepared) answer = answers[j];
                if (answer < 0) {
                    const int tested = hooks_.test(prepared, text, length, hooks_.context);
                    if (tested < 0) return false;  // no answer is better than a wrong one
                    answer = tested > 0 ? 1 : 0;
                }
                if (i < kRemembered) answers[i] = answer;
                if (answer) next->push_back(to_test[i]);
            }
            break;
        }
        case TOPIC_PART_ANY:
            for (Node* node : frontier)
                for (Node* child = node->first_exact; child; child = child->next_sibling) next->push_back(child);
            break;
        case TOPIC_PART_RANGE:
            for (Node* node : frontier)
                for_each_option(text, length, [&](const char* option, uint64_t option_len) {
                    if (Node* child = exact_child(node, option, option_len)) next->push_back(child);
                });
            std::sort(next->begin(), next->end());
            next->truncate(static_cast<size_t>(std::unique(next->begin(), next->end()) - next->begin()));
            break;
        case TOPIC_PART_PATTERN: {
            for (Node* node : frontier)
                for (Node* child = node->first_exact; child; child = child->next_sibling) to_test.push_back(child);
            if (hooks_.prepare == nullptr) break;  // no patterns here: never matches
            void* prepared = hooks_.prepare(text, hooks_.context);
            if (prepared == nullptr) return false;
            bool answered = true;
            for (size_t i = 0; answered && i < to_test.size(); ++i) {
                const int tested = hooks_.test(prepared, to_test[i]->label, to_test[i]->label_len, hooks_.context);
                answered = tested >= 0;
                if (tested > 0) next->push_back(to_test[i]);
            }
            defer_release(prepared);
            if (!answered) return false;
            break;
        }
        default:
            break;
    }
    return true;
}

// Counts a running walk for its whole extent, however it ends.
struct WalkMark {
    explicit WalkMark(uint32_t* running) : running_(running) { ++*running_; }
    ~WalkMark() { --*running_; }
    WalkMark(const WalkMark&) = delete;
    WalkMark& operator=(const WalkMark&) = delete;
    uint32_t* running_;
};

// Buffers of one walk, kept between walks so an event costs no allocation.
// A walk started from inside a hook takes a fresh set.
struct TopicTrie::Scratch {
    FlatVector<char> literal;
    FlatVector<char> texts;  // the event's part texts, each NUL-terminated
    FlatVector<EventPart> parts;
    FlatVector<Node*> frontier;
    FlatVector<Node*> next;
    FlatVector<Node*> to_test;
    FlatVector<Subscription> alike;
    FlatVector<Run> runs;
    FlatVector<Subscription> merging;

    bool ok() const {
        return literal.ok() && texts.ok() && parts.ok() && frontier.ok() && next.ok() && to_test.ok() &&
               alike.ok() && runs.ok();
    }
};

void TopicTrie::ScratchDeleter::operator()(Scratch* scratch) const {
    scratch->~Scratch();
    std::free(scratch);
}

TopicTrie::Scratch* TopicTrie::take_scratch() {
    if (spare_scratch_) return spare_scratch_.release();
    void* block = std::malloc(sizeof(Scratch));
    return block ? ::new (block) Scratch() : nullptr;
}

// A walk started from inside a hook took a fresh set: the first one back is kept.
void TopicTrie::keep_scratch(Scratch* scratch) {
    if (!spare_scratch_) spare_scratch_.reset(scratch);
    else ScratchDeleter{}(scratch);
}

bool TopicTrie::match(const evt_topic* event, FlatVector<Subscription>* out) {
    return match(event, event->key, has_literal(event) ? event->key_len : 0, out);
}

// Runs `fill(scratch)` on emptied walk buffers, then the walk and the answer.
template <class Fill>
bool TopicTrie::walk_filled(const evt_topic* event, FlatVector<Subscription>* out, Fill&& fill) {
    out->clear();
    Scratch* scratch = take_scratch();
    if (scratch == nullptr) return false;
    Scratch& s = *scratch;
    s.literal.clear();
    s.texts.clear();
    s.parts.clear();
    fill(s);
    const bool answered = s.ok() && answer(s, event, out);
    keep_scratch(scratch);
    return answered;
}

bool TopicTrie::match(const evt_topic* event, const char* literal, uint64_t length, FlatVector<Subscription>* out) {
    return walk_filled(event, out, [&](Scratch& s) {
        // Hooks may change the event record too: read it once, up front.
        if (length != 0) s.literal.append(literal, literal + length);
        for (const evt_topic_part_variant* part = event->parts; part; part = part->next) {
            uint64_t part_length = 0;
            const char* label = part_label(part, &part_length);
            if (label == nullptr) part_length = 0;
            s.parts.push_back(EventPart{part->ttype, s.texts.size(), part_length});
            s.texts.append(label, label + part_length);
            s.texts.push_back('\0');
        }
    });
}

bool TopicTrie::is_plain_literal(const char* literal, uint64_t length) {
    bool segment_start = true;
    for (uint64_t i = 0; i < length; ++i) {
        const char c = literal[i];
        if (c == '.') {
            segment_start = true;
            continue;
        }
        if (segment_start && (c == '/' || c == '+' || c == '{' || c == '(')) return false;
        segment_start = false;
    }
    return true;
}

bool TopicTrie::match_plain(const char* literal, uint64_t length, FlatVector<Subscription>* out) {
    return walk_filled(nullptr, out, [&](Scratch& s) {
        // The text is copied once, each segment ended by a NUL written over
        // the separator after it.
        s.literal.append(literal, literal + length);
        s.texts.append(literal, literal + length);
        s.texts.push_back('\0');
        if (!s.texts.ok()) return;
        char* texts = s.texts.data();
        for_each_plain_segment(literal, length, [&](uint64_t offset, uint64_t segment_length) {
            texts[offset + segment_length] = '\0';
            s.parts.push_back(EventPart{TOPIC_PART_EXACT, offset, segment_length});
        });
    });
}

bool TopicTrie::answer(Scratch& s, const evt_topic* event, FlatVector<Subscription>* out) {
    s.frontier.clear();
    bool walked = true;
    if (!s.parts.empty()) {
        WalkMark mark(&walks_running_);
        s.frontier.push_back(root_);
        for (size_t i = 0; walked && i < s.parts.size() && !s.frontier.empty(); ++i) {
            s.next.clear();
            const EventPart& part = s.parts[i];
            // `texts` is not touched during the walk: the pointer stays valid.
            walked = step(part.kind, s.texts.data() + part.offset, part.length, s.frontier, &s.next, &s.to_test);
            s.frontier.swap(s.next);
        }
    }

    // No hook runs from here on: what the nodes hold now is the answer.  Each
    // node's subscriptions are already in order, and so is the identity
    // shortcut's list: merge the runs.
    s.alike.clear();
    s.runs.clear();
    for_each_alike(event, s.literal.data(), s.literal.size(),
                   [&](evt_topic* record) { subscriptions_of(record, &s.alike); });
    bool answered = walked && s.alike.ok();
    if (answered && !s.alike.empty()) {
        answered = sort_by_seq(&s.alike);
        s.runs.push_back(Run{s.alike.data(), s.alike.data() + s.alike.size()});
    }
    for (Node* node : s.frontier)
        if (node->sub_count) s.runs.push_back(Run{node->subs(), node->subs() + node->sub_count});
    answered = answered && s.ok() && merge_runs(&s.runs, out, &s.merging);

    if (walks_running_ == 0 && !prune_later_.empty()) prune_deferred();
    if (!answered) out->clear();
    return answered;
}


}  // namespace topic_index
