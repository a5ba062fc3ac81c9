// The captures of TopicIndex.match_captures: per subscription, what
// TopicMatchResult.captures() gives for the (event, subscription) pair,
// built from the event's segments without a pairwise match.
#include <cstring>
#include <utility>

#include "quenda_loomi/capi/tessaly/index_object.h"
#include "quenda_loomi/capi/tessaly/index_query.h"
#include "quenda_loomi/capi/tessaly/python_calls.h"
#include "quenda_loomi/capi/topic_core/capture_rule.h"

namespace tessaly::index_binding {

using pyutil::Ref;
using topic_capture::Captor;

namespace {

bool same_text(const char* a, uint64_t a_len, const char* b, uint64_t b_len) {
    return a_len == b_len && (a_len == 0 || std::memcmp(a, b, a_len) == 0);
}

PyObject* decoded(const char* text, uint64_t length) {
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(length), "surrogateescape");
}

// The name of a wildcard part as str.  A small direct-mapped cache keyed by
// the part keeps one str per name, so the keys of many results are one
// object whose hash is computed once; a slot is trusted only when its text
// still equals the part's (a released part's address may be reused).
// Borrowed (valid until the next call) or null with an exception set.
PyObject* wildcard_name(TopicIndexObject* self, const evt_topic_part_variant* part) {
    const auto length = static_cast<Py_ssize_t>(part->text_len);
    NameSlot* cached = self->names.slot_for(reinterpret_cast<uintptr_t>(part));
    if (cached == nullptr) return PyErr_NoMemory();
    NameSlot& slot = *cached;
    if (slot.part == part && PyUnicode_IS_COMPACT_ASCII(slot.name) && PyUnicode_GET_LENGTH(slot.name) == length &&
        std::memcmp(PyUnicode_DATA(slot.name), part->text, static_cast<size_t>(length)) == 0)
        return slot.name;
    PyObject* name = decoded(part->text, part->text_len);
    if (name == nullptr) return nullptr;
    python::replace(slot.name, name);  // an exact str: dropping it runs no Python code
    slot.part = part;
    return name;
}

}  // namespace

bool event_segments(const Query& query, FlatVector<EventSegment>* out) {
    if (query.plain()) {
        const char* literal = query.literal();
        TopicTrie::for_each_plain_segment(literal, query.length(), [&](uint64_t offset, uint64_t length) {
            out->push_back(EventSegment{TOPIC_PART_EXACT, literal + offset, length});
        });
    } else {
        for (const evt_topic_part_variant* part = query.record()->parts; part; part = part->next)
            if (part->ttype == TOPIC_PART_RANGE) out->push_back(EventSegment{part->ttype, nullptr, 0});  // no text to capture
            else out->push_back(EventSegment{part->ttype, part->text, part->text_len});
    }
    return out->ok();
}

void drop_names(TopicIndexObject* self) {
    self->names.for_each([](NameSlot& slot) { python::xdrop(slot.name); });
    self->names.release();
}

// The identity shortcut (one record, or equal literals) compares no
// positions, so it captures nothing; two generic parts end the pairwise
// match, so nothing after them is captured.
PyObject* captures_for(TopicIndexObject* self, const Query& query, const FlatVector<EventSegment>& event,
                       const evt_topic* record, FlatVector<PyObject*>* segment_texts) {
    Ref captures(PyDict_New());
    if (!captures) return nullptr;
    if (record == query.record() ||
        (query.length() != 0 && record->key != nullptr && same_text(record->key, record->key_len, query.literal(), query.length())))
        return captures.release();
    const evt_topic_part_variant* part = record->parts;
    for (size_t i = 0; i < event.size() && part != nullptr; ++i, part = part->next) {
        const EventSegment& segment = event[i];
        switch (topic_capture::captor_of(segment.kind, part->ttype)) {
            case Captor::second: {  // the subscription's wildcard names the event's segment
                if ((*segment_texts)[i] == nullptr) {
                    (*segment_texts)[i] = decoded(segment.text, segment.length);
                    if ((*segment_texts)[i] == nullptr) return nullptr;
                }
                PyObject* name = wildcard_name(self, part);
                if (name == nullptr || python::dict_set_text(captures.get(), name, (*segment_texts)[i]) < 0) return nullptr;
                break;
            }
            case Captor::first: {  // the event's wildcard names the subscription's part
                Ref name(decoded(segment.text, segment.length));
                Ref value(decoded(part->text, part->text_len));
                if (!name || !value || python::dict_set_text(captures.get(), name.get(), value.get()) < 0) return nullptr;
                break;
            }
            case Captor::none:
                if (segment.kind != TOPIC_PART_EXACT && part->ttype != TOPIC_PART_EXACT) return captures.release();
                break;
        }
    }
    return captures.release();
}

}  // namespace tessaly::index_binding
