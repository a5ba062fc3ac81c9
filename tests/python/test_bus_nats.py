"""The bus over NATS against real nats-server clusters: refinement, groups,
JetStream at-least-once across node deaths, persistence, limits and errors."""

import contextlib
import json
import os
import random
import signal
import ssl
import subprocess
import sys
import threading
import time
import urllib.request
from collections import Counter

import pytest

from conftest import sanitizer_loaded
from mosquitto_fixture import Collector, wait_until
from quenda_loomi.bus import Bus, BusConnectionError
from quenda_loomi.bus.nats import LocalCluster, nats_server_executable
from quenda_loomi.capi.tessaly import Topic

try:
    from quenda_loomi.bus.nats import transport as nats_transport
except ImportError as error:  # the native module is built only where libnats is installed
    nats_transport = None
    missing_reason = f"the NATS transport's native module is not built ({error})"
else:
    missing_reason = ""

pytestmark = [
    pytest.mark.skipif(nats_server_executable() is None, reason="nats-server is not installed"),
    pytest.mark.skipif(nats_transport is None, reason=missing_reason or "-"),
]
orchestration = pytest.mark.skipif(sanitizer_loaded(), reason="process orchestration: the release pass covers it")

WORKER = r"""
import sys, time
from quenda_loomi.bus import Bus
urls, group, delay = sys.argv[1], sys.argv[2], float(sys.argv[3])
def handle(event, payload, captures):
    time.sleep(delay)
    print("got", captures["n"], flush=True)
with Bus(urls, qos=1, group=group, ack_wait=2.0) as bus:
    bus.subscribe("jobs.+n", handle)
    print("ready", flush=True)
    sys.stdin.read()
"""


@pytest.fixture(scope="module")
def single(tmp_path_factory):
    with LocalCluster(1, directory=str(tmp_path_factory.mktemp("nats1"))) as cluster:
        yield cluster


@pytest.mark.parametrize("seed", [1, 2])
def test_each_handler_gets_exactly_what_topic_match_accepts(single, seed):
    rng = random.Random(seed)
    words = ["a", "b", "c7", "x-y"]
    patterns = ["+w", "{a,b}", "c(\\d)"]

    def part(generic):
        return rng.choice(patterns) if generic and rng.random() < 0.5 else rng.choice(words)

    subscriptions = {".".join(part(True) for _ in range(rng.randint(1, 3))) for _ in range(12)}
    events = [".".join(part(False) for _ in range(rng.randint(1, 3))) for _ in range(150)]
    collectors = {text: Collector() for text in subscriptions}
    with Bus(single.urls, qos=0) as bus, Bus(single.urls, qos=0) as publisher:
        for text, collector in collectors.items():
            bus.subscribe(text, collector)
        for event in events:
            publisher.publish(event, event)
        expected = {text: sorted(e for e in events if Topic(text).match(Topic(e))) for text in subscriptions}
        for text, collector in collectors.items():
            collector.wait_for(len(expected[text]), timeout=5)
        time.sleep(0.2)  # anything extra would arrive now
        for text, collector in collectors.items():
            assert sorted(p.decode() for p in collector.payloads()) == expected[text], text


@pytest.mark.parametrize("topic, message", [
    (Topic.join(["a", "b c"]), "part 1 'b c' cannot be one NATS token"),
    (Topic.join(["a", "x.y"]), "part 1 'x.y' cannot be one NATS token"),
    (Topic.join(["a*"]), "part 0 'a*' cannot be one NATS token"),
    (Topic.join([">", "b"]), "part 0 '>' cannot be one NATS token"),
    (Topic.join(["a", "tab\tb"]), "part 1"),
    ("a..b", "part 1 is empty"),
    ("x." + "y" * 3800, "the subject is 3802 bytes"),
])
def test_hostile_tokens_are_refused_and_nothing_is_sent(single, topic, message):
    seen = Collector()
    with Bus(single.urls, qos=0) as bus:
        bus.subscribe("+x", seen)
        bus.subscribe("+x.+y", seen)
        bus.subscribe("+x.+y.+z", seen)
        with pytest.raises(ValueError, match=message.replace("*", r"\*").replace(".", r"\.")):
            bus.publish(topic)
        if isinstance(topic, Topic):
            with pytest.raises(ValueError, match="cannot be one NATS token"):
                bus.subscribe(topic, seen)
        bus.publish("probe")
        assert seen.wait_for(1)
        time.sleep(0.1)
        assert seen.payloads() == [b""] and seen.calls[0][0] == "probe"


def test_unreachable_servers_and_wrong_credentials_raise_naming_the_servers(tmp_path):
    with LocalCluster(1, user="alice", password="right", directory=str(tmp_path / "auth")) as cluster:
        started = time.monotonic()
        with pytest.raises(BusConnectionError, match=f"127.0.0.1:{cluster.client_ports[0]}"):
            Bus(cluster.urls, username="alice", password="wrong", connect_timeout=2.0)
        with pytest.raises(BusConnectionError, match="127.0.0.1"):
            Bus(cluster.urls, connect_timeout=2.0)  # no credentials at all
        assert time.monotonic() - started < 5
        down = LocalCluster(2, directory=str(tmp_path / "down"))  # ports reserved, never started
        started = time.monotonic()
        with pytest.raises(BusConnectionError) as raised:
            Bus(down.urls, connect_timeout=1.0)
        assert time.monotonic() - started < 3
        for port in down.client_ports:
            assert f"127.0.0.1:{port}" in str(raised.value)
        with Bus(cluster.urls, username="alice", password="right") as bus:
            assert bus.connected


def test_tls_with_a_password_delivers_and_an_unknown_ca_is_refused(tmp_path):
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True)
    with LocalCluster(1, user="u", password="p", tls=(str(cert), str(key)), directory=str(tmp_path / "c")) as cluster:
        assert cluster.urls.startswith("tls://")
        context = ssl.create_default_context(cafile=str(cert))
        seen = Collector()
        with Bus(cluster.urls, tls=context, username="u", password="p", qos=0) as bus:
            bus.subscribe("secure.+x", seen)
            bus.publish("secure.1", b"hello")
            assert seen.wait_for(1)
        with pytest.raises(BusConnectionError):
            Bus(cluster.urls, tls=ssl.create_default_context(), username="u", password="p", connect_timeout=2)


class Worker:
    def __init__(self, urls, group, delay):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        self.process = subprocess.Popen([sys.executable, "-c", WORKER, urls, group, str(delay)],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
        self.got: list[tuple[float, str]] = []
        self.ready = threading.Event()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        assert self.ready.wait(15), "worker did not get ready"

    def _read(self):
        for line in self.process.stdout:
            if line == "ready\n":
                self.ready.set()
            else:
                self.got.append((time.monotonic(), line.split()[1]))

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            self.process.wait(15)
        self.reader.join(5)


@orchestration
def test_group_member_killed_mid_stream_loses_nothing_and_its_events_move_within_the_ack_wait(tmp_path):
    with LocalCluster(1, directory=str(tmp_path / "c")) as cluster:
        with Bus(cluster.urls, qos=1) as publisher:
            publisher.ensure_stream("JOBS", ["jobs.*"])
            workers = [Worker(cluster.urls, "crew", delay) for delay in (0.001, 0.001, 0.05)]
            try:
                for n in range(600):
                    publisher.publish(f"jobs.{n}", b"")
                slow = workers[2]
                assert wait_until(lambda: len(slow.got) >= 5, timeout=10)
                slow.process.send_signal(signal.SIGKILL)
                slow.process.wait(10)
                killed_at = time.monotonic()
                survivors = workers[:2]
                handled = lambda: {n for w in survivors for _, n in w.got} | {n for _, n in slow.got}
                # The dead member's unacknowledged events come back after the 2 s ack wait, not when it returns.
                assert wait_until(lambda: len(handled()) == 600, timeout=10), 600 - len(handled())
                assert time.monotonic() - killed_at < 2.0 + 5.0
                from_survivors = {n for w in survivors for _, n in w.got}
                assert set(map(str, range(600))) - {n for _, n in slow.got} <= from_survivors
            finally:
                for worker in workers:
                    if worker.process.poll() is None:
                        worker.stop()


class Tally:
    """A handler counting each event's number and when it was handled."""

    def __init__(self):
        self.seen: Counter[str] = Counter()
        self.at: list[float] = []
        self.lock = threading.Lock()

    def __call__(self, event, payload, captures):
        with self.lock:
            self.seen[captures["n"]] += 1
            self.at.append(time.monotonic())


class Senders:
    """`count` threads storing ev.0 .. ev.<total - 1>, retrying while the cluster fails over."""

    def __init__(self, publisher, total, count):
        self.published, self.retries = Counter(), Counter()
        self.threads = [threading.Thread(target=self._send, args=(publisher, range(s, total, count)))
                        for s in range(count)]
        for thread in self.threads:
            thread.start()

    def _send(self, publisher, numbers):
        for n in numbers:
            for _ in range(200):
                try:
                    publisher.publish(f"ev.{n}", b"x")
                    break
                except (BusConnectionError, TimeoutError, LookupError):
                    self.retries[numbers.start] += 1
                    time.sleep(0.05)
            else:
                raise AssertionError(f"event {n} never stored")
            self.published[numbers.start] += 1

    def join(self):
        for thread in self.threads:
            thread.join(120)


@orchestration
def test_failover_of_both_nodes_in_turn_loses_no_qos1_event(tmp_path):
    total = 20_000
    with LocalCluster(3, directory=str(tmp_path / "c")) as cluster:
        subscriber_urls = "nats://" + ",".join(f"127.0.0.1:{p}" for p in cluster.client_ports)
        publisher_urls = "nats://" + ",".join(f"127.0.0.1:{p}" for p in cluster.client_ports[1:] + cluster.client_ports[:1])
        tally = Tally()
        with Bus(publisher_urls, qos=1, reply_timeout=2.0) as publisher, \
                Bus(subscriber_urls, qos=1, client_id="audit", ack_wait=5.0) as subscriber:
            publisher.ensure_stream("EVENTS", ["ev.*"], replicas=3)
            subscriber.subscribe("ev.+n", tally)
            senders = Senders(publisher, total, 4)
            assert wait_until(lambda: sum(senders.published.values()) > total // 4, timeout=60)
            cluster.kill(0)                      # the subscriber's node
            time.sleep(1.0)
            cluster.restart(0)
            assert wait_until(lambda: sum(senders.published.values()) > total * 3 // 5, timeout=60)
            cluster.kill(1)                      # the publisher's node
            senders.join()
            assert wait_until(lambda: len(tally.seen) == total, timeout=60), total - len(tally.seen)
            time.sleep(0.5)
            duplicates = sum(tally.seen.values()) - total
            retries = sum(senders.retries.values())
            print(f"retries {retries} duplicates {duplicates} stats {subscriber.stats()}")
            assert set(tally.seen) == {str(n) for n in range(total)}
            assert duplicates <= 4096 + retries  # the consumer's unacknowledged window


def stream_detail(cluster, node, stream):
    """What `node` reports of `stream` and the consumers it holds ({} if nothing)."""
    url = f"http://127.0.0.1:{cluster.monitor_ports[node]}/jsz?consumers=true"
    with urllib.request.urlopen(url, timeout=2) as response:
        jsz = json.load(response)
    details = [d for a in jsz.get("account_details", []) for d in a.get("stream_detail", []) if d["name"] == stream]
    return details[0] if details else {}


def consumer_leader(cluster, stream):
    """The node leading the one consumer of `stream` (None until a node reports it)."""
    for node in range(cluster.nodes):
        consumers = stream_detail(cluster, node, stream).get("consumer_detail", [])
        if any(c.get("cluster", {}).get("leader") == cluster.server_name(node) for c in consumers):
            return node
    return None


@orchestration
def test_ephemeral_consumer_whose_node_is_killed_mid_stream_is_recreated_and_loses_no_event(tmp_path):
    total = 4000
    with LocalCluster(3, directory=str(tmp_path / "c")) as cluster:
        tally = Tally()
        with Bus(cluster.urls, qos=1) as subscriber:
            subscriber.ensure_stream("EVENTS", ["ev.*"], replicas=3)
            subscriber.subscribe("ev.+n", tally)
            assert wait_until(lambda: consumer_leader(cluster, "EVENTS") is not None, timeout=10)
            doomed = consumer_leader(cluster, "EVENTS")
            survivors = ",".join(f"127.0.0.1:{p}" for n, p in enumerate(cluster.client_ports) if n != doomed)
            with Bus("nats://" + survivors, qos=1, reply_timeout=2.0) as publisher:
                senders = Senders(publisher, total, 2)
                assert wait_until(lambda: len(tally.seen) > total // 4, timeout=60)
                cluster.kill(doomed)
                senders.join()
                delivered = wait_until(lambda: len(tally.seen) == total, timeout=60)
                time.sleep(0.5)
                duplicates = sum(tally.seen.values()) - len(tally.seen)
                # A publish retried after its reply was lost is stored twice.
                stored_twice = stream_detail(cluster, (doomed + 1) % 3, "EVENTS")["state"]["messages"] - total
                stats = subscriber.stats()
                pause = max(b - a for a, b in zip(tally.at, tally.at[1:]))
                print(f"killed node {doomed}: lost {total - len(tally.seen)} duplicates {duplicates} "
                      f"stored twice {stored_twice} longest pause {pause:.1f} s stats {stats}")
                assert delivered and set(tally.seen) == {str(n) for n in range(total)}, total - len(tally.seen)
                assert duplicates <= stored_twice
                assert stats["nats_consumers_recreated"] >= 1


@orchestration
def test_persistent_subscriber_away_and_a_whole_cluster_restart_keep_qos1_events(tmp_path):
    with LocalCluster(3, directory=str(tmp_path / "c")) as cluster:
        seen = Collector()
        with Bus(cluster.urls, qos=1, client_id="keeper") as bus:
            bus.ensure_stream("KEEP", ["keep.*"], replicas=3)
            bus.subscribe("keep.+n", seen)
            bus.publish("keep.first")
            assert seen.wait_for(1)
        with Bus(cluster.urls, qos=1) as publisher:
            for n in range(1000):
                publisher.publish(f"keep.{n}", str(n))
        for node in range(3):
            cluster.kill(node)
        for node in range(3):
            cluster.restart(node, wait=False)
        cluster.wait_ready()
        again = Collector()
        deadline = time.monotonic() + 20
        while True:  # until the stream's leader is elected again
            bus = Bus(cluster.urls, qos=1, client_id="keeper", connect=False)
            bus.subscribe("keep.+n", again)
            try:
                bus.connect()
                break
            except Exception:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.5)
        with bus:
            assert again.wait_for(1000, timeout=20), len(again.calls)
            assert sorted(int(p) for p in again.payloads()) == list(range(1000))


@pytest.mark.parametrize("delay", [0.0, 0.0005])
def test_a_bounded_consumer_holds_fetching_and_the_stream_keeps_the_rest(single, delay):
    seen = Collector()
    peak = [0]
    total = 4000

    def handler(event, payload, captures):
        peak[0] = max(peak[0], bus.stats()["nats_unacknowledged"])
        time.sleep(delay)
        seen(event, payload, captures)

    with Bus(single.urls, qos=1) as publisher:
        publisher.ensure_stream(f"BOUND{int(delay * 1e4)}", [f"bound{int(delay * 1e4)}.*"])
        senders = [threading.Thread(target=lambda k=k: [publisher.publish(f"bound{int(delay * 1e4)}.{n}")
                                                       for n in range(k, total, 4)]) for k in range(4)]
        for sender in senders:
            sender.start()
        for sender in senders:
            sender.join()
    with Bus(single.urls, qos=1, client_id="bounded", max_pending=4, connect=False) as bus:
        bus.subscribe(f"bound{int(delay * 1e4)}.+n", handler)
        bus.connect()
        assert seen.wait_for(total, timeout=30), len(seen.calls)
        stats = bus.stats()
    assert stats["held"] > 100 and stats["nats_transport_held"] > 100
    # Fetched and not handled: the core's bound and one fetch of at most that size.
    assert peak[0] <= 2 * 4, peak[0]


@orchestration
@pytest.mark.parametrize("transport", ["nats", "mqtt"])
def test_command_line_sub_prints_json_lines_of_what_pub_sent(single, tmp_path, transport):
    from quenda_loomi.bus.mqtt.broker import LocalBroker, mosquitto_executable
    if transport == "mqtt" and mosquitto_executable() is None:
        pytest.skip("mosquitto is not installed")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    cli = [sys.executable, "-m", "quenda_loomi.bus"]
    # The module's cluster is the fixture's to stop: not entered here.
    with LocalBroker(str(tmp_path)) if transport == "mqtt" else contextlib.nullcontext(single) as server:
        url = single.urls if transport == "nats" else f"mqtt://127.0.0.1:{server.port}"
        stream = ["--stream", "CLI"] if transport == "nats" else []
        subscriber = cli + ["sub", url, "cli.+region", "--qos", "1", "--client-id", "cli"] + stream
        # A first short run leaves the session (MQTT) or durable consumer (NATS) behind.
        subprocess.run(subscriber + ["--seconds", "0.5"], check=True, env=env, timeout=30)
        for region in ("eu", "us\u00e9"):
            subprocess.run(cli + ["pub", url, f"cli.{region}", f"hi {region}", "--qos", "1"] + stream,
                           check=True, env=env, timeout=30)
        lines = subprocess.run(subscriber + ["--count", "2", "--seconds", "20"], capture_output=True, text=True,
                               check=True, env=env, timeout=60).stdout.splitlines()
    assert [json.loads(line) for line in lines] == [
        {"event": "cli.eu", "payload": "hi eu", "captures": {"region": "eu"}},
        {"event": "cli.us\u00e9", "payload": "hi us\u00e9", "captures": {"region": "us\u00e9"}}]
    down = subprocess.run(cli + ["pub", "nats://127.0.0.1:1", "a", "x", "--connect-timeout", "1"],
                          capture_output=True, text=True, env=env, timeout=30)
    assert down.returncode == 1 and "127.0.0.1:1" in down.stderr


@orchestration
def test_walkthrough_keeps_every_event_of_the_group_across_a_node_death():
    import pathlib
    example = pathlib.Path(__file__).resolve().parents[2] / "examples" / "nats_walkthrough.py"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, str(example)], capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "node 0 SIGKILLed" in done.stdout and "lost 0," in done.stdout


ID_PUBLISHER = r"""
import sys
from quenda_loomi.bus import Bus
with Bus(sys.argv[1], qos=0) as bus:
    for n in range(int(sys.argv[2]), int(sys.argv[2]) + int(sys.argv[3])):
        bus.publish(f"ids.{n}.done", b"")
"""


@orchestration
def test_a_stream_of_distinct_ids_keeps_registry_and_rss_flat(single):
    from quenda_loomi.capi.tessaly import TopicTestToolkit
    received = [0]

    def count(event, payload, captures):
        received[0] += 1

    def rss_kib():
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))

    def stream(start, n):
        # Published from another process: the RSS measured is the subscriber's.
        expected = received[0] + 2 * n
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        subprocess.run([sys.executable, "-c", ID_PUBLISHER, single.urls, str(start), str(n)], check=True,
                       timeout=120, env=env)
        assert wait_until(lambda: received[0] >= expected, timeout=30), (received[0], expected)

    with Bus(single.urls, qos=0) as sub:
        sub.subscribe("ids.+id.done", count)
        sub.subscribe("ids./^[0-9]+$/.(done|x)", count)  # another broker filter: the same events, one copy
        stream(0, 10_000)  # warm-up: buffers reach their size
        registry, rss = TopicTestToolkit.get_internal_map_size(), rss_kib()
        stream(10_000, 100_000)
        grown = rss_kib() - rss
        assert received[0] == 2 * 110_000 and sub.stats()["nats_dropped"] == 0
        assert TopicTestToolkit.get_internal_map_size() == registry
        assert grown < 4096, f"RSS grew by {grown} KiB over 100,000 distinct events"


@orchestration
def test_qos0_past_the_bound_drops_and_counts_what_it_cannot_keep(single):
    release = threading.Event()
    handled = [0]

    def blocked(event, payload, captures):
        release.wait(30)
        handled[0] += 1

    total = 80_000
    with Bus(single.urls, qos=0, max_pending=100) as bus:
        bus.subscribe("flood.+n", blocked)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        subprocess.run([sys.executable, "-c", ID_PUBLISHER.replace("ids.", "flood.").replace(".done", ""),
                        single.urls, "0", str(total)], check=True, timeout=120, env=env)
        assert wait_until(lambda: bus.stats()["nats_received"] == total, timeout=30), bus.stats()
        release.set()
        assert wait_until(lambda: handled[0] + bus.stats()["nats_dropped"] == total, timeout=30), bus.stats()
        stats = bus.stats()
    # The link keeps 65,536 waiting events and the core its bound; the rest is dropped and counted.
    assert 0 < stats["nats_dropped"] <= total - 65_536
    assert handled[0] <= 65_536 + 100 + 512


def test_close_while_other_threads_publish_and_subscribe_ends_them_with_errors(single):
    from conftest import run_python
    done = run_python(f"""
        import threading, time
        from quenda_loomi.bus import Bus
        from quenda_loomi.bus.nats._natsbus import Link
        with Bus({single.urls!r}) as admin:
            admin.ensure_stream("RACE", ["race.*"])
        for round in range(5):
            link = Link([{single.servers[0]!r}])
            link.connect(lambda events, ack: None)
            errors, stop = set(), threading.Event()
            def work(k):
                n = 0
                while not stop.is_set():
                    try:
                        link.publish(f"race.{{k}}", b"x", n % 2)
                        if n % 20 == 0:
                            link.unsubscribe(link.subscribe(f"race.{{k}}", n % 40 // 20))
                    except ConnectionError:
                        return  # the link is closed
                    except Exception as error:
                        errors.add(repr(error))
                    n += 1
            threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
            for t in threads: t.start()
            time.sleep(0.1)
            link.close()
            stop.set()
            for t in threads: t.join(20)
            print("alive", sum(t.is_alive() for t in threads), "errors", sorted(errors))
    """, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.count("alive 0 errors []") == 5, done.stdout


def test_qos0_publishes_while_the_server_is_down_fill_a_bounded_buffer_then_raise(tmp_path):
    with LocalCluster(1, directory=str(tmp_path / "c")) as cluster:
        with Bus(cluster.urls, qos=0) as bus:
            cluster.kill(0)
            assert wait_until(lambda: not bus.connected, timeout=10)
            time.sleep(0.5)  # the publishing connection notices too
            sent = 0
            with pytest.raises(BusConnectionError, match="reconnect buffer is full"):
                for _ in range(20_000):
                    bus.publish("down.x", b"x" * 1024)
                    sent += 1
            assert 7_000 < sent < 8_200, sent  # libnats keeps 8 MiB while reconnecting


def test_a_process_that_used_tls_exits_cleanly(tmp_path):
    from conftest import run_python
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True)
    with LocalCluster(1, tls=(str(cert), str(key)), directory=str(tmp_path / "c")) as cluster:
        # libnats's final cleanup after TLS used to free a table OpenSSL frees again at exit.
        done = run_python(f"""
            import ssl
            from quenda_loomi.bus import Bus
            with Bus({cluster.urls!r}, tls=ssl.create_default_context(cafile={str(cert)!r}), qos=0) as bus:
                bus.subscribe("a.+b", lambda *args: None)
            print("closed")
        """)
    assert done.returncode == 0 and done.stdout == "closed\n", (done.returncode, done.stderr[-2000:])


@pytest.mark.parametrize("ending", ["left open at exit", "closed by its own handler"])
def test_a_process_exits_cleanly_while_events_reach_its_handlers(single, ending):
    from conftest import run_python
    # Handlers run on the link's dispatcher, which keeps a thread state of its own:
    # the exit must close the link before finalization, and a handler may close its bus.
    done = run_python(f"""
        import threading, time
        from quenda_loomi.bus import Bus
        seen = threading.Event()
        bus = Bus({single.urls!r}, qos=0)
        def handle(event, payload, captures):
            seen.set()
            if {ending == "closed by its own handler"!r}:
                bus.close()
        bus.subscribe("exit.+n", handle)
        publisher = Bus({single.urls!r}, qos=0)
        def flood():
            while True:
                try:
                    publisher.publish("exit.x", b"x")
                except Exception:
                    return
        threading.Thread(target=flood, daemon=True).start()
        assert seen.wait(10)
        time.sleep(0.2)
        print("leaving", bus.stats()["delivered"] > 0)
    """, timeout=60)
    assert done.returncode == 0 and done.stdout == "leaving True\n", (done.returncode, done.stderr[-6000:])


@pytest.mark.skipif(sanitizer_loaded(), reason="the sanitizer runtime needs an unlimited address space")
def test_a_fetcher_that_cannot_start_raises_and_leaves_the_bus_usable(single):
    from conftest import run_python
    with Bus(single.urls, qos=1) as admin:
        admin.ensure_stream("LIMITS", ["limits.*"])
    # With libnats' request machinery warmed up and an address-space limit a
    # few MiB above what the child maps, small allocations still succeed but
    # a new thread's stack does not (no thread has ended, so none is cached):
    # the subscription's fetcher cannot start.
    done = run_python(f"""
        import resource, time
        from quenda_loomi.bus import Bus
        bus = Bus({single.urls!r}, qos=1)
        bus.publish("limits.warm", b"", qos=1)
        size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + (2 << 20), resource.RLIM_INFINITY))
        try:
            bus.subscribe("limits.+n", print)
        except RuntimeError as error:
            print("raised:", error)
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        got = []
        bus.subscribe("limits.+n", lambda event, payload, captures: got.append(payload))
        bus.publish("limits.a", b"after")
        deadline = time.monotonic() + 10
        while b"after" not in got and time.monotonic() < deadline:
            time.sleep(0.01)
        print("delivered", got)
        bus.close()
    """, timeout=60, stress=False)
    assert done.returncode == 0, (done.returncode, done.stderr[-2000:])
    assert done.stdout == ("raised: cannot start the subscription's fetcher: Resource temporarily unavailable\n"
                           "delivered [b'', b'after']\n"), done.stdout


def test_close_stops_waiting_for_a_handler_that_does_not_return(single):
    from conftest import run_python
    done = run_python(f"""
        import threading, time
        from quenda_loomi.bus.nats._natsbus import Link
        entered, release = threading.Event(), threading.Event()
        def sink(events, ack):
            entered.set()
            release.wait(30)
        link = Link([{single.servers[0]!r}], close_wait=0.5)
        link.connect(sink)
        link.subscribe("stuck.x", 0)
        link.publish("stuck.x", b"x", 0)
        assert entered.wait(10)
        start = time.monotonic()
        link.close()
        waited = time.monotonic() - start
        release.set()  # the dispatcher returns into a closed link
        time.sleep(0.2)
        del link
        print("closed after", 0.4 < waited < 5)
    """, timeout=60)
    assert done.returncode == 0 and done.stdout == "closed after True\n", (done.stdout, done.stderr[-2000:])


def test_what_a_handler_left_in_thread_local_data_is_freed_while_its_thread_can_run_it(single):
    from conftest import run_python
    # The dispatcher's thread state is cleared when its loop ends: what handlers
    # left in threading.local is freed then, and its finalizers run native code
    # that uses the thread's thread-local scratch space, which must still exist.
    done = run_python(f"""
        import threading
        from quenda_loomi.bus import Bus
        from quenda_loomi.capi.tessaly import Topic, TopicIndex
        class ClearsOnDel:
            def __init__(self, index):
                self.index = index
            def __del__(self):
                self.index.clear()
                print("cleared", len(self.index))
        local, seen = threading.local(), threading.Event()
        def handle(event, payload, captures):
            index = TopicIndex()
            for i in range(40):
                index.add(Topic(f"left.{{i}}.+x"), i)
            index.clear()  # the scratch space now exists on this thread
            for i in range(40):
                index.add(Topic(f"left.{{i}}.+x"), i)
            local.holder = ClearsOnDel(index)
            seen.set()
        bus = Bus({single.urls!r}, qos=0)
        bus.subscribe("left.+n", handle)
        bus.publish("left.a", b"x")
        assert seen.wait(10)
        bus.close()
        print("closed")
    """, timeout=60)
    assert done.returncode == 0 and done.stdout == "cleared 0\nclosed\n", (done.returncode, done.stderr[-3000:])
