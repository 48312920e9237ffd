"""Hostile objects for the entry points of the local strategy: values whose
special methods raise, configurations of every shape, exceptions that resist
being printed, session locks that misbehave; and `make`, which builds the
object a recipe (a tuple of plain values, what the Hypothesis strategies of
the hostile-argument tests draw) describes.

Shared by the hostile-argument tests and the leak check, which runs under a
debug interpreter without pytest, Hypothesis or PySpark and imports the
extension only after its own failing-import cases: import nothing else here."""

import collections
import functools
import types

from fake_spark import DictSub, FakeSparkSession, SetSub, StrSub

# --- values -----------------------------------------------------------------------------


class Boom(Exception):
    """What every hostile special method raises."""


def boom(*args, **kwargs):
    raise Boom("hostile")


RAISING = (
    "__float__", "__index__", "__int__", "__eq__", "__ne__", "__lt__", "__gt__", "__bool__",
    "__len__", "__hash__", "__str__", "__repr__", "__format__", "__iter__", "__contains__",
    "__getattr__",
)


BASES = {"object": object, "int": int, "float": float, "str": str, "bytes": bytes, "set": set,
         "frozenset": frozenset, "dict": dict, "list": list, "tuple": tuple}


@functools.lru_cache(maxsize=None)
def hostile_class(base_name, names):
    base = BASES[base_name]
    namespace = {name: boom for name in names}
    if "__hash__" not in names and base.__hash__ is not None:
        namespace["__hash__"] = base.__hash__  # defining __eq__ alone would drop it
    return type(f"Hostile{base_name.capitalize()}", (base,), namespace)


def build_hostile(base_name, names, payload):
    cls = hostile_class(base_name, names)
    base = BASES[base_name]
    if base is object:
        return cls()
    if base in (int, float, str, bytes):
        ok = isinstance(payload, base) and type(payload) is not bool
        return cls(payload) if ok else cls()
    if base is dict:
        return cls({"spark.k": payload} if hashable(payload) else {})
    return cls([payload] if base not in (set, frozenset) or hashable(payload) else [])


def hashable(value):
    try:
        hash(value)
    except Exception:
        return False
    return True


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def make(recipe):
    """Builds the object a recipe describes; leaves are used as they are."""
    if not isinstance(recipe, tuple) or not recipe or not isinstance(recipe[0], str):
        return recipe
    kind = recipe[0]
    if kind == "hostile":
        return build_hostile(recipe[1], recipe[2], recipe[3])
    if kind == "special":
        what, payload = recipe[1], recipe[2]
        return {
            "setsub": lambda: SetSub([payload] if hashable(payload) else []),
            "strsub": lambda: StrSub(payload if isinstance(payload, str) else "x"),
            "dictsub": lambda: DictSub({"spark.k": payload}),
            "frozenset": lambda: frozenset([payload] if hashable(payload) else []),
            "list": lambda: [payload],
            "tuple": lambda: (payload,),
            "set": lambda: {payload} if hashable(payload) else set(),
            "mappingproxy": lambda: types.MappingProxyType({"spark.k": payload}),
            "floatlike": lambda: FloatLike(payload),
            "indexlike": lambda: IndexLike(payload),
            "object": object,
            "fake-session": lambda: FakeSparkSession("arg"),
            "exception": lambda: Boom(payload),
            "type": lambda: int,
            "too many digits": lambda: 10**5000,  # no text form at all: str() refuses it
        }[what]()
    if kind in ("set", "list"):
        items = [make(r) for r in recipe[1]]
        if kind == "list":
            return items
        result = set()
        for item in items:
            try:
                result.add(item)
            except Exception:
                pass
        return result
    if kind == "dict":
        result = {}
        for k, v in recipe[1]:
            try:
                result[make(k)] = make(v)
            except Exception:
                pass
        return result
    return recipe


# --- configurations: dictionaries of every shape, and things that are not dictionaries ---


class ItemsRaise(dict):
    def items(self):
        yield from dict.items(self)
        raise Boom("items")


class ItemsNotPairs(dict):
    def items(self):
        return [("spark.a", 1, 2)]


class ItemsNotIterable(dict):
    def items(self):
        return 5


class GetRaises(dict):
    def get(self, *args):
        raise Boom("get")


class ContainsRaises(dict):
    def __contains__(self, key):
        raise Boom("contains")


CONFIG_KINDS = {
    "dict": dict,
    "plain dict": dict,
    "ordered": collections.OrderedDict,
    "dictsub": DictSub,
    "items raise": ItemsRaise,
    "items not pairs": ItemsNotPairs,
    "items not iterable": ItemsNotIterable,
    "get raises": GetRaises,
    "contains raises": ContainsRaises,
    "mappingproxy": lambda d: types.MappingProxyType(d),
    "list of pairs": lambda d: list(d.items()),
    "none": lambda d: None,
}


def make_config(recipe):
    _, kind, pairs = recipe
    data = {}
    for k, v in pairs:
        try:
            data[make(k)] = make(v)
        except Exception:  # unhashable keys stay out
            pass
    return CONFIG_KINDS[kind](data)


class ConfigRaises:
    """A strategy whose configuration cannot be read."""

    @property
    def config(self):
        raise Boom("config")

    app_name = "app"


# --- exceptions that resist being shown (what a strategy subclass's session request may raise)


class Unprintable(Exception):
    def __str__(self):
        raise Boom("str")


class OddText(Exception):
    def __str__(self):
        return StrSub("odd text")


class CustomFormat(Exception):
    def __format__(self, format_spec):
        return "formatted"


class FormatNotText(Exception):
    def __format__(self, format_spec):
        return 42


REQUEST_ERRORS = {
    "no arguments": lambda: RuntimeError(),
    "unprintable": lambda: Unprintable("x"),
    "str subclass text": lambda: OddText(),
    "own format": lambda: CustomFormat("x"),
    "format not text": lambda: FormatNotText("x"),
    "surrogate text": lambda: ValueError("\ud800"),
}


# --- session locks that misbehave -------------------------------------------------------


class EnterRaises:
    def __enter__(self):
        raise Boom("enter")

    def __exit__(self, *exc):
        return False


class ExitSwallows:
    def __init__(self):
        self.exits = 0

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.exits += 1
        return True


class ExitTruthRaises:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return build_hostile("object", ("__bool__",), None)


class Inner(Exception):
    """The error of the block a session lock guards."""


class Outer(Exception):
    """An error of the lock's own, or one its caller handles."""


class _TruthRaises:
    def __bool__(self):
        raise Outer("truth")


def _exit_raises_new(handled):
    raise Outer("exit")


def _exit_reraises_handled(handled):
    raise handled  # already the block error's __context__: chaining it back would loop


def _exit_raises_while_handling(handled):
    try:
        raise Outer("first")
    except Outer:
        raise Outer("second")


# What the session lock's __exit__ does while the block's error is pending.
EXIT_BEHAVIOURS = {
    "raises a new error": _exit_raises_new,
    "re-raises the error its caller handles": _exit_reraises_handled,
    "raises while handling an error of its own": _exit_raises_while_handling,
    "returns something whose truth raises": lambda handled: _TruthRaises(),
}


class ExitRaises:
    def __init__(self, behaviour, handled):
        self.behaviour, self.handled = behaviour, handled

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return self.behaviour(self.handled)


class BlockRaises(dict):
    """A session cache whose first use in the locked block raises."""

    def __contains__(self, key):
        raise Inner("block")


