// The NATS transport's calls into Python (see python_calls.h).
#include "quenda_loomi/bus/nats/python_calls.h"

#include <cstring>

namespace natsbus::python {

namespace {

// An event whose subject is not UTF-8 can reach no handler: acknowledge it at once.
PyObject* event_tuple(const Received& r, std::vector<uint64_t>& unrepresentable) {
    const char* subject = natsMsg_GetSubject(r.msg);
    PyObject* name = PyUnicode_DecodeUTF8(subject, static_cast<Py_ssize_t>(std::strlen(subject)), "strict");
    if (name == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            PyErr_Clear();
            unrepresentable.push_back(r.token);
        }
        return nullptr;
    }
    PyObject* payload = PyBytes_FromStringAndSize(natsMsg_GetData(r.msg), natsMsg_GetDataLength(r.msg));
    PyObject* token = payload ? PyLong_FromUnsignedLongLong(r.token) : nullptr;
    if (token == nullptr) {
        Py_XDECREF(payload);
        Py_DECREF(name);
        return nullptr;
    }
    PyObject* tuple = PyTuple_New(3);
    if (tuple == nullptr) {
        Py_DECREF(token);
        Py_DECREF(payload);
        Py_DECREF(name);
        return nullptr;
    }
    PyTuple_SET_ITEM(tuple, 0, name);
    PyTuple_SET_ITEM(tuple, 1, payload);
    PyTuple_SET_ITEM(tuple, 2, token);
    return tuple;
}

}  // namespace

void deliver(void* raw_target, std::vector<Received>& batch) {
    auto* target = static_cast<DeliveryTarget*>(raw_target);
    PyGILState_STATE gil = PyGILState_Ensure();
    std::vector<uint64_t> unrepresentable;
    PyObject* events = nullptr;
    bool any_token = false;
    if (!target->closing && target->sink != nullptr) {
        events = PyList_New(0);
        for (const Received& r : batch) {
            if (events == nullptr) break;
            PyObject* item = event_tuple(r, unrepresentable);
            if (item == nullptr) {
                if (PyErr_Occurred()) {
                    // Out of memory: what is not offered is redelivered (qos 1) or lost (qos 0).
                    PyErr_WriteUnraisable(target->sink);
                    break;
                }
                continue;
            }
            any_token = any_token || r.token != 0;
            int appended = PyList_Append(events, item);
            Py_DECREF(item);
            if (appended < 0) {
                PyErr_WriteUnraisable(target->sink);
                break;
            }
        }
    }
    // Python now holds copies; qos 0 messages are no longer needed.
    for (const Received& r : batch)
        if (r.token == 0) Link::release(r.msg);
    if (events != nullptr && PyList_GET_SIZE(events) > 0) {
        PyObject* sink = target->sink;
        PyObject* ack = any_token ? target->ack : Py_None;
        Py_INCREF(sink);
        Py_INCREF(ack);
        PyObject* args[2] = {events, ack};
        PyObject* result = PyObject_Vectorcall(sink, args, 2, nullptr);
        if (result == nullptr)
            PyErr_WriteUnraisable(sink);  // unacknowledged events come back after the ack wait
        else
            Py_DECREF(result);
        Py_DECREF(ack);
        Py_DECREF(sink);
    }
    Py_XDECREF(events);
    if (!unrepresentable.empty() && target->ack != nullptr) {
        PyObject* tokens = PyList_New(0);
        for (uint64_t token : unrepresentable) {
            PyObject* t = tokens ? PyLong_FromUnsignedLongLong(token) : nullptr;
            if (t == nullptr || PyList_Append(tokens, t) < 0) {
                Py_XDECREF(t);
                break;
            }
            Py_DECREF(t);
        }
        PyObject* result = tokens ? PyObject_CallOneArg(target->ack, tokens) : nullptr;
        if (result == nullptr) PyErr_Clear();
        Py_XDECREF(result);
        Py_XDECREF(tokens);
    }
    PyGILState_Release(gil);
}

int parse_arguments(PyObject* args, PyObject* kwargs, const char* format, const char* const* keywords, ...) {
    va_list va;
    va_start(va, keywords);
    int ok = PyArg_VaParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), va);
    va_end(va);
    return ok;
}

void release(PyObject* object) { Py_XDECREF(object); }

void clear(PyObject*& slot) { Py_CLEAR(slot); }

}  // namespace natsbus::python
