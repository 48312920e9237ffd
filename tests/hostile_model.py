"""The documented behaviour of the local strategy's entry points as a
plain-Python model, and how the hostile-argument tests compare the extension
with it: the same result, or an exception of the same type (and, for the
strategy's own errors and the argument rules, the same message)."""

import glob
import hashlib
import math
import os
import sys
import threading
import types

import pytest
from hypothesis import currently_in_test_context, event

import ruk.compute.strategies.local as local
from ruk.compute.start.extensions import class_path_search
from fake_spark import FakeJavaCompat, FakeSparkSession, lock_is_free, pyspark_info

LocalStrategy = local.LocalStrategy
RukRuntimeError = local.RukRuntimeError
OK_CONNECTIVITY = (True, "Local Spark session created and SQL test passed")

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
