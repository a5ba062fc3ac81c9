# Type information for the allocator configuration module (a native extension).
from types import CapsuleType
from typing import TypedDict, final

from nyxel.allocator_protocol.durrowmere_skalvotin import AllocatorConfigContext

__pyx_capi__: dict[str, CapsuleType]

class QLConfigContext(AllocatorConfigContext): ...

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
