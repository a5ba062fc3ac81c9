"""The event bus against real mosquitto brokers: semantics, delivery modes,
persistence, bad input, credentials and TLS, and memory under a stream of ids.

The multi-process cases (worker groups, bridged brokers) are in
test_bus_processes.py.
"""

import asyncio
import logging
import os
import pathlib
import random
import socket
import ssl
import subprocess
import sys
import threading
import time

import paho.mqtt.client as mqtt
import pytest
from paho.mqtt.enums import CallbackAPIVersion

from conftest import sanitizer_loaded
from mosquitto_fixture import (Collector, broker, drain, raw_publish, requires_mosquitto, rss_kib,  # noqa: F401
                               shared_broker, start_broker, wait_until)
from quenda_loomi.bus import Bus, BusConnectionError, mqtt_filter
from quenda_loomi.bus.mqtt.broker import LocalBroker, broker_environment
from quenda_loomi.capi.tessaly import Topic, TopicPartAny, TopicTestToolkit

pytestmark = requires_mosquitto


def raw_client(port):
    client = mqtt.Client(CallbackAPIVersion.VERSION2, protocol=mqtt.MQTTv311)
    client.connect("127.0.0.1", port)
    client.loop_start()
    return client


def expected_captures(event, subscription):
    result = event.match(subscription)
    if not result:
        return None
    return {node["part_b"].name: node["literal"] for node in result if isinstance(node["part_b"], TopicPartAny)}


# -- semantics --------------------------------------------------------------

WORDS = ["eu", "us", "buy", "sell", "e1", "x"]
SEGMENTS = {
    "exact": lambda rng, i: rng.choice(WORDS),
    "any": lambda rng, i: rng.choice([f"+w{i}", f"{{w{i}}}"]),
    "range": lambda rng, i: "(" + "|".join(rng.sample(WORDS, 2)) + ")",
    "pattern": lambda rng, i: rng.choice(["/^e/", "/[0-9]/", "/l$/"]),
}


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_each_handler_gets_exactly_what_topic_match_accepts(shared_broker, seed):
    rng = random.Random(seed)
    subscriptions = set()
    while len(subscriptions) < 24:
        length = rng.randint(1, 3)
        kinds = rng.choices(list(SEGMENTS), k=length)
        subscriptions.add(".".join(SEGMENTS[kind](rng, i) for i, kind in enumerate(kinds)))
    events = [".".join(rng.choice(WORDS) for _ in range(rng.randint(1, 3))) for _ in range(250)]
    # Names from foreign publishers: a level holding a dot stays one part.
    foreign = ["eu/a.b/buy", "x.y", "sell/e.1"]
    with Bus(port=shared_broker.port) as sub, Bus(port=shared_broker.port) as pub:
        collectors = {literal: Collector() for literal in sorted(subscriptions)}
        for literal, collector in collectors.items():
            sub.subscribe(literal, collector)
        # Several subscriptions derive one broker filter and share it.
        assert sum(sub.broker_filters().values()) == len(subscriptions) > len(sub.broker_filters())
        for i, event in enumerate(events):
            pub.publish(event, str(i).encode())
        raw = raw_client(shared_broker.port)
        for name in foreign:
            raw.publish(name, b"foreign", qos=1).wait_for_publish(5)
        raw.disconnect(), raw.loop_stop()
        drain(pub, sub, f"semantics{seed}")
        for literal, collector in collectors.items():
            generic = Topic(literal)
            want = []
            for i, event in enumerate(events):
                captures = expected_captures(Topic.join(event.split(".")), generic)
                if captures is not None:
                    want.append((event, str(i).encode(), captures))
            for name in foreign:
                levels = name.split("/")
                captures = expected_captures(Topic.join(levels), generic)
                if captures is not None:
                    want.append((".".join(levels), b"foreign", captures))
            got = [(text, payload, captures) for text, _, payload, captures in collector.calls]
            # In order per publisher; the foreign publisher's events interleave anywhere.
            assert sorted(got, key=repr) == sorted(want, key=repr), literal
            assert [g for g in got if g[1] != b"foreign"] == [w for w in want if w[1] != b"foreign"]
        names = [e.replace(".", "/") for e in events] + foreign
        generics = [Topic(literal) for literal in collectors]
        through_broker = [n for n in names if any(mqtt.topic_matches_sub(f, n) for f in sub.broker_filters())]
        wanted = [n for n in through_broker if any(Topic.join(n.split("/")).match(g) for g in generics)]
        stats = sub.stats()
        assert stats["handler_errors"] == stats["unrepresentable"] == 0
        assert stats["received"] == len(through_broker) + 1  # and the marker
        assert stats["refined_away"] == len(through_broker) - len(wanted) > 0
        assert stats["delivered"] == sum(len(c.calls) for c in collectors.values()) + 1


def test_level_with_a_dot_is_one_part_and_captured_whole(shared_broker):
    with Bus(port=shared_broker.port) as sub, Bus(port=shared_broker.port) as pub:
        collector = Collector()
        sub.subscribe("host.+ip.up", collector)
        raw = raw_client(shared_broker.port)
        raw.publish("host/10.0.0.1/up", b"1", qos=1).wait_for_publish(5)
        raw.publish("host/10/0/up", b"2", qos=1).wait_for_publish(5)  # four levels: no match
        raw.disconnect(), raw.loop_stop()
        drain(pub, sub, "dot")
        assert [(n, p, c) for _, n, p, c in collector.calls] == [(3, b"1", {"ip": "10.0.0.1"})]


def test_shared_filters_are_counted_and_removed_with_the_last_subscription(shared_broker):
    with Bus(port=shared_broker.port) as sub, Bus(port=shared_broker.port) as pub:
        buy, any_side = Collector(), Collector()
        first = sub.subscribe("shop.+r.buy", buy)
        second = sub.subscribe("shop.{r}.(buy|sell)", any_side)
        assert sub.broker_filters() == {"shop/+/buy": 1, "shop/+/+": 1}
        third = sub.subscribe("shop.eu./^s/", any_side)
        assert sub.broker_filters() == {"shop/+/buy": 1, "shop/+/+": 1, "shop/eu/+": 1}
        sub.unsubscribe(third)
        fourth = sub.subscribe("shop./u/.(buy|x)", buy)
        assert sub.broker_filters()["shop/+/+"] == 2
        sub.unsubscribe(second)
        pub.publish("shop.us.buy", b"a")
        drain(pub, sub, "counted1")
        # The filter stays while one subscription still needs it.
        assert buy.payloads() == [b"a", b"a"] and any_side.payloads() == []
        with pytest.raises(ValueError, match="not a subscription of this bus"):
            pub.unsubscribe(first)
        sub.unsubscribe(first), sub.unsubscribe(fourth)
        sub.unsubscribe(fourth)  # a second unsubscribe is a no-op
        assert sub.broker_filters() == {}
        received = sub.stats()["received"]
        pub.publish("shop.us.buy", b"b")
        drain(pub, sub, "counted2")
        # Nothing but the marker reached the client: the broker dropped the filters.
        assert sub.stats()["received"] == received + 1


def test_handler_errors_are_counted_and_delivery_goes_on(shared_broker, caplog):
    def failing(event, payload, captures):
        raise RuntimeError(f"bad {payload!r}")

    with Bus(port=shared_broker.port) as sub, Bus(port=shared_broker.port) as pub:
        good = Collector()
        sub.subscribe("err.+n", failing)
        sub.subscribe("err.+n", good)
        with caplog.at_level(logging.ERROR, logger="quenda_loomi.bus"):
            for i in range(3):
                pub.publish(f"err.{i}", b"%d" % i)
            drain(pub, sub, "errors")
        assert good.payloads() == [b"0", b"1", b"2"]
        assert sub.stats()["handler_errors"] == 3
        assert sum("bad b'1'" in r.getMessage() or "bad b'1'" in (r.exc_text or "") for r in caplog.records) == 1


# -- delivery modes ---------------------------------------------------------

def test_caller_delivery_runs_handlers_on_the_calling_thread(shared_broker):
    with Bus(port=shared_broker.port, delivery="caller") as sub, Bus(port=shared_broker.port) as pub:
        collector = Collector()
        sub.subscribe("caller.+n", collector)
        for i in range(5):
            pub.publish(f"caller.{i}", b"")
        pub.publish("caller.last", b"").wait_for_publish(5)
        deadline = time.monotonic() + 10
        while len(collector.calls) < 6 and time.monotonic() < deadline:
            sub.run(0.2)
        assert [c[3]["n"] for c in collector.calls] == ["0", "1", "2", "3", "4", "last"]
        assert collector.threads == {threading.get_ident()}
        with pytest.raises(RuntimeError, match="delivery='caller'"):
            pub.run(0.1)


def test_async_iterator_yields_deliveries(shared_broker):
    async def consume():
        with Bus(port=shared_broker.port, delivery="asyncio") as sub, Bus(port=shared_broker.port) as pub:
            subscription = sub.subscribe("aio.+n.(a|b)")
            for i, last in enumerate("abcab"):
                pub.publish(f"aio.{i}.{last}", b"%d" % i)
            got = []
            async with asyncio.timeout(10):
                async for delivery in sub.events():
                    assert delivery.subscription is subscription
                    got.append((str(delivery.event), delivery.payload, delivery.captures))
                    if len(got) == 4:
                        # The ones before were acknowledged when the next was asked for; this one on ack().
                        assert sub.stats()["pending"] == 1
                        delivery.ack()
                        assert sub.stats()["pending"] == 0
                        break
            return got

    assert asyncio.run(consume()) == [
        ("aio.0.a", b"0", {"n": "0"}), ("aio.1.b", b"1", {"n": "1"}),
        ("aio.3.a", b"3", {"n": "3"}), ("aio.4.b", b"4", {"n": "4"})]


def test_members_of_a_group_share_the_events(shared_broker):
    with (Bus(port=shared_broker.port, group="g1") as one, Bus(port=shared_broker.port, group="g1") as two,
          Bus(port=shared_broker.port) as other, Bus(port=shared_broker.port) as pub):
        got = [Collector(), Collector(), Collector()]
        for bus, collector in zip((one, two, other), got):
            bus.subscribe("work.+id", collector)
        assert one.broker_filters() == {"$share/g1/work/+": 1}
        for i in range(100):
            pub.publish(f"work.{i}", b"%d" % i)
        assert got[2].wait_for(100)
        assert wait_until(lambda: len(got[0].calls) + len(got[1].calls) >= 100)
        time.sleep(0.2)
        shared = sorted(got[0].payloads() + got[1].payloads(), key=int)
        assert shared == [b"%d" % i for i in range(100)]  # each once, to one member
        assert got[0].calls and got[1].calls


# -- persistence and reconnection ------------------------------------------

def persistent_subscriber(port, collector, client_id):
    bus = Bus(port=port, client_id=client_id, connect=False)
    bus.subscribe("persist.+n", collector)
    bus.connect()
    return bus


@pytest.mark.parametrize("restart", [False, True], ids=["offline", "offline-across-broker-restart"])
def test_persistent_session_gets_what_was_published_while_away(broker, restart):
    first = Collector()
    persistent_subscriber(broker.port, first, "keeper").close()
    with Bus(port=broker.port) as pub:
        infos = [pub.publish(f"persist.{i}", b"%d" % i) for i in range(1000)]
        for info in infos:
            info.wait_for_publish(10)
    if restart:
        broker.restart()
    collector = Collector()
    with persistent_subscriber(broker.port, collector, "keeper"):
        assert collector.wait_for(1000, timeout=30), len(collector.calls)
        time.sleep(0.2)
    assert collector.payloads() == [b"%d" % i for i in range(1000)]


def test_reconnection_restores_subscriptions_and_sends_what_was_published_meanwhile(broker):
    fresh, kept = Collector(), Collector()
    options = dict(port=broker.port, reconnect_delay=(0.2, 1.0))
    with Bus(**options) as clean, Bus(**options, client_id="kept", connect=False) as persistent, \
            Bus(**options) as pub:
        clean.subscribe("back.+n", fresh)  # a clean session: the bus subscribes again
        persistent.subscribe("back.+n", kept)
        persistent.connect()
        broker.stop()
        assert wait_until(lambda: not (clean.connected or persistent.connected or pub.connected), timeout=5)
        pub.publish("back.kept", b"1")  # QoS 1: paho keeps it until the link is back
        with pytest.raises(BusConnectionError, match="QoS 0 event would be lost"):
            pub.publish("back.dropped", b"0", qos=0)
        broker.start()
        assert wait_until(lambda: clean.connected and persistent.connected and pub.connected, timeout=15)
        drain(pub, clean, "restart")
        pub.publish("back.after", b"2")
        assert kept.wait_for(2) and fresh.wait_for(1)
        time.sleep(0.2)
        assert kept.payloads() == [b"1", b"2"]
        assert fresh.payloads()[-1:] == [b"2"] and b"0" not in fresh.payloads()
        assert clean.stats()["reconnects"] == persistent.stats()["reconnects"] == 1


# -- bad input and hostile peers -------------------------------------------

@pytest.mark.parametrize("topic, message", [
    ("a.+x", "part 1 '\\+x' is not exact"),
    ("orders.+region", "part 1 '\\+region' is not exact"),
    ("a.(b|c)", "part 1 '\\(b\\|c\\)' is not exact"),
    ("a./b/", "part 1"),
    (Topic("a.{x}"), "part 1 <TopicPartAny>"),
    (Topic.join(["a", "b/c"]), "part 1 'b/c' cannot be one MQTT level .*'/'"),
    (Topic.join(["a", "b+c"]), "part 1 'b\\+c' .*'\\+'"),
    (Topic.join(["a", "#"]), "part 1 '#'"),
    ("a.b\x00c", "part 1 'b\\\\x00c' cannot be one MQTT level"),
    ("$SYS.x", "part 0 '\\$SYS' cannot be the first MQTT level"),
    ("", "empty topic"),
    ("..", "empty topic"),
])
def test_publish_refuses_what_mqtt_cannot_carry(shared_broker, topic, message):
    seen = []
    watcher = raw_client(shared_broker.port)
    watcher.on_message = lambda client, userdata, msg: seen.append(msg.topic)
    subscribed = threading.Event()
    watcher.on_subscribe = lambda *args: subscribed.set()
    watcher.subscribe("#", qos=1)
    assert subscribed.wait(5)
    try:
        with Bus(port=shared_broker.port) as bus:
            with pytest.raises(ValueError, match=message):
                bus.publish(topic, b"")
            bus.publish("refused.marker", b"").wait_for_publish(5)
            assert wait_until(lambda: "refused/marker" in seen)
        assert seen == ["refused/marker"]  # nothing before it
    finally:
        watcher.disconnect(), watcher.loop_stop()


@pytest.mark.parametrize("topic, message", [
    ("a.b/c", "part 1 'b/c' cannot be one MQTT level"),
    ("$SYS.+x", "part 0 '\\$SYS' cannot be the first"),
    (Topic.join(["a", "#"]), "part 1 '#'"),
    ("", "empty topic"),
])
def test_subscribe_refuses_what_a_filter_cannot_carry(shared_broker, topic, message):
    with Bus(port=shared_broker.port) as bus:
        with pytest.raises(ValueError, match=message):
            bus.subscribe(topic, Collector())
        assert bus.broker_filters() == {}


def test_mqtt_filter_derivation():
    assert mqtt_filter(Topic("a.+x.(b|c)./r/.{y}.z")) == "a/+/+/+/+/z"
    assert mqtt_filter(Topic.join(["a.b", "c"])) == "a.b/c"


def test_hostile_topic_names_reach_no_handler(tmp_path):
    broker = start_broker(tmp_path, message_size_limit=1 << 20)
    try:
        with Bus(port=broker.port) as sub, Bus(port=broker.port) as pub:
            catch_all = [Collector(), Collector(), Collector()]
            for length, collector in zip((1, 2, 3), catch_all):
                sub.subscribe(".".join(f"+l{i}" for i in range(length)), collector)
            raw = raw_client(broker.port)
            big = "z" * 65_000
            names = ["a//b", "/a", "a/", "$dollar/a", f"big/{big}", "u/\u00e9\u4e2d"]
            for name in names:
                raw.publish(name, b"n", qos=1).wait_for_publish(5)
            raw.publish("size/limit", b"p" * (1 << 20), qos=1).wait_for_publish(5)
            raw.publish("size/over", b"p" * ((1 << 20) + 1), qos=1).wait_for_publish(5)
            raw.disconnect(), raw.loop_stop()
            # mosquitto drops the publisher that sends invalid UTF-8 or NUL in a name.
            assert raw_publish(broker.port, b"bad/\xff\xfe") == b""
            assert raw_publish(broker.port, b"bad/\xed\xa0\x80") == b""
            assert raw_publish(broker.port, b"bad/a\x00b") == b""
            drain(pub, sub, "hostile")
            two = {(c[0], c[2]): c[3] for c in catch_all[1].calls}
            assert two[(f"big.{big}", b"n")] == {"l0": "big", "l1": big}
            assert two[("u.\u00e9\u4e2d", b"n")] == {"l0": "u", "l1": "\u00e9\u4e2d"}
            assert two[("size.limit", b"p" * (1 << 20))] == {"l0": "size", "l1": "limit"}
            assert ("size.over", b"p" * ((1 << 20) + 1)) not in two
            assert not any(c[0].startswith("bad") or c[0].startswith("dollar") for c in catch_all[1].calls)
            # a//b, /a and a/ arrived and were counted; $dollar/a never matches "+" at the broker.
            assert sub.stats()["unrepresentable"] == 3
            assert not catch_all[0].calls and [c[0] for c in catch_all[2].calls] == []
    finally:
        broker.close()


def silent_listener():
    """A port that accepts TCP connections and never says a word."""
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(8)
    return server


@pytest.mark.parametrize("case", ["refused port", "silent peer"])
def test_unreachable_brokers_fail_fast_with_host_and_port(case):
    server = silent_listener()
    port = server.getsockname()[1]
    if case == "refused port":
        server.close()
    start = time.monotonic()
    try:
        with pytest.raises(BusConnectionError, match=f"127.0.0.1:{port}"):
            Bus(port=port, connect_timeout=1.0)
    finally:
        server.close()
    assert time.monotonic() - start < 5


@pytest.fixture(scope="module")
def secured_broker(tmp_path_factory):
    """A broker with a TLS listener (openssl certificate) and a password file (mosquitto_passwd)."""
    directory = tmp_path_factory.mktemp("secured")
    cert, key, passwords = directory / "cert.pem", directory / "key.pem", directory / "passwd"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                    "-keyout", str(key), "-out", str(cert)], check=True, capture_output=True, timeout=60,
                   env=broker_environment())
    subprocess.run(["mosquitto_passwd", "-b", "-c", str(passwords), "alice", "s3cret"],
                   check=True, capture_output=True, timeout=30, env=broker_environment())
    os.chmod(passwords, 0o600)
    (directory / "broker").mkdir()
    broker = LocalBroker(str(directory / "broker"), tls=(str(cert), str(key)), password_file=str(passwords)).start()
    yield broker, str(cert)
    broker.close()


def test_tls_with_a_password_delivers(secured_broker):
    broker, cert = secured_broker
    context = ssl.create_default_context(cafile=cert)
    options = dict(port=broker.port, tls=context, username="alice", password="s3cret")
    with Bus(**options) as sub, Bus(**options) as pub:
        collector = Collector()
        sub.subscribe("secure.+n", collector)
        pub.publish("secure.1", b"hidden")
        assert collector.wait_for(1)
        assert collector.calls[0][2:] == (b"hidden", {"n": "1"})


@pytest.mark.parametrize("options, message", [
    (dict(username="alice", password="wrong"), "refused the connection: Not authorized"),
    (dict(), "refused the connection: Not authorized"),
    (dict(username="alice", password="s3cret", tls=None), "127.0.0.1"),
    (dict(username="alice", password="s3cret", tls="untrusted"), "certificate verify failed"),
])
def test_bad_credentials_and_tls_mismatches_are_clear_errors(secured_broker, options, message):
    broker, cert = secured_broker
    tls = options.pop("tls", "trusted")
    if tls == "trusted":
        options["tls"] = ssl.create_default_context(cafile=cert)
    elif tls == "untrusted":
        options["tls"] = ssl.create_default_context()
    start = time.monotonic()
    with pytest.raises(BusConnectionError, match=message) as error:
        Bus(port=broker.port, connect_timeout=2.0, **options)
    assert f"127.0.0.1:{broker.port}" in str(error.value)
    assert time.monotonic() - start < 6


# -- memory -----------------------------------------------------------------

PUBLISHER = """
import sys, paho.mqtt.client as mqtt
from paho.mqtt.enums import CallbackAPIVersion
port, start, count = map(int, sys.argv[1:])
client = mqtt.Client(CallbackAPIVersion.VERSION2, protocol=mqtt.MQTTv311)
client.connect("127.0.0.1", port)
client.loop_start()
for i in range(start, start + count):
    info = client.publish(f"ids/{i}/done", b"", qos=1)
info.wait_for_publish(60)
client.disconnect()
client.loop_stop()
"""


@pytest.mark.skipif(sanitizer_loaded(), reason="the sanitizer's quarantine grows the RSS by itself")
def test_a_stream_of_distinct_ids_keeps_registry_and_rss_flat(shared_broker):
    received = [0]

    def count(event, payload, captures):
        received[0] += 1

    def stream(start, n):
        # Published from another process: the RSS measured is the subscriber's.
        subprocess.run([sys.executable, "-c", PUBLISHER, str(shared_broker.port), str(start), str(n)],
                       check=True, timeout=120)
        with Bus(port=shared_broker.port) as pub:
            drain(pub, sub, f"ids{start}")

    with Bus(port=shared_broker.port) as sub:
        sub.subscribe("ids.+id.done", count)
        sub.subscribe("ids./^[0-9]+$/.(done|x)", count)
        stream(0, 5000)  # warm-up: paho's and the index's buffers reach their size
        registry, rss = TopicTestToolkit.get_internal_map_size(), rss_kib()
        stream(5000, 20000)
        grown = rss_kib() - rss
        assert received[0] == 2 * 25000
        assert TopicTestToolkit.get_internal_map_size() == registry
        assert grown < 2048, f"RSS grew by {grown} KiB over 20000 distinct events"


@pytest.mark.skipif(sanitizer_loaded(), reason="a packaging check: runs in the release pass only")
def test_mypy_strict_accepts_the_bus_and_its_examples(tmp_path):
    root = pathlib.Path(__file__).resolve().parents[2]
    examples = [str(root / "examples" / name) for name in ("bus_worker.py", "bus_walkthrough.py")]
    # The package as installed in the build tree (from an empty directory), then the examples.
    for args, cwd in ((["-p", "quenda_loomi.bus"], tmp_path), (examples, root)):
        proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir=/dev/null", *args],
                              cwd=cwd, capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, proc.stdout + proc.stderr
