"""The event bus end to end: a local broker, a worker group and one more subscriber.

Starts mosquitto on a free port, two worker processes that share the
events of ``orders.+region.(buy|sell)`` as the group "billing", and an
auditor process that receives every ``orders./^e/.+side`` event for
itself; publishes a few orders and prints who handled what.

    tools/demo.sh    (or .venv/bin/python examples/bus_walkthrough.py after tools/build.sh)
"""

import os
import pathlib
import subprocess
import sys
import threading
import time

from quenda_loomi.bus import Bus
from quenda_loomi.bus.mosquitto import LocalBroker

WORKER = pathlib.Path(__file__).resolve().with_name("bus_worker.py")
EVENTS = ["orders.eu.buy", "orders.us.sell", "orders.eu.sell", "orders.asia.buy",
          "orders.eu.hold", "orders.es.buy", "orders.us.buy", "orders.eu.buy"]


class Process:
    """A bus_worker.py process whose output lines are gathered by a thread."""

    def __init__(self, port: int, name: str, topic: str, group: str | None) -> None:
        command = [sys.executable, str(WORKER), "--port", str(port), "--name", name, "--seconds", "60", topic]
        if group:
            command[2:2] = ["--group", group]
        self.name = name
        self.lines: list[str] = []
        self.ready = threading.Event()
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                        env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)))
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        assert self.process.stdout is not None
        for line in self.process.stdout:
            if line == "ready\n":
                self.ready.set()
            else:
                self.lines.append(line.rstrip("\n"))

    def stop(self) -> None:
        assert self.process.stdin is not None
        self.process.stdin.close()
        try:
            self.process.wait(15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(10)


def main() -> None:
    with LocalBroker(persistence=False) as broker:
        print(f"mosquitto {broker.executable} listening on {broker.host}:{broker.port}")
        processes = [
            Process(broker.port, "worker-1", "orders.+region.(buy|sell)", "billing"),
            Process(broker.port, "worker-2", "orders.+region.(buy|sell)", "billing"),
            Process(broker.port, "auditor", "orders./^e/.+side", None),
        ]
        try:
            for process in processes:
                if not process.ready.wait(20):
                    sys.exit(f"{process.name} did not start")
            print("worker-1, worker-2: group 'billing', orders.+region.(buy|sell) -> $share/billing/orders/+/+")
            print("auditor:            orders./^e/.+side -> orders/+/+ (refined locally: region starts with 'e')")
            with Bus(port=broker.port) as bus:
                for event in EVENTS:
                    bus.publish(event, f"order {event}".encode()).wait_for_publish(5)
                    print(f"published {event}")
            for_group = sum(1 for e in EVENTS if e.split(".")[2] in ("buy", "sell"))
            expected = for_group + sum(1 for e in EVENTS if e.split(".")[1].startswith("e"))
            deadline = time.monotonic() + 10
            while sum(len(p.lines) for p in processes) < expected and time.monotonic() < deadline:
                time.sleep(0.05)
        finally:
            for process in processes:
                process.stop()
        print()
        print("who handled what (process, event, payload, wildcard values):")
        for process in processes:
            for line in process.lines:
                print("  " + line)
        group = sorted(line.split()[1] for p in processes[:2] for line in p.lines)
        print(f"the group handled {len(group)} of the {for_group} buy/sell orders between its two members: {group}")
        print(f"the auditor handled {len(processes[2].lines)}; orders.eu.hold reached only the auditor, "
              "orders.us.* and orders.asia.* only the group")


if __name__ == "__main__":
    main()
