"""Hostile arguments at every entry point of the local strategy.

Hypothesis throws arbitrary positional and keyword arguments, subclasses of the
built-in types, huge integers, objects whose special methods raise, odd
configurations and odd `self` objects at the module's functions and methods.
Each outcome is compared with a plain-Python model of the documented behaviour
(hostile_model.py): the same result, or an exception of the same type.
Everything runs in this process on purpose: a crash in the extension takes the
whole run down loudly.

Session entry points run against a fake PySpark, so no JVM starts.
"""

import os
import types

import pytest
from hypothesis import given
from hypothesis import strategies as st

import ruk.compute.strategies.local as local
from fake_spark import FAKE_JDK, FakeSparkSession
from hostile import Boom, build_hostile, make
pytest.register_assert_rewrite("hostile_model")  # its comparisons report as the tests' own do
from hostile_model import (
    METHODS, LocalStrategy, assert_matches, assert_shared_state_sound, compare_session_outcome, outcome, same,
    sandbox,
)
from hostile_strategies import FUZZ, arguments, keywords, leaves, make_self, recipes, selves

ENSURE_JAVA = local._ensure_java_available
DISABLE_TRACKER = local._disable_multiprocessing_resource_tracker
CLEANUP = local.cleanup_all_spark_sessions



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
