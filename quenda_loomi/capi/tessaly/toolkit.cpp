// TopicTestToolkit: static methods that relay the native state of topics,
// parts and the registry to Python tests.  Each static method is a small
// Python function (so it carries its signature, docstring and a string
// return annotation) that forwards to a native implementation.
#include <iterator>

#include <utility>

#include "quenda_loomi/capi/tessaly/python_calls.h"
#include "quenda_loomi/capi/tessaly/tessaly.h"
#include "support/python/static_method.h"

namespace tessaly {
namespace {

constexpr const char* kToolkitDoc =
    "Relays internal C topic state to Python for test validation.\n\n"
    "    The toolkit exposes internal ``evt_topic`` / ``evt_topic_part_variant``\n"
    "    fields that are deliberately not part of the public Python API, so that\n"
    "    unit tests can verify the C-level layout (part chain length, keys, hash,\n"
    "    internal map bookkeeping) without relying on public properties alone.\n\n"
    "    Note:\n"
    "        Test-only class. Not declared in any ``.pxd``; not part of the\n"
    "        public package API.\n";

// The record of a Topic argument: the type is checked (None is refused) and
// an uninitialised topic raises.
evt_topic* topic_argument(PyObject* topic) {
    if (!pyutil::check_arg_type(topic, state.Topic, "topic", false)) return nullptr;
    evt_topic* record = reinterpret_cast<TopicObject*>(topic)->header;
    if (record == nullptr) not_initialized();
    return record;
}

bool part_argument(PyObject* part, PyTypeObject* expected) {
    return pyutil::check_arg_type(part, expected, "part", false);
}

PyObject* get_n_parts(PyObject*, PyObject* const* args, Py_ssize_t) {
    evt_topic* record = topic_argument(args[0]);
    return record ? PyLong_FromUnsignedLongLong(record->n_parts) : nullptr;
}

PyObject* get_hash(PyObject*, PyObject* const* args, Py_ssize_t) {
    evt_topic* record = topic_argument(args[0]);
    return record ? PyLong_FromUnsignedLongLong(record->hash) : nullptr;
}

PyObject* get_is_exact(PyObject*, PyObject* const* args, Py_ssize_t) {
    evt_topic* record = topic_argument(args[0]);
    return record ? PyLong_FromLong(record->is_exact) : nullptr;
}

PyObject* get_key(PyObject*, PyObject* const* args, Py_ssize_t) {
    evt_topic* record = topic_argument(args[0]);
    if (record == nullptr) return nullptr;
    if (record->key == nullptr) return PyUnicode_FromStringAndSize("", 0);
    return PyUnicode_DecodeUTF8(record->key, static_cast<Py_ssize_t>(record->key_len), "strict");
}

PyObject* get_part_ttype(PyObject*, PyObject* const* args, Py_ssize_t) {
    if (!pyutil::check_arg_type(args[0], state.Topic, "topic", false)) return nullptr;
    pyutil::Ref index_object(python::index("TopicTestToolkit index", args[1]));
    if (!index_object) return nullptr;
    const size_t index = PyLong_AsSize_t(index_object.get());
    if (index == static_cast<size_t>(-1) && PyErr_Occurred()) return nullptr;
    evt_topic* record = topic_argument(args[0]);
    if (record == nullptr) return nullptr;
    const evt_topic_part_variant* part = record->parts;
    for (size_t i = 0; i < index && part != nullptr; ++i) part = part->next;
    if (part == nullptr) return python::raise(PyExc_IndexError, "Index %zu out of range!", index);
    // The module global, as Python code of the module would see it.
    // Held strongly: the call may run code that rebinds the global.
    const int kind = static_cast<int>(part->ttype);
    PyObject* topic_type = nullptr;
    if (PyDict_GetItemStringRef(PyModule_GetDict(state.module), "TopicType", &topic_type) < 0) return nullptr;
    if (topic_type == nullptr && PyDict_GetItemStringRef(PyEval_GetBuiltins(), "TopicType", &topic_type) < 0)
        return nullptr;
    if (topic_type == nullptr) return python::raise(PyExc_NameError, "name '%s' is not defined", "TopicType");
    pyutil::Ref callable(topic_type);
    pyutil::Ref kind_number(PyLong_FromLong(kind));
    return kind_number ? python::call_one("TopicTestToolkit: TopicType lookup", callable.get(), kind_number.get())
                       : nullptr;
}

PyObject* get_part_chain_len(PyObject*, PyObject* const* args, Py_ssize_t) {
    if (!part_argument(args[0], state.TopicPart)) return nullptr;
    if (reinterpret_cast<TopicPartObject*>(args[0])->header == nullptr) return PyLong_FromLong(0);
    const evt_topic_part_variant* part = part_record_for_read(args[0]);
    if (part == nullptr) return nullptr;
    unsigned long long count = 0;
    for (; part != nullptr; part = part->next) ++count;
    return PyLong_FromUnsignedLongLong(count);
}

PyObject* get_part_addr(PyObject*, PyObject* const* args, Py_ssize_t) {
    if (!part_argument(args[0], state.TopicPart)) return nullptr;
    return PyLong_FromVoidPtr(reinterpret_cast<TopicPartObject*>(args[0])->header);
}

PyObject* get_range_options(PyObject*, PyObject* const* args, Py_ssize_t) {
    if (!part_argument(args[0], state.TopicPartRange)) return nullptr;
    pyutil::Ref options(python::call_method_no_args("TopicTestToolkit: options()", args[0], "options"));
    if (!options) return nullptr;
    if (PyList_CheckExact(options.get()) && Py_REFCNT(options.get()) == 1) return options.release();
    return python::list_of("TopicTestToolkit options", options.get());
}

PyObject* get_range_num_options(PyObject*, PyObject* const* args, Py_ssize_t) {
    if (!part_argument(args[0], state.TopicPartRange)) return nullptr;
    const evt_topic_part_variant* part = part_record_for_read(args[0]);
    return part ? PyLong_FromUnsignedLongLong(part->num_options) : nullptr;
}

PyObject* get_internal_map_size(PyObject*, PyObject* const*, Py_ssize_t) {
    unsigned long long count = 0;
    if (TOPIC_INTERNAL_MAP != nullptr)
        for (const byte_map_entry* entry = TOPIC_INTERNAL_MAP->first; entry != nullptr; entry = entry->next)
            ++count;
    return PyLong_FromUnsignedLongLong(count);
}

PyObject* get_internal_map_has(PyObject*, PyObject* const* args, Py_ssize_t) {
    if (!pyutil::check_arg_type(args[0], &PyUnicode_Type, "key", true, true)) return nullptr;
    if (args[0] == Py_None)  // passes the type check, but has no UTF-8 form
        return pyutil::fail(PyExc_AttributeError, "'NoneType' object has no attribute 'encode'");
    Py_ssize_t length = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(args[0], &length);
    if (bytes == nullptr) return nullptr;
    if (length == 0) Py_RETURN_FALSE;
    return PyBool_FromLong(evt_topic_lookup(bytes, static_cast<uint64_t>(length)) != nullptr);
}

struct ToolkitMethod {
    const char* name;
    const char* parameters;  // Python parameter list
    Py_ssize_t arity;
    _PyCFunctionFast impl;
    const char* signature;
    const char* summary;
    const char* returns;
};

// In the order the class defines them.
const ToolkitMethod kMethods[] = {
    {"get_n_parts", "topic", 1, get_n_parts, "TopicTestToolkit.get_n_parts(Topic topic) -> size_t",
     "Number of parts in the topic's C part chain.", "size_t"},
    {"get_hash", "topic", 1, get_hash, "TopicTestToolkit.get_hash(Topic topic) -> uint64_t",
     "Internalized hash of the topic literal.", "uint64_t"},
    {"get_is_exact", "topic", 1, get_is_exact, "TopicTestToolkit.get_is_exact(Topic topic) -> bint",
     "C-level is_exact flag.", "bint"},
    {"get_key", "topic", 1, get_key, "TopicTestToolkit.get_key(Topic topic) -> str",
     "The internalized key literal stored on the C topic.", "str"},
    {"get_part_ttype", "topic, idx", 2, get_part_ttype,
     "TopicTestToolkit.get_part_ttype(Topic topic, size_t idx) -> TopicType",
     "Type of the part at ``idx`` in the C part linked list.", "TopicType"},
    {"get_part_chain_len", "part", 1, get_part_chain_len,
     "TopicTestToolkit.get_part_chain_len(TopicPart part) -> size_t",
     "Length of the C linked chain starting at ``part`` (inclusive).", "size_t"},
    {"get_part_addr", "part", 1, get_part_addr, "TopicTestToolkit.get_part_addr(TopicPart part) -> uintptr_t",
     "Address of the C header backing ``part``.", "uintptr_t"},
    {"get_range_options", "part", 1, get_range_options,
     "TopicTestToolkit.get_range_options(TopicPartRange part) -> list",
     "Option strings of a range part (via the C option array).", "list"},
    {"get_range_num_options", "part", 1, get_range_num_options,
     "TopicTestToolkit.get_range_num_options(TopicPartRange part) -> size_t",
     "Number of options stored on a range part.", "size_t"},
    {"get_internal_map_size", "", 0, get_internal_map_size,
     "TopicTestToolkit.get_internal_map_size() -> size_t", "Number of entries in the global internal topic map.",
     "size_t"},
    {"get_internal_map_has", "key", 1, get_internal_map_has,
     "TopicTestToolkit.get_internal_map_has(str key) -> bint",
     "Whether the global internal map contains ``key``.", "bint"},
};

// The native implementations are reached through these definitions; the
// Python wrappers always pass exactly `arity` positional arguments.
PyMethodDef native_defs[std::size(kMethods)];

PyType_Slot toolkit_slots[] = {
    {Py_tp_doc, const_cast<char*>(kToolkitDoc)},
    {0, nullptr},
};

PyType_Spec toolkit_spec = {"quenda_loomi.capi.tessaly.TopicTestToolkit", sizeof(PyObject), 0,
                            Py_TPFLAGS_DEFAULT, toolkit_slots};

// Builds the static methods: one Python function per entry whose body calls
// the native implementation bound in its (private) globals.
int attach_static_methods(PyObject* module, PyObject* toolkit) {
    pyutil::Ref globals(PyDict_New());
    if (!globals) return -1;
    if (PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) return -1;
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) return -1;
    const int named = PyDict_SetItemString(globals.get(), "__name__", module_name);
    python::drop(module_name);
    if (named < 0) return -1;

    pyutil::Ref source(PyUnicode_FromString(""));
    if (!source) return -1;
    for (size_t i = 0; i < std::size(kMethods); ++i) {
        const ToolkitMethod& method = kMethods[i];
        native_defs[i] = {method.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method.impl)),
                          METH_FASTCALL, nullptr};
        pyutil::Ref native(PyCFunction_New(&native_defs[i], nullptr));
        if (!native) return -1;
        pyutil::Ref native_name(python::text("_native_%s", method.name));
        if (!native_name || python::dict_set("TopicTestToolkit set-up", globals.get(), native_name.get(), native.get()) < 0) return -1;
        pyutil::Ref definition(python::text("def %s(%s):\n    return %U(%s)\n", method.name,
                                                    method.parameters, native_name.get(), method.parameters));
        if (!definition) return -1;
        source.reset(PyUnicode_Concat(source.get(), definition.get()));
        if (!source) return -1;
    }
    const char* text = PyUnicode_AsUTF8(source.get());
    if (text == nullptr) return -1;
    pyutil::Ref ran(python::run_string("TopicTestToolkit set-up", text, Py_file_input, globals.get(), globals.get()));
    if (!ran) return -1;

    for (const ToolkitMethod& method : kMethods) {
        PyObject* function = PyDict_GetItemString(globals.get(), method.name);  // borrowed
        if (function == nullptr) return pyutil::fail(PyExc_RuntimeError, "toolkit set-up failed"), -1;
        pyutil::Ref doc(python::text("%s\n\n%s", method.signature, method.summary));
        const char* doc_text = doc ? PyUnicode_AsUTF8(doc.get()) : nullptr;
        if (doc_text == nullptr ||
            pyutil::attach_static_method(toolkit, "TopicTestToolkit", function, method.name, doc_text,
                                         method.returns) < 0)
            return -1;
    }
    return 0;
}

}  // namespace

int add_test_toolkit_type(PyObject* module) {
    return publish_type(module, &toolkit_spec, nullptr, &state.TopicTestToolkit);
}

int attach_test_toolkit_methods(PyObject* module) {
    return attach_static_methods(module, reinterpret_cast<PyObject*>(state.TopicTestToolkit));
}

}  // namespace tessaly
