"""The delivery core every bus transport feeds, and the transport contract.

A transport (MQTT over paho, NATS over the native client) reads events off
the wire on its own thread(s) and hands each to `DeliveryCore.offer` (or a
batch to `offer_batch`) with a callback that acknowledges it to the server.
The core:

* turns the wire name into event parts (one exact part per level of the
  transport's separator; a name with an empty level or that is not text is
  counted as unrepresentable) and refines it through the bus's `TopicIndex`
  (``match_captures``) under the bus's lock.  An event no subscription wants
  is acknowledged at once;
* queues the rest for the handlers, which run one at a time on the core's
  own thread (``"thread"``), on the caller's thread inside ``run`` (``"caller"``)
  or are replaced by the async iterator ``events`` (``"asyncio"``).  A
  transport whose intake thread does not keep the link alive (it sets
  ``intake_may_handle``) has ``"thread"`` handlers run on that thread instead,
  which saves a hand-off per event;
* acknowledges an event only after every handler of it returned (in asyncio
  mode: when the consumer asks for the item after it, or calls
  ``Delivery.ack()``), so a process that dies mid-stream has acknowledged
  nothing it did not handle;
* bounds what waits: at most ``max_pending`` events and ``max_pending_bytes``
  payload bytes are offered and not yet handled; reaching either calls
  ``transport.hold(True)`` (stop reading: the server keeps the rest) and, once
  the handlers caught up to half the bound, ``hold(False)``.  ``stats()["held"]``
  counts how often the bound held delivery up.
"""

from __future__ import annotations

import asyncio
import collections
import logging
import re
import ssl
import threading
import time
from collections.abc import AsyncIterator, Callable, Sequence
from dataclasses import dataclass
from typing import Literal, NamedTuple, Protocol

from quenda_loomi.capi.tessaly import Topic, TopicIndex

__all__ = [
    "BusConnectionError", "Delivery", "DeliveryCore", "DeliveryMode", "Handler", "SubscriptionRefused",
    "Subscription", "Transport", "TransportOptions",
]

log = logging.getLogger("quenda_loomi.bus")

DeliveryMode = Literal["thread", "caller", "asyncio"]
Handler = Callable[[Topic, bytes, dict[str, str]], object]


class BusConnectionError(ConnectionError):
    """The server could not be reached, refused the client, did not answer in time, or the link is down."""


class SubscriptionRefused(RuntimeError):
    """The server answered a subscription with a refusal; nothing is in effect."""


@dataclass(frozen=True)
class TransportOptions:
    """Connection options every transport reads (each uses what applies to it)."""

    client_id: str | None = None
    group: str | None = None
    qos: int = 1
    username: str | None = None
    password: str | None = None
    tls: ssl.SSLContext | None = None
    clean_session: bool | None = None
    keepalive: int = 30
    connect_timeout: float = 10.0
    reply_timeout: float = 10.0
    reconnect_delay: tuple[float, float] = (0.5, 8.0)
    ack_wait: float = 30.0            # NATS JetStream: redelivery of unacknowledged events
    # QoS 1 publishes sent and not yet acknowledged (queued while the link is down):
    # beyond either bound `publish` raises instead of queueing.
    max_outbound: int = 10_000
    max_outbound_bytes: int = 16 << 20


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

    def ack(self) -> None:
        """Marks this delivery handled now instead of when the next one is asked for."""
        done = getattr(self, "_done", None)
        if done is not None:
            done()


class _AsyncDelivery(Delivery):
    # A subclass with a __dict__: carries the hook that marks the delivery handled.
    _done: Callable[[], None]


class Transport(Protocol):
    """What the facade and the core need from a wire transport."""

    separator: str
    # True when the thread that offers events is not the one that answers the
    # server's pings: handlers may then run on it without dropping the link.
    intake_may_handle: bool

    def broker_filter(self, topic: Topic) -> str: ...
    def publish_name(self, topic: Topic | str) -> str: ...
    def start(self, core: DeliveryCore) -> None: ...
    def subscribe(self, broker_filter: str) -> None: ...
    def unsubscribe(self, broker_filter: str) -> None: ...
    def publish(self, name: str, payload: bytes, qos: int, retain: bool) -> object: ...
    def hold(self, on: bool) -> None: ...
    @property
    def connected(self) -> bool: ...
    def stats(self) -> dict[str, int]: ...
    def close(self) -> None: ...


Ack = Callable[[], None]
BatchAck = Callable[[list[object]], None]


class _Pending:
    """An event waiting for (or inside) its handlers."""

    __slots__ = ("name", "key", "payload", "matches", "ack", "batch_ack", "token", "size", "open")

    def __init__(self, name: str, key: Topic | str, payload: bytes, matches: list[tuple[Subscription, dict[str, str]]],
                 ack: Ack | None, batch_ack: BatchAck | None, token: object) -> None:
        self.name = name
        self.key = key
        self.payload = payload
        self.matches = matches
        self.ack = ack
        self.batch_ack = batch_ack
        self.token = token
        self.size = len(payload)
        self.open = 0  # asyncio: deliveries yielded and not yet handled


# Characters the literal grammar reads as more than text inside one part; a
# name free of them (and of the other separator) is matched as text.
_LITERAL_SPECIAL = frozenset(".+{(/")
# Handled events are acknowledged together, but none waits longer than this:
# an acknowledgement held back is a duplicate after a crash.
_ACK_DELAY = 0.005
# Two wakes of the handler thread closer than this mean a stream: it then waits
# this long before taking the events, so they are handled in batches (each
# wake takes the GIL from the network thread: at 0.2 ms the bus drained 0.54x
# of raw paho's rate at QoS 0, at 2 ms 0.72x, side by side).  Events more than
# half a millisecond apart are taken at once.
_BURST_GAP = 0.0005
_BURST_LINGER = 0.002


class DeliveryCore:
    """Refines wire events through the bus's TopicIndex and runs handlers; acknowledges after they returned."""

    def __init__(self, index: TopicIndex, lock: threading.Lock, *, delivery: DeliveryMode, separator: str,
                 hold: Callable[[bool], None], max_pending: int = 1000, max_pending_bytes: int = 16 << 20,
                 intake_may_handle: bool = False) -> None:
        if max_pending < 1 or max_pending_bytes < 1:
            raise ValueError("max_pending and max_pending_bytes must be positive")
        self.delivery: DeliveryMode = delivery
        self.separator = separator
        self.max_pending = max_pending
        self.max_pending_bytes = max_pending_bytes
        self._index = index
        self._lock = lock
        self._ready = threading.Condition(lock)
        self._sleepers = 0  # threads waiting on _ready: notify() costs even with none
        self._hold = hold
        # Hold changes are decided under the lock and applied outside it, one
        # at a time and always the latest decision, so a hold(True) decided
        # earlier never lands after a later hold(False) and stops reading for good.
        self._hold_lock = threading.Lock()
        self._hold_applied = False
        self._special = re.compile("[" + re.escape("".join(sorted(_LITERAL_SPECIAL - {separator}))) + "]")
        self._queue: collections.deque[_Pending] = collections.deque()
        self._pending = 0
        self._pending_bytes = 0
        self._held = False
        self._closed = False
        self._counts = {"received": 0, "delivered": 0, "refined_away": 0, "unrepresentable": 0,
                        "handler_errors": 0, "held": 0}
        self._async_wakeup: tuple[asyncio.AbstractEventLoop, asyncio.Event] | None = None
        self._async_waiting = False
        self._thread: threading.Thread | None = None
        # Thread mode on the intake thread: whichever offering thread finds
        # nobody draining drains the queue, so handlers still run one at a time.
        self._intake_handles = delivery == "thread" and intake_may_handle
        self._draining = False
        if delivery == "thread" and not self._intake_handles:
            self._thread = threading.Thread(target=self._dispatch_forever, name="quenda-loomi-bus-handlers",
                                            daemon=True)
            self._thread.start()

    # -- intake (transport threads) ----------------------------------------

    def _key(self, name: str) -> tuple[Topic | str, list[str] | None] | None:
        """The index key of a wire name, with its levels when the key is a Topic; None if unrepresentable."""
        sep = self.separator
        if not name or name[0] == sep or name[-1] == sep or sep + sep in name:
            return None
        if self._special.search(name) is None:
            return (name if sep == "." else name.replace(sep, ".")), None
        levels = name.split(sep)
        return Topic.join(levels), levels

    def _refine(self, name: object, payload: bytes) -> tuple[Topic | str, list[tuple[Subscription, dict[str, str]]]] | None:
        """Key and matches of one event; the lock is held.  None: counted and to be acknowledged."""
        counts = self._counts
        counts["received"] += 1
        if not isinstance(name, str):
            counts["unrepresentable"] += 1
            return None
        try:
            found = self._key(name)
            if found is None:
                counts["unrepresentable"] += 1
                return None
            key = found[0]
            matches: list[tuple[Subscription, dict[str, str]]] = self._index.match_captures(key)
        except Exception:
            # One strange name must never stop a transport's thread.
            counts["unrepresentable"] += 1
            log.exception("cannot match the event name %r", name)
            return None
        if not matches:
            counts["refined_away"] += 1
            return None
        return key, matches

    def offer(self, name: str, payload: bytes, ack: Ack | None) -> None:
        """One event off the wire; `ack` (None at QoS 0) runs once its handlers returned."""
        with self._lock:
            if self._closed:
                return  # unacknowledged: the server delivers it again
            refined = self._refine(name, payload)
            if refined is not None:
                self._enqueue(_Pending(name, refined[0], payload, refined[1], ack, None, None))
                hold = self._check_bound()
                ack = None
            else:
                hold = False
        if ack is not None:
            _call_ack(ack)
        if hold:
            self._apply_hold()
        if self._intake_handles:
            self._drain_on_intake()

    def offer_batch(self, events: Sequence[tuple[str, bytes, object]], ack: BatchAck | None) -> None:
        """Events (name, payload, token) under one lock; `ack` gets each token once, after its handlers."""
        done: list[object] = []
        with self._lock:
            if self._closed:
                return  # unacknowledged: the server delivers them again
            for name, payload, token in events:
                refined = self._refine(name, payload)
                if refined is None:
                    done.append(token)
                else:
                    self._enqueue(_Pending(name, refined[0], payload, refined[1], None, ack, token))
            hold = self._check_bound()
        if done and ack is not None:
            _call_ack(ack, done)
        if hold:
            self._apply_hold()
        if self._intake_handles:
            self._drain_on_intake()

    def _enqueue(self, item: _Pending) -> None:
        self._queue.append(item)
        self._pending += 1
        self._pending_bytes += item.size
        if len(self._queue) == 1:
            if self._sleepers:
                self._ready.notify()
            if self._async_waiting:
                self._wake_async()

    def _apply_hold(self) -> None:
        with self._hold_lock:
            with self._lock:
                held = self._held
            if held != self._hold_applied:
                self._hold_applied = held
                self._hold(held)

    def _check_bound(self) -> bool:
        if self._held or (self._pending < self.max_pending and self._pending_bytes < self.max_pending_bytes):
            return False
        self._held = True
        self._counts["held"] += 1
        return True

    # -- completion -------------------------------------------------------

    def _release(self, items: Sequence[_Pending], delivered: int = 0, failed: int = 0) -> None:
        """Takes events off the bound and counts their handler calls; resumes reading at half the bound."""
        with self._lock:
            self._counts["delivered"] += delivered
            self._counts["handler_errors"] += failed
            for item in items:
                self._pending -= 1
                self._pending_bytes -= item.size
            release = self._held and (self._pending <= self.max_pending // 2
                                      and self._pending_bytes <= self.max_pending_bytes // 2)
            if release:
                self._held = False
        if release:
            self._apply_hold()

    def _finish(self, items: Sequence[_Pending], delivered: int = 0, failed: int = 0) -> None:
        """Releases handled events from the bound, counts their handler calls and acknowledges them."""
        if not items:
            return
        self._release(items, delivered, failed)
        batches: dict[int, tuple[BatchAck, list[object]]] = {}
        for item in items:
            if item.ack is not None:
                _call_ack(item.ack)
            elif item.batch_ack is not None:
                entry = batches.setdefault(id(item.batch_ack), (item.batch_ack, []))
                entry[1].append(item.token)
        for batch_ack, tokens in batches.values():
            _call_ack(batch_ack, tokens)

    def _event_topic(self, item: _Pending) -> Topic:
        key = item.key
        if isinstance(key, Topic):
            return key
        return Topic.join(item.name.split(self.separator))

    def _handle(self, item: _Pending) -> tuple[int, int]:
        """Runs the handlers of one event; returns the calls that returned normally and those that raised."""
        event = self._event_topic(item)
        payload = item.payload
        ok = failed = 0
        for subscription, captures in item.matches:
            handler = subscription.handler
            if not subscription.active or handler is None:
                continue
            try:
                handler(event, payload, captures)
            except Exception:
                failed += 1
                log.exception("handler %r failed on %s", handler, item.name)
            else:
                ok += 1
        return ok, failed

    def _take(self, limit: int) -> list[_Pending]:
        queue = self._queue
        return [queue.popleft() for _ in range(min(limit, len(queue)))]

    def _handle_all(self, items: list[_Pending]) -> int:
        """Handles events in order; acknowledges them in batches, at most a few ms after their handlers returned."""
        handled: list[_Pending] = []
        calls = ok = failed = 0
        flushed = time.monotonic()
        try:
            for item in items:
                if self._closed:
                    break  # closed from a handler: the rest stays unacknowledged
                returned, raised = self._handle(item)
                ok += returned
                failed += raised
                handled.append(item)
                now = time.monotonic()
                if now - flushed >= _ACK_DELAY:
                    self._finish(handled, ok, failed)
                    calls += ok
                    handled, flushed, ok, failed = [], now, 0, 0
        finally:
            # Never one the handlers did not finish.
            self._finish(handled, ok, failed)
        return calls + ok

    def _dispatch_forever(self) -> None:
        last_wake = 0.0
        while True:
            with self._lock:
                slept = False
                while not self._queue and not self._closed:
                    self._sleepers += 1
                    self._ready.wait()
                    self._sleepers -= 1
                    slept = True
            if slept:
                now = time.monotonic()
                if now - last_wake < _BURST_GAP:
                    # Events are streaming in: let a few gather instead of taking the GIL from
                    # the network thread for each one (a wake per event doubles the CPU per event).
                    time.sleep(_BURST_LINGER)
                last_wake = now
            with self._lock:
                if self._closed:
                    return
                items = self._take(256)
            self._handle_all(items)
            if self._closed:
                return

    def _drain_on_intake(self) -> None:
        """Thread mode on the transport's intake thread: handles what is queued unless another thread is at it."""
        with self._lock:
            if self._draining:
                return
            self._draining = True
        try:
            while True:
                with self._lock:
                    if self._closed or not self._queue:
                        self._draining = False
                        return
                    items = self._take(256)
                self._handle_all(items)
        except BaseException:
            with self._lock:
                self._draining = False
            raise

    def run(self, timeout: float) -> int:
        """Runs handlers on the calling thread for `timeout` seconds; returns the calls that returned normally."""
        deadline = time.monotonic() + timeout
        calls = 0
        while True:
            with self._lock:
                while not self._queue and not self._closed:
                    remaining = deadline - time.monotonic()
                    if remaining <= 0:
                        return calls
                    self._sleepers += 1
                    self._ready.wait(remaining)
                    self._sleepers -= 1
                if self._closed:
                    return calls
                items = self._take(256)
            calls += self._handle_all(items)
            if time.monotonic() >= deadline:
                return calls

    # -- asyncio ----------------------------------------------------------

    def _wake_async(self) -> None:
        wakeup = self._async_wakeup
        if wakeup is not None:
            try:
                wakeup[0].call_soon_threadsafe(wakeup[1].set)
            except RuntimeError:  # the consumer's loop has ended
                pass

    def _delivery_done(self, item: _Pending) -> Callable[[], None]:
        state = [False]

        def done() -> None:
            if state[0]:
                return
            state[0] = True
            with self._lock:
                item.open -= 1
                last = item.open == 0
            if last:
                self._finish([item])
        return done

    async def events(self) -> AsyncIterator[Delivery]:
        """Yields a `Delivery` per matching subscription until the core is closed.

        A delivery counts as handled when the consumer asks for the next one
        (or calls ``Delivery.ack()``); one the consumer breaks off at is not.
        """
        ready = asyncio.Event()
        self._async_wakeup = (asyncio.get_running_loop(), ready)
        current: _Pending | None = None
        try:
            while True:
                with self._lock:
                    item = self._queue.popleft() if self._queue else None
                    if item is None:
                        if self._closed:
                            return
                        self._async_waiting = True
                        ready.clear()
                if item is None:
                    await ready.wait()
                    with self._lock:
                        self._async_waiting = False
                    continue
                active = [(subscription, captures) for subscription, captures in item.matches if subscription.active]
                if not active:
                    self._finish([item])
                    continue
                event = self._event_topic(item)
                with self._lock:
                    item.open = len(active)
                current = item
                for subscription, captures in active:
                    delivery = _AsyncDelivery(subscription, event, item.payload, captures)
                    delivery._done = self._delivery_done(item)
                    with self._lock:
                        self._counts["delivered"] += 1
                    yield delivery
                    delivery.ack()
                current = None
        finally:
            with self._lock:
                self._async_wakeup = None
                self._async_waiting = False
                # The consumer stopped inside an event: not acknowledged (the server delivers it
                # again), but no longer waiting here; a late ack() of its deliveries does nothing.
                stopped = current if current is not None and current.open > 0 else None
                if stopped is not None:
                    stopped.open = -len(stopped.matches)
            if stopped is not None:
                self._release([stopped])

    # -- state ------------------------------------------------------------

    def stats(self) -> dict[str, int]:
        """A snapshot: received, delivered, refined_away, unrepresentable, handler_errors, held, pending."""
        with self._lock:
            snapshot = dict(self._counts)
            snapshot["pending"] = self._pending
            snapshot["pending_bytes"] = self._pending_bytes
        return snapshot

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Stops delivering; events not handled stay unacknowledged (the server delivers them again)."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            self._ready.notify_all()
            held, self._held = self._held, False
        self._wake_async()
        thread = self._thread
        if thread is not None and thread is not threading.current_thread():
            thread.join(10)
        if held:
            self._apply_hold()


def _call_ack(ack: Callable[..., None], *args: object) -> None:
    try:
        ack(*args)
    except Exception:
        # A lost link: the server delivers the event again.
        log.debug("acknowledgement failed", exc_info=True)
