"""Stopping the server processes the local launchers start (mosquitto, nats-server)."""

from __future__ import annotations

import subprocess

__all__ = ["kill_process", "stop_process"]


def stop_process(process: subprocess.Popen[bytes] | None, timeout: float = 10.0) -> None:
    """SIGTERM (the server writes what it persists), then SIGKILL after `timeout` seconds."""
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout)


def kill_process(process: subprocess.Popen[bytes] | None) -> None:
    """SIGKILL: nothing flushed, the clients see the link drop."""
    if process is not None and process.poll() is None:
        process.kill()
        process.wait(10)
