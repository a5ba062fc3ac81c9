// TopicIndex: many (topic, value) subscriptions matched against one event in
// a single native walk.  The trie lives in the topic core; this file holds
// the Python references, the index's compiled pattern expressions, keeps the
// trie in step with records changed in place, and turns the walk's answer
// into Python objects before any Python code can run.
//
// Where Python code runs (python_calls.h), and what is held across it:
//  * pattern search and compile inside a walk (trie hooks): the trie keeps
//    its nodes while a walk runs and reads only its own copy of the event;
//    the expression entry is referenced for the call.
//  * giving compiled expressions back (release_patterns), dropping the
//    references of removed subscriptions, comparing values in remove, the
//    pairwise match of match_results: only after the trie operation ended,
//    with nothing borrowed; what is needed afterwards is referenced first.
// Everything between a walk's end and the references taken on its answer is
// one BorrowedSection.
#include <cstdlib>
#include <cstring>
#include <utility>
#include <new>

#include "quenda_loomi/capi/tessaly/python_calls.h"
#include "quenda_loomi/capi/tessaly/record_lifetime.h"
#include "quenda_loomi/capi/tessaly/tessaly.h"
#include "quenda_loomi/capi/tessaly/value_lookup.h"
#include "quenda_loomi/capi/topic_core/topic_index.h"
#include "support/python/arguments.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace tessaly {

namespace {

using pyutil::Ref;
using topic_index::FlatVector;
using topic_index::Subscription;
using topic_index::TopicTrie;

struct TopicIndexObject {
    PyObject_HEAD
    TopicTrie* trie;
    // Expression entries by text (a str, or bytes for text that is not
    // UTF-8): each is a list [compiled, text], `compiled` being
    // state.not_compiled until a walk or an add compiles it, and None when
    // it never compiles.  Every node or walk using an expression holds a
    // reference to its entry; the entry leaves the dict with its last user.
    PyObject* patterns;
    uint64_t next_seq;
    uint64_t seen_changes;  // watched_change_count() when the trie was last brought up to date
    // The answer buffer of the last match, kept so an event costs no
    // allocation; a match run from inside another takes its own.
    FlatVector<Subscription> spare_answer;
    // Subscriptions by value for remove, per record scanned at length.
    ValueLookup value_lookup;
    // Wildcard names as str by part, for the captures (see wildcard_name).
    struct NameSlot* names;
    // Answers of compiled expressions for short segments (see hook_test).
    struct SearchSlot* searches;
    PyObject* weakreflist;
};

struct NameSlot {
    const evt_topic_part_variant* part;
    PyObject* name;  // an exact str
};
constexpr size_t kNameSlots = 1024;

// One remembered answer of an expression entry (by its serial number) for a
// segment short enough to be kept in the slot.
struct SearchSlot {
    static constexpr size_t kMaxText = 20;
    uint64_t serial;  // 0: empty
    uint32_t length;
    int32_t answer;
    char text[kMaxText];
};
constexpr size_t kSearchSlots = 1024;

TopicIndexObject* as_index(PyObject* object) { return reinterpret_cast<TopicIndexObject*>(object); }

constexpr const char* kChangedWhileMatched = "A topic changed while it was being matched";

// ---- Expression entries and the trie's hooks ------------------------------------

// The entry for `expression`, made (not compiled) when missing: a list
// [compiled, text, serial number].  Runs no Python code.  New reference, or
// null on exhausted memory.
PyObject* expression_entry(PyObject* patterns, const char* expression) {
    Ref key(PyUnicode_FromString(expression));
    if (!key) {
        // Not UTF-8: `re` cannot take it, so it never matches.
        PyErr_Clear();
        key = Ref(PyBytes_FromString(expression));
        if (!key) return nullptr;
    }
    PyObject* entry = PyDict_GetItemWithError(patterns, key.get());  // python-call-ok: str or bytes keys only
    if (entry != nullptr) return Py_NewRef(entry);
    if (PyErr_Occurred()) return nullptr;
    Ref serial(PyLong_FromUnsignedLongLong(++state.last_expression_serial));
    Ref fresh(serial ? PyList_New(3) : nullptr);
    if (!fresh) return nullptr;
    PyList_SET_ITEM(fresh.get(), 0, Py_NewRef(PyUnicode_Check(key.get()) ? state.not_compiled : Py_None));
    PyList_SET_ITEM(fresh.get(), 1, key.release());
    PyList_SET_ITEM(fresh.get(), 2, serial.release());
    if (PyDict_SetItem(patterns, PyList_GET_ITEM(fresh.get(), 1), fresh.get()) < 0) return nullptr;
    return fresh.release();
}

// Compiles an entry not compiled yet.  0 when it holds a compiled object or
// None (a genuine re.error: never matches) afterwards; -1 with the error of
// any other failure (RecursionError, KeyboardInterrupt, MemoryError, ...),
// which is not remembered, so a later use tries again.
int compile_entry(PyObject* entry, const char* site) {
    if (PyList_GET_ITEM(entry, 0) != state.not_compiled) return 0;
    python::Held held(site, Py_NewRef(entry));  // Python code below may drop the entry's other users
    PyObject* args[] = {state.re_module, PyList_GET_ITEM(entry, 1)};
    Ref compiled(python::call_method(site, state.str_compile, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET));
    if (!compiled) {
        if (!PyErr_ExceptionMatches(state.re_error)) return -1;
        PyErr_Clear();
        compiled = Ref::borrow(Py_None);
    }
    // Compiling again from inside the call may have filled it already: keep the first.
    if (PyList_GET_ITEM(entry, 0) == state.not_compiled)
        PyList_SetItem(entry, 0, compiled.release());  // drops the sentinel, ours: no Python code
    return 0;
}

void* hook_prepare(const char* expression, void* context) {
    PyObject* entry = expression_entry(static_cast<TopicIndexObject*>(context)->patterns, expression);
    if (entry == nullptr) PyErr_Clear();  // the trie reports the exhausted memory
    return entry;
}

void hook_release(void* prepared, void* context) {
    auto* entry = static_cast<PyObject*>(prepared);
    PyObject* pending = PyErr_GetRaisedException();  // also used on the way out of a failed add
    PyObject* patterns = static_cast<TopicIndexObject*>(context)->patterns;
    if (Py_REFCNT(entry) == 2 && PyDict_DelItem(patterns, PyList_GET_ITEM(entry, 1)) < 0)
        PyErr_Clear();
    python::release("TopicIndex: compiled expression given back", entry);
    PyErr_SetRaisedException(pending);
}

// Searches a compiled expression; 1 when found.  Every Python error counts
// as no match, as in Topic.match.
int search_compiled(PyObject* compiled, const char* segment) {
    Ref text(PyUnicode_FromString(segment));
    if (!text) {
        PyErr_Clear();
        return 0;
    }
    PyObject* args[] = {compiled, text.get()};
    Ref found(python::call_method("TopicIndex: pattern search", state.str_search, args,
                                  2 | PY_VECTORCALL_ARGUMENTS_OFFSET));
    if (!found) {
        PyErr_Clear();
        return 0;
    }
    return found.get() != Py_None;
}

// 1 when the expression is found anywhere in the segment.  An entry that
// failed to compile for a passing reason is compiled again next time.  The
// answers of a genuine re.Pattern (a pure function of the segment, running
// no Python code) are remembered for short segments: events repeat a few
// values at a position (buy, sell), and a search call costs more than the
// rest of the walk.
int hook_test(void* prepared, const char* segment, void* context) {
    auto* self = static_cast<TopicIndexObject*>(context);
    auto* entry = static_cast<PyObject*>(prepared);
    python::Held held("TopicIndex: pattern entry after a search", Py_NewRef(entry));
    if (compile_entry(entry, "TopicIndex: pattern compiled in a walk") < 0) {
        PyErr_Clear();
        return 0;
    }
    Ref compiled = Ref::borrow(PyList_GET_ITEM(entry, 0));
    if (compiled.get() == Py_None) return 0;
    const size_t length = std::strlen(segment);
    if (!Py_IS_TYPE(compiled.get(), state.re_pattern_type) || length > SearchSlot::kMaxText)
        return search_compiled(compiled.get(), segment);
    if (self->searches == nullptr) {
        self->searches = static_cast<SearchSlot*>(PyMem_Calloc(kSearchSlots, sizeof(SearchSlot)));
        if (self->searches == nullptr) return search_compiled(compiled.get(), segment);
    }
    const uint64_t serial = PyLong_AsUnsignedLongLong(PyList_GET_ITEM(entry, 2));
    SearchSlot& slot = self->searches[XXH3_64bits_withSeed(segment, length, serial) & (kSearchSlots - 1)];
    if (slot.serial == serial && slot.length == length && std::memcmp(slot.text, segment, length) == 0)
        return slot.answer;
    const int answer = search_compiled(compiled.get(), segment);
    slot.serial = serial;
    slot.length = static_cast<uint32_t>(length);
    slot.answer = answer;
    std::memcpy(slot.text, segment, length);
    return answer;
}

// Gives back what the trie let go of.  Runs Python code: call only with
// nothing borrowed.
void release_patterns(TopicIndexObject* self) {
    if (self->trie != nullptr && self->trie->has_released_patterns()) self->trie->release_patterns();
}

// Compiles every pattern expression of `record` now, so that add reports a
// failure to compile that is not the expression's own fault.  The entries
// are kept referenced by `held` so the trie finds them compiled.
bool compile_patterns_of(TopicIndexObject* self, const evt_topic* record, FlatVector<PyObject*>* held) {
    {
        BorrowedSection reading("TopicIndex.add: reading pattern parts");
        for (const evt_topic_part_variant* part = record->parts; part; part = part->next) {
            if (part->ttype != TOPIC_PART_PATTERN || part->text == nullptr) continue;
            PyObject* entry = expression_entry(self->patterns, part->text);
            if (entry == nullptr) return false;
            if (!held->push_back(entry)) {
                Py_DECREF(entry);  // still in the dict: no finalizer runs
                PyErr_NoMemory();
                return false;
            }
        }
    }
    for (PyObject* entry : *held)
        if (compile_entry(entry, "TopicIndex.add: pattern compiled") < 0) return false;
    return true;
}

// ---- Events and topics given to the index ---------------------------------------

// TypeError naming an argument that is neither a Topic nor a str; null.
PyObject* not_topic_or_str(PyObject* argument, const char* name) {
    return PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected Topic or str, got %.200s)", name,
                        Py_TYPE(argument)->tp_name);
}

// What a method was given as an event or topic: a Topic, or a str read the
// way Topic(str) reads it, but without registering anything: an exact
// literal is walked from its text, any other is parsed into a private
// record that is freed afterwards.
class Query {
public:
    Query() = default;
    ~Query() {
        if (private_record_ != nullptr) evt_topic_free(private_record_);
    }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    // False with TypeError / MemoryError set.
    bool read(PyObject* argument, const char* name) {
        if (PyObject_TypeCheck(argument, state.Topic)) {
            record_ = as_topic(argument)->header;
            if (record_ == nullptr) return not_initialized(), false;
            topic_ = Ref::borrow(argument);
            literal_ = record_->key;
            length_ = record_->key != nullptr ? record_->key_len : 0;
            return true;
        }
        if (!PyUnicode_CheckExact(argument)) return not_topic_or_str(argument, name), false;
        text_ = Ref::borrow(argument);
        Py_ssize_t size = 0;
        literal_ = PyUnicode_AsUTF8AndSize(argument, &size);
        if (literal_ == nullptr) return false;
        length_ = static_cast<uint64_t>(size);
        if (TopicTrie::is_plain_literal(literal_, length_)) return true;
        // Parsed as Topic(str) parses: a literal that does not parse is the
        // same error here.
        private_record_ = evt_topic_new(nullptr, 0, heap_allocator());
        if (private_record_ == nullptr) return PyErr_NoMemory(), false;
        if (evt_topic_parse(private_record_, literal_, length_) != 0) {
            PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory!");
            return false;
        }
        record_ = private_record_;
        return true;
    }

    // Null for a plain literal given as str.
    evt_topic* record() const { return record_; }
    // The records held that the identity shortcut pairs with what was given.
    void records_like(const TopicTrie& trie, FlatVector<evt_topic*>* out) const {
        if (topic_) trie.records_like(record_, out);
        else trie.records_like_literal(literal_, length_, out);  // no record of ours is ever held
    }
    bool plain() const { return record_ == nullptr; }
    const char* literal() const { return literal_; }
    uint64_t length() const { return length_; }

    // The Topic a match result reads: the given one, or for a str a new,
    // unregistered Topic that owns the private parse (made now for a plain
    // literal) with the literal as its private key.  The query's record
    // stays readable while that Topic lives.  New reference or null.
    PyObject* as_topic_object() {
        if (topic_) return Py_NewRef(topic_.get());
        evt_topic* record = private_record_ ? private_record_ : evt_topic_new(nullptr, 0, heap_allocator());
        if (record == nullptr) return PyErr_NoMemory();
        if (private_record_ == nullptr && length_ != 0 && evt_topic_parse(record, literal_, length_) != 0) {
            evt_topic_free(record);
            return pyutil::fail(PyExc_MemoryError, "Failed to allocate memory!");
        }
        private_record_ = record;  // freed with the query unless the Topic takes it
        if (length_ != 0 && evt_topic_key_privately(record, literal_, length_) != 0) return PyErr_NoMemory();
        PyObject* topic = topic_from_header(record, 1);
        if (topic != nullptr) private_record_ = nullptr;
        return topic;
    }

private:
    Ref topic_;
    Ref text_;
    evt_topic* record_ = nullptr;
    evt_topic* private_record_ = nullptr;  // only this query reaches it
    const char* literal_ = nullptr;
    uint64_t length_ = 0;
};

// ---- Keeping the trie in step ----------------------------------------------------

// The held records that changed since the watch count was `since`: read from
// the lifetime unit's change log while it still covers the interval, else
// found by checking every record held.
bool changed_since(TopicTrie* trie, uint64_t since, FlatVector<evt_topic*>* changed) {
    const uint64_t now = watched_change_count();
    bool logged = now - since <= tessaly::kWatchedChangeLog;
    FlatVector<const evt_topic*> candidates;
    for (uint64_t count = since + 1; logged && count <= now; ++count) {
        const evt_topic* record = watched_change_record(count);
        logged = record != nullptr && candidates.push_back(record);
    }
    if (logged) trie->changed_among(record_generation, candidates.data(), candidates.size(), changed);
    else trie->changed_records(record_generation, changed);
    return changed->ok();
}

// Re-files the subscriptions of records whose parts or literal changed.
// Runs no Python code: expressions met on the way are compiled by the walk
// that first needs them.
bool bring_up_to_date(TopicIndexObject* self) {
    const uint64_t seen = watched_change_count();
    if (seen == self->seen_changes && self->trie->waiting_count() == 0) return true;
    BorrowedSection refiling("TopicIndex: re-filing changed topics");
    FlatVector<evt_topic*> changed;
    if (!changed_since(self->trie, self->seen_changes, &changed) ||
        !self->trie->refile(record_generation, changed.data(), changed.size())) {
        PyErr_NoMemory();
        return false;
    }
    self->seen_changes = seen;
    return true;
}

// Runs the walk for `query` into `out`.  False with an exception set.  The
// answer's pointers are borrowed: the caller references what it keeps
// before anything runs Python code.
bool walk(TopicIndexObject* self, const Query& query, FlatVector<Subscription>* out) {
    if (!bring_up_to_date(self)) return false;
    const bool answered = query.plain()
                              ? self->trie->match_plain(query.literal(), query.length(), out)
                              : self->trie->match(query.record(), query.literal(), query.length(), out);
    if (!answered) PyErr_NoMemory();
    return answered;
}

// ---- Captures ------------------------------------------------------------------

struct EventSegment {
    int32_t kind;
    const char* text;
    uint64_t length;
};

// The event's parts as the captures read them: the record's chain, or the
// plain literal split at its separators.
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

bool same_text(const char* a, uint64_t a_len, const char* b, uint64_t b_len) {
    return a_len == b_len && (a_len == 0 || std::memcmp(a, b, a_len) == 0);
}

// The name of a wildcard part as str.  A small direct-mapped cache keyed by
// the part keeps one str per name, so the keys of many results are one
// object whose hash is computed once; a slot is trusted only when its text
// still equals the part's (a released part's address may be reused).
// Borrowed (valid until the next call) or null with an exception set.
PyObject* wildcard_name(TopicIndexObject* self, const evt_topic_part_variant* part) {
    const auto length = static_cast<Py_ssize_t>(part->text_len);
    if (self->names == nullptr) {
        self->names = static_cast<NameSlot*>(PyMem_Calloc(kNameSlots, sizeof(NameSlot)));
        if (self->names == nullptr) return PyErr_NoMemory();
    }
    const auto bits = reinterpret_cast<uintptr_t>(part);
    NameSlot& slot = self->names[(bits >> 4 ^ bits >> 14) & (kNameSlots - 1)];
    if (slot.part == part && PyUnicode_IS_COMPACT_ASCII(slot.name) && PyUnicode_GET_LENGTH(slot.name) == length &&
        std::memcmp(PyUnicode_DATA(slot.name), part->text, static_cast<size_t>(length)) == 0)
        return slot.name;
    PyObject* name = PyUnicode_DecodeUTF8(part->text, length, "surrogateescape");
    if (name == nullptr) return nullptr;
    Py_XSETREF(slot.name, name);  // an exact str: dropping it runs no Python code
    slot.part = part;
    return name;
}

void drop_names(TopicIndexObject* self) {
    if (self->names == nullptr) return;
    for (size_t i = 0; i < kNameSlots; ++i) Py_XDECREF(self->names[i].name);
    PyMem_Free(std::exchange(self->names, nullptr));
}

// The wildcard values of one subscription for the event, as
// TopicMatchResult.captures() gives them for the pair: a named wildcard on
// one side facing an exact part on the other maps its name to that part's
// text.  The identity shortcut (one record, or equal literals) compares no
// positions, so it captures nothing.  `segment_texts` caches the event's
// segment strings by position.  New reference or null.  Runs no Python code.
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
        if (segment.kind == TOPIC_PART_EXACT && part->ttype == TOPIC_PART_ANY) {
            if ((*segment_texts)[i] == nullptr) {
                (*segment_texts)[i] =
                    PyUnicode_DecodeUTF8(segment.text, static_cast<Py_ssize_t>(segment.length), "surrogateescape");
                if ((*segment_texts)[i] == nullptr) return nullptr;
            }
            PyObject* name = wildcard_name(self, part);
            if (name == nullptr || PyDict_SetItem(captures.get(), name, (*segment_texts)[i]) < 0) return nullptr;
        } else if (segment.kind == TOPIC_PART_ANY && part->ttype == TOPIC_PART_EXACT) {
            Ref name(PyUnicode_DecodeUTF8(segment.text, static_cast<Py_ssize_t>(segment.length), "surrogateescape"));
            Ref value(PyUnicode_DecodeUTF8(part->text, static_cast<Py_ssize_t>(part->text_len), "surrogateescape"));
            if (!name || !value || PyDict_SetItem(captures.get(), name.get(), value.get()) < 0) return nullptr;
        } else if (segment.kind != TOPIC_PART_EXACT && part->ttype != TOPIC_PART_EXACT) {
            break;  // two generic parts never match: the pairwise match stops here
        }
    }
    return captures.release();
}

// ---- Methods ----------------------------------------------------------------------

PyObject* index_add(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"topic", "value"};
    PyObject* given[2] = {};
    if (!pyutil::unpack_arguments("add", args, nargs, kwnames, names, 2, 2, given)) return nullptr;
    TopicIndexObject* self = as_index(object);
    Ref keep_self = Ref::borrow(object);
    Ref topic;
    if (PyObject_TypeCheck(given[0], state.Topic)) {
        if (as_topic(given[0])->header == nullptr) return not_initialized();
        topic = Ref::borrow(given[0]);
    } else if (PyUnicode_CheckExact(given[0])) {
        // A subscription is a topic of its own: registered as Topic(str) is.
        topic = Ref(python::call("TopicIndex.add: Topic(str)", reinterpret_cast<PyObject*>(state.Topic), &given[0],
                                 1, nullptr));
        if (!topic) return nullptr;
        if (as_topic(topic.get())->header == nullptr) return not_initialized();
    } else {
        return not_topic_or_str(given[0], "topic");
    }
    Ref value = Ref::borrow(given[1]);

    // Compiling runs Python code; the entries stay referenced until the
    // subscription is filed, so its nodes find them compiled.
    struct HeldEntries {
        TopicIndexObject* self;
        FlatVector<PyObject*> entries;
        ~HeldEntries() {  // an entry no node took leaves the table again
            for (PyObject* entry : entries) hook_release(entry, self);
        }
    } held{self, {}};
    if (!compile_patterns_of(self, as_topic(topic.get())->header, &held.entries)) return nullptr;
    if (!bring_up_to_date(self)) return nullptr;
    {
        BorrowedSection filing("TopicIndex.add: filing");
        evt_topic* record = as_topic(topic.get())->header;
        if (record == nullptr) return not_initialized();
        record_watch(record);
        const Subscription subscription{self->next_seq, record, topic.get(), value.get()};
        if (!self->trie->insert(subscription, record_generation(record))) {
            record_unwatch(record);
            PyErr_NoMemory();
        } else {
            ++self->next_seq;
            self->value_lookup.filed(subscription);
            topic.release();  // the trie holds both references now
            value.release();
        }
    }
    release_patterns(self);
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

PyObject* index_remove(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"topic", "value"};
    PyObject* given[2] = {};
    if (!pyutil::unpack_arguments("remove", args, nargs, kwnames, names, 2, 2, given)) return nullptr;
    TopicIndexObject* self = as_index(object);
    Ref keep_self = Ref::borrow(object);
    Ref wanted = Ref::borrow(given[1]);
    Query query;
    if (!query.read(given[0], "topic") || !bring_up_to_date(self)) return nullptr;

    // Candidates in sequence order, one at a time: each comparison runs
    // Python code that may add or remove subscriptions, so the next one is
    // looked up afresh after it (from the sequence number reached).  A scan
    // that runs long indexes the records it walks by value: from then on a
    // plain value (int, str, ...) is found in one probe.
    constexpr int kComparesBeforeIndexing = 32;
    uint64_t from_seq = 0;
    int compared = 0;
    bool lookup_usable = true;
    for (;;) {
        Subscription candidate{};
        PyObject* value = nullptr;
        bool decided = false;  // equal without comparing: the lookup found it
        {
            BorrowedSection finding("TopicIndex.remove: next candidate");
            FlatVector<evt_topic*> records;
            query.records_like(*self->trie, &records);
            if (!records.ok()) return PyErr_NoMemory();
            if (compared == kComparesBeforeIndexing)
                for (evt_topic* record : records) self->value_lookup.index_record(*self->trie, record);
            bool known = lookup_usable && ValueLookup::plain_value(wanted.get());
            bool found = false;
            for (size_t i = 0; known && i < records.size(); ++i) {
                Subscription earliest{};
                switch (self->value_lookup.earliest(records[i], wanted.get(), &earliest)) {
                    case ValueLookup::Answer::unknown:
                        known = false;
                        break;
                    case ValueLookup::Answer::found:
                        if (!found || earliest.seq < candidate.seq) candidate = earliest;
                        found = true;
                        break;
                    case ValueLookup::Answer::none:
                        break;
                }
            }
            if (known) {
                if (!found) break;
                decided = true;
            } else {
                for (evt_topic* record : records) {
                    Subscription next{};
                    if (self->trie->next_of(record, from_seq, &next) && (!found || next.seq < candidate.seq)) {
                        candidate = next;
                        found = true;
                    }
                }
                if (!found) break;
                value = Py_NewRef(static_cast<PyObject*>(candidate.value));
            }
        }
        if (!decided) {
            const int equal = python::compare("TopicIndex.remove: value comparison", value, wanted.get(), Py_EQ);
            python::release("TopicIndex.remove: candidate value", value);
            if (equal < 0) return nullptr;
            ++compared;
            from_seq = candidate.seq + 1;
            if (!equal) continue;
        }
        Subscription removed{};
        {
            BorrowedSection erasing("TopicIndex.remove: erasing");
            // The comparison may have removed it already: then the next one.
            // (The lookup mirrors the trie, so its answers are always held;
            // should one not be, this call compares instead of looping.)
            if (!self->trie->erase(candidate.record, candidate.seq, &removed)) {
                lookup_usable = lookup_usable && !decided;
                continue;
            }
            self->value_lookup.removed(removed);
            record_unwatch(removed.record);
        }
        python::release("TopicIndex.remove: removed topic", static_cast<PyObject*>(removed.topic));
        python::release("TopicIndex.remove: removed value", static_cast<PyObject*>(removed.value));
        release_patterns(self);
        Py_RETURN_TRUE;
    }
    Py_RETURN_FALSE;
}

constexpr size_t kKeptAnswerCapacity = 8192;  // an occasional huge answer is not kept

// The answer buffer for one walk: the index's spare one unless a walk from
// inside another took it.
struct AnswerBuffer {
    explicit AnswerBuffer(TopicIndexObject* self) : self(self) { items.swap(self->spare_answer); }
    ~AnswerBuffer() {
        items.clear();
        if (self->spare_answer.capacity() < items.capacity() && items.capacity() <= kKeptAnswerCapacity)
            items.swap(self->spare_answer);
    }
    TopicIndexObject* self;
    FlatVector<Subscription> items;
};

PyObject* index_match(PyObject* object, PyObject* event) {
    TopicIndexObject* self = as_index(object);
    Ref keep_self = Ref::borrow(object);
    Query query;
    if (!query.read(event, "event")) return nullptr;
    AnswerBuffer found(self);
    if (!walk(self, query, &found.items)) return nullptr;
    PyObject* result;
    {
        BorrowedSection answering("TopicIndex.match: answer");
        result = PyList_New(static_cast<Py_ssize_t>(found.items.size()));
        if (result != nullptr)
            for (size_t i = 0; i < found.items.size(); ++i)
                PyList_SET_ITEM(result, static_cast<Py_ssize_t>(i),
                                Py_NewRef(static_cast<PyObject*>(found.items[i].value)));
    }
    release_patterns(self);
    return result;
}

PyObject* index_match_captures(PyObject* object, PyObject* event) {
    TopicIndexObject* self = as_index(object);
    Ref keep_self = Ref::borrow(object);
    Query query;
    if (!query.read(event, "event")) return nullptr;
    // A Topic event is read again after the walk, which can run Python code.
    RecordPin pinned(query.plain() ? nullptr : query.record());
    const uint64_t generation = record_generation(query.record());
    AnswerBuffer found(self);
    if (!walk(self, query, &found.items)) return nullptr;
    Ref result;
    {
        BorrowedSection answering("TopicIndex.match_captures: answer");
        if (record_generation(query.record()) != generation) {
            PyErr_SetString(PyExc_RuntimeError, kChangedWhileMatched);
        } else {
            FlatVector<EventSegment> segments;
            FlatVector<PyObject*> segment_texts;
            if (!event_segments(query, &segments) || !segment_texts.resize(segments.size())) {
                PyErr_NoMemory();
            } else {
                result = Ref(PyList_New(static_cast<Py_ssize_t>(found.items.size())));
                for (size_t i = 0; result && i < found.items.size(); ++i) {
                    const Subscription& subscription = found.items[i];
                    PyObject* captures = captures_for(self, query, segments, subscription.record, &segment_texts);
                    PyObject* pair = captures ? PyTuple_New(2) : nullptr;
                    if (pair == nullptr) {
                        Py_XDECREF(captures);  // a dict of str: no finalizer
                        result.reset();
                        break;
                    }
                    PyTuple_SET_ITEM(pair, 0, Py_NewRef(static_cast<PyObject*>(subscription.value)));
                    PyTuple_SET_ITEM(pair, 1, captures);
                    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), pair);
                }
            }
            for (PyObject* text : segment_texts) Py_XDECREF(text);  // str: no finalizer
        }
    }
    release_patterns(self);
    return result.release();
}

PyObject* index_match_results(PyObject* object, PyObject* event) {
    TopicIndexObject* self = as_index(object);
    Ref keep_self = Ref::borrow(object);
    Query query;
    if (!query.read(event, "event")) return nullptr;
    Ref event_topic(query.as_topic_object());
    if (!event_topic) return nullptr;
    // Referenced before anything runs Python code: the pairwise matches
    // below may change or drop subscriptions.
    struct Snapshot {
        FlatVector<Subscription> items;
        ~Snapshot() {
            for (const Subscription& subscription : items) {
                python::release("TopicIndex.match_results: topic", static_cast<PyObject*>(subscription.topic));
                python::release("TopicIndex.match_results: value", static_cast<PyObject*>(subscription.value));
            }
        }
    } found;
    {
        AnswerBuffer answer(self);
        if (!walk(self, query, &answer.items)) return nullptr;
        BorrowedSection referencing("TopicIndex.match_results: snapshot");
        if (!found.items.assign(answer.items.begin(), answer.items.end())) return PyErr_NoMemory();
        for (const Subscription& subscription : found.items) {
            Py_INCREF(static_cast<PyObject*>(subscription.topic));
            Py_INCREF(static_cast<PyObject*>(subscription.value));
        }
    }
    release_patterns(self);
    Ref result(PyList_New(0));
    if (!result) return nullptr;
    for (const Subscription& subscription : found.items) {
        python::entering_python("TopicIndex.match_results: pairwise match");
        Ref outcome(topic_vt_match(as_topic(event_topic.get()), static_cast<PyObject*>(subscription.topic), 1));
        if (!outcome) return nullptr;
        const int truth = python::truth("TopicIndex.match_results: result truth", outcome.get());
        if (truth < 0) return nullptr;
        if (!truth) continue;  // the pair changed while earlier results were built
        Ref pair(PyTuple_Pack(2, static_cast<PyObject*>(subscription.value), outcome.get()));
        if (!pair || PyList_Append(result.get(), pair.get()) < 0) return nullptr;
    }
    return result.release();
}

// Takes every subscription out; the references go only once the trie is
// consistent, since releasing them can run any Python code.
void clear_subscriptions(TopicIndexObject* self) {
    if (self->trie == nullptr) return;
    FlatVector<Subscription> taken;
    {
        BorrowedSection taking("TopicIndex.clear: taking subscriptions");
        self->trie->take_all(&taken);
        // Out of memory before anything was taken: the references stay held.
        if (!taken.ok()) return;
        self->value_lookup.cleared();
        for (const Subscription& subscription : taken) record_unwatch(subscription.record);
    }
    for (const Subscription& subscription : taken) {
        python::release("TopicIndex.clear: topic", static_cast<PyObject*>(subscription.topic));
        python::release("TopicIndex.clear: value", static_cast<PyObject*>(subscription.value));
    }
    release_patterns(self);
}

PyObject* index_clear(PyObject* object, PyObject*) {
    Ref keep_self = Ref::borrow(object);
    clear_subscriptions(as_index(object));
    Py_RETURN_NONE;
}

PyObject* index_sizeof(PyObject* object, PyObject*) {
    const TopicIndexObject* self = as_index(object);
    const uint64_t native = self->trie ? self->trie->bytes_held() : 0;
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(Py_TYPE(object)->tp_basicsize) + native);
}

PyObject* index_node_count(PyObject* object, void*) {
    const TopicIndexObject* self = as_index(object);
    return PyLong_FromUnsignedLongLong(self->trie ? self->trie->node_count() : 0);
}

// ---- Slots ----------------------------------------------------------------------

Py_ssize_t index_length(PyObject* object) {
    return static_cast<Py_ssize_t>(as_index(object)->trie->size());
}

int index_contains(PyObject* object, PyObject* key) {
    TopicIndexObject* self = as_index(object);
    Query query;
    if (!query.read(key, "topic") || !bring_up_to_date(self)) return -1;
    BorrowedSection looking("TopicIndex.__contains__");
    FlatVector<evt_topic*> records;
    query.records_like(*self->trie, &records);
    return records.empty() ? 0 : 1;  // a partial list still answers "held"
}

PyObject* index_iter(PyObject* object) {
    TopicIndexObject* self = as_index(object);
    Ref pairs;
    {
        BorrowedSection listing("TopicIndex.__iter__: snapshot");
        FlatVector<Subscription> all;
        self->trie->all(&all);
        if (!all.ok()) return PyErr_NoMemory();
        pairs = Ref(PyList_New(static_cast<Py_ssize_t>(all.size())));
        for (size_t i = 0; pairs && i < all.size(); ++i) {
            PyObject* pair = PyTuple_Pack(2, static_cast<PyObject*>(all[i].topic), static_cast<PyObject*>(all[i].value));
            if (pair == nullptr) pairs.reset();  // tuples of values the index still holds: nothing is finalized
            else PyList_SET_ITEM(pairs.get(), static_cast<Py_ssize_t>(i), pair);
        }
    }
    if (!pairs) return nullptr;
    return PyObject_GetIter(pairs.get());  // python-call-ok: a list of ours
}

PyObject* index_repr(PyObject* object) {
    Ref name(PyType_GetName(Py_TYPE(object)));
    if (!name) return nullptr;
    return PyUnicode_FromFormat("<%U with %zd subscriptions>", name.get(), index_length(object));
}

PyObject* index_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref object(type->tp_alloc(type, 0));
    if (!object) return nullptr;
    TopicIndexObject* self = as_index(object.get());
    ::new (&self->spare_answer) FlatVector<Subscription>();
    ::new (&self->value_lookup) ValueLookup();
    self->patterns = PyDict_New();
    if (self->patterns == nullptr) return nullptr;
    void* block = std::malloc(sizeof(TopicTrie));
    if (block == nullptr) return PyErr_NoMemory();
    self->trie = ::new (block)
        TopicTrie(heap_allocator(), topic_index::PatternHooks{hook_prepare, hook_test, hook_release, self});
    if (!self->trie->valid()) return PyErr_NoMemory();
    self->seen_changes = watched_change_count();
    return object.release();
}

int index_init(PyObject*, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "TopicIndex() takes no arguments");
        return -1;
    }
    return 0;
}

struct Visitor {
    visitproc visit;
    void* arg;
};

int visit_references(const Subscription& subscription, void* arg) {
    auto* visitor = static_cast<Visitor*>(arg);
    if (int result = visitor->visit(static_cast<PyObject*>(subscription.topic), visitor->arg)) return result;
    return visitor->visit(static_cast<PyObject*>(subscription.value), visitor->arg);
}

int visit_entry(void* prepared, void* arg) {
    auto* visitor = static_cast<Visitor*>(arg);
    return visitor->visit(static_cast<PyObject*>(prepared), visitor->arg);
}

int index_traverse(PyObject* object, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(object));
    TopicIndexObject* self = as_index(object);
    // The expression entries hold compiled objects, which a cycle can run
    // through: the table holds one reference to each, every node using one
    // another.
    Py_VISIT(self->patterns);
    if (self->trie == nullptr) return 0;
    Visitor visitor{visit, arg};
    if (int result = self->trie->visit_patterns(visit_entry, &visitor)) return result;
    return self->trie->visit_all(visit_references, &visitor);
}

int index_tp_clear(PyObject* object) {
    clear_subscriptions(as_index(object));
    return 0;
}

void index_dealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    PyObject_GC_UnTrack(object);
    TopicIndexObject* self = as_index(object);
    if (self->weakreflist != nullptr) PyObject_ClearWeakRefs(object);
    clear_subscriptions(self);
    if (self->trie != nullptr) {
        TopicTrie* trie = std::exchange(self->trie, nullptr);
        trie->~TopicTrie();  // hands back the remaining expression entries last
        std::free(trie);
    }
    drop_names(self);
    PyMem_Free(std::exchange(self->searches, nullptr));
    PyObject* patterns = std::exchange(self->patterns, nullptr);
    python::release("TopicIndex: expression table", patterns);
    self->spare_answer.~FlatVector<Subscription>();
    self->value_lookup.~ValueLookup();
    type->tp_free(object);
    Py_DECREF(type);
}

PyMethodDef index_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_add)), METH_FASTCALL | METH_KEYWORDS,
     "add($self, /, topic, value)\n--\n\nSubscribes value to topic (a Topic or a literal); a pair added twice is held twice."},
    {"remove", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_remove)),
     METH_FASTCALL | METH_KEYWORDS,
     "remove($self, /, topic, value)\n--\n\nRemoves the earliest pair with this topic and a value equal to value; "
     "False when there is none."},
    {"match", index_match, METH_O,
     "match($self, event, /)\n--\n\nValues of every subscription the event matches, in the order they were added."},
    {"match_captures", index_match_captures, METH_O,
     "match_captures($self, event, /)\n--\n\n(value, captures) for every subscription the event matches, in the "
     "order match() gives the values; captures maps each named wildcard to the segment it was matched against."},
    {"match_results", index_match_results, METH_O,
     "match_results($self, event, /)\n--\n\n(value, TopicMatchResult) for every subscription the event matches."},
    {"clear", index_clear, METH_NOARGS, "clear($self, /)\n--\n\nRemoves every subscription."},
    {"__sizeof__", index_sizeof, METH_NOARGS, nullptr},
    NoPickling::reduce,
    NoPickling::reduce_ex,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef index_getset[] = {
    {"_node_count", index_node_count, nullptr, "Trie nodes currently held (diagnostics).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef index_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(TopicIndexObject, weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_init, reinterpret_cast<void*>(index_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(index_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(index_tp_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(index_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(index_iter)},
    {Py_sq_length, reinterpret_cast<void*>(index_length)},
    {Py_sq_contains, reinterpret_cast<void*>(index_contains)},
    {Py_tp_methods, index_methods},
    {Py_tp_getset, index_getset},
    {Py_tp_members, index_members},
    {Py_tp_doc, const_cast<char*>("TopicIndex()\n--\n\nSubscriptions (topic, value) matched against events "
                                  "in one native walk.")},
    {0, nullptr},
};

PyType_Spec index_spec = {
    "quenda_loomi.capi.tessaly.TopicIndex",
    sizeof(TopicIndexObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    index_slots,
};

}  // namespace

int add_topic_index_type(PyObject* module) {
    return publish_type(module, &index_spec, nullptr, &state.TopicIndex);
}

}  // namespace tessaly
