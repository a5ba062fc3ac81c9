"""The bus over a NATS cluster: a group of two workers keeps every event
while the node one of them is connected to dies mid-stream.

A local 3-node nats-server cluster, a JetStream stream with 3 replicas, two
worker processes in the group "billing" (each event handled by one of them,
acknowledged after its handler returned), 2,000 events published at qos 1,
and the node of the first worker SIGKILLed after a quarter of them.

    .venv/bin/python examples/nats_walkthrough.py
"""

from __future__ import annotations

import subprocess
import sys
import threading
import time

from quenda_loomi.bus import Bus
from quenda_loomi.bus.nats import LocalCluster

EVENTS = 2000


def worker(urls: str) -> None:
    """One member of the group: prints the id of every event it handled."""
    def handle(event: object, payload: bytes, captures: dict[str, str]) -> None:
        print(captures["id"], flush=True)

    with Bus(urls, qos=1, group="billing", ack_wait=3.0) as bus:
        bus.subscribe("invoices.+id.created", handle)
        print("ready", flush=True)
        sys.stdin.read()  # until the walkthrough closes our stdin


def start_worker(urls: str) -> tuple[subprocess.Popen[str], list[str]]:
    process = subprocess.Popen([sys.executable, __file__, "--worker", urls], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    assert process.stdout is not None
    if process.stdout.readline() != "ready\n":
        raise RuntimeError("a worker did not start")
    handled: list[str] = []
    stdout = process.stdout
    threading.Thread(target=lambda: handled.extend(line.strip() for line in stdout), daemon=True).start()
    return process, handled


def main() -> None:
    with LocalCluster(3) as cluster:
        ports = cluster.client_ports
        print(f"cluster: 3 nodes on ports {ports}")
        with Bus(cluster.urls, qos=1) as admin:
            admin.ensure_stream("INVOICES", ["invoices.*.created"], replicas=3)
        # Worker one prefers node 0, worker two node 1; the publisher node 2.
        first = "nats://" + ",".join(f"127.0.0.1:{p}" for p in ports)
        second = "nats://" + ",".join(f"127.0.0.1:{p}" for p in ports[1:] + ports[:1])
        workers = [start_worker(first), start_worker(second)]
        publisher_urls = "nats://" + ",".join(f"127.0.0.1:{p}" for p in ports[2:] + ports[:2])
        retries = 0
        with Bus(publisher_urls, qos=1, reply_timeout=2.0) as publisher:
            for n in range(EVENTS):
                if n == EVENTS // 4:
                    cluster.kill(0)
                    print(f"after {n} events: node 0 SIGKILLed (worker one was connected to it)")
                while True:
                    try:
                        publisher.publish(f"invoices.{n}.created", b"{}")
                        break
                    except Exception:  # the stream's leader may be moving: publish returns only once stored
                        retries += 1
                        time.sleep(0.1)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and len({i for _, h in workers for i in h}) < EVENTS:
            time.sleep(0.1)
        for process, _ in workers:
            assert process.stdin is not None
            process.stdin.close()
            process.wait(15)
        handled = [i for _, h in workers for i in h]
        lost = EVENTS - len(set(handled))
        print(f"published {EVENTS} (publish retried {retries} times while the stream's leader moved)")
        for name, (_, h) in zip(("one", "two"), workers):
            print(f"worker {name} handled {len(h)}")
        print(f"lost {lost}, handled twice {len(handled) - len(set(handled))}")
        if lost:
            sys.exit(1)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--worker":
        worker(sys.argv[2])
    else:
        main()
