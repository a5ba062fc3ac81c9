// ql_engine_variables_probe: test-only module (never installed).  Imports the
// configuration module's variables the way an engine module does, through
// kEngineVariables of support/engine_variables.h, so a test can hold the
// importers' view against the exported __pyx_capi__ entry by entry.
#include <Python.h>

#include <cstddef>
#include <iterator>

#include "support/engine_variables.h"
#include "support/python/py_ref.h"

namespace {

using pyutil::Ref;

// [(name, signature, address)] in table order, each address imported by name
// and signature; ImportError / TypeError as an importing module would see.
PyObject* imported_variables(PyObject*, PyObject*) {
    const auto& variables = ql_config::kEngineVariables;
    void* addresses[std::size(ql_config::kEngineVariables)] = {};
    if (nyxel_interface::require_variables(variables, addresses) < 0) return nullptr;
    Ref result(PyList_New(0));
    if (!result) return nullptr;
    for (size_t i = 0; i < variables.size(); ++i) {
        Ref entry(Py_BuildValue("(ssN)", variables[i].name, variables[i].signature, PyLong_FromVoidPtr(addresses[i])));
        if (!entry || PyList_Append(result.get(), entry.get()) < 0) return nullptr;
    }
    return result.release();
}

PyMethodDef probe_methods[] = {
    {"imported_variables", imported_variables, METH_NOARGS,
     "imported_variables()\n--\n\n"
     "Import the configuration module's variables as engine modules do; [(name, signature, address)]."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot probe_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef probe_def = {
    PyModuleDef_HEAD_INIT, "ql_engine_variables_probe",
    "Test-only: the configuration module's variables as engine modules import them.", 0, probe_methods,
    probe_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_ql_engine_variables_probe(void) { return PyModuleDef_Init(&probe_def); }
