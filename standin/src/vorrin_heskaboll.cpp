// Stand-in for nyxel.allocator_protocol.vorrin_heskaboll: the heap pool's
// Python types and its two exported variables.
#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"
#include "standin/src/standin_module.h"
#include "support/nyxel_interface.h"

namespace {

heap_allocator* C_ALLOCATOR = nullptr;
PyObject* ALLOCATOR = nullptr;  // the library's HeapAllocator object; none here

int vorrin_heskaboll_exec(PyObject* module) {
    constexpr const char* kTypes[] = {
        "nyxel.allocator_protocol.vorrin_heskaboll.HeapMemoryPage",
        "nyxel.allocator_protocol.vorrin_heskaboll.HeapMemoryBlock",
        "nyxel.allocator_protocol.vorrin_heskaboll.HeapAllocator",
    };
    for (const char* name : kTypes) {
        if (nyxel_standin::add_placeholder_type(module, name, "Placeholder type of the stand-in base library.") < 0)
            return -1;
    }
    const nyxel_standin::ExportedVariable variables[] = {
        {"C_ALLOCATOR", &C_ALLOCATOR, nyxel_interface::kHeapAllocatorSignature},
        {"ALLOCATOR", &ALLOCATOR,
         nyxel_interface::kHeapAllocatorObjectSignature},
    };
    return nyxel_standin::export_variables(module, variables);
}

}  // namespace

NYXEL_STANDIN_MODULE(vorrin_heskaboll, vorrin_heskaboll_exec, "Heap pool types (stand-in).")
