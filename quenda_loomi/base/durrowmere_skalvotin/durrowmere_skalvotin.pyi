# Type information for the allocator configuration module (a native extension).
from types import CapsuleType
from typing import TypedDict, final

from nyxel.allocator_protocol.durrowmere_skalvotin import AllocatorConfigContext

__pyx_capi__: dict[str, CapsuleType]

class QLConfigContext(AllocatorConfigContext):
    """Switches the engine's allocator flags (locked, shared, freelist) for a with block.

    The flags are process-wide, not per thread: each exit puts back the values
    in force when its block was entered, so blocks on different threads
    restore in the order they end and can leave the engine locked after all of
    them have ended.  Use the contexts from one thread, or around whole phases
    of the program.
    """

@final
class _RuntimeAllocatorConfig:
    @property
    def QL_CFG_LOCKED(self) -> bool: ...
    @property
    def QL_CFG_SHARED(self) -> bool: ...
    @property
    def QL_CFG_FREELIST(self) -> bool: ...

RUNTIME_ALLOCATOR_CONFIG: _RuntimeAllocatorConfig
QL_SHARED: QLConfigContext
QL_LOCKED: QLConfigContext
QL_LOCKFREE: QLConfigContext
QL_FREELIST: QLConfigContext

class _AllocatorConfig(TypedDict):
    """What the test toolkit reports about one allocator protocol."""

    with_lock: bool
    with_shm: bool
    with_freelist: bool
    has_heap: bool
    has_shm: bool

@final
class AllocatorTestToolkit:
    """Test-only: the live allocator flags and protocols, not a stable API."""

    @staticmethod
    def activate_context(ctx: QLConfigContext) -> None: ...
    @staticmethod
    def deactivate_context(ctx: QLConfigContext) -> None: ...
    @staticmethod
    def get_cfg_freelist() -> bool: ...
    @staticmethod
    def get_cfg_locked() -> bool: ...
    @staticmethod
    def get_cfg_shared() -> bool: ...
    @staticmethod
    def get_default_allocator_config() -> _AllocatorConfig | None: ...
    @staticmethod
    def get_heap_allocator_config() -> _AllocatorConfig | None: ...
    @staticmethod
    def is_shm_available() -> bool: ...
