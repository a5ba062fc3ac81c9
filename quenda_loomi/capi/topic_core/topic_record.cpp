// Topic records: creation, part appending, registration in the process-wide
// literal registry, canonical rendering and release.
#include <cstdlib>
#include <cstring>

#include "quenda_loomi/capi/topic_core/chain_tail.h"
#include "quenda_loomi/capi/topic_core/evt_topic.h"
#include "quenda_loomi/capi/topic_core/registry_rekey.h"

byte_map* TOPIC_INTERNAL_MAP = nullptr;

namespace {

inline const allocator_protocol* source_of(const void* block) {
    return c_ap_protocol_from_ptr(block);
}

// A NUL-terminated copy of `length` bytes from the source of `owner`.
char* copy_text(const void* owner, const char* text, uint64_t length) {
    if (length == UINT64_MAX) return nullptr;
    auto* copy = static_cast<char*>(c_ap_request(length + 1, source_of(owner)));
    if (copy != nullptr) std::memcpy(copy, text, length);
    return copy;
}

evt_topic* registered_topic(const char* literal, uint64_t length) {
    evt_topic* found = nullptr;
    if (TOPIC_INTERNAL_MAP == nullptr || literal == nullptr) return nullptr;
    if (TOPIC_INTERNAL_MAP->value_size < sizeof found) return nullptr;
    if (byte_map_get(TOPIC_INTERNAL_MAP, literal, length, &found) != BYTE_MAP_OK) return nullptr;
    return found;
}

// Drops the topic's registration: its entry goes only if it still names this
// topic (a displaced topic holds a private key and never owns the entry).
void drop_key(evt_topic* topic) {
    if (topic->key != nullptr) {
        // Found just above, the entry pops; if it did not, the registry
        // would go on naming a topic without this key, which is corrupt.
        if (registered_topic(topic->key, topic->key_len) == topic &&
            byte_map_pop(TOPIC_INTERNAL_MAP, topic->key, topic->key_len) != BYTE_MAP_OK)
            std::abort();
        if (topic->key_is_private) c_ap_free(topic->key);
    }
    topic->key = nullptr;
    topic->key_len = 0;
    topic->hash = 0;
    topic->key_is_private = 0;
}

// The registry entry for a literal is about to name another topic.  The
// topic it names now borrows the entry's key copy, which is released when
// the entry goes, so give it a copy of its own (or, failing that, drop its
// key: an unregistered topic is sound, a dangling key is not).
void detach_displaced(evt_topic* displaced) {
    if (displaced->key == nullptr || displaced->key_is_private) return;
    char* own = copy_text(displaced, displaced->key, displaced->key_len);
    if (own == nullptr) {
        displaced->key = nullptr;
        displaced->key_len = 0;
        displaced->hash = 0;
        return;
    }
    displaced->key = own;
    displaced->key_is_private = 1;
}

bool is_known_kind(int32_t kind) {
    return kind == TOPIC_PART_EXACT || kind == TOPIC_PART_ANY || kind == TOPIC_PART_RANGE ||
           kind == TOPIC_PART_PATTERN;
}

// Splits a range copy in place on '|' and NUL into one block of `cap` option
// pointers followed by `cap` lengths; empty options are not stored.
bool split_options(evt_topic_part_variant* part, char* text, uint64_t length) {
    uint64_t separators = 0;
    for (uint64_t i = 0; i < length; ++i) separators += (text[i] == '|' || text[i] == '\0');
    const uint64_t cap = separators + 1;
    if (cap > UINT64_MAX / (sizeof(char*) + sizeof(uint64_t))) return false;
    auto* options = static_cast<char**>(
        c_ap_request(cap * (sizeof(char*) + sizeof(uint64_t)), source_of(part)));
    if (options == nullptr) return false;
    auto* lengths = reinterpret_cast<uint64_t*>(options + cap);

    uint64_t stored = 0;
    uint64_t start = 0;
    for (uint64_t i = 0; i <= length; ++i) {
        if (i < length && text[i] != '|' && text[i] != '\0') continue;
        if (i > start) {
            options[stored] = text + start;
            lengths[stored] = i - start;
            ++stored;
        }
        text[i] = '\0';  // text[length] is the copy's terminator
        start = i + 1;
    }
    part->option_ptr = options;
    part->option_length = lengths;
    part->num_options = stored;
    part->literal = text;
    part->literal_len = length;
    return true;
}

}  // namespace

namespace topic_core {

evt_topic_part_variant* last_part(const evt_topic* topic) noexcept {
    evt_topic_part_variant* last = topic != nullptr ? topic->parts : nullptr;
    while (last != nullptr && last->next != nullptr) last = last->next;
    return last;
}

int append_part_after(evt_topic* topic, evt_topic_part_variant** tail, const char* text, uint64_t length,
                      int32_t kind) noexcept {
    if (topic == nullptr || tail == nullptr || text == nullptr) return -1;
    if (length == 0) length = std::strlen(text);
    if (length == 0 || !is_known_kind(kind)) return -1;

    char* copy = copy_text(topic, text, length);
    if (copy == nullptr) return -1;
    auto* part = static_cast<evt_topic_part_variant*>(
        c_ap_request(sizeof(evt_topic_part_variant), source_of(topic)));
    if (part == nullptr) {
        c_ap_free(copy);
        return -1;
    }
    part->ttype = kind;
    if (kind == TOPIC_PART_RANGE) {
        if (!split_options(part, copy, length)) {
            c_ap_free(copy);
            c_ap_free(part);
            return -1;
        }
    } else {
        part->text = copy;
        part->text_len = length;
    }

    // A remembered tail is trusted to be in the chain; stepping on from it
    // only guards against a caller that lost count, at no cost otherwise.
    evt_topic_part_variant* last = *tail != nullptr ? *tail : topic->parts;
    while (last != nullptr && last->next != nullptr) last = last->next;
    if (last != nullptr) last->next = part;
    else topic->parts = part;
    ++topic->n_parts;
    if (kind != TOPIC_PART_EXACT) topic->is_exact = 0;
    *tail = part;
    return 0;
}

int rekey_displacing(evt_topic* topic, const char* literal, uint64_t length, evt_topic** displaced_out) noexcept {
    if (displaced_out != nullptr) *displaced_out = nullptr;
    if (topic == nullptr || literal == nullptr || length == 0) return -1;
    if (TOPIC_INTERNAL_MAP == nullptr) {
        TOPIC_INTERNAL_MAP = byte_map_new(source_of(topic));
        if (TOPIC_INTERNAL_MAP == nullptr) return -1;
    }
    if (TOPIC_INTERNAL_MAP->value_size < sizeof topic) return -1;

    evt_topic* displaced = registered_topic(literal, length);
    if (displaced == topic) return 0;  // already registered under this literal
    // The old key stays alive until the new entry exists, so a literal that
    // points into it needs no copy.
    const evt_topic displaced_before = displaced != nullptr ? *displaced : evt_topic{};
    if (displaced != nullptr) detach_displaced(displaced);
    byte_map_entry* entry = nullptr;
    if (byte_map_set(TOPIC_INTERNAL_MAP, literal, length, &topic, sizeof topic, &entry) != BYTE_MAP_OK) {
        if (displaced != nullptr) {  // the entry still names it: give its shared key back
            if (displaced->key_is_private) c_ap_free(displaced->key);
            displaced->key = displaced_before.key;
            displaced->key_len = displaced_before.key_len;
            displaced->hash = displaced_before.hash;
            displaced->key_is_private = displaced_before.key_is_private;
        }
        return -1;
    }
    char* const key = entry->key;
    const uint64_t key_len = entry->key_len;
    const uint64_t hash = entry->hash;
    // Let the old key go.  A private key owns no entry (its text may even be
    // the literal just registered); a shared one pops its entry if that still
    // names this topic, which is then another literal's entry.
    if (topic->key_is_private) {
        c_ap_free(topic->key);
    } else if (topic->key != nullptr && registered_topic(topic->key, topic->key_len) == topic &&
               byte_map_pop(TOPIC_INTERNAL_MAP, topic->key, topic->key_len) != BYTE_MAP_OK) {
        std::abort();  // the registry would go on naming a topic without this key
    }
    topic->key_is_private = 0;
    topic->key = key;
    topic->key_len = key_len;
    topic->hash = hash;
    if (displaced_out != nullptr) *displaced_out = displaced;
    return 0;
}

}  // namespace topic_core

extern "C" {

evt_topic* evt_topic_lookup(const char* literal, uint64_t length) {
    return registered_topic(literal, length);
}

int evt_topic_is_registered(const evt_topic* topic) {
    return topic != nullptr && topic->key != nullptr && !topic->key_is_private;
}

evt_topic* evt_topic_new(const char* literal, uint64_t length, const allocator_protocol* protocol) {
    if (literal != nullptr && length == 0) length = std::strlen(literal);
    // Asking again for a registered literal must cost a lookup and nothing else.
    if (evt_topic* registered = registered_topic(literal, length)) return registered;

    auto* topic = static_cast<evt_topic*>(c_ap_request(sizeof(evt_topic), protocol));
    if (topic == nullptr) return nullptr;
    topic->is_exact = 1;
    if (literal == nullptr || length == 0) return topic;

    if (evt_topic_parse(topic, literal, length) != 0 ||
        evt_topic_internalize(topic, literal, length) != 0) {
        evt_topic_free(topic);
        return nullptr;
    }
    return topic;
}

int evt_topic_append_part(evt_topic* topic, const char* text, uint64_t length, int32_t kind) {
    evt_topic_part_variant* tail = nullptr;  // unknown: walk from `parts`
    return topic_core::append_part_after(topic, &tail, text, length, kind);
}

int evt_topic_internalize(evt_topic* topic, const char* literal, uint64_t length) {
    return evt_topic_internalize_displacing(topic, literal, length, nullptr);
}

int evt_topic_internalize_displacing(evt_topic* topic, const char* literal, uint64_t length,
                                     evt_topic** displaced_out) {
    if (displaced_out != nullptr) *displaced_out = nullptr;
    if (topic == nullptr || literal == nullptr) return -1;
    if (TOPIC_INTERNAL_MAP == nullptr) {
        TOPIC_INTERNAL_MAP = byte_map_new(source_of(topic));
        if (TOPIC_INTERNAL_MAP == nullptr) return -1;
    }
    if (length == 0) length = std::strlen(literal);

    // Dropping the old registration releases the key the topic holds; a
    // literal that points into it must be read from a copy.
    char* alias_copy = nullptr;
    const auto at = reinterpret_cast<uintptr_t>(literal);
    const auto key_at = reinterpret_cast<uintptr_t>(topic->key);
    if (topic->key != nullptr && at >= key_at && at <= key_at + topic->key_len) {
        alias_copy = copy_text(topic, literal, length);
        if (alias_copy == nullptr) {
            drop_key(topic);  // like every failure here: the topic ends unregistered
            return -1;
        }
        literal = alias_copy;
    }

    drop_key(topic);

    int result = -1;
    byte_map_entry* entry = nullptr;
    if (TOPIC_INTERNAL_MAP->value_size >= sizeof topic && length != 0) {
        evt_topic* displaced = registered_topic(literal, length);
        if (displaced != nullptr && displaced != topic) detach_displaced(displaced);
        if (displaced_out != nullptr) *displaced_out = displaced;
        if (byte_map_set(TOPIC_INTERNAL_MAP, literal, length, &topic, sizeof topic, &entry) ==
            BYTE_MAP_OK) {
            topic->key = entry->key;
            topic->key_len = entry->key_len;
            topic->hash = entry->hash;
            result = 0;
        }
    }
    c_ap_free(alias_copy);
    return result;
}

char* evt_topic_render_literal(const evt_topic* topic, uint64_t* out_len) {
    if (topic == nullptr) return nullptr;

    // Every addition is checked: the sum feeds an allocation size.
    uint64_t size = 0;
    for (const evt_topic_part_variant* part = topic->parts; part != nullptr; part = part->next) {
        uint64_t body = 0;
        uint64_t delimiters = 2;
        switch (part->ttype) {
            case TOPIC_PART_EXACT: body = part->text_len; delimiters = 0; break;
            case TOPIC_PART_ANY:
            case TOPIC_PART_PATTERN: body = part->text_len; break;
            case TOPIC_PART_RANGE: body = part->literal_len; break;
            default: return nullptr;
        }
        if (part != topic->parts) ++delimiters;  // the '.' before it
        if (body > UINT64_MAX - 1 - delimiters - size) return nullptr;
        size += body + delimiters;
    }

    auto* buffer = static_cast<char*>(c_ap_request(size + 1, source_of(topic)));
    if (buffer == nullptr) return nullptr;
    char* out = buffer;
    for (const evt_topic_part_variant* part = topic->parts; part != nullptr; part = part->next) {
        if (part != topic->parts) *out++ = '.';
        switch (part->ttype) {
            case TOPIC_PART_EXACT:
                std::memcpy(out, part->text, part->text_len);
                out += part->text_len;
                break;
            case TOPIC_PART_ANY:
            case TOPIC_PART_PATTERN: {
                const char open = part->ttype == TOPIC_PART_ANY ? '{' : '/';
                const char close = part->ttype == TOPIC_PART_ANY ? '}' : '/';
                *out++ = open;
                std::memcpy(out, part->text, part->text_len);
                out += part->text_len;
                *out++ = close;
                break;
            }
            case TOPIC_PART_RANGE:
                *out++ = '(';
                for (uint64_t i = 0; i < part->literal_len; ++i)
                    *out++ = part->literal[i] == '\0' ? '|' : part->literal[i];
                *out++ = ')';
                break;
        }
    }
    *out = '\0';
    if (out_len != nullptr) *out_len = size;
    return buffer;
}

int evt_topic_key_privately(evt_topic* topic, const char* literal, uint64_t length) {
    if (topic == nullptr || literal == nullptr || length == 0) return -1;
    char* own = copy_text(topic, literal, length);
    if (own == nullptr) return -1;
    uint64_t hash = 0;
    if (TOPIC_INTERNAL_MAP != nullptr && byte_map_hash(TOPIC_INTERNAL_MAP, own, length, &hash) != BYTE_MAP_OK)
        hash = 0;
    drop_key(topic);
    topic->key = own;
    topic->key_len = length;
    topic->hash = hash;
    topic->key_is_private = 1;
    return 0;
}

int evt_topic_update_literal(evt_topic* topic) {
    uint64_t length = 0;
    char* literal = evt_topic_render_literal(topic, &length);
    if (literal == nullptr) return -1;
    const int result = evt_topic_internalize(topic, literal, length);
    c_ap_free(literal);
    return result;
}

void evt_topic_part_free(evt_topic_part_variant* part) {
    switch (part->ttype) {
        case TOPIC_PART_EXACT:
        case TOPIC_PART_ANY:
        case TOPIC_PART_PATTERN:
            c_ap_free(part->text);
            break;
        case TOPIC_PART_RANGE:
            c_ap_free(part->option_ptr);  // the lengths live in the same block
            c_ap_free(part->literal);
            break;
        default:
            break;
    }
    c_ap_free(part);
}

void evt_topic_clear(evt_topic* topic) {
    if (topic == nullptr) return;
    for (evt_topic_part_variant* part = topic->parts; part != nullptr;) {
        evt_topic_part_variant* next = part->next;
        evt_topic_part_free(part);
        part = next;
    }
    drop_key(topic);
    topic->parts = nullptr;
    topic->n_parts = 0;
    topic->is_exact = 1;
}

void evt_topic_free(evt_topic* topic) {
    if (topic == nullptr) return;
    evt_topic_clear(topic);
    c_ap_free(topic);
}

}  // extern "C"
