"""The bus across processes and brokers: a worker group with a member killed
mid-stream, and two mosquitto brokers joined by mosquitto's own bridge."""

import os
import pathlib
import signal
import subprocess
import sys
import threading
import time
from collections import Counter

import pytest

from conftest import sanitizer_loaded
from mosquitto_fixture import Collector, requires_mosquitto, start_broker, wait_until
from quenda_loomi.bus import Bus

WORKER = pathlib.Path(__file__).resolve().parents[2] / "examples" / "bus_worker.py"

pytestmark = [
    requires_mosquitto,
    pytest.mark.skipif(sanitizer_loaded(), reason="broker and process orchestration: the release pass covers it"),
]


class Worker:
    """One examples/bus_worker.py process; its output lines are collected by a thread."""

    def __init__(self, port, name, topic, group, delay=0.0):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        self.name = name
        self.process = subprocess.Popen(
            [sys.executable, str(WORKER), "--port", str(port), "--name", name, "--group", group,
             "--delay", str(delay), "--seconds", "90", topic],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
        self.lines = []
        self.ready = threading.Event()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        assert self.ready.wait(15), f"worker {name} did not get ready"

    def _read(self):
        for line in self.process.stdout:
            if line == "ready\n":
                self.ready.set()
            else:
                self.lines.append(line.split()[1])  # the event

    def kill(self):
        self.process.send_signal(signal.SIGKILL)
        self.process.wait(10)
        self.reader.join(10)

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)
        self.reader.join(10)


def handled(workers):
    return Counter(event for worker in workers for event in worker.lines)


def publish_paced(bus, prefix, count, per_second, at=None, first=0):
    """Publishes count events at a steady rate; at: {index: callable} run before that event."""
    start = time.monotonic()
    infos = []
    for i in range(count):
        if at and i in at:
            at[i]()
        infos.append(bus.publish(f"{prefix}.{first + i}", b"%d" % i))
        pause = start + (i + 1) / per_second - time.monotonic()
        if pause > 0:
            time.sleep(pause)
    for info in infos:
        info.wait_for_publish(20)
    return [f"{prefix}.{first + i}" for i in range(count)]


def test_group_members_share_the_events_and_a_killed_member_loses_nothing(tmp_path):
    broker = start_broker(tmp_path)
    workers = {}
    try:
        for name in ("w0", "w1", "w2"):
            workers[name] = Worker(broker.port, name, "jobs.+id", "billing", delay=0.001)
        with Bus(port=broker.port) as pub:
            # All members up: each event handled by exactly one of them.
            events = publish_paced(pub, "jobs", 300, per_second=2000)
            assert wait_until(lambda: sum(handled(workers.values()).values()) >= 300, timeout=30)
            time.sleep(0.3)
            counts = handled(workers.values())
            assert counts == Counter(events)
            assert all(worker.lines for worker in workers.values())

            # w1 dies mid-stream (SIGKILL) and comes back with the same client id.
            survivors = [workers["w0"], workers["w2"]]
            before = {name: len(worker.lines) for name, worker in workers.items()}
            killed = []

            def kill():
                workers["w1"].kill()
                killed.append(workers.pop("w1"))

            def restart():
                workers["w1"] = Worker(broker.port, "w1", "jobs.+id", "billing", delay=0.001)

            events = publish_paced(pub, "jobs", 600, per_second=600, at={150: kill, 450: restart}, first=1000)
            everyone = lambda: survivors + killed + [workers["w1"]]  # noqa: E731
            assert wait_until(lambda: set(handled(everyone())) >= set(events), timeout=30), \
                sorted(set(events) - set(handled(everyone())))
            time.sleep(0.3)
            counts = handled(everyone())
            assert set(counts) - set(events) == {f"jobs.{i}" for i in range(300)}
            duplicates = sum(counts[e] - 1 for e in events)
            # Only what the killed member had in flight can arrive twice.
            assert duplicates <= 25, duplicates
            # The broker kept the dead member's share queued for its session.
            restarted = workers["w1"].lines
            assert len(restarted) > 0
            assert all(len(w.lines) > before[w.name] for w in survivors)
    finally:
        for worker in workers.values():
            worker.stop()
        broker.close()


def test_bridged_brokers_deliver_everything_in_order_per_publisher(tmp_path):
    far = start_broker(tmp_path, "far")
    near = start_broker(tmp_path, "near", extra=[
        "connection to_far",
        f"address 127.0.0.1:{far.port}",
        "topic feed/# out 1",
        "bridge_protocol_version mqttv311",
        "cleansession false",
        "restart_timeout 1",
    ])
    try:
        with Bus(port=far.port) as sub:
            probe, feed = Collector(), Collector()
            sub.subscribe("feed.probe", probe)
            sub.subscribe("feed.+publisher.+seq", feed)
            publishers = [Bus(port=near.port, client_id=f"pub{i}", clean_session=True) for i in range(2)]
            try:
                # The bridge connects on its own schedule: wait until it forwards.
                assert wait_until(lambda: publishers[0].publish("feed.probe", b"") and probe.calls,
                                  timeout=15, step=0.2), near.log_tail()

                def publish(bus, name):
                    infos = [bus.publish(f"feed.{name}.{i}", b"%d" % i) for i in range(500)]
                    for info in infos:
                        info.wait_for_publish(20)

                threads = [threading.Thread(target=publish, args=(bus, f"p{i}")) for i, bus in enumerate(publishers)]
                for thread in threads:
                    thread.start()
                for thread in threads:
                    thread.join(60)
                assert feed.wait_for(1000, timeout=30), len(feed.calls)
                time.sleep(0.2)
                for name in ("p0", "p1"):
                    sequence = [int(c[3]["seq"]) for c in feed.calls if c[3]["publisher"] == name]
                    assert sequence == list(range(500)), name
            finally:
                for bus in publishers:
                    bus.close()
    finally:
        near.close()
        far.close()


def test_the_bus_walkthrough_shows_the_group_sharing_and_the_auditor():
    walkthrough = pathlib.Path(__file__).resolve().parents[2] / "examples" / "bus_walkthrough.py"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, str(walkthrough)], capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    handled = [line.split()[:2] for line in proc.stdout.splitlines() if line.startswith("  ")]
    group = sorted(event for who, event in handled if who.startswith("worker"))
    assert group == sorted(["orders.eu.buy", "orders.us.sell", "orders.eu.sell", "orders.asia.buy",
                            "orders.es.buy", "orders.us.buy", "orders.eu.buy"])
    assert {who for who, _ in handled} == {"worker-1", "worker-2", "auditor"}
    assert sorted(event for who, event in handled if who == "auditor") == sorted(
        ["orders.eu.buy", "orders.eu.sell", "orders.eu.hold", "orders.es.buy", "orders.eu.buy"])
