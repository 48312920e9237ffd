"""Hostile arguments at every entry point of the local strategy.

Hypothesis throws arbitrary positional and keyword arguments, subclasses of the
built-in types, huge integers, objects whose special methods raise, odd
configurations and odd `self` objects at the module's functions and methods.
Each outcome is compared with a plain-Python model of the documented behaviour:
the same result, or an exception of the same type. Everything runs in this
process on purpose: a crash in the extension takes the whole run down loudly.

Session entry points run against a fake PySpark, so no JVM starts.
"""

import collections
import functools
import glob
import hashlib
import math
import os
import sys
import threading
import types

import pytest
from hypothesis import HealthCheck, currently_in_test_context, event, given, settings
from hypothesis import strategies as st

import ruk.compute.strategies.local as local
from ruk.compute.start.extensions import class_path_search
from fake_spark import (
    FAKE_JDK, CollidingKey, DictSub, FakeJavaCompat, FakeSparkSession, SetSub, StrSub,
    lock_is_free, pyspark_info,
)

LocalStrategy = local.LocalStrategy
RukRuntimeError = local.RukRuntimeError
ENSURE_JAVA = local._ensure_java_available
DISABLE_TRACKER = local._disable_multiprocessing_resource_tracker
CLEANUP = local.cleanup_all_spark_sessions

# Random locally, to keep exploring; a fixed sequence in CI, so a run there is repeatable.
FUZZ = settings(
    max_examples=150,
    deadline=None,
    derandomize=os.environ.get("CI") == "true",
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow, HealthCheck.data_too_large],
)

OK_CONNECTIVITY = (True, "Local Spark session created and SQL test passed")
# --- hostile objects ---------------------------------------------------------------------


class Boom(Exception):
    """What every hostile special method raises."""


def _boom(*args, **kwargs):
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
    namespace = {name: _boom for name in names}
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
        return cls({"spark.k": payload} if _hashable(payload) else {})
    return cls([payload] if base not in (set, frozenset) or _hashable(payload) else [])


def _hashable(value):
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


# Leaves: plain values with a safe repr, so Hypothesis can always report them.
leaves = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.sampled_from([2**63, -(2**63) - 1, 10**400, -(10**400)]),
    st.floats(),
    st.text(max_size=6),
    st.sampled_from(["", "\ud800", "a\x00b", "master", "spark.driver.memory", "local[4]", "é", "1"]),
    st.binary(max_size=3),
)

hostile = st.tuples(
    st.just("hostile"),
    st.sampled_from(sorted(BASES)),
    st.frozensets(st.sampled_from(RAISING), max_size=3).map(lambda s: tuple(sorted(s))),
    leaves,
)
special = st.tuples(
    st.just("special"),
    st.sampled_from(["setsub", "strsub", "dictsub", "frozenset", "list", "tuple", "set", "mappingproxy",
                     "floatlike", "indexlike", "object", "fake-session", "exception", "type",
                     "too many digits"]),
    leaves,
)
recipes = st.recursive(
    st.one_of(leaves, hostile, special),
    lambda inner: st.one_of(
        st.tuples(st.just("set"), st.lists(inner, max_size=3)),
        st.tuples(st.just("list"), st.lists(inner, max_size=3)),
        st.tuples(st.just("dict"), st.lists(st.tuples(inner, inner), max_size=3)),
    ),
    max_leaves=6,
)


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
            "setsub": lambda: SetSub([payload] if _hashable(payload) else []),
            "strsub": lambda: StrSub(payload if isinstance(payload, str) else "x"),
            "dictsub": lambda: DictSub({"spark.k": payload}),
            "frozenset": lambda: frozenset([payload] if _hashable(payload) else []),
            "list": lambda: [payload],
            "tuple": lambda: (payload,),
            "set": lambda: {payload} if _hashable(payload) else set(),
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


# Configurations: dictionaries of every shape, and things that are not dictionaries.
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
common_keys = st.sampled_from(["master", "spark.driver.memory", "spark.jars", "spark.ui.enabled", "spark.x"])
config_keys = st.one_of(
    # Mostly plain names, so that many requests get as far as the start.
    common_keys, common_keys, common_keys, st.text(max_size=5), st.text(max_size=5),
    st.integers(min_value=-3, max_value=3),
    hostile,
    st.tuples(st.just("special"), st.sampled_from(["strsub"]), st.text(max_size=3)),
)
configs = st.tuples(
    st.just("config"),
    st.sampled_from(sorted(CONFIG_KINDS)),
    st.lists(st.tuples(config_keys, recipes), max_size=4),
)


def make_config(recipe):
    _, kind, pairs = recipe
    data = {}
    for k, v in pairs:
        try:
            data[make(k)] = make(v)
        except Exception:  # unhashable keys stay out
            pass
    return CONFIG_KINDS[kind](data)


class Strategy(LocalStrategy):
    """A strategy subclass whose configuration and JAR list come from outside."""

    def __init__(self, config, app_name, jars):
        super().__init__(config, app_name)
        self.jars = jars

    def _get_jdbc_jars(self, cache_dir):
        if self.jars == "boom":
            raise Boom("jars")
        if self.jars == "iterator":  # truthy, and used up by the first join
            return iter(["/j/a.jar", "/j/b.jar"])
        return self.jars


JAR_ANSWERS = {"none": None, "empty": [], "two": ["/j/a.jar", "/j/b.jar"], "not strings": [1, 2],
               "raises": "boom", "iterator": "iterator", "str subclass items": [StrSub("/j/s.jar")],
               "unanswerable truth": ("hostile", "list", ("__bool__",), "/j/a.jar"),
               "unreadable items": ("hostile", "list", ("__iter__",), "/j/a.jar")}

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


def _raiser(make_error):
    def get_spark_session():
        raise make_error()

    return get_spark_session


strategy_selves = st.tuples(st.just("strategy"), configs, recipes)
# Well-formed strategies with values of every kind: these reach the start.
plain_configs = st.tuples(
    st.just("config"), st.just("plain dict"),
    st.lists(st.tuples(st.one_of(common_keys, st.text(max_size=5)), recipes), max_size=4),
)
well_formed_selves = st.tuples(st.just("strategy"), plain_configs, st.text(max_size=5))
selves = st.one_of(
    well_formed_selves,
    well_formed_selves,
    strategy_selves,
    st.tuples(st.just("subclass"), configs, recipes, st.sampled_from(sorted(JAR_ANSWERS))),
    st.tuples(st.just("namespace"), configs, recipes),
    st.tuples(st.just("no app name"), configs),
    st.tuples(st.just("config attribute raises")),
    st.tuples(st.just("request raises"), st.sampled_from(sorted(REQUEST_ERRORS))),
    recipes,
)


class ConfigRaises:
    @property
    def config(self):
        raise Boom("config")

    app_name = "app"


def make_self(recipe):
    if isinstance(recipe, tuple) and recipe and recipe[0] in ("strategy", "subclass", "namespace",
                                                              "no app name", "config attribute raises",
                                                              "request raises"):
        kind = recipe[0]
        if kind == "request raises":
            return types.SimpleNamespace(get_spark_session=_raiser(REQUEST_ERRORS[recipe[1]]), config={})
        if kind == "strategy":
            return LocalStrategy(make_config(recipe[1]), make(recipe[2]))
        if kind == "subclass":
            jars = JAR_ANSWERS[recipe[3]]
            return Strategy(make_config(recipe[1]), make(recipe[2]), make(jars))
        if kind == "namespace":
            return types.SimpleNamespace(config=make_config(recipe[1]), app_name=make(recipe[2]))
        if kind == "no app name":
            return types.SimpleNamespace(config=make_config(recipe[1]))
        return ConfigRaises()
    return make(recipe)


# --- the model of the documented behaviour -------------------------------------------------

SIGNATURES = {
    "validate_config": (("self",), ()),
    "get_spark_session": (("self", "adapter_types"), (None,)),
    "_get_jdbc_jars": (("self", "cache_dir"), ()),
    "close": (("self", "spark"), ()),
    "estimate_cost": (("self", "duration_minutes"), ()),
    "get_platform_name": (("self",), ()),
    "get_jar_provisioning_config": (("self", "adapter_types"), ()),
    "test_connectivity": (("self",), ()),
}
METHODS = list(SIGNATURES)
RULE_PREFIX = "Argument '{}' has incorrect type (expected {}, got "


def bind(params, defaults, args, kwargs):
    """Standard binding for plain positional-or-keyword parameters."""
    if len(args) > len(params):
        for key in kwargs:
            if key not in params:
                raise TypeError("unexpected keyword")
        raise TypeError("too many positional arguments")
    bound = dict(zip(params, args))
    for key, value in kwargs.items():
        if key not in params:
            raise TypeError("unexpected keyword")
        if key in bound:
            raise TypeError("multiple values")
        bound[key] = value
    first_default = len(params) - len(defaults)
    for i, name in enumerate(params):
        if name not in bound:
            if i < first_default:
                raise TypeError("missing argument")
            bound[name] = defaults[i - first_default]
    return bound


def check_exact(value, name, expected_type, allow_none=False):
    if (allow_none and value is None) or type(value) is expected_type:
        return
    raise TypeError(RULE_PREFIX.format(name, expected_type.__name__))


class Model:
    """The documented behaviour in plain Python, with a cache and fake of its own."""

    def __init__(self, spark_class):
        self.spark = spark_class
        self.cache = {}
        self.lock = threading.Lock()

    def validate_config(self, me):
        self.check_input(me)

    @staticmethod
    def check_input(me):
        """What a start refuses before it changes anything; validate_config refuses the same."""
        config = me.config
        if not issubclass(type(config), dict):  # its real type, as the extension sees it
            raise RukRuntimeError(f"Local Spark config must be a dictionary, got {type(config)}")
        for name in dict.keys(config):
            if not isinstance(name, str):
                raise RukRuntimeError(f"Spark setting names must be strings, got {type(name).__name__}: {name!r}")
        master = dict.get(config, "master", "local[2]")
        if not isinstance(master, str):
            raise RukRuntimeError(
                f"Spark setting 'master' must be a string such as 'local[2]', got {type(master).__name__}: {master!r}")
        if not isinstance(me.app_name, str):
            raise RukRuntimeError(
                f"Spark application name (app_name) must be a string, got {type(me.app_name).__name__}: {me.app_name!r}")

    def get_spark_session(self, me, adapter_types=None):
        self.check_input(me)
        key = hashlib.md5(str(sorted(me.config.items())).encode("utf-8")).hexdigest()
        with self.lock:
            if key in self.cache:
                return self.cache[key]
            self.spark.getActiveSession()
        jar_cache_dir = os.path.join(os.path.expanduser("~/.mur"), "jdbc_jars")
        jars = me._get_jdbc_jars(jar_cache_dir)
        builder = self.spark.builder.appName(me.app_name)
        builder = builder.master(me.config.get("master", "local[2]"))
        class_path_search(jars, me.config)
        ",".join(jars) if jars else ""  # the JAR settings join the answer: a failure there fails the start
        for k, v in me.config.items():
            if k != "master":
                builder = builder.config(k, v)
        spark = builder.getOrCreate()
        spark.sparkContext.setLogLevel("ERROR")
        with self.lock:
            self.cache[key] = spark
        return spark

    def _get_jdbc_jars(self, me, cache_dir):
        return sorted(glob.glob(os.path.join(glob.escape(os.path.join(os.getcwd(), ".mur", "jdbc_jars")), "*.jar")))

    def close(self, me, spark):
        if os.environ.get("MUR_SPARK_KEEP_ALIVE", "0") == "1":
            return None
        if not spark:
            return None
        try:
            with self.lock:
                for key, cached in list(self.cache.items()):
                    if cached is spark:
                        del self.cache[key]
                        break
            spark.stop()
        except Exception:
            pass
        return None

    def estimate_cost(self, me, duration_minutes):
        return 0.0

    def get_platform_name(self, me):
        return "local"

    def get_jar_provisioning_config(self, me, adapter_types):
        from ruk.compute.jar_provisioning import LocalJARProvisioning

        result = LocalJARProvisioning(project_dir=os.getcwd()).get_spark_config(adapter_types)
        if result is not None and type(result) is not dict:
            raise TypeError("Expected dict")
        return result

    def test_connectivity(self, me):
        try:
            if isinstance(me, LocalStrategy) and type(me).get_spark_session is LocalStrategy.get_spark_session:
                spark = self.get_spark_session(me)
            else:
                spark = me.get_spark_session()
            spark.sql("SELECT 1 AS test").collect()
            return OK_CONNECTIVITY
        except Exception as e:
            return (False, "Local Spark failed: " + format(e, ""))

    def call(self, name, args, kwargs):
        """Binding, the argument rules, then the body, as the module documents them."""
        params, defaults = SIGNATURES[name]
        bound = bind(params, defaults, args, kwargs)
        if name == "get_spark_session":
            check_exact(bound["adapter_types"], "adapter_types", set, allow_none=True)
        elif name == "get_jar_provisioning_config":
            check_exact(bound["adapter_types"], "adapter_types", set)
        elif name == "_get_jdbc_jars":
            check_exact(bound["cache_dir"], "cache_dir", str)
        elif name == "estimate_cost":
            math.isfinite(bound["duration_minutes"])  # the interpreter's float conversion
        me = bound.pop("self")
        return getattr(self, name)(me, **bound)


def outcome(fn, *args, **kwargs):
    try:
        return ("returned", fn(*args, **kwargs))
    except Exception as e:
        return ("raised", e)


@pytest.fixture
def sandbox(fake_module, monkeypatch):
    """Private HOME, temporary directory and project; a fake PySpark and Java discovery."""
    monkeypatch.setenv("PATH", "/usr/bin")
    monkeypatch.setitem(sys.modules, "ruk.compute.java_compat", FakeJavaCompat(pyspark_info([17])))
    ns = types.SimpleNamespace(model=None)

    def reset():
        """A fresh fake, cache and model for one example."""
        local.SparkSession = FakeSparkSession.fresh()
        local._SPARK_SESSION_CACHE = {}
        ns.model = Model(FakeSparkSession.fresh())
        ns.stderr = sys.stderr
        return ns.model

    ns.reset = reset
    return ns


def same(a, b):
    """Equal results, comparing objects by identity where equality may be hostile."""
    if a is b:
        return True
    if type(a) is not type(b):
        return False
    if type(a) in (str, float, bool, int, type(None)):
        return a == b or (a != a and b != b)
    if type(a) in (tuple, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if type(a) is dict:
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return False


def assert_matches(expected, actual, context):
    kind_e, value_e = expected
    if currently_in_test_context():  # the statistics show which paths were reached
        event(f"{context}: {kind_e} {type(value_e).__name__}")
    kind_a, value_a = actual
    assert kind_a == kind_e, f"{context}: expected {expected!r}, got {actual!r}"
    if kind_e == "raised":
        assert type(value_a) is type(value_e), f"{context}: expected {expected!r}, got {actual!r}"
        message_e = value_e.args[0] if value_e.args and isinstance(value_e.args[0], str) else None
        if isinstance(value_e, RukRuntimeError) or (message_e or "").startswith("Argument '"):
            assert str(value_a).startswith(message_e), f"{context}: {value_a!r} vs {value_e!r}"


def assert_shared_state_sound(sandbox):
    assert lock_is_free()
    assert sys.stderr is sandbox.stderr


def compare_session_outcome(sandbox, expected, actual):
    """A created session must be cached exactly where the model cached its own,
    after the same builder calls; a failure caches nothing."""
    model = sandbox.model
    impl_spark = local.SparkSession
    if actual[0] == "raised":
        assert local._SPARK_SESSION_CACHE == {}
        return
    if not isinstance(actual[1], FakeSparkSession):
        return
    spark = actual[1]
    assert spark in impl_spark.created
    assert list(local._SPARK_SESSION_CACHE) == list(model.cache)
    assert local._SPARK_SESSION_CACHE[next(iter(model.cache))] is spark
    assert spark.sparkContext.log_levels == ["ERROR"]
    assert len(impl_spark.builders) == len(model.spark.builders)
    for mine, theirs in zip(impl_spark.builders, model.spark.builders):
        # The model leaves out the fast defaults: what comes between the master
        # and the user's entries, passed as they are, is defaults they lack.
        user = theirs.calls[2:]
        assert same(mine.calls[:2], theirs.calls[:2]) and same(mine.calls[-len(user):], user)
        defaults = mine.calls[2:-len(user)]
        user_keys = {str.__str__(c[1]) for c in user[:-1]}
        assert all(c[0] == "config" and type(c[1]) is str and c[1] not in user_keys for c in defaults)


# --- every entry point, every way of calling it ---------------------------------------------

arguments = st.lists(recipes, max_size=3)
keyword_names = st.one_of(
    st.sampled_from(["self", "adapter_types", "cache_dir", "spark", "duration_minutes", "config", "bogus"]),
    st.text(min_size=1, max_size=4),
)
keywords = st.dictionaries(keyword_names, recipes, max_size=2)


@FUZZ
@given(
    name=st.sampled_from(METHODS),
    style=st.sampled_from(["class", "instance", "descriptor"]),
    owner=selves,
    args=arguments,
    kwargs=keywords,
)
def test_methods_with_arbitrary_arguments(sandbox, name, style, owner, args, kwargs):
    model = sandbox.reset()
    args = [make(a) for a in args]
    kwargs = {k: make(v) for k, v in kwargs.items()}
    function = LocalStrategy.__dict__[name]
    if style == "class":
        target, full_args = getattr(LocalStrategy, name), args
    else:
        me = make_self(owner)
        if style == "instance":
            if type(me) is not LocalStrategy:  # a subclass may override the method itself
                me = LocalStrategy({}, "app")
            target = getattr(me, name)
        else:  # bound to whatever object, as any function can be
            target = function.__get__(me, type(me))
        full_args = args if me is None and style == "descriptor" else [me] + args
    expected = outcome(model.call, name, full_args, kwargs)
    actual = outcome(target, *args, **kwargs)
    assert_matches(expected, actual, f"{name} ({style})")
    if expected[0] == "returned" and name != "get_spark_session":
        assert same(expected[1], actual[1]), (expected, actual)
    if name == "get_spark_session":
        compare_session_outcome(sandbox, expected, actual)
    assert_shared_state_sound(sandbox)


@FUZZ
@given(owner=selves, adapter_types=st.one_of(st.none(), st.none(), st.just(("special", "set", None)), recipes))
def test_session_request_with_hostile_strategies(sandbox, owner, adapter_types):
    model = sandbox.reset()
    me = make_self(owner)
    adapter_types = make(adapter_types)
    expected = outcome(model.call, "get_spark_session", [me, adapter_types], {})
    actual = outcome(LocalStrategy.get_spark_session, me, adapter_types)
    assert_matches(expected, actual, "get_spark_session")
    compare_session_outcome(sandbox, expected, actual)
    assert_shared_state_sound(sandbox)
    if actual[0] == "returned":  # the same configuration now comes from the cache
        again = outcome(LocalStrategy.get_spark_session, me)
        if again[0] == "returned":
            assert again[1] is actual[1]


@FUZZ
@given(owner=selves)
def test_configuration_queries_with_hostile_strategies(sandbox, owner):
    model = sandbox.reset()
    me = make_self(owner)
    for name in ("validate_config", "test_connectivity", "get_platform_name"):
        expected = outcome(model.call, name, [me], {})
        actual = outcome(getattr(LocalStrategy, name), me)
        assert_matches(expected, actual, name)
        if expected[0] == "returned":
            assert same(expected[1], actual[1]), (name, expected, actual)
        local._SPARK_SESSION_CACHE.clear()
        model.cache.clear()
        assert_shared_state_sound(sandbox)


spark_arguments = st.one_of(
    st.just(("cached", 0)), st.just(("cached", 1)), st.just(("cached twice", None)),
    st.just(("fresh session", None)), st.just(("stop raises", None)), st.just(("no stop", None)),
    recipes,
)
cache_layouts = st.lists(st.sampled_from(["session", "hostile eq", "falsy"]), max_size=3)


class EqRaises(FakeSparkSession):
    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = FakeSparkSession.__hash__


class Falsy(FakeSparkSession):
    def __bool__(self):
        return False


@FUZZ
@given(spark=spark_arguments, layout=cache_layouts, keep_alive=st.sampled_from([None, "1", "0", " 1", "true", "\u0661"]))
def test_release_with_hostile_sessions(sandbox, spark, layout, keep_alive):
    model = sandbox.reset()
    if keep_alive is None:
        os.environ.pop("MUR_SPARK_KEEP_ALIVE", None)
    else:
        os.environ["MUR_SPARK_KEEP_ALIVE"] = keep_alive
    entries = [{"session": FakeSparkSession, "hostile eq": EqRaises, "falsy": Falsy}[k](f"s{i}")
               for i, k in enumerate(layout)]
    cache = {f"k{i}": s for i, s in enumerate(entries)}
    if isinstance(spark, tuple) and spark and spark[0] in ("cached", "cached twice", "fresh session", "stop raises", "no stop"):
        kind = spark[0]
        if kind == "cached" and entries:
            target = entries[spark[1] % len(entries)]
        elif kind == "cached twice":
            target = FakeSparkSession("twice")
            cache["t1"] = cache["t2"] = target
        elif kind == "stop raises":
            target = FakeSparkSession("raises")
            target.stop_error = Boom("stop")
            cache["r"] = target
        elif kind == "no stop":
            target = types.SimpleNamespace(name="no stop")
            cache["n"] = target
        else:
            target = FakeSparkSession("fresh")
    else:
        target = make(spark)
    local._SPARK_SESSION_CACHE = dict(cache)
    model.cache = dict(cache)
    stops_before = [getattr(s, "stop_calls", None) for s in cache.values()] + [getattr(target, "stop_calls", None)]
    expected = outcome(model.call, "close", [LocalStrategy({}, "app"), target], {})
    stops_model = [getattr(s, "stop_calls", None) for s in cache.values()] + [getattr(target, "stop_calls", None)]
    actual = outcome(LocalStrategy({}, "app").close, target)
    stops_impl = [getattr(s, "stop_calls", None) for s in cache.values()] + [getattr(target, "stop_calls", None)]
    assert_matches(expected, actual, "close")
    assert list(local._SPARK_SESSION_CACHE) == list(model.cache)
    assert all(local._SPARK_SESSION_CACHE[k] is model.cache[k] for k in model.cache)
    delta_model = [None if b is None else m - b for b, m in zip(stops_before, stops_model)]
    delta_impl = [None if m is None else i - m for m, i in zip(stops_model, stops_impl)]
    assert delta_model == delta_impl
    assert_shared_state_sound(sandbox)


numbers = st.one_of(
    st.floats(),
    st.integers(),
    st.sampled_from([10**400, -(10**400), 2**1024, True, False]),
    st.tuples(st.just("special"), st.sampled_from(["floatlike", "indexlike"]), st.one_of(leaves, st.floats())),
    st.tuples(st.just("hostile"), st.sampled_from(["object", "int", "float", "str"]),
              st.sampled_from([("__float__",), ("__index__",), ("__float__", "__index__"), ("__int__",), ()]),
              st.one_of(st.integers(), st.floats())),
    recipes,
)


@pytest.mark.filterwarnings("ignore:__index__ returned non-int:DeprecationWarning")
@pytest.mark.filterwarnings("ignore:__float__ returned non-float:DeprecationWarning")
@FUZZ
@given(duration=numbers, by_keyword=st.booleans())
def test_cost_estimate_with_hostile_numbers(sandbox, duration, by_keyword):
    model = sandbox.reset()
    duration = make(duration)
    me = LocalStrategy({}, "app")
    kwargs = {"duration_minutes": duration} if by_keyword else {}
    args = [] if by_keyword else [duration]
    expected = outcome(model.call, "estimate_cost", [me] + args, kwargs)
    actual = outcome(me.estimate_cost, *args, **kwargs)
    assert_matches(expected, actual, "estimate_cost")
    if actual[0] == "returned":
        assert type(actual[1]) is float and actual[1] == 0.0
    assert_shared_state_sound(sandbox)


MODULE_FUNCTIONS = {"cleanup_all_spark_sessions": CLEANUP,
                    "_disable_multiprocessing_resource_tracker": DISABLE_TRACKER,
                    "_ensure_java_available": ENSURE_JAVA}


@FUZZ
@given(name=st.sampled_from(sorted(MODULE_FUNCTIONS)), args=arguments, kwargs=keywords,
       cached=st.lists(st.sampled_from(["session", "stop raises", "none", "hostile"]), max_size=3))
def test_module_functions_with_arbitrary_arguments(sandbox, name, args, kwargs, cached):
    sandbox.reset()
    entries = {}
    for i, kind in enumerate(cached):
        if kind == "session":
            entries[f"k{i}"] = FakeSparkSession(f"s{i}")
        elif kind == "stop raises":
            entries[f"k{i}"] = s = FakeSparkSession(f"s{i}")
            s.stop_error = Boom("stop")
        elif kind == "none":
            entries[f"k{i}"] = None
        else:
            entries[f"k{i}"] = build_hostile("object", ("__getattr__", "__bool__", "__eq__"), None)
    cache = local._SPARK_SESSION_CACHE
    cache.update(entries)
    args = [make(a) for a in args]
    kwargs = {k: make(v) for k, v in kwargs.items()}
    result = outcome(MODULE_FUNCTIONS[name], *args, **kwargs)
    if args or kwargs:
        assert result[0] == "raised" and type(result[1]) is TypeError, result
        assert list(cache.values()) == list(entries.values()) or cache == entries
    else:
        assert result == ("returned", None), result
        if name == "cleanup_all_spark_sessions":
            assert cache == {} and local._SPARK_SESSION_CACHE is cache
            assert all(s.stop_calls == 1 for s in entries.values() if isinstance(s, FakeSparkSession))
        if name == "_ensure_java_available":
            assert os.environ["JAVA_HOME"] == FAKE_JDK
            assert os.environ["PATH"].split(os.pathsep)[:2] == [os.path.join(FAKE_JDK, "bin"), "/usr/bin"]
    assert_shared_state_sound(sandbox)


# --- hostile arguments that Hypothesis need not find -----------------------------------------


class StrSubRaisingStr(str):
    def __str__(self):
        raise Boom("str")

    def __repr__(self):
        raise Boom("repr")


@pytest.mark.parametrize("name", METHODS)
@pytest.mark.parametrize(
    "keyword",
    [StrSub("self"), StrSub("bogus"), StrSubRaisingStr("bogus"), StrSubRaisingStr("spark"), "\ud800", "x" * 10_000],
    ids=["str subclass naming self", "str subclass unknown", "unprintable unknown", "unprintable known",
         "surrogate", "very long"],
)
def test_odd_keyword_names(sandbox, name, keyword):
    model = sandbox.reset()
    me = LocalStrategy({}, "app")
    expected = outcome(model.call, name, [me], {keyword: None})
    actual = outcome(getattr(LocalStrategy, name), me, **{keyword: None})
    if expected[0] == "raised" and actual[0] == "raised" and isinstance(actual[1], Boom):
        pass  # the unknown name's own __str__ failed while the TypeError text was made
    else:
        assert_matches(expected, actual, name)
    assert_shared_state_sound(sandbox)


@pytest.mark.parametrize("count", [0, 5, 300])
@pytest.mark.parametrize("name", METHODS)
def test_many_arguments(sandbox, name, count):
    sandbox.reset()
    args = [None] * count
    kwargs = {f"k{i}": i for i in range(count)}
    for call in (lambda: getattr(LocalStrategy, name)(*args, **kwargs),
                 lambda: getattr(LocalStrategy({}, "app"), name)(*args, **kwargs)):
        result = outcome(call)
        if count:
            assert result[0] == "raised" and type(result[1]) is TypeError
    assert_shared_state_sound(sandbox)


@pytest.mark.parametrize(
    "defaults, works",
    [((), False), ((1, 2, 3), False), ((1, set()), True), ((SetSub(),), False), (("x",), False), (None, False),
     ((set(),), True)],
    ids=["none left", "too many, last not a set", "too many, last a set", "subclass default",
         "wrong type default", "removed", "a set"],
)
def test_session_request_with_rebound_defaults(sandbox, monkeypatch, defaults, works):
    """Defaults are function attributes anyone may rebind; binding follows them
    (the last ones fill the trailing parameters) and the argument rule still holds."""
    sandbox.reset()
    function = LocalStrategy.__dict__["get_spark_session"]
    monkeypatch.setattr(function, "__defaults__", defaults)
    result = outcome(LocalStrategy({}, "app").get_spark_session)
    if works:
        assert result[0] == "returned" and isinstance(result[1], FakeSparkSession)
    else:
        assert result[0] == "raised" and type(result[1]) is TypeError, result
    assert_shared_state_sound(sandbox)


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


MODULE_STATE_DAMAGE = {
    "cache is None": ("_SPARK_SESSION_CACHE", None),
    "cache is a list": ("_SPARK_SESSION_CACHE", []),
    "cache is hostile": ("_SPARK_SESSION_CACHE", None),
    "lock is None": ("_SPARK_SESSION_LOCK", None),
    "lock enter raises": ("_SPARK_SESSION_LOCK", EnterRaises()),
    "lock exit truth raises": ("_SPARK_SESSION_LOCK", ExitTruthRaises()),
    "availability flag unanswerable": ("PYSPARK_AVAILABLE", None),
    "availability flag missing": ("PYSPARK_AVAILABLE", None),
    "session class missing": ("SparkSession", None),
    "session class is None": ("SparkSession", None),
    "error class missing": ("RukRuntimeError", None),
    "os missing": ("os", None),
}


@pytest.fixture
def namespace_order_kept():
    """monkeypatch puts a deleted name back at the end of the module's
    namespace; once it has, put every name back where the import bound it.
    (Requested first, so it is torn down after monkeypatch.)"""
    order = list(vars(local))
    yield
    namespace = vars(local)
    restored = {name: namespace[name] for name in order if name in namespace}
    restored.update(namespace)
    namespace.clear()
    namespace.update(restored)


@pytest.mark.parametrize("damage", list(MODULE_STATE_DAMAGE))
def test_damaged_module_state_gives_exceptions_not_crashes(namespace_order_kept, sandbox, monkeypatch, damage):
    sandbox.reset()
    name, value = MODULE_STATE_DAMAGE[damage]
    cache = local._SPARK_SESSION_CACHE
    if damage == "cache is hostile":
        value = build_hostile("dict", ("__contains__", "__iter__", "__len__", "__getattr__"), None)
        value.items = _boom
    if damage == "availability flag unanswerable":
        value = build_hostile("object", ("__bool__",), None)
    if damage == "error class missing":
        monkeypatch.setattr(local, "PYSPARK_AVAILABLE", False)
    if "missing" in damage:
        monkeypatch.delattr(local, name)
    else:
        monkeypatch.setattr(local, name, value)
    if name != "_SPARK_SESSION_CACHE":
        cache["k"] = FakeSparkSession("cached")
    strategy = LocalStrategy({}, "app")
    original_stderr = sys.stderr
    calls = {
        "get_spark_session": lambda: strategy.get_spark_session(),
        "close": lambda: strategy.close(FakeSparkSession("released")),
        "cleanup": lambda: local.cleanup_all_spark_sessions(),
        "test_connectivity": lambda: strategy.test_connectivity(),
        "validate_config": lambda: strategy.validate_config(),
        "_get_jdbc_jars": lambda: strategy._get_jdbc_jars("x"),
        "get_jar_provisioning_config": lambda: strategy.get_jar_provisioning_config(set()),
    }
    for label, call in calls.items():
        result = outcome(call)
        if label == "close":
            assert result == ("returned", None), (label, result)  # release is best effort
        if label == "test_connectivity" and result[0] == "returned" and result[1] != OK_CONNECTIVITY:
            assert result[1][0] is False and result[1][1].startswith("Local Spark failed: ")
        if result[0] == "raised":
            assert isinstance(result[1], Exception), (label, result)
        if isinstance(local.__dict__.get("_SPARK_SESSION_LOCK"), type(threading.Lock())):
            assert lock_is_free(), label
        assert sys.stderr is original_stderr, label


def test_session_lock_whose_exit_swallows_errors(sandbox, monkeypatch):
    """A lock object that suppresses exceptions: the block's failure is dropped
    as a `with` statement would drop it, and the request goes on."""
    sandbox.reset()
    lock = ExitSwallows()
    monkeypatch.setattr(local, "_SPARK_SESSION_LOCK", lock)
    monkeypatch.setattr(local, "_SPARK_SESSION_CACHE", None)  # every cache access fails
    spark = LocalStrategy({}, "app").get_spark_session()
    assert isinstance(spark, FakeSparkSession) and lock.exits == 2
    assert LocalStrategy({}, "app").close(spark) is None and spark.stop_calls == 1
    assert local.cleanup_all_spark_sessions() is None and lock.exits == 4


def test_validate_config_on_objects_that_are_not_strategies():
    assert outcome(LocalStrategy.validate_config, object())[0] == "raised"
    assert type(outcome(LocalStrategy.validate_config, object())[1]) is AttributeError
    assert type(outcome(LocalStrategy.validate_config, None)[1]) is AttributeError
    assert LocalStrategy.validate_config(types.SimpleNamespace(config=DictSub(), app_name="app")) is None
    with pytest.raises(AttributeError, match="app_name"):  # as a start would
        LocalStrategy.validate_config(types.SimpleNamespace(config={}))
    with pytest.raises(RukRuntimeError) as info:
        LocalStrategy.validate_config(types.SimpleNamespace(config=types.MappingProxyType({})))
    assert str(info.value) == "Local Spark config must be a dictionary, got <class 'mappingproxy'>"
    with pytest.raises(Boom):
        LocalStrategy.validate_config(ConfigRaises())
    assert LocalStrategy.get_platform_name(None) == "local"
    assert LocalStrategy.estimate_cost(None, IndexLike(3)) == 0.0
    with pytest.raises(OverflowError):
        LocalStrategy.estimate_cost(None, IndexLike(10**400))
    with pytest.raises(TypeError):
        LocalStrategy.estimate_cost(None, IndexLike("3"))
    with pytest.raises(TypeError):
        LocalStrategy.estimate_cost(None, FloatLike("3"))


@pytest.mark.parametrize("name", METHODS)
@pytest.mark.parametrize(
    "attribute, value",
    [
        ("__defaults__", (1, 2, 3)),
        ("__defaults__", (SetSub(),)),
        ("__defaults__", ()),
        ("__annotations__", {}),
        ("__annotations__", {"self": build_hostile("object", ("__repr__", "__eq__", "__hash__"), None), 1: 2}),
        ("__annotations__", DictSub(return_=1)),
    ],
    ids=["long defaults", "subclass default", "no defaults", "no annotations", "hostile annotations",
         "dict subclass annotations"],
)
def test_signature_of_tampered_functions(monkeypatch, name, attribute, value):
    """inspect.signature reads the function's current attributes, as it does
    those of a Python function holding the same ones (a call takes the
    defaults from the end of a tuple longer than the parameters; so does the
    signature)."""
    import inspect

    function = LocalStrategy.__dict__[name]
    params = SIGNATURES[name][0]
    ns = {}
    exec(f"def {name}({', '.join(params)}): pass", ns)
    twin = ns[name]
    twin.__defaults__, twin.__annotations__ = function.__defaults__, dict(function.__annotations__)
    monkeypatch.setattr(function, attribute, value)
    setattr(twin, attribute, value[-len(params):] if attribute == "__defaults__" else value)
    strategy = LocalStrategy({}, "app")

    def text(f):
        return str(inspect.signature(f))

    for real, model in ((function, twin), (getattr(strategy, name), types.MethodType(twin, strategy))):
        expected, got = outcome(text, model), outcome(text, real)
        assert (got[0], type(got[1])) == (expected[0], type(expected[1]))
        assert got[0] == "raised" or got[1] == expected[1]


def _raise_boom():
    raise Boom("eq")


# where the key goes, the name it collides with, what its __eq__ does to the function
SIGNATURE_ATTACKS = {
    "annotation key drops __defaults__": ("__annotations__", "self", lambda f: setattr(f, "__defaults__", None)),
    "annotation key replaces __annotations__": ("__annotations__", "self", lambda f: setattr(f, "__annotations__", {})),
    "return key replaces __annotations__": ("__annotations__", "return", lambda f: setattr(f, "__annotations__", {})),
    "annotation key raises": ("__annotations__", "adapter_types", lambda f: _raise_boom()),
    "__dict__ key replaces __dict__": ("__dict__", "__signature__", lambda f: setattr(f, "__dict__", {})),
    "__dict__ key drops __defaults__": ("__dict__", "__signature__", lambda f: setattr(f, "__defaults__", None)),
}


@pytest.mark.parametrize("attack", list(SIGNATURE_ATTACKS))
def test_signature_survives_keys_that_rebind_the_function(monkeypatch, attack):
    """inspect.signature with a key whose __eq__ rebinds the very attributes
    being read: an answer or the key's own exception, never freed memory."""
    import inspect

    where, name, action = SIGNATURE_ATTACKS[attack]
    function = LocalStrategy.__dict__["get_spark_session"]
    for attribute in ("__defaults__", "__annotations__", "__dict__"):
        monkeypatch.setattr(function, attribute, getattr(function, attribute))  # put back afterwards
    key = CollidingKey(name)
    # Only the function holds the new dict, so replacing it frees it.
    if where == "__annotations__":
        function.__annotations__ = {key: "hostile", **function.__annotations__}
    else:
        function.__dict__ = {key: "hostile"}
    key.action = lambda: action(function)
    result = outcome(inspect.signature, function)
    if attack == "annotation key raises":
        assert result[0] == "raised" and str(result[1]) == "eq"
    else:
        assert result[0] == "returned", result
        assert list(result[1].parameters) == ["self", "adapter_types"]
    assert key.action is None  # the attack did run


class Inner(Exception):
    pass


class Outer(Exception):
    pass


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
    def __contains__(self, key):
        raise Inner("block")


def context_chain(error, limit=10):
    chain = []
    while error is not None and len(chain) < limit:
        chain.append((type(error).__name__, str(error)))
        error = error.__context__
    return chain


@pytest.mark.parametrize("behaviour", list(EXIT_BEHAVIOURS))
def test_lock_exit_raising_over_the_block_error_chains_as_python_does(sandbox, monkeypatch, behaviour):
    sandbox.reset()

    def outcome_while_handling(call):
        handled = Outer("handled")
        try:
            raise handled
        except Outer:
            try:
                call(ExitRaises(EXIT_BEHAVIOURS[behaviour], handled))
            except Exception as e:
                return e

    def python_with(lock):
        with lock:
            raise Inner("block")

    def session_request(lock):
        monkeypatch.setattr(local, "_SPARK_SESSION_LOCK", lock)
        monkeypatch.setattr(local, "_SPARK_SESSION_CACHE", BlockRaises())
        LocalStrategy({}, "app").get_spark_session()

    expected = context_chain(outcome_while_handling(python_with))
    assert len(expected) < 10  # no loop
    assert context_chain(outcome_while_handling(session_request)) == expected
