// The topic module's bindings run Python code only through the project's
// unit support/python/python_calls.h (rules there), under the name
// `python::` inside the module.
#pragma once

#include "quenda_loomi/capi/tessaly/record_lifetime.h"
#include "support/python/python_calls.h"

namespace tessaly {
namespace python = pyutil::python;
}  // namespace tessaly
