"""The NATS transport of the bus: a native module over libnats, and a local cluster launcher.

`NatsTransport` needs the extension module `_natsbus`, built only where libnats
is installed; `LocalCluster` needs only the ``nats-server`` executable.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .cluster import LocalCluster, NatsServerMissing, nats_server_executable

if TYPE_CHECKING:
    from .transport import NatsTransport

__all__ = ["LocalCluster", "NatsServerMissing", "NatsTransport", "nats_server_executable"]


def __getattr__(name: str) -> Any:
    # The transport imports the native module; the launcher must work without it.
    if name == "NatsTransport":
        from .transport import NatsTransport
        return NatsTransport
    raise AttributeError(name)
