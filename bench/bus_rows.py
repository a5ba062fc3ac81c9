"""Benchmark rows of the event bus (quenda_loomi.bus) against raw paho-mqtt.

Every row runs both sides against one mosquitto broker started here, with
the same broker filter and QoS:

* throughput: events per second a subscriber takes off the broker.  The
  events are queued at the broker for a persistent session first, so the
  figure is the subscriber's and not the publisher's; the bus (local
  refinement through TopicIndex, handler with the event Topic and its
  wildcard values) against paho with an empty callback;
* coarse filter: the broker filter lets through about ten times what the
  subscriptions want; paho refines in Python (str.split, comparisons,
  re.search), the bus through its index;
* latency: publish-to-handler p50 and p99 at 1,000 events per second, the
  publisher in another process (CLOCK_MONOTONIC is system-wide);
* groups: the throughput row with 1, 2 and 4 worker processes sharing one
  shared subscription;
* memory: a stream of distinct event topics (an id per event) through the
  bus; registry size and RSS after a warm-up tenth and at the end;
* failover: seconds from the SIGKILL of the nats-server node a persistent
  subscriber is connected to (through its MQTT listener) to the first event
  handled again, with the events lost and duplicated.

    .venv/bin/python bench/bus_rows.py [--quick]
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import threading
import time

from bench_rows import emit, row, warn

try:
    import paho.mqtt.client as mqtt
    from paho.mqtt.enums import CallbackAPIVersion

    from quenda_loomi.bus import Bus, BusConnectionError
    from quenda_loomi.bus.mqtt import LocalBroker, mosquitto_executable
    from quenda_loomi.capi.tessaly import TopicTestToolkit
    MISSING = None if mosquitto_executable() else "mosquitto is not installed"
except ImportError as error:
    MISSING = f"cannot import the bus or paho-mqtt: {error}"

GROUP = "bus"
WAIT = 180.0  # seconds: the bound on every wait for a stream to arrive


def paho_client(client_id="", clean_session=True):
    client = mqtt.Client(CallbackAPIVersion.VERSION2, client_id=client_id, protocol=mqtt.MQTTv311,
                         clean_session=clean_session)
    return client


def connect_and_wait(client, port, what):
    connected = threading.Event()
    client.on_connect = lambda *args: connected.set()
    client.connect("127.0.0.1", port)
    client.loop_start()
    if not connected.wait(10):
        raise RuntimeError(f"{what}: no CONNACK")


def create_session(port, client_id, filters, qos):
    """A persistent session holding `filters`, left offline so the broker queues for it."""
    client = paho_client(client_id, clean_session=False)
    connect_and_wait(client, port, "session")
    done = threading.Event()
    client.on_subscribe = lambda *args: done.set()
    client.subscribe([(f, qos) for f in filters])
    if not done.wait(10):
        raise RuntimeError("no SUBACK")
    client.disconnect()
    client.loop_stop()


def drop_session(port, client_id):
    """Connecting with a clean session discards what the broker kept for the client id."""
    client = paho_client(client_id, clean_session=True)
    connect_and_wait(client, port, "session clean-up")
    client.disconnect()
    client.loop_stop()


def publish_all(port, names, payload_of=lambda i: b"x"):
    """Publishes every name at QoS 1 and waits until the broker acknowledged all."""
    client = paho_client()
    client.max_inflight_messages_set(1000)
    connect_and_wait(client, port, "publisher")
    infos = [client.publish(name, payload_of(i), qos=1) for i, name in enumerate(names)]
    for info in infos:
        info.wait_for_publish(WAIT)
    client.disconnect()
    client.loop_stop()


def drain_rate(port, contender, client_id, n):
    """Events per second with which `contender` takes n queued events off the broker."""
    done = threading.Event()
    if contender.kind == "paho":
        client = paho_client(client_id, clean_session=False)
        client.on_message = contender.paho_callback(done)
        start = time.perf_counter()
        client.connect("127.0.0.1", port)
        client.loop_start()
        finished = done.wait(WAIT)
        elapsed = time.perf_counter() - start
        client.disconnect()
        client.loop_stop()
    else:
        bus = Bus(port=port, client_id=client_id, qos=contender.qos, connect=False)
        contender.bus_subscribe(bus, done)
        start = time.perf_counter()
        bus.connect()
        finished = done.wait(WAIT)
        elapsed = time.perf_counter() - start
        bus.close()
    if not finished:
        raise RuntimeError(f"{contender.kind}: the stream did not arrive within {WAIT:g} s")
    return n / elapsed


class Plain:
    """Every event wanted: bus handler vs paho's empty callback."""

    filter = "bench/+/tick"

    def __init__(self, kind, qos):
        self.kind, self.qos = kind, qos

    def names(self, n):
        return [f"bench/{i}/tick" for i in range(n - 1)] + ["bench/end/tick"]

    def paho_callback(self, done):
        def on_message(client, userdata, message):
            if message.payload == b"end":
                done.set()
        return on_message

    def bus_subscribe(self, bus, done):
        def handler(event, payload, captures):
            if payload == b"end":
                done.set()
        bus.subscribe("bench.+id.tick", handler)


KINDS = 20


class Coarse:
    """The broker filter m/+/+ passes about ten times what the subscriptions want."""

    filter = "m/+/+"

    def __init__(self, kind, qos, count):
        self.kind, self.qos = kind, qos
        self.devices = max(100, count)
        if count > 2:
            # Each subscription wants 2 of the devices x 20 device/kind pairs.
            self.literals = []
            for i in range(count):
                device = f"/^d{i}$/" if i % 4 == 0 else f"(d{i}|zz)"
                self.literals.append(f"m.{device}.(k{i % KINDS}|k{(i + 1) % KINDS})")
            self.literals.append("m.(end|zz).+kind")  # the last event, which ends the stream
        else:
            self.literals = ["m.+dev.(k0|k1)", "m./^d1[0-9]$/.(k2|zz)"]

    def names(self, n):
        devices = self.devices
        return [f"m/d{i % devices}/k{(i // devices) % KINDS}" for i in range(n - 1)] + ["m/end/k1"]

    def python_matchers(self):
        """Per subscription, per level: what a hand-written refinement checks."""
        subs = []
        for literal in self.literals:
            levels = []
            for segment in literal.split("."):
                if segment.startswith("/"):
                    levels.append(("pattern", re.compile(segment[1:-1])))
                elif segment.startswith("+"):
                    levels.append(("any", segment[1:]))
                elif segment.startswith("("):
                    levels.append(("range", frozenset(segment[1:-1].split("|"))))
                else:
                    levels.append(("exact", segment))
            subs.append(levels)
        return subs

    def paho_callback(self, done):
        subs = self.python_matchers()

        def handler(levels, payload, captures):
            if levels[1] == "end":
                done.set()

        def on_message(client, userdata, message):
            levels = message.topic.split("/")
            for sub in subs:
                if len(sub) != len(levels):
                    continue
                captures = {}
                for (kind, check), level in zip(sub, levels):
                    if kind == "exact":
                        if level != check:
                            break
                    elif kind == "any":
                        captures[check] = level
                    elif kind == "range":
                        if level not in check:
                            break
                    elif not check.search(level):
                        break
                else:
                    handler(levels, message.payload, captures)
        return on_message

    def bus_subscribe(self, bus, done):
        def handler(event, payload, captures):
            if captures.get("dev") == "end" or payload == b"end":
                done.set()
        for literal in self.literals:
            bus.subscribe(literal, handler)


def measure_pairs(port, make, n, repeats, label):
    """Median drain rates of the paho and the bus contender, run in turns."""
    rates = {"paho": [], "bus": []}
    for repeat in range(repeats):
        for kind in ("paho", "bus"):
            contender = make(kind)
            client_id = f"{label}-{kind}-{repeat}"
            create_session(port, client_id, [contender.filter], contender.qos)
            publish_all(port, contender.names(n), lambda i, n=n: b"end" if i == n - 1 else b"x")
            rates[kind].append(drain_rate(port, contender, client_id, n))
            drop_session(port, client_id)
    return statistics.median(rates["bus"]), statistics.median(rates["paho"])


def throughput_rows(port, n, repeats):
    for qos in (0, 1):
        bus, paho = measure_pairs(port, lambda kind: Plain(kind, qos), n, repeats, f"plain{qos}")
        emit(row(f"bus delivered events/s / paho empty callback, QoS {qos}", bus / paho, ">= 0.9x",
                 f"bus {bus:,.0f}/s, paho {paho:,.0f}/s, {n:,} queued events, median of {repeats}",
                 limit=0.9, at_least=True, group=GROUP))


def coarse_rows(port, n, repeats):
    for count in (2, 100, 1000):
        bus, paho = measure_pairs(port, lambda kind: Coarse(kind, 1, count), n, repeats, f"coarse{count}")
        emit(row(f"bus / paho + Python refinement, broker filter passes ~10x, {count} subscriptions",
                 bus / paho, ">= 2x", f"bus {bus:,.0f}/s, paho+Python {paho:,.0f}/s, {n:,} events, QoS 1",
                 limit=2.0, at_least=True, group=GROUP))


LATENCY_PUBLISHER = """
import sys, time, paho.mqtt.client as mqtt
from paho.mqtt.enums import CallbackAPIVersion
port, rate, seconds = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
client = mqtt.Client(CallbackAPIVersion.VERSION2, protocol=mqtt.MQTTv311)
client.connect("127.0.0.1", port)
client.loop_start()
start = time.monotonic()
for i in range(int(rate * seconds)):
    pause = start + i / rate - time.monotonic()
    if pause > 0:
        time.sleep(pause)
    info = client.publish(f"lat/{i}/tick", str(time.monotonic_ns()).encode(), qos=1)
info.wait_for_publish(30)
client.disconnect()
client.loop_stop()
"""


def latency_rows(port, seconds):
    samples = {}
    for kind in ("paho", "bus"):
        lags = []

        def record(payload):
            lags.append(time.monotonic_ns() - int(payload))
        if kind == "paho":
            client = paho_client()
            client.on_message = lambda c, u, m: record(m.payload)
            connect_and_wait(client, port, "latency subscriber")
            done = threading.Event()
            client.on_subscribe = lambda *args: done.set()
            client.subscribe("lat/+/tick", 1)
            done.wait(10)
        else:
            bus = Bus(port=port)
            bus.subscribe("lat.+id.tick", lambda event, payload, captures: record(payload))
        subprocess.run([sys.executable, "-c", LATENCY_PUBLISHER, str(port), "1000", str(seconds)],
                       check=True, timeout=seconds + 60)
        time.sleep(0.2)
        if kind == "paho":
            client.disconnect()
            client.loop_stop()
        else:
            bus.close()
        lags.sort()
        samples[kind] = lags
    for name, q in (("p50", 0.50), ("p99", 0.99)):
        bus, paho = (samples[k][int(q * (len(samples[k]) - 1))] / 1000 for k in ("bus", "paho"))
        emit(row(f"bus publish-to-handler latency {name} at 1,000 events/s / paho", bus / paho, None,
                 f"bus {bus:.0f} us, paho {paho:.0f} us ({len(samples['bus']):,} events, QoS 1)", group=GROUP))


GROUP_WORKER = """
import sys, time, threading
kind, port, client_id, qos, group = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), sys.argv[5]
state = {"n": 0, "first": 0, "last": 0}
def seen():
    now = time.monotonic_ns()
    if not state["n"]:
        state["first"] = now
    state["n"] += 1
    state["last"] = now
if kind == "bus":
    from quenda_loomi.bus import Bus
    bus = Bus(port=port, client_id=client_id, group=group, qos=qos, connect=False)
    bus.subscribe("bench.+id.tick", lambda event, payload, captures: seen())
    go = bus.connect
else:
    import paho.mqtt.client as mqtt
    from paho.mqtt.enums import CallbackAPIVersion
    client = mqtt.Client(CallbackAPIVersion.VERSION2, client_id=client_id, protocol=mqtt.MQTTv311,
                         clean_session=False)
    client.on_message = lambda c, u, m: seen()
    def go():
        client.connect("127.0.0.1", port)
        client.loop_start()
print("ready", flush=True)
sys.stdin.readline()
go()
reported = -1
while True:
    time.sleep(0.2)
    if state["n"] and state["n"] == reported:
        print(state["n"], state["first"], state["last"], flush=True)
        if sys.stdin.readline().strip() == "stop":
            break
    reported = state["n"]
"""


def group_rate(port, kind, workers, n, qos, label):
    ids = [f"{label}-{kind}-{w}" for w in range(workers)]
    group = f"{label}-{kind}"  # a group of its own: offline members of others would take a share
    for client_id in ids:
        create_session(port, client_id, [f"$share/{group}/bench/+/tick"], qos)
    publish_all(port, [f"bench/{i}/tick" for i in range(n)])
    procs = [subprocess.Popen([sys.executable, "-c", GROUP_WORKER, kind, str(port), client_id, str(qos), group],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) for client_id in ids]
    try:
        for proc in procs:
            if proc.stdout.readline().strip() != "ready":
                raise RuntimeError("group worker did not start")
        for proc in procs:
            proc.stdin.write("go\n")
            proc.stdin.flush()
        # Each worker reports once it has gone idle; more may still come.
        results = {}
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            for proc in procs:
                line = proc.stdout.readline()
                results[proc.pid] = tuple(map(int, line.split()))
            if sum(r[0] for r in results.values()) >= n:
                break
            for proc in procs:
                proc.stdin.write("more\n")
                proc.stdin.flush()
        total = sum(r[0] for r in results.values())
        if total < n:
            raise RuntimeError(f"group of {workers}: {total} of {n} events arrived")
        first = min(r[1] for r in results.values())
        last = max(r[2] for r in results.values())
        return n / ((last - first) / 1e9)
    finally:
        for proc in procs:
            try:
                proc.stdin.write("stop\n")
                proc.stdin.close()
            except OSError:
                pass
            try:
                proc.wait(20)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(10)
        for client_id in ids:
            drop_session(port, client_id)


def group_rows(port, n, repeats):
    for workers in (1, 2, 4):
        rates = {"paho": [], "bus": []}
        for repeat in range(repeats):
            for kind in ("paho", "bus"):
                rates[kind].append(group_rate(port, kind, workers, n, 1, f"grp{workers}-{repeat}"))
        bus, paho = statistics.median(rates["bus"]), statistics.median(rates["paho"])
        emit(row(f"bus group of {workers} worker processes, delivered events/s / paho group, QoS 1", bus / paho,
                 ">= 0.9x", f"bus {bus:,.0f}/s, paho {paho:,.0f}/s, {n:,} queued events over {workers} "
                 f"members, median of {repeats}", limit=0.9, at_least=True, group=GROUP))


STREAM_PUBLISHER = """
import sys, paho.mqtt.client as mqtt
from paho.mqtt.enums import CallbackAPIVersion
port, start, count = map(int, sys.argv[1:])
client = mqtt.Client(CallbackAPIVersion.VERSION2, protocol=mqtt.MQTTv311)
client.max_inflight_messages_set(200)
client.connect("127.0.0.1", port)
client.loop_start()
for i in range(start, start + count):
    info = client.publish(f"ids/{i}/done", b"", qos=1)
    if i % 10000 == 0:
        info.wait_for_publish(60)
info.wait_for_publish(60)
client.disconnect()
client.loop_stop()
"""


def rss_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def memory_row(port, n):
    received = [0]
    done = threading.Event()
    target = [0]

    def handler(event, payload, captures):
        received[0] += 1
        if received[0] >= target[0]:
            done.set()

    def stream(start, count):
        done.clear()
        target[0] = received[0] + count
        subprocess.run([sys.executable, "-c", STREAM_PUBLISHER, str(port), str(start), str(count)],
                       check=True, timeout=WAIT * 4)
        if not done.wait(WAIT):
            raise RuntimeError(f"memory stream: {received[0]} of {target[0]} events arrived")

    with Bus(port=port) as bus:
        bus.subscribe("ids.+id.done", handler)
        warm = n // 10
        stream(0, warm)
        registry, rss = TopicTestToolkit.get_internal_map_size(), rss_kib()
        start = time.perf_counter()
        stream(warm, n - warm)
        elapsed = time.perf_counter() - start
        grown, rss_end = TopicTestToolkit.get_internal_map_size() - registry, rss_kib()
    record = row(f"bus memory, {n:,} distinct event topics: RSS at the end / after a tenth", rss_end / rss,
                 "<= 1.05x, registry +0",
                 f"RSS {rss / 1024:.1f} -> {rss_end / 1024:.1f} MiB, registry {grown:+d} entries, "
                 f"{(n - warm) / elapsed:,.0f} events/s live (QoS 1)", limit=1.05, group=GROUP)
    record["met"] = bool(record["met"]) and grown == 0
    emit(record)


def failover_seconds(total, rate):
    """One trial: a persistent subscriber on a 3-node nats-server cluster (MQTT listeners, sessions on
    every node), a publisher on another node at `rate` events/s, the subscriber's node SIGKILLed;
    returns (seconds from the kill to the first event handled again, lost, duplicates)."""
    from quenda_loomi.bus.nats.cluster import LocalCluster

    class ReplicatedSessions(LocalCluster):
        def config(self, node):
            return super().config(node).replace("mqtt { listen: ", "mqtt { stream_replicas: 3, listen: ")

    got = {}
    lock = threading.Lock()
    killed_at, first_after = [None], []

    def handler(event, payload, captures):
        with lock:
            got[payload] = got.get(payload, 0) + 1
            # The first event published after the kill: it can only come through the new link.
            if killed_at[0] is not None and not first_after and int(payload) >= total // 4:
                first_after.append(time.monotonic() - killed_at[0])

    with ReplicatedSessions(3, mqtt=True) as cluster:
        deadline = time.monotonic() + 30
        while True:  # a fresh cluster drops its first MQTT clients while it creates its streams
            try:
                sub = Bus(cluster.mqtt_url, client_id="failover", connect=False, reconnect_delay=(0.05, 0.5),
                          connect_timeout=5)
                sub.subscribe("fo.+n", handler)
                sub.connect()
                break
            except BusConnectionError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
        victim = 0  # the bus connects to the first server of its list
        others = ",".join(f"127.0.0.1:{p}" for p in cluster.mqtt_ports[1:])
        with sub, Bus(f"mqtt://{others}", reconnect_delay=(0.05, 0.5)) as pub:
            start = time.monotonic()
            for i in range(total):
                if i == total // 4:
                    killed_at[0] = time.monotonic()
                    cluster.kill(victim)
                while True:
                    try:
                        pub.publish(f"fo.{i}", b"%d" % i)
                        break
                    except BusConnectionError:  # the publisher's link drops too while the cluster re-elects
                        time.sleep(0.05)
                pause = start + (i + 1) / rate - time.monotonic()
                if pause > 0:
                    time.sleep(pause)
            wait_until = time.monotonic() + WAIT
            while len(got) < total and time.monotonic() < wait_until:
                time.sleep(0.05)
    lost = total - len(got)
    duplicates = sum(n - 1 for n in got.values())
    return (first_after[0] if first_after else float("nan")), lost, duplicates


def failover_row(repeats):
    try:
        from quenda_loomi.bus.nats.cluster import nats_server_executable
        missing = None if nats_server_executable() else "nats-server is not installed"
    except ImportError as error:
        missing = f"cannot import the cluster launcher: {error}"
    name = "bus failover: s from SIGKILL of the subscriber's node to the first event again"
    if missing:
        emit(row(name, None, "reported", missing, group=GROUP))
        return
    trials = [failover_seconds(4000, 1000) for _ in range(repeats)]
    seconds = statistics.median(t[0] for t in trials)
    emit(row(name, seconds, "reported",
             f"3-node nats-server 2.9 cluster, MQTT sessions on every node, 4,000 QoS 1 events at 1,000/s, "
             f"killed at the 1,000th; lost {sum(t[1] for t in trials)}, duplicates {sum(t[2] for t in trials)}, "
             f"median of {repeats}: " + ", ".join(f"{t[0]:.2f}" for t in trials), metric="seconds",
             group=GROUP))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller streams, fewer repeats")
    args = parser.parse_args()
    if MISSING:
        warn(f"bus rows skipped: {MISSING}")
        emit(row("bus delivered events/s / paho empty callback", None, ">= 0.9x", MISSING, group=GROUP))
        return
    n = 5_000 if args.quick else 20_000
    # Wall-clock rates on a shared machine move by tens of percent: medians of five.
    repeats = 1 if args.quick else 5
    broker = LocalBroker(persistence=False, max_queued_messages=0,
                         extra=["queue_qos0_messages true", "max_queued_bytes 0"])
    with broker:
        throughput_rows(broker.port, n, repeats)
        coarse_rows(broker.port, n, repeats)
        latency_rows(broker.port, 2.0 if args.quick else 5.0)
        group_rows(broker.port, n, repeats)
        memory_row(broker.port, 100_000 if args.quick else 1_000_000)
    failover_row(1 if args.quick else 3)


if __name__ == "__main__":
    main()
