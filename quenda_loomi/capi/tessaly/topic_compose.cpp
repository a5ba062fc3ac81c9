// Composition and formatting of topics (placeholder bodies until the real
// implementation lands; every entry point raises NotImplementedError).
#include "quenda_loomi/capi/tessaly/tessaly.h"

namespace tessaly {
namespace {
PyObject* not_yet() { return pyutil::fail(PyExc_NotImplementedError, "not implemented yet"); }
}  // namespace

PyObject* topic_nb_add(PyObject*, PyObject*) { return not_yet(); }
PyObject* topic_nb_inplace_add(PyObject*, PyObject*) { return not_yet(); }
PyObject* topic_py_append(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }
PyObject* topic_py_from_parts(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }
PyObject* topic_py_join(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }
PyObject* topic_py_format_map(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }
PyObject* topic_py_format(PyObject*, PyObject*, PyObject*) { return not_yet(); }
PyObject* topic_tp_call(PyObject*, PyObject*, PyObject*) { return not_yet(); }
PyObject* topic_py_update_literal(PyObject*, PyObject*) { return not_yet(); }
int32_t topic_c_append(TopicObject*, evt_topic_part_variant*) {
    not_yet();
    return -1;
}
PyObject* topic_vt_append(TopicObject*, PyObject*, int) { return not_yet(); }
PyObject* topic_vt_format_map(TopicObject*, PyObject*, int, TopicFormatMapOptArgs*) { return not_yet(); }

}  // namespace tessaly
