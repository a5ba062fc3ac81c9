// Composition (`+`, `+=`, append, from_parts, join) and formatting
// (format_map, format, calling a topic, update_literal) of Topic objects.
//
// Composition copies part records to the tail of a target record and then
// re-renders the target's literal; a composed topic never shares part records
// or text with its sources.  Formatting builds a new record from the source's
// parts, filling wildcards from a dict; the source is never changed.
#include <cstring>

#include "quenda_loomi/capi/tessaly/python_calls.h"
#include "quenda_loomi/capi/tessaly/tessaly.h"
#include "support/python/arguments.h"

namespace tessaly {

using pyutil::Ref;

namespace {


// ---- Argument unpacking for METH_FASTCALL | METH_KEYWORDS ------------------


bool refuse_positional(const char* function, PyObject* args) {
    const Py_ssize_t given = args ? PyTuple_GET_SIZE(args) : 0;
    if (given == 0) return true;
    python::raise(PyExc_TypeError, "%s() takes exactly 0 positional arguments (%zd given)", function, given);
    return false;
}

// ---- Overridable native slots ----------------------------------------------------

// What `self.<name>` resolves to when that is not the built-in method
// `builtin` bound to `self`: 1 with the attribute in *out (the override to
// call), 0 when it is the built-in, -1 when the lookup failed.
int python_override(PyObject* self, const char* name, void* builtin, Ref* out) {
    Ref attr(python::get_attr("Topic override lookup", self, name));
    if (!attr) return -1;
    if (PyCFunction_Check(attr.get()) && PyCFunction_GET_SELF(attr.get()) == self &&
        reinterpret_cast<void*>(PyCFunction_GET_FUNCTION(attr.get())) == builtin) {
        return 0;
    }
    *out = std::move(attr);
    return 1;
}

}  // namespace

int call_python_override(TopicObject* self, int skip_dispatch, const char* name, void* builtin,
                         PyObject* const* args, size_t nargs, PyTypeObject* result_type, PyObject** result) {
    auto* self_obj = reinterpret_cast<PyObject*>(self);
    if (skip_dispatch || Py_TYPE(self_obj) == state.Topic) return 0;
    Ref override;
    const int found = python_override(self_obj, name, builtin, &override);
    if (found <= 0) return found;
    Ref returned(python::call("Topic override call", override.get(), args, nargs));
    if (!returned) return -1;
    if (returned.get() != Py_None && !PyObject_TypeCheck(returned.get(), result_type)) {
        python::raise(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(returned.get())->tp_name,
                     result_type->tp_name);
        return -1;
    }
    *result = returned.release();
    return 1;
}

namespace {

// ---- Copying parts ------------------------------------------------------------

// A standalone part built without content (TopicPart(alloc=True) of any
// class) has no text to copy: it adds nothing to a topic.
// (A stored length of 0 means a NUL-terminated text.)
bool without_content(const evt_topic_part_variant* part) {
    const bool range = part->ttype == TOPIC_PART_RANGE;
    const char* text = range ? part->literal : part->text;
    const uint64_t length = range ? part->literal_len : part->text_len;
    return text == nullptr || (length == 0 && text[0] == '\0');
}

// Copies one part record to the end of the appender's record (the body of
// c_append); a part without content is skipped.  0 / -1; an unknown kind
// raises the TopicType lookup's error.
int32_t append_part_copy(RecordAppender& target, const evt_topic_part_variant* part) {
    switch (part->ttype) {
        case TOPIC_PART_EXACT:
        case TOPIC_PART_ANY:
        case TOPIC_PART_PATTERN:
            return without_content(part) ? 0 : target.append(part->text, part->text_len, part->ttype);
        case TOPIC_PART_RANGE:
            return without_content(part) ? 0 : target.append(part->literal, part->literal_len, part->ttype);
        default: {
            // The TopicType lookup of an unknown kind raises the enum's ValueError.
            Ref kind(PyLong_FromLong(static_cast<long>(part->ttype)));
            Ref member(kind ? python::call_one("TopicType lookup", state.TopicType, kind.get()) : nullptr);
            if (member) python::raise(PyExc_ValueError, "Invalid ttype %d", static_cast<int>(part->ttype));
            return -1;
        }
    }
}

// A new, empty, owned Topic from the current default allocator.
PyObject* new_empty_topic() { return python::call_no_args("Topic()", reinterpret_cast<PyObject*>(state.Topic)); }

// A copy that could not be made is an error the caller sees: a topic
// silently missing a part would match and format as another topic.
bool appended(int32_t status) {
    if (status == 0) return true;
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return false;
}

// Copies the first n_parts parts of `source` (counted before the walk, so a
// topic appended to itself stops after its original parts) to the appender's
// record.  False with MemoryError (or the kind error) set when a copy failed.
bool copy_parts(RecordAppender& target, const evt_topic* source) {
    const uint64_t count = source->n_parts;
    evt_topic_part_variant* part = source->parts;
    for (uint64_t i = 0; i < count && part; ++i) {
        if (!appended(append_part_copy(target, part))) return false;
        part = part->next;
    }
    return true;
}

bool copy_one_part(RecordAppender& target, evt_topic_part_variant* part) {
    return appended(append_part_copy(target, part));
}

// Re-keys the target after its parts changed.  A key that cannot be made
// is an error: the topic would otherwise read as another (or as none).
bool refresh_literal(TopicObject* target) {
    if (target->vtab->c_update_literal(target) == 0) return true;
    PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory!");
    return false;
}

// An in-place append that failed leaves the topic as it was: its key is
// only replaced once the new one is made, so dropping the parts added is
// enough.  Returns null for the error already set.
PyObject* undo_appends(TopicObject* self, uint64_t kept) {
    record_truncate(self->header, kept);
    return nullptr;
}

// Classifies the right operand of `+` / `+=`.  Returns false with TypeError
// or RuntimeError set when it cannot be used.
bool check_add_operand(PyObject* self, PyObject* other, bool* is_topic) {
    *is_topic = PyObject_TypeCheck(other, state.Topic);
    if (*is_topic) {
        if (!as_topic(other)->header) return not_initialized(), false;
        return true;
    }
    if (PyObject_TypeCheck(other, state.TopicPart)) return part_record_for_read(other) != nullptr;
    python::raise(PyExc_TypeError, "Can not add %S to %S, expected ether a %S or %S", other, self,
                 reinterpret_cast<PyObject*>(state.Topic), reinterpret_cast<PyObject*>(state.TopicPart));
    return false;
}

// The part record is fetched again here: Python code (a finalizer run by an
// allocation) may have changed the part's topic since it was checked.
bool append_operand(RecordAppender& target, PyObject* other, bool is_topic) {
    if (is_topic) return copy_parts(target, as_topic(other)->header);
    evt_topic_part_variant* part = part_record_for_read(other);
    return part && copy_one_part(target, part);
}

// Calls `visit` with every item of `items` (a borrowed reference that stays
// valid for the call): a list or tuple (exactly) by index, re-reading the
// length at every step, anything else through the iterator protocol.
// False with the error set when iterating or `visit` failed.
template <typename Visit>
bool for_each_item(PyObject* items, Visit visit) {
    if (PyList_CheckExact(items) || PyTuple_CheckExact(items)) {
        const bool is_list = PyList_CheckExact(items);
        for (Py_ssize_t i = 0;; ++i) {
            if (i >= (is_list ? PyList_GET_SIZE(items) : PyTuple_GET_SIZE(items))) return true;
            // A strong reference: Python code run by `visit` may shrink the list.
            Ref item(is_list ? PyList_GetItemRef(items, i) : Py_NewRef(PyTuple_GET_ITEM(items, i)));
            if (!item || !visit(item.get())) return false;
        }
    }
    Ref iterator(python::get_iter("composition: iterating parts", items));
    if (!iterator) return false;
    while (PyObject* raw_item = python::next_item("composition: next part", iterator.get())) {
        Ref item(raw_item);
        if (!visit(item.get())) return false;
    }
    return !PyErr_Occurred();
}

// ---- Formatting --------------------------------------------------------------------

// Length of a stored text, measuring NUL-terminated texts stored with 0.
uint64_t text_length(const char* text, uint64_t stored) {
    if (!text) return 0;
    return stored ? stored : std::strlen(text);
}

// Releases a record being built when formatting stops with an error.
class PendingRecord {
public:
    explicit PendingRecord(evt_topic* record) : record_(record) {}
    PendingRecord(const PendingRecord&) = delete;
    PendingRecord& operator=(const PendingRecord&) = delete;
    ~PendingRecord() {
        if (record_) evt_topic_free(record_);
    }
    evt_topic* get() const { return record_; }
    evt_topic* release() { return std::exchange(record_, nullptr); }

private:
    evt_topic* record_;
};

bool raise_unsupported_kind(int32_t kind) {
    Ref kind_number(PyLong_FromLong(static_cast<long>(kind)));
    Ref member(kind_number ? python::call_one("TopicType lookup", state.TopicType, kind_number.get()) : nullptr);
    if (!member) return false;
    Ref text(python::format("TopicType text", member.get(), nullptr));
    if (!text) return false;
    python::raise(PyExc_ValueError, "Not supported topic type %U", text.get());
    return false;
}

// After Python code ran (dict lookups can), `part` and the parts after it
// are read again only when the source released no parts since `stamp`; the
// source is pinned, so released parts are parked until the walk ends, and
// other records changing is no reason to stop.
bool source_changed(const evt_topic* source, uint64_t stamp) {
    if (!parts_released_since(source, stamp)) return false;
    PyErr_SetString(PyExc_RuntimeError, "The topic changed while it was being formatted");
    return true;
}

// Fills one wildcard into `fresh` (may be null when the record could not be
// allocated: errors are still raised, nothing is copied).  Dict lookups can
// run Python code (keys with their own __eq__); `part` is not read again
// once such code released it.
bool format_wildcard(RecordAppender* fresh, const evt_topic* source, const evt_topic_part_variant* part,
                     PyObject* mapping, bool strict, uint64_t stamp) {
    const uint64_t name_len = text_length(part->text, part->text_len);
    Ref key(PyUnicode_DecodeUTF8(part->text ? part->text : "", static_cast<Py_ssize_t>(name_len), nullptr));
    if (!key) return false;
    if (mapping == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return false;
    }
    const int present = python::dict_contains("format: mapping lookup", mapping, key.get());
    if (present < 0 || source_changed(source, stamp)) return false;
    if (!present) {
        if (strict) {
            PyErr_SetObject(PyExc_KeyError, key.get());
            return false;
        }
        return !fresh || !name_len || appended(fresh->append(part->text, name_len, TOPIC_PART_ANY));
    }
    PyObject* value_raw = nullptr;
    const int found = python::dict_get_ref("format: mapping lookup", mapping, key.get(), &value_raw);
    Ref value(value_raw);
    if (found < 0 || source_changed(source, stamp)) return false;
    if (found == 0) {
        PyErr_SetObject(PyExc_KeyError, key.get());
        return false;
    }
    Py_ssize_t value_len = 0;
    const char* value_bytes = PyUnicode_AsUTF8AndSize(value.get(), &value_len);
    if (!value_bytes) return false;
    return !fresh || value_len == 0 ||
           appended(fresh->append(value_bytes, static_cast<uint64_t>(value_len), TOPIC_PART_EXACT));
}

PyObject* format_record(TopicObject* self, PyObject* mapping, bool internalized, bool strict) {
    evt_topic* source = self->header;
    // Python code run by dict lookups can neither free the source's parts
    // under the walk nor fail it by changing other topics.
    RecordPin pin(source);
    PendingRecord fresh(
        static_cast<evt_topic*>(c_ap_request(sizeof(evt_topic), c_ap_protocol_from_ptr(source))));
    if (fresh.get()) fresh.get()->is_exact = 1;
    // Nothing else can reach the fresh record, so its tail is carried along.
    RecordAppender appender(fresh.get());
    RecordAppender* target = fresh.get() ? &appender : nullptr;

    const uint64_t stamp = current_stamp();
    const uint64_t count = source->n_parts;
    const evt_topic_part_variant* part = source->parts;
    for (uint64_t i = 0; i < count && part; ++i, part = part->next) {
        switch (part->ttype) {
            case TOPIC_PART_EXACT: {
                const uint64_t len = text_length(part->text, part->text_len);
                if (target && len && !appended(target->append(part->text, len, TOPIC_PART_EXACT))) return nullptr;
                break;
            }
            case TOPIC_PART_ANY:
                if (!format_wildcard(target, source, part, mapping, strict, stamp)) return nullptr;
                break;
            default:
                raise_unsupported_kind(part->ttype);
                return nullptr;
        }
    }

    // Errors of the mapping are raised first, as they would be with memory.
    if (!fresh.get()) return pyutil::fail(PyExc_MemoryError, "Failed to allocate memory!");
    evt_topic* record = fresh.release();
    bool registered = false;
    if (key_composed_record(record, &registered) != 0) {
        record_discard(record);
        return pyutil::fail(PyExc_MemoryError, "Failed to allocate memory!");
    }
    // A record kept out of the registry belongs to the Topic returned.
    const bool owner = !internalized || !registered;
    PyObject* result = topic_from_header(record, owner ? 1 : 0);
    // Without a wrapper only the registry can still reach the record.
    if (!result && (owner || !record->key)) record_discard(record);
    return result;
}

PyObject* format_through_table(PyObject* self, PyObject* kwargs) {
    Ref mapping(kwargs ? python::dict_copy("Topic.format: keywords", kwargs) : PyDict_New());
    if (!mapping) return nullptr;
    TopicFormatMapOptArgs flags{2, 1, 0};
    TopicObject* topic = as_topic(self);
    return topic->vtab->format_map(topic, mapping.get(), 0, &flags);
}

}  // namespace

// ---- Composition ---------------------------------------------------------------------

// One append on its own walks the chain once to find its end.
int32_t topic_c_append(TopicObject* self, evt_topic_part_variant* part) {
    if (!self->header || !part) {
        not_initialized();
        return -1;
    }
    RecordAppender target(self->header);
    return append_part_copy(target, part);
}

PyObject* topic_nb_add(PyObject* left, PyObject* right) {
    // Reached for `x + topic` too; a left operand that is not a Topic is never read.
    if (!PyObject_TypeCheck(left, state.Topic)) Py_RETURN_NOTIMPLEMENTED;
    const evt_topic* record = as_topic(left)->header;
    if (!record) return not_initialized();
    bool other_is_topic = false;
    if (!check_add_operand(left, right, &other_is_topic)) return nullptr;
    RecordPin pin_left(as_topic(left)->header);
    RecordPin pin_right(other_is_topic ? as_topic(right)->header : nullptr);
    Ref result(new_empty_topic());
    if (!result) return nullptr;
    TopicObject* target = as_topic(result.get());
    if (!target->header) return not_initialized();
    RecordAppender appender(target->header);
    if (!copy_parts(appender, record) || !append_operand(appender, right, other_is_topic)) return nullptr;
    if (!refresh_literal(target)) return nullptr;
    return result.release();
}

PyObject* topic_nb_inplace_add(PyObject* left, PyObject* right) {
    if (!PyObject_TypeCheck(left, state.Topic)) Py_RETURN_NOTIMPLEMENTED;
    TopicObject* self = as_topic(left);
    if (!self->header) return not_initialized();
    bool other_is_topic = false;
    if (!check_add_operand(left, right, &other_is_topic)) return nullptr;
    RecordPin pin_right(other_is_topic ? as_topic(right)->header : nullptr);
    const uint64_t kept = self->header->n_parts;
    RecordAppender appender(self->header);
    if (!append_operand(appender, right, other_is_topic) || !refresh_literal(self))
        return undo_appends(self, kept);
    return Py_NewRef(left);
}

PyObject* topic_py_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"topic_part"};
    PyObject* topic_part = nullptr;
    if (!pyutil::unpack_arguments("append", args, nargs, kwnames, names, 1, 1, &topic_part)) return nullptr;
    if (!pyutil::check_arg_type(topic_part, state.TopicPart, "topic_part", false)) return nullptr;
    TopicObject* topic = as_topic(self);
    return topic->vtab->append(topic, topic_part, 1);
}

PyObject* topic_vt_append(TopicObject* self, PyObject* topic_part, int skip_dispatch) {
    if (!topic_part) topic_part = Py_None;  // a native caller passing null is answered as for None
    PyObject* overridden = nullptr;
    if (call_python_override(self, skip_dispatch, "append", reinterpret_cast<void*>(topic_py_append), &topic_part, 1,
                             state.Topic, &overridden) != 0)
        return overridden;
    // None (or any other object) is never read as a part record.
    if (!pyutil::check_arg_type(topic_part, state.TopicPart, "topic_part", false)) return nullptr;
    if (!self->header) return not_initialized();
    evt_topic_part_variant* part = part_record_for_read(topic_part);
    if (!part) return nullptr;
    const uint64_t kept = self->header->n_parts;
    RecordAppender appender(self->header);
    if (!copy_one_part(appender, part) || !refresh_literal(self)) return undo_appends(self, kept);
    return Py_NewRef(reinterpret_cast<PyObject*>(self));
}

PyObject* topic_py_from_parts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"topic_parts"};
    PyObject* topic_parts = nullptr;
    if (!pyutil::unpack_arguments("from_parts", args, nargs, kwnames, names, 1, 1, &topic_parts)) return nullptr;
    Ref result(new_empty_topic());
    if (!result) return nullptr;
    TopicObject* target = as_topic(result.get());
    if (!target->header) return not_initialized();
    RecordAppender appender(target->header);
    const bool read = for_each_item(topic_parts, [&appender](PyObject* item) {
        if (!PyObject_TypeCheck(item, state.TopicPart)) {
            python::raise(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(item)->tp_name,
                         state.TopicPart->tp_name);
            return false;
        }
        evt_topic_part_variant* part = part_record_for_read(item);
        return part && copy_one_part(appender, part);
    });
    if (!read || !refresh_literal(target)) return nullptr;
    return result.release();
}

PyObject* topic_py_join(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"topic_parts"};
    PyObject* topic_parts = nullptr;
    if (!pyutil::unpack_arguments("join", args, nargs, kwnames, names, 1, 1, &topic_parts)) return nullptr;
    Ref result(new_empty_topic());
    if (!result) return nullptr;
    evt_topic* record = as_topic(result.get())->header;
    if (!record) return not_initialized();
    RecordAppender appender(record);
    const bool read = for_each_item(topic_parts, [&appender](PyObject* item) {
        Py_ssize_t size = 0;
        const char* bytes = PyUnicode_AsUTF8AndSize(item, &size);
        if (!bytes) return false;
        // One exact segment per string, unparsed.
        return size == 0 || appended(appender.append(bytes, static_cast<uint64_t>(size), TOPIC_PART_EXACT));
    });
    if (!read) return nullptr;
    bool registered = false;
    if (key_composed_record(record, &registered) != 0) return pyutil::fail(PyExc_MemoryError, "Failed to allocate memory!");
    return result.release();
}

// ---- Formatting ---------------------------------------------------------------------

PyObject* topic_py_format_map(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"mapping", "internalized", "strict"};
    PyObject* values[3];
    if (!pyutil::unpack_arguments("format_map", args, nargs, kwnames, names, 3, 1, values)) return nullptr;
    PyObject* mapping = values[0];
    if (!pyutil::check_arg_type(mapping, &PyDict_Type, "mapping", true, true)) return nullptr;
    TopicFormatMapOptArgs flags{2, 1, 0};
    if (values[1] && (flags.internalized = python::truth("format_map(internalized=)", values[1])) < 0) return nullptr;
    if (values[2] && (flags.strict = python::truth("format_map(strict=)", values[2])) < 0) return nullptr;
    TopicObject* topic = as_topic(self);
    return topic->vtab->format_map(topic, mapping, 1, &flags);
}

PyObject* topic_vt_format_map(TopicObject* self, PyObject* mapping, int skip_dispatch,
                              TopicFormatMapOptArgs* optional_args) {
    if (!mapping) mapping = Py_None;  // a native caller passing null is answered as for None
    bool internalized = true;
    bool strict = false;
    if (optional_args) {
        if (optional_args->n > 0) internalized = optional_args->internalized != 0;
        if (optional_args->n > 1) strict = optional_args->strict != 0;
    }
    PyObject* args[] = {mapping, internalized ? Py_True : Py_False, strict ? Py_True : Py_False};
    PyObject* overridden = nullptr;
    if (call_python_override(self, skip_dispatch, "format_map", reinterpret_cast<void*>(topic_py_format_map), args, 3,
                             state.Topic, &overridden) != 0)
        return overridden;
    if (!pyutil::check_arg_type(mapping, &PyDict_Type, "mapping", true, true)) return nullptr;
    // The source record must not be read when there is none.
    if (!self->header) return not_initialized();
    return format_record(self, mapping, internalized, strict);
}

PyObject* topic_py_format(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!refuse_positional("format", args)) return nullptr;
    return format_through_table(self, kwargs);
}

PyObject* topic_tp_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!refuse_positional("__call__", args)) return nullptr;
    return format_through_table(self, kwargs);
}

PyObject* topic_py_update_literal(PyObject* self, PyObject*) {
    TopicObject* topic = as_topic(self);
    if (topic->header && !refresh_literal(topic)) return nullptr;
    return Py_NewRef(self);
}

}  // namespace tessaly
