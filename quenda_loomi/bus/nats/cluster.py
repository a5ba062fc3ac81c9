"""Local nats-server clusters for tests, demos and benchmarks.

`LocalCluster(nodes=3)` starts that many Debian ``nats-server`` processes on
free loopback ports, joined by cluster routes, each with JetStream on file
storage in its own directory under one temp dir, and optionally an MQTT
listener (the server's MQTT needs JetStream and a server name, both given).
`start()` returns once every node answers its monitoring ``/healthz``, the
routes are complete and JetStream has elected its meta leader, so a stream
with ``replicas=nodes`` can be created at once.  `kill(i)` SIGKILLs a node,
`restart(i)` starts it again on the same ports and storage, `close()` stops
everything and removes the directory.  A node keeps its ports for the
cluster's life, so a client's server list stays valid across restarts.
"""

from __future__ import annotations

import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.request
from dataclasses import dataclass

from quenda_loomi.bus.server_process import kill_process, stop_process

__all__ = ["LocalCluster", "NatsServerMissing", "nats_server_executable"]


class NatsServerMissing(RuntimeError):
    """The nats-server executable is not installed."""


def nats_server_executable() -> str | None:
    for candidate in (shutil.which("nats-server"), "/usr/sbin/nats-server", "/usr/bin/nats-server"):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


def _free_ports(count: int) -> list[int]:
    # All sockets open at once so the kernel hands out distinct ports.
    probes = [socket.socket() for _ in range(count)]
    try:
        for probe in probes:
            probe.bind(("127.0.0.1", 0))
        return [int(p.getsockname()[1]) for p in probes]
    finally:
        for probe in probes:
            probe.close()


def _server_environment() -> dict[str, str]:
    # A sanitizer runtime preloaded into the interpreter has no business in the server.
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


@dataclass(frozen=True)
class _Ports:
    client: int
    cluster: int
    monitor: int
    mqtt: int | None


class LocalCluster:
    """`nodes` nats-server processes on 127.0.0.1, routed into one cluster."""

    def __init__(
        self,
        nodes: int = 3,
        jetstream: bool = True,
        mqtt: bool = False,
        *,
        directory: str | None = None,
        user: str | None = None,
        password: str | None = None,
        tls: tuple[str, str] | None = None,
        max_payload: int | None = None,
        name: str = "quenda",
        start_timeout: float = 20.0,
    ) -> None:
        if nodes < 1:
            raise ValueError("a cluster needs at least one node")
        if mqtt and not jetstream:
            raise ValueError("nats-server's MQTT listener needs JetStream")
        if (user is None) != (password is None):
            raise ValueError("user and password go together")
        executable = nats_server_executable()
        if executable is None:
            raise NatsServerMissing("nats-server is not installed (Debian package 'nats-server')")
        self.executable = executable
        self.nodes = nodes
        self.jetstream = jetstream
        self.mqtt = mqtt
        self.user = user
        self.password = password
        self.tls = tls
        self.max_payload = max_payload
        self.name = name
        self.start_timeout = start_timeout
        self._own_directory = directory is None
        self.directory = directory or tempfile.mkdtemp(prefix="nats-cluster-")
        per_node = 4 if mqtt else 3
        flat = _free_ports(per_node * nodes)
        self._ports = [
            _Ports(client=flat[i * per_node], cluster=flat[i * per_node + 1], monitor=flat[i * per_node + 2],
                   mqtt=flat[i * per_node + 3] if mqtt else None)
            for i in range(nodes)
        ]
        self._processes: list[subprocess.Popen[bytes] | None] = [None] * nodes

    # -- addresses ---------------------------------------------------------------------------------

    @property
    def host(self) -> str:
        return "127.0.0.1"

    @property
    def client_ports(self) -> list[int]:
        return [p.client for p in self._ports]

    @property
    def monitor_ports(self) -> list[int]:
        return [p.monitor for p in self._ports]

    @property
    def mqtt_ports(self) -> list[int]:
        return [p.mqtt for p in self._ports if p.mqtt is not None]

    def url(self, node: int) -> str:
        scheme = "tls" if self.tls is not None else "nats"
        return f"{scheme}://{self.host}:{self._ports[node].client}"

    @property
    def urls(self) -> str:
        """Every node, as one comma-separated URL (the form `Bus` takes)."""
        scheme = "tls" if self.tls is not None else "nats"
        return f"{scheme}://" + ",".join(f"{self.host}:{p.client}" for p in self._ports)

    @property
    def servers(self) -> list[str]:
        return [self.url(i) for i in range(self.nodes)]

    @property
    def mqtt_url(self) -> str:
        return "mqtt://" + ",".join(f"{self.host}:{p}" for p in self.mqtt_ports)

    def server_name(self, node: int) -> str:
        return f"{self.name}-{node}"

    # -- configuration -----------------------------------------------------------------------------

    def node_directory(self, node: int) -> str:
        return os.path.join(self.directory, self.server_name(node))

    def config_path(self, node: int) -> str:
        return os.path.join(self.node_directory(node), "nats.conf")

    def log_path(self, node: int) -> str:
        return os.path.join(self.node_directory(node), "nats.log")

    def config(self, node: int) -> str:
        ports = self._ports[node]
        lines = [
            f'server_name: "{self.server_name(node)}"',
            f"listen: {self.host}:{ports.client}",
            f"http: {self.host}:{ports.monitor}",
            f'log_file: "{self.log_path(node)}"',
        ]
        if self.max_payload is not None:
            lines.append(f"max_payload: {self.max_payload}")
        if self.user is not None:
            lines.append(f'authorization {{ user: "{self.user}", password: "{self.password}" }}')
        if self.tls is not None:
            lines.append(f'tls {{ cert_file: "{self.tls[0]}", key_file: "{self.tls[1]}" }}')
        if self.jetstream:
            store = os.path.join(self.node_directory(node), "jetstream")
            lines.append(f'jetstream {{ store_dir: "{store}", max_memory_store: 256MB, max_file_store: 4GB }}')
        if self.nodes > 1:
            routes = ", ".join(f"nats-route://{self.host}:{p.cluster}"
                               for i, p in enumerate(self._ports) if i != node)
            lines.append(f'cluster {{ name: "{self.name}", listen: {self.host}:{ports.cluster}, '
                         f"routes: [{routes}] }}")
        if ports.mqtt is not None:
            lines.append(f"mqtt {{ listen: {self.host}:{ports.mqtt} }}")
        return "\n".join(lines) + "\n"

    # -- life cycle --------------------------------------------------------------------------------

    def start(self) -> LocalCluster:
        for node in range(self.nodes):
            self._spawn(node)
        self.wait_ready()
        return self

    def kill(self, node: int) -> None:
        """SIGKILLs one node: nothing flushed, its clients see the link drop."""
        process, self._processes[node] = self._processes[node], None
        kill_process(process)

    def stop(self, node: int, timeout: float = 10.0) -> None:
        process, self._processes[node] = self._processes[node], None
        stop_process(process, timeout)

    def restart(self, node: int, wait: bool = True) -> None:
        """Starts a stopped or killed node again on its ports and storage."""
        self.stop(node)
        self._spawn(node)
        if wait:
            self.wait_ready()

    def alive(self, node: int) -> bool:
        process = self._processes[node]
        return process is not None and process.poll() is None

    def close(self) -> None:
        for node in range(self.nodes):
            self.stop(node)
        if self._own_directory:
            shutil.rmtree(self.directory, ignore_errors=True)

    def __enter__(self) -> LocalCluster:
        try:
            return self.start()
        except BaseException:
            self.close()
            raise

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- readiness ---------------------------------------------------------------------------------

    def _spawn(self, node: int) -> None:
        if self.alive(node):
            # Its handle would be lost and the process never stopped.
            raise RuntimeError(f"node {node} of the cluster is already running")
        os.makedirs(self.node_directory(node), exist_ok=True)
        with open(self.config_path(node), "w") as f:
            f.write(self.config(node))
        self._processes[node] = subprocess.Popen(
            [self.executable, "-c", self.config_path(node)], env=_server_environment(),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def _monitor(self, node: int, path: str) -> dict[str, object] | None:
        url = f"http://{self.host}:{self._ports[node].monitor}{path}"
        try:
            with urllib.request.urlopen(url, timeout=1.0) as response:
                loaded = json.loads(response.read())
        except (OSError, ValueError):
            return None  # a 503 from /healthz while JetStream is catching up lands here too
        return loaded if isinstance(loaded, dict) else None

    def _node_ready(self, node: int, running: int) -> bool:
        health = self._monitor(node, "/healthz")
        if health is None or health.get("status") != "ok":
            return False
        if self.nodes > 1:
            routes = self._monitor(node, "/routez")
            if routes is None or routes.get("num_routes", 0) < running - 1:  # type: ignore[operator]
                return False
        if self.jetstream and self.nodes > 1:
            jsz = self._monitor(node, "/jsz")
            meta = jsz.get("meta_cluster") if jsz is not None else None
            if not isinstance(meta, dict) or not meta.get("leader"):
                return False
        return True

    def wait_ready(self, timeout: float | None = None) -> None:
        """Waits until every running node is healthy, routed to the others and sees a meta leader."""
        deadline = time.monotonic() + (timeout if timeout is not None else self.start_timeout)
        while True:
            running = [n for n in range(self.nodes) if self._processes[n] is not None]
            for n in running:
                process = self._processes[n]
                if process is not None and process.poll() is not None:
                    raise RuntimeError(f"nats-server node {n} exited with {process.returncode}:\n"
                                       f"{self.log_tail(n)}")
            if all(self._node_ready(n, len(running)) for n in running):
                return
            if time.monotonic() > deadline:
                tails = "\n".join(f"node {n}:\n{self.log_tail(n)}" for n in running)
                raise TimeoutError(f"nats cluster not ready within {deadline:g} s\n{tails}")
            time.sleep(0.05)

    def log_tail(self, node: int, lines: int = 20) -> str:
        try:
            with open(self.log_path(node), errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return "(no log)"
