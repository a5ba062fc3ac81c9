"""The NATS transport of the bus, over the native link `_natsbus.Link` (libnats).

Contract (what `Bus("nats://h1:4222,h2:4222", ...)` gets):

* Subjects: each exact part of a topic is one NATS token, joined with ``.``;
  a subscription's filter has ``*`` for every generic part.  A part that a
  token cannot carry (empty, whitespace, NUL, ``*``, ``>``, ``.`` inside it)
  raises ValueError naming the part, and nothing is sent.  Foreign subjects
  arrive token by token as exact parts.
* ``qos=0``: core NATS subscriptions; ``group`` is a queue group (each
  event to one member).  At most once: a process that is away misses events.
* ``qos=1``: JetStream.  `ensure_stream` creates a stream (file storage) or
  checks an existing one; a qos 1 subscribe or publish whose subject no
  stream captures raises `NoStream` naming the subject.  ``publish`` returns
  once the stream stored the event and raises otherwise.  A ``group`` or a
  ``client_id`` names a durable pull consumer, one per name and filter
  (``<name>_<hash of the filter>``), shared by every member, that outlives
  its subscribers; without either the consumer is ephemeral.  Events are
  acknowledged after their handlers returned; one not acknowledged within
  ``ack_wait`` seconds (default 30) goes to a member again.  Fetching pauses
  while the delivery core holds, so a slow consumer leaves the rest in the
  stream.
* Failover: libnats connects to the first server of the list that answers
  and reconnects through the list on its own; durable consumers of a
  replicated stream survive the loss of a node.  An ephemeral consumer
  lives on one node: after 2 s of empty fetches the link asks for it, and
  when no node answers for it, makes a new one that starts right after the
  last stream sequence fetched (``stats()["nats_consumers_recreated"]``),
  so nothing is skipped or fetched twice.  Unreachable servers or refused
  credentials raise `BusConnectionError` naming the servers within
  ``connect_timeout``.
* Handlers (``delivery="thread"``) run on the link's dispatcher thread, not
  on libnats' threads, which keep answering the server.  A link still open
  when the interpreter exits is closed by an ``atexit`` hook, so no native
  thread enters Python during finalization.
* TLS: ``tls://`` URLs; the `ssl.SSLContext`'s CA certificates are handed to
  libnats (client certificates in the context are not).
"""

from __future__ import annotations

import atexit
import hashlib
import re
import ssl
import weakref
from typing import TYPE_CHECKING

from quenda_loomi.bus.core import BusConnectionError, DeliveryCore, TransportOptions
from quenda_loomi.bus.nats._natsbus import Link
from quenda_loomi.capi.tessaly import Topic, TopicPartExact

if TYPE_CHECKING:
    from quenda_loomi.capi.tessaly import TopicPart

__all__ = ["MAX_SUBJECT_BYTES", "NatsTransport", "NoStream", "nats_filter", "nats_subject"]

# nats-server reads a protocol line of at most 4096 bytes (max_control_line);
# the rest of a PUB or SUB line must fit beside the subject.
MAX_SUBJECT_BYTES = 3800
_BAD_TOKEN = re.compile(r"[\s\x00*>.]")
_DURABLE_NAME = re.compile(r"[A-Za-z0-9_-]{1,64}")
_GENERIC_SEGMENT = re.compile(r"\+.|\{.+\}|\(.+\)")


# Transports whose link is open: closed at exit, while Python can still
# join the dispatcher threads (they keep a thread state of their own).
_open_transports: weakref.WeakSet[NatsTransport] = weakref.WeakSet()


@atexit.register
def _close_open_transports() -> None:
    for transport in list(_open_transports):
        transport.close()


class NoStream(LookupError):
    """No JetStream stream captures the subject of a qos 1 subscribe or publish."""


def _check_token(text: str, what: str) -> None:
    if not text:
        raise ValueError(f"{what} is empty; a NATS token cannot be")
    bad = _BAD_TOKEN.search(text)
    if bad is not None:
        raise ValueError(f"{what} {text!r} cannot be one NATS token (contains {bad.group()!r})")


def _check_size(subject: str) -> str:
    size = len(subject.encode("utf-8", "surrogatepass"))
    if size > MAX_SUBJECT_BYTES:
        raise ValueError(f"the subject is {size} bytes in UTF-8; the transport sends at most {MAX_SUBJECT_BYTES}")
    return subject


def nats_filter(topic: Topic) -> str:
    """The subject filter of a subscription: exact parts as tokens, every other part ``*``."""
    tokens = []
    for position, part in enumerate(topic):
        if isinstance(part, TopicPartExact):
            _check_token(part.part, f"part {position}")
            tokens.append(part.part)
        else:
            tokens.append("*")
    if not tokens:
        raise ValueError("an empty topic has no subject filter")
    return _check_size(".".join(tokens))


def nats_subject(topic: Topic | str) -> str:
    """The subject of an exact topic, checked token by token."""
    parts: list[tuple[str, TopicPart | str]]
    if isinstance(topic, str):
        # Split the literal without Topic(): that would register every published literal (ids included).
        parts = [(segment, segment) for segment in topic.split(".")] if topic else []
        for position, (segment, _) in enumerate(parts):
            if _GENERIC_SEGMENT.fullmatch(segment):
                raise ValueError(f"cannot publish the generic topic {topic!r}: part {position} {segment!r} is not exact")
    elif isinstance(topic, Topic):
        parts = []
        for position, part in enumerate(topic):
            if not isinstance(part, TopicPartExact):
                raise ValueError(
                    f"cannot publish the generic topic {str(topic)!r}: part {position} {part!r} is not exact")
            parts.append((part.part, part))
    else:
        raise TypeError(f"topic must be a Topic or a str, not {type(topic).__name__}")
    if not parts:
        raise ValueError("cannot publish an empty topic")
    for position, (text, _) in enumerate(parts):
        _check_token(text, f"part {position}")
    return _check_size(".".join(text for text, _ in parts))


def _ca_pem(context: ssl.SSLContext) -> str | None:
    certificates = context.get_ca_certs(binary_form=True)
    if not certificates:
        return None
    return "".join(ssl.DER_cert_to_PEM_cert(der) for der in certificates)


class NatsTransport:
    """One libnats connection; qos 0 over core NATS, qos 1 over JetStream pull consumers."""

    separator = "."
    # Handlers may run on the dispatcher thread: libnats answers pings on its own.
    intake_may_handle = True

    def __init__(self, servers: list[str], secure: bool, options: TransportOptions) -> None:
        if not servers:
            raise ValueError("no NATS server given")
        name = options.group if options.group is not None else options.client_id
        if name is not None and not _DURABLE_NAME.fullmatch(name):
            raise ValueError(f"the group or client id {name!r} must be 1 to 64 letters, digits, '_' or '-' "
                             "(it names a queue group or a JetStream consumer)")
        self.servers = [s.replace("nats://", "tls://", 1) if secure else s for s in servers]
        self.options = options
        self.qos = options.qos
        self._consumer_name = name
        tls = options.tls
        self._link_options = dict(
            user=options.username, password=options.password,
            secure=secure or tls is not None, ca_pem=_ca_pem(tls) if tls is not None else None,
            verify=tls is None or tls.verify_mode != ssl.CERT_NONE,
            connect_timeout=options.connect_timeout, reconnect_wait=options.reconnect_delay[0],
            reply_timeout=options.reply_timeout, ack_wait=options.ack_wait)
        self._link = Link(self.servers, **self._link_options)  # type: ignore[arg-type]
        self._subscriptions: dict[str, int] = {}
        self._started = False
        self._core: DeliveryCore | None = None

    def where(self) -> str:
        return "NATS servers " + ", ".join(self.servers)

    # -- names -----------------------------------------------------------------------------------

    def broker_filter(self, topic: Topic) -> str:
        return nats_filter(topic)

    def publish_name(self, topic: Topic | str) -> str:
        return nats_subject(topic)

    def durable_name(self, broker_filter: str) -> str | None:
        """The JetStream consumer of a group or client id for one filter (None: ephemeral)."""
        if self._consumer_name is None:
            return None
        digest = hashlib.blake2b(broker_filter.encode(), digest_size=8).hexdigest()
        return f"{self._consumer_name}_{digest}"

    # -- link ------------------------------------------------------------------------------------

    def start(self, core: DeliveryCore) -> None:
        self._core = core
        # A fetch asks for at most the core's bound, and what is fetched and not handled
        # stays within that bound plus one fetch: the rest stays in the stream.
        batch = max(1, min(512, core.max_pending))
        self._link.close()
        self._link = Link(self.servers, max_batch=batch, max_in_flight=core.max_pending + batch,
                          **self._link_options)  # type: ignore[arg-type]
        _open_transports.add(self)
        try:
            self._link.connect(core.offer_batch)
        except ConnectionError as error:
            raise BusConnectionError(f"{self.where()}: {error}") from None
        self._started = True

    def subscribe(self, broker_filter: str) -> None:
        group = self.options.group if self.qos == 0 else None
        durable = self.durable_name(broker_filter) if self.qos == 1 else None
        try:
            self._subscriptions[broker_filter] = self._link.subscribe(broker_filter, self.qos, group, durable)
        except LookupError as error:
            raise NoStream(str(error)) from None
        except ConnectionError as error:
            raise BusConnectionError(f"{self.where()}: {error}") from None

    def unsubscribe(self, broker_filter: str) -> None:
        sid = self._subscriptions.pop(broker_filter, None)
        if sid is None:
            return
        try:
            self._link.unsubscribe(sid)
        except ConnectionError as error:
            raise BusConnectionError(f"{self.where()}: {error}") from None

    def publish(self, name: str, payload: bytes, qos: int, retain: bool) -> object:
        """Returns None once the event is sent (qos 0) or stored by a stream (qos 1)."""
        if retain:
            raise ValueError("NATS has no retained events (a stream keeps them at qos 1)")
        try:
            self._link.publish(name, payload, qos)
        except LookupError as error:
            raise NoStream(str(error)) from None
        except ConnectionError as error:
            raise BusConnectionError(f"{self.where()}: {error}") from None
        return None

    def ensure_stream(self, name: str, subjects: list[str], replicas: int = 1) -> None:
        """Creates the stream (file storage) or checks that the existing one has these subjects and replicas."""
        _check_token(name, "the stream name")
        for subject in subjects:
            for position, token in enumerate(subject.split(".")):
                if token not in ("*", ">"):
                    _check_token(token, f"token {position} of {subject!r}")
        try:
            self._link.ensure_stream(name, list(subjects), replicas)
        except ConnectionError as error:
            raise BusConnectionError(f"{self.where()}: {error}") from None

    def hold(self, on: bool) -> None:
        if self._started and self._core is not None:
            self._link.hold(on)

    @property
    def connected(self) -> bool:
        return bool(self._link.connected)

    def stats(self) -> dict[str, int]:
        raw: dict[str, int] = self._link.stats()
        # The core counts events itself; the link's counters keep their own names.
        return {("reconnects" if k == "reconnects" else "disconnects" if k == "disconnects" else f"nats_{k}"): v
                for k, v in raw.items()}

    def close(self) -> None:
        _open_transports.discard(self)
        self._link.close()
