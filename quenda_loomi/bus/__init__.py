"""Event bus: topics carried between processes by an MQTT broker.

Contract
--------
`Bus` connects to one MQTT broker (mosquitto or any MQTT 3.1.1 broker)
through paho-mqtt.  The broker routes coarsely, the topic module finishes
the match locally:

* ``subscribe(topic, handler)`` derives a broker filter from the topic: an
  exact part is its text as one MQTT level, every wildcard, range or
  pattern part is ``+``; levels are joined with ``/``.  Subscriptions that
  derive the same filter share one broker subscription (counted; the last
  ``unsubscribe`` removes it at the broker).  A handler is called only for
  events that match its subscription by the topic module's rules, as
  ``handler(event, payload, captures)``: the event `Topic`, the payload
  bytes and the subscription's wildcard values by name.
* ``publish(topic, payload)`` needs an exact topic; each part is one MQTT
  level.  A generic topic, or a part that cannot be one MQTT level
  (``/``, ``+``, ``#``, NUL, a first level starting with ``$``) raises
  ValueError naming the part, and nothing is sent.
* Topic names from any MQTT client: each level becomes one exact part (a
  level may contain ``.``).  Incoming events never grow the process-wide
  topic registry.  A name with an empty level (``a//b``) or invalid UTF-8
  is counted as unrepresentable and reaches no handler.
* ``group="name"`` subscribes through shared subscriptions
  (``$share/name/<filter>``): the members of a group share the events, each
  event going to one member.
* Delivery is QoS 0 or 1 over MQTT 3.1.1.  A fixed ``client_id`` makes the
  session persistent (clean session off): the broker keeps the
  subscriptions and queues QoS 1 events while the client is away.  A QoS 1
  event is acknowledged only after its handlers returned, so an event is
  handled at least once even when the process dies mid-stream.
  Reconnection is automatic and restores the subscriptions.
* Handlers run one at a time on the bus's network thread (started on
  connect, stopped by ``close()``), or on the caller's thread inside
  ``run(timeout)`` (``delivery="caller"``), or are replaced by the async
  iterator ``events()`` (``delivery="asyncio"``).  A handler's exception is
  logged and counted; delivery goes on.  ``stats()`` returns the counts.
* Every wait is bounded: connecting to a broker that is down, or that
  refuses the credentials, raises `BusConnectionError` naming host and
  port within ``connect_timeout`` seconds.
"""

from __future__ import annotations

import asyncio
import logging
import queue
import re
import ssl
import threading
import time
from collections.abc import AsyncIterator, Callable
from typing import Any, NamedTuple

import paho.mqtt.client as mqtt
from paho.mqtt.enums import CallbackAPIVersion, MQTTErrorCode

from quenda_loomi.capi.tessaly import Topic, TopicIndex, TopicPartExact

__all__ = ["Bus", "BusConnectionError", "Delivery", "Handler", "Payload", "Subscription", "mqtt_filter"]

log = logging.getLogger("quenda_loomi.bus")

Payload = bytes | bytearray | memoryview | str
Handler = Callable[[Topic, bytes, dict[str, str]], object]

# A level that the literal grammar would not read back as one exact part:
# a dot splits it, "+x", "{x}" and "(x)" turn it into a wildcard or a range.
# Names without any of these are handed to the index as text.
_NOT_PLAIN = re.compile(r"\.|(?:^|/)(?:\+[^/]|\{[^/]+\}(?:/|$)|\([^/]+\)(?:/|$))")
_SEGMENT_GENERIC = re.compile(r"\+.|\{.+\}|\(.+\)")
_MQTT_SPECIAL = ("/", "+", "#", "\0")


class BusConnectionError(ConnectionError):
    """The broker could not be reached, refused the client, or did not answer in time."""


class Subscription:
    """One `subscribe` call: its topic, handler and broker filter."""

    __slots__ = ("topic", "handler", "filter", "active")

    def __init__(self, topic: Topic, handler: Handler | None, broker_filter: str) -> None:
        self.topic = topic
        self.handler = handler
        self.filter = broker_filter
        self.active = True

    def __repr__(self) -> str:
        state = "" if self.active else ", inactive"
        return f"<Subscription {str(self.topic)!r} via {self.filter!r}{state}>"


class Delivery(NamedTuple):
    """One event for one subscription, as the async iterator yields it."""

    subscription: Subscription
    event: Topic
    payload: bytes
    captures: dict[str, str]


def _check_level(text: str, first: bool, what: str) -> None:
    bad = next((c for c in _MQTT_SPECIAL if c in text), None)
    if bad is not None:
        raise ValueError(f"{what} {text!r} cannot be one MQTT level (contains {bad!r})")
    if first and text.startswith("$"):
        raise ValueError(f"{what} {text!r} cannot be the first MQTT level (starts with '$')")
    if not text:
        raise ValueError(f"{what} is empty")


def mqtt_filter(topic: Topic) -> str:
    """The broker filter of a subscription: exact parts as levels, every other part `+`."""
    levels = []
    for position, part in enumerate(topic):
        if isinstance(part, TopicPartExact):
            _check_level(part.part, position == 0, f"part {position}")
            levels.append(part.part)
        else:
            levels.append("+")
    if not levels:
        raise ValueError("an empty topic has no broker filter")
    return "/".join(levels)


def _publish_name(topic: Topic | str) -> str:
    """The MQTT topic name of an exact topic, checked level by level."""
    if isinstance(topic, str):
        # Read the literal without Topic(): that would register every
        # published literal (ids included) for the life of the process.
        levels = [segment for segment in topic.split(".") if segment]
        for position, segment in enumerate(levels):
            if segment.startswith("/") or _SEGMENT_GENERIC.fullmatch(segment):
                raise ValueError(
                    f"cannot publish the generic topic {topic!r}: part {position} {segment!r} is not exact")
    elif isinstance(topic, Topic):
        levels = []
        for position, part in enumerate(topic):
            if not isinstance(part, TopicPartExact):
                raise ValueError(
                    f"cannot publish the generic topic {str(topic)!r}: part {position} {part!r} is not exact")
            levels.append(part.part)
    else:
        raise TypeError(f"topic must be a Topic or a str, not {type(topic).__name__}")
    if not levels:
        raise ValueError("cannot publish an empty topic")
    for position, level in enumerate(levels):
        _check_level(level, position == 0, f"part {position}")
    return "/".join(levels)


class Bus:
    """A connection to one MQTT broker that delivers topics to local subscriptions."""

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
        delivery: str = "thread",
        connect: bool = True,
    ) -> None:
        if qos not in (0, 1):
            raise ValueError(f"qos must be 0 or 1, not {qos!r}")
        if delivery not in ("thread", "caller", "asyncio"):
            raise ValueError(f"delivery must be 'thread', 'caller' or 'asyncio', not {delivery!r}")
        if group is not None:
            if not group or any(c in group for c in _MQTT_SPECIAL):
                raise ValueError(f"group {group!r} cannot be a shared-subscription name")
        if clean_session is None:
            clean_session = client_id is None
        if not clean_session and not client_id:
            raise ValueError("a persistent session (clean_session=False) needs a client_id")
        self.host, self.port, self.group, self.qos = host, port, group, qos
        self.delivery = delivery
        self._reply_timeout = reply_timeout
        self._keepalive = keepalive
        self._lock = threading.Lock()
        self._index = TopicIndex()
        self._filters: dict[str, int] = {}
        self._waiting: dict[int, threading.Event] = {}
        self._dispatching: int | None = None  # thread ident inside on_message
        self._closed = False
        self._connected = threading.Event()
        self._connack: Any = None
        self._counts = {"received": 0, "delivered": 0, "refined_away": 0, "unrepresentable": 0,
                        "handler_errors": 0, "reconnects": 0}
        self._async_queue: queue.SimpleQueue[Delivery] = queue.SimpleQueue()
        self._async_wakeup: tuple[asyncio.AbstractEventLoop, asyncio.Event] | None = None

        client = mqtt.Client(CallbackAPIVersion.VERSION2, client_id=client_id or "",
                             protocol=mqtt.MQTTv311, clean_session=clean_session)
        client.connect_timeout = connect_timeout
        client.reconnect_delay_set(reconnect_delay[0], reconnect_delay[1])  # type: ignore[arg-type]
        if username is not None:
            client.username_pw_set(username, password)
        if tls is not None:
            client.tls_set_context(tls)
        client.on_connect = self._on_connect
        client.on_disconnect = self._on_disconnect
        client.on_message = self._on_message
        client.on_subscribe = self._on_reply
        client.on_unsubscribe = self._on_reply
        self._client = client
        self._connect_timeout = connect_timeout
        self._started = False
        if connect:
            self.connect()

    # -- connection -----------------------------------------------------

    def _where(self) -> str:
        return f"MQTT broker at {self.host}:{self.port}"

    def connect(self) -> None:
        """Connects (once); `Bus(..., connect=False)` leaves this to the caller.

        With a persistent session, subscribe first and connect then: the
        broker sends the queued events right after the connection is
        accepted, and an event no local subscription wants is dropped.
        """
        self._check_open()
        if self._started:
            return
        self._started = True
        timeout = self._connect_timeout
        deadline = time.monotonic() + timeout
        try:
            self._client.connect(self.host, self.port, keepalive=self._keepalive)
        except (OSError, ValueError) as error:
            raise BusConnectionError(f"cannot reach the {self._where()}: {error}") from error
        if self.delivery == "caller":
            while not self._connected.is_set() and self._connack is None and time.monotonic() < deadline:
                if self._client.loop(timeout=0.05) != MQTTErrorCode.MQTT_ERR_SUCCESS:
                    break
        else:
            self._client.loop_start()
            while self._connack is None and time.monotonic() < deadline:
                self._connected.wait(0.05)
        if not self._connected.is_set():
            reason = self._connack
            self._shutdown()
            if reason is None:
                raise BusConnectionError(
                    f"the {self._where()} did not accept the connection (no CONNACK within {timeout:g} s)")
            raise BusConnectionError(f"the {self._where()} refused the connection: {reason}")

    def _on_connect(self, client: mqtt.Client, userdata: object, flags: Any, reason: Any, properties: Any) -> None:
        if reason.is_failure:
            if self._connack == "accepted":
                log.error("the %s refused the reconnection: %s; the bus stays disconnected", self._where(), reason)
            self._connack = str(reason)
            # A refusal is final: stop paho from retrying with the same credentials.
            client.disconnect()
            return
        if self._connack is not None:
            self._counts["reconnects"] += 1
        with self._lock:
            filters = list(self._filters)
            # Requests sent before the link dropped get no reply; the
            # subscriptions below replace them.
            for waiting in self._waiting.values():
                waiting.set()
            self._waiting.clear()
        if filters:
            # A clean session lost them; a persistent one still has them and
            # subscribing again is harmless.
            client.subscribe([(self._broker_filter(f), self.qos) for f in filters])
        self._connected.set()
        self._connack = "accepted"

    def _on_disconnect(self, client: mqtt.Client, userdata: object, flags: Any, reason: Any, properties: Any) -> None:
        self._connected.clear()
        if not self._closed:
            log.warning("lost the %s (%s); reconnecting", self._where(), reason)

    @property
    def connected(self) -> bool:
        return self._connected.is_set()

    def close(self) -> None:
        """Disconnects cleanly and stops the network thread."""
        if self._closed:
            return
        self._closed = True
        self._shutdown()

    def _shutdown(self) -> None:
        self._closed = True
        client = self._client
        client.disconnect()
        if self.delivery != "caller" and self._dispatching != threading.get_ident():
            client.loop_stop()
        with self._lock:
            for event in self._waiting.values():
                event.set()
        wakeup = self._async_wakeup
        if wakeup is not None:
            loop, ready = wakeup
            try:
                loop.call_soon_threadsafe(ready.set)
            except RuntimeError:  # the event loop is already closed
                pass

    def __enter__(self) -> Bus:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- broker replies ---------------------------------------------------

    def _on_reply(self, client: mqtt.Client, userdata: object, mid: int, *rest: Any) -> None:
        with self._lock:
            event = self._waiting.pop(mid, None)
        if event is not None:
            event.set()

    def _request(self, send: Callable[[], tuple[MQTTErrorCode, int | None]], what: str) -> None:
        """Sends a (un)subscribe and waits for the broker's reply where that cannot deadlock."""
        with self._lock:
            rc, mid = send()
            if rc != MQTTErrorCode.MQTT_ERR_SUCCESS or mid is None:
                # Not connected: on_connect sends the filters once the link is back.
                return
            if self._dispatching == threading.get_ident():
                return  # inside a handler: the reply arrives after it returns
            done = threading.Event()
            self._waiting[mid] = done
        deadline = time.monotonic() + self._reply_timeout
        while not done.is_set() and not self._closed:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                with self._lock:
                    self._waiting.pop(mid, None)
                raise TimeoutError(f"the {self._where()} did not acknowledge {what} within {self._reply_timeout:g} s")
            if self.delivery == "caller":
                self._client.loop(timeout=min(remaining, 0.05))
            else:
                done.wait(min(remaining, 0.05))

    # -- subscriptions ----------------------------------------------------

    def _broker_filter(self, mqtt_filter_text: str) -> str:
        return mqtt_filter_text if self.group is None else f"$share/{self.group}/{mqtt_filter_text}"

    def subscribe(self, topic: Topic | str, handler: Handler | None = None) -> Subscription:
        """Subscribes `handler` to the events matching `topic` (any part kinds)."""
        self._check_open()
        if handler is None and self.delivery != "asyncio":
            raise TypeError("subscribe() needs a handler unless the bus delivers through events()")
        if isinstance(topic, str):
            topic = Topic(topic)
        elif not isinstance(topic, Topic):
            raise TypeError(f"topic must be a Topic or a str, not {type(topic).__name__}")
        text = mqtt_filter(topic)
        subscription = Subscription(topic, handler, text)
        with self._lock:
            self._index.add(topic, subscription)
            count = self._filters.get(text, 0)
            self._filters[text] = count + 1
        if count == 0 and self._started:
            full = self._broker_filter(text)
            self._request(lambda: self._client.subscribe(full, self.qos), f"the subscription {full!r}")
        return subscription

    def unsubscribe(self, subscription: Subscription) -> None:
        """Removes a subscription; the last one of its broker filter leaves the broker."""
        if not subscription.active:
            return
        with self._lock:
            if not self._index.remove(subscription.topic, subscription):
                raise ValueError(f"{subscription!r} is not a subscription of this bus")
            subscription.active = False
            count = self._filters[subscription.filter] - 1
            if count:
                self._filters[subscription.filter] = count
            else:
                del self._filters[subscription.filter]
        if count == 0 and self._started and not self._closed:
            full = self._broker_filter(subscription.filter)
            self._request(lambda: self._client.unsubscribe(full), f"the removal of {full!r}")

    def broker_filters(self) -> dict[str, int]:
        """The broker filters in use, each with the number of subscriptions sharing it."""
        with self._lock:
            return {self._broker_filter(f): n for f, n in self._filters.items()}

    # -- publishing -------------------------------------------------------

    def publish(self, topic: Topic | str, payload: Payload = b"", qos: int | None = None,
                retain: bool = False) -> mqtt.MQTTMessageInfo:
        """Publishes an exact topic; returns paho's message info (``wait_for_publish(timeout)``)."""
        self._check_open()
        name = _publish_name(topic)
        qos = self.qos if qos is None else qos
        if qos not in (0, 1):
            raise ValueError(f"qos must be 0 or 1, not {qos!r}")
        if isinstance(payload, memoryview):
            payload = payload.tobytes()
        elif not isinstance(payload, (bytes, bytearray, str)):
            raise TypeError(f"payload must be bytes or str, not {type(payload).__name__}")
        return self._client.publish(name, payload, qos=qos, retain=retain)

    def _check_open(self) -> None:
        if self._closed:
            raise RuntimeError("the bus is closed")

    # -- delivery ---------------------------------------------------------

    def _on_message(self, client: mqtt.Client, userdata: object, message: mqtt.MQTTMessage) -> None:
        counts = self._counts
        counts["received"] += 1
        try:
            name = message.topic
        except UnicodeDecodeError:
            counts["unrepresentable"] += 1
            return
        if not name or "//" in name or name[0] == "/" or name[-1] == "/":
            counts["unrepresentable"] += 1
            return
        event: Topic | None = None
        try:
            if not ("." in name or "+" in name or "{" in name or "(" in name) or _NOT_PLAIN.search(name) is None:
                key: Topic | str = name.replace("/", ".")
            else:
                # Levels the literal grammar cannot carry as text: one exact part each.
                key = event = Topic.join(name.split("/"))
            with self._lock:
                matches = self._index.match_captures(key)
        except Exception:
            # Never let one topic name stop the network thread.
            counts["unrepresentable"] += 1
            log.exception("cannot match the topic name %r", name)
            return
        if not matches:
            counts["refined_away"] += 1
            return
        if event is None:
            event = Topic.join(name.split("/"))
        payload = message.payload
        if self.delivery == "asyncio":
            for subscription, captures in matches:
                self._async_queue.put(Delivery(subscription, event, payload, captures))
            counts["delivered"] += len(matches)
            wakeup = self._async_wakeup
            if wakeup is not None:
                try:
                    wakeup[0].call_soon_threadsafe(wakeup[1].set)
                except RuntimeError:  # the consumer's loop has ended
                    pass
            return
        self._dispatching = threading.get_ident()
        try:
            for subscription, captures in matches:
                if not subscription.active:
                    continue
                try:
                    subscription.handler(event, payload, captures)
                except Exception:
                    counts["handler_errors"] += 1
                    log.exception("handler %r failed on %s", subscription.handler, name)
                else:
                    counts["delivered"] += 1
        finally:
            self._dispatching = None

    def run(self, timeout: float) -> int:
        """Delivers on the caller's thread for `timeout` seconds (``delivery="caller"``).

        Keeps the connection alive and reconnects while it runs; returns the
        number of handler calls that returned normally.
        """
        if self.delivery != "caller":
            raise RuntimeError(f"run() is for delivery='caller'; this bus delivers with {self.delivery!r}")
        self._check_open()
        before = self._counts["delivered"]
        deadline = time.monotonic() + timeout
        delay = 0.1
        while not self._closed:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                break
            rc = self._client.loop(timeout=min(remaining, 0.1))
            if rc == MQTTErrorCode.MQTT_ERR_SUCCESS:
                delay = 0.1
                continue
            pause = min(delay, max(0.0, deadline - time.monotonic()))
            time.sleep(pause)
            delay = min(delay * 2, 5.0)
            try:
                self._client.reconnect()
            except OSError as error:
                log.debug("reconnecting to the %s failed: %s", self._where(), error)
        return self._counts["delivered"] - before

    async def events(self) -> AsyncIterator[Delivery]:
        """Yields a `Delivery` per matching subscription (``delivery="asyncio"``) until `close()`."""
        if self.delivery != "asyncio":
            raise RuntimeError(f"events() is for delivery='asyncio'; this bus delivers with {self.delivery!r}")
        ready = asyncio.Event()
        self._async_wakeup = (asyncio.get_running_loop(), ready)
        try:
            while True:
                try:
                    item = self._async_queue.get_nowait()
                except queue.Empty:
                    if self._closed:
                        return
                    ready.clear()
                    if self._async_queue.empty() and not self._closed:
                        await ready.wait()
                    continue
                if item.subscription.active:
                    yield item
        finally:
            self._async_wakeup = None

    def stats(self) -> dict[str, int]:
        """Counts: received, delivered, refined_away, unrepresentable, handler_errors, reconnects."""
        return dict(self._counts)
