// Internal interface of the topic module `quenda_loomi.capi.tessaly`:
// object layouts, native method tables and the module-wide state that the
// class files share.  Nothing here is exported to other native modules; the
// export table is built in module.cpp.
#pragma once

#include <Python.h>

#include "quenda_loomi/capi/tessaly/pattern_search.h"
#include "quenda_loomi/capi/tessaly/record_lifetime.h"
#include "quenda_loomi/capi/topic_core/evt_topic.h"
#include "support/python/py_ref.h"
#include "support/python/type_setup.h"

namespace tessaly {

// ---- Object layouts --------------------------------------------------------

struct TopicPartObject;
struct TopicObject;
struct TopicMatchResultObject;

struct TopicPartVTable {
    PyObject* (*c_from_header)(evt_topic_part_variant* header, int owner);
    PyObject* (*c_cast)(TopicPartObject* self);
};

struct TopicPartObject {
    PyObject_HEAD
    TopicPartVTable* vtab;
    evt_topic_part_variant* header;
    int32_t owner;
    // The Topic (or match result) whose record this view reads; keeps that
    // record alive while the view lives.  Null for standalone parts.
    PyObject* keeper;
    // Stamp (record_lifetime.h) at which the view was last known to be inside
    // its keeper's chain; the view re-checks before reading after a change.
    uint64_t checked_stamp;
};

struct TopicFormatMapOptArgs {
    int n;  // optional arguments given
    int internalized;
    int strict;
};

struct TopicVTable {
    PyObject* (*c_from_header)(evt_topic* header, int owner);
    int32_t (*c_append)(TopicObject* self, evt_topic_part_variant* part);
    int32_t (*c_update_literal)(TopicObject* self);
    // Overridable: when skip_dispatch is 0 a Python subclass's method of the
    // same name is called instead, and its result type is checked.
    PyObject* (*append)(TopicObject* self, PyObject* topic_part, int skip_dispatch);
    PyObject* (*match)(TopicObject* self, PyObject* other, int skip_dispatch);
    PyObject* (*format_map)(TopicObject* self, PyObject* mapping, int skip_dispatch,
                            TopicFormatMapOptArgs* optional_args);
};

struct TopicObject {
    PyObject_HEAD
    TopicVTable* vtab;
    evt_topic* header;
    int32_t owner;
    PyObject* weakreflist;
};

struct TopicMatchResultVTable {
    PyObject* (*c_match_res)(TopicMatchResultObject* self, evt_topic_match* node);
    PyObject* (*c_from_header)(evt_topic_match* header, int owner);
};

struct TopicMatchResultObject {
    PyObject_HEAD
    TopicMatchResultVTable* vtab;
    evt_topic_match* header;
    int32_t owner;
    // The two matched topics: the nodes point into their part records.
    PyObject* topic_a;
    PyObject* topic_b;
    uint64_t checked_stamp;  // as for part views
    // Last node reached by iteration and its index (see node_at).
    evt_topic_match* cursor_node;
    uint64_t cursor_index;
};

inline TopicObject* as_topic(PyObject* object) { return reinterpret_cast<TopicObject*>(object); }

// ---- Module state -------------------------------------------------------------
//
// Every reference the module keeps between calls (types, imported objects,
// interned names, the pattern cache, the spare match results, generator
// functions) is in ModuleState, and the module definition's m_traverse and
// m_clear visit every one of them (for_each_reference below).
//
// What stays process-wide, and why:
//  * The ModuleState itself is one object per process rather than the
//    module object's md_state: the module exists once per process (a second
//    interpreter or module object is refused, support/python/process_module.h),
//    and its readers include code that has no module at hand: deallocators,
//    the trie's pattern hooks, the exported C functions other modules call.
//  * The topic registry (TOPIC_INTERNAL_MAP) and the topic allocator
//    snapshot (TOPIC_ALLOCATOR): other native modules reach them through the
//    export table by address, and records in the registry outlive any one
//    module object.
//  * The record lifetime table (record_lifetime.h): it follows the registry's
//    records, which are shared by every wrapper in the process.
//  * The checks of support/python/python_calls.cpp (the stress hook, the
//    open borrowed section): they run at every dropped reference, with no
//    module at hand.

struct ModuleState {
    PyObject* module = nullptr;  // borrowed: the module object itself
    PyTypeObject* TopicPart = nullptr;
    PyTypeObject* TopicPartExact = nullptr;
    PyTypeObject* TopicPartAny = nullptr;
    PyTypeObject* TopicPartRange = nullptr;
    PyTypeObject* TopicPartPattern = nullptr;
    PyTypeObject* TopicMatchResult = nullptr;
    PyTypeObject* Topic = nullptr;
    PyTypeObject* TopicTestToolkit = nullptr;
    PyObject* TopicType = nullptr;  // the IntEnum class
    PyObject* re_module = nullptr;
    PyObject* re_error = nullptr;      // re.error: the only compile failure that means "never matches"
    PyTypeObject* re_pattern_type = nullptr;  // re.Pattern: searches without side effects
    PyTypeObject* TopicIndex = nullptr;
    PyObject* str_re = nullptr;        // interned names of hot lookups and calls
    PyObject* str_search = nullptr;
    PyObject* str_compile = nullptr;
    PyObject* not_compiled = nullptr;  // marks an index's expression entry not compiled yet
    uint64_t last_expression_serial = 0;  // numbers index expression entries (their remembered answers)

    // Generator functions (define_generator_function) behind iteration.
    PyObject* topic_iter = nullptr;          // Topic.__iter__
    PyObject* range_options = nullptr;       // TopicPartRange.options
    PyObject* match_result_iter = nullptr;   // TopicMatchResult.__iter__

    // Compiled expressions of pattern positions (pattern_search.cpp).
    PatternSearchState pattern_search;
    // Released match results of the exact class kept for the next match
    // (match_result.cpp).
    static constexpr int kSpareResults = 16;
    PyObject* spare_results[kSpareResults] = {};
    int spare_result_count = 0;

    // Addresses of the configuration module's exported variables.
    allocator_protocol** QL_DEFAULT_ALLOCATOR = nullptr;
    allocator_protocol** QL_HEAP_ALLOCATOR = nullptr;

    // Calls visit(slot) for every PyObject* slot holding a reference.
    template <class Visit>
    void for_each_reference(Visit visit) {
        for (PyTypeObject** type : {&TopicPart, &TopicPartExact, &TopicPartAny, &TopicPartRange, &TopicPartPattern,
                                    &TopicMatchResult, &Topic, &TopicTestToolkit, &TopicIndex, &re_pattern_type})
            visit(*reinterpret_cast<PyObject**>(type));
        for (PyObject** slot : {&TopicType, &re_module, &re_error, &str_re, &str_search, &str_compile, &not_compiled,
                                &topic_iter, &range_options, &match_result_iter, &pattern_search.re_module,
                                &pattern_search.compile})
            visit(*slot);
        pattern_search.cache.for_each([&](CachedPattern& cached) { visit(cached.search); });
        // Not the spare results: they are released objects parked for reuse
        // (no reference count, no references), freed by m_clear.
    }
};
extern ModuleState state;

extern TopicPartVTable topic_part_vtable;
extern TopicVTable topic_vtable;
extern TopicMatchResultVTable match_result_vtable;

// Current default / heap protocol of the engine (read at every allocation).
inline allocator_protocol* default_allocator() { return *state.QL_DEFAULT_ALLOCATOR; }
inline allocator_protocol* heap_allocator() { return *state.QL_HEAP_ALLOCATOR; }

// ---- Views on records (lifetime rules in record_lifetime.h) ---------------
//
// True when `part` is still reachable from what a view's `keeper` holds (a
// Topic's chain, either topic of a match result; any other keeper is trusted)
// and that chain released no parts since `since_stamp` (a released part's
// address may be reused by a new part of the same chain).
bool keeper_has_part(PyObject* keeper, const evt_topic_part_variant* part, uint64_t since_stamp);
// The record a part object may read now, or null with RuntimeError ("Not
// initialized!", or a view whose topic no longer holds the part).
evt_topic_part_variant* part_record_for_read(PyObject* part);

// ---- Helpers shared between the class files --------------------------------

// A non-owning part view of the record's own class that keeps `keeper` alive.
PyObject* make_part_view(evt_topic_part_variant* record, PyObject* keeper);
// New Topic wrapping `header` (never a subclass).
PyObject* topic_from_header(evt_topic* header, int owner);
// RuntimeError "Not initialized!" and null.
PyObject* not_initialized();
using pyutil::publish_type;
// What pickling any object of the module's classes raises.
inline constexpr char kNoReduce[] = "no default __reduce__ due to non-trivial __cinit__";
using NoPickling = pyutil::PicklingRefusal<kNoReduce>;
// A Python generator function `name(self)` that yields `step(self, 0)`,
// `step(self, 1)`, ... until a step returns None.  With `make_memo`, the
// generator first calls it once and passes its result to every step as a
// third argument (`step(self, i, memo)`), so a step can resume where the one
// before it ended.  New reference or null.
PyObject* define_generator_function(const char* name, const char* qualname, PyMethodDef* step,
                                    PyMethodDef* make_memo = nullptr);

// ---- Type specs, one per class file ----------------------------------------

// part_objects.cpp
int add_part_types(PyObject* module);
// topic_object.cpp (uses the functions of topic_compose.cpp and match_result.cpp)
int add_topic_type(PyObject* module);
// match_result.cpp
int add_match_result_type(PyObject* module);
// topic_index.cpp
int add_topic_index_type(PyObject* module);
// toolkit.cpp: the class, then (late in set-up) its static methods
int add_test_toolkit_type(PyObject* module);
int attach_test_toolkit_methods(PyObject* module);

// Topic methods implemented in topic_compose.cpp (argument forms as in
// PyMethodDef / number slots).
PyObject* topic_nb_add(PyObject* left, PyObject* right);
PyObject* topic_nb_inplace_add(PyObject* left, PyObject* right);
PyObject* topic_py_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* topic_py_from_parts(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* topic_py_join(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* topic_py_format_map(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* topic_py_format(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* topic_tp_call(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* topic_py_update_literal(PyObject* self, PyObject* unused);
int32_t topic_c_append(TopicObject* self, evt_topic_part_variant* part);
PyObject* topic_vt_append(TopicObject* self, PyObject* topic_part, int skip_dispatch);
PyObject* topic_vt_format_map(TopicObject* self, PyObject* mapping, int skip_dispatch,
                              TopicFormatMapOptArgs* optional_args);
// The overridable native slots (append, match, format_map): when
// `skip_dispatch` is 0 and `self.<name>` is a Python override rather than the
// built-in method `builtin`, calls it with `args` and checks that its result
// is None or a `result_type`.  1 with the new reference in *result, 0 when no
// override applies, -1 with an exception set.
int call_python_override(TopicObject* self, int skip_dispatch, const char* name, void* builtin,
                         PyObject* const* args, size_t nargs, PyTypeObject* result_type, PyObject** result);
// match_result.cpp
PyObject* topic_py_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* topic_vt_match(TopicObject* self, PyObject* other, int skip_dispatch);

}  // namespace tessaly
