# Type information for the stand-in's allocator protocol module (a native extension).
from types import CapsuleType, TracebackType
from typing import Self

__pyx_capi__: dict[str, CapsuleType]

class AllocatorProtocol: ...

class AllocatorConfigContext:
    def __init__(self, **settings: object) -> None: ...
    @property
    def requested(self) -> dict[str, object] | None: ...
    @property
    def saved(self) -> dict[str, object] | None: ...
    def __enter__(self, /) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
        /,
    ) -> None: ...
