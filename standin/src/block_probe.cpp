// nyxel_standin_probe: test-only helper shipped with the stand-in (not part of
// the base library's interface).  Requests one block through a protocol
// variable published in some module's __pyx_capi__, reports the block
// header's source flags and releases the block again.
#include <cerrno>

#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"
#include "standin/src/standin_module.h"

namespace {

using pyutil::Ref;

PyObject* request_block(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "request_block(capsule, size) takes exactly 2 arguments");
        return nullptr;
    }
    auto* slot = static_cast<allocator_protocol**>(PyCapsule_GetPointer(args[0], "allocator_protocol *"));
    if (!slot) return nullptr;
    unsigned long long size = PyLong_AsUnsignedLongLong(args[1]);
    if (size == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;

    errno = 0;
    void* block = c_ap_request(size, *slot);
    if (!block) return PyErr_SetFromErrno(errno ? PyExc_OSError : PyExc_MemoryError);
    const allocator_protocol* header = c_ap_protocol_from_ptr(block);
    Ref result(Py_BuildValue("{s:O,s:O,s:O,s:K}", "with_lock", header->with_lock ? Py_True : Py_False,
                             "with_shm", header->with_shm ? Py_True : Py_False, "with_freelist",
                             header->with_freelist ? Py_True : Py_False, "size",
                             static_cast<unsigned long long>(header->size)));
    c_ap_free(block);
    return result.release();
}

PyMethodDef probe_methods[] = {
    {"request_block", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(request_block)),
     METH_FASTCALL,
     "request_block(capsule, size)\n--\n\n"
     "Request and release one block through the protocol variable behind an\n"
     "'allocator_protocol *' capsule; returns the block header's flags."},
    {nullptr, nullptr, 0, nullptr},
};

int probe_exec(PyObject* module) { return PyModule_AddFunctions(module, probe_methods); }

}  // namespace

NYXEL_STANDIN_MODULE(nyxel_standin_probe, probe_exec, "Test-only block request probe of the stand-in.")
