"""Damaged module state and misbehaving session locks: module globals removed
or replaced by hostile objects, and locks whose __enter__ or __exit__ raise or
swallow errors. Every call gives an exception or a result, never a crash, a
held lock or a changed sys.stderr; errors chain as a `with` statement chains
them."""

import sys
import threading

import pytest

import ruk.compute.strategies.local as local
from fake_spark import FakeSparkSession, lock_is_free
from hostile import (
    EXIT_BEHAVIOURS, BlockRaises, EnterRaises, ExitRaises, ExitSwallows, ExitTruthRaises, Inner, Outer, boom,
    build_hostile,
)
pytest.register_assert_rewrite("hostile_model")  # its comparisons report as the tests' own do
from hostile_model import OK_CONNECTIVITY, LocalStrategy, outcome, sandbox

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



@pytest.mark.parametrize("damage", list(MODULE_STATE_DAMAGE))
def test_damaged_module_state_gives_exceptions_not_crashes(sandbox, monkeypatch, damage):
    sandbox.reset()
    name, value = MODULE_STATE_DAMAGE[damage]
    cache = local._SPARK_SESSION_CACHE
    if damage == "cache is hostile":
        value = build_hostile("dict", ("__contains__", "__iter__", "__len__", "__getattr__"), None)
        value.items = boom
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
