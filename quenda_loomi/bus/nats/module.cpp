// quenda_loomi.bus.nats._natsbus: the native half of the NATS transport.
//
// One heap type, `Link`, wraps a natsbus::Link (nats_link.h).  Every call
// that waits on the network releases the GIL; the dispatcher thread takes it
// once per batch (python_calls.cpp).  Failures raise ConnectionError,
// ValueError, TimeoutError, LookupError or RuntimeError with the link's
// message; the Python transport maps them onto the bus's errors.
#include <Python.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "quenda_loomi/bus/nats/batch_handoff.h"
#include "quenda_loomi/bus/nats/contain.h"
#include "quenda_loomi/bus/nats/nats_link.h"
#include "support/python/python_calls.h"

// From libssl, which libnats links; declared here so the build needs no OpenSSL headers.
extern "C" {
struct stack_st_SSL_COMP;
stack_st_SSL_COMP* SSL_COMP_set0_compression_methods(stack_st_SSL_COMP* methods);
}

namespace {

using natsbus::Failure;
namespace py = pyutil::python;

struct ModuleState {
    PyObject* link_type;
};

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

struct LinkObject {
    PyObject_HEAD
    std::shared_ptr<natsbus::Link>* link;  // null until __init__ succeeded
    natsbus::DeliveryTarget target;             // sink and ack: strong references
    bool connected_once;
};

PyObject* raise(const Failure& f) {
    PyObject* type = PyExc_RuntimeError;
    switch (f.kind) {
        case Failure::connection: type = PyExc_ConnectionError; break;
        case Failure::value: type = PyExc_ValueError; break;
        case Failure::timeout: type = PyExc_TimeoutError; break;
        case Failure::lookup: type = PyExc_LookupError; break;
        case Failure::memory: type = PyExc_MemoryError; break;
        default: break;
    }
    PyErr_SetString(type, f.message.c_str());
    return nullptr;
}

// Every method and slot of the type is entered through this: what the
// standard library throws while the GIL is held (strings and vectors of the
// arguments) becomes MemoryError or RuntimeError.  Calls that release the
// GIL run the link through natsbus::contained, so nothing unwinds there.
template <auto Method>
struct Entry;

template <class Result, class... Args, Result (*Method)(Args...)>
struct Entry<Method> {
    static Result call(Args... args) noexcept {
        try {
            return Method(args...);
        } catch (...) {
            raise(natsbus::failure_of_current_exception("natsbus"));
            if constexpr (std::is_pointer_v<Result>)
                return nullptr;
            else
                return -1;
        }
    }
};

// A str argument as UTF-8 without NUL (libnats takes C strings).
bool text_of(PyObject* object, const char* what, std::string* out) {
    if (!PyUnicode_Check(object)) {
        py::raise(PyExc_TypeError, "%s must be a str", what);
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return false;
    out->assign(data, static_cast<size_t>(size));
    if (out->find('\0') != std::string::npos) {
        py::raise(PyExc_ValueError, "%s contains NUL", what);
        return false;
    }
    return true;
}

bool texts_of(PyObject* list, const char* what, std::vector<std::string>* out) {
    if (!PyList_CheckExact(list) || PyList_GET_SIZE(list) == 0) {
        py::raise(PyExc_TypeError, "%s must be a non-empty list of str", what);
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
        std::string text;
        // The list holds its items while text_of runs: text_of runs no Python code.
        if (!text_of(PyList_GET_ITEM(list, i), what, &text)) return false;
        out->push_back(std::move(text));
    }
    return true;
}

natsbus::Link* link_of(LinkObject* self) {
    if (self->link == nullptr || !self->connected_once) {
        PyErr_SetString(PyExc_RuntimeError, "the link is not connected");
        return nullptr;
    }
    return self->link->get();
}

int Link_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    auto* self = reinterpret_cast<LinkObject*>(op);
    static const char* const keywords[] = {"servers", "user", "password", "secure", "ca_pem", "verify",
                                           "connect_timeout", "reconnect_wait", "reply_timeout", "ack_wait",
                                           "max_ack_pending", "max_batch", "max_queued", "max_in_flight", "send_asap", "close_wait", nullptr};
    PyObject* servers = nullptr;
    const char* user = nullptr;
    const char* password = nullptr;
    const char* ca_pem = nullptr;
    int secure = 0, verify = 1;
    double connect_timeout = 10.0, reconnect_wait = 0.5, reply_timeout = 10.0, ack_wait = 30.0;
    long long max_ack_pending = 4096;
    int max_batch = 512;
    Py_ssize_t max_queued = 65536;
    Py_ssize_t max_in_flight = 1024;
    int send_asap = 1;
    double close_wait = 10.0;
    if (!py::parse_args("natsbus.Link.__init__", args, kwargs, "O!|$zzpzpddddLinnpd:Link", keywords, &PyList_Type, &servers, &user,
                             &password, &secure, &ca_pem, &verify, &connect_timeout, &reconnect_wait,
                             &reply_timeout, &ack_wait, &max_ack_pending, &max_batch, &max_queued, &max_in_flight, &send_asap, &close_wait))
        return -1;
    if (self->link != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "a Link is initialised once");
        return -1;
    }
    natsbus::LinkSettings settings;
    if (!texts_of(servers, "servers", &settings.servers)) return -1;
    if ((user == nullptr) != (password == nullptr)) {
        PyErr_SetString(PyExc_ValueError, "user and password go together");
        return -1;
    }
    if (connect_timeout <= 0 || reply_timeout <= 0 || ack_wait <= 0 || reconnect_wait < 0 || max_batch < 1 ||
        max_queued < 1 || max_ack_pending < 1 || max_in_flight < 1 || close_wait < 0) {
        PyErr_SetString(PyExc_ValueError, "timeouts and bounds must be positive");
        return -1;
    }
    settings.has_user = user != nullptr;
    if (user) settings.user = user;
    if (password) settings.password = password;
    settings.secure = secure != 0;
    if (ca_pem) settings.ca_pem = ca_pem;
    settings.verify = verify != 0;
    settings.connect_timeout_ms = static_cast<int64_t>(connect_timeout * 1000);
    settings.reconnect_wait_ms = static_cast<int64_t>(reconnect_wait * 1000);
    settings.reply_timeout_ms = static_cast<int64_t>(reply_timeout * 1000);
    settings.ack_wait_ms = static_cast<int64_t>(ack_wait * 1000);
    settings.max_ack_pending = max_ack_pending;
    settings.max_batch = max_batch;
    settings.max_queued = static_cast<size_t>(max_queued);
    settings.max_in_flight = static_cast<size_t>(max_in_flight);
    settings.send_asap = send_asap != 0;
    settings.close_wait_ms = static_cast<int64_t>(close_wait * 1000);
    self->link = new (std::nothrow) std::shared_ptr<natsbus::Link>(
        std::make_shared<natsbus::Link>(std::move(settings)));
    if (self->link == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

PyObject* Link_connect(PyObject* op, PyObject* sink) {
    auto* self = reinterpret_cast<LinkObject*>(op);
    if (self->link == nullptr || self->connected_once) {
        PyErr_SetString(PyExc_RuntimeError, "connect is called once, on an initialised Link");
        return nullptr;
    }
    if (!PyCallable_Check(sink)) {
        PyErr_SetString(PyExc_TypeError, "the sink must be callable");
        return nullptr;
    }
    PyObject* ack = py::get_attr("natsbus.Link.connect", op, "ack");
    if (ack == nullptr) return nullptr;
    Py_INCREF(sink);
    self->target.owner = op;
    self->target.sink = sink;
    self->target.ack = ack;
    std::shared_ptr<natsbus::Link> link = *self->link;
    Failure f;
    Py_BEGIN_ALLOW_THREADS
    f = natsbus::contained("connect", [&] { return link->connect(natsbus::hand_off, natsbus::dispatcher_ends, &self->target); });
    Py_END_ALLOW_THREADS
    if (f) {
        py::clear(self->target.sink);
        py::clear(self->target.ack);
        return raise(f);
    }
    self->connected_once = true;
    Py_RETURN_NONE;
}

PyObject* Link_subscribe(PyObject* op, PyObject* args, PyObject* kwargs) {
    auto* self = reinterpret_cast<LinkObject*>(op);
    static const char* const keywords[] = {"subject", "qos", "group", "durable", nullptr};
    PyObject* subject_obj = nullptr;
    int qos = 0;
    const char* group = nullptr;
    const char* durable = nullptr;
    if (!py::parse_args("natsbus.Link.subscribe", args, kwargs, "Ui|zz:subscribe", keywords, &subject_obj, &qos, &group, &durable))
        return nullptr;
    natsbus::Link* link = link_of(self);
    std::string subject;
    if (link == nullptr || !text_of(subject_obj, "subject", &subject)) return nullptr;
    std::string group_text = group ? group : "";
    std::string durable_text = durable ? durable : "";
    uint64_t id = 0;
    Failure f;
    Py_BEGIN_ALLOW_THREADS
    f = natsbus::contained("subscribe", [&] {
        return qos == 0 ? link->subscribe_core(subject, group_text, &id) : link->subscribe_stream(subject, durable_text, &id);
    });
    Py_END_ALLOW_THREADS
    if (f) return raise(f);
    return PyLong_FromUnsignedLongLong(id);
}

PyObject* Link_unsubscribe(PyObject* op, PyObject* arg) {
    auto* self = reinterpret_cast<LinkObject*>(op);
    natsbus::Link* link = link_of(self);
    if (link == nullptr) return nullptr;
    if (!PyLong_CheckExact(arg)) {
        PyErr_SetString(PyExc_TypeError, "a subscription id is an int");
        return nullptr;
    }
    uint64_t id = PyLong_AsUnsignedLongLong(arg);
    if (PyErr_Occurred()) return nullptr;
    Failure f;
    Py_BEGIN_ALLOW_THREADS
    f = natsbus::contained("unsubscribe", [&] { return link->unsubscribe(id); });
    Py_END_ALLOW_THREADS
    if (f) return raise(f);
    Py_RETURN_NONE;
}

PyObject* Link_publish(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
    auto* self = reinterpret_cast<LinkObject*>(op);
    if (nargs != 3 || !PyBytes_CheckExact(args[1]) || !PyLong_CheckExact(args[2])) {
        PyErr_SetString(PyExc_TypeError, "publish(subject: str, payload: bytes, qos: int)");
        return nullptr;
    }
    natsbus::Link* link = link_of(self);
    std::string subject;
    if (link == nullptr || !text_of(args[0], "subject", &subject)) return nullptr;
    Py_ssize_t qos = PyLong_AsSsize_t(args[2]);
    if (qos != 0 && qos != 1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "qos is 0 or 1");
        return nullptr;
    }
    Py_ssize_t size = PyBytes_GET_SIZE(args[1]);
    if (size > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "payload too large");
        return nullptr;
    }
    // The bytes object is immutable and held by the caller's frame while the GIL is released.
    const char* data = PyBytes_AS_STRING(args[1]);
    Failure f;
    if (qos == 0) {
        f = natsbus::contained("publish", [&] { return link->publish(subject, data, static_cast<int>(size), 0); });  // buffered
    } else {
        Py_BEGIN_ALLOW_THREADS
        f = natsbus::contained("publish", [&] { return link->publish(subject, data, static_cast<int>(size), 1); });
        Py_END_ALLOW_THREADS
    }
    if (f) return raise(f);
    Py_RETURN_NONE;
}

PyObject* Link_ensure_stream(PyObject* op, PyObject* args, PyObject* kwargs) {
    auto* self = reinterpret_cast<LinkObject*>(op);
    static const char* const keywords[] = {"name", "subjects", "replicas", nullptr};
    PyObject* name_obj = nullptr;
    PyObject* subjects_obj = nullptr;
    int replicas = 1;
    if (!py::parse_args("natsbus.Link.ensure_stream", args, kwargs, "UO!|i:ensure_stream", keywords, &name_obj, &PyList_Type, &subjects_obj,
                             &replicas))
        return nullptr;
    natsbus::Link* link = link_of(self);
    std::string name;
    std::vector<std::string> subjects;
    if (link == nullptr || !text_of(name_obj, "name", &name) || !texts_of(subjects_obj, "subjects", &subjects))
        return nullptr;
    if (replicas < 1 || replicas > 5) {
        PyErr_SetString(PyExc_ValueError, "replicas is between 1 and 5");
        return nullptr;
    }
    Failure f;
    Py_BEGIN_ALLOW_THREADS
    f = natsbus::contained("ensure_stream", [&] { return link->ensure_stream(name, subjects, replicas); });
    Py_END_ALLOW_THREADS
    if (f) return raise(f);
    Py_RETURN_NONE;
}

PyObject* Link_hold(PyObject* op, PyObject* arg) {
    natsbus::Link* link = link_of(reinterpret_cast<LinkObject*>(op));
    if (link == nullptr) return nullptr;
    link->hold(arg == Py_True);
    Py_RETURN_NONE;
}

// The core's acknowledgement callback: tokens of handled events.
PyObject* Link_ack(PyObject* op, PyObject* tokens) {
    auto* self = reinterpret_cast<LinkObject*>(op);
    if (!PyList_CheckExact(tokens) && !PyTuple_CheckExact(tokens)) {
        PyErr_SetString(PyExc_TypeError, "ack takes a list of tokens");
        return nullptr;
    }
    if (self->link == nullptr) Py_RETURN_NONE;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(tokens);
    std::vector<uint64_t> ids;
    ids.reserve(static_cast<size_t>(n));
    PyObject** items = PySequence_Fast_ITEMS(tokens);
    for (Py_ssize_t i = 0; i < n; i++) {
        if (!PyLong_CheckExact(items[i])) continue;  // not one of ours
        uint64_t id = PyLong_AsUnsignedLongLong(items[i]);
        if (id == static_cast<uint64_t>(-1) && PyErr_Occurred()) {
            py::clear_error("natsbus.Link.ack");
            continue;
        }
        ids.push_back(id);
    }
    (*self->link)->acknowledge(ids);
    Py_RETURN_NONE;
}

PyObject* Link_close(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<LinkObject*>(op);
    if (self->link == nullptr) Py_RETURN_NONE;
    std::shared_ptr<natsbus::Link> link = *self->link;
    Py_BEGIN_ALLOW_THREADS
    link->close();
    Py_END_ALLOW_THREADS
    self->target.closing = true;
    Py_RETURN_NONE;
}

PyObject* Link_stats(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<LinkObject*>(op);
    PyObject* stats = PyDict_New();
    if (stats == nullptr || self->link == nullptr) return stats;
    natsbus::Link& link = **self->link;
    const std::pair<const char*, uint64_t> values[] = {
        {"received", link.counters.received.load()},
        {"dropped", link.counters.dropped.load()},
        {"acked", link.counters.acked.load()},
        {"ack_errors", link.counters.ack_errors.load()},
        {"fetch_errors", link.counters.fetch_errors.load()},
        {"consumers_recreated", link.counters.consumers_recreated.load()},
        {"transport_held", link.counters.held.load()},
        {"batches", link.counters.batches.load()},
        {"disconnects", link.events->disconnects.load()},
        {"reconnects", link.events->reconnects.load()},
        {"queued", link.queued()},
        {"unacknowledged", link.unacknowledged()},
    };
    for (const auto& [key, value] : values) {
        PyObject* number = PyLong_FromUnsignedLongLong(value);
        if (number == nullptr || PyDict_SetItemString(stats, key, number) < 0) {
            py::xdrop(number);
            py::drop(stats);
            return nullptr;
        }
        py::drop(number);
    }
    return stats;
}

PyObject* Link_get_connected(PyObject* op, void*) {
    auto* self = reinterpret_cast<LinkObject*>(op);
    return PyBool_FromLong(self->link != nullptr && self->connected_once && (*self->link)->connected());
}

int Link_traverse(PyObject* op, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<LinkObject*>(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->target.sink);
    Py_VISIT(self->target.ack);
    return 0;
}

int Link_clear(PyObject* op) {
    auto* self = reinterpret_cast<LinkObject*>(op);
    // The dispatcher reads these under the GIL only after checking `closing`.
    self->target.closing = true;
    py::clear(self->target.sink);
    py::clear(self->target.ack);
    return 0;
}

void Link_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<LinkObject*>(op);
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    self->target.closing = true;
    if (self->link != nullptr) {
        std::shared_ptr<natsbus::Link> link = *self->link;
        if (!link->on_dispatcher_thread()) {
            // The dispatcher may wait for the GIL: let it see `closing` and finish.
            Py_BEGIN_ALLOW_THREADS
            link->close();
            Py_END_ALLOW_THREADS
        } else {
            link->close();
        }
        delete self->link;
        self->link = nullptr;
    }
    Link_clear(op);
    type->tp_free(op);
    py::drop(type);
}

PyMethodDef Link_methods[] = {
    {"connect", Entry<Link_connect>::call, METH_O, "connect($self, sink, /)\n--\n\nConnects; sink(events, ack) receives each batch."},
    {"subscribe", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry<Link_subscribe>::call)),
     METH_VARARGS | METH_KEYWORDS, "subscribe($self, /, subject, qos, group=None, durable=None)\n--\n\nSubscribes; returns the subscription's id."},
    {"unsubscribe", Entry<Link_unsubscribe>::call, METH_O, "unsubscribe($self, id, /)\n--\n\nEnds a subscription."},
    {"publish", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry<Link_publish>::call)), METH_FASTCALL,
     "publish($self, subject, payload, qos, /)\n--\n\nPublishes; at qos 1 returns once a stream stored it."},
    {"ensure_stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry<Link_ensure_stream>::call)),
     METH_VARARGS | METH_KEYWORDS, "ensure_stream($self, /, name, subjects, replicas=1)\n--\n\nCreates or checks a stream."},
    {"hold", Entry<Link_hold>::call, METH_O, "hold($self, on, /)\n--\n\nStops or resumes handing events to the sink."},
    {"ack", Entry<Link_ack>::call, METH_O, "ack($self, tokens, /)\n--\n\nAcknowledges handled events."},
    {"close", Entry<Link_close>::call, METH_NOARGS, "close($self, /)\n--\n\nStops the threads and closes the connections."},
    {"stats", Entry<Link_stats>::call, METH_NOARGS, "stats($self, /)\n--\n\nThe link's counters."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Link_getset[] = {
    {"connected", Link_get_connected, nullptr, "whether the connection is up", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot Link_slots[] = {
    {Py_tp_doc, const_cast<char*>("Link(servers, *, user=None, password=None, secure=False, ca_pem=None, verify=True, connect_timeout=10.0, "
                         "reconnect_wait=0.5, reply_timeout=10.0, ack_wait=30.0, max_ack_pending=4096, max_batch=512, "
                         "max_queued=65536, max_in_flight=1024, send_asap=True, close_wait=10.0)\n--\n\n"
                         "libnats connections feeding a delivery sink.")},
    {Py_tp_init, reinterpret_cast<void*>(Entry<Link_init>::call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Link_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Link_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Link_clear)},
    {Py_tp_methods, Link_methods},
    {Py_tp_getset, Link_getset},
    {0, nullptr},
};

PyType_Spec Link_spec = {
    "quenda_loomi.bus.nats._natsbus.Link", sizeof(LinkObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, Link_slots,
};

// libnats frees its global state in a destructor at exit while its own
// threads (timers, message delivery) may still run; stopping them first
// keeps the exit clean.  Connections are closed by then unless a bus was
// never closed, and the wait is bounded for that case.  Once it used TLS,
// libnats 3.4.1's final cleanup also frees OpenSSL's table of compression
// methods without clearing OpenSSL's pointer to it, and OpenSSL's own
// cleanup at exit frees it again (heap corruption at exit): the table is
// taken out of OpenSSL first, so both free nothing (it is left to the exit).
void close_libnats_at_exit() {
    (void)SSL_COMP_set0_compression_methods(nullptr);
    (void)nats_CloseAndWait(500);
}

int module_exec(PyObject* module) {
    if (nats_Open(-1) != NATS_OK) {
        PyErr_SetString(PyExc_ImportError, "libnats could not be initialised");
        return -1;
    }
    static bool exit_hook = false;
    if (!exit_hook) {
        exit_hook = std::atexit(close_libnats_at_exit) == 0;
    }
    ModuleState* state = state_of(module);
    state->link_type = PyType_FromModuleAndSpec(module, &Link_spec, nullptr);
    if (state->link_type == nullptr) return -1;
    if (PyModule_AddObjectRef(module, "Link", state->link_type) < 0) return -1;
    // For the test-only module tessaly_reentry_probe of checking builds.
    if (py::export_stress_hook_setter(module) < 0) return -1;
    return PyModule_AddStringConstant(module, "libnats_version", nats_GetVersion());
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    Py_VISIT(state_of(module)->link_type);
    return 0;
}

int module_clear(PyObject* module) {
    py::clear(state_of(module)->link_type);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    // The dispatcher takes the GIL with PyGILState, which knows the main interpreter only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_natsbus", "Native NATS link of the bus (libnats).", sizeof(ModuleState), nullptr,
    module_slots, module_traverse, module_clear, module_free,
};

}  // namespace

PyMODINIT_FUNC PyInit__natsbus() { return PyModuleDef_Init(&module_def); }
