// The index's compiled pattern expressions: one entry per expression text,
// shared by every node and walk using it, compiled on first use, and the
// trie's hooks over them, with a small cache of search answers.
#include <cstring>
#include <utility>

#include "quenda_loomi/capi/tessaly/index_object.h"
#include "quenda_loomi/capi/tessaly/python_calls.h"
#include "quenda_loomi/capi/tessaly/tessaly.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace tessaly::index_binding {

using pyutil::Ref;

namespace {

// True when `text` holds a lone surrogate of the range that surrogateescape
// decodes undecodable bytes to (valid UTF-8 never decodes to one).
bool has_escaped_bytes(PyObject* text) {
    if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND) return false;
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xDC80 && c <= 0xDCFF) return true;
    }
    return false;
}

// The entry for `expression`, made (not compiled) when missing: a list
// [compiled, text, serial number].  Runs no Python code.  New reference, or
// null on exhausted memory.
PyObject* expression_entry(PyObject* patterns, const char* expression) {
    // Keyed by str only, so looking an entry up runs no Python code (the
    // trie asks for entries while it files).  Text that is not UTF-8 is keyed
    // by its surrogate-escaped decoding, which no UTF-8 text decodes to;
    // `re` cannot take it, so it never matches.
    Ref key(PyUnicode_DecodeUTF8(expression, static_cast<Py_ssize_t>(std::strlen(expression)), "surrogateescape"));
    if (!key) return nullptr;
    PyObject* entry = nullptr;
    const int found = python::dict_get_text(patterns, key.get(), &entry);
    if (found != 0) return entry;  // the entry, or null with the error
    Ref serial(PyLong_FromUnsignedLongLong(++state.last_expression_serial));
    Ref fresh(serial ? PyList_New(3) : nullptr);
    if (!fresh) return nullptr;
    PyList_SET_ITEM(fresh.get(), 0, Py_NewRef(has_escaped_bytes(key.get()) ? Py_None : state.not_compiled));
    PyList_SET_ITEM(fresh.get(), 1, key.release());
    PyList_SET_ITEM(fresh.get(), 2, serial.release());
    if (python::dict_set_text(patterns, PyList_GET_ITEM(fresh.get(), 1), fresh.get()) < 0) return nullptr;
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
        python::clear_error("TopicIndex: expression does not compile");
        compiled = Ref::borrow(Py_None);
    }
    // Compiling again from inside the call may have filled it already: keep the first.
    // Dropping the sentinel, ours, runs no Python code.
    if (PyList_GET_ITEM(entry, 0) == state.not_compiled && PyList_SetItem(entry, 0, compiled.release()) < 0)
        return -1;
    return 0;
}

void* hook_prepare(const char* expression, void* context) {
    PyObject* entry = expression_entry(static_cast<TopicIndexObject*>(context)->patterns, expression);
    if (entry == nullptr) python::clear_error("TopicIndex: expression entry failed");  // the trie reports the exhausted memory
    return entry;
}

void hook_release(void* prepared, void* context) {
    auto* entry = static_cast<PyObject*>(prepared);
    PyObject* pending = PyErr_GetRaisedException();  // also used on the way out of a failed add
    PyObject* patterns = static_cast<TopicIndexObject*>(context)->patterns;
    if (Py_REFCNT(entry) == 2 && python::dict_del_text(patterns, PyList_GET_ITEM(entry, 1)) < 0)
        python::clear_error("TopicIndex: expression forgotten");
    python::release("TopicIndex: compiled expression given back", entry);
    python::restore_error("TopicIndex: compiled expression given back", pending);
}

// Searches a compiled expression: 1 when found, 0 when not, -1 with the
// exception set when the search could not answer.
int search_compiled(PyObject* compiled, const char* segment, uint64_t length) {
    Ref text(segment_str(segment, length));
    if (!text) return PyErr_Occurred() ? -1 : 0;
    PyObject* args[] = {compiled, text.get()};
    Ref found(python::call_method("TopicIndex: pattern search", state.str_search, args,
                                  2 | PY_VECTORCALL_ARGUMENTS_OFFSET));
    if (!found) return -1;
    return found.get() != Py_None;
}

// 1 when the expression is found anywhere in the segment, 0 when not, -1
// with the exception set when it could not tell (an interrupted compile or
// search): the walk stops and the method raises it.  The answers of a
// genuine re.Pattern (a pure function of the segment) are remembered for
// short segments, only once a search completed: events repeat a few values
// at a position (buy, sell), and a search call costs more than the rest of
// the walk.
int hook_test(void* prepared, const char* segment, uint64_t length, void* context) {
    auto* self = static_cast<TopicIndexObject*>(context);
    auto* entry = static_cast<PyObject*>(prepared);
    python::Held held("TopicIndex: pattern entry after a search", Py_NewRef(entry));
    if (compile_entry(entry, "TopicIndex: pattern compiled in a walk") < 0) return -1;
    Ref compiled = Ref::borrow(PyList_GET_ITEM(entry, 0));
    if (compiled.get() == Py_None) return 0;
    if (!Py_IS_TYPE(compiled.get(), state.re_pattern_type) || length > SearchSlot::kMaxText)
        return search_compiled(compiled.get(), segment, length);
    const uint64_t serial = PyLong_AsUnsignedLongLong(PyList_GET_ITEM(entry, 2));
    SearchSlot* cached = self->searches.slot_for(XXH3_64bits_withSeed(segment, length, serial));
    if (cached == nullptr) return search_compiled(compiled.get(), segment, length);
    SearchSlot& slot = *cached;
    if (slot.serial == serial && slot.length == length && std::memcmp(slot.text, segment, length) == 0)
        return slot.answer;
    const int answer = search_compiled(compiled.get(), segment, length);
    if (answer < 0) return answer;
    slot.serial = serial;
    slot.length = static_cast<uint32_t>(length);
    slot.answer = answer;
    std::memcpy(slot.text, segment, length);
    return answer;
}

}  // namespace

topic_index::PatternHooks pattern_hooks(TopicIndexObject* self) {
    return topic_index::PatternHooks{hook_prepare, hook_test, hook_release, self};
}

void give_back_entry(TopicIndexObject* self, PyObject* entry) { hook_release(entry, self); }

void release_patterns(TopicIndexObject* self) {
    if (self->trie != nullptr && self->trie->has_released_patterns()) self->trie->release_patterns();
}

void drop_searches(TopicIndexObject* self) { self->searches.release(); }

bool compile_patterns_of(TopicIndexObject* self, const evt_topic* record, FlatVector<PyObject*>* held) {
    {
        BorrowedSection reading("TopicIndex.add: reading pattern parts");
        for (const evt_topic_part_variant* part = record->parts; part; part = part->next) {
            if (part->ttype != TOPIC_PART_PATTERN || part->text == nullptr) continue;
            PyObject* entry = expression_entry(self->patterns, part->text);
            if (entry == nullptr) return false;
            if (!held->push_back(entry)) {
                python::drop(entry);  // still in the dict: no finalizer runs
                PyErr_NoMemory();
                return false;
            }
        }
    }
    for (PyObject* entry : *held)
        if (compile_entry(entry, "TopicIndex.add: pattern compiled") < 0) return false;
    return true;
}

}  // namespace tessaly::index_binding
