"""A walk through the life of one topic.

Events are addressed by topics: dot-separated literals whose segments are
exact names, named wildcards (+name or {name}), ranges of alternatives
((a|b|c)) or regular-expression patterns (/.../).  This script builds the
generic topic ``orders.+region.(buy|sell)``, looks at its parts, matches
concrete topics against it, fills wildcards from a mapping, composes topics,
looks topics up in the process-wide registry and finally switches the
engine's allocator configuration for a stretch of code.

Run it with the built packages on the path:

    tools/demo.sh    (or .venv/bin/python examples/topic_walkthrough.py after tools/build.sh)
"""

from quenda_loomi.base.durrowmere_skalvotin import QL_LOCKED, RUNTIME_ALLOCATOR_CONFIG
from quenda_loomi.capi.tessaly import (
    Topic,
    TopicIndex,
    TopicPartAny,
    TopicPartExact,
    get_internal_map,
    get_internal_topic,
)

GENERIC = "orders.+region.(buy|sell)"


def heading(title: str) -> None:
    print()
    print(title)
    print("=" * len(title))


def show_parts(topic: Topic) -> None:
    for position, part in enumerate(topic):
        print(f"  [{position}] {part.ttype.name:<18} {part!r}")


def building() -> Topic:
    heading("1. Building a generic topic")
    orders = Topic(GENERIC)
    print(f"Topic({GENERIC!r})")
    print(f"  repr:     {orders!r}")
    print(f"  exact:    {bool(orders.is_exact)}  (it has a wildcard and a range)")
    print(f"  parts:    {len(orders)}")
    show_parts(orders)
    return orders


def matching(orders: Topic) -> None:
    heading("2. Matching concrete topics against it")
    print("Each position is compared; the exact side supplies the text.")
    for literal in ("orders.eu.buy", "orders.us.sell", "orders.eu.hold", "orders.eu"):
        result = Topic(literal).match(orders)
        print(f"  {literal:<15} -> {result!r}")
    result = Topic("orders.eu.buy").match(orders)
    print()
    print("orders.eu.buy, position by position:")
    for node in result:
        print(f"  matched={node['matched']} literal={node['literal']!r:<9} generic side: {node['part_b']!r}")
    print("to_dict() maps every matched text to the part of the generic topic:")
    print(f"  {result.to_dict()}")


def formatting() -> None:
    heading("3. Filling wildcards from a mapping")
    template = Topic("orders.{region}.{side}")
    print(f"template:                          {template}")
    print(f"template.format(region='eu'):      {template.format(region='eu')}")
    print(f"template(region='us', side='buy'): {template(region='us', side='buy')}")
    try:
        template.format_map({"region": "eu"}, strict=True)
    except KeyError as missing:
        print(f"strict format_map without 'side' raises KeyError {missing}")
    try:
        Topic(GENERIC).format(region="eu")
    except ValueError as unsupported:
        print(f"a topic with a range cannot be formatted: {unsupported}")
    print(f"the template is unchanged:         {template}")


def composing() -> None:
    heading("4. Composing topics")
    print(f"Topic('orders') + Topic('eu.buy')      -> {Topic('orders') + Topic('eu.buy')}")
    print(f"Topic('orders') + TopicPartAny('side') -> {Topic('orders') + TopicPartAny('side', alloc=True)}")
    print(f"Topic.join(['orders', 'eu', 'buy'])    -> {Topic.join(['orders', 'eu', 'buy'])}")
    parts = [TopicPartExact("orders", alloc=True), TopicPartAny("region", alloc=True)]
    print(f"Topic.from_parts([...])                -> {Topic.from_parts(parts)}")
    growing = Topic()
    for segment in ("audit", "orders"):
        growing += TopicPartExact(segment, alloc=True)
    print(f"an empty Topic() after two +=          -> {growing}")


def registry(orders: Topic) -> None:
    heading("5. The registry: one literal, one record")
    registered = get_internal_topic(GENERIC)
    assert registered is not None  # built in step 1, and the registry keeps every literal
    print(f"get_internal_topic({GENERIC!r})")
    print(f"  same record as the topic built in step 1: {registered.addr == orders.addr}")
    print(f"  an unknown literal gives: {get_internal_topic('no.such.topic')}")
    literals = list(get_internal_map())
    print(f"get_internal_map() holds {len(literals)} literals, the first ones:")
    for literal in literals[:5]:
        print(f"  {literal}")


def dispatching() -> None:
    heading("6. Dispatching one event to many subscriptions")
    handlers = TopicIndex()
    handlers.add("orders.+region.buy", "buyers in any region")
    handlers.add("orders.(eu|uk).+side", "European desk")
    handlers.add(Topic("orders./^e/.+side"), "regions starting with e")
    handlers.add("audit.+anything", "auditor")
    print(f"{handlers!r}: one native walk per event, whatever the number of subscriptions")
    event = Topic("orders.eu.buy")
    print(f"match({event}) -> {handlers.match(event)}")
    for value, result in handlers.match_results(event):
        wildcards = {part.name: text for text, part in result.to_dict().items() if isinstance(part, TopicPartAny)}
        print(f"  {value:<24} wildcard values: {wildcards}")
    handlers.remove("audit.+anything", "auditor")
    print(f"after remove(): {len(handlers)} subscriptions")


def flags() -> str:
    config = RUNTIME_ALLOCATOR_CONFIG
    return f"locked={config.QL_CFG_LOCKED} shared={config.QL_CFG_SHARED} freelist={config.QL_CFG_FREELIST}"


def configuration() -> None:
    heading("7. Switching the allocator configuration")
    print(f"outside any context:  {flags()}")
    with QL_LOCKED:
        print(f"inside 'with QL_LOCKED': {flags()}")
        locked_topic = Topic("orders.eu.buy") + Topic("urgent")
        print(f"  topics still work there: {locked_topic}")
    print(f"after the block:      {flags()}")


def main() -> None:
    orders = building()
    matching(orders)
    formatting()
    composing()
    registry(orders)
    dispatching()
    configuration()


if __name__ == "__main__":
    main()
