// Native layout of nyxel.allocator_protocol.durrowmere_skalvotin.AllocatorConfigContext
// as offered by the stand-in base library, for modules that derive from it
// at the native level (the engine's QLConfigContext).
//
// Contract
//  * Construction: AllocatorConfigContext(**settings), keywords only.  The
//    keywords are kept as a new dict in `requested`; values are taken by
//    their truth when the context is activated.
//  * Every activation / deactivation goes through `vtab`, so a subclass that
//    installs its own table (a struct that begins with a copy of
//    AllocatorConfigContextVTable) has its entries run, also from `with`.
//    Both entries return 0, or -1 with a Python exception set.
//  * The base c_activate applies "locked" / "shared" / "freelist" from
//    `requested` to the record at `allocator_schematic` (with_lock,
//    with_shm, with_freelist) and remembers the settings that were in force
//    before it; from then until the matching c_deactivate, `saved` is a dict
//    holding exactly those previous values (as bools) for the requested keys.
//    The base c_deactivate puts them back, and `saved` becomes the frame of
//    the activation below it on the same context, or None.  The frames are
//    private: the Python attribute `saved` hands out a copy.
//  * Activations and deactivations nest LIFO, also across contexts that
//    share a schematic.  c_deactivate without an activation still open on the
//    context raises RuntimeError.
//  * with_shm of the record is only written when the record has both a shm
//    allocator and a shm context; otherwise a "shared" request is tracked as
//    the setting in force but the record keeps drawing from its current
//    source, so requests through it keep working.
#pragma once

#include <Python.h>

#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"

namespace nyxel_standin {

struct AllocatorConfigContextObject;

struct AllocatorConfigContextVTable {
    int (*c_activate)(AllocatorConfigContextObject* self);
    int (*c_deactivate)(AllocatorConfigContextObject* self);
};

struct AllocatorConfigContextObject {
    PyObject_HEAD
    AllocatorConfigContextVTable* vtab;
    PyObject* requested;  // dict or None
    PyObject* saved;  // dict or None
    allocator_protocol* allocator_schematic;  // may be null: nothing is written then
    // Open activations of this context, oldest first: a list of
    // (schematic address, frame dict) tuples, or null before the first one.
    PyObject* activations;
};

// The type publishes its AllocatorConfigContextVTable with
// pyutil::set_method_table (support/python/capi_table.h).

inline constexpr const char kModuleName[] = "nyxel.allocator_protocol.durrowmere_skalvotin";
inline constexpr const char kTypeName[] = "AllocatorConfigContext";

}  // namespace nyxel_standin
