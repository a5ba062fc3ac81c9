// The dispatcher's hand-off of a batch to the delivery core (see batch_handoff.h).
#include "quenda_loomi/bus/nats/batch_handoff.h"

#include <cstring>
#include <new>

#include "support/python/python_calls.h"

namespace natsbus {

namespace py = pyutil::python;

namespace {

// An event whose subject is not UTF-8 can reach no handler: acknowledge it at once.
PyObject* event_tuple(const Received& r, std::vector<uint64_t>& unrepresentable) {
    const char* subject = natsMsg_GetSubject(r.msg);
    PyObject* name = PyUnicode_DecodeUTF8(subject, static_cast<Py_ssize_t>(std::strlen(subject)), "strict");
    if (name == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            py::clear_error("natsbus.hand_off");
            try {
                unrepresentable.push_back(r.token);
            } catch (const std::bad_alloc&) {
                // Left unacknowledged: the server sends it again after the ack wait.
            }
        }
        return nullptr;
    }
    PyObject* payload = PyBytes_FromStringAndSize(natsMsg_GetData(r.msg), natsMsg_GetDataLength(r.msg));
    PyObject* token = payload ? PyLong_FromUnsignedLongLong(r.token) : nullptr;
    if (token == nullptr) {
        py::xdrop(payload);
        py::drop(name);
        return nullptr;
    }
    PyObject* tuple = PyTuple_New(3);
    if (tuple == nullptr) {
        py::drop(token);
        py::drop(payload);
        py::drop(name);
        return nullptr;
    }
    PyTuple_SET_ITEM(tuple, 0, name);
    PyTuple_SET_ITEM(tuple, 1, payload);
    PyTuple_SET_ITEM(tuple, 2, token);
    return tuple;
}

// The dispatcher keeps one thread state for its whole life.  On a thread
// without one, PyGILState_Ensure creates a thread state and the matching
// Release deletes it: about 60 us per batch here, most of the latency of a
// quiet bus.  The link drops the state when its dispatch loop returns, while
// the thread's other thread-locals still live: clearing a thread state can
// run finalizers, and those may use them.  During finalization the state is
// left to the exit (taking the GIL then would hang the thread); the
// transport closes its links at exit, so no dispatcher outlives Python.
class KeptThreadState {
public:
    void keep() {
        if (kept_ || Py_IsFinalizing()) return;
        outer_ = PyGILState_Ensure();
        saved_ = PyEval_SaveThread();
        kept_ = true;
    }
    void drop() {
        if (!kept_) return;
        kept_ = false;
        if (Py_IsFinalizing()) return;
        PyEval_RestoreThread(saved_);
        py::release_last_thread_state("natsbus: dispatcher ends", outer_);  // deletes the thread state
    }

private:
    bool kept_ = false;
    PyGILState_STATE outer_ = PyGILState_UNLOCKED;
    PyThreadState* saved_ = nullptr;
};

thread_local KeptThreadState dispatcher_thread_state;

}  // namespace

void dispatcher_ends(void*) noexcept { dispatcher_thread_state.drop(); }

void hand_off(void* raw_target, std::vector<Received>& batch) noexcept {
    auto* target = static_cast<DeliveryTarget*>(raw_target);
    dispatcher_thread_state.keep();
    PyGILState_STATE gil = PyGILState_Ensure();
    if (target->closing || target->sink == nullptr || target->ack == nullptr) {
        for (const Received& r : batch)
            if (r.token == 0) Link::release(r.msg);  // the others are freed by close
        PyGILState_Release(gil);
        return;
    }
    // Our own references: a collection that runs while the events are built can
    // clear the link (tp_clear) or free it, and must not pull these from under us.
    PyObject* owner = target->owner;
    PyObject* sink = target->sink;
    PyObject* ack = target->ack;
    Py_INCREF(owner);
    Py_INCREF(sink);
    Py_INCREF(ack);
    std::vector<uint64_t> unrepresentable;
    bool any_token = false;
    PyObject* events = PyList_New(0);
    for (const Received& r : batch) {
        if (events == nullptr) break;
        PyObject* item = event_tuple(r, unrepresentable);
        if (item == nullptr) {
            if (PyErr_Occurred()) {
                // Out of memory: what is not offered is redelivered (qos 1) or lost (qos 0).
                py::write_unraisable("natsbus.hand_off", sink);
                break;
            }
            continue;
        }
        any_token = any_token || r.token != 0;
        int appended = PyList_Append(events, item);
        py::drop(item);
        if (appended < 0) {
            py::write_unraisable("natsbus.hand_off", sink);
            break;
        }
    }
    if (events == nullptr) py::write_unraisable("natsbus.hand_off", sink);
    // Python now holds copies; qos 0 messages are no longer needed.
    for (const Received& r : batch)
        if (r.token == 0) Link::release(r.msg);
    if (events != nullptr && PyList_GET_SIZE(events) > 0) {
        PyObject* args[2] = {events, any_token ? ack : Py_None};
        PyObject* result = py::call("natsbus.offer_batch", sink, args, 2);
        if (result == nullptr)
            py::write_unraisable("natsbus.offer_batch", sink);  // unacknowledged events come back after the ack wait
        else
            py::drop(result);
    }
    py::xdrop(events);
    if (!unrepresentable.empty()) {
        PyObject* tokens = PyList_New(0);
        for (uint64_t token : unrepresentable) {
            PyObject* t = tokens ? PyLong_FromUnsignedLongLong(token) : nullptr;
            if (t == nullptr || PyList_Append(tokens, t) < 0) {
                py::xdrop(t);
                break;
            }
            py::drop(t);
        }
        PyObject* result = tokens ? py::call_one("natsbus.ack", ack, tokens) : nullptr;
        if (result == nullptr) py::clear_error("natsbus.ack");
        py::xdrop(result);
        py::xdrop(tokens);
    }
    py::drop(ack);
    py::drop(sink);
    py::drop(owner);  // may free the link object: nothing reads `target` after this
    PyGILState_Release(gil);
}

}  // namespace natsbus
