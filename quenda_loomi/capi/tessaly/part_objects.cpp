// The part classes: TopicPart and one subclass per part kind.  An object
// either views a part record of a topic (no ownership, `keeper` holds the
// topic) or owns a standalone record built from Python with alloc=True.
#include <cstring>

#include <utility>

#include "quenda_loomi/capi/tessaly/python_calls.h"
#include "quenda_loomi/capi/tessaly/tessaly.h"

namespace tessaly {
namespace {

constexpr const char* kNoLongerInTopic = "Topic part is no longer part of its topic";
constexpr const char* kNoMemory = "Failed to allocate memory!";

TopicPartObject* as_part(PyObject* self) { return reinterpret_cast<TopicPartObject*>(self); }

// The part kind an object of this class may view; -1 for the base class,
// which views any kind.
int32_t kind_of_class(PyObject* self) {
    if (PyObject_TypeCheck(self, state.TopicPartExact)) return TOPIC_PART_EXACT;
    if (PyObject_TypeCheck(self, state.TopicPartAny)) return TOPIC_PART_ANY;
    if (PyObject_TypeCheck(self, state.TopicPartRange)) return TOPIC_PART_RANGE;
    if (PyObject_TypeCheck(self, state.TopicPartPattern)) return TOPIC_PART_PATTERN;
    return -1;
}

// The class that views parts of `kind`; null with ValueError for an unknown kind.
PyTypeObject* class_of_kind(int32_t kind) {
    switch (kind) {
        case TOPIC_PART_EXACT: return state.TopicPartExact;
        case TOPIC_PART_ANY: return state.TopicPartAny;
        case TOPIC_PART_RANGE: return state.TopicPartRange;
        case TOPIC_PART_PATTERN: return state.TopicPartPattern;
        default:
            python::raise(PyExc_ValueError, "Invalid ttype %d", kind);
            return nullptr;
    }
}

PyObject* new_part_object(PyTypeObject* type);

}  // namespace

bool keeper_has_part(PyObject* keeper, const evt_topic_part_variant* part, uint64_t since_stamp) {
    if (PyObject_TypeCheck(keeper, state.Topic))
        return record_still_holds(as_topic(keeper)->header, part, since_stamp);
    if (state.TopicMatchResult != nullptr && PyObject_TypeCheck(keeper, state.TopicMatchResult)) {
        auto* result = reinterpret_cast<TopicMatchResultObject*>(keeper);
        // The part came from one of the two: find out which before trusting it.
        for (PyObject* topic : {result->topic_a, result->topic_b})
            if (topic != nullptr && PyObject_TypeCheck(topic, state.Topic) &&
                record_has_part(as_topic(topic)->header, part) &&
                record_still_holds(as_topic(topic)->header, part, since_stamp))
                return true;
        return false;
    }
    return true;  // a part object that took over ownership keeps the record itself
}

PyObject* make_part_view(evt_topic_part_variant* record, PyObject* keeper) {
    const uint64_t stamp = current_stamp();
    PyTypeObject* type = class_of_kind(record->ttype);
    if (type == nullptr) return nullptr;
    // Made directly as the kind's class: the same object a plain view cast
    // to its kind would give, without the intermediate one.
    pyutil::Ref view(new_part_object(type));
    if (!view) return nullptr;
    // Allocating may run finalizers that change the keeper's chain.
    if (keeper != nullptr && current_stamp() != stamp && !keeper_has_part(keeper, record, stamp))
        return pyutil::fail(PyExc_RuntimeError, kNoLongerInTopic);
    TopicPartObject* part = as_part(view.get());
    part->header = record;
    part->owner = 0;
    part->keeper = Py_XNewRef(keeper);
    part->checked_stamp = stamp;
    return view.release();
}

// A view re-checks after any change of its keeper's records that its topic
// still holds the record, and that the record is still of the kind its class
// reads (a freed part's address may have been reused for another part).
evt_topic_part_variant* part_record_for_read(PyObject* object) {
    TopicPartObject* self = as_part(object);
    if (self->header == nullptr) {
        not_initialized();
        return nullptr;
    }
    if (self->keeper != nullptr && self->checked_stamp != current_stamp()) {
        const int32_t kind = kind_of_class(object);
        if (!keeper_has_part(self->keeper, self->header, self->checked_stamp) ||
            (kind >= 0 && self->header->ttype != kind)) {
            PyErr_SetString(PyExc_RuntimeError, kNoLongerInTopic);
            return nullptr;
        }
        self->checked_stamp = current_stamp();
    }
    return self->header;
}

namespace {

void drop_record(TopicPartObject* self) {
    if (self->owner && self->header != nullptr) evt_topic_part_free(self->header);
    self->header = nullptr;
    self->owner = 0;
}

PyObject* new_part_object(PyTypeObject* type) {
    auto* self = as_part(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->vtab = &topic_part_vtable;
    return reinterpret_cast<PyObject*>(self);
}

PyObject* decode_text(const char* text, uint64_t length) {
    if (text == nullptr) return PyUnicode_FromStringAndSize("", 0);
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(length), "strict");
}

// ---- Native method table ----------------------------------------------------

PyObject* part_c_from_header(evt_topic_part_variant* header, int owner) {
    PyObject* object = new_part_object(state.TopicPart);
    if (object == nullptr) return nullptr;
    as_part(object)->header = header;
    as_part(object)->owner = owner ? 1 : 0;
    return object;
}

PyObject* part_c_cast(TopicPartObject* self) {
    if (self->header == nullptr) return not_initialized();
    PyTypeObject* type = class_of_kind(self->header->ttype);
    if (type == nullptr) return nullptr;
    PyObject* object = new_part_object(type);
    if (object == nullptr) return nullptr;
    TopicPartObject* cast = as_part(object);
    cast->header = self->header;
    cast->owner = self->owner;
    cast->keeper = Py_XNewRef(self->keeper);
    cast->checked_stamp = self->checked_stamp;
    if (self->owner) {
        // Ownership moves on; this object keeps the new owner alive so its
        // pointer stays valid for as long as it lives.
        self->owner = 0;
        python::replace(self->keeper, Py_NewRef(object));
    }
    return object;
}

// ---- Construction -----------------------------------------------------------

// The base constructor: `alloc` (keyword only) requests an owned, zero-filled
// record; every other argument is ignored.
PyObject* part_new_base(PyTypeObject* type, PyObject* kwargs) {
    pyutil::Ref object(new_part_object(type));
    if (!object) return nullptr;
    PyObject* alloc = nullptr;
    if (kwargs != nullptr && PyDict_GetItemStringRef(kwargs, "alloc", &alloc) < 0) return nullptr;
    pyutil::Ref alloc_ref(alloc);
    int wanted = alloc ? python::truth("TopicPart(alloc=)", alloc) : 0;
    if (wanted < 0) return nullptr;
    if (wanted) {
        auto* record = static_cast<evt_topic_part_variant*>(
            c_ap_request(sizeof(evt_topic_part_variant), heap_allocator()));
        if (record == nullptr) return pyutil::fail(PyExc_MemoryError, kNoMemory);
        as_part(object.get())->header = record;
        as_part(object.get())->owner = 1;
    }
    return object.release();
}

PyObject* part_tp_new(PyTypeObject* type, PyObject*, PyObject* kwargs) {
    return part_new_base(type, kwargs);
}

// The content argument of a subclass constructor: first positional argument
// or the keyword `name`.  Returns a new reference (None when absent), or null
// with TypeError when it is given both ways.
PyObject* content_argument(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* name) {
    pyutil::Ref content(PyTuple_GET_SIZE(args) > 0 ? Py_NewRef(PyTuple_GET_ITEM(args, 0)) : nullptr);
    if (kwargs != nullptr) {
        PyObject* keyword = nullptr;
        if (PyDict_GetItemStringRef(kwargs, name, &keyword) < 0) return nullptr;
        if (keyword != nullptr) {
            pyutil::Ref keyword_ref(keyword);
            if (content)
                return python::raise(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                                    type->tp_name, name);
            return keyword_ref.release();
        }
    }
    return content ? content.release() : Py_NewRef(Py_None);
}

// Exact, any and pattern parts: the content is an owned copy of the UTF-8
// bytes of a str.
PyObject* text_part_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* keyword,
                        int32_t kind, const char* uninitialized_message) {
    pyutil::Ref object(part_new_base(type, kwargs));
    if (!object) return nullptr;
    pyutil::Ref content_ref(content_argument(type, args, kwargs, keyword));
    if (!content_ref) return nullptr;
    PyObject* content = content_ref.get();
    if (!pyutil::check_arg_type(content, &PyUnicode_Type, keyword, true, true)) return nullptr;
    if (content == Py_None || PyUnicode_GET_LENGTH(content) == 0) return object.release();

    TopicPartObject* self = as_part(object.get());
    if (self->header == nullptr) return pyutil::fail(PyExc_RuntimeError, uninitialized_message);
    Py_ssize_t length = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(content, &length);
    if (bytes == nullptr) return nullptr;
    auto* copy = static_cast<char*>(c_ap_request(static_cast<uint64_t>(length) + 1, heap_allocator()));
    if (copy == nullptr) {
        drop_record(self);
        return pyutil::fail(PyExc_MemoryError, kNoMemory);
    }
    std::memcpy(copy, bytes, static_cast<size_t>(length));
    self->header->text = copy;
    self->header->text_len = static_cast<uint64_t>(length);
    self->header->ttype = kind;
    return object.release();
}

PyObject* exact_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return text_part_new(type, args, kwargs, "part", TOPIC_PART_EXACT,
                         "Can not assign part string when uninitialized!");
}

PyObject* any_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return text_part_new(type, args, kwargs, "name", TOPIC_PART_ANY,
                         "Can not assign name string when uninitialized!");
}

PyObject* pattern_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return text_part_new(type, args, kwargs, "regex", TOPIC_PART_PATTERN,
                         "Can not assign regex string when uninitialized!");
}

// Range parts: the options laid end to end in one buffer, each followed by a
// NUL, plus one block of option pointers followed by their lengths (the same
// layout as a parsed range part).
PyObject* range_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    pyutil::Ref object(part_new_base(type, kwargs));
    if (!object) return nullptr;
    pyutil::Ref content_ref(content_argument(type, args, kwargs, "options"));
    if (!content_ref) return nullptr;
    PyObject* content = content_ref.get();
    if (!pyutil::check_arg_type(content, &PyList_Type, "options", true, true)) return nullptr;
    if (content == Py_None || PyList_GET_SIZE(content) == 0) return object.release();

    TopicPartObject* self = as_part(object.get());
    if (self->header == nullptr)
        return pyutil::fail(PyExc_RuntimeError, "Can not assign options when uninitialized!");

    // A snapshot: taking an item's length may run code that changes the list.
    pyutil::Ref items(PyList_AsTuple(content));
    if (!items) return nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
    // First pass: every option is an exact str without NUL (a NUL would read
    // as a separator once the part is copied into a topic).
    uint64_t literal_len = static_cast<uint64_t>(count) - 1;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        if (python::size("TopicPartRange options", item) < 0) return nullptr;
        if (!PyUnicode_CheckExact(item))
            return python::raise(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(item)->tp_name);
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item, &length);
        if (text == nullptr) return nullptr;
        if (std::memchr(text, '\0', static_cast<size_t>(length)) != nullptr)
            return python::raise(PyExc_ValueError, "Range option %R must not contain a NUL character", item);
        literal_len += static_cast<uint64_t>(length);
    }

    const uint64_t slots = static_cast<uint64_t>(count);
    auto* literal = static_cast<char*>(c_ap_request(literal_len + 1, heap_allocator()));
    auto* option_block = literal == nullptr
                             ? nullptr
                             : static_cast<char**>(c_ap_request(slots * (sizeof(char*) + sizeof(uint64_t)),
                                                                heap_allocator()));
    if (option_block == nullptr) {
        c_ap_free(literal);
        drop_record(self);
        return pyutil::fail(PyExc_MemoryError, kNoMemory);
    }
    // Second pass: the UTF-8 forms are cached on the (exact) str objects.
    auto* option_length = reinterpret_cast<uint64_t*>(option_block + slots);
    uint64_t offset = 0;
    for (uint64_t i = 0; i < slots; ++i) {
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)), &length);
        std::memcpy(literal + offset, text, static_cast<size_t>(length));
        option_block[i] = literal + offset;
        option_length[i] = static_cast<uint64_t>(length);
        offset += static_cast<uint64_t>(length) + 1;
    }
    evt_topic_part_variant* record = self->header;
    record->option_ptr = option_block;
    record->option_length = option_length;
    record->num_options = slots;
    record->literal = literal;
    record->literal_len = literal_len;
    record->ttype = TOPIC_PART_RANGE;
    return object.release();
}

// ---- Object protocol --------------------------------------------------------

int part_traverse(PyObject* object, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(object));
    Py_VISIT(as_part(object)->keeper);
    return 0;
}

int part_clear(PyObject* object) {
    TopicPartObject* self = as_part(object);
    if (self->keeper != nullptr && !self->owner) {
        // Without its keeper a view has nothing that guarantees its record.
        self->header = nullptr;
    }
    python::release("TopicPart: keeper", std::exchange(self->keeper, nullptr));
    return 0;
}

void part_dealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    PyObject_GC_UnTrack(object);
    TopicPartObject* self = as_part(object);
    drop_record(self);
    python::release("TopicPart: keeper", std::exchange(self->keeper, nullptr));
    type->tp_free(object);
    python::drop(type);
}

PyObject* part_get_ttype(PyObject* self, void*) {
    evt_topic_part_variant* record = part_record_for_read(self);
    if (record == nullptr) return nullptr;
    pyutil::Ref kind(PyLong_FromLong(static_cast<long>(record->ttype)));
    return kind ? python::call_one("TopicType lookup", state.TopicType, kind.get()) : nullptr;
}

PyObject* part_get_addr(PyObject* self, void*) {
    if (as_part(self)->header == nullptr) Py_RETURN_NONE;
    return PyLong_FromVoidPtr(as_part(self)->header);
}

PyObject* part_get_owner(PyObject* self, void*) { return PyBool_FromLong(as_part(self)->owner); }

PyObject* part_next(PyObject* self, PyObject*) {
    evt_topic_part_variant* record = part_record_for_read(self);
    if (record == nullptr) return nullptr;
    if (record->next == nullptr) {
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    PyObject* keeper = as_part(self)->keeper ? as_part(self)->keeper : self;
    return make_part_view(record->next, keeper);
}


PyObject* text_of(PyObject* self) {
    evt_topic_part_variant* record = part_record_for_read(self);
    if (record == nullptr) return nullptr;
    return decode_text(record->text, record->text_len);
}

PyObject* exact_get_part(PyObject* self, void*) { return text_of(self); }
PyObject* any_get_name(PyObject* self, void*) { return text_of(self); }
PyObject* pattern_get_pattern(PyObject* self, void*) { return text_of(self); }

PyObject* pattern_get_regex(PyObject* self, void*) {
    pyutil::Ref pattern(python::get_attr("TopicPartPattern.pattern", self, "pattern"));
    if (!pattern) return nullptr;
    PyObject* args[] = {state.re_module, pattern.get()};
    return python::call_method("TopicPartPattern.regex: compile", state.str_compile, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET);
}

Py_ssize_t exact_length(PyObject* self) {
    evt_topic_part_variant* record = part_record_for_read(self);
    return record ? static_cast<Py_ssize_t>(record->text_len) : -1;
}

Py_ssize_t range_length(PyObject* self) {
    evt_topic_part_variant* record = part_record_for_read(self);
    return record ? static_cast<Py_ssize_t>(record->num_options) : -1;
}

// "<Prefix>(field=\"" + str(self.<attribute>) + "\")", or the uninitialised form.
PyObject* text_repr(PyObject* self, const char* class_name, const char* field, const char* attribute) {
    if (as_part(self)->header == nullptr) return python::text("<%s uninitialized>", class_name);
    pyutil::Ref value(python::get_attr("TopicPart repr attribute", self, attribute));
    if (!value) return nullptr;
    pyutil::Ref text(python::str("TopicPart repr text", value.get()));
    if (!text) return nullptr;
    return python::text("<%s>(%s=\"%U\")", class_name, field, text.get());
}

PyObject* exact_repr(PyObject* self) { return text_repr(self, "TopicPartExact", "topic", "part"); }
PyObject* any_repr(PyObject* self) { return text_repr(self, "TopicPartAny", "name", "name"); }
PyObject* pattern_repr(PyObject* self) { return text_repr(self, "TopicPartPattern", "regex", "pattern"); }

PyObject* range_repr(PyObject* self) {
    if (as_part(self)->header == nullptr) return PyUnicode_FromString("<TopicPartRange uninitialized>");
    evt_topic_part_variant* record = part_record_for_read(self);
    if (record == nullptr) return nullptr;
    const unsigned long long count = record->num_options;
    pyutil::Ref options(python::call_method_no_args("TopicPartRange options()", self, "options"));
    if (!options) return nullptr;
    pyutil::Ref listed(python::list_of("TopicPartRange repr options", options.get()));
    if (!listed) return nullptr;
    pyutil::Ref text(python::str("TopicPartRange repr text", listed.get()));
    if (!text) return nullptr;
    return python::text("<TopicPartRange>(n=%llu, options=%U)", count, text.get());
}

// ---- options() generator -----------------------------------------------------

// options() is a generator (state.range_options) that reads the record
// afresh at every step (and fails on its first step without a record).

// _step(part, index): option `index` of a range part, or None past the end.
PyObject* range_option_at(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) return pyutil::fail(PyExc_TypeError, "_step() takes exactly 2 arguments");
    if (!pyutil::check_arg_type(args[0], state.TopicPartRange, "self", false)) return nullptr;
    const unsigned long long index = PyLong_AsUnsignedLongLong(args[1]);
    if (index == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    evt_topic_part_variant* record = part_record_for_read(args[0]);
    if (record == nullptr) return nullptr;
    if (index >= record->num_options || record->option_ptr == nullptr) Py_RETURN_NONE;
    const char* option = record->option_ptr[index];
    if (option == nullptr) return PyUnicode_FromStringAndSize("", 0);
    return PyUnicode_DecodeUTF8(option, static_cast<Py_ssize_t>(std::strlen(option)), "strict");
}

PyMethodDef range_option_at_def = {
    "_step", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(range_option_at)), METH_FASTCALL,
    nullptr};

PyObject* range_options(PyObject* self, PyObject*) {
    return python::call_one("TopicPartRange.options", state.range_options, self);
}

PyObject* range_iter(PyObject* self) { return python::call_method_no_args("TopicPartRange options()", self, "options"); }

// ---- Type specs -------------------------------------------------------------

PyMethodDef part_methods[] = {
    {"next", part_next, METH_NOARGS, "next($self, /)\n--\n\nTopicPart.next(self)"},
    NoPickling::reduce,
    NoPickling::reduce_ex,
    NoPickling::setstate,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef part_getset[] = {
    {"ttype", part_get_ttype, nullptr, "TopicPart.ttype: TopicType", nullptr},
    {"addr", part_get_addr, nullptr, "TopicPart.addr: int", nullptr},
    {"owner", part_get_owner, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot part_slots[] = {
    {Py_tp_doc, const_cast<char*>("One part of a topic. Iterating or indexing a Topic gives views of its parts; a part built with alloc=True stands alone and is copied by Topic.append, Topic.from_parts and +.")},
    {Py_tp_new, reinterpret_cast<void*>(part_tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(part_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(part_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(part_clear)},
    {Py_tp_methods, part_methods},
    {Py_tp_getset, part_getset},
    {0, nullptr},
};

constexpr unsigned kPartFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

PyType_Spec part_spec = {"quenda_loomi.capi.tessaly.TopicPart", sizeof(TopicPartObject), 0, kPartFlags,
                         part_slots};

PyGetSetDef exact_getset[] = {
    {"part", exact_get_part, nullptr, "TopicPartExact.part: str", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot exact_slots[] = {
    {Py_tp_doc, const_cast<char*>("An exact part: matches a segment with exactly its text.")},
    {Py_tp_traverse, reinterpret_cast<void*>(part_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(part_clear)},
    {Py_tp_new, reinterpret_cast<void*>(exact_tp_new)},
    {Py_tp_repr, reinterpret_cast<void*>(exact_repr)},
    {Py_tp_getset, exact_getset},
    {Py_sq_length, reinterpret_cast<void*>(exact_length)},
    {0, nullptr},
};
PyType_Spec exact_spec = {"quenda_loomi.capi.tessaly.TopicPartExact", sizeof(TopicPartObject), 0,
                          kPartFlags, exact_slots};

PyGetSetDef any_getset[] = {
    {"name", any_get_name, nullptr, "TopicPartAny.name: str", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot any_slots[] = {
    {Py_tp_doc, const_cast<char*>("A named wildcard part (+name or {name}): matches any one segment.")},
    {Py_tp_traverse, reinterpret_cast<void*>(part_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(part_clear)},
    {Py_tp_new, reinterpret_cast<void*>(any_tp_new)},
    {Py_tp_repr, reinterpret_cast<void*>(any_repr)},
    {Py_tp_getset, any_getset},
    {0, nullptr},
};
PyType_Spec any_spec = {"quenda_loomi.capi.tessaly.TopicPartAny", sizeof(TopicPartObject), 0, kPartFlags,
                        any_slots};

PyMethodDef range_methods[] = {
    {"options", range_options, METH_NOARGS, "options($self, /)\n--\n\nTopicPartRange.options(self)"},
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot range_slots[] = {
    {Py_tp_doc, const_cast<char*>("A range part ((a|b|c)): matches a segment equal to one of its options.")},
    {Py_tp_traverse, reinterpret_cast<void*>(part_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(part_clear)},
    {Py_tp_new, reinterpret_cast<void*>(range_tp_new)},
    {Py_tp_repr, reinterpret_cast<void*>(range_repr)},
    {Py_tp_methods, range_methods},
    {Py_tp_iter, reinterpret_cast<void*>(range_iter)},
    {Py_sq_length, reinterpret_cast<void*>(range_length)},
    {0, nullptr},
};
PyType_Spec range_spec = {"quenda_loomi.capi.tessaly.TopicPartRange", sizeof(TopicPartObject), 0,
                          kPartFlags, range_slots};

PyGetSetDef pattern_getset[] = {
    {"pattern", pattern_get_pattern, nullptr, "TopicPartPattern.pattern: str", nullptr},
    {"regex", pattern_get_regex, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot pattern_slots[] = {
    {Py_tp_doc, const_cast<char*>("A pattern part (/regex/): matches a segment in which re.search finds its expression.")},
    {Py_tp_traverse, reinterpret_cast<void*>(part_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(part_clear)},
    {Py_tp_new, reinterpret_cast<void*>(pattern_tp_new)},
    {Py_tp_repr, reinterpret_cast<void*>(pattern_repr)},
    {Py_tp_getset, pattern_getset},
    {0, nullptr},
};
PyType_Spec pattern_spec = {"quenda_loomi.capi.tessaly.TopicPartPattern", sizeof(TopicPartObject), 0,
                            kPartFlags, pattern_slots};

}  // namespace

TopicPartVTable topic_part_vtable = {part_c_from_header, part_c_cast};

int add_part_types(PyObject* module) {
    if (publish_type(module, &part_spec, nullptr, &state.TopicPart) < 0) return -1;
    if (publish_type(module, &exact_spec, state.TopicPart, &state.TopicPartExact) < 0) return -1;
    if (publish_type(module, &any_spec, state.TopicPart, &state.TopicPartAny) < 0) return -1;
    if (publish_type(module, &range_spec, state.TopicPart, &state.TopicPartRange) < 0) return -1;
    if (publish_type(module, &pattern_spec, state.TopicPart, &state.TopicPartPattern) < 0) return -1;
    PyObject* options = define_generator_function("options", "TopicPartRange.options", &range_option_at_def);
    if (options == nullptr) return -1;
    python::replace(state.range_options, options);
    return 0;
}

}  // namespace tessaly
