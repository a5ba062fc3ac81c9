// Set-up of the topic module `quenda_loomi.capi.tessaly`: module creation
// and execution (once per process), the export table, the imports from the
// base library and the configuration module, the TopicType enum, the topic
// allocator and registry, and the registry functions.
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>

#include "quenda_loomi/capi/tessaly/pattern_search.h"
#include "quenda_loomi/capi/tessaly/python_calls.h"
#include "quenda_loomi/capi/tessaly/tessaly.h"
#include "support/engine_variables.h"
#include "support/python/arguments.h"
#include "support/python/capi_table.h"
#include "support/python/process_module.h"

namespace tessaly {

ModuleState state;

PyObject* not_initialized() { return pyutil::fail(PyExc_RuntimeError, "Not initialized!"); }

PyObject* define_generator_function(const char* name, const char* qualname, PyMethodDef* step,
                                    PyMethodDef* make_memo) {
    pyutil::Ref globals(PyDict_New());
    if (!globals) return nullptr;
    if (PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) return nullptr;
    pyutil::Ref module_name(state.module ? PyModule_GetNameObject(state.module)
                                         : PyUnicode_FromString("quenda_loomi.capi.tessaly"));
    if (!module_name || PyDict_SetItemString(globals.get(), "__name__", module_name.get()) < 0) return nullptr;
    pyutil::Ref native(PyCFunction_NewEx(step, nullptr, module_name.get()));
    if (!native || PyDict_SetItemString(globals.get(), "_step", native.get()) < 0) return nullptr;
    if (make_memo) {
        pyutil::Ref memo(PyCFunction_NewEx(make_memo, nullptr, module_name.get()));
        if (!memo || PyDict_SetItemString(globals.get(), "_memo", memo.get()) < 0) return nullptr;
    }
    // The step re-reads the record every time, so a chain changed between
    // two steps is never walked with stale pointers.
    pyutil::Ref source(python::text(
        "def %s(self):\n"
        "    i = 0\n"
        "%s"
        "    while True:\n"
        "        item = _step(self, i%s)\n"
        "        if item is None:\n"
        "            return\n"
        "        i += 1\n"
        "        yield item\n",
        name, make_memo ? "    memo = _memo()\n" : "", make_memo ? ", memo" : ""));
    if (!source) return nullptr;
    const char* text = PyUnicode_AsUTF8(source.get());
    if (text == nullptr) return nullptr;
    pyutil::Ref ran(python::run_string("generator function set-up", text, Py_file_input, globals.get(), globals.get()));
    if (!ran) return nullptr;
    PyObject* function = nullptr;
    if (PyDict_GetItemStringRef(globals.get(), name, &function) <= 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "generator set-up failed");
        return nullptr;
    }
    pyutil::Ref result(function);
    pyutil::Ref qualified(PyUnicode_FromString(qualname));
    if (!qualified || python::set_attr("generator function set-up", function, "__qualname__", qualified.get()) < 0) return nullptr;
    return result.release();
}


namespace {

// Snapshot of the default protocol at set-up; exported to other modules.
allocator_protocol* TOPIC_ALLOCATOR = nullptr;

constexpr const char* kProtocolSignature = nyxel_interface::kProtocolSignature;
constexpr const char* kMapNotInitialized = "Internal map not initialized!";

// The optional-arguments record of the exported get_internal_topic.
struct GetInternalTopicOptArgs {
    int n;
    int owner;
};

// ---- Registry functions -------------------------------------------------------

PyObject* internal_topic(PyObject* key, bool owner) {
    if (!pyutil::check_arg_type(key, &PyUnicode_Type, "key", false, true)) return nullptr;
    if (TOPIC_INTERNAL_MAP == nullptr) return pyutil::fail(PyExc_RuntimeError, kMapNotInitialized);
    Py_ssize_t length = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(key, &length);
    if (bytes == nullptr) return nullptr;
    if (length == 0) Py_RETURN_NONE;
    // Wrapping the record runs no Python code (collections run only at the
    // interpreter's own checkpoints), so it is still the registered one.
    BorrowedSection reading("get_internal_topic");
    evt_topic* record = evt_topic_lookup(bytes, static_cast<uint64_t>(length));
    if (record == nullptr) Py_RETURN_NONE;
    return topic_from_header(record, owner ? 1 : 0);
}

PyObject* internal_map() {
    if (TOPIC_INTERNAL_MAP == nullptr) return pyutil::fail(PyExc_RuntimeError, kMapNotInitialized);
    pyutil::Ref result(PyDict_New());
    if (!result) return nullptr;
    pyutil::Ref unstored;
    BorrowedSection reading("get_internal_map");
    for (const byte_map_entry* entry = TOPIC_INTERNAL_MAP->first; entry != nullptr; entry = entry->next) {
        evt_topic* record = nullptr;
        std::memcpy(&record, entry->value, sizeof record);
        pyutil::Ref key(PyUnicode_DecodeUTF8(entry->key, static_cast<Py_ssize_t>(entry->key_len), "strict"));
        if (!key) return nullptr;
        PyObject* topic = topic_from_header(record, 0);
        if (topic == nullptr) return nullptr;
        if (python::dict_set_text(result.get(), key.get(), topic) < 0) {
            unstored.reset(topic);  // dropped after the section
            return nullptr;
        }
        python::drop_shared(topic);  // the dict holds it
    }
    return result.release();
}

// Exported native entry points (signatures in the export table below).
PyObject* export_get_internal_map(int /*skip_dispatch*/) { return internal_map(); }

PyObject* export_get_internal_topic(PyObject* key, int /*skip_dispatch*/, GetInternalTopicOptArgs* optional) {
    if (key == nullptr) key = Py_None;  // refused like None rather than read
    const bool owner = optional != nullptr && optional->n > 0 && optional->owner != 0;
    return internal_topic(key, owner);
}

// get_internal_topic(str key, bool owner=False)
PyObject* py_get_internal_topic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"key", "owner"};
    PyObject* values[2];
    if (!pyutil::unpack_arguments("get_internal_topic", args, nargs, kwnames, names, 2, 1, values)) return nullptr;
    int owner = 0;
    if (values[1] != nullptr && (owner = python::truth("get_internal_topic(owner=)", values[1])) < 0) return nullptr;
    return internal_topic(values[0], owner != 0);
}

PyObject* py_get_internal_map(PyObject*, PyObject*) { return internal_map(); }

PyMethodDef module_functions[] = {
    {"get_internal_topic", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_get_internal_topic)),
     METH_FASTCALL | METH_KEYWORDS, "get_internal_topic($module, key, owner=False)\n--\n\n"
     "get_internal_topic(str key, bool owner=False) -> Topic"},
    {"get_internal_map", py_get_internal_map, METH_NOARGS,
     "get_internal_map($module, /)\n--\n\nget_internal_map() -> dict"},
    {nullptr, nullptr, 0, nullptr},
};

// ---- Imports --------------------------------------------------------------------

// Types this module requires besides the base library's allocator and byte
// map parts.
constexpr nyxel_interface::TypeImport kOtherTypes[] = {
    {nyxel_interface::kProtocolModule, nyxel_interface::kConfigContextType},
    {"builtins", "type"},
    {ql_config::kConfigModuleName, "QLConfigContext", sizeof(ql_config::QLConfigContextObject)},
};

int import_types() {
    if (nyxel_interface::require_types(nyxel_interface::kAllocatorTypes) < 0) return -1;
    if (nyxel_interface::require_types(kOtherTypes) < 0) return -1;
    return nyxel_interface::require_types(nyxel_interface::kByteMapTypes);
}

int import_variables() {
    if (nyxel_interface::require_variables(nyxel_interface::kAllocatorVariables) < 0) return -1;
    if (nyxel_interface::require_variables(nyxel_interface::kByteMapVariables) < 0) return -1;
    void* engine[std::size(ql_config::kEngineVariables)] = {};
    if (nyxel_interface::require_variables(ql_config::kEngineVariables, engine) < 0) return -1;
    state.QL_DEFAULT_ALLOCATOR = static_cast<allocator_protocol**>(engine[ql_config::kDefaultAllocator]);
    state.QL_HEAP_ALLOCATOR = static_cast<allocator_protocol**>(engine[ql_config::kHeapAllocator]);
    return 0;
}

// ---- Set-up steps -----------------------------------------------------------------

int add_export_table(PyObject* module) {
    if (pyutil::capi_export(module, "TOPIC_ALLOCATOR", &TOPIC_ALLOCATOR, kProtocolSignature) < 0) return -1;
    if (pyutil::capi_export(module, "get_internal_map", reinterpret_cast<void*>(export_get_internal_map),
                            "PyObject *(int __pyx_skip_dispatch)") < 0)
        return -1;
    return pyutil::capi_export(
        module, "get_internal_topic", reinterpret_cast<void*>(export_get_internal_topic),
        "struct __pyx_obj_12quenda_loomi_4capi_7tessaly_Topic *(PyObject *, int __pyx_skip_dispatch, struct "
        "__pyx_opt_args_12quenda_loomi_4capi_7tessaly_get_internal_topic *__pyx_optional_args)");
}

int add_standard_modules(PyObject* module) {
    pyutil::Ref enum_module(python::import("module set-up", "enum"));
    if (!enum_module || PyModule_AddObjectRef(module, "enum", enum_module.get()) < 0) return -1;
    pyutil::Ref re_module(python::import("module set-up", "re"));
    if (!re_module || PyModule_AddObjectRef(module, "re", re_module.get()) < 0) return -1;
    if (init_pattern_search(re_module.get()) < 0) return -1;
    pyutil::Ref re_error(python::get_attr("module set-up", re_module.get(), "error"));
    if (!re_error) return -1;
    python::replace(state.re_error, re_error.release());
    pyutil::Ref pattern_type(python::get_attr("module set-up", re_module.get(), "Pattern"));
    if (!pattern_type || !PyType_Check(pattern_type.get())) return pattern_type ? (PyErr_SetString(PyExc_TypeError, "re.Pattern is not a type"), -1) : -1;
    python::replace(state.re_pattern_type, reinterpret_cast<PyTypeObject*>(pattern_type.release()));
    python::replace(state.re_module, re_module.release());
    PyObject* marker = python::call_no_args("module set-up", reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    if (marker == nullptr) return -1;
    python::replace(state.not_compiled, marker);
    pyutil::Ref abc(python::import("module set-up", "collections.abc"));
    if (!abc) return -1;
    pyutil::Ref iterable(python::get_attr("module set-up", abc.get(), "Iterable"));
    if (!iterable) return -1;
    return PyModule_AddObjectRef(module, "Iterable", iterable.get());
}

// class TopicType(enum.IntEnum) with the four part kinds, built through the
// enum metaclass as a class statement would.
int add_topic_type_enum(PyObject* module) {
    pyutil::Ref enum_module(python::import("module set-up", "enum"));
    if (!enum_module) return -1;
    pyutil::Ref int_enum(python::get_attr("module set-up", enum_module.get(), "IntEnum"));
    if (!int_enum) return -1;
    pyutil::Ref bases(PyTuple_Pack(1, int_enum.get()));
    if (!bases) return -1;
    auto* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(int_enum.get()));
    pyutil::Ref name(PyUnicode_FromString("TopicType"));
    if (!name) return -1;
    PyObject* prepare_args[] = {metaclass, name.get(), bases.get()};
    pyutil::Ref prepare(PyUnicode_FromString("__prepare__"));
    if (!prepare) return -1;
    pyutil::Ref namespace_(python::call_method("TopicType set-up", prepare.get(), prepare_args, 3));
    if (!namespace_) return -1;
    pyutil::Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    pyutil::Ref values[4];
    const char* members[] = {"TOPIC_PART_EXACT", "TOPIC_PART_ANY", "TOPIC_PART_RANGE", "TOPIC_PART_PATTERN"};
    auto set_item = [&](const char* key, PyObject* value) {
        pyutil::Ref key_text(PyUnicode_FromString(key));
        return key_text && value && python::set_item("TopicType set-up", namespace_.get(), key_text.get(), value) == 0;
    };
    pyutil::Ref doc(PyUnicode_FromString("Kind of a topic part."));
    if (!set_item("__module__", module_name.get()) || !set_item("__qualname__", name.get()) ||
        !set_item("__doc__", doc.get()))
        return -1;
    for (long i = 0; i < 4; ++i) {
        values[i].reset(PyLong_FromLong(i));
        if (!set_item(members[i], values[i].get())) return -1;
    }
    PyObject* class_args[] = {name.get(), bases.get(), namespace_.get()};
    pyutil::Ref enum_class(python::call("TopicType set-up", metaclass, class_args, 3));
    if (!enum_class || PyModule_AddObjectRef(module, "TopicType", enum_class.get()) < 0) return -1;
    python::replace(state.TopicType, enum_class.release());
    return 0;
}

int add_classes(PyObject* module) {
    if (add_part_types(module) < 0) return -1;
    // The part subclasses inherit the base table unchanged.
    for (PyTypeObject* type : {state.TopicPart, state.TopicPartExact, state.TopicPartAny, state.TopicPartRange,
                               state.TopicPartPattern})
        if (pyutil::set_method_table(type, &topic_part_vtable) < 0) return -1;
    if (add_match_result_type(module) < 0) return -1;
    if (pyutil::set_method_table(state.TopicMatchResult, &match_result_vtable) < 0) return -1;
    if (add_topic_type(module) < 0) return -1;
    if (pyutil::set_method_table(state.Topic, &topic_vtable) < 0) return -1;
    if (add_topic_index_type(module) < 0) return -1;
    return add_test_toolkit_type(module);
}

int run_setup(PyObject* module) {
    if (add_export_table(module) < 0) return -1;
    if (add_classes(module) < 0) return -1;
    if (import_types() < 0) return -1;
    if (import_variables() < 0) return -1;
    if (add_standard_modules(module) < 0) return -1;
    if (add_topic_type_enum(module) < 0) return -1;
    TOPIC_ALLOCATOR = *state.QL_DEFAULT_ALLOCATOR;
    // A failed creation is not an error here: the first registration retries.
    if (TOPIC_INTERNAL_MAP == nullptr) TOPIC_INTERNAL_MAP = byte_map_new(*state.QL_DEFAULT_ALLOCATOR);
    if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
    if (attach_test_toolkit_methods(module) < 0) return -1;
    // For the test-only module tessaly_reentry_probe of checking builds.
    if (python::export_stress_hook_setter(module) < 0) return -1;
    pyutil::Ref test_dict(PyDict_New());
    if (!test_dict) return -1;
    return PyModule_AddObjectRef(module, "__test__", test_dict.get());
}

// ---- Module definition --------------------------------------------------------------

pyutil::ProcessModule process_module(
    "Module 'tessaly' has already been imported. Re-initialisation is not supported.");

PyObject* module_create(PyObject* module_spec, PyModuleDef*) { return process_module.create(module_spec); }

int setup_module(PyObject* module) {
    state.module = module;
    if (run_setup(module) == 0) return 0;
    state.module = nullptr;
    return -1;
}

int module_exec(PyObject* module) { return process_module.exec(module, setup_module); }

// The module's references, for the collector (see ModuleState).
int module_traverse(PyObject* module, visitproc visit, void* arg) {
    return process_module.traverse(module, state, visit, arg);
}

int module_clear(PyObject* module) {
    if (!process_module.owns(module)) return 0;
    for (int i = 0; i < state.spare_result_count; ++i) state.TopicMatchResult->tp_free(state.spare_results[i]);
    state.spare_result_count = 0;
    state.pattern_search.cache.for_each([](CachedPattern& cached) {
        std::free(cached.pattern);
        cached.pattern = nullptr;
        cached.length = 0;
    });
    state.for_each_reference([](PyObject*& slot) { python::clear(slot); });
    state.pattern_search.cache.release();
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tessaly",
    "Topics: literals parsed into typed parts, interned in one process-wide registry, matched, composed "
    "and formatted.", 0, nullptr, module_slots, module_traverse, module_clear, module_free,
};

}  // namespace
}  // namespace tessaly

PyMODINIT_FUNC PyInit_tessaly(void) { return PyModuleDef_Init(&tessaly::module_def); }
