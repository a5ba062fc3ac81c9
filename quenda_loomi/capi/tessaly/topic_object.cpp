// The Topic class: construction from a literal, the value property, the
// comparison, hashing, sizing, indexing and iteration protocols, and the
// native method table.  Matching, formatting and composition live in
// match_result.cpp and topic_compose.cpp; their entry points are wired into
// the type here.
#include <cstddef>
#include <new>
#include <utility>

#include "quenda_loomi/capi/tessaly/python_calls.h"
#include "quenda_loomi/capi/tessaly/tessaly.h"

namespace tessaly {
namespace {


// ---- Construction and release ---------------------------------------------

// A new Topic of `type` for `literal` (a str or None, already checked):
// the registered record when the literal is known, else a parsed and
// registered one; an empty or None literal gives an owned empty record.
PyObject* construct_topic(PyTypeObject* type, PyObject* literal, bool allocate) {
    const bool has_literal = literal != Py_None && PyUnicode_GET_LENGTH(literal) > 0;
    pyutil::Ref object(type->tp_alloc(type, 0));
    if (!object) return nullptr;
    TopicObject* self = as_topic(object.get());
    self->vtab = &topic_vtable;
    if (!allocate) {
        if (has_literal)
            return pyutil::fail(PyExc_RuntimeError, "Can not assign topic string when uninitialized!");
        return object.release();
    }
    if (!has_literal) {
        self->header = evt_topic_new(nullptr, 0, default_allocator());
        if (self->header == nullptr)
            return python::raise(PyExc_MemoryError,
                                "Failed to init topic \":%S\", check if the syntax is correct!", literal);
        self->owner = 1;
    } else {
        Py_ssize_t length = 0;
        const char* bytes = PyUnicode_AsUTF8AndSize(literal, &length);
        if (bytes == nullptr) return nullptr;
        self->header = evt_topic_new(bytes, static_cast<uint64_t>(length), default_allocator());
        if (self->header == nullptr) return pyutil::fail(PyExc_MemoryError, "Failed to allocate memory!");
    }
    if (!record_acquire(self->header)) {
        // Nobody else holds a fresh owned record; a registered one stays.
        if (self->owner) record_discard(self->header);
        self->header = nullptr;
        self->owner = 0;
        return pyutil::fail(PyExc_MemoryError, "Failed to allocate memory!");
    }
    return object.release();
}

// Topic(topic=None, *args, alloc=True, **kwargs)
PyObject* topic_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    // Strong references: the truth test of `alloc` may run code that empties
    // the keyword dict.
    pyutil::Ref literal_ref(PyTuple_GET_SIZE(args) > 0 ? Py_NewRef(PyTuple_GET_ITEM(args, 0)) : nullptr);
    pyutil::Ref alloc;
    if (kwargs != nullptr) {
        PyObject* keyword = nullptr;
        if (PyDict_GetItemStringRef(kwargs, "topic", &keyword) < 0) return nullptr;
        if (keyword != nullptr) {
            pyutil::Ref keyword_ref(keyword);
            if (literal_ref)
                return python::raise(PyExc_TypeError, "%s() got multiple values for argument 'topic'",
                                    type->tp_name);
            literal_ref = std::move(keyword_ref);
        }
        PyObject* alloc_value = nullptr;
        if (PyDict_GetItemStringRef(kwargs, "alloc", &alloc_value) < 0) return nullptr;
        alloc.reset(alloc_value);
    }
    PyObject* literal = literal_ref ? literal_ref.get() : Py_None;
    if (!pyutil::check_arg_type(literal, &PyUnicode_Type, "topic", true, true)) return nullptr;
    const int allocate = alloc ? python::truth("Topic(alloc=)", alloc.get()) : 1;
    if (allocate < 0) return nullptr;
    return construct_topic(type, literal, allocate != 0);
}

// Topic(str) and Topic() are the hot calls (lookups, and the new topics of
// composition): they skip the argument tuple and dict.  Every other form
// (and every subclass, whose __init__ must run) goes through the ordinary
// type call.
PyObject* topic_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (type == state.Topic && kwnames == nullptr) {
        if (nargs == 1 && PyUnicode_CheckExact(args[0])) return construct_topic(type, args[0], true);
        if (nargs == 0) return construct_topic(type, Py_None, true);
    }
    pyutil::Ref positional(PyTuple_New(nargs));
    if (!positional) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
    pyutil::Ref keywords;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw > 0) {
        keywords.reset(PyDict_New());
        if (!keywords) return nullptr;
        for (Py_ssize_t i = 0; i < nkw; ++i)
            if (python::dict_set("Topic(): keywords", keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
    }
    return python::type_call("Topic(): type call", callable, positional.get(), keywords.get());
}

void topic_dealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    TopicObject* self = as_topic(object);
    if (self->weakreflist != nullptr) python::clear_weakrefs("Topic: weak references", object);
    evt_topic* record = self->header;
    self->header = nullptr;
    record_release(record, self->owner != 0);
    self->owner = 0;
    type->tp_free(object);
    python::drop(type);
}

}  // namespace

PyObject* topic_from_header(evt_topic* header, int owner) {
    PyTypeObject* type = state.Topic;
    auto* self = as_topic(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->vtab = &topic_vtable;
    if (!record_acquire(header)) {
        python::drop(self);
        return pyutil::fail(PyExc_MemoryError, "Failed to allocate memory!");
    }
    self->header = header;
    self->owner = owner ? 1 : 0;
    return reinterpret_cast<PyObject*>(self);
}

namespace {

// ---- Properties -------------------------------------------------------------

PyObject* topic_get_value(PyObject* object, void*) {
    evt_topic* record = as_topic(object)->header;
    if (record == nullptr) return not_initialized();
    if (record->key == nullptr) return PyUnicode_FromStringAndSize("", 0);
    return PyUnicode_DecodeUTF8(record->key, static_cast<Py_ssize_t>(record->key_len), "strict");
}

// Re-parses the record in place; every object wrapping it sees the change.
int topic_set_value(PyObject* object, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    if (!pyutil::check_arg_type(value, &PyUnicode_Type, "value", true, true)) return -1;
    evt_topic* record = as_topic(object)->header;
    if (record == nullptr) {
        not_initialized();
        return -1;
    }
    if (value == Py_None) {  // passes the type check, but has no UTF-8 form
        PyErr_SetString(PyExc_AttributeError, "'NoneType' object has no attribute 'encode'");
        return -1;
    }
    Py_ssize_t length = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(value, &length);
    if (bytes == nullptr) return -1;

    if (!record_clear(record)) {
        PyErr_NoMemory();
        return -1;
    }
    const auto size = static_cast<uint64_t>(length);
    if (evt_topic_parse(record, bytes, size) != 0 || register_record(record, bytes, size) != 0) {
        python::raise(PyExc_ValueError, "Failed to assign topic \"%U\", check if syntax is correct!", value);
        return -1;
    }
    return 0;
}

PyObject* topic_get_is_exact(PyObject* object, void*) {
    evt_topic* record = as_topic(object)->header;
    if (record == nullptr) return not_initialized();
    return PyLong_FromLong(record->is_exact);
}

PyObject* topic_get_addr(PyObject* object, void*) {
    return PyLong_FromVoidPtr(as_topic(object)->header);
}

PyObject* topic_get_owner(PyObject* object, void*) { return PyBool_FromLong(as_topic(object)->owner); }

// ---- Special methods --------------------------------------------------------

Py_ssize_t topic_length(PyObject* object) {
    evt_topic* record = as_topic(object)->header;
    if (record == nullptr) {
        not_initialized();
        return -1;
    }
    return static_cast<Py_ssize_t>(record->n_parts);
}

int topic_bool(PyObject* object) {
    evt_topic* record = as_topic(object)->header;
    return record != nullptr && record->n_parts > 0;
}

Py_hash_t topic_hash(PyObject* object) {
    evt_topic* record = as_topic(object)->header;
    if (record == nullptr) {
        not_initialized();
        return -1;
    }
    const auto hash = static_cast<Py_hash_t>(static_cast<int64_t>(record->hash));
    return hash == -1 ? -2 : hash;
}

// == and != compare the literals.  None is accepted as the other operand and
// is never equal to a topic; any other non-Topic operand is a TypeError.
PyObject* topic_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    if (other == Py_None) return PyBool_FromLong(op == Py_NE);
    if (!pyutil::check_arg_type(other, state.Topic, "other", false)) return nullptr;
    if (as_topic(self)->header == nullptr || as_topic(other)->header == nullptr) return not_initialized();
    pyutil::Ref mine(python::get_attr("Topic.__eq__: value", self, "value"));
    if (!mine) return nullptr;
    pyutil::Ref theirs(python::get_attr("Topic.__eq__: value", other, "value"));
    if (!theirs) return nullptr;
    const int equal = python::compare("Topic.__eq__: values", mine.get(), theirs.get(), Py_EQ);
    if (equal < 0) return nullptr;
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

PyObject* topic_repr(PyObject* self) {
    pyutil::Ref name(PyType_GetName(Py_TYPE(self)));
    if (!name) return nullptr;
    if (as_topic(self)->header == nullptr) return python::text("<%U uninitialized>", name.get());
    pyutil::Ref value(python::get_attr("Topic.__repr__: value", self, "value"));
    if (!value) return nullptr;
    pyutil::Ref text(python::str("Topic.__repr__: text", value.get()));
    if (!text) return nullptr;
    evt_topic* record = as_topic(self)->header;
    if (record == nullptr) return not_initialized();
    return python::text("<%U %s>(value=\"%U\", n_parts=%llu)", name.get(),
                                record->is_exact ? "Exact" : "Generic", text.get(),
                                static_cast<unsigned long long>(record->n_parts));
}

PyObject* topic_str(PyObject* self) {
    if (as_topic(self)->header == nullptr) return not_initialized();
    return python::get_attr("Topic.__str__: value", self, "value");
}

// topic[i]: a non-owning view of part i (negative counts from the end).
PyObject* topic_subscript(PyObject* self, PyObject* key) {
    if (!PyIndex_Check(key))
        return python::raise(PyExc_TypeError, "Topic indices must be integers, not %.200s",
                            Py_TYPE(key)->tp_name);
    evt_topic* record = as_topic(self)->header;
    if (record == nullptr) return not_initialized();
    pyutil::Ref index_object(python::index("Topic[index]", key));
    if (!index_object) return nullptr;
    Py_ssize_t index = PyLong_AsSsize_t(index_object.get());
    const bool overflow = index == -1 && PyErr_Occurred();
    if (overflow) python::clear_error("Topic[index]: overflow");
    const auto count = static_cast<Py_ssize_t>(record->n_parts);
    if (overflow || index < -count || index >= count)
        return python::raise(PyExc_IndexError, "Index %S out of range!", index_object.get());
    if (index < 0) index += count;
    evt_topic_part_variant* part = record->parts;
    for (Py_ssize_t i = 0; i < index && part != nullptr; ++i) part = part->next;
    if (part == nullptr) return python::raise(PyExc_IndexError, "Index %S out of range!", index_object.get());
    return make_part_view(part, self);
}


// ---- Iteration ----------------------------------------------------------------

// Topic.__iter__ is a generator over the parts.  Each step re-reads the
// record; a cursor made for the iteration remembers the node reached last
// with the record's generation, so a sequential iteration walks the chain
// once, and a chain changed between two steps is walked again from `parts`
// instead of being read stale.  The generator's frame keeps the Topic alive.

constexpr const char kCursorName[] = "quenda_loomi.capi.tessaly.chain_cursor";

void free_cursor(PyObject* capsule) {
    auto* cursor = static_cast<ChainCursor*>(PyCapsule_GetPointer(capsule, kCursorName));
    if (cursor != nullptr) {
        cursor->~ChainCursor();
        PyMem_Free(cursor);
    }
}

// _memo(): a fresh cursor for one iteration.
PyObject* new_chain_cursor(PyObject*, PyObject*) {
    void* memory = PyMem_Malloc(sizeof(ChainCursor));
    if (memory == nullptr) return PyErr_NoMemory();
    auto* cursor = new (memory) ChainCursor();
    PyObject* capsule = PyCapsule_New(cursor, kCursorName, free_cursor);
    if (capsule == nullptr) {
        cursor->~ChainCursor();
        PyMem_Free(memory);
    }
    return capsule;
}

PyMethodDef new_chain_cursor_def = {"_memo", new_chain_cursor, METH_NOARGS, nullptr};

// _step(topic, position, cursor): the view of the part at `position`, or
// None past the end.
PyObject* topic_part_at(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) return pyutil::fail(PyExc_TypeError, "_step() takes exactly 3 arguments");
    if (!pyutil::check_arg_type(args[0], state.Topic, "self", false)) return nullptr;
    const unsigned long long position = PyLong_AsUnsignedLongLong(args[1]);
    if (position == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    auto* cursor = static_cast<ChainCursor*>(PyCapsule_GetPointer(args[2], kCursorName));
    if (cursor == nullptr) return nullptr;
    evt_topic* record = as_topic(args[0])->header;
    if (record == nullptr) return not_initialized();
    evt_topic_part_variant* part = cursor->part_at(record, position);
    if (part == nullptr) Py_RETURN_NONE;
    return make_part_view(part, args[0]);
}

PyMethodDef topic_part_at_def = {
    "_step", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(topic_part_at)), METH_FASTCALL, nullptr};

PyObject* topic_iter(PyObject* self) { return python::call_one("Topic.__iter__", state.topic_iter, self); }

// ---- Native method table ----------------------------------------------------

// Re-keys the record under the canonical literal of its parts.
// A literal that would not read back as these parts keys the record
// privately instead (see key_composed_record).
int32_t topic_c_update_literal(TopicObject* self) {
    bool registered = false;
    return key_composed_record(self->header, &registered);
}

// ---- Type specs -------------------------------------------------------------

PyMethodDef topic_methods[] = {
    {"append", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(topic_py_append)),
     METH_FASTCALL | METH_KEYWORDS,
     "append($self, topic_part)\n--\n\nTopic.append(self, TopicPart topic_part) -> Topic"},
    {"match", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(topic_py_match)),
     METH_FASTCALL | METH_KEYWORDS, "match($self, other)\n--\n\nTopic.match(self, Topic other) -> TopicMatchResult"},
    {"format_map", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(topic_py_format_map)),
     METH_FASTCALL | METH_KEYWORDS,
     "format_map($self, mapping, internalized=True, strict=False)\n--\n\n"
     "Topic.format_map(self, dict mapping, bool internalized=True, bool strict=False) -> Topic"},
    {"format", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(topic_py_format)),
     METH_VARARGS | METH_KEYWORDS, "format($self, **kwargs)\n--\n\nTopic.format(self, **kwargs) -> Topic"},
    {"update_literal", topic_py_update_literal, METH_NOARGS,
     "update_literal($self, /)\n--\n\nTopic.update_literal(self) -> Topic"},
    {"from_parts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(topic_py_from_parts)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_parts($type, topic_parts)\n--\n\nTopic.from_parts(cls, topic_parts: Iterable[TopicPart]) -> Topic"},
    {"join", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(topic_py_join)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "join($type, topic_parts)\n--\n\nTopic.join(cls, topic_parts: Iterable[str]) -> Topic"},
    NoPickling::reduce,
    NoPickling::reduce_ex,
    NoPickling::setstate,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef topic_getset[] = {
    {"value", topic_get_value, topic_set_value, nullptr, nullptr},
    {"is_exact", topic_get_is_exact, nullptr, "Topic.is_exact: bint", nullptr},
    {"addr", topic_get_addr, nullptr, "Topic.addr: uintptr_t", nullptr},
    {"owner", topic_get_owner, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef topic_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(TopicObject, weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot topic_slots[] = {
    {Py_tp_doc, const_cast<char*>("A topic: a dot-separated literal parsed into parts. Every Topic built from the same literal "
                                  "shares one registered record.")},
    {Py_tp_new, reinterpret_cast<void*>(topic_tp_new)},
    {Py_tp_vectorcall, reinterpret_cast<void*>(topic_vectorcall)},
    {Py_tp_dealloc, reinterpret_cast<void*>(topic_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(topic_repr)},
    {Py_tp_str, reinterpret_cast<void*>(topic_str)},
    {Py_tp_hash, reinterpret_cast<void*>(topic_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(topic_richcompare)},
    {Py_tp_iter, reinterpret_cast<void*>(topic_iter)},
    {Py_tp_call, reinterpret_cast<void*>(topic_tp_call)},
    {Py_tp_methods, topic_methods},
    {Py_tp_getset, topic_getset},
    {Py_tp_members, topic_members},
    {Py_mp_length, reinterpret_cast<void*>(topic_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(topic_subscript)},
    {Py_nb_bool, reinterpret_cast<void*>(topic_bool)},
    {Py_nb_add, reinterpret_cast<void*>(topic_nb_add)},
    {Py_nb_inplace_add, reinterpret_cast<void*>(topic_nb_inplace_add)},
    {0, nullptr},
};

PyType_Spec topic_spec = {"quenda_loomi.capi.tessaly.Topic", sizeof(TopicObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, topic_slots};

}  // namespace

TopicVTable topic_vtable = {
    topic_from_header,    topic_c_append, topic_c_update_literal, topic_vt_append, topic_vt_match,
    topic_vt_format_map,
};

int add_topic_type(PyObject* module) {
    if (publish_type(module, &topic_spec, nullptr, &state.Topic) < 0) return -1;
    PyObject* iterate = define_generator_function("__iter__", "Topic.__iter__", &topic_part_at_def, &new_chain_cursor_def);
    if (iterate == nullptr) return -1;
    python::replace(state.topic_iter, iterate);
    return 0;
}

}  // namespace tessaly
