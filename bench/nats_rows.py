"""Benchmark rows of the bus over NATS (the native libnats transport) against
raw paho-mqtt through mosquitto and against libnats on its own.

* qos 0: events per second into a no-op handler, one worker, the publisher
  in another process (bench/nats_rate.c for NATS, a paho process for MQTT);
  the same for libnats's own C subscriber, the limit on this machine;
* qos 1: a stream (or a persistent session) filled first, then drained:
  JetStream pull consumer acknowledged after the handler, against paho at
  QoS 1 and against libnats's C pull consumer;
* latency: publish-to-handler p50 / p99 at 1,000 events per second, the
  publisher in another process (CLOCK_MONOTONIC is system-wide);
* groups: a filled stream drained by 1, 2 and 4 worker processes of one group;
* failover: seconds from SIGKILL of the subscriber's node of a 3-node
  cluster to the first event handled again (qos 1, replicated stream);
* memory: a stream of distinct event ids through the bus; registry and RSS.

    .venv/bin/python bench/nats_rows.py [--quick]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from bench_rows import emit, row, warn

HERE = os.path.dirname(os.path.abspath(__file__))
GROUP = "bus over NATS"
WAIT = 120.0

try:
    import paho.mqtt.client as mqtt
    from paho.mqtt.enums import CallbackAPIVersion

    from quenda_loomi.bus import Bus
    from quenda_loomi.bus.mqtt.broker import LocalBroker, mosquitto_executable
    from quenda_loomi.bus.nats import LocalCluster, nats_server_executable
    from quenda_loomi.bus.nats.transport import NatsTransport  # noqa: F401  (the native module is built)
    from quenda_loomi.capi.tessaly import TopicTestToolkit
    MISSING = None if nats_server_executable() and mosquitto_executable() else "nats-server or mosquitto missing"
except ImportError as error:
    MISSING = f"cannot import the NATS transport or paho-mqtt: {error}"

PAHO_PUBLISHER = r"""
import sys, time
import paho.mqtt.client as mqtt
from paho.mqtt.enums import CallbackAPIVersion
port, n, qos = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
c = mqtt.Client(CallbackAPIVersion.VERSION2, protocol=mqtt.MQTTv311)
c.max_inflight_messages_set(1000)
c.max_queued_messages_set(0)
c.connect("127.0.0.1", port)
c.loop_start()
infos = [c.publish(f"bench/{i}/tick", b"x", qos=qos) for i in range(n)]
for info in infos:
    info.wait_for_publish(120)
c.disconnect()
c.loop_stop()
"""

LATENCY_PUBLISHER = r"""
import sys, time
kind, where, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
if kind == "nats":
    from quenda_loomi.bus import Bus
    bus = Bus(where, qos=0)
    send = lambda payload: bus.publish("lat.tick", payload, qos=0)
else:
    import paho.mqtt.client as mqtt
    from paho.mqtt.enums import CallbackAPIVersion
    c = mqtt.Client(CallbackAPIVersion.VERSION2, protocol=mqtt.MQTTv311)
    c.connect("127.0.0.1", int(where))
    c.loop_start()
    send = lambda payload: c.publish("lat/tick", payload, qos=0)
time.sleep(0.5)
start = time.monotonic()
for i in range(int(seconds * 1000)):
    due = start + i / 1000
    while time.monotonic() < due:
        time.sleep(max(0.0, due - time.monotonic()) / 2)
    send(str(time.monotonic_ns()).encode())
time.sleep(0.5)
"""

GROUP_WORKER = r"""
import sys, threading, time
from quenda_loomi.bus import Bus
urls = sys.argv[1]
times = []
def handle(event, payload, captures):
    times.append(time.monotonic())
with Bus(urls, qos=1, group="drain") as bus:
    bus.subscribe("bench.+id.tick", handle)
    quiet_since, seen = time.monotonic(), 0
    while time.monotonic() - quiet_since < 1.5 or not times:
        time.sleep(0.05)
        if len(times) != seen:
            seen, quiet_since = len(times), time.monotonic()
        if time.monotonic() - quiet_since > 60:
            break
print(len(times), times[0] if times else 0, times[-1] if times else 0, flush=True)
"""


def build_rate_program(directory):
    program = os.path.join(directory, "nats_rate")
    subprocess.run(["cc", "-O2", "-o", program, os.path.join(HERE, "nats_rate.c"), "-lnats"], check=True)
    return program


def run_json(argv):
    done = subprocess.run(argv, capture_output=True, text=True, timeout=WAIT * 2, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


class Counting:
    """A no-op handler that notes the time of the first and the last event."""

    def __init__(self):
        self.count, self.first, self.last = 0, 0.0, 0.0

    def __call__(self, *args):
        now = time.monotonic()
        if not self.count:
            self.first = now
        self.count += 1
        self.last = now

    def wait_quiet(self, want, quiet=2.0):
        seen, since = -1, time.monotonic()
        deadline = time.monotonic() + WAIT
        while self.count < want and time.monotonic() < deadline:
            time.sleep(0.01)
            if self.count != seen:
                seen, since = self.count, time.monotonic()
            elif self.count and time.monotonic() - since > quiet:
                break

    def rate(self):
        return (self.count - 1) / (self.last - self.first) if self.count > 1 else 0.0


def paho_subscriber(port, topic, qos, on_message, client_id="", clean=True):
    client = mqtt.Client(CallbackAPIVersion.VERSION2, client_id=client_id, protocol=mqtt.MQTTv311,
                         clean_session=clean)
    subscribed = threading.Event()
    client.on_message = on_message
    client.on_connect = lambda c, *a: c.subscribe(topic, qos)
    client.on_subscribe = lambda *a: subscribed.set()
    client.connect("127.0.0.1", port)
    client.loop_start()
    if not subscribed.wait(10):
        raise RuntimeError("paho: no SUBACK")
    return client


def qos0_rows(rate_program, node_url, broker_port, n):
    c_sub = subprocess.Popen([rate_program, "sub", node_url, str(n + 1)], stdout=subprocess.PIPE, text=True)
    c_sub.stdout.readline()
    run_json([rate_program, "pub", node_url, str(n)])
    c_rate = json.loads(c_sub.communicate(timeout=WAIT)[0].strip().splitlines()[-1])["rate"]

    handler = Counting()
    with Bus(node_url, qos=0, max_pending=100_000) as bus:
        bus.subscribe("bench.+id.tick", handler)
        run_json([rate_program, "pub", node_url, str(n)])
        handler.wait_quiet(n + 1)
        dropped = bus.stats().get("nats_dropped", 0)
    nats_rate, nats_got = handler.rate(), handler.count

    paho = Counting()
    client = paho_subscriber(broker_port, "bench/+/tick", 0, lambda c, u, m: paho())
    subprocess.run([sys.executable, "-c", PAHO_PUBLISHER, str(broker_port), str(n), "0"], check=True, timeout=WAIT)
    paho.wait_quiet(n)
    client.disconnect()
    client.loop_stop()
    emit(row("NATS qos 0 events/s into a no-op handler / raw paho QoS 0 via mosquitto", nats_rate / paho.rate(),
             ">= 5x", f"bus {nats_rate:,.0f}/s ({nats_got:,} of {n + 1:,} handled, {dropped} dropped at the bound), "
             f"paho {paho.rate():,.0f}/s ({paho.count:,} of {n:,}); publishers in other processes",
             limit=5.0, at_least=True, group=GROUP))
    emit(row("NATS qos 0 bus events/s / libnats C subscriber", nats_rate / c_rate, "information",
             f"bus {nats_rate:,.0f}/s, libnats alone {c_rate:,.0f}/s", group=GROUP))


def qos1_rows(rate_program, node_url, broker_port, n):
    with Bus(node_url, qos=1) as admin:
        admin.ensure_stream("BENCH1", ["bench.*.tick"])
    run_json([rate_program, "jspub", node_url, str(n)])
    handler = Counting()
    with Bus(node_url, qos=1, client_id="drain1", connect=False, max_pending=10_000) as bus:
        bus.subscribe("bench.+id.tick", handler)
        bus.connect()
        handler.wait_quiet(n)
        nats_rate = handler.rate()
    c_rate = run_json([rate_program, "jssub", node_url, str(n), "cdrain"])["rate"]

    # paho: a persistent session filled while away, then drained (acknowledged by paho after the callback).
    client = paho_subscriber(broker_port, "bench/+/tick", 1, lambda *a: None, client_id="drain1", clean=False)
    client.disconnect()
    client.loop_stop()
    subprocess.run([sys.executable, "-c", PAHO_PUBLISHER, str(broker_port), str(n), "1"], check=True, timeout=WAIT)
    paho = Counting()
    client = paho_subscriber(broker_port, "bench/+/tick", 1, lambda c, u, m: paho(), client_id="drain1", clean=False)
    paho.wait_quiet(n)
    paho_rate = paho.rate()
    client.disconnect()
    client.loop_stop()
    emit(row("NATS qos 1 (JetStream, acked after the handler) events/s / raw paho QoS 1 via mosquitto",
             nats_rate / paho_rate, ">= 5x",
             f"bus {nats_rate:,.0f}/s ({handler.count:,} of {n:,}), paho {paho_rate:,.0f}/s ({paho.count:,} of {n:,}); "
             "stream or session filled first; drain rate from the first to the last event, as the C consumer "
             "measures it (a JetStream consumer takes 80-190 ms to create)", limit=5.0, at_least=True, group=GROUP))
    emit(row("NATS qos 1 bus events/s / libnats C pull consumer", nats_rate / c_rate, "information",
             f"bus {nats_rate:,.0f}/s, libnats fetch + ack alone {c_rate:,.0f}/s", group=GROUP))


def latencies(kind, where, subscribe, seconds):
    samples = []

    def record(payload):
        samples.append((time.monotonic_ns() - int(payload)) / 1000)

    closer = subscribe(record)
    subprocess.run([sys.executable, "-c", LATENCY_PUBLISHER, kind, where, str(seconds)], check=True,
                   timeout=WAIT, env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)))
    closer()
    samples.sort()
    return statistics.median(samples), samples[int(len(samples) * 0.99)], len(samples)


def latency_rows(node_url, broker_port, seconds):
    def nats_subscribe(record):
        bus = Bus(node_url, qos=0)
        bus.subscribe("lat.+x", lambda e, p, c: record(p))
        return bus.close

    def paho_subscribe(record):
        client = paho_subscriber(broker_port, "lat/+", 0, lambda c, u, m: record(m.payload))
        return lambda: (client.disconnect(), client.loop_stop())

    n50, n99, n = latencies("nats", node_url, nats_subscribe, seconds)
    p50, p99, m = latencies("mqtt", str(broker_port), paho_subscribe, seconds)
    emit(row("NATS qos 0 publish -> handler p50 latency at 1k events/s / raw paho", n50 / p50, "<= 1x",
             f"bus p50 {n50:.0f} us, paho p50 {p50:.0f} us", limit=1.0, group=GROUP))
    emit(row("NATS qos 0 publish -> handler p99 latency at 1k events/s / raw paho", n99 / p99, "<= 1x",
             f"bus p50 {n50:.0f} us p99 {n99:.0f} us ({n} events); paho p50 {p50:.0f} us p99 {p99:.0f} us ({m})",
             limit=1.0, group=GROUP))


def group_rows(rate_program, n):
    rates = {}
    for workers in (1, 2, 4):
        with LocalCluster(1) as cluster:
            with Bus(cluster.urls, qos=1) as admin:
                admin.ensure_stream("GROUPS", ["bench.*.tick"])
            run_json([rate_program, "jspub", cluster.url(0), str(n)])
            env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
            procs = [subprocess.Popen([sys.executable, "-c", GROUP_WORKER, cluster.urls], stdout=subprocess.PIPE,
                                      text=True, env=env) for _ in range(workers)]
            results = [list(map(float, p.communicate(timeout=WAIT)[0].split())) for p in procs]
        handled = sum(int(r[0]) for r in results)
        elapsed = max(r[2] for r in results) - min(r[1] for r in results if r[0])
        rates[workers] = handled / elapsed
        emit(row(f"NATS qos 1 group of {workers} worker processes: events/s", None, "information",
                 f"{rates[workers]:,.0f}/s, {handled:,} of {n:,} handled", group=GROUP))
    emit(row("NATS qos 1 group of 4 / group of 1 events/s", rates[4] / rates[1], "information",
             "2 cores shared by the workers, the server and the machine's other work", group=GROUP))


def failover_row():
    with LocalCluster(3) as cluster:
        ports = cluster.client_ports
        handled = []
        with Bus(cluster.urls, qos=1, client_id="failover") as subscriber, \
                Bus("nats://" + ",".join(f"127.0.0.1:{p}" for p in ports[1:]), qos=1, reply_timeout=2.0) as publisher:
            publisher.ensure_stream("FAIL", ["fail.*"], replicas=3)
            subscriber.subscribe("fail.+n", lambda e, p, c: handled.append(time.monotonic()))
            stop = threading.Event()

            def publish():
                i = 0
                while not stop.is_set():
                    try:
                        publisher.publish(f"fail.{i}", b"x")
                        i += 1
                    except Exception:
                        pass
                    time.sleep(0.001)

            thread = threading.Thread(target=publish)
            thread.start()
            time.sleep(2.0)
            cluster.kill(0)
            killed = time.monotonic()
            deadline = killed + 30
            while time.monotonic() < deadline and not [t for t in handled[-50:] if t > killed]:
                time.sleep(0.001)
            again = next((t for t in handled if t > killed), None)
            stop.set()
            thread.join(10)
    emit(row("NATS qos 1: seconds from SIGKILL of the subscriber's node to the first event handled again",
             None if again is None else again - killed, "information",
             "3-node cluster, stream with 3 replicas, durable consumer, events published every ms", group=GROUP))


def rss_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def memory_row(rate_program, n):
    with LocalCluster(1) as cluster:
        url = cluster.url(0)
        with Bus(url, qos=1) as bus:
            bus.ensure_stream("IDS", ["bench.*.tick"])
        warm = n // 10
        run_json([rate_program, "jspub", url, str(warm)])
        handler = Counting()
        with Bus(url, qos=1, client_id="ids") as bus:
            bus.subscribe("bench.+id.tick", handler)
            handler.wait_quiet(warm)
            registry, rss = TopicTestToolkit.get_internal_map_size(), rss_kib()
            run_json([rate_program, "jspub", url, str(n)])  # ids 0..n-1 again: distinct from each other
            handler.wait_quiet(warm + n)
            grown, rss_end = TopicTestToolkit.get_internal_map_size() - registry, rss_kib()
    record = row(f"NATS bus memory, {n:,} distinct event ids (qos 1): RSS at the end / after a tenth", rss_end / rss,
                 "<= 1.05x, registry +0", f"RSS {rss / 1024:.1f} -> {rss_end / 1024:.1f} MiB, registry {grown:+d} "
                 f"entries, {handler.count:,} of {warm + n:,} handled", limit=1.05, group=GROUP)
    record["met"] = bool(record["met"]) and grown == 0
    emit(record)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller streams")
    parser.add_argument("--only", help="run only the rows whose function name contains this")
    args = parser.parse_args()
    if MISSING:
        warn(f"NATS rows skipped: {MISSING}")
        emit(row("NATS qos 0 events/s into a no-op handler / raw paho QoS 0 via mosquitto", None, ">= 5x", MISSING,
                 group=GROUP))
        return
    n = 50_000 if args.quick else 200_000
    with tempfile.TemporaryDirectory() as directory:
        program = build_rate_program(directory)
        selected = lambda name: args.only is None or args.only in name
        with LocalCluster(1) as cluster, LocalBroker(persistence=False, max_queued_messages=0,
                                                     extra=["max_queued_bytes 0"]) as broker:
            if selected("qos0"):
                qos0_rows(program, cluster.url(0), broker.port, n)
            if selected("qos1"):
                qos1_rows(program, cluster.url(0), broker.port, n // 4)
            if selected("latency"):
                latency_rows(cluster.url(0), broker.port, 2.0 if args.quick else 5.0)
        if selected("group"):
            group_rows(program, n // 4)
        if selected("failover"):
            failover_row()
        if selected("memory"):
            memory_row(program, 100_000 if args.quick else 1_000_000)


if __name__ == "__main__":
    main()
