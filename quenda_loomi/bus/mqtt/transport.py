"""The MQTT transport of the bus: paho-mqtt 2.x over MQTT 3.1.1.

Contract
--------
* Names: an exact topic part is one MQTT level, levels joined with ``/``.
  What the broker would drop the connection for is refused before sending
  with ValueError naming the part: more than `MAX_LEVELS` levels, more than
  `MAX_TOPIC_BYTES` UTF-8 bytes, an empty level, ``/ + #`` or NUL inside a
  level, a first level starting with ``$``.
* Subscriptions are in effect or not: `subscribe` returns once the broker
  granted the filter; a refusal (SUBACK 0x80) raises `SubscriptionRefused`,
  a timeout `TimeoutError`, a lost link `BusConnectionError`, and the filter
  is then withdrawn (an UNSUBSCRIBE follows on this link or the next one),
  so a late grant never delivers.
* Every QoS 1 event is acknowledged (paho's manual acknowledgements) only
  when the delivery core says its handlers returned; an acknowledgement
  for a link that has since dropped is not sent (the broker redelivers).
  paho's network thread only reads and hands events to the core; handlers
  run elsewhere, so pings go on while a handler is slow.
* ``hold(True)`` stops reading: the network thread waits inside the message
  callback until the core has room again, writing the acknowledgements of
  handled events and a PINGREQ every half keepalive meanwhile, so the broker
  keeps the link; the rest waits in the socket and at the broker.  (mosquitto
  2.0 sends past its in-flight window once acknowledgements flow, so this
  bound is what limits a slow consumer at QoS 1 too.)
* Publishing never drops silently: QoS 0 while the link is down raises
  `BusConnectionError`; QoS 1 events waiting for their PUBACK (queued while
  the link is down) are bounded by ``max_outbound`` events and
  ``max_outbound_bytes`` bytes: when full, `publish` waits up to
  ``reply_timeout`` for room while connected and raises at once while not,
  queueing nothing.  Every status paho returns is checked.
* Servers: ``[(host, port), ...]``; connects to the first that answers within
  its share of ``connect_timeout`` and moves to the next when the link drops,
  subscribing again.  With ``group`` the filters are ``$share/<group>/...``;
  connecting sends a probe event through the group filter and raises
  `BusConnectionError` when it does not come back (a broker without shared
  subscriptions acknowledges them and delivers nothing).
"""

from __future__ import annotations

import logging
import re
import threading
import time
import uuid
from typing import Any

import paho.mqtt.client as mqtt
from paho.mqtt.enums import CallbackAPIVersion, MQTTErrorCode

from quenda_loomi.bus.core import BusConnectionError, DeliveryCore, SubscriptionRefused, TransportOptions
from quenda_loomi.capi.tessaly import Topic, TopicPartExact

__all__ = ["MAX_LEVELS", "MAX_TOPIC_BYTES", "MqttTransport", "mqtt_filter", "publish_name"]

log = logging.getLogger("quenda_loomi.bus")

# mosquitto closes the connection of a client that sends a topic or a filter
# (counted with its "$share/<group>/" levels) deeper than about 200 levels.
MAX_LEVELS = 200
# An MQTT string is prefixed by a 16-bit length.
MAX_TOPIC_BYTES = 65535
# The largest MQTT packet (remaining length of four bytes).
MAX_PACKET = 268_435_455

_MQTT_SPECIAL = ("/", "+", "#", "\0")
# A segment of a topic literal that the literal grammar reads as a wildcard, range or pattern.
_SEGMENT_GENERIC = re.compile(r"\+.+|\{.+\}|\(.+\)|/.*")
_PROBE_PREFIX = "quenda-loomi-probe"


def _check_level(text: str, first: bool, what: str) -> None:
    if not text:
        raise ValueError(f"{what} is empty")
    bad = next((c for c in _MQTT_SPECIAL if c in text), None)
    if bad is not None:
        raise ValueError(f"{what} {text!r} cannot be one MQTT level (contains {bad!r})")
    if first and text.startswith("$"):
        raise ValueError(f"{what} {text!r} cannot be the first MQTT level (starts with '$')")


def _check_size(levels: int, text: str, what: str) -> None:
    if levels > MAX_LEVELS:
        raise ValueError(f"{what} has {levels} levels; MQTT brokers accept at most {MAX_LEVELS}")
    size = len(text.encode("utf-8", "surrogatepass"))
    if size > MAX_TOPIC_BYTES:
        raise ValueError(f"{what} is {size} bytes in UTF-8; MQTT carries at most {MAX_TOPIC_BYTES}")


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


def publish_name(topic: Topic | str) -> str:
    """The MQTT topic name of an exact topic, checked level by level and whole."""
    if isinstance(topic, str):
        # Read the literal without Topic(): that would register every
        # published literal (ids included) for the life of the process.
        levels = [segment for segment in topic.split(".") if segment]
        for position, segment in enumerate(levels):
            if _SEGMENT_GENERIC.fullmatch(segment):
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
    name = "/".join(levels)
    _check_size(len(levels), name, "the topic")
    return name


class _Request:
    """A SUBSCRIBE or UNSUBSCRIBE waiting for the broker's answer."""

    __slots__ = ("done", "outcome")

    def __init__(self) -> None:
        self.done = threading.Event()
        self.outcome: str | None = None  # "granted", "refused", "lost"


class MqttTransport:
    """One paho client over a list of MQTT servers."""

    separator = "/"
    # paho's network thread answers pings: handlers never run on it.
    intake_may_handle = False

    def __init__(self, servers: list[tuple[str, int]], secure: bool, options: TransportOptions) -> None:
        if not servers:
            raise ValueError("no MQTT server given")
        if options.group is not None:
            if not options.group or any(c in options.group for c in _MQTT_SPECIAL):
                raise ValueError(f"group {options.group!r} cannot be a shared-subscription name")
        if not 1 <= options.max_outbound <= 65_000:
            raise ValueError("max_outbound must be between 1 and 65000 (MQTT has 65535 message ids)")
        clean_session = options.clean_session
        if clean_session is None:
            clean_session = options.client_id is None
        if not clean_session and not options.client_id:
            raise ValueError("a persistent session (clean_session=False) needs a client_id")
        if secure and options.tls is None:
            raise ValueError("mqtts:// needs tls=ssl.SSLContext(...)")
        self.servers = list(servers)
        self.options = options
        self.group = options.group
        self._current = 0
        self._lock = threading.Lock()
        self._room = threading.Condition(self._lock)
        self._waiting: dict[int, _Request] = {}
        self._granted: set[str] = set()
        self._withdraw: set[str] = set()  # filters whose grant is uncertain: unsubscribe them
        self._outbound: dict[int, int] = {}  # QoS 1 publish mid -> bytes, until its PUBACK
        self._early_acks: set[int] = set()  # PUBACKs that came before publish() filed their id
        self._unowned_acks: set[int] = set()
        self._outbound_bytes = 0
        self._outbound_count = 0
        self._generation = 0
        # Until paho's network thread runs, the connecting thread drives the
        # client: acknowledgements of events handled meanwhile (a persistent
        # session's backlog) wait here, so two threads never drive it at once.
        self._network_thread = False
        self._deferred_acks: list[int] = []
        self._connack: str | None = None
        self._connected = threading.Event()
        self._resume = threading.Event()
        self._resume.set()
        self._closing = False
        self._core: DeliveryCore | None = None
        self._probe: tuple[str, threading.Event] | None = None
        self._counts = {"reconnects": 0, "failovers": 0, "stale_acks": 0, "publish_refused": 0}

        client = mqtt.Client(CallbackAPIVersion.VERSION2, client_id=options.client_id or "",
                             protocol=mqtt.MQTTv311, clean_session=clean_session, manual_ack=True)
        client.connect_timeout = options.connect_timeout
        client.reconnect_delay_set(options.reconnect_delay[0], options.reconnect_delay[1])  # type: ignore[arg-type]
        if options.username is not None:
            client.username_pw_set(options.username, options.password)
        if options.tls is not None:
            client.tls_set_context(options.tls)
        client.on_connect = self._on_connect
        client.on_connect_fail = self._on_connect_fail
        client.on_disconnect = self._on_disconnect
        client.on_message = self._on_message
        client.on_subscribe = self._on_suback
        client.on_unsubscribe = self._on_unsuback
        client.on_publish = self._on_puback
        self._client = client

    # -- names --------------------------------------------------------------

    def broker_filter(self, topic: Topic) -> str:
        text = mqtt_filter(topic)
        full = text if self.group is None else f"$share/{self.group}/{text}"
        _check_size(full.count("/") + 1, full, "the broker filter")
        return full

    def publish_name(self, topic: Topic | str) -> str:
        return publish_name(topic)

    def where(self) -> str:
        host, port = self.servers[self._current]
        return f"MQTT broker at {host}:{port}"

    # -- connection -----------------------------------------------------------

    def start(self, core: DeliveryCore) -> None:
        """Connects to the first server that accepts within its share of connect_timeout."""
        self._core = core
        client = self._client
        share = self.options.connect_timeout / len(self.servers)
        failures = []
        for index, (host, port) in enumerate(self.servers):
            self._current = index
            self._connack = None
            deadline = time.monotonic() + share
            try:
                client.connect(host, port, keepalive=self.options.keepalive)
            except (OSError, ValueError) as error:
                failures.append(f"{host}:{port}: {error}")
                continue
            while self._connack is None and time.monotonic() < deadline:
                if client.loop(timeout=0.05) != MQTTErrorCode.MQTT_ERR_SUCCESS:
                    break
            if self._connack == "accepted":
                break
            if self._connack is not None:
                # Credentials refused: another node of the same cluster would refuse them too.
                client.disconnect()
                raise BusConnectionError(f"the MQTT broker at {host}:{port} refused the connection: {self._connack}")
            failures.append(f"{host}:{port}: no CONNACK within {share:g} s")
        else:
            client.disconnect()
            raise BusConnectionError("cannot connect to the MQTT broker at " + "; ".join(failures))
        client.loop_start()
        with self._lock:
            self._network_thread = True
            deferred, self._deferred_acks = self._deferred_acks, []
        for mid in deferred:
            client.ack(mid, 1)
        if self.group is not None:
            try:
                self._probe_group()
            except BaseException:
                self.close()
                raise

    def _probe_group(self) -> None:
        """Sends one event through the group filter; a broker without shared subscriptions never delivers it."""
        name = f"{_PROBE_PREFIX}/{uuid.uuid4().hex}"
        arrived = threading.Event()
        self._probe = (name, arrived)
        full = f"$share/{self.group}/{name}"
        try:
            self.subscribe(full)
            self._client.publish(name, b"", qos=1)
            wait = max(self.options.reply_timeout, 1.0)
            if not arrived.wait(wait):
                raise BusConnectionError(
                    f"the {self.where()} acknowledged the shared subscription {full!r} but delivered nothing "
                    f"through it within {wait:g} s: it does not deliver shared subscriptions, which group="
                    f"{self.group!r} needs (use a broker that does, or no group)")
            self.unsubscribe(full)
        finally:
            self._probe = None

    def _on_connect(self, client: mqtt.Client, userdata: object, flags: Any, reason: Any, properties: Any) -> None:
        if reason.is_failure:
            if self._connack == "accepted":
                log.error("the %s refused the reconnection: %s", self.where(), reason)
            self._connack = str(reason)
            return
        with self._lock:
            if self._connack is not None:
                self._counts["reconnects"] += 1
            self._generation += 1
            granted = sorted(self._granted)
            withdraw = sorted(self._withdraw - self._granted)
            self._withdraw.clear()
        # A clean session lost the filters and a persistent one keeps them;
        # subscribing again is harmless either way.
        if granted:
            client.subscribe([(f, self.options.qos) for f in granted])
        if withdraw:
            client.unsubscribe(withdraw)
        self._connack = "accepted"
        self._connected.set()

    def _on_connect_fail(self, client: mqtt.Client, userdata: object) -> None:
        self._next_server()

    def _on_disconnect(self, client: mqtt.Client, userdata: object, flags: Any, reason: Any, properties: Any) -> None:
        self._connected.clear()
        with self._lock:
            self._generation += 1
            requests = list(self._waiting.values())
            self._waiting.clear()
        for request in requests:
            request.outcome = "lost"
            request.done.set()
        if not self._closing:
            log.warning("lost the %s (%s); reconnecting", self.where(), reason)
            self._next_server()

    def _next_server(self) -> None:
        if self._closing or len(self.servers) < 2:
            return
        self._current = (self._current + 1) % len(self.servers)
        host, port = self.servers[self._current]
        with self._lock:
            self._counts["failovers"] += 1
        # On the network thread: paho's loop reconnects to the new address.
        self._client.connect_async(host, port, keepalive=self.options.keepalive)

    @property
    def connected(self) -> bool:
        return self._connected.is_set()

    def close(self) -> None:
        if self._closing:
            return
        self._closing = True
        self._resume.set()
        with self._lock:
            requests = list(self._waiting.values())
            self._waiting.clear()
            self._room.notify_all()
        for request in requests:
            request.outcome = "lost"
            request.done.set()
        client = self._client
        client.disconnect()
        if threading.current_thread() is not getattr(client, "_thread", None):
            client.loop_stop()

    # -- subscriptions ----------------------------------------------------------

    def _wait_connected(self, deadline: float, what: str) -> None:
        while not self._connected.is_set():
            if self._closing:
                raise BusConnectionError(f"the bus is closing; {what} was not sent")
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise BusConnectionError(f"not connected to the {self.where()}; {what} was not sent")
            self._connected.wait(min(remaining, 0.05))

    def _request(self, send: Any, what: str, deadline: float) -> _Request:
        request = _Request()
        with self._lock:
            rc, mid = send()
            if rc != MQTTErrorCode.MQTT_ERR_SUCCESS or mid is None:
                raise BusConnectionError(f"{what} could not be sent to the {self.where()}: {mqtt.error_string(rc)}")
            self._waiting[mid] = request
        while not request.done.wait(min(max(deadline - time.monotonic(), 0.0), 0.05)):
            if time.monotonic() >= deadline or self._closing:
                with self._lock:
                    self._waiting.pop(mid, None)
                break
        return request

    def subscribe(self, broker_filter: str) -> None:
        timeout = self.options.reply_timeout
        deadline = time.monotonic() + timeout
        what = f"the subscription {broker_filter!r}"
        self._wait_connected(deadline, what)
        request = self._request(lambda: self._client.subscribe(broker_filter, self.options.qos), what, deadline)
        if request.outcome == "granted":
            with self._lock:
                self._granted.add(broker_filter)
                self._withdraw.discard(broker_filter)
            return
        if request.outcome == "refused":
            raise SubscriptionRefused(f"the {self.where()} refused {what} (SUBACK 0x80)")
        # No answer: the broker may still grant it.  Withdraw it now, or on the next link.
        with self._lock:
            self._withdraw.add(broker_filter)
        if self._connected.is_set():
            self._client.unsubscribe(broker_filter)
        if request.outcome == "lost":
            raise BusConnectionError(f"lost the {self.where()} before it answered {what}; it is not in effect")
        raise TimeoutError(f"the {self.where()} did not answer {what} within {timeout:g} s; it is not in effect")

    def unsubscribe(self, broker_filter: str) -> None:
        with self._lock:
            self._granted.discard(broker_filter)
            self._withdraw.add(broker_filter)
        if not self._connected.is_set() or self._closing:
            return  # the next link withdraws it
        deadline = time.monotonic() + self.options.reply_timeout
        try:
            request = self._request(lambda: self._client.unsubscribe(broker_filter), f"the removal of {broker_filter!r}",
                                    deadline)
        except BusConnectionError:
            return
        if request.outcome == "granted":
            with self._lock:
                if broker_filter not in self._granted:
                    self._withdraw.discard(broker_filter)

    def _on_suback(self, client: mqtt.Client, userdata: object, mid: int, reasons: Any, properties: Any) -> None:
        with self._lock:
            request = self._waiting.pop(mid, None)
        if request is not None:
            request.outcome = "refused" if any(r.is_failure for r in reasons) else "granted"
            request.done.set()
        elif any(r.is_failure for r in reasons):
            log.error("the %s refused a subscription sent again after reconnecting", self.where())

    def _on_unsuback(self, client: mqtt.Client, userdata: object, mid: int, reasons: Any, properties: Any) -> None:
        with self._lock:
            request = self._waiting.pop(mid, None)
        if request is not None:
            request.outcome = "granted"
            request.done.set()

    # -- delivery ---------------------------------------------------------------

    def _on_message(self, client: mqtt.Client, userdata: object, message: mqtt.MQTTMessage) -> None:
        try:
            name = message.topic
        except UnicodeDecodeError:
            name = ""  # counted as unrepresentable by the core
        probe = self._probe
        if probe is not None and name == probe[0]:
            probe[1].set()
            if message.qos:
                client.ack(message.mid, message.qos)
            return
        core = self._core
        if core is None:
            return
        if message.qos:
            generation, mid = self._generation, message.mid
            core.offer(name, message.payload, lambda: self._ack(generation, mid))
        else:
            core.offer(name, message.payload, None)
        if not self._resume.is_set():
            self._held_reading()

    def _held_reading(self) -> None:
        """The core is full: stop reading until its handlers caught up, and keep the link alive meanwhile.

        Runs on the network thread, inside the message callback: the
        acknowledgements of handled events are written from here, and a
        PINGREQ every half keepalive tells the broker the client lives even
        while no handler returns.  paho is not told to expect the PINGRESP:
        it may sit behind the events the socket holds.
        """
        client = self._client
        interval = max(self.options.keepalive / 2, 0.1)
        last_ping = time.monotonic()
        while not self._resume.wait(0.02) and not self._closing:
            client.loop_write()
            if time.monotonic() - last_ping >= interval and self._connected.is_set():
                last_ping = time.monotonic()
                if client._send_pingreq() == MQTTErrorCode.MQTT_ERR_SUCCESS:
                    client._ping_t = 0
                client.loop_write()

    def _ack(self, generation: int, mid: int) -> None:
        if generation != self._generation:
            # That link is gone; the broker delivers the event again, and the
            # id may belong to another event on the new link.
            with self._lock:
                self._counts["stale_acks"] += 1
            return
        with self._lock:
            if not self._network_thread:
                self._deferred_acks.append(mid)
                return
        self._client.ack(mid, 1)

    def hold(self, on: bool) -> None:
        if on:
            self._resume.clear()
        else:
            self._resume.set()

    # -- publishing ---------------------------------------------------------------

    def publish(self, name: str, payload: bytes, qos: int, retain: bool) -> mqtt.MQTTMessageInfo:
        size = len(payload)
        if size + len(name.encode()) + 4 > MAX_PACKET:
            raise ValueError(f"a payload of {size} bytes exceeds the largest MQTT packet ({MAX_PACKET} bytes)")
        if qos == 0:
            if not self._connected.is_set():
                raise BusConnectionError(f"not connected to the {self.where()}: a QoS 0 event would be lost")
            info = self._client.publish(name, payload, qos=0, retain=retain)
            with self._lock:
                # paho reports QoS 0 events as published too: not one of ours to count.
                if info.mid in self._early_acks:
                    self._early_acks.discard(info.mid)
                else:
                    self._unowned_acks.add(info.mid)
            if info.rc != MQTTErrorCode.MQTT_ERR_SUCCESS:
                raise BusConnectionError(f"the QoS 0 event was not sent: {mqtt.error_string(info.rc)}")
            return info
        self._reserve(size)
        try:
            info = self._client.publish(name, payload, qos=qos, retain=retain)
        except BaseException:
            self._release(size)
            raise
        # NO_CONN: paho keeps a QoS 1 event and sends it when the link is back.
        if info.rc not in (MQTTErrorCode.MQTT_ERR_SUCCESS, MQTTErrorCode.MQTT_ERR_NO_CONN):
            self._release(size)
            raise BusConnectionError(f"the QoS 1 event was not accepted: {mqtt.error_string(info.rc)}")
        with self._lock:
            if info.mid in self._early_acks:
                self._early_acks.discard(info.mid)
                self._free(size)
            else:
                self._outbound[info.mid] = size
        return info

    def _reserve(self, size: int) -> None:
        options = self.options
        deadline = time.monotonic() + options.reply_timeout
        with self._lock:
            while (self._outbound_count >= options.max_outbound
                   or (self._outbound_count and self._outbound_bytes + size > options.max_outbound_bytes)):
                remaining = deadline - time.monotonic()
                if not self._connected.is_set() or remaining <= 0 or self._closing:
                    self._counts["publish_refused"] += 1
                    state = "connected" if self._connected.is_set() else "not connected"
                    raise BusConnectionError(
                        f"{state} to the {self.where()} and {self._outbound_count} QoS 1 events "
                        f"({self._outbound_bytes} bytes) already wait for it (max_outbound={options.max_outbound}, "
                        f"max_outbound_bytes={options.max_outbound_bytes}); this one was not queued")
                self._room.wait(min(remaining, 0.05))
            self._outbound_count += 1
            self._outbound_bytes += size

    def _free(self, size: int) -> None:
        self._outbound_count -= 1
        self._outbound_bytes -= size
        self._room.notify()

    def _release(self, size: int) -> None:
        with self._lock:
            self._free(size)

    def _on_puback(self, client: mqtt.Client, userdata: object, mid: int, reason: Any, properties: Any) -> None:
        with self._lock:
            size = self._outbound.pop(mid, None)
            if size is None:
                if mid in self._unowned_acks:
                    self._unowned_acks.discard(mid)
                else:
                    self._early_acks.add(mid)
            else:
                self._free(size)

    def stats(self) -> dict[str, int]:
        with self._lock:
            snapshot = dict(self._counts)
            snapshot["outbound"] = self._outbound_count
            snapshot["outbound_bytes"] = self._outbound_bytes
        return snapshot
