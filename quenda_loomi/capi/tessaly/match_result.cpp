// Topic matching and the TopicMatchResult class.
//
// A result owns its chain of evt_topic_match nodes and holds strong
// references to the two matched Topic objects, because the nodes point into
// their part records (and, for the identity shortcut, at A's key).  The
// records can still change in place while the result lives (value
// assignment, re-keying); every such change renews that record's generation,
// and the result re-validates its nodes before it next reads through them.
#include <unistd.h>

#include <cstring>

#include "quenda_loomi/capi/tessaly/pattern_search.h"
#include <utility>

#include "quenda_loomi/capi/tessaly/python_calls.h"
#include "quenda_loomi/capi/tessaly/tessaly.h"
#include "quenda_loomi/capi/topic_core/capture_rule.h"
#include "support/python/arguments.h"

namespace tessaly {

using pyutil::Ref;

namespace {

constexpr const char kNotInitialized[] = "Not initialized!";

TopicMatchResultObject* as_result(PyObject* obj) { return reinterpret_cast<TopicMatchResultObject*>(obj); }

evt_topic* record_of(PyObject* topic) { return topic ? as_topic(topic)->header : nullptr; }

// ---- Pattern test handed to the matcher -------------------------------------

// The two records being matched.  Before the first pattern test runs Python
// code nothing can change them; from then on both are pinned for the rest of
// the walk, so every text handed to `re` stays readable even when Python code
// run by it re-assigns or drops a topic, and their generations tell whether
// they changed.  Walks without pattern parts never pay for the pins.
struct MatchContext {
    evt_topic* record_a;
    evt_topic* record_b;
    RecordPin pin_a;
    RecordPin pin_b;
    uint64_t generation_a = 0;
    uint64_t generation_b = 0;
    // A pattern test could not answer: its exception is pending and the
    // chain, ended at that position, is no answer.
    bool failed = false;

    void pin_before_python() {
        if (pin_a.pinned() || pin_b.pinned()) return;
        pin_a = RecordPin(record_a);
        pin_b = RecordPin(record_b);
        generation_a = pin_a.generation();
        generation_b = pin_b.generation();
    }
    bool records_changed() const {
        if (!pin_a.pinned() && !pin_b.pinned()) return false;  // no Python code ran
        return pin_a.generation() != generation_a || pin_b.generation() != generation_b;
    }
};

// 1 when `pattern` is found anywhere in the segment.  A test that could not
// answer (pattern_search.h) fails the position with its exception kept, so
// the matcher stops there and the caller reports it.  When Python code run
// by `re` changed one of the two matched records, the position fails so the
// matcher stops walking at once; the caller notices and discards the chain.
int pattern_test(const char* pattern, const char* segment, uint64_t length, void* context) {
    if (!pattern) return 0;
    auto* ctx = static_cast<MatchContext*>(context);
    if (ctx) ctx->pin_before_python();

    PyGILState_STATE gil = PyGILState_Ensure();
    const int found = pattern_search(pattern, segment, length);
    if (found < 0) {
        if (ctx) ctx->failed = true;
        else python::clear_error("pattern search without a result to fail");
    }
    PyGILState_Release(gil);

    if (ctx && ctx->records_changed()) return 0;
    return found > 0;
}

// ---- Node validation --------------------------------------------------------

// A part pointer of a node is readable when it is null, when the result has
// no topic for that side (a chain handed in by native code), or when it is
// still a part of that topic's chain and the chain was not replaced since the
// last check (a released part's address may be reused by a new part).
bool part_still_held(PyObject* topic, const evt_topic_part_variant* part, uint64_t since) {
    if (!part || !topic) return true;
    return keeper_has_part(topic, part, since);
}

enum class LiteralHold { held, held_by_registry, lost };

// Where a node's literal lives now.  `held_by_registry` is only good until
// the registry entry goes, which can happen through another record.
LiteralHold literal_still_held(const TopicMatchResultObject* self, const evt_topic_match* node) {
    if (!node->literal || (!self->topic_a && !self->topic_b)) return LiteralHold::held;
    const evt_topic* record_a = record_of(self->topic_a);
    if (record_a && record_a->key && node->literal_len <= record_a->key_len) {
        if (record_a->key == node->literal) return LiteralHold::held;
        // Identity node of a topic whose literal was taken over by another
        // record since: A now holds a private key copy, and the node still
        // points at the registry's copy, which lives as long as the entry.
        const evt_topic* registered = evt_topic_lookup(record_a->key, record_a->key_len);
        if (registered && registered->key == node->literal && node->literal_len <= registered->key_len)
            return LiteralHold::held_by_registry;
    }
    const evt_topic_part_variant* exact = nullptr;
    if (node->part_a && node->part_a->ttype == TOPIC_PART_EXACT) {
        exact = node->part_a;
    } else if (node->part_b && node->part_b->ttype == TOPIC_PART_EXACT) {
        exact = node->part_b;
    }
    return exact && exact->text == node->literal && node->literal_len <= exact->text_len ? LiteralHold::held
                                                                                          : LiteralHold::lost;
}

// Checks every node against the current state of the two topics when one of
// them changed since the last check.  False with RuntimeError set when a
// node points at a part or text the topics no longer hold.
bool nodes_still_valid(TopicMatchResultObject* self) {
    // Only changes of the result's own two records can invalidate its nodes.
    const uint64_t since = self->checked_stamp;
    if (record_generation(record_of(self->topic_a)) <= since && record_generation(record_of(self->topic_b)) <= since)
        return true;
    bool borrows_from_registry = false;
    for (const evt_topic_match* node = self->header; node; node = node->next) {
        // Parts first: literal_still_held reads the part records.
        LiteralHold literal = LiteralHold::lost;
        if (part_still_held(self->topic_a, node->part_a, since) && part_still_held(self->topic_b, node->part_b, since))
            literal = literal_still_held(self, node);
        if (literal == LiteralHold::lost) {
            PyErr_SetString(PyExc_RuntimeError,
                            "The matched topics changed after matching; this match result is no longer valid");
            return false;
        }
        borrows_from_registry = borrows_from_registry || literal == LiteralHold::held_by_registry;
    }
    // A node reading the registry's copy is checked again every time: the
    // entry can go with another record, which moves neither generation.
    if (!borrows_from_registry) self->checked_stamp = current_stamp();
    return true;
}

PyObject* part_or_none(evt_topic_part_variant* part, PyObject* keeper) {
    if (!part) return Py_NewRef(Py_None);
    return make_part_view(part, keeper);
}

PyObject* literal_or(const evt_topic_match* node, PyObject* fallback) {
    if (!node->literal) return Py_NewRef(fallback);
    return PyUnicode_DecodeUTF8(node->literal, static_cast<Py_ssize_t>(node->literal_len), nullptr);
}

// ---- Construction -------------------------------------------------------------

// Released results of the exact class kept for the next match: a result is
// made and dropped for nearly every match, and allocating a tracked object
// (which also counts towards the next collection) is a large share of that.
// Objects of subclasses, which may carry a __dict__ or weak references,
// always go back to their type's allocator.
bool keep_as_spare(PyObject* obj) {
    if (Py_TYPE(obj) != state.TopicMatchResult || state.spare_result_count == ModuleState::kSpareResults) return false;
    state.spare_results[state.spare_result_count++] = obj;
    return true;
}

// A spare result made live again: one reference, tracked, fields zeroed as
// tp_alloc leaves them.
TopicMatchResultObject* reuse_spare(PyTypeObject* type) {
    PyObject* obj = state.spare_results[--state.spare_result_count];
    std::memset(reinterpret_cast<char*>(obj) + sizeof(PyObject), 0, sizeof(TopicMatchResultObject) - sizeof(PyObject));
    PyObject_Init(obj, type);
    PyObject_GC_Track(obj);
    return as_result(obj);
}

// Allocates a result object of `type` without nodes, fields zeroed.
TopicMatchResultObject* alloc_result(PyTypeObject* type) {
    TopicMatchResultObject* self = nullptr;
    if (type == state.TopicMatchResult && state.spare_result_count > 0) {
        self = reuse_spare(type);
    } else {
        self = as_result(type->tp_alloc(type, 0));
        if (!self) return nullptr;
    }
    self->vtab = &match_result_vtable;
    self->checked_stamp = current_stamp();
    return self;
}

// Wraps a chain produced by matching `topic_a` against `topic_b` at
// `built_at` (the stamp the nodes are known valid for: allocating the wrapper
// may run finalizers that change records).  The chain is released here when
// the wrapper cannot be made.
PyObject* wrap_match_chain(evt_topic_match* chain, PyObject* topic_a, PyObject* topic_b, uint64_t built_at) {
    TopicMatchResultObject* self = alloc_result(state.TopicMatchResult);
    if (!self) {
        if (chain) c_ap_free_chain(chain);
        return nullptr;
    }
    self->checked_stamp = built_at;
    self->header = chain;
    self->owner = 1;
    self->topic_a = Py_XNewRef(topic_a);
    self->topic_b = Py_XNewRef(topic_b);
    return reinterpret_cast<PyObject*>(self);
}

// Requests `n_parts` zero-filled nodes linked one after another.  On a failed
// request every node obtained so far is released once and null is returned.
// A chain larger than the machine's memory is refused before the first
// request: asked for node by node, it would only end in the OOM killer.
bool alloc_zero_chain(size_t n_parts, evt_topic_match** out_first) {
    *out_first = nullptr;
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_size > 0 &&
        n_parts > static_cast<size_t>(pages) / sizeof(evt_topic_match) * static_cast<size_t>(page_size))
        return false;
    const allocator_protocol* protocol = default_allocator();
    evt_topic_match* last = nullptr;
    for (size_t i = 0; i < n_parts; ++i) {
        auto* node = static_cast<evt_topic_match*>(c_ap_request(sizeof(evt_topic_match), protocol));
        if (!node) {
            if (*out_first) c_ap_free_chain(*out_first);
            *out_first = nullptr;
            return false;
        }
        if (last) {
            last->next = node;
        } else {
            *out_first = node;
        }
        last = node;
    }
    return true;
}

PyObject* result_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"n_parts", "alloc", nullptr};
    PyObject* n_parts_obj = nullptr;
    PyObject* alloc_obj = nullptr;
    if (!python::parse_args("TopicMatchResult()", args, kwargs, "|OO:TopicMatchResult", keywords,
                                     &n_parts_obj, &alloc_obj)) {
        return nullptr;
    }
    // Converted in parameter order: a bad n_parts is reported before alloc's truth is asked.
    size_t n_parts = 0;
    if (n_parts_obj) {
        Ref index(python::index("TopicMatchResult(n_parts=)", n_parts_obj));
        if (!index) return nullptr;
        n_parts = PyLong_AsSize_t(index.get());
        if (n_parts == static_cast<size_t>(-1) && PyErr_Occurred()) return nullptr;
    }
    const int alloc = alloc_obj ? python::truth("TopicMatchResult(alloc=)", alloc_obj) : 0;
    if (alloc < 0) return nullptr;
    if (!alloc && n_parts > 0) {
        return pyutil::fail(PyExc_RuntimeError, "Can not allocator buffer when uninitialized!");
    }
    Ref self(reinterpret_cast<PyObject*>(alloc_result(type)));
    if (!self) return nullptr;
    if (alloc && n_parts > 0) {
        evt_topic_match* first = nullptr;
        if (!alloc_zero_chain(n_parts, &first)) return pyutil::fail(PyExc_MemoryError, "Failed to allocate memory!");
        as_result(self.get())->header = first;
        as_result(self.get())->owner = 1;
    }
    return self.release();
}

// ---- Lifetime -----------------------------------------------------------------

int result_tp_traverse(PyObject* obj, visitproc visit, void* arg) {
    TopicMatchResultObject* self = as_result(obj);
    Py_VISIT(Py_TYPE(obj));
    Py_VISIT(self->topic_a);
    Py_VISIT(self->topic_b);
    return 0;
}

// Releasing the topics also drops the chain: its nodes point into their
// records, so a result without its topics must not read them any more.
void drop_chain(TopicMatchResultObject* self) {
    evt_topic_match* chain = self->header;
    self->header = nullptr;
    self->cursor_node = nullptr;
    if (chain && self->owner) c_ap_free_chain(chain);
    self->owner = 0;
}

int result_tp_clear(PyObject* obj) {
    TopicMatchResultObject* self = as_result(obj);
    drop_chain(self);
    // A topic may be a subclass object with a finalizer of its own.
    python::release("TopicMatchResult: topic a", std::exchange(self->topic_a, nullptr));
    python::release("TopicMatchResult: topic b", std::exchange(self->topic_b, nullptr));
    return 0;
}

void result_tp_dealloc(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    PyObject_GC_UnTrack(obj);
    result_tp_clear(obj);
    if (!keep_as_spare(obj)) type->tp_free(obj);
    python::drop(type);
}

// ---- Attribute helpers ------------------------------------------------------
//
// bool(), len(), indexing and repr read `matched` / `length` as attributes so
// that a subclass overriding them is honoured; the exact class has nobody to
// override them, so it reads the chain directly.

bool is_exact_result(PyObject* self) { return Py_TYPE(self) == state.TopicMatchResult; }

// The chain's node count and whether every node matched; false with
// RuntimeError for a result without nodes.
bool count_nodes(const TopicMatchResultObject* self, size_t* count, bool* all_matched) {
    if (!self->header) {
        PyErr_SetString(PyExc_RuntimeError, kNotInitialized);
        return false;
    }
    size_t nodes = 0;
    bool matched = true;
    for (const evt_topic_match* node = self->header; node; node = node->next) {
        ++nodes;
        matched = matched && node->success;
    }
    *count = nodes;
    *all_matched = matched;
    return true;
}

bool read_length(PyObject* self, Py_ssize_t* out) {
    if (is_exact_result(self)) {
        size_t count = 0;
        bool matched = false;
        if (!count_nodes(as_result(self), &count, &matched)) return false;
        if (count > static_cast<size_t>(PY_SSIZE_T_MAX)) {
            PyErr_SetString(PyExc_OverflowError, "too many nodes");
            return false;
        }
        *out = static_cast<Py_ssize_t>(count);
        return true;
    }
    Ref length(python::get_attr("TopicMatchResult.length of a subclass", self, "length"));
    if (!length) return false;
    *out = python::as_ssize("TopicMatchResult.length of a subclass", length.get(), PyExc_OverflowError);
    return !(*out == -1 && PyErr_Occurred());
}

int read_matched(PyObject* self) {
    if (is_exact_result(self)) {
        size_t count = 0;
        bool matched = false;
        if (!count_nodes(as_result(self), &count, &matched)) return -1;
        return matched ? 1 : 0;
    }
    Ref matched(python::get_attr("TopicMatchResult.matched of a subclass", self, "matched"));
    if (!matched) return -1;
    return python::truth("TopicMatchResult.matched of a subclass", matched.get());
}

// ---- Native methods -------------------------------------------------------------

// Every read through a node's pointers is preceded by a validity check:
// the allocations before it can run finalizers that change the topics.
PyObject* result_c_match_res(TopicMatchResultObject* self, evt_topic_match* node) {
    if (!node) return pyutil::fail(PyExc_RuntimeError, kNotInitialized);
    Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(self));
    if (!nodes_still_valid(self)) return nullptr;
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    Ref matched(PyLong_FromLong(node->success));
    if (!matched || PyDict_SetItemString(dict.get(), "matched", matched.get()) < 0) return nullptr;
    if (!nodes_still_valid(self)) return nullptr;
    Ref part_a(part_or_none(node->part_a, self->topic_a));
    if (!part_a || PyDict_SetItemString(dict.get(), "part_a", part_a.get()) < 0) return nullptr;
    if (!nodes_still_valid(self)) return nullptr;
    Ref part_b(part_or_none(node->part_b, self->topic_b));
    if (!part_b || PyDict_SetItemString(dict.get(), "part_b", part_b.get()) < 0) return nullptr;
    if (!nodes_still_valid(self)) return nullptr;
    Ref literal(literal_or(node, Py_None));
    if (!literal || PyDict_SetItemString(dict.get(), "literal", literal.get()) < 0) return nullptr;
    return dict.release();
}

PyObject* result_c_from_header(evt_topic_match* header, int owner) {
    TopicMatchResultObject* self = alloc_result(state.TopicMatchResult);
    if (!self) return nullptr;
    self->header = header;
    self->owner = owner;
    return reinterpret_cast<PyObject*>(self);
}

// ---- Python-visible members -------------------------------------------------------

PyObject* result_get_length(PyObject* obj, void*) {
    size_t count = 0;
    bool matched = false;
    if (!count_nodes(as_result(obj), &count, &matched)) return nullptr;
    return PyLong_FromSize_t(count);
}

PyObject* result_get_matched(PyObject* obj, void*) {
    size_t count = 0;
    bool matched = false;
    if (!count_nodes(as_result(obj), &count, &matched)) return nullptr;
    return PyBool_FromLong(matched);
}

int result_nb_bool(PyObject* self) { return read_matched(self); }

Py_ssize_t result_sq_length(PyObject* self) {
    Py_ssize_t length = 0;
    if (!read_length(self, &length)) return -1;
    // A subclass's `length` may be negative; len() needs an error with -1.
    if (length < 0) {
        PyErr_SetString(PyExc_ValueError, "__len__() should return >= 0");
        return -1;
    }
    return length;
}

PyObject* result_mp_subscript(PyObject* obj, PyObject* key) {
    Ref index_obj(python::index("TopicMatchResult[index]", key));
    if (!index_obj) return nullptr;
    const Py_ssize_t idx = PyLong_AsSsize_t(index_obj.get());
    if (idx == -1 && PyErr_Occurred()) return nullptr;
    Py_ssize_t n = 0;
    if (!read_length(obj, &n)) return nullptr;
    Py_ssize_t position = idx;
    if (idx < -n || idx >= n) {
        python::raise(PyExc_IndexError, "Index %zd out of range!", idx);
        return nullptr;
    }
    if (position < 0) position += n;
    TopicMatchResultObject* self = as_result(obj);
    evt_topic_match* node = self->header;
    for (Py_ssize_t i = 0; i < position && node; ++i) node = node->next;
    return self->vtab->c_match_res(self, node);
}

PyObject* result_tp_iter(PyObject* obj);

PyObject* result_to_dict(PyObject* obj, PyObject*) {
    TopicMatchResultObject* self = as_result(obj);
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    if (!self->header) return dict.release();
    Ref empty(PyUnicode_FromStringAndSize("", 0));
    if (!empty) return nullptr;
    for (const evt_topic_match* node = self->header; node; node = node->next) {
        // Checked per node: making the part wrappers can run finalizers.
        if (!nodes_still_valid(self)) return nullptr;
        Ref key(literal_or(node, empty.get()));
        if (!key) return nullptr;
        if (!nodes_still_valid(self)) return nullptr;
        Ref value(part_or_none(node->part_b, self->topic_b));
        if (!value || python::dict_set("TopicMatchResult.to_dict", dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

// Each named wildcard of either side mapped to the exact segment it was
// matched against, over the matched positions; a later position of the same
// name wins.  The identity shortcut compares no positions (its node's literal
// is the whole key, not a segment), so it captures nothing.
PyObject* result_captures(PyObject* obj, PyObject*) {
    TopicMatchResultObject* self = as_result(obj);
    Ref captures(PyDict_New());
    if (!captures || !self->header) return captures.release();
    if (!nodes_still_valid(self)) return nullptr;
    // Building str keys and values runs no Python code: the nodes stay valid.
    BorrowedSection reading("TopicMatchResult.captures");
    for (const evt_topic_match* node = self->header; node; node = node->next) {
        const evt_topic_part_variant* a = node->part_a;
        const evt_topic_part_variant* b = node->part_b;
        if (!node->success || !a || !b || !node->literal) continue;
        const evt_topic_part_variant* wildcard = nullptr;
        switch (topic_capture::captor_of(a->ttype, b->ttype)) {
            case topic_capture::Captor::first: wildcard = node->literal == b->text ? a : nullptr; break;
            case topic_capture::Captor::second: wildcard = node->literal == a->text ? b : nullptr; break;
            case topic_capture::Captor::none: break;
        }
        if (wildcard == nullptr) continue;
        Ref name(PyUnicode_DecodeUTF8(wildcard->text, static_cast<Py_ssize_t>(wildcard->text_len), "surrogateescape"));
        Ref text(PyUnicode_DecodeUTF8(node->literal, static_cast<Py_ssize_t>(node->literal_len), "surrogateescape"));
        if (!name || !text || python::dict_set_text(captures.get(), name.get(), text.get()) < 0) return nullptr;
    }
    return captures.release();
}

PyObject* result_tp_repr(PyObject* self) {
    const int matched = read_matched(self);
    if (matched < 0) return nullptr;
    Ref length(python::get_attr("TopicMatchResult.length of a subclass", self, "length"));
    if (!length) return nullptr;
    return python::text("<evt_topic_match %s>(nodes=%S)", matched ? "success" : "failed", length.get());
}


PyMethodDef result_methods[] = {
    {"to_dict", result_to_dict, METH_NOARGS, "TopicMatchResult.to_dict(self)"},
    {"captures", result_captures, METH_NOARGS,
     "captures($self, /)\n--\n\nEach named wildcard of either side mapped to the segment text it was matched "
     "against."},
    NoPickling::reduce,
    NoPickling::setstate,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef result_getset[] = {
    {"length", result_get_length, nullptr, nullptr, nullptr},
    {"matched", result_get_matched, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_doc, const_cast<char*>("The result of Topic.match: true when every position matched; iterating gives one dict per "
                                  "position (matched, part_a, part_b, literal).")},
    {Py_tp_new, reinterpret_cast<void*>(result_tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(result_tp_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(result_tp_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(result_tp_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(result_tp_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(result_tp_iter)},
    {Py_tp_methods, result_methods},
    {Py_tp_getset, result_getset},
    {Py_nb_bool, reinterpret_cast<void*>(result_nb_bool)},
    {Py_sq_length, reinterpret_cast<void*>(result_sq_length)},
    {Py_mp_length, reinterpret_cast<void*>(result_sq_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(result_mp_subscript)},
    {0, nullptr},
};

PyType_Spec result_spec = {
    "quenda_loomi.capi.tessaly.TopicMatchResult",
    sizeof(TopicMatchResultObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    result_slots,
};

// ---- Iteration ------------------------------------------------------------------------------

// Node `index` of the result's chain (null past the end).  Steps of one
// iteration ask for consecutive indexes, so the last node reached is
// remembered instead of walking from the head every time.
evt_topic_match* node_at(TopicMatchResultObject* self, uint64_t index) {
    if (!self->header) return nullptr;
    evt_topic_match* node = self->header;
    uint64_t at = 0;
    if (self->cursor_node && self->cursor_index <= index) {
        node = self->cursor_node;
        at = self->cursor_index;
    }
    for (; node && at < index; ++at) node = node->next;
    self->cursor_node = node;
    self->cursor_index = at;
    return node;
}

// _step(result, index): the dict of node `index`, or None past the end.
PyObject* result_node_at(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) return pyutil::fail(PyExc_TypeError, "_step() takes exactly 2 arguments");
    if (!pyutil::check_arg_type(args[0], state.TopicMatchResult, "self", false)) return nullptr;
    const unsigned long long index = PyLong_AsUnsignedLongLong(args[1]);
    if (index == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    TopicMatchResultObject* self = as_result(args[0]);
    evt_topic_match* node = node_at(self, index);
    if (!node) Py_RETURN_NONE;
    return self->vtab->c_match_res(self, node);
}

PyMethodDef result_node_at_def = {
    "_step", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(result_node_at)), METH_FASTCALL, nullptr};

// A generator over the nodes' dicts; a result whose chain was dropped
// yields nothing more.
PyObject* result_tp_iter(PyObject* obj) {
    return python::call_one("TopicMatchResult.__iter__", state.match_result_iter, obj);
}

// ---- Python-level Topic.match ---------------------------------------------------------


}  // namespace

TopicMatchResultVTable match_result_vtable = {result_c_match_res, result_c_from_header};

int add_match_result_type(PyObject* module) {
    if (publish_type(module, &result_spec, nullptr, &state.TopicMatchResult) < 0) return -1;
    PyObject* iterate = define_generator_function("__iter__", "TopicMatchResult.__iter__", &result_node_at_def);
    if (!iterate) return -1;
    python::replace(state.match_result_iter, iterate);
    return 0;
}

PyObject* topic_py_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"other"};
    PyObject* other = nullptr;
    if (!pyutil::unpack_arguments("match", args, nargs, kwnames, names, 1, 1, &other)) return nullptr;
    if (!pyutil::check_arg_type(other, state.Topic, "other", false)) return nullptr;
    TopicObject* topic = as_topic(self);
    return topic->vtab->match(topic, other, 1);
}

PyObject* topic_vt_match(TopicObject* self, PyObject* other, int skip_dispatch) {
    if (!other) other = Py_None;  // a native caller passing null is answered as for None
    PyObject* overridden = nullptr;
    if (call_python_override(self, skip_dispatch, "match", reinterpret_cast<void*>(topic_py_match), &other, 1,
                             state.TopicMatchResult, &overridden) != 0)
        return overridden;
    // None (or anything else) is never read as a topic.
    if (!pyutil::check_arg_type(other, state.Topic, "other", false)) return nullptr;
    evt_topic* record_a = self->header;
    if (!record_a) return not_initialized();
    evt_topic* record_b = as_topic(other)->header;
    if (!record_b) return match_result_vtable.c_from_header(nullptr, 1);

    const uint64_t built_at = current_stamp();
    MatchContext context{record_a, record_b, {}, {}};
    evt_topic_match* chain = evt_topic_match_build(record_a, record_b, pattern_test, &context);
    if (context.failed) {
        if (chain) c_ap_free_chain(chain);
        return nullptr;
    }
    if (context.records_changed()) {
        // Python code run by a pattern test changed one of the two records:
        // the nodes may point at parts that are released once unpinned.
        if (chain) c_ap_free_chain(chain);
        return pyutil::fail(PyExc_RuntimeError, "A topic changed while it was being matched");
    }
    return wrap_match_chain(chain, reinterpret_cast<PyObject*>(self), other, built_at);
}

}  // namespace tessaly
