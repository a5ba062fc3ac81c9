"""Child process of test_no_crash.py: random call sequences over both modules.

Runs `--examples` hypothesis examples.  Each example builds a pool of objects
(topics of every shape, parts, match results, contexts, subclasses whose
overrides misbehave, objects whose dunders change topics while native code
is running) and then makes a sequence of calls drawn from the surface that
introspection finds on the two modules.  Every call is written to the log
before it is made, so when the process dies the parent can show the call
that killed it.  Exceptions are expected and swallowed; a SystemError (a
native function failing without setting an exception, or returning a value
with one set) is reported and ends the run with exit status 3.

Hypothesis draws each example's values (literals, texts, odd primitives)
from `--seed`; the decisions that depend on process state (which pool
object, which operation) come from a Random seeded with the batch seed and
the example number, so a batch replays the same calls when run again.
"""

import argparse
import collections
import copy
import gc
import os
import pickle
import random
import re as real_re
import sys
import types

from hypothesis import HealthCheck, Phase, given, seed, settings
from hypothesis import strategies as st

import quenda_loomi.base.durrowmere_skalvotin as config
import quenda_loomi.capi.tessaly as tessaly
import reentry_stress

MODULES = (tessaly, config)

# Class attributes that are data, not operations.
NOT_OPERATIONS = {
    "__doc__", "__module__", "__pyx_vtable__", "__firstlineno__", "__static_attributes__",
    "__dict__", "__weakref__", "__slots__", "__abstractmethods__", "_abc_impl",
}


# ---------------------------------------------------------------- surface ---

def own_module(obj):
    return getattr(obj, "__module__", None) in {m.__name__ for m in MODULES}


def discover_surface():
    """(label, kind, owner class or None, name) for every public operation."""
    surface = []
    for module in MODULES:
        for name, value in sorted(vars(module).items()):
            if name.startswith("__") or isinstance(value, types.ModuleType):
                continue
            if isinstance(value, type) and own_module(value):
                surface.append((f"{module.__name__}.{name}", "construct", value, None))
                surface.append((f"{name}.__new__", "new", value, None))
                if issubclass(value, int):  # TopicType: only its constructor is ours
                    continue
                seen = set()
                for klass in value.__mro__[:-1]:
                    for attr, descriptor in klass.__dict__.items():
                        if attr in seen or attr in NOT_OPERATIONS:
                            continue
                        seen.add(attr)
                        if isinstance(descriptor, (property, types.GetSetDescriptorType,
                                                   types.MemberDescriptorType)):
                            for kind in ("get", "set", "delete"):
                                surface.append((f"{name}.{attr}:{kind}", kind, value, attr))
                        elif callable(getattr(value, attr, None)):
                            surface.append((f"{name}.{attr}", "method", value, attr))
            elif callable(value) and not isinstance(value, type):
                surface.append((f"{module.__name__}.{name}", "function", None, name))
    return surface


SURFACE = discover_surface()
# Operations where native code walks records, runs Python code in the middle
# or hands out views get drawn more often; the pickling refusals and the
# unsupported orderings less.
BUSY = {"match", "format_map", "format", "__call__", "append", "__add__", "__iadd__", "__radd__",
        "from_parts", "join", "value", "__getitem__", "__iter__", "to_dict", "next", "options",
        "regex", "__eq__", "__hash__", "__repr__", "get_range_options", "get_part_ttype",
        "get_internal_topic", "get_internal_map", "activate_context", "deactivate_context",
        "__enter__", "__exit__"}
DULL = {"__reduce__", "__reduce_ex__", "__setstate__", "__new__", "__lt__", "__le__", "__gt__",
        "__ge__", "set", "delete"}


def surface_weight(entry):
    label, kind, owner, name = entry
    if name in BUSY or kind == "construct" or (kind == "function" and name in BUSY):
        return 4.0 if kind != "delete" else 0.2
    if name in DULL or kind in DULL or kind == "new":
        return 0.2
    return 1.0


SURFACE_WEIGHTS = [surface_weight(entry) for entry in SURFACE]
FUNCTIONS = {name: getattr(m, name) for m in MODULES for name in dir(m)}


# ------------------------------------------------------------ the example ---

class Abort(Exception):
    """A finding that ends the run (reported by the parent)."""


class Run:
    """One example: the object pool, the log and the drawing helpers."""

    def __init__(self, bank, rng, log):
        self.bank = bank  # values hypothesis drew for this example
        # Decisions: how many and which objects exist depends on process
        # state (the registry), so they cannot be hypothesis draws.
        self.rng = rng
        self.log = log
        self.pool = []    # (label, object)
        self.depth = 0    # nesting of re-entrant mutations
        self.fake_re = None  # (label, module) that the next call runs with
        self.involved = ()   # receiver and arguments of the running call

    # --- logging
    def note(self, text):
        os.write(self.log, (text + "\n").encode("utf-8", "backslashreplace"))

    # --- drawing
    def integer(self, low, high):
        return self.rng.randint(low, high)

    def choice(self, items):
        return self.rng.choice(list(items))

    def chance(self, p):
        return self.rng.random() < p

    def some(self, items, most):
        """Up to `most` distinct items."""
        return self.rng.sample(list(items), self.integer(0, min(most, len(items))))

    def add(self, label, obj):
        label = f"o{len(self.pool)}={label}"
        self.pool.append((label, obj))
        return label

    def pooled(self, want=None):
        """A pool object (of type `want` when one exists), as (label, object)."""
        candidates = [(label, obj) for label, obj in self.pool
                      if want is None or isinstance(obj, want)]
        if not candidates:
            candidates = self.pool
        index = self.integer(0, len(candidates) - 1)
        label, obj = candidates[index]
        return label.split("=", 1)[0], obj

    # --- values
    def literal(self):
        return self.choice(self.bank["literals"])

    def text(self):
        return self.choice(self.bank["texts"])

    def primitive(self):
        value = self.choice(self.bank["primitives"])
        return _short(value), value

    def value(self):
        """Anything: a primitive or a pool object."""
        if self.pool and self.chance(0.6):
            return self.pooled()
        return self.primitive()

    def typed(self, kind):
        """A value of the kind a parameter expects, or sometimes anything."""
        if self.chance(0.2):
            return self.value()
        if kind == "topic":
            return self.pooled(tessaly.Topic)
        if kind == "part":
            return self.pooled(tessaly.TopicPart)
        if kind == "range":
            return self.pooled(tessaly.TopicPartRange)
        if kind == "ctx":
            return self.pooled(config.QLConfigContext)
        if kind == "literal":
            text = self.literal()
            return repr(text), text
        if kind == "index":
            index = self.choice(self.bank["indices"])
            return repr(index), index
        if kind == "strs":
            items = [self.text() for _ in range(self.integer(0, 6))]
            return _short(items), items
        if kind == "parts":
            picked = [self.pooled(tessaly.TopicPart) for _ in range(self.integer(0, 4))]
            if self.chance(0.2):
                picked.append(self.value())
            container = self.choice([list, tuple, iter, EvilList])
            return (f"{container.__name__}([{', '.join(l for l, _ in picked)}])",
                    container([o for _, o in picked]))
        if kind == "mapping":
            return self.mapping()
        if kind == "settings":
            keys = self.some(["locked", "shared", "freelist", "other"], 3)
            settings_ = {key: self.value() for key in keys}
            return _short({k: l for k, (l, _) in settings_.items()}), {k: o for k, (_, o) in settings_.items()}
        raise AssertionError(kind)

    def mapping(self):
        keys = self.some(["x", "y", "id", "n", "a", "\ud800"], 4)
        entries = {key: self.typed("literal") if self.chance(0.6) else self.value() for key in keys}
        kind = self.choice(["dict", "dict", "EvilDict", "None"])
        if kind == "None":
            return "None", None
        plain = {k: o for k, (_, o) in entries.items()}
        text = "{" + ", ".join(f"{k!r}: {l}" for k, (l, _) in entries.items()) + "}"
        return (f"{kind}({text})", EvilDict(self, plain) if kind == "EvilDict" else plain)

    # --- re-entrancy
    def mutation(self):
        """A pre-drawn change that Python code run from native code makes."""
        kind = self.choice(["assign", "drop", "gc", "iadd", "new", "activate", "index", "none"])
        target = self.integer(0, 10 ** 6)
        literal = self.literal()
        # Most changes hit an object of the operation that is running.
        return (kind, target if self.chance(0.3) else -1 - target, literal)

    def mutate(self, change, origin):
        kind, target, literal = change
        if self.depth > 2 or not self.pool:
            return
        self.depth += 1
        try:
            wanted = {"assign": tessaly.Topic, "iadd": tessaly.Topic, "index": tessaly.TopicIndex,
                      "activate": config.QLConfigContext}.get(kind, object)
            indices = [i for i, (_, o) in enumerate(self.pool) if isinstance(o, wanted)] or [0]
            if target < 0:
                busy = [i for i in indices if any(self.pool[i][1] is o for o in self.involved)]
                indices = busy or indices
            index = indices[target % len(indices)]
            label, obj = self.pool[index]
            self.note(f"    [{origin} mutates: {kind} {label.split('=', 1)[0]} {literal!r}]")
            try:
                if kind == "assign" and isinstance(obj, tessaly.Topic):
                    obj.value = literal
                elif kind == "drop":
                    self.pool[index] = (label, None)
                    del obj
                    gc.collect(0)
                elif kind == "gc":
                    gc.collect(0)
                elif kind == "iadd" and isinstance(obj, tessaly.Topic):
                    obj += tessaly.Topic(literal)
                elif kind == "new":
                    t = tessaly.Topic()
                    t += tessaly.Topic(literal)
                    del t
                elif kind == "index" and isinstance(obj, tessaly.TopicIndex):
                    # Subscriptions go, come and are cleared under a running walk.
                    action = target % 4
                    if action == 0:
                        obj.clear()
                    elif action == 1:
                        obj.add(literal, target)
                    elif action == 2:
                        for topic, value in list(obj)[:2]:
                            obj.remove(topic, value)
                    else:
                        obj.match_captures(literal)
                elif kind == "activate" and isinstance(obj, config.QLConfigContext):
                    config.AllocatorTestToolkit.activate_context(obj)
            except Exception:
                pass
        finally:
            self.depth -= 1


SAFE_TO_REPR = (type(None), bool, int, float, complex, str, bytes, list, tuple, dict, slice, type)


def _short(value, limit=120):
    """repr of plain data; other objects by type only (their repr may run
    hostile code, which must not happen outside the logged call)."""
    if type(value) in (list, tuple, dict):
        items = value.items() if isinstance(value, dict) else value
        if not all(type(i) in SAFE_TO_REPR for pair in items
                   for i in (pair if isinstance(value, dict) else (pair,))):
            return f"<{type(value).__name__} of {len(value)}>"
    elif type(value) not in SAFE_TO_REPR:
        return f"<{type(value).__name__}>"
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + f"...<{len(text)} chars>"


# ------------------------------------------------------ hostile objects ---

class Reentrant:
    """Every protocol method changes topics first, then answers `answer`
    (which may be of the wrong type) or raises."""

    def __init__(self, run, change, answer, raises):
        self._run, self._change, self._answer, self._raises = run, change, answer, raises

    def _hook(self, name):
        self._run.mutate(self._change, f"Reentrant.{name}")
        if self._raises:
            raise ValueError(f"Reentrant.{name} refuses")
        return self._answer

    def __eq__(self, other):
        return self._hook("__eq__")

    def __ne__(self, other):
        return self._hook("__ne__")

    def __hash__(self):
        answer = self._hook("__hash__")
        return answer if isinstance(answer, int) else 7

    def __index__(self):
        return self._hook("__index__")

    def __int__(self):
        return self._hook("__int__")

    def __len__(self):
        return self._hook("__len__")

    def __bool__(self):
        return self._hook("__bool__")

    def __str__(self):
        return self._hook("__str__")

    def __iter__(self):
        return self._hook("__iter__")

    def __getitem__(self, key):
        return self._hook("__getitem__")

    def __repr__(self):
        return "<Reentrant>"


class EvilStr(str):
    def __eq__(self, other):
        gc.collect(0)
        return str.__eq__(self, other)

    __hash__ = str.__hash__


class EvilDict(dict):
    """A dict subclass whose lookups change topics."""

    def __init__(self, run, items):
        super().__init__(items)
        self._run = run
        self._change = run.mutation()

    def __getitem__(self, key):
        self._run.mutate(self._change, "EvilDict.__getitem__")
        return dict.__getitem__(self, key)

    def get(self, key, default=None):
        self._run.mutate(self._change, "EvilDict.get")
        return dict.get(self, key, default)


class EvilList(list):
    def __iter__(self):
        gc.collect(0)
        return list.__iter__(self)

    def __len__(self):
        return 10 ** 9


def make_topic_subclass(run):
    """A Topic subclass whose overridable methods and `value` misbehave."""
    change = run.mutation()
    answer_label, answer = run.value()
    raises = run.chance(0.3)
    overridden = run.some(["append", "match", "format_map", "value", "__str__"], 5) or ["match"]

    def hook(name):
        run.mutate(change, f"Sub.{name}")
        if raises:
            raise KeyError(name)
        return answer

    namespace = {}
    if "append" in overridden:
        namespace["append"] = lambda self, part: hook("append")
    if "match" in overridden:
        namespace["match"] = lambda self, other: hook("match")
    if "format_map" in overridden:
        namespace["format_map"] = lambda self, mapping, internalized=True, strict=False: hook("format_map")
    if "value" in overridden:
        namespace["value"] = property(lambda self: hook("value"))
    if "__str__" in overridden:
        namespace["__str__"] = lambda self: hook("__str__")
    cls = type("EvilTopic", (tessaly.Topic,), namespace)
    return f"EvilTopic[{'/'.join(overridden)} -> {answer_label}{' raises' if raises else ''}]", cls


def make_part_subclass(run):
    base = run.choice([tessaly.TopicPartRange, tessaly.TopicPartExact, tessaly.TopicPartAny,
                       tessaly.TopicPartPattern])
    change = run.mutation()
    answer_label, answer = run.value()

    def hook(self, *args):
        run.mutate(change, f"{base.__name__}Sub")
        return answer

    attr = {tessaly.TopicPartRange: "options", tessaly.TopicPartExact: "part",
            tessaly.TopicPartAny: "name", tessaly.TopicPartPattern: "pattern"}[base]
    namespace = {attr: hook if attr == "options" else property(hook)}
    return f"Evil{base.__name__}[{attr} -> {answer_label}]", type("Evil" + base.__name__, (base,), namespace)


def make_result_subclass(run):
    """A TopicMatchResult subclass whose `length`/`matched` (read by len, bool,
    repr and indexing through attribute lookup) answer hostile values."""
    change = run.mutation()
    answer_label, answer = run.choice([("-2", -2), ("2**63", 2 ** 63), ("'3'", "3"), ("None", None),
                                       ("10**6", 10 ** 6), ("Reentrant", Reentrant(run, change, 1, False))])
    attr = run.choice(["length", "matched"])

    def hook(self):
        run.mutate(change, f"ResultSub.{attr}")
        return answer

    return (f"EvilResult[{attr} -> {answer_label}]",
            type("EvilResult", (tessaly.TopicMatchResult,), {attr: property(hook)}))


def make_fake_re(run):
    """A stand-in for the `re` module whose compile changes topics first and
    may answer something that is not a compiled pattern."""
    change = run.mutation()
    answer = run.choice(["pattern"] * 4 + ["None", "raise", "no-search", "search-raises"])
    fake = types.ModuleType("re")

    class NoSearch:
        pass

    class SearchRaises:
        def search(self, text):
            run.mutate(change, "fake re search")
            raise RuntimeError("search refuses")

    def compile(pattern, flags=0):
        run.mutate(change, "fake re.compile")
        if answer == "pattern":
            return real_re.compile(pattern, flags)
        if answer == "raise":
            raise real_re.error("compile refuses")
        return {"None": None, "no-search": NoSearch(), "search-raises": SearchRaises()}[answer]

    fake.compile = compile
    fake.search = lambda pattern, text, flags=0: compile(pattern, flags).search(text)
    fake.error = real_re.error
    return f"fake re ({change[0]}, {answer})", fake


# ----------------------------------------------------------- strategies ---

SEGMENTS = st.one_of(
    st.sampled_from(["a", "b", "c", "+x", "{id}", "(a|b)", "(a||b)", "()", "{}", "+",
                     "/v[0-9]+/", "/a/b/", "/(/", "/[/", "é", "\ud800", "a\0b", "(a\0b|c)",
                     "/.*/", "(x)", "+\ud800", "{\0}"]),
    st.text(alphabet="ab.+{}()|/\0é\ud800", max_size=6),
)
LITERALS = st.one_of(
    st.lists(SEGMENTS, min_size=0, max_size=5).map(".".join),
    st.text(max_size=12),
    st.sampled_from(["", ".", "..", "/", "./", "/abc", "a./", "a.b", "a.+x", "x.y.z"]),
)
TEXTS = st.one_of(st.text(max_size=8), st.sampled_from(["", "a.b", "\ud800", "a\0", "+x", "(a|b)"]))
INDICES = st.one_of(
    st.integers(-4, 6),
    st.sampled_from([2 ** 31, -2 ** 31 - 1, 2 ** 63 - 1, -2 ** 63, 2 ** 63, 2 ** 64, -2 ** 64,
                     10 ** 40, -10 ** 40, 10000, -10000, 9999, -10001]),
)
PRIMITIVES = st.one_of(
    st.none(), st.booleans(), INDICES, st.floats(allow_nan=True),
    LITERALS, st.binary(max_size=6), st.lists(TEXTS, max_size=4),
    st.dictionaries(TEXTS, TEXTS, max_size=3), st.tuples(TEXTS),
    st.sampled_from([object(), type, tessaly.Topic, tessaly.TopicPart, EvilStr("a.b"), EvilStr("\ud800"),
                     EvilList(["a", "b"]), slice(0, 2), 1j, NotImplemented, Ellipsis]),
)

BANK = st.fixed_dictionaries({
    "literals": st.lists(LITERALS, min_size=12, max_size=12),
    "texts": st.lists(TEXTS, min_size=8, max_size=8),
    "primitives": st.lists(PRIMITIVES, min_size=12, max_size=12),
    "indices": st.lists(INDICES, min_size=6, max_size=6),
})

# Arguments that reach the interesting paths of each operation, by name;
# operations not listed get generic arguments.
ARGUMENTS = {
    "Topic": (["literal"], {"alloc": "bool"}),
    "TopicPart": ([], {"alloc": "bool"}),
    "TopicPartExact": (["literal"], {"alloc": "bool"}),
    "TopicPartAny": (["literal"], {"alloc": "bool"}),
    "TopicPartPattern": (["literal"], {"alloc": "bool"}),
    "TopicPartRange": (["strs"], {"alloc": "bool"}),
    "TopicMatchResult": (["small"], {"alloc": "bool"}),
    "TopicType": (["index"], {}),
    "QLConfigContext": ([], {"**": "settings"}),
    "match": (["topic"], {}),
    "append": (["part"], {}),
    "__add__": (["topic"], {}),
    "__iadd__": (["topic"], {}),
    "__radd__": (["topic"], {}),
    "__eq__": (["topic"], {}),
    "__ne__": (["topic"], {}),
    "__getitem__": (["index"], {}),
    "format_map": (["mapping"], {"internalized": "bool", "strict": "bool"}),
    "format": ([], {"**": "mapping"}),
    "__call__": ([], {"**": "mapping"}),
    "from_parts": (["parts"], {}),
    "join": (["strs"], {}),
    "get_internal_topic": (["literal"], {"owner": "bool"}),
    "get_internal_map_has": (["literal"], {}),
    "get_n_parts": (["topic"], {}),
    "get_hash": (["topic"], {}),
    "get_is_exact": (["topic"], {}),
    "get_key": (["topic"], {}),
    "get_part_ttype": (["topic", "index"], {}),
    "get_part_chain_len": (["part"], {}),
    "get_part_addr": (["part"], {}),
    "get_range_options": (["range"], {}),
    "get_range_num_options": (["range"], {}),
    "activate_context": (["ctx"], {}),
    "deactivate_context": (["ctx"], {}),
    "__setstate__": (["value"], {}),
    "__reduce_ex__": (["index"], {}),
    "__exit__": (["value", "value", "value"], {}),
}
# Receivers for the set operations of properties.
SETTER_VALUES = {"value": "literal"}


def draw_arguments(run, name):
    positional, keywords = ARGUMENTS.get(name, (None, None))
    if positional is None or run.chance(0.15):
        args = [run.value() for _ in range(run.integer(0, 3))]
        kwargs = {}
        if run.chance(0.2):
            kwargs[run.choice(["alloc", "owner", "topic", "other", "strict", "mapping", "x"])] = run.value()
        return args, kwargs
    args = [draw_kind(run, kind) for kind in positional]
    kwargs = {}
    for key, kind in keywords.items():
        if key == "**":
            label, mapping = draw_kind(run, kind)
            if isinstance(mapping, dict):
                kwargs.update({k: (_short(v), v) for k, v in mapping.items() if isinstance(k, str)})
        elif run.chance(0.7):
            kwargs[key] = draw_kind(run, kind)
    return args, kwargs


def draw_kind(run, kind):
    if kind == "bool":
        flag = run.choice([True, False, 0, 1, None])
        return repr(flag), flag
    if kind == "small":
        n = run.integer(-2, 5)
        return repr(n), n
    if kind == "value":
        return run.value()
    return run.typed(kind)


def resource_exhaustion(name, args, kwargs):
    """Calls that would only measure how long it takes to fill the memory: a
    result chain of a million nodes or more that still fits in it (larger
    ones are refused at once)."""
    if name == "TopicMatchResult" and args:
        n = args[0][1]
        return isinstance(n, int) and 10 ** 6 <= n < 2 ** 40
    return False


# ------------------------------------------------------------- the pool ---

HUGE_LITERAL = ".".join(["h", "+x", "(a|b)", "/h[0-9]/"] * 2500)  # 10k parts
_huge = []


def huge_topic():
    """One 10k-part topic per process: parsing it walks the chain for every
    appended part, which takes seconds."""
    if not _huge:
        _huge.append(tessaly.Topic(HUGE_LITERAL))
    return _huge[0]


PLAIN_HEAP = config.QLConfigContext(freelist=False)
DEFAULT_FLAGS = config.QLConfigContext(locked=False, shared=False, freelist=True)


def seed_pool(run):
    """Objects every example starts from."""
    T = tessaly
    if run.chance(0.5):
        # Without pooling a freed record is really freed, which the sanitizer sees.
        run.note("activate_context(QLConfigContext(freelist=False))")
        config.AllocatorTestToolkit.activate_context(PLAIN_HEAP)
    run.add("QLConfigContext(freelist=False)", PLAIN_HEAP)
    for literal in ("a.b.c", "a.+x.(a|b)./v[0-9]+/", "x.y", "m.a.v1", "m.+x./v[0-9]/", "./[a-z]+/"):
        run.add(f"Topic({literal!r})", T.Topic(literal))
    run.add("Topic() owned", T.Topic())
    run.add("Topic.__new__(Topic)", T.Topic.__new__(T.Topic))
    run.add("Topic(alloc=False)", T.Topic(alloc=False))
    for cls in (T.TopicPart, T.TopicPartExact, T.TopicPartAny, T.TopicPartRange, T.TopicPartPattern,
                T.TopicMatchResult, config.QLConfigContext):
        run.add(f"{cls.__name__}.__new__", cls.__new__(cls))
    run.add("TopicPartExact('e', alloc=True)", T.TopicPartExact("e", alloc=True))
    run.add("TopicPartRange(['p', 'q'], alloc=True)", T.TopicPartRange(["p", "q"], alloc=True))
    run.add("TopicPartPattern('[0-9]', alloc=True)", T.TopicPartPattern("[0-9]", alloc=True))
    run.add("TopicPartAny('w', alloc=True)", T.TopicPartAny("w", alloc=True))
    for name in ("QL_LOCKED", "QL_SHARED", "QL_LOCKFREE", "QL_FREELIST", "RUNTIME_ALLOCATOR_CONFIG"):
        run.add(name, getattr(config, name))
    for number in range(2):
        index = T.TopicIndex()
        for literal in ("a.b.c", "a.+x.(a|b)./v[0-9]+/", "m.+x./v[0-9]/", "./[a-z]+/", "x.y"):
            index.add(literal, f"{literal}#{number}")
        run.add(f"TopicIndex() #{number}", index)
    run.add("TopicTestToolkit()", T.TopicTestToolkit())
    run.add("AllocatorTestToolkit()", config.AllocatorTestToolkit())
    if run.chance(0.1):
        run.add("Topic(<10k parts>)", huge_topic())
    # Drawn per example: topics, views of their parts, hostile objects.
    for _ in range(run.integer(0, 3)):
        literal = run.literal()
        try:
            topic = T.Topic(literal)
        except Exception:
            continue
        label = run.add(f"Topic({literal!r})", topic)
        if len(topic) and run.chance(0.7):
            run.add(f"{label.split('=')[0]}[0]", topic[0])
    for _ in range(run.integer(0, 2)):
        run.add("Reentrant", Reentrant(run, run.mutation(), run.value()[1], run.chance(0.3)))
    if run.chance(0.5):
        label, cls = make_topic_subclass(run)
        literal = run.literal()
        try:
            run.add(f"{label}({literal!r})", cls(literal))
        except Exception:
            pass
        run.add(f"{label}()", cls())
    if run.chance(0.3):
        label, cls = make_result_subclass(run)
        run.add(f"{label}(3, alloc=True)", cls(3, alloc=True))
    if run.chance(0.4):
        label, cls = make_part_subclass(run)
        try:
            run.add(f"{label}(alloc=True)", cls(["o"] if cls.__mro__[1] is T.TopicPartRange else "o",
                                                   alloc=True))
        except Exception:
            pass


# ------------------------------------------------------------ operations ---

def step(run):
    """Draws one operation, logs it, makes it; the result joins the pool."""
    shape = run.choice(["surface"] * 6 + ["protocol", "next", "re"])
    if shape == "next":
        label, gen = run.pooled(types.GeneratorType)
        if isinstance(gen, types.GeneratorType):
            run.note(f"next({label})")
            return call(run, f"next({label})", next, gen)
        return None
    if shape == "re":
        # A match runs with `re` replaced (the pattern test compiles through it).
        run.fake_re = make_fake_re(run)
        receiver_label, receiver = run.pooled(tessaly.Topic)
        other_label, other = run.pooled(tessaly.Topic)
        if run.chance(0.5):
            receiver_label, receiver, other_label, other = other_label, other, receiver_label, receiver
        return call(run, f"{receiver_label}.match({other_label})", tessaly.Topic.match, receiver, other)
    if shape == "protocol":
        return protocol_op(run)
    label, kind, owner, name = run.rng.choices(SURFACE, SURFACE_WEIGHTS)[0]
    if kind in ("get", "set", "delete"):
        receiver_label, receiver = run.pooled(owner)
        if kind == "get":
            return call(run, f"{receiver_label}.{name}", getattr, receiver, name)
        if kind == "delete":
            return call(run, f"del {receiver_label}.{name}", delattr, receiver, name)
        value_label, value = run.typed(SETTER_VALUES.get(name, "literal")) if run.chance(0.7) else run.value()
        return call(run, f"{receiver_label}.{name} = {value_label}", setattr, receiver, name, value)
    if kind == "new":
        return call(run, f"{owner.__name__}.__new__({owner.__name__})", owner.__new__, owner)
    target_name = owner.__name__ if kind == "construct" else name
    args, kwargs = draw_arguments(run, target_name)
    if resource_exhaustion(target_name, args, kwargs):
        return None
    rendered = ", ".join([l for l, _ in args] + [f"{k}={l}" for k, (l, _) in kwargs.items()])
    arg_values = [v for _, v in args]
    kw_values = {k: v for k, (_, v) in kwargs.items()}
    if kind == "construct":
        return call(run, f"{owner.__name__}({rendered})", owner, *arg_values, **kw_values)
    if kind == "function":
        return call(run, f"{name}({rendered})", FUNCTIONS[name], *arg_values, **kw_values)
    # A method: bound through a pool receiver, or unbound with any first argument.
    if run.chance(0.8):
        receiver_label, receiver = run.pooled(owner)
        bound = getattr(receiver, name, None)
        if bound is None:
            return None
        return call(run, f"{receiver_label}.{name}({rendered})", bound, *arg_values, **kw_values)
    receiver_label, receiver = run.value()
    return call(run, f"{owner.__name__}.{name}({receiver_label}{', ' if rendered else ''}{rendered})",
                getattr(owner, name), receiver, *arg_values, **kw_values)


PROTOCOL = {
    "len": len, "hash": hash, "repr": repr, "str": str, "bool": bool, "iter": iter, "list": list,
    "eq": lambda a, b: a == b, "ne": lambda a, b: a != b, "lt": lambda a, b: a < b,
    "add": lambda a, b: a + b, "iadd": None, "getitem": lambda a, b: a[b],
    "call": lambda a, b: a(**b) if isinstance(b, dict) and all(isinstance(k, str) for k in b) else a(b),
    "pickle": lambda a: pickle.loads(pickle.dumps(a)), "copy": copy.copy, "deepcopy": copy.deepcopy,
    "with": None, "del": None, "gc": None,
}


def protocol_op(run):
    op = run.choice(sorted(PROTOCOL))
    label, obj = run.pooled()
    if op == "gc":
        run.note("gc.collect(1)")
        gc.collect(1)
        return None
    if op == "del":
        index = run.integer(0, len(run.pool) - 1)
        run.note(f"del {run.pool[index][0].split('=')[0]}")
        run.pool[index] = (run.pool[index][0], None)
        return None
    if op == "with":
        def enter_exit(ctx):
            with ctx:
                pass
        return call(run, f"with {label}: pass", enter_exit, obj)
    if op == "iadd":
        other_label, other = run.value() if run.chance(0.3) else run.pooled((tessaly.Topic, tessaly.TopicPart))

        def iadd(a, b):
            a += b
            return a
        return call(run, f"{label} += {other_label}", iadd, obj, other)
    function = PROTOCOL[op]
    if op in ("eq", "ne", "lt", "add", "getitem", "call"):
        other_label, other = (run.typed("index") if op == "getitem" else
                              run.typed("mapping") if op == "call" else run.value())
        if run.chance(0.5) and op in ("eq", "ne", "add"):
            return call(run, f"{op}({other_label}, {label})", function, other, obj)
        return call(run, f"{op}({label}, {other_label})", function, obj, other)
    return call(run, f"{op}({label})", function, obj)


OUTCOMES = collections.Counter()


def operation_name(text):
    """`o3.match(o1)` -> `.match`, `Topic(...)` -> `Topic`: the key of the outcome counts."""
    head = re_operation.match(text)
    return real_re.sub(r"\bo\d+", "", head.group(0)) if head else text[:20]


re_operation = real_re.compile(r"^(?:o\d+)?(?:del |)[.\w]*")


def call(run, text, function, *args, **kwargs):
    fake_re, run.fake_re = run.fake_re, None
    if fake_re is not None:
        text = f"{text}  [with {fake_re[0]}]"
        sys.modules["re"] = tessaly.re = fake_re[1]
    run.note(text)
    run.involved = (getattr(function, "__self__", None), *args, *kwargs.values())
    try:
        result = function(*args, **kwargs)
    except SystemError as error:
        run.note(f"  -> SystemError: {error}")
        raise Abort(f"SystemError from {text}: {error}") from error
    except (Exception, GeneratorExit) as error:
        OUTCOMES[(operation_name(text), type(error).__name__)] += 1
        return None
    finally:
        # The drawing machinery itself uses `re`.
        sys.modules["re"] = tessaly.re = real_re
    OUTCOMES[(operation_name(text), "ok")] += 1
    if isinstance(result, (tessaly.Topic, tessaly.TopicPart, tessaly.TopicMatchResult,
                           types.GeneratorType, config.QLConfigContext)):
        run.add(text, result)
    elif isinstance(result, dict) and len(run.pool) < 200:
        # Match nodes and to_dict answers hold part views.
        for value in list(result.values())[:3]:
            if isinstance(value, tessaly.TopicPart):
                run.add(f"{text}[...]", value)
    return result


# ---------------------------------------------------------------- driver ---

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, required=True)
    parser.add_argument("--examples", type=int, required=True)
    parser.add_argument("--steps", type=int, default=40)
    parser.add_argument("--log", required=True)
    parser.add_argument("--outcomes", action="store_true", help="print how each operation ended")
    options = parser.parse_args()
    log = os.open(options.log, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    counter = [0]

    @seed(options.seed)
    @settings(max_examples=options.examples, database=None, deadline=None, phases=[Phase.generate],
              suppress_health_check=list(HealthCheck), report_multiple_bugs=False)
    @given(st.data())
    def scenario(data):
        counter[0] += 1
        os.write(log, f"=== example {counter[0]}\n".encode())
        run = Run(data.draw(BANK), random.Random(f"{options.seed}:{counter[0]}"), log)
        try:
            seed_pool(run)
            run.note("pool: " + "; ".join(label for label, _ in run.pool))
            if reentry_stress.requested():
                # From here on every place the topic module can run Python
                # code becomes a change to the objects of the running example.
                reentry_stress.install(lambda site: run.mutate(run.mutation(), f"stress hook at {site}"))
            for _ in range(run.integer(1, options.steps)):
                step(run)
        except Abort as finding:
            print(finding, file=sys.stderr)
            os._exit(3)
        finally:
            if reentry_stress.requested():
                reentry_stress.uninstall()
            sys.modules["re"] = real_re
            tessaly.re = real_re
            config.AllocatorTestToolkit.activate_context(DEFAULT_FLAGS)
            run.pool.clear()
            gc.collect(1)

    scenario()
    os.write(log, b"=== done\n")
    if options.outcomes:
        for (name, outcome), count in sorted(OUTCOMES.items()):
            print(f"{count:6} {name:40} {outcome}", file=sys.stderr)


if __name__ == "__main__":
    main()
