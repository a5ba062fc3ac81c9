"""The bus under faults, against real brokers: a consumer SIGKILLed
mid-stream, a slow consumer, topics past the broker's limits, racing
subscribe/unsubscribe, a broker that does not answer or refuses, publishing
while the broker is down, a handler slower than the keepalive, and a
nats-server cluster (through its MQTT listeners) losing the node the bus is
connected to."""

import asyncio
import os
import signal
import subprocess
import sys
import threading
import time
from collections import Counter

import pytest

from conftest import sanitizer_loaded
from mosquitto_fixture import (Collector, child_env, drain, requires_mosquitto, rss_kib, shared_broker,  # noqa: F401
                               start_broker, wait_until)
from quenda_loomi.bus import Bus, BusConnectionError, SubscriptionRefused
from quenda_loomi.bus.nats.cluster import nats_server_executable
from quenda_loomi.capi.tessaly import Topic

pytestmark = [
    requires_mosquitto,
    pytest.mark.skipif(sanitizer_loaded(), reason="broker and process orchestration: the release pass covers it"),
]


# -- acknowledgement after handling ----------------------------------------

CONSUMER = """
import asyncio, os, sys, time
from quenda_loomi.bus import Bus
port, mode, out = int(sys.argv[1]), sys.argv[2], sys.argv[3]
fd = os.open(out, os.O_WRONLY | os.O_APPEND | os.O_CREAT)
bus = Bus(port=port, client_id="victim", delivery=mode, connect=False)
def handle(event, payload, captures):
    time.sleep(0.01)
    os.write(fd, payload + b"\\n")  # handled: written once the work is done
bus.subscribe("kill.+n", None if mode == "asyncio" else handle)
bus.connect()
os.write(fd, b"ready\\n")
if mode == "thread":
    time.sleep(60)
elif mode == "caller":
    bus.run(60)
else:
    async def consume():
        async for delivery in bus.events():
            handle(delivery.event, delivery.payload, delivery.captures)
    asyncio.run(asyncio.wait_for(consume(), 60))
"""


def handled_lines(path):
    try:
        with open(path, "rb") as f:
            return [line for line in f.read().split(b"\n") if line and line != b"ready"]
    except FileNotFoundError:
        return []


@pytest.mark.parametrize("mode", ["thread", "caller", "asyncio"])
def test_a_consumer_sigkilled_mid_stream_loses_nothing_at_qos1(tmp_path, mode):
    broker = start_broker(tmp_path)
    out = str(tmp_path / "handled")
    started = [0]
    try:
        def consumer():
            process = subprocess.Popen([sys.executable, "-c", CONSUMER, str(broker.port), mode, out], env=child_env())
            ready = wait_until(lambda: os.path.exists(out) and open(out, "rb").read().count(b"ready") == started[0] + 1,
                               timeout=15)
            assert ready and process.poll() is None, "the consumer did not get ready"
            started[0] += 1
            return process

        first = consumer()
        with Bus(port=broker.port) as pub:
            for info in [pub.publish(f"kill.{i}", b"%d" % i) for i in range(150)]:
                info.wait_for_publish(10)
        assert wait_until(lambda: len(handled_lines(out)) >= 40, timeout=20)
        first.send_signal(signal.SIGKILL)
        first.wait(10)
        killed_at = len(handled_lines(out))
        second = consumer()
        try:
            assert wait_until(lambda: len(set(handled_lines(out))) >= 150, timeout=30)
        finally:
            second.kill()
            second.wait(10)
        counts = Counter(handled_lines(out))
        missing = [i for i in range(150) if counts[b"%d" % i] == 0]
        print(f"{mode}: killed after {killed_at} handled, lost {len(missing)}, "
              f"duplicates {sum(n - 1 for n in counts.values())}")
        assert missing == []
    finally:
        broker.close()


PUBLISHER = """
import sys, paho.mqtt.client as mqtt
from paho.mqtt.enums import CallbackAPIVersion
port, count, qos = map(int, sys.argv[1:])
client = mqtt.Client(CallbackAPIVersion.VERSION2, protocol=mqtt.MQTTv311)
client.max_inflight_messages_set(1000)
client.connect("127.0.0.1", port)
client.loop_start()
for i in range(count):
    info = client.publish(f"flood/{i}", b"p" * 1024, qos=qos)
info.wait_for_publish(120)
client.disconnect()
client.loop_stop()
"""


@pytest.mark.parametrize("qos", [0, 1])
def test_a_slow_asyncio_consumer_keeps_the_queue_and_the_rss_bounded(tmp_path, qos):
    broker = start_broker(tmp_path, max_queued_messages=200_000)
    sampled = []

    async def consume(sub, publisher):
        settle = None
        async with asyncio.timeout(90):
            async for delivery in sub.events():
                sampled.append(sub.stats()["pending"])
                await asyncio.sleep(0.001)
                if publisher.poll() is not None:
                    settle = settle or time.monotonic()
                    if time.monotonic() - settle > 1.5:
                        return

    try:
        with Bus(port=broker.port, client_id="slow", qos=qos, delivery="asyncio", max_pending=200,
                 connect=False) as sub:
            sub.subscribe("flood.+n")
            sub.connect()
            before = rss_kib()
            publisher = subprocess.Popen([sys.executable, "-c", PUBLISHER, str(broker.port), "50000", str(qos)],
                                         env=child_env())
            try:
                asyncio.run(consume(sub, publisher))
            finally:
                publisher.wait(60)
            grown = rss_kib() - before
            stats = sub.stats()
        print(f"qos {qos}: handled {len(sampled)} of 50000, peak pending {max(sampled)}, held {stats['held']}, "
              f"RSS +{grown} KiB")
        assert publisher.returncode == 0
        assert max(sampled) <= 200
        assert grown < 16 * 1024, f"RSS grew by {grown} KiB"
        assert stats["held"] > 0
    finally:
        broker.close()


# -- limits checked before the broker sees them ---------------------------

@pytest.mark.parametrize("action", ["subscribe", "publish"])
@pytest.mark.parametrize("topic, message", [
    (".".join(["d"] * 250), "250 levels; MQTT brokers accept at most 200"),
    ("big." + "x" * 70_000 + ".+y", "70006 bytes in UTF-8"),
], ids=["deep", "oversize"])
def test_topics_the_broker_would_drop_the_link_for_are_refused_and_the_bus_goes_on(shared_broker, action, topic,
                                                                                    message):
    if action == "publish":
        topic = topic.replace(".+y", ".y")
    with Bus(port=shared_broker.port) as bus, Bus(port=shared_broker.port) as pub:
        collector = Collector()
        with pytest.raises(ValueError, match=message):
            if action == "subscribe":
                bus.subscribe(topic, collector)
            else:
                bus.publish(topic, b"x")
        assert bus.broker_filters() == {}
        deepest = ".".join(["d"] * 200)  # the limit itself goes through
        bus.subscribe("after.+n", collector)
        bus.subscribe(deepest, collector)
        bus.publish("after.1", b"1")
        pub.publish(deepest, b"2")
        assert collector.wait_for(2, timeout=5), collector.calls
        assert bus.stats()["reconnects"] == 0 and bus.connected


def test_concurrent_subscribe_and_unsubscribe_of_one_filter_leave_it_at_the_broker(shared_broker):
    with Bus(port=shared_broker.port) as sub, Bus(port=shared_broker.port) as pub:
        transport = sub._transport
        real_unsubscribe = transport.unsubscribe
        inside, go_on = threading.Event(), threading.Event()

        def slow_unsubscribe(broker_filter):
            # The last unsubscribe is about to send its request: a subscribe of the same filter starts now.
            inside.set()
            go_on.wait(2)
            real_unsubscribe(broker_filter)

        transport.unsubscribe = slow_unsubscribe
        first = sub.subscribe("race.+n", Collector())
        remover = threading.Thread(target=sub.unsubscribe, args=(first,))
        remover.start()
        assert inside.wait(5)
        second = Collector()
        adder = threading.Thread(target=sub.subscribe, args=("race.{n}", second))
        adder.start()
        time.sleep(0.3)  # the subscribe either waits for the unsubscribe or races it
        go_on.set()
        remover.join(10), adder.join(10)
        assert sub.broker_filters() == {"race/+": 1}
        pub.publish("race.1", b"x")
        assert second.wait_for(1, timeout=5), "the broker lost the filter the bus counts"


# -- subscriptions in effect or not -----------------------------------------

def test_a_subscribe_that_times_out_is_not_in_effect(tmp_path):
    broker = start_broker(tmp_path)
    try:
        with Bus(port=broker.port, reply_timeout=0.5) as sub, Bus(port=broker.port) as pub:
            late = Collector()
            os.kill(broker.process.pid, signal.SIGSTOP)
            try:
                with pytest.raises(TimeoutError):
                    sub.subscribe("late.+n", late)
            finally:
                os.kill(broker.process.pid, signal.SIGCONT)
            assert sub.broker_filters() == {}
            # A round trip on the subscriber's own connection: the broker, resumed,
            # has then also processed the withdrawal it was sent before.
            drain(pub, sub, "resumed")
            received = sub.stats()["received"]
            pub.publish("late.1", b"x")
            drain(pub, sub, "late")
            assert late.calls == [] and sub.stats()["received"] == received + 1
    finally:
        broker.close()


@pytest.fixture(scope="module")
def cluster():
    if nats_server_executable() is None:
        pytest.skip("nats-server is not installed")
    from quenda_loomi.bus.nats.cluster import LocalCluster

    class ReplicatedSessions(LocalCluster):
        # MQTT sessions on every node: losing one node leaves a quorum that still has them.
        def config(self, node):
            return super().config(node).replace("mqtt { listen: ", "mqtt { stream_replicas: 3, listen: ")

    with ReplicatedSessions(3, mqtt=True) as cluster:
        # The first MQTT clients of a fresh cluster are dropped while it creates its MQTT streams.
        def usable():
            try:
                with Bus(cluster.mqtt_url, connect_timeout=5) as probe:
                    probe.subscribe("warm.+n", Collector())
                return True
            except BusConnectionError:
                return False
        assert wait_until(usable, timeout=30, step=0.2)
        yield cluster


def test_a_refused_subscription_raises_and_the_bus_goes_on(cluster):
    # nats-server refuses MQTT filters with a "." in a level (SUBACK 0x80).
    with Bus(cluster.mqtt_url, reply_timeout=5) as bus:
        collector = Collector()
        with pytest.raises(SubscriptionRefused, match="0x80"):
            bus.subscribe(Topic.join(["a.b", "c"]), collector)
        assert bus.broker_filters() == {}
        bus.subscribe("ok.+n", collector)
        bus.publish("ok.1", b"1")
        assert collector.wait_for(1, timeout=5)


def test_a_group_on_a_broker_without_shared_subscriptions_fails_at_connect(cluster):
    with pytest.raises(BusConnectionError, match="does not deliver shared subscriptions"):
        Bus(cluster.mqtt_url, group="workers", reply_timeout=1)


# -- publishing never loses silently ----------------------------------------

@pytest.mark.parametrize("count, size, options", [
    (70_000, 8, {}),
    (1_000, 1024, {"max_outbound_bytes": 256 * 1024}),
], ids=["ids", "bytes"])
def test_qos1_publishes_while_the_broker_is_down_are_delivered_or_refused(tmp_path, count, size, options):
    broker = start_broker(tmp_path)
    got = Collector()
    try:
        keeper = Bus(port=broker.port, client_id="keeper", connect=False, reconnect_delay=(0.1, 0.5))
        keeper.subscribe("down.+n", got)
        keeper.connect()
        with keeper, Bus(port=broker.port, reconnect_delay=(0.1, 0.5), **options) as pub:
            broker.stop()
            assert wait_until(lambda: not pub.connected, timeout=5)
            accepted, refused = [], 0
            for i in range(count):
                payload = b"%d" % i
                try:
                    pub.publish(f"down.{i}", payload.ljust(size, b"."))
                except BusConnectionError:
                    refused += 1
                else:
                    accepted.append(payload.ljust(size, b"."))
            broker.start()
            assert got.wait_for(len(accepted), timeout=60), (len(got.calls), len(accepted))
            time.sleep(0.3)
        print(f"{count} while down: {len(accepted)} queued and delivered, {refused} refused")
        assert refused > 0 and len(accepted) + refused == count
        assert sorted(got.payloads()) == sorted(accepted)
    finally:
        broker.close()


# -- handlers do not stall the link ------------------------------------------

# mosquitto 2.0 notices a silent client only some seconds past 1.5 x keepalive:
# 8 s of silence at keepalive 1 is the shortest pause that drops the link for sure.
@pytest.mark.parametrize("mode, pause, max_pending", [
    ("thread", 3.0, 1000),
    ("caller", 8.0, 10),  # the bound is reached while the handler sleeps: reading stops, the link must not
])
def test_a_handler_sleeping_past_the_keepalive_loses_nothing_and_keeps_the_link(shared_broker, mode, pause,
                                                                                max_pending):
    seen = []

    def handle(event, payload, captures):
        if not seen:
            time.sleep(pause)
        seen.append(payload)

    with (Bus(port=shared_broker.port, keepalive=1, delivery=mode, max_pending=max_pending) as sub,
          Bus(port=shared_broker.port) as pub):
        sub.subscribe("slow.+n", handle)
        for i in range(40):
            pub.publish(f"slow.{i}", b"%d" % i)
        deadline = time.monotonic() + pause + 10
        while len(seen) < 40 and time.monotonic() < deadline:
            if mode == "caller":
                sub.run(0.2)
            else:
                time.sleep(0.05)
        assert seen == [b"%d" % i for i in range(40)]
        assert sub.stats()["reconnects"] == 0 and sub.connected


# -- failover across the nodes of a cluster ----------------------------------

def test_killing_the_node_the_bus_is_on_loses_nothing(cluster):
    got = Counter()
    lock = threading.Lock()
    first_after = []
    killed_at = [None]
    published_at_kill = [None]
    published = [0]

    def handle(event, payload, captures):
        with lock:
            got[payload] += 1
            if killed_at[0] is not None and not first_after and int(payload) >= published_at_kill[0]:
                first_after.append(time.monotonic() - killed_at[0])

    options = dict(reconnect_delay=(0.05, 0.5), connect_timeout=6)
    sub = Bus(cluster.mqtt_url, client_id="failover-sub", connect=False, **options)
    sub.subscribe("fo.+n", handle)
    sub.connect()
    ports = cluster.mqtt_ports
    victim = ports.index(sub._transport.servers[sub._transport._current][1])
    others = ",".join(f"127.0.0.1:{p}" for i, p in enumerate(ports) if i != victim)
    total = 20_000
    with sub, Bus(f"mqtt://{others}", **options) as pub:
        refused = [0]

        def publish():
            # The cluster drops the publisher's link too while it re-elects; a full queue then refuses.
            deadline = time.monotonic() + 120
            for i in range(total):
                while True:
                    try:
                        pub.publish(f"fo.{i}", b"%d" % i)
                        break
                    except BusConnectionError:
                        refused[0] += 1
                        if time.monotonic() > deadline:
                            raise
                        time.sleep(0.05)
                published[0] = i + 1

        publisher = threading.Thread(target=publish)
        publisher.start()
        assert wait_until(lambda: len(got) >= 2000, timeout=30)
        published_at_kill[0] = published[0]
        killed_at[0] = time.monotonic()
        cluster.kill(victim)
        publisher.join(120)
        assert wait_until(lambda: len(got) >= total, timeout=90), len(got)
        stats = sub.stats()
    try:
        cluster.restart(victim)
    except Exception:  # the next test starts without that node
        pass
    duplicates = sum(n - 1 for n in got.values())
    print(f"failover: {len(got)} of {total} handled, {duplicates} duplicates, first event "
          f"{first_after[0] if first_after else float('nan'):.2f} s after the kill, failovers {stats['failovers']}, "
          f"publishes refused and retried {refused[0]}")
    assert len(got) == total and stats["failovers"] >= 1
