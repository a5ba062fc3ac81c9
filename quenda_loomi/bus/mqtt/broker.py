"""A local mosquitto broker process for tests, demos and benchmarks.

`LocalBroker` writes a configuration into its own directory, starts
Debian's ``mosquitto`` on a free loopback port, waits until the port accepts
connections and stops the process again (``with LocalBroker() as broker:``).
Persistence goes to ``<directory>/data``; started as root the broker keeps
running as root (``user root``), so that directory stays writable.  Without
it mosquitto would switch to the ``mosquitto`` user and, unable to write a
root-owned directory, silently run without persistence.

The in-flight window is off by default (``max_inflight_messages 0``): the
bus acknowledges an event after its handlers and bounds what it holds
itself, and mosquitto 2.0.11 with its default window of 20 lets a queued
QoS 1 event overtake another once acknowledgements lag behind.
"""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import tempfile
import time
from collections.abc import Sequence

from quenda_loomi.bus.server_process import kill_process, stop_process

__all__ = ["LocalBroker", "MosquittoMissing", "broker_environment", "free_port", "mosquitto_executable"]


class MosquittoMissing(RuntimeError):
    """The mosquitto executable is not installed."""


def mosquitto_executable() -> str | None:
    for candidate in (shutil.which("mosquitto"), "/usr/sbin/mosquitto"):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


def broker_environment() -> dict[str, str]:
    """This process's environment without preloaded libraries (a sanitizer
    runtime preloaded into the interpreter has no business in the broker)."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


class LocalBroker:
    """One mosquitto process on 127.0.0.1:<port> with a generated configuration."""

    def __init__(
        self,
        directory: str | None = None,
        port: int | None = None,
        *,
        persistence: bool = True,
        password_file: str | None = None,
        tls: tuple[str, str] | None = None,
        message_size_limit: int | None = None,
        max_queued_messages: int = 100_000,
        max_inflight_messages: int = 0,
        extra: Sequence[str] = (),
        start_timeout: float = 10.0,
    ) -> None:
        executable = mosquitto_executable()
        if executable is None:
            raise MosquittoMissing("mosquitto is not installed (Debian package 'mosquitto')")
        self.executable = executable
        self._own_directory = directory is None
        self.directory = directory or tempfile.mkdtemp(prefix="mosquitto-")
        self.port = port or free_port()
        self.host = "127.0.0.1"
        self.persistence = persistence
        self.password_file = password_file
        self.tls = tls
        self.message_size_limit = message_size_limit
        self.max_queued_messages = max_queued_messages
        self.max_inflight_messages = max_inflight_messages
        self.extra = list(extra)
        self.start_timeout = start_timeout
        self.process: subprocess.Popen[bytes] | None = None

    @property
    def config_path(self) -> str:
        return os.path.join(self.directory, "mosquitto.conf")

    @property
    def log_path(self) -> str:
        return os.path.join(self.directory, "mosquitto.log")

    def config(self) -> str:
        lines = [f"listener {self.port} {self.host}"]
        if self.tls is not None:
            lines += [f"certfile {self.tls[0]}", f"keyfile {self.tls[1]}"]
        if self.password_file is not None:
            lines += ["allow_anonymous false", f"password_file {self.password_file}"]
        else:
            lines.append("allow_anonymous true")
        if self.persistence:
            data = os.path.join(self.directory, "data")
            os.makedirs(data, exist_ok=True)
            lines += ["persistence true", f"persistence_location {data}/"]
        else:
            lines.append("persistence false")
        if os.geteuid() == 0:
            lines.append("user root")
        if self.message_size_limit is not None:
            lines.append(f"message_size_limit {self.message_size_limit}")
        lines += [
            f"max_queued_messages {self.max_queued_messages}",
            f"max_inflight_messages {self.max_inflight_messages}",
            f"log_dest file {self.log_path}",
            "log_type error", "log_type warning", "log_type notice",
        ]
        return "\n".join(lines + self.extra) + "\n"

    def start(self) -> LocalBroker:
        if self.process is not None and self.process.poll() is None:
            return self
        with open(self.config_path, "w") as f:
            f.write(self.config())
        self.process = subprocess.Popen([self.executable, "-c", self.config_path], env=broker_environment(),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + self.start_timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"mosquitto exited with {self.process.returncode} on port {self.port}:\n"
                                   f"{self.log_tail()}")
            try:
                with socket.create_connection((self.host, self.port), timeout=0.5):
                    return self
            except OSError:
                time.sleep(0.02)
        self.stop()
        raise RuntimeError(f"mosquitto did not listen on {self.host}:{self.port} within {self.start_timeout:g} s")

    def stop(self, timeout: float = 10.0) -> None:
        """Stops the broker; SIGTERM lets it write its persistence database first."""
        process, self.process = self.process, None
        stop_process(process, timeout)

    def kill(self) -> None:
        """Stops the broker without letting it save anything (SIGKILL)."""
        process, self.process = self.process, None
        kill_process(process)

    def restart(self) -> LocalBroker:
        self.stop()
        return self.start()

    def log_tail(self, lines: int = 20) -> str:
        try:
            with open(self.log_path, errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return "(no log)"

    def close(self) -> None:
        self.stop()
        if self._own_directory:
            shutil.rmtree(self.directory, ignore_errors=True)

    def __enter__(self) -> LocalBroker:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.close()
