"""Event bus: topics carried between processes by an MQTT broker or a NATS cluster.

Contract
--------
`Bus(servers, ...)` connects through one transport: ``mqtt://h1:1883,h2:1883``
(``mqtts://`` with TLS) or a bare host with ``port`` speaks MQTT 3.1.1 through
paho-mqtt; ``nats://h1:4222,h2:4222`` (``tls://`` with TLS) the native NATS
client.  The server routes coarsely, the topic module finishes the match
locally:

* ``subscribe(topic, handler)`` derives a broker filter from the topic: an
  exact part is its text as one level, every wildcard, range or pattern part
  is the transport's one-level wildcard.  Subscriptions that derive the same
  filter share one server subscription (counted; the last ``unsubscribe``
  removes it).  A subscription is in effect or not: `subscribe` returns once
  the server granted the filter and raises (ValueError before sending for
  what the server would refuse; `SubscriptionRefused`, `TimeoutError` or
  `BusConnectionError` after) leaving nothing in effect.  Subscribing and
  unsubscribing one filter are ordered, so the count and the server agree.
  A handler is called only for events that match its subscription by the
  topic module's rules, as ``handler(event, payload, captures)``.
* ``publish(topic, payload)`` needs an exact topic; a generic topic or one the
  transport cannot carry raises ValueError naming the part, and nothing is
  sent.  An event that cannot be sent or queued raises; none is dropped
  silently (QoS 0 while the link is down raises too).
* Names from foreign clients: each level becomes one exact part.  Incoming
  events never grow the process-wide topic registry.  A name with an empty
  level or invalid UTF-8 is counted as unrepresentable.
* ``group="name"`` shares the events among the group's members, each event
  going to one member (MQTT shared subscriptions, NATS queue groups or
  durable consumers); a server that would silently deliver nothing to a
  group fails the connection instead.
* Delivery at QoS 1 is acknowledged only after the event's handlers returned
  (asyncio: when the consumer asks for the next item or calls
  ``Delivery.ack()``), so an event is handled at least once even when the
  process dies mid-stream.  A fixed ``client_id`` makes the session
  persistent.  Reconnection is automatic, moves to the next server of the
  list, and restores the subscriptions.
* Handlers run one at a time on the bus's handler thread (``"thread"``), on
  the caller's thread inside ``run(timeout)`` (``"caller"``), or are replaced
  by the async iterator ``events()`` (``"asyncio"``); the network thread keeps
  the link alive meanwhile.  At most ``max_pending`` events and
  ``max_pending_bytes`` bytes wait for handlers; beyond that the bus stops
  reading and the server holds the rest.  A handler's exception is logged and
  counted; delivery goes on.  ``stats()`` is a consistent snapshot.
* Every wait is bounded: connecting raises `BusConnectionError` naming the
  servers within ``connect_timeout`` seconds.
"""

from __future__ import annotations

import contextlib
import ssl
import threading
from collections.abc import AsyncIterator, Iterator
from typing import Protocol

from quenda_loomi.bus.core import (BusConnectionError, Delivery, DeliveryCore, DeliveryMode, Handler,
                                   Subscription, SubscriptionRefused, Transport, TransportOptions)
from quenda_loomi.bus.mqtt.transport import MqttTransport, mqtt_filter
from quenda_loomi.capi.tessaly import Topic, TopicIndex

__all__ = ["Bus", "BusConnectionError", "Delivery", "DeliveryMode", "Handler", "Payload", "PublishReceipt",
           "Subscription", "SubscriptionRefused", "TransportOptions", "mqtt_filter", "parse_servers"]

Payload = bytes | bytearray | memoryview | str

_DEFAULT_PORTS = {"mqtt": 1883, "mqtts": 8883, "nats": 4222, "tls": 4222}


class PublishReceipt(Protocol):
    """What `Bus.publish` returns: paho's message info over MQTT."""

    def wait_for_publish(self, timeout: float | None = None) -> None: ...
    def is_published(self) -> bool: ...


class _Sent:
    """The receipt of a publish the transport confirmed before returning."""

    def wait_for_publish(self, timeout: float | None = None) -> None:
        return None

    def is_published(self) -> bool:
        return True


def parse_servers(url: str) -> tuple[str, list[tuple[str, int]]]:
    """``scheme://h1:p1,h2:p2`` as (scheme, [(host, port), ...]); a port left out is the scheme's default."""
    scheme, _, rest = url.partition("://")
    scheme = scheme.lower()
    if scheme not in _DEFAULT_PORTS:
        raise ValueError(f"unknown bus URL scheme {scheme!r} in {url!r} (mqtt, mqtts, nats, tls)")
    servers = []
    for item in rest.split(","):
        item = item.strip().rstrip("/")
        if not item:
            raise ValueError(f"an empty server in {url!r}")
        if item.startswith("["):  # [IPv6]:port
            host, _, tail = item[1:].partition("]")
            port_text = tail[1:] if tail.startswith(":") else ""
        else:
            host, _, port_text = item.rpartition(":") if ":" in item else (item, "", "")
        try:
            port = int(port_text) if port_text else _DEFAULT_PORTS[scheme]
        except ValueError:
            raise ValueError(f"bad port {port_text!r} in {url!r}") from None
        if not host or not 0 < port < 65536:
            raise ValueError(f"bad server {item!r} in {url!r}")
        servers.append((host, port))
    return scheme, servers


class Bus:
    """A connection to an MQTT broker or a NATS cluster that delivers topics to local subscriptions."""

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 1883,
        *,
        client_id: str | None = None,
        group: str | None = None,
        qos: int = 1,
        username: str | None = None,
        password: str | None = None,
        tls: ssl.SSLContext | None = None,
        clean_session: bool | None = None,
        keepalive: int = 30,
        connect_timeout: float = 10.0,
        reply_timeout: float = 10.0,
        reconnect_delay: tuple[float, float] = (0.5, 8.0),
        ack_wait: float = 30.0,
        delivery: DeliveryMode = "thread",
        max_pending: int = 1000,
        max_pending_bytes: int = 16 << 20,
        max_outbound: int = 10_000,
        max_outbound_bytes: int = 16 << 20,
        connect: bool = True,
    ) -> None:
        if qos not in (0, 1):
            raise ValueError(f"qos must be 0 or 1, not {qos!r}")
        if delivery not in ("thread", "caller", "asyncio"):
            raise ValueError(f"delivery must be 'thread', 'caller' or 'asyncio', not {delivery!r}")
        options = TransportOptions(
            client_id=client_id, group=group, qos=qos, username=username, password=password, tls=tls,
            clean_session=clean_session, keepalive=keepalive, connect_timeout=connect_timeout,
            reply_timeout=reply_timeout, reconnect_delay=reconnect_delay, ack_wait=ack_wait,
            max_outbound=max_outbound, max_outbound_bytes=max_outbound_bytes)
        transport: Transport
        if "://" in host:
            scheme, servers = parse_servers(host)
        else:
            scheme, servers = "mqtt", [(host, port)]
        if scheme in ("nats", "tls"):
            from quenda_loomi.bus.nats import NatsTransport
            transport = NatsTransport([f"nats://{h}:{p}" for h, p in servers], scheme == "tls", options)
        else:
            transport = MqttTransport(servers, scheme == "mqtts", options)
        self.host, self.port = servers[0]
        self.servers = servers
        self.group, self.qos = group, qos
        self.delivery: DeliveryMode = delivery
        self._transport = transport
        self._lock = threading.Lock()
        self._index = TopicIndex()
        self._filters: dict[str, int] = {}
        self._filter_locks: dict[str, tuple[threading.Lock, list[int]]] = {}
        self._closed = False
        self._started = False
        self._core = DeliveryCore(self._index, self._lock, delivery=delivery, separator=transport.separator,
                                  hold=transport.hold, max_pending=max_pending,
                                  max_pending_bytes=max_pending_bytes,
                                  intake_may_handle=transport.intake_may_handle)
        if connect:
            self.connect()

    # -- connection -----------------------------------------------------

    def connect(self) -> None:
        """Connects (once); `Bus(..., connect=False)` leaves this to the caller.

        With a persistent session, subscribe first and connect then: the
        server sends the queued events right after the connection is
        accepted, and an event no local subscription wants is dropped.
        """
        self._check_open()
        if self._started:
            return
        self._started = True
        try:
            self._transport.start(self._core)
            with self._lock:
                filters = list(self._filters)
            for broker_filter in filters:
                self._transport.subscribe(broker_filter)
        except BaseException:
            self.close()
            raise

    @property
    def connected(self) -> bool:
        return self._transport.connected

    def close(self) -> None:
        """Disconnects cleanly and stops the bus's threads; unhandled events stay unacknowledged."""
        if self._closed:
            return
        self._closed = True
        self._transport.close()
        self._core.close()

    def __enter__(self) -> Bus:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _check_open(self) -> None:
        if self._closed:
            raise RuntimeError("the bus is closed")

    # -- subscriptions ----------------------------------------------------

    @contextlib.contextmanager
    def _ordered(self, broker_filter: str) -> Iterator[None]:
        """Serialises the subscribe/unsubscribe calls of one filter: count and request change together."""
        with self._lock:
            entry = self._filter_locks.get(broker_filter)
            if entry is None:
                entry = self._filter_locks[broker_filter] = (threading.Lock(), [0])
            entry[1][0] += 1
        try:
            with entry[0]:
                yield
        finally:
            with self._lock:
                entry[1][0] -= 1
                if not entry[1][0]:
                    del self._filter_locks[broker_filter]

    def subscribe(self, topic: Topic | str, handler: Handler | None = None) -> Subscription:
        """Subscribes `handler` to the events matching `topic` (any part kinds); in effect when it returns."""
        self._check_open()
        if handler is None and self.delivery != "asyncio":
            raise TypeError("subscribe() needs a handler unless the bus delivers through events()")
        if isinstance(topic, str):
            topic = Topic(topic)
        elif not isinstance(topic, Topic):
            raise TypeError(f"topic must be a Topic or a str, not {type(topic).__name__}")
        broker_filter = self._transport.broker_filter(topic)
        subscription = Subscription(topic, handler, broker_filter)
        with self._ordered(broker_filter):
            with self._lock:
                first = broker_filter not in self._filters
            if first and self._started:
                self._transport.subscribe(broker_filter)  # raises: nothing changed here
            with self._lock:
                self._index.add(topic, subscription)
                self._filters[broker_filter] = self._filters.get(broker_filter, 0) + 1
        return subscription

    def unsubscribe(self, subscription: Subscription) -> None:
        """Removes a subscription; the last one of its broker filter leaves the server."""
        if not subscription.active:
            return
        with self._ordered(subscription.filter):
            with self._lock:
                if not subscription.active:
                    return
                if not self._index.remove(subscription.topic, subscription):
                    raise ValueError(f"{subscription!r} is not a subscription of this bus")
                subscription.active = False
                count = self._filters[subscription.filter] - 1
                if count:
                    self._filters[subscription.filter] = count
                else:
                    del self._filters[subscription.filter]
            if count == 0 and self._started and not self._closed:
                self._transport.unsubscribe(subscription.filter)

    def broker_filters(self) -> dict[str, int]:
        """The broker filters in use, each with the number of subscriptions sharing it."""
        with self._lock:
            return dict(self._filters)

    def ensure_stream(self, name: str, subjects: list[str], replicas: int = 1) -> None:
        """Creates (or checks) a persistent stream on transports that have them (NATS JetStream)."""
        ensure = getattr(self._transport, "ensure_stream", None)
        if ensure is None:
            raise NotImplementedError(f"{type(self._transport).__name__} has no streams")
        ensure(name, subjects, replicas)

    # -- publishing -------------------------------------------------------

    def publish(self, topic: Topic | str, payload: Payload = b"", qos: int | None = None,
                retain: bool = False) -> PublishReceipt:
        """Publishes an exact topic; raises when the event was neither sent nor queued."""
        self._check_open()
        name = self._transport.publish_name(topic)
        qos = self.qos if qos is None else qos
        if qos not in (0, 1):
            raise ValueError(f"qos must be 0 or 1, not {qos!r}")
        if isinstance(payload, str):
            data = payload.encode()
        elif isinstance(payload, (bytes, bytearray, memoryview)):
            data = bytes(payload)
        else:
            raise TypeError(f"payload must be bytes or str, not {type(payload).__name__}")
        receipt = self._transport.publish(name, data, qos, retain)
        return receipt if receipt is not None else _Sent()  # type: ignore[return-value]

    # -- delivery ---------------------------------------------------------

    def run(self, timeout: float) -> int:
        """Runs handlers on the caller's thread for `timeout` seconds (``delivery="caller"``).

        The network thread keeps the link alive meanwhile; returns the number
        of handler calls that returned normally.
        """
        if self.delivery != "caller":
            raise RuntimeError(f"run() is for delivery='caller'; this bus delivers with {self.delivery!r}")
        self._check_open()
        return self._core.run(timeout)

    async def events(self) -> AsyncIterator[Delivery]:
        """Yields a `Delivery` per matching subscription (``delivery="asyncio"``) until `close()`."""
        if self.delivery != "asyncio":
            raise RuntimeError(f"events() is for delivery='asyncio'; this bus delivers with {self.delivery!r}")
        async for delivery in self._core.events():
            yield delivery

    def stats(self) -> dict[str, int]:
        """A snapshot: received, delivered, refined_away, unrepresentable, handler_errors, held, pending,
        pending_bytes, and the transport's counters (reconnects, failovers, ...)."""
        return {**self._core.stats(), **self._transport.stats()}
