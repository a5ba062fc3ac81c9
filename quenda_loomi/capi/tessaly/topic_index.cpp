// TopicIndex: many (topic, value) subscriptions matched against one event in
// a single native walk.  The trie lives in the topic core; this file holds
// the type and its methods: it keeps the trie in step with records changed
// in place and turns the walk's answer into Python objects before any
// Python code can run.  What its parts share, and where Python code runs,
// is stated in index_object.h.
#include <cstdlib>
#include <utility>
#include <memory>
#include <new>

#include "quenda_loomi/capi/tessaly/index_object.h"
#include "quenda_loomi/capi/tessaly/index_query.h"
#include "quenda_loomi/capi/tessaly/python_calls.h"
#include "quenda_loomi/capi/tessaly/record_lifetime.h"
#include "quenda_loomi/capi/tessaly/tessaly.h"
#include "support/python/arguments.h"

namespace tessaly {

namespace index_binding {
namespace {

using pyutil::Ref;

TopicIndexObject* as_index(PyObject* object) { return reinterpret_cast<TopicIndexObject*>(object); }

constexpr const char* kChangedWhileMatched = "A topic changed while it was being matched";


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
    // Only the pattern hooks run Python code in a walk, and a hook that could
    // not answer leaves its exception set; any other failure is memory.
    if (!answered && !PyErr_Occurred()) PyErr_NoMemory();
    return answered;
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
            for (PyObject* entry : entries) give_back_entry(self, entry);
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
    // that runs long indexes the records it walks by value hash: from then
    // on a plain value (int, str, ...) is compared only with values of its
    // hash, usually one.
    constexpr int kComparesBeforeIndexing = 32;
    uint64_t from_seq = 0;
    int compared = 0;
    for (;;) {
        Subscription candidate{};
        PyObject* value = nullptr;
        bool in_order = false;  // not named by the value lookup
        {
            BorrowedSection finding("TopicIndex.remove: next candidate");
            FlatVector<evt_topic*> records;
            query.records_like(*self->trie, &records);
            if (!records.ok()) return PyErr_NoMemory();
            if (compared == kComparesBeforeIndexing)
                for (evt_topic* record : records) self->value_lookup.index_record(*self->trie, record);
            bool known = ValueLookup::plain_value(wanted.get());
            bool found = false;
            for (size_t i = 0; known && i < records.size(); ++i) {
                Subscription earliest{};
                switch (self->value_lookup.candidate(records[i], wanted.get(), from_seq, &earliest)) {
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
            if (!known) {
                in_order = true;
                found = false;
                for (evt_topic* record : records) {
                    Subscription next{};
                    if (self->trie->next_of(record, from_seq, &next) && (!found || next.seq < candidate.seq)) {
                        candidate = next;
                        found = true;
                    }
                }
            }
            if (!found) break;
            value = Py_NewRef(static_cast<PyObject*>(candidate.value));
        }
        // Outside the section: the comparison can run any Python code (a
        // str against bytes warns under -b), and what it changed is seen by
        // the erase below and the next lookup.
        const int equal = python::compare("TopicIndex.remove: value comparison", value, wanted.get(), Py_EQ);
        python::release("TopicIndex.remove: candidate value", value);
        if (equal < 0) return nullptr;
        if (in_order) ++compared;
        from_seq = candidate.seq + 1;
        if (!equal) continue;
        Subscription removed{};
        {
            BorrowedSection erasing("TopicIndex.remove: erasing");
            // The comparison may have removed it already: then the next one.
            if (!self->trie->erase(candidate.record, candidate.seq, &removed)) continue;
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
                        python::xdrop(captures);  // a dict of str: no finalizer
                        result.reset();
                        break;
                    }
                    PyTuple_SET_ITEM(pair, 0, Py_NewRef(static_cast<PyObject*>(subscription.value)));
                    PyTuple_SET_ITEM(pair, 1, captures);
                    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), pair);
                }
            }
            for (PyObject* text : segment_texts) python::xdrop(text);  // str: no finalizer
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
    return python::get_iter("TopicIndex.__iter__", pairs.get());
}

PyObject* index_repr(PyObject* object) {
    Ref name(PyType_GetName(Py_TYPE(object)));
    if (!name) return nullptr;
    return python::text("<%U with %zd subscriptions>", name.get(), index_length(object));
}

PyObject* index_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref object(type->tp_alloc(type, 0));
    if (!object) return nullptr;
    TopicIndexObject* self = as_index(object.get());
    ::new (&self->spare_answer) FlatVector<Subscription>();
    ::new (&self->value_lookup) ValueLookup();
    ::new (&self->names) decltype(self->names)();
    ::new (&self->searches) decltype(self->searches)();
    self->patterns = PyDict_New();
    if (self->patterns == nullptr) return nullptr;
    void* block = std::malloc(sizeof(TopicTrie));
    if (block == nullptr) return PyErr_NoMemory();
    self->trie = ::new (block) TopicTrie(heap_allocator(), pattern_hooks(self));
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
    if (self->weakreflist != nullptr) python::clear_weakrefs("TopicIndex: weak references", object);
    clear_subscriptions(self);
    if (self->trie != nullptr) {
        TopicTrie* trie = std::exchange(self->trie, nullptr);
        trie->~TopicTrie();  // hands back the remaining expression entries last
        std::free(trie);
    }
    drop_names(self);
    drop_searches(self);
    PyObject* patterns = std::exchange(self->patterns, nullptr);
    python::release("TopicIndex: expression table", patterns);
    self->spare_answer.~FlatVector<Subscription>();
    self->value_lookup.~ValueLookup();
    std::destroy_at(&self->names);
    std::destroy_at(&self->searches);
    type->tp_free(object);
    python::drop(type);
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
}  // namespace index_binding

int add_topic_index_type(PyObject* module) {
    return publish_type(module, &index_binding::index_spec, nullptr, &state.TopicIndex);
}

}  // namespace tessaly
