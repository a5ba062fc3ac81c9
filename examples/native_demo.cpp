// Parses a few topic literals, shows their parts and canonical form, matches
// one concrete topic against each, then frees everything.
#include <cstdio>
#include <string_view>

#include "quenda_loomi/capi/topic_core/evt_topic.h"

namespace {

const char* kind_name(int32_t kind) {
    switch (kind) {
        case TOPIC_PART_EXACT: return "exact";
        case TOPIC_PART_ANY: return "any";
        case TOPIC_PART_RANGE: return "range";
        case TOPIC_PART_PATTERN: return "pattern";
        default: return "?";
    }
}

void print_topic(const evt_topic* topic) {
    std::printf("  registered as \"%.*s\" (hash %016llx), %llu part(s)%s\n",
                static_cast<int>(topic->key_len), topic->key,
                static_cast<unsigned long long>(topic->hash),
                static_cast<unsigned long long>(topic->n_parts),
                topic->is_exact ? ", exact" : "");
    for (const evt_topic_part_variant* part = topic->parts; part; part = part->next) {
        std::printf("    %-7s ", kind_name(part->ttype));
        if (part->ttype == TOPIC_PART_RANGE) {
            for (uint64_t i = 0; i < part->num_options; ++i)
                std::printf("%s\"%.*s\"", i ? " | " : "", static_cast<int>(part->option_length[i]),
                            part->option_ptr[i]);
        } else {
            std::printf("\"%.*s\"", static_cast<int>(part->text_len), part->text);
        }
        std::printf("\n");
    }
    uint64_t length = 0;
    if (char* canonical = evt_topic_render_literal(topic, &length)) {
        std::printf("  renders as \"%.*s\"\n", static_cast<int>(length), canonical);
        c_ap_free(canonical);
    }
}

// No regular-expression engine here: a pattern matches when it occurs in the
// segment literally.
int contains(const char* pattern, const char* segment, uint64_t segment_len, void*) {
    return std::string_view(segment, segment_len).find(pattern) != std::string_view::npos;
}

void print_match(const evt_topic* concrete, const evt_topic* generic) {
    evt_topic_match* head = evt_topic_match_build(concrete, generic, contains, nullptr);
    bool matched = head != nullptr;
    for (const evt_topic_match* node = head; node; node = node->next) matched &= node->success != 0;
    std::printf("  \"%s\" %s:", concrete->key, matched ? "matches" : "does not match");
    for (const evt_topic_match* node = head; node; node = node->next) {
        if (node->literal) std::printf(" [%.*s]", static_cast<int>(node->literal_len), node->literal);
        else std::printf(" [%s]", node->success ? "pattern" : "x");
    }
    std::printf("\n");
    c_ap_free_chain(head);
}

}  // namespace

int main() {
    const char* const literals[] = {"orders.+region.(buy|sell)", "orders.eu.buy", "log./err/.{level}",
                                    "a..b.(x||y)"};
    evt_topic* topics[sizeof literals / sizeof *literals] = {};
    for (size_t i = 0; i < sizeof literals / sizeof *literals; ++i) {
        topics[i] = evt_topic_new(literals[i], 0, nullptr);
        if (topics[i] == nullptr) {
            std::fprintf(stderr, "cannot parse \"%s\"\n", literals[i]);
            return 1;
        }
        std::printf("\"%s\"\n", literals[i]);
        print_topic(topics[i]);
    }

    std::printf("\nThe same literal gives the same record: %s\n",
                evt_topic_new(literals[0], 0, nullptr) == topics[0] ? "yes" : "no");

    std::printf("\nMatching against \"%s\":\n", literals[0]);
    print_match(topics[1], topics[0]);
    evt_topic* log_line = evt_topic_new("log.stderror.warn", 0, nullptr);
    std::printf("Matching against \"%s\":\n", literals[2]);
    print_match(log_line, topics[2]);

    std::printf("\nRe-keying \"%s\" under its canonical literal: ", literals[0]);
    if (evt_topic_update_literal(topics[0]) == 0)
        std::printf("\"%.*s\"\n", static_cast<int>(topics[0]->key_len), topics[0]->key);

    evt_topic_free(log_line);
    for (evt_topic* topic : topics) evt_topic_free(topic);
    std::printf("Registry entries left: %llu\n",
                static_cast<unsigned long long>(TOPIC_INTERNAL_MAP ? TOPIC_INTERNAL_MAP->count : 0));
    return 0;
}
