// TopicIndex: many (topic, value) subscriptions matched against one event in
// a single native walk.  The trie lives in the topic core; this file holds
// the Python references, compiles pattern expressions once per index, keeps
// the trie in step with records changed in place, and turns the walk's
// answer into a snapshot list before any Python code can run.
#include <algorithm>
#include <cstdlib>
#include <new>
#include <span>

#include "quenda_loomi/capi/tessaly/record_lifetime.h"
#include "quenda_loomi/capi/tessaly/tessaly.h"
#include "quenda_loomi/capi/topic_core/topic_index.h"
#include "support/python/arguments.h"

namespace tessaly {

namespace {

using pyutil::Ref;
using topic_index::FlatVector;
using topic_index::Subscription;
using topic_index::TopicTrie;

constexpr const char* kNoReduce = "no default __reduce__ due to non-trivial __cinit__";

struct TopicIndexObject {
    PyObject_HEAD
    TopicTrie* trie;
    // Compiled expressions by text: each entry is a list [compiled or None,
    // text]; a node or an operation using an expression holds a reference to
    // its entry, and the entry leaves the dict with its last user.
    PyObject* patterns;
    uint64_t next_seq;
    uint64_t seen_changes;  // watched_change_count() when the trie was last brought up to date
    // The answer buffer of the last match, kept so an event costs no
    // allocation; a match run from inside another takes its own.
    FlatVector<Subscription> spare_answer;
    PyObject* weakreflist;
};

TopicIndexObject* as_index(PyObject* object) { return reinterpret_cast<TopicIndexObject*>(object); }

PyObject* search_name = nullptr;  // interned "search"

// ---- Pattern hooks ------------------------------------------------------------
//
// Expressions are compiled before the trie is touched (PatternPins), so
// prepare() is a dict lookup with a str key, which runs no Python code, and
// nothing runs while the trie files a subscription.  Only test() runs Python,
// during a walk.

void* hook_prepare(const char* expression, void* context) {
    Ref key(PyUnicode_FromString(expression));
    if (!key) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* entry = PyDict_GetItemWithError(static_cast<PyObject*>(context), key.get());
    if (entry == nullptr) {
        PyErr_Clear();
        return nullptr;  // not compiled beforehand: never matches
    }
    return Py_NewRef(entry);
}

void hook_release(void* prepared, void* context) {
    auto* entry = static_cast<PyObject*>(prepared);
    if (Py_REFCNT(entry) == 2 && PyDict_DelItem(static_cast<PyObject*>(context), PyList_GET_ITEM(entry, 1)) < 0)
        PyErr_Clear();
    Py_DECREF(entry);  // a compiled expression runs no Python code when it goes
}

// 1 when the expression is found anywhere in the segment; every Python error
// counts as no match, as in Topic.match.
int hook_test(void* prepared, const char* segment, void*) {
    PyObject* compiled = PyList_GET_ITEM(static_cast<PyObject*>(prepared), 0);
    if (compiled == Py_None) return 0;
    Ref text(PyUnicode_FromString(segment));
    if (!text) {
        PyErr_Clear();
        return 0;
    }
    PyObject* args[] = {compiled, text.get()};
    Ref found(PyObject_VectorcallMethod(search_name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!found) {
        PyErr_Clear();
        return 0;
    }
    return found.get() != Py_None;
}

// Holds one use of every pattern expression of some records for an
// operation, so the trie finds them compiled; released when it ends.
class PatternPins {
public:
    explicit PatternPins(PyObject* patterns) : patterns_(patterns) {}
    ~PatternPins() {
        for (PyObject* pin : pins_) hook_release(pin, patterns_);
    }
    PatternPins(const PatternPins&) = delete;
    PatternPins& operator=(const PatternPins&) = delete;

    // Compiling runs Python code: the expressions are copied out first.
    bool pin_record(const evt_topic* record) {
        FlatVector<PyObject*> expressions;
        bool ok = true;
        for (const evt_topic_part_variant* part = record->parts; part; part = part->next) {
            if (part->ttype != TOPIC_PART_PATTERN || part->text == nullptr) continue;
            // The key is the expression up to its first NUL, as nodes pass it.
            PyObject* text = PyUnicode_FromString(part->text);
            if (text == nullptr) {  // not UTF-8: never compiles, never matches
                PyErr_Clear();
                continue;
            }
            if (!expressions.push_back(text)) {
                Py_DECREF(text);
                PyErr_NoMemory();
                ok = false;
                break;
            }
        }
        for (PyObject* text : expressions) {
            ok = ok && pin(text);
            Py_DECREF(text);
        }
        return ok;
    }

    // Compiling can run Python code that changes records: pins again until
    // `changes()` (a count that moves with the records that matter) stays
    // put, so the trie never meets an expression that was not compiled.
    template <class Changes>
    bool pin_records_stable(std::span<evt_topic* const> records, Changes changes) {
        for (int attempt = 0; attempt < 16; ++attempt) {
            const uint64_t before = changes();
            for (const evt_topic* record : records)
                if (!pin_record(record)) return false;
            if (changes() == before) return true;
        }
        return true;
    }

private:
    bool pin(PyObject* text) {
        PyObject* entry = PyDict_GetItemWithError(patterns_, text);
        if (entry == nullptr) {
            if (PyErr_Occurred()) return false;
            Ref compiled(PyObject_CallMethod(state.re_module, "compile", "O", text));
            if (!compiled) {
                PyErr_Clear();  // never matches, as in Topic.match
                compiled = Ref::borrow(Py_None);
            }
            Ref fresh(PyList_New(2));
            if (!fresh) return false;
            PyList_SET_ITEM(fresh.get(), 0, compiled.release());
            PyList_SET_ITEM(fresh.get(), 1, Py_NewRef(text));
            // Compiling may have pinned it meanwhile: keep the first one.
            if (PyDict_SetDefaultRef(patterns_, text, fresh.get(), &entry) < 0) return false;
            Py_DECREF(entry);  // the dict holds it
        }
        if (!pins_.push_back(Py_NewRef(entry))) {
            Py_DECREF(entry);
            PyErr_NoMemory();
            return false;
        }
        return true;
    }

    PyObject* patterns_;
    FlatVector<PyObject*> pins_;
};

// ---- Arguments ----------------------------------------------------------------

// A Topic for `argument` (a Topic, or a literal parsed as Topic(str) parses
// it).  New reference, or null with TypeError naming the argument.
PyObject* topic_argument(PyObject* argument, const char* name) {
    if (PyObject_TypeCheck(argument, state.Topic)) {
        if (as_topic(argument)->header == nullptr) return not_initialized();
        return Py_NewRef(argument);
    }
    if (PyUnicode_CheckExact(argument)) {
        Ref topic(PyObject_CallOneArg(reinterpret_cast<PyObject*>(state.Topic), argument));
        if (topic && as_topic(topic.get())->header == nullptr) return not_initialized();
        return topic.release();
    }
    return PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected Topic or str, got %.200s)",
                        name, Py_TYPE(argument)->tp_name);
}

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

// Brings the trie in step with records whose parts or literal changed.
bool bring_up_to_date(TopicIndexObject* self) {
    uint64_t seen = watched_change_count();
    if (seen == self->seen_changes && self->trie->waiting_count() == 0) return true;
    PatternPins pins(self->patterns);
    FlatVector<evt_topic*> changed;
    if (!changed_since(self->trie, self->seen_changes, &changed)) return PyErr_NoMemory(), false;
    for (int attempt = 0; attempt < 16; ++attempt) {
        if (!pins.pin_records_stable({changed.data(), changed.size()}, watched_change_count)) return false;
        if (watched_change_count() == seen) break;
        // More records changed while expressions compiled: take them too.
        const uint64_t before = seen;
        seen = watched_change_count();
        if (!changed_since(self->trie, before, &changed)) return PyErr_NoMemory(), false;
    }
    if (!self->trie->refile(record_generation, changed.data(), changed.size())) {
        PyErr_NoMemory();
        return false;
    }
    self->seen_changes = seen;
    return true;
}

// The subscriptions matched by `event` (a Topic).  With `referenced`, each
// value and topic is referenced for the caller; without, the caller must
// take its references before anything can run Python code.  False with an
// exception set.
bool matched(TopicIndexObject* self, PyObject* event, bool referenced, FlatVector<Subscription>* out) {
    if (!bring_up_to_date(self)) return false;
    PatternPins pins(self->patterns);
    evt_topic* const event_record = as_topic(event)->header;
    if (!pins.pin_records_stable({&event_record, 1}, current_stamp)) return false;
    if (!self->trie->match(as_topic(event)->header, out)) {
        PyErr_NoMemory();
        return false;
    }
    // Nothing has run since the walk ended: reference everything at once.
    if (referenced) {
        for (const Subscription& subscription : *out) {
            Py_INCREF(static_cast<PyObject*>(subscription.value));
            Py_INCREF(static_cast<PyObject*>(subscription.topic));
        }
    }
    return true;
}

void release_subscriptions(const FlatVector<Subscription>& subscriptions) {
    for (const Subscription& subscription : subscriptions) {
        Py_DECREF(static_cast<PyObject*>(subscription.topic));
        Py_DECREF(static_cast<PyObject*>(subscription.value));
    }
}

// Owns the references of a snapshot until the end of scope.
struct SnapshotRefs {
    FlatVector<Subscription> items;
    ~SnapshotRefs() { release_subscriptions(items); }
};

// ---- Methods ----------------------------------------------------------------------

PyObject* index_add(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"topic", "value"};
    PyObject* given[2] = {};
    if (!pyutil::unpack_arguments("add", args, nargs, kwnames, names, 2, 2, given)) return nullptr;
    TopicIndexObject* self = as_index(object);
    Ref topic(topic_argument(given[0], "topic"));
    if (!topic) return nullptr;
    evt_topic* record = as_topic(topic.get())->header;

    // Watched first, so a change made while its patterns compile is seen.
    record_watch(record);
    struct Unwatch {
        evt_topic* record;
        ~Unwatch() { if (record) record_unwatch(record); }
    } unwatch_on_failure{record};
    PatternPins pins(self->patterns);
    pins.pin_records_stable({&record, 1}, watched_change_count);
    const Subscription subscription{self->next_seq, record, topic.get(), given[1]};
    if (!self->trie->insert(subscription, record_generation(record))) return PyErr_NoMemory();
    unwatch_on_failure.record = nullptr;
    ++self->next_seq;
    topic.release();
    Py_INCREF(given[1]);
    Py_RETURN_NONE;
}

PyObject* index_remove(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"topic", "value"};
    PyObject* given[2] = {};
    if (!pyutil::unpack_arguments("remove", args, nargs, kwnames, names, 2, 2, given)) return nullptr;
    TopicIndexObject* self = as_index(object);
    Ref keep_self = Ref::borrow(object);
    Ref topic(topic_argument(given[0], "topic"));
    if (!topic || !bring_up_to_date(self)) return nullptr;

    SnapshotRefs candidates;
    {
        FlatVector<evt_topic*> records;
        self->trie->records_like(as_topic(topic.get())->header, &records);
        for (evt_topic* record : records) self->trie->subscriptions_of(record, &candidates.items);
        if (!records.ok() || !candidates.items.ok()) {
            candidates.items.clear();  // nothing referenced yet
            return PyErr_NoMemory();
        }
        std::sort(candidates.items.begin(), candidates.items.end(),
                  [](const Subscription& a, const Subscription& b) { return a.seq < b.seq; });
        for (const Subscription& subscription : candidates.items) {
            Py_INCREF(static_cast<PyObject*>(subscription.topic));
            Py_INCREF(static_cast<PyObject*>(subscription.value));
        }
    }
    for (const Subscription& candidate : candidates.items) {
        const int equal = PyObject_RichCompareBool(static_cast<PyObject*>(candidate.value), given[1], Py_EQ);
        if (equal < 0) return nullptr;
        if (!equal) continue;
        // __eq__ may have removed it already: then the next candidate.
        Subscription removed{};
        if (!self->trie->erase(candidate.record, candidate.seq, &removed)) continue;
        record_unwatch(removed.record);
        Py_DECREF(static_cast<PyObject*>(removed.topic));
        Py_DECREF(static_cast<PyObject*>(removed.value));
        Py_RETURN_TRUE;
    }
    Py_RETURN_FALSE;
}

PyObject* event_argument(PyObject* event) { return topic_argument(event, "event"); }

PyObject* index_match(PyObject* object, PyObject* event_argument_object) {
    TopicIndexObject* self = as_index(object);
    Ref keep_self = Ref::borrow(object);
    Ref event(event_argument(event_argument_object));
    if (!event) return nullptr;
    FlatVector<Subscription> found;
    found.swap(self->spare_answer);
    if (!matched(self, event.get(), false, &found)) return nullptr;
    // Only a collection could run Python code (and drop a value) before the
    // list references the values: none runs while the list is allocated.
    const int collecting = PyGC_Disable();
    PyObject* result = PyList_New(static_cast<Py_ssize_t>(found.size()));
    if (collecting) PyGC_Enable();
    if (result == nullptr) return nullptr;
    for (size_t i = 0; i < found.size(); ++i)
        PyList_SET_ITEM(result, static_cast<Py_ssize_t>(i), Py_NewRef(static_cast<PyObject*>(found[i].value)));
    found.clear();
    constexpr size_t kKeptAnswerCapacity = 8192;  // an occasional huge answer is not kept
    if (self->spare_answer.capacity() < found.capacity() && found.capacity() <= kKeptAnswerCapacity)
        found.swap(self->spare_answer);
    return result;
}

PyObject* index_match_results(PyObject* object, PyObject* event_argument_object) {
    TopicIndexObject* self = as_index(object);
    Ref keep_self = Ref::borrow(object);
    Ref event(event_argument(event_argument_object));
    if (!event) return nullptr;
    SnapshotRefs found;
    if (!matched(self, event.get(), true, &found.items)) return nullptr;
    Ref result(PyList_New(0));
    if (!result) return nullptr;
    for (const Subscription& subscription : found.items) {
        Ref outcome(topic_vt_match(as_topic(event.get()), static_cast<PyObject*>(subscription.topic), 1));
        if (!outcome) return nullptr;
        const int truth = PyObject_IsTrue(outcome.get());
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
    SnapshotRefs taken;
    self->trie->take_all(&taken.items);
    if (!taken.items.ok()) {
        // Out of memory before anything was taken: the references stay held.
        taken.items.clear();
        return;
    }
    for (const Subscription& subscription : taken.items) record_unwatch(subscription.record);
}

PyObject* index_clear(PyObject* object, PyObject*) {
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

PyObject* refuse_pickling(PyObject*, PyObject*) { return pyutil::fail(PyExc_TypeError, kNoReduce); }

// ---- Slots ----------------------------------------------------------------------

Py_ssize_t index_length(PyObject* object) {
    return static_cast<Py_ssize_t>(as_index(object)->trie->size());
}

int index_contains(PyObject* object, PyObject* key) {
    TopicIndexObject* self = as_index(object);
    Ref topic(topic_argument(key, "topic"));
    if (!topic || !bring_up_to_date(self)) return -1;
    FlatVector<evt_topic*> records;
    self->trie->records_like(as_topic(topic.get())->header, &records);
    return records.empty() ? 0 : 1;  // a partial list still answers "held"
}

PyObject* index_iter(PyObject* object) {
    TopicIndexObject* self = as_index(object);
    FlatVector<Subscription> all;
    self->trie->all(&all);
    if (!all.ok()) return PyErr_NoMemory();
    // Allocating the list and tuples could run a collection, and so Python
    // code that drops subscriptions: none runs until every pair is built.
    const int collecting = PyGC_Disable();
    Ref pairs(PyList_New(static_cast<Py_ssize_t>(all.size())));
    for (size_t i = 0; pairs && i < all.size(); ++i) {
        PyObject* pair = PyTuple_Pack(2, static_cast<PyObject*>(all[i].topic), static_cast<PyObject*>(all[i].value));
        if (pair == nullptr) pairs.reset();
        else PyList_SET_ITEM(pairs.get(), static_cast<Py_ssize_t>(i), pair);
    }
    if (collecting) PyGC_Enable();
    if (!pairs) return nullptr;
    return PyObject_GetIter(pairs.get());
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
    self->patterns = PyDict_New();
    if (self->patterns == nullptr) return nullptr;
    void* block = std::malloc(sizeof(TopicTrie));
    if (block == nullptr) return PyErr_NoMemory();
    self->trie = ::new (block)
        TopicTrie(heap_allocator(), topic_index::PatternHooks{hook_prepare, hook_test, hook_release, self->patterns});
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

int index_traverse(PyObject* object, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(object));
    TopicIndexObject* self = as_index(object);
    if (self->trie == nullptr) return 0;
    Visitor visitor{visit, arg};
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
        self->trie->~TopicTrie();  // releases the remaining nodes and their pattern uses
        std::free(self->trie);
        self->trie = nullptr;
    }
    Py_CLEAR(self->patterns);
    self->spare_answer.~FlatVector<Subscription>();
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
    {"match_results", index_match_results, METH_O,
     "match_results($self, event, /)\n--\n\n(value, TopicMatchResult) for every subscription the event matches."},
    {"clear", index_clear, METH_NOARGS, "clear($self, /)\n--\n\nRemoves every subscription."},
    {"__sizeof__", index_sizeof, METH_NOARGS, nullptr},
    {"__reduce__", refuse_pickling, METH_NOARGS, nullptr},
    {"__reduce_ex__", refuse_pickling, METH_O, nullptr},
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
    if (search_name == nullptr) {
        search_name = PyUnicode_InternFromString("search");
        if (search_name == nullptr) return -1;
    }
    Ref type(PyType_FromModuleAndSpec(module, &index_spec, nullptr));
    if (!type) return -1;
    return PyModule_AddObjectRef(module, "TopicIndex", type.get());
}

}  // namespace tessaly
