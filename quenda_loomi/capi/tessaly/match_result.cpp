// Matching of topics and the TopicMatchResult class (placeholder bodies until
// the real implementation lands; every entry point raises NotImplementedError).
#include "quenda_loomi/capi/tessaly/tessaly.h"

namespace tessaly {
namespace {
PyObject* not_yet() { return pyutil::fail(PyExc_NotImplementedError, "not implemented yet"); }
PyObject* match_res_stub(TopicMatchResultObject*, evt_topic_match*) { return not_yet(); }
PyObject* from_header_stub(evt_topic_match*, int) { return not_yet(); }
}  // namespace

TopicMatchResultVTable match_result_vtable = {match_res_stub, from_header_stub};

int add_match_result_type(PyObject*) {
    not_yet();
    return -1;
}

PyObject* topic_py_match(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }
PyObject* topic_vt_match(TopicObject*, PyObject*, int) { return not_yet(); }

}  // namespace tessaly
