"""The Python-visible frame of the local strategy extension: names,
function objects, argument rules, globals read at call time, and import."""

import abc
import builtins
import copy
import ctypes
import importlib
import inspect
import math
import os
import pickle
import subprocess
import sys
import textwrap
import threading
import types
import typing
from pathlib import Path

import pytest

import ruk.compute.strategies.local as mod
from ruk.compute.strategies.base import BaseConnectionStrategy
from ruk_common.exceptions import RukRuntimeError
from fake_spark import SetSub, StrSub, jar_dir
from hostile import Boom, FloatLike, IndexLike, build_hostile

MOD_NAME = "ruk.compute.strategies.local"
LocalStrategy = mod.LocalStrategy
NO_PYSPARK = "PySpark is not available. Install it with: pip install pyspark"
METHODS = [
    "validate_config", "get_spark_session", "_get_jdbc_jars", "close",
    "estimate_cost", "get_platform_name", "get_jar_provisioning_config", "test_connectivity",
]
MODULE_FUNCTIONS = [
    "cleanup_all_spark_sessions", "_disable_multiprocessing_resource_tracker", "_ensure_java_available",
]

# A fresh interpreter can hide a module behind this finder: the import then
# fails exactly as it would if the module were not installed.
BLOCKER = """
import sys
class _Block:
    def __init__(self, *names):
        self.names = names
    def find_spec(self, name, path=None, target=None):
        if any(name == n or name.startswith(n + ".") for n in self.names):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None
"""


def run_python(code):
    """Run code in a fresh interpreter that finds this build of the package."""
    src_root = Path(mod.__file__).parents[3]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(src_root), os.environ.get("PYTHONPATH", "")]))
    return subprocess.run(
        [sys.executable, "-c", BLOCKER + textwrap.dedent(code)],
        env=env, capture_output=True, text=True, timeout=300,
    )


# --- names -----------------------------------------------------------------------


def test_namespace_values():
    from pyspark.sql import SparkSession

    import_system = {"__name__", "__package__", "__loader__", "__spec__", "__file__"}
    assert set(vars(mod)) - import_system == {
        "__doc__", "os", "Dict", "Optional", "Set", "Tuple", "BaseConnectionStrategy", "RukRuntimeError",
        "SparkSession", "PYSPARK_AVAILABLE", "_SPARK_SESSION_CACHE", "threading", "_SPARK_SESSION_LOCK",
        *MODULE_FUNCTIONS, "LocalStrategy", "__test__",
    }
    assert mod.os is os and mod.threading is threading
    assert (mod.Dict, mod.Optional, mod.Set, mod.Tuple) == (typing.Dict, typing.Optional, typing.Set, typing.Tuple)
    assert mod.BaseConnectionStrategy is BaseConnectionStrategy
    assert mod.RukRuntimeError is RukRuntimeError
    assert mod.SparkSession is SparkSession and mod.PYSPARK_AVAILABLE is True
    assert type(mod._SPARK_SESSION_CACHE) is dict
    assert type(mod._SPARK_SESSION_LOCK) is type(threading.Lock())
    assert mod.__test__ == {} and type(mod.__test__) is dict


def _member(name):
    return getattr(mod, name) if name in MODULE_FUNCTIONS else LocalStrategy.__dict__[name]


# --- function objects ------------------------------------------------------------------

FUNCTION_TABLE = [
    # name, annotations, defaults, signature text
    ("validate_config", {"return": "None"}, None, "(self) -> 'None'"),
    ("get_spark_session", {"adapter_types": "Optional[Set[str]]", "return": "SparkSession"}, (None,),
     "(self, adapter_types: 'Optional[Set[str]]' = None) -> 'SparkSession'"),
    ("_get_jdbc_jars", {"cache_dir": "str", "return": "list"}, None, "(self, cache_dir: 'str') -> 'list'"),
    ("close", {"spark": "Optional[SparkSession]", "return": "None"}, None,
     "(self, spark: 'Optional[SparkSession]') -> 'None'"),
    ("estimate_cost", {"duration_minutes": "float", "return": "float"}, None,
     "(self, duration_minutes: 'float') -> 'float'"),
    ("get_platform_name", {"return": "str"}, None, "(self) -> 'str'"),
    ("get_jar_provisioning_config", {"adapter_types": "Set[str]", "return": "Dict[str, str]"}, None,
     "(self, adapter_types: 'Set[str]') -> 'Dict[str, str]'"),
    ("test_connectivity", {"return": "Tuple[bool, str]"}, None, "(self) -> 'Tuple[bool, str]'"),
    *[(name, {}, None, "()") for name in MODULE_FUNCTIONS],
]


@pytest.mark.parametrize("name, annotations, defaults, signature", FUNCTION_TABLE)
def test_function_attributes(name, annotations, defaults, signature):
    f = _member(name)
    qualname = name if name in MODULE_FUNCTIONS else f"LocalStrategy.{name}"
    assert (f.__name__, f.__qualname__, f.__module__) == (name, qualname, MOD_NAME)
    assert f.__annotations__ == annotations
    assert list(f.__annotations__) == list(annotations)  # parameters first, "return" last
    assert f.__defaults__ == defaults and f.__kwdefaults__ is None
    assert str(inspect.signature(f)) == signature


def test_class_shape():
    assert type(LocalStrategy) is abc.ABCMeta
    assert LocalStrategy.__bases__ == (BaseConnectionStrategy,)
    assert (LocalStrategy.__module__, LocalStrategy.__qualname__) == (MOD_NAME, "LocalStrategy")
    # what a class statement leaves behind: __qualname__ is consumed by type()
    assert {"__module__", "__doc__", *METHODS} <= set(LocalStrategy.__dict__)
    assert "__qualname__" not in LocalStrategy.__dict__
    assert LocalStrategy.__abstractmethods__ == frozenset()
    assert inspect.signature(LocalStrategy) == inspect.signature(BaseConnectionStrategy)


def test_class_namespace_goes_through_metaclass_prepare():
    r = run_python("""
        import abc
        import ruk.compute.strategies.base as base
        seen = []
        class Meta(abc.ABCMeta):
            @classmethod
            def __prepare__(mcls, name, bases, **kw):
                seen.append((name, bases))
                return {}
            def __new__(mcls, name, bases, ns, **kw):
                seen.append(list(ns))
                return super().__new__(mcls, name, bases, ns, **kw)
        class Base(base.BaseConnectionStrategy, metaclass=Meta):
            pass
        del seen[:]
        base.BaseConnectionStrategy = Base
        import ruk.compute.strategies.local as m
        print(len(seen) == 2 and seen[0] == ("LocalStrategy", (Base,)), type(m.LocalStrategy) is Meta)
        print(*seen[1])
    """)
    assert r.returncode == 0, r.stderr
    flags, names = r.stdout.splitlines()
    assert flags == "True True"
    assert sorted(names.split()) == sorted(["__module__", "__qualname__", "__doc__", *METHODS])


def test_abstract_methods_enforced_by_the_base():
    partial = {n: LocalStrategy.__dict__[n] for n in METHODS if n != "test_connectivity"}
    Partial = type(BaseConnectionStrategy)("Partial", (BaseConnectionStrategy,), partial)
    with pytest.raises(TypeError, match="test_connectivity"):
        Partial({})
    s = LocalStrategy({"master": "local[1]"}, "app")
    assert (s.config, s.app_name) == ({"master": "local[1]"}, "app")


def test_methods_bind_like_python_functions():
    s = LocalStrategy({})
    assert LocalStrategy.close is LocalStrategy.__dict__["close"]  # plain function on the class
    bound = s.close
    assert bound.__func__ is LocalStrategy.close and bound.__self__ is s
    assert str(inspect.signature(bound)) == "(spark: 'Optional[SparkSession]') -> 'None'"
    assert str(inspect.signature(s.get_spark_session)) == "(adapter_types: 'Optional[Set[str]]' = None) -> 'SparkSession'"
    assert LocalStrategy.get_platform_name(object()) == "local"


def _python_twin(name):
    """A pure-Python function with the same parameters and __qualname__."""
    params = {
        "get_spark_session": "self, adapter_types=None", "_get_jdbc_jars": "self, cache_dir",
        "close": "self, spark", "estimate_cost": "self, duration_minutes",
        "get_jar_provisioning_config": "self, adapter_types",
    }.get(name, "" if name in MODULE_FUNCTIONS else "self")
    ns = {}
    exec(f"def {name}({params}): pass", ns)
    ns[name].__qualname__ = _member(name).__qualname__
    return ns[name]


@pytest.mark.parametrize("name, bound, args, kwargs", [
    ("close", True, (), {}),
    ("close", False, (), {}),
    ("close", False, (), {"spark": 1}),
    ("close", True, (1, 2), {}),
    ("close", True, (), {"x": 1}),
    ("close", True, (1,), {"spark": 2}),
    ("get_spark_session", True, (None, 2), {}),
    ("get_spark_session", True, (), {"adapter_types": [], "x": 1}),
    ("_get_jdbc_jars", True, (b"x", 1), {}),  # arity is checked before the type rule
    ("_get_jdbc_jars", True, ("a",), {"cache_dir": "b"}),
    ("estimate_cost", True, (), {}),
    ("validate_config", True, (), {"self": 1}),
    ("get_platform_name", True, (1,), {}),
    ("test_connectivity", False, (), {}),
    ("cleanup_all_spark_sessions", False, (1,), {}),
    ("_ensure_java_available", False, (), {"a": 1}),
    ("_disable_multiprocessing_resource_tracker", False, (1, 2), {}),
])
def test_binding_errors_read_like_python(name, bound, args, kwargs):
    s = LocalStrategy({})
    real, twin = _member(name), _python_twin(name)
    if bound:
        real, twin = types.MethodType(real, s), types.MethodType(twin, s)
    with pytest.raises(TypeError) as expected:
        twin(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        real(*args, **kwargs)
    assert str(got.value) == str(expected.value)


RULES = [("get_spark_session", "adapter_types", set), ("_get_jdbc_jars", "cache_dir", str),
         ("get_jar_provisioning_config", "adapter_types", set)]
REFUSED = [
    (name, param, expected, value)
    for name, param, expected in RULES
    for value in ([1], frozenset(), SetSub(), StrSub("x"), None, b"x")
    if type(value) is not expected and not (value is None and name == "get_spark_session")
]


@pytest.mark.parametrize("by_keyword", [False, True])
@pytest.mark.parametrize("name, param, expected, value", REFUSED)
def test_exact_type_rules(monkeypatch, name, param, expected, value, by_keyword):
    monkeypatch.setattr(mod, "PYSPARK_AVAILABLE", False)  # nothing may start if the rule lets it through
    method = getattr(LocalStrategy({}), name)
    with pytest.raises(TypeError) as ei:
        method(**{param: value}) if by_keyword else method(value)
    head = f"Argument '{param}' has incorrect type (expected {expected.__name__}, got {type(value).__name__})"
    if isinstance(value, expected):
        assert str(ei.value).startswith(head + ". ") and len(str(ei.value)) > len(head) + 10
    else:
        assert str(ei.value) == head


def test_type_name_in_rule_message_is_cut_at_200():
    long_type = type("L" * 300, (), {})
    with pytest.raises(TypeError) as ei:
        LocalStrategy({})._get_jdbc_jars(long_type())
    assert str(ei.value) == f"Argument 'cache_dir' has incorrect type (expected str, got {'L' * 200})"


@pytest.mark.parametrize("value", [5, True, 0.5, -1, math.inf, math.nan, FloatLike(7.5), IndexLike(3)],
                         ids=["int", "bool", "float", "negative", "inf", "nan", "__float__", "__index__"])
def test_estimate_cost_converts_and_returns_zero(value):
    s = LocalStrategy({})
    first = s.estimate_cost(value)
    assert first == 0.0 and type(first) is float
    assert s.estimate_cost(duration_minutes=value) == 0.0


def test_estimate_cost_conversion_failures():
    s = LocalStrategy({})
    with pytest.raises(TypeError) as ei:
        s.estimate_cost("5")
    with pytest.raises(TypeError) as interpreter:
        math.isnan("5")  # the interpreter's own float conversion
    assert str(ei.value) == str(interpreter.value)
    with pytest.raises(OverflowError):
        s.estimate_cost(10**400)
    with pytest.raises(Boom, match="hostile"):
        s.estimate_cost(build_hostile("object", ("__float__",), None))


@pytest.mark.parametrize("attr, value", [("__name__", 1), ("__qualname__", None), ("__defaults__", [1]),
                                         ("__kwdefaults__", 1), ("__annotations__", 1), ("__dict__", 1)])
def test_function_attribute_setters_refuse_like_python(attr, value):
    def twin():
        pass

    with pytest.raises(TypeError) as expected:
        setattr(twin, attr, value)
    with pytest.raises(TypeError) as got:
        setattr(LocalStrategy.close, attr, value)
    assert str(got.value) == str(expected.value)


def test_function_attributes_are_writable(monkeypatch):
    f = LocalStrategy.estimate_cost
    monkeypatch.setattr(f, "marker", 1, raising=False)
    assert f.__dict__ == {"marker": 1}
    # a new default takes part in binding, as it would for a Python function
    monkeypatch.setattr(f, "__defaults__", (3.0,))
    assert LocalStrategy({}).estimate_cost() == 0.0
    assert str(inspect.signature(f)) == "(self, duration_minutes: 'float' = 3.0) -> 'float'"


@pytest.mark.parametrize("name", METHODS + MODULE_FUNCTIONS)
def test_functions_pickle_and_copy_by_reference(name):
    """As plain functions: pickled as a global found again by module and
    qualified name, under every protocol and both picklers; copies are the
    object itself."""
    f = _member(name)
    for dumps in (pickle.dumps, pickle._dumps):
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(dumps(f, protocol)) is f, (dumps, protocol)
    assert copy.copy(f) is f
    assert copy.deepcopy({"cb": [f]})["cb"][0] is f


# --- module globals are read at call time ---------------------------------------------


@pytest.mark.parametrize("java_options", [None, "-Dmarker=1"])
@pytest.mark.parametrize("args", [(), (None,), (set(),), ({"postgres"},)], ids=["default", "none", "empty", "one"])
def test_pyspark_flag_read_at_call_time(monkeypatch, java_options, args):
    if java_options is None:
        monkeypatch.delenv("_JAVA_OPTIONS", raising=False)
    else:
        monkeypatch.setenv("_JAVA_OPTIONS", java_options)

    def must_not_run():
        raise AssertionError("called before the PySpark check")

    monkeypatch.setattr(mod, "_disable_multiprocessing_resource_tracker", must_not_run)
    monkeypatch.setattr(mod, "_ensure_java_available", must_not_run)
    monkeypatch.setattr(mod, "PYSPARK_AVAILABLE", False)
    with pytest.raises(RukRuntimeError) as ei:
        LocalStrategy({}).get_spark_session(*args)
    assert ei.value.args == (NO_PYSPARK,)
    assert os.environ.get("_JAVA_OPTIONS") == java_options


def test_missing_error_class_is_a_name_error(monkeypatch):
    monkeypatch.delattr(mod, "RukRuntimeError")
    monkeypatch.setattr(mod, "PYSPARK_AVAILABLE", False)
    for call in (LocalStrategy([]).validate_config, LocalStrategy({}).get_spark_session):
        with pytest.raises(NameError) as ei:
            call()
        assert str(ei.value) == "name 'RukRuntimeError' is not defined"
    # builtins are the fallback, as for Python code
    monkeypatch.setattr(builtins, "RukRuntimeError", LookupError, raising=False)
    with pytest.raises(LookupError, match="must be a dictionary"):
        LocalStrategy([]).validate_config()


def test_os_read_at_call_time(monkeypatch, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    jars = jar_dir(elsewhere, "x.jar")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(mod, "os", types.SimpleNamespace(getcwd=lambda: str(elsewhere), path=os.path))
    assert LocalStrategy({})._get_jdbc_jars("/ignored") == [str(jars / "x.jar")]


# --- import ----------------------------------------------------------------------------


def test_reimport_gives_the_same_module_and_state(monkeypatch):
    cache, lock = mod._SPARK_SESSION_CACHE, mod._SPARK_SESSION_LOCK
    monkeypatch.setitem(cache, "0" * 32, "kept")
    monkeypatch.setattr(mod, "PYSPARK_AVAILABLE", "not re-run")
    monkeypatch.delitem(sys.modules, MOD_NAME)
    again = importlib.import_module(MOD_NAME)
    assert again is mod and again.LocalStrategy is LocalStrategy
    assert again._SPARK_SESSION_CACHE is cache and cache["0" * 32] == "kept"
    assert again._SPARK_SESSION_LOCK is lock and again.PYSPARK_AVAILABLE == "not re-run"


def test_exec_into_another_module_object_is_refused():
    api = ctypes.pythonapi
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    api.PyModule_ExecDef.restype = ctypes.c_int
    other = types.ModuleType("x")
    with pytest.raises(RuntimeError) as ei:
        api.PyModule_ExecDef(other, api.PyModule_GetDef(mod))
    assert str(ei.value) == "Module 'local' has already been imported. Re-initialisation is not supported."
    assert "LocalStrategy" not in vars(other)


def test_only_the_main_interpreter_imports_the_module():
    """Subinterpreters are refused whether they come before or after the main
    interpreter's import, and a refused import leaves nothing behind."""
    r = run_python("""
        import _xxsubinterpreters as sub
        probe = ("import sys\\ntry:\\n    import ruk.compute.strategies.local\\n"
                 "except ImportError as e:\\n    print(type(e).__name__, e)\\n"
                 "print('ruk.compute.strategies.local' in sys.modules)\\n")
        for _ in range(2):  # the second is likely made where the first one was
            interp = sub.create()
            sub.run_string(interp, probe)
            sub.destroy(interp)
        import ruk.compute.strategies.local
        interp = sub.create()
        sub.run_string(interp, probe)
        sub.destroy(interp)
        print("main ok", ruk.compute.strategies.local.LocalStrategy.__name__)
    """)
    assert r.returncode == 0, r.stderr
    refused = ["ImportError Interpreter change detected - this module can only be loaded into one "
               "interpreter per process.", "False"]
    assert r.stdout.splitlines() == refused * 3 + ["main ok LocalStrategy"]


def test_import_without_pyspark():
    r = run_python("""
        sys.meta_path.insert(0, _Block("pyspark"))
        import ruk.compute.strategies.local as m
        print(m.PYSPARK_AVAILABLE, m.SparkSession, m._SPARK_SESSION_CACHE)
        s = m.LocalStrategy({})
        try:
            s.get_spark_session()
        except m.RukRuntimeError as e:
            print(type(e).__name__, e.args)
        print(repr(s.test_connectivity()))
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "False None {}",
        f"RukRuntimeError ({NO_PYSPARK!r},)",
        "(False, 'PySpark not installed')",
    ]


def test_import_with_missing_base_fails_then_recovers():
    r = run_python("""
        block = _Block("ruk.compute.strategies.base")
        sys.meta_path.insert(0, block)
        try:
            import ruk.compute.strategies.local
        except ModuleNotFoundError as e:
            print("first", e.name)
        print("ruk.compute.strategies.local" in sys.modules)
        sys.meta_path.remove(block)
        import ruk.compute.strategies.local as m
        print(m.LocalStrategy.__mro__[1].__module__, m.PYSPARK_AVAILABLE)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["first ruk.compute.strategies.base", "False", "ruk.compute.strategies.base True"]
