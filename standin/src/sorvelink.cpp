// Stand-in for nyxel.bytemap.sorvelink: the byte map's Python types and the
// NO_DEFAULT marker variable.
#include "standin/src/standin_module.h"
#include "support/nyxel_interface.h"

namespace {

PyObject* NO_DEFAULT = nullptr;

int sorvelink_exec(PyObject* module) {
    constexpr const char* kTypes[] = {
        "nyxel.bytemap.sorvelink._ByteMapBase",
        "nyxel.bytemap.sorvelink.ByteMapEx",
        "nyxel.bytemap.sorvelink.ByteMapExDouble",
        "nyxel.bytemap.sorvelink.ByteMap",
        "nyxel.bytemap.sorvelink._BoundByteMapBase",
        "nyxel.bytemap.sorvelink.BoundByteMapEx",
        "nyxel.bytemap.sorvelink.BoundByteMapExDouble",
        "nyxel.bytemap.sorvelink.BoundByteMap",
        "nyxel.bytemap.sorvelink.BoundByteSet",
        "nyxel.bytemap.sorvelink.ByteMapPerformanceTestToolkit",
    };
    for (const char* name : kTypes) {
        if (nyxel_standin::add_placeholder_type(module, name, "Placeholder type of the stand-in base library.") < 0)
            return -1;
    }
    const nyxel_standin::ExportedVariable variables[] = {
        {"NO_DEFAULT", &NO_DEFAULT, nyxel_interface::kPyObjectSignature},
    };
    return nyxel_standin::export_variables(module, variables);
}

}  // namespace

NYXEL_STANDIN_MODULE(sorvelink, sorvelink_exec, "Byte map types (stand-in).")
