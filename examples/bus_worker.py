"""A bus worker process: subscribes to one topic and prints every event it handles.

    python examples/bus_worker.py --port 1883 --name w1 --group billing 'jobs.+id'

Prints "ready" once subscribed, then one line per handled event:
``<name> <event> <payload> <captures>``.  With a group the worker shares the
events with the other members; its name is its client id, so its session
persists at the broker and a restarted worker picks up what the broker
queued for it.  Stops at end of input (stdin closed) or after --seconds.
"""

import argparse
import json
import sys
import threading
import time

from quenda_loomi.bus import Bus
from quenda_loomi.capi.tessaly import Topic


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("topic")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=1883)
    parser.add_argument("--name", required=True, help="client id, printed with each event")
    parser.add_argument("--group", default=None)
    parser.add_argument("--qos", type=int, default=1)
    parser.add_argument("--delay", type=float, default=0.0, help="seconds spent on each event")
    parser.add_argument("--seconds", type=float, default=120.0, help="stop after this long at most")
    args = parser.parse_args()

    # One line at a time: events of a persistent session's backlog are handled
    # while connect() runs, and print() writes its pieces separately.
    output = threading.Lock()

    def say(*words: object) -> None:
        with output:
            print(*words, flush=True)

    def handle(event: Topic, payload: bytes, captures: dict[str, str]) -> None:
        if args.delay:
            time.sleep(args.delay)
        # Written before the handler returns, that is before the event is acknowledged.
        say(args.name, event, payload.decode(errors="replace"), json.dumps(captures))

    bus = Bus(args.host, args.port, client_id=args.name, group=args.group, qos=args.qos, connect=False)
    bus.subscribe(args.topic, handle)
    bus.connect()
    say("ready")
    stop = threading.Event()

    def watch_stdin() -> None:
        sys.stdin.read()
        stop.set()

    threading.Thread(target=watch_stdin, daemon=True).start()
    stop.wait(args.seconds)
    bus.close()


if __name__ == "__main__":
    main()
