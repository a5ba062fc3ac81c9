"""A small typed subscriber table over the topic module.

Handlers subscribe with generic topics; a published concrete topic reaches
every handler whose topic it matches, together with the values its named
wildcards took.  The file is checked with ``mypy --strict`` against the
package's stubs, and runs as a script:

    .venv/bin/python examples/typed_usage.py
"""

from collections.abc import Callable
from dataclasses import dataclass, field

from quenda_loomi.base.durrowmere_skalvotin import QL_LOCKED, RUNTIME_ALLOCATOR_CONFIG
from quenda_loomi.capi.tessaly import Topic, TopicPartAny, TopicPartRange, TopicType

Handler = Callable[[Topic, dict[str, str]], None]


def wildcard_values(topic: Topic, pattern: Topic) -> dict[str, str] | None:
    """The text each named wildcard of `pattern` took in `topic`, or None without a match."""
    result = topic.match(pattern)
    if not result:
        return None
    values: dict[str, str] = {}
    for node in result:
        generic = node["part_b"]
        if isinstance(generic, TopicPartAny) and node["literal"] is not None:
            values[generic.name] = node["literal"]
    return values


@dataclass
class Subscribers:
    handlers: list[tuple[Topic, Handler]] = field(default_factory=list)

    def subscribe(self, literal: str, handler: Handler) -> Topic:
        pattern = Topic(literal)
        self.handlers.append((pattern, handler))
        return pattern

    def publish(self, literal: str) -> int:
        """Calls every matching handler; returns how many were called."""
        topic = Topic(literal)
        called = 0
        for pattern, handler in self.handlers:
            values = wildcard_values(topic, pattern)
            if values is not None:
                handler(topic, values)
                called += 1
        return called


def describe(topic: Topic) -> list[str]:
    kinds: list[str] = []
    for part in topic:
        if part.ttype is TopicType.TOPIC_PART_RANGE and isinstance(part, TopicPartRange):
            kinds.append("one of " + "|".join(part.options()))
        else:
            kinds.append(part.ttype.name)
    return kinds


def main() -> None:
    seen: list[str] = []
    table = Subscribers()
    orders = table.subscribe("orders.+region.(buy|sell)", lambda t, v: seen.append(f"{t} region={v['region']}"))
    table.subscribe("orders.{region}.{side}", lambda t, v: seen.append(f"{t} {v}"))
    print(f"{orders!r}: {describe(orders)}")
    with QL_LOCKED:
        assert RUNTIME_ALLOCATOR_CONFIG.QL_CFG_LOCKED
        delivered = table.publish("orders.eu.buy") + table.publish("orders.us.hold")
    print(f"{delivered} deliveries:")
    for line in seen:
        print(f"  {line}")
    template: Topic = Topic("orders.{region}.{side}")
    print(f"formatted: {template.format(region='eu', side='sell')}")


if __name__ == "__main__":
    main()
