// Lifetime bookkeeping shared by the classes of the topic module: how many
// Topic objects wrap each record, the mutation epoch that part views and
// match results use to notice changed chains, and the small constructors the
// class files share.
#include <unordered_map>

#include "quenda_loomi/capi/tessaly/tessaly.h"

namespace tessaly {

uint64_t mutation_epoch = 0;

namespace {

struct WrapperCount {
    uint64_t live = 0;
    // Some wrapper that owned the record has died (or still lives): the last
    // wrapper to go frees the record.
    bool owned = false;
    // mutation_epoch right after the record's parts were last replaced.
    uint64_t replaced_at = 0;
};

// Records that at least one Topic object currently wraps.
std::unordered_map<evt_topic*, WrapperCount>& wrapper_counts() {
    static auto* counts = new std::unordered_map<evt_topic*, WrapperCount>();
    return *counts;
}

// True when the registry maps the record's own literal to the record.
bool is_registered(const evt_topic* record) {
    return record->key != nullptr && !record->key_is_private &&
           evt_topic_lookup(record->key, record->key_len) == record;
}

void free_record(evt_topic* record) {
    evt_topic_free(record);
    ++mutation_epoch;
}

}  // namespace

void record_acquire(evt_topic* record) {
    if (record == nullptr) return;
    ++wrapper_counts()[record].live;
}

void record_release(evt_topic* record, bool owner) {
    if (record == nullptr) return;
    auto& counts = wrapper_counts();
    auto found = counts.find(record);
    if (found == counts.end()) {
        // Wrapped without record_acquire (should not happen): only an owner
        // may free, and nobody else is known to hold the record.
        if (owner) free_record(record);
        return;
    }
    WrapperCount& count = found->second;
    count.owned = count.owned || owner;
    if (count.live > 1) {
        --count.live;
        return;
    }
    const bool owned = count.owned;
    counts.erase(found);
    if (owned || !is_registered(record)) free_record(record);
}

int32_t register_record(evt_topic* record, const char* literal, uint64_t length) {
    char* rendered = nullptr;
    if (literal == nullptr) {
        rendered = evt_topic_render_literal(record, &length);
        if (rendered == nullptr) {
            ++mutation_epoch;
            return -1;
        }
        literal = rendered;
    }
    evt_topic* previous = length ? evt_topic_lookup(literal, length) : nullptr;
    const int32_t result = evt_topic_internalize(record, literal, length);
    if (rendered) c_ap_free(rendered);
    ++mutation_epoch;
    if (previous != nullptr && previous != record && !wrapper_counts().contains(previous) &&
        !is_registered(previous))
        free_record(previous);
    return result;
}

void record_parts_replaced(evt_topic* record) {
    ++mutation_epoch;
    auto found = wrapper_counts().find(record);
    if (found != wrapper_counts().end()) found->second.replaced_at = mutation_epoch;
}

bool record_has_part(const evt_topic* record, const evt_topic_part_variant* part) {
    if (record == nullptr || part == nullptr) return false;
    for (const evt_topic_part_variant* it = record->parts; it != nullptr; it = it->next)
        if (it == part) return true;
    return false;
}

PyObject* not_initialized() { return pyutil::fail(PyExc_RuntimeError, "Not initialized!"); }

PyObject* define_generator_function(const char* name, const char* qualname, PyMethodDef* step) {
    pyutil::Ref globals(PyDict_New());
    if (!globals) return nullptr;
    if (PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) return nullptr;
    pyutil::Ref module_name(state.module ? PyModule_GetNameObject(state.module)
                                         : PyUnicode_FromString("quenda_loomi.capi.tessaly"));
    if (!module_name || PyDict_SetItemString(globals.get(), "__name__", module_name.get()) < 0) return nullptr;
    pyutil::Ref native(PyCFunction_NewEx(step, nullptr, module_name.get()));
    if (!native || PyDict_SetItemString(globals.get(), "_step", native.get()) < 0) return nullptr;
    // The step re-reads the record every time, so a chain changed between
    // two steps is never walked with stale pointers.
    pyutil::Ref source(PyUnicode_FromFormat(
        "def %s(self):\n"
        "    i = 0\n"
        "    while True:\n"
        "        item = _step(self, i)\n"
        "        if item is None:\n"
        "            return\n"
        "        i += 1\n"
        "        yield item\n",
        name));
    if (!source) return nullptr;
    const char* text = PyUnicode_AsUTF8(source.get());
    if (text == nullptr) return nullptr;
    pyutil::Ref ran(PyRun_String(text, Py_file_input, globals.get(), globals.get()));
    if (!ran) return nullptr;
    PyObject* function = nullptr;
    if (PyDict_GetItemStringRef(globals.get(), name, &function) <= 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "generator set-up failed");
        return nullptr;
    }
    pyutil::Ref result(function);
    pyutil::Ref qualified(PyUnicode_FromString(qualname));
    if (!qualified || PyObject_SetAttrString(function, "__qualname__", qualified.get()) < 0) return nullptr;
    return result.release();
}

PyObject* topic_from_header(evt_topic* header, int owner) {
    PyTypeObject* type = state.Topic;
    auto* self = reinterpret_cast<TopicObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->vtab = &topic_vtable;
    self->header = header;
    self->owner = owner ? 1 : 0;
    record_acquire(header);
    return reinterpret_cast<PyObject*>(self);
}

namespace {

// `part` is in `record`'s chain and that chain was not replaced after `since`.
bool chain_holds(const evt_topic* record, const evt_topic_part_variant* part, uint64_t since) {
    if (record == nullptr) return false;
    auto found = wrapper_counts().find(const_cast<evt_topic*>(record));
    if (found != wrapper_counts().end() && found->second.replaced_at > since) return false;
    return record_has_part(record, part);
}

}  // namespace

bool keeper_has_part(PyObject* keeper, const evt_topic_part_variant* part, uint64_t since_epoch) {
    if (PyObject_TypeCheck(keeper, state.Topic))
        return chain_holds(reinterpret_cast<TopicObject*>(keeper)->header, part, since_epoch);
    if (state.TopicMatchResult != nullptr && PyObject_TypeCheck(keeper, state.TopicMatchResult)) {
        auto* result = reinterpret_cast<TopicMatchResultObject*>(keeper);
        for (PyObject* topic : {result->topic_a, result->topic_b})
            if (topic != nullptr && PyObject_TypeCheck(topic, state.Topic) &&
                chain_holds(reinterpret_cast<TopicObject*>(topic)->header, part, since_epoch))
                return true;
        return false;
    }
    return true;  // a part object that took over ownership keeps the record itself
}

PyObject* make_part_view(evt_topic_part_variant* record, PyObject* keeper) {
    const uint64_t epoch = mutation_epoch;
    pyutil::Ref plain(topic_part_vtable.c_from_header(record, 0));
    if (!plain) return nullptr;
    // Allocating may run finalizers that change the keeper's chain.
    if (epoch != mutation_epoch && keeper != nullptr && !keeper_has_part(keeper, record, epoch))
        return pyutil::fail(PyExc_RuntimeError, "Topic part is no longer part of its topic");
    pyutil::Ref view(topic_part_vtable.c_cast(reinterpret_cast<TopicPartObject*>(plain.get())));
    if (!view) return nullptr;
    auto* part = reinterpret_cast<TopicPartObject*>(view.get());
    Py_XSETREF(part->keeper, Py_XNewRef(keeper));
    part->checked_epoch = epoch;
    return view.release();
}

}  // namespace tessaly
