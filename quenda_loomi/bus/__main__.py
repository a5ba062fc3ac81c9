"""A small command line for the bus, over either transport.

    python -m quenda_loomi.bus sub URL TOPIC [--group G] [--qos 0|1] [--count N] [--seconds S]
    python -m quenda_loomi.bus pub URL TOPIC PAYLOAD [--qos 0|1]

URL is ``mqtt://h:1883[,h2:1883]``, ``mqtts://...``, ``nats://h:4222[,...]`` or
``tls://...``.  ``sub`` prints one JSON line per event: ``{"event": ...,
"payload": ..., "captures": {...}}`` (a payload that is not UTF-8 is printed
as ``{"base64": ...}``) and stops after ``--count`` events or ``--seconds``.
Credentials: ``--username`` / ``--password``; TLS: ``--cafile`` (else the
system's CAs) or ``--insecure``.  On NATS, ``--stream NAME`` creates (or
checks) a JetStream stream capturing the topic's subjects, which qos 1 needs.
Exit status: 0, 1 when the connection failed, 2 on a usage error.
"""

from __future__ import annotations

import argparse
import base64
import json
import ssl
import sys
import threading
import time

from quenda_loomi.bus import Bus, BusConnectionError
from quenda_loomi.capi.tessaly import Topic, TopicPartExact


def _tls(args: argparse.Namespace) -> ssl.SSLContext | None:
    if not args.url.lower().startswith(("mqtts://", "tls://")):
        return None
    context = ssl.create_default_context(cafile=args.cafile)
    if args.insecure:
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
    return context


def _payload_json(payload: bytes) -> object:
    try:
        return payload.decode("utf-8")
    except UnicodeDecodeError:
        return {"base64": base64.b64encode(payload).decode("ascii")}


def _stream_subjects(topic: str) -> list[str]:
    # The subjects of the topic's broker filter: every generic part is one token.
    return [".".join(part.part if isinstance(part, TopicPartExact) else "*" for part in Topic(topic))]


def _bus(args: argparse.Namespace, connect: bool) -> Bus:
    return Bus(args.url, qos=args.qos, group=args.group, client_id=args.client_id, username=args.username,
               password=args.password, tls=_tls(args), connect_timeout=args.connect_timeout, connect=connect)


def _ensure_stream(bus: Bus, args: argparse.Namespace) -> None:
    if args.stream:
        bus.ensure_stream(args.stream, _stream_subjects(args.topic), args.replicas)


def subscribe(args: argparse.Namespace) -> int:
    done = threading.Event()
    seen = [0]
    lock = threading.Lock()

    def handler(event: Topic, payload: bytes, captures: dict[str, str]) -> None:
        line = json.dumps({"event": str(event), "payload": _payload_json(payload), "captures": captures})
        with lock:
            print(line, flush=True)
            seen[0] += 1
            if args.count and seen[0] >= args.count:
                done.set()

    if args.stream:
        with Bus(args.url, username=args.username, password=args.password, tls=_tls(args),
                 connect_timeout=args.connect_timeout) as admin:
            _ensure_stream(admin, args)
    # Subscribed before connecting: what a persistent session kept arrives right after the connection.
    with _bus(args, connect=False) as bus:
        bus.subscribe(args.topic, handler)
        bus.connect()
        deadline = time.monotonic() + args.seconds if args.seconds else None
        try:
            while not done.wait(0.2):
                if deadline is not None and time.monotonic() >= deadline:
                    break
        except KeyboardInterrupt:
            pass
    return 0


def publish(args: argparse.Namespace) -> int:
    with _bus(args, connect=True) as bus:
        _ensure_stream(bus, args)
        bus.publish(args.topic, args.payload.encode("utf-8"), qos=args.qos)
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quenda_loomi.bus", description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    for name, helptext in (("sub", "print events as JSON lines"), ("pub", "publish one event")):
        command = commands.add_parser(name, help=helptext)
        command.add_argument("url")
        command.add_argument("topic")
        if name == "pub":
            command.add_argument("payload")
        else:
            command.add_argument("--count", type=int, default=0, help="stop after this many events")
            command.add_argument("--seconds", type=float, default=0.0, help="stop after this many seconds")
        command.add_argument("--qos", type=int, choices=(0, 1), default=0)
        command.add_argument("--group", help="share the events with the other members of this group")
        command.add_argument("--client-id", help="a persistent session (MQTT) or durable consumer (NATS)")
        command.add_argument("--username")
        command.add_argument("--password")
        command.add_argument("--cafile", help="CA certificates (PEM) for mqtts:// and tls://")
        command.add_argument("--insecure", action="store_true", help="TLS without certificate checks")
        command.add_argument("--stream", help="NATS: create or check this JetStream stream for the topic")
        command.add_argument("--replicas", type=int, default=1, help="NATS: replicas of --stream")
        command.add_argument("--connect-timeout", type=float, default=10.0)
    args = parser.parse_args(argv)
    try:
        return subscribe(args) if args.command == "sub" else publish(args)
    except BusConnectionError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    except (ValueError, LookupError, NotImplementedError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
