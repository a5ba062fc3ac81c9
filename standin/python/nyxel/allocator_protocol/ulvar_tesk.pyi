# Type information for the stand-in's shared-memory context module (a native extension).
from types import CapsuleType

__pyx_capi__: dict[str, CapsuleType]
