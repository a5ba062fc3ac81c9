// Stand-in for nyxel.allocator_protocol.ulvar_tesk: the shared-memory context
// variable.  No shared-memory context is ever created, so it stays null.
#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"
#include "standin/src/standin_module.h"
#include "support/nyxel_interface.h"

namespace {

shm_allocator_ctx* ULVAR_TESK = nullptr;

int ulvar_tesk_exec(PyObject* module) {
    const nyxel_standin::ExportedVariable variables[] = {
        {"ULVAR_TESK", &ULVAR_TESK, nyxel_interface::kShmContextSignature},
    };
    return nyxel_standin::export_variables(module, variables);
}

}  // namespace

NYXEL_STANDIN_MODULE(ulvar_tesk, ulvar_tesk_exec, "Shared-memory allocator context (stand-in).")
