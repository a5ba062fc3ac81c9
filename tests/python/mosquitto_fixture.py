"""Broker processes and helpers for the bus tests.

Every broker is a real mosquitto started by `LocalBroker` on a free port in
a temporary directory; tests skip (with the reason) only where mosquitto is
not installed.
"""

import os
import socket
import struct
import sys
import threading
import time

import pytest

from quenda_loomi.bus.mqtt import LocalBroker, mosquitto_executable

requires_mosquitto = pytest.mark.skipif(
    mosquitto_executable() is None,
    reason="mosquitto is not installed (tools/provision-python.sh installs Debian's package)")


def start_broker(tmp_path, name="broker", **kwargs):
    directory = tmp_path / name
    directory.mkdir()
    return LocalBroker(str(directory), **kwargs).start()


@pytest.fixture
def broker(tmp_path):
    broker = start_broker(tmp_path)
    yield broker
    broker.close()


@pytest.fixture(scope="module")
def shared_broker(tmp_path_factory):
    """One broker for tests that only need a working broker, not a fresh one."""
    broker = start_broker(tmp_path_factory.mktemp("shared"))
    yield broker
    broker.close()


class Collector:
    """A handler that records its calls and lets a test wait for a count."""

    def __init__(self):
        self.calls = []
        self.threads = set()
        self._cond = threading.Condition()

    def __call__(self, event, payload, captures):
        with self._cond:
            self.calls.append((str(event), len(event), payload, captures))
            self.threads.add(threading.get_ident())
            self._cond.notify_all()

    def wait_for(self, count, timeout=10.0):
        deadline = time.monotonic() + timeout
        with self._cond:
            while len(self.calls) < count:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return False
                self._cond.wait(remaining)
        return True

    def payloads(self):
        return [payload for _, _, payload, _ in self.calls]


def wait_until(predicate, timeout=10.0, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def _mqtt_string(data):
    return struct.pack("!H", len(data)) + data


def _remaining_length(n):
    out = bytearray()
    while True:
        byte, n = n % 128, n // 128
        out.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(out)


def raw_publish(port, topic, payload=b"", timeout=5.0):
    """Publishes `topic` (bytes, sent unchecked) at QoS 0 over a bare socket.

    A hostile peer: paho refuses to send what this sends (invalid UTF-8, for
    one).  Returns what the broker answered after the PUBLISH: b"" when it
    closed the connection.
    """
    connect_body = _mqtt_string(b"MQTT") + bytes([4, 2]) + struct.pack("!H", 30) + _mqtt_string(b"")
    publish_body = _mqtt_string(topic) + payload
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(bytes([0x10]) + _remaining_length(len(connect_body)) + connect_body)
        connack = s.recv(4)
        assert connack[:1] == b"\x20" and connack[3:4] == b"\x00", connack
        s.sendall(bytes([0x30]) + _remaining_length(len(publish_body)) + publish_body)
        # PINGREQ: a broker that kept the connection answers PINGRESP.
        s.sendall(b"\xc0\x00")
        try:
            return s.recv(2)
        except (ConnectionResetError, TimeoutError):
            return b""


def drain(pub, sub, tag):
    """Publishes a marker after everything else and waits until `sub` has it:
    one publisher's QoS 1 events reach a subscriber in order."""
    marker, topic = Collector(), f"zz.drain.{tag}.x.y"
    subscription = sub.subscribe(topic, marker)
    pub.publish(topic, b"", qos=1).wait_for_publish(5)
    assert marker.wait_for(1), "the marker event never arrived"
    sub.unsubscribe(subscription)


def rss_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def child_env():
    """The environment of a child interpreter that imports what this one does."""
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
