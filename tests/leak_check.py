#!/usr/bin/env python3
"""Reference-leak and memory-growth check of the local strategy extension.

Calls every entry point of `ruk.compute.strategies.local` in loops, on its
success and error paths, and checks that neither the interpreter's reference
total nor its memory grows with the number of calls. It needs a debug CPython
(one with `sys.gettotalrefcount`, e.g. Debian's `python3.11-dbg`) and the
extension built for that interpreter; `scripts/check_leaks.sh` builds it and
runs this script. No JVM is started: PySpark's `SparkSession`, the Java
discovery module and `pyspark.sql` are replaced by the tests' stand-ins
(`fake_spark.py`, beside this script).

Each case is one call with a known outcome (a result, or a given exception),
checked on every call. A case runs a warm-up, then a round of N calls and a
round of 2N calls; for each round the script records, after a garbage
collection:

- refs: the change of `sys.gettotalrefcount()`;
- heap: the change of the C heap in use (glibc `mallinfo2`), which sees
  every allocation when the interpreter runs with PYTHONMALLOC=malloc_debug
  (the check script sets it), C++ allocations of the extension included;
- rss:  the change of the resident set size (informational per case).

The difference between the two rounds is what N more calls cost: a constant
offset (state a case leaves behind, such as its last session in the cache)
cancels out, while a leak of even one reference in a few hundred calls does
not. A case leaks when that difference exceeds --ref-noise references or
--heap-noise bytes. On top of that, the resident set size after the 2N
round of all cases may not exceed the one after the N round by more than
--rss-slack-mb.

Exit status: 0 clean, 1 a leak or growth, 2 a case misbehaved (wrong
outcome, lock left held, sys.stderr not restored) or the set-up is wrong.
"""

from __future__ import annotations

import argparse
import copy
import ctypes
import gc
import importlib
import importlib.abc
import inspect
import multiprocessing.resource_tracker
import os
import pickle
import shutil
import sys
import sysconfig
import tempfile
import threading
import time
import traceback
import types
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional

from fake_spark import CollidingKey, FakeJarProvisioning, FakeJavaCompat, FakeSparkSession, jar_dir, key_of, lock_is_free, pyspark_info

MODULE_NAME = "ruk.compute.strategies.local"
JAVA_COMPAT_NAME = "ruk.compute.java_compat"
JAR_PROVISIONING_NAME = "ruk.compute.jar_provisioning"
BASE_NAME = "ruk.compute.strategies.base"


# --- measurements -------------------------------------------------------------------


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                     "fsmblks", "uordblks", "fordblks", "keepcost")
    ]


def _heap_reader() -> Optional[Callable[[], int]]:
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    mallinfo2.argtypes = []

    def heap_in_use() -> int:
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return heap_in_use


_heap_in_use = _heap_reader()
_PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * _PAGE


def heap_bytes() -> int:
    return _heap_in_use() if _heap_in_use is not None else 0


def settle() -> None:
    # The interpreter's attribute-lookup cache keeps the names it last saw
    # alive; which ones depends on what ran last (the fake's class knobs move
    # its entries), so it is emptied before every reading.
    sys._clear_type_cache()
    gc.collect()
    gc.collect()


# --- stand-ins for PySpark and the Java discovery -------------------------------------


class Sink:
    """sys.stderr for the run: the replayed start-up lines go nowhere."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


class RaisingSink(Sink):
    def write(self, text):
        raise OSError("stderr is gone")


class Boom(Exception):
    pass


# One fresh fake class for the run; reset() clears its records after every call.
Spark = FakeSparkSession.fresh()
INFO = pyspark_info((17, 21, 25), version="4.3.0", major_minor="4.3")
JAVA = FakeJavaCompat(INFO, installations=())


# What reset() gives the fake class back. Assigned only where a case changed
# it: each assignment to a class attribute invalidates the type's entries in
# the interpreter's lookup cache, and the churn shows as heap noise.
PLAIN = dict(active=None, active_session_error=None, config_hook=None, get_or_create_error=None,
             get_or_create_hook=None, set_log_level_error=None, stderr_text="")


def reset() -> None:
    """The stand-ins back to a plain success, their records emptied."""
    for name, value in PLAIN.items():
        if getattr(Spark, name) is not value:
            setattr(Spark, name, value)
    if Spark.builders:
        Spark.builders.clear()
    if Spark.created:
        Spark.created.clear()
    JAVA.info, JAVA.best = INFO, H.best_java
    JAVA.calls.clear()


class BadBool:
    def __bool__(self):
        raise Boom("no truth value")


class BadIter:
    def __iter__(self):
        raise Boom("not iterable today")


class Refusing:
    """multiprocessing.resource_tracker stand-in whose attributes cannot be set."""

    def __init__(self, error):
        object.__setattr__(self, "error", error)

    def __setattr__(self, name, value):
        raise self.error


class ImportBlocker(importlib.abc.MetaPathFinder):
    def __init__(self, name, error):
        self.name = name
        self.error = error

    def find_spec(self, name, path=None, target=None):
        if name == self.name or name.startswith(self.name + "."):
            raise self.error(f"blocked: {name}")
        return None


# --- the harness --------------------------------------------------------------------


class CaseFailure(Exception):
    """A case did not get the outcome it was written for."""


def check(condition, message):
    if not condition:
        raise CaseFailure(message)


def raises(exc_type, fn, *args, match=None, **kwargs):
    try:
        result = fn(*args, **kwargs)
    except exc_type as error:
        if match is not None and match not in str(error):
            raise CaseFailure(f"{exc_type.__name__} without {match!r}: {error!r}") from None
        return
    raise CaseFailure(f"expected {exc_type.__name__}, got the result {result!r}")


@dataclass
class Case:
    entry: str
    label: str
    fn: Callable[[], None]
    weight: int = 1  # cheap cases run this many times more often
    refs: List[int] = field(default_factory=list)
    heap: List[int] = field(default_factory=list)
    rss: List[int] = field(default_factory=list)
    calls: int = 0
    seconds: float = 0.0
    error: Optional[str] = None
    leaked: bool = False


CASES: List[Case] = []


def case(entry, label, weight=1):
    def register(fn):
        CASES.append(Case(entry, label, fn, weight))
        return fn

    return register


class H:
    """Set-up shared by the cases (filled in by setup())."""

    local: Optional[types.ModuleType] = None
    root: str
    project: str
    home: str
    tmp: str
    java_home: str
    sink: Sink
    base_path: str
    empty_project: str
    home_file: str
    missing_tmp: str
    jars: List[str]
    strategy: object
    Scripted: type  # a LocalStrategy subclass with a scripted session request
    best_java: object = None
    RukRuntimeError: type


def fresh_cache() -> dict:
    cache = {}
    H.local._SPARK_SESSION_CACHE = cache
    return cache


# --- cases: module functions ------------------------------------------------------------


@case("_disable_multiprocessing_resource_tracker", "success", weight=4)
def _():
    check(H.local._disable_multiprocessing_resource_tracker() is None, "result")


@case("_disable_multiprocessing_resource_tracker", "tracker refuses: Exception dropped", weight=4)
def _():
    real = multiprocessing.resource_tracker
    multiprocessing.resource_tracker = Refusing(Boom("read-only"))
    try:
        check(H.local._disable_multiprocessing_resource_tracker() is None, "result")
    finally:
        multiprocessing.resource_tracker = real


@case("_disable_multiprocessing_resource_tracker", "tracker refuses: KeyboardInterrupt passes", weight=4)
def _():
    real = multiprocessing.resource_tracker
    multiprocessing.resource_tracker = Refusing(KeyboardInterrupt())
    try:
        raises(KeyboardInterrupt, H.local._disable_multiprocessing_resource_tracker)
    finally:
        multiprocessing.resource_tracker = real


@case("_disable_multiprocessing_resource_tracker", "bad arguments", weight=4)
def _():
    raises(TypeError, H.local._disable_multiprocessing_resource_tracker, 1, match="takes 0 positional")
    raises(TypeError, H.local._disable_multiprocessing_resource_tracker, x=1, match="unexpected keyword")


@case("_ensure_java_available", "success: JAVA_HOME set, PATH prefixed", weight=4)
def _():
    os.environ["PATH"] = H.base_path
    check(H.local._ensure_java_available() is None, "result")
    check(os.environ["JAVA_HOME"] == H.java_home, "JAVA_HOME")
    check(os.environ["PATH"].startswith(os.path.join(H.java_home, "bin") + os.pathsep), "PATH")


@case("_ensure_java_available", "success: PATH unset, the bin directory alone", weight=4)
def _():
    del os.environ["PATH"]
    try:
        check(H.local._ensure_java_available() is None, "result")
        check(os.environ["PATH"] == os.path.join(H.java_home, "bin"), "PATH")
    finally:
        os.environ["PATH"] = H.base_path


@case("_ensure_java_available", "success: PATH already in front", weight=4)
def _():
    check(H.local._ensure_java_available() is None, "result")
    check(os.environ["PATH"].count(os.path.join(H.java_home, "bin")) == 1, "PATH grew")


@case("_ensure_java_available", "RukRuntimeError: PySpark missing", weight=4)
def _():
    JAVA.info = None
    raises(H.RukRuntimeError, H.local._ensure_java_available, match="PySpark is not installed")


@case("_ensure_java_available", "RukRuntimeError: no compatible Java", weight=4)
def _():
    JAVA.best = None
    raises(H.RukRuntimeError, H.local._ensure_java_available,
           match="No compatible Java found for PySpark 4.3.0.\nPySpark 4.3 requires Java 17, 21, 25.")


@case("_ensure_java_available", "discovery raises", weight=4)
def _():
    JAVA.info = Boom("discovery failed")
    raises(Boom, H.local._ensure_java_available, match="discovery failed")


@case("_ensure_java_available", "truth of the PySpark info raises", weight=4)
def _():
    JAVA.info = BadBool()
    raises(Boom, H.local._ensure_java_available)


@case("_ensure_java_available", "supported versions not iterable", weight=4)
def _():
    JAVA.info = info = pyspark_info()
    info.java_supported = BadIter()
    JAVA.best = None
    raises(Boom, H.local._ensure_java_available, match="not iterable")


@case("_ensure_java_available", "java_compat lacks a name: ImportError", weight=4)
def _():
    real = sys.modules[JAVA_COMPAT_NAME]
    broken = types.ModuleType(JAVA_COMPAT_NAME)
    broken.get_pyspark_info = real.get_pyspark_info
    sys.modules[JAVA_COMPAT_NAME] = broken
    try:
        raises(ImportError, H.local._ensure_java_available, match="find_all_java_installations")
    finally:
        sys.modules[JAVA_COMPAT_NAME] = real


@case("_ensure_java_available", "error class not callable / missing", weight=4)
def _():
    JAVA.info = None
    H.local.RukRuntimeError = 42
    try:
        raises(TypeError, H.local._ensure_java_available, match="not callable")
    finally:
        H.local.RukRuntimeError = H.RukRuntimeError
    del H.local.RukRuntimeError
    try:
        raises(NameError, H.local._ensure_java_available, match="RukRuntimeError")
    finally:
        H.local.RukRuntimeError = H.RukRuntimeError


@case("_ensure_java_available", "error class gives a non-exception", weight=4)
def _():
    JAVA.best = None
    H.local.RukRuntimeError = str
    try:
        raises(TypeError, H.local._ensure_java_available, match="must derive from BaseException")
    finally:
        H.local.RukRuntimeError = H.RukRuntimeError


@case("cleanup_all_spark_sessions", "empty cache", weight=4)
def _():
    fresh_cache()
    check(H.local.cleanup_all_spark_sessions() is None, "result")


@case("cleanup_all_spark_sessions", "sessions stopped, one stop raises", weight=4)
def _():
    cache = fresh_cache()
    good, bad = Spark(), Spark(stop_error=Boom("stop failed"))
    cache["a"], cache["b"] = bad, good
    check(H.local.cleanup_all_spark_sessions() is None, "result")
    check(cache == {} and good.stop_calls == 1 and bad.stop_calls == 1, "not all stopped")


@case("cleanup_all_spark_sessions", "stop raises KeyboardInterrupt", weight=4)
def _():
    cache = fresh_cache()
    cache["a"] = Spark(stop_error=KeyboardInterrupt())
    raises(KeyboardInterrupt, H.local.cleanup_all_spark_sessions)
    check(len(cache) == 1, "cache cleared")


@case("cleanup_all_spark_sessions", "cache is not a dict", weight=4)
def _():
    H.local._SPARK_SESSION_CACHE = 5
    raises(AttributeError, H.local.cleanup_all_spark_sessions, match="items")


@case("cleanup_all_spark_sessions", "lock is not a context manager / bad arguments", weight=4)
def _():
    lock = H.local._SPARK_SESSION_LOCK
    H.local._SPARK_SESSION_LOCK = object()
    try:
        raises(TypeError, H.local.cleanup_all_spark_sessions, match="context manager")
    finally:
        H.local._SPARK_SESSION_LOCK = lock
    raises(TypeError, H.local.cleanup_all_spark_sessions, None)


# --- cases: LocalStrategy ---------------------------------------------------------------


def strategy(config=None, app_name="leak-check"):
    return H.local.LocalStrategy({} if config is None else config, app_name)


@case("validate_config", "dict", weight=4)
def _():
    check(H.strategy.validate_config() is None, "result")


@case("validate_config", "not a dict: RukRuntimeError", weight=4)
def _():
    raises(H.RukRuntimeError, strategy([1]).validate_config, match="must be a dictionary, got <class 'list'>")


@case("validate_config", "no config attribute / unbound call", weight=4)
def _():
    bare = H.local.LocalStrategy.__new__(H.local.LocalStrategy)
    raises(AttributeError, bare.validate_config)
    raises(TypeError, H.local.LocalStrategy.validate_config, match="missing 1 required positional")


@case("get_spark_session", "create: empty configuration")
def _():
    cache = fresh_cache()
    os.environ.pop("_JAVA_OPTIONS", None)
    spark = strategy().get_spark_session()
    check(type(spark) is Spark and list(cache.values()) == [spark], "not cached")
    check("-XX:-UseVectorCmov" in os.environ["_JAVA_OPTIONS"], "_JAVA_OPTIONS")


@case("get_spark_session", "create: master, overrides, adapter set, console replay")
def _():
    cache = fresh_cache()
    Spark.stderr_text = "WARNING: noise\nPicked up _JAVA_OPTIONS: x\n\n  a real line  \nSLF4J: y\n"
    config = {"master": "local[1]", "spark.driver.memory": "2g", "spark.x": 3}
    spark = strategy(config).get_spark_session({"postgres"})
    check(cache == {key_of(config): spark}, "cache")
    check(sys.stderr is H.sink, "stderr")


@case("get_spark_session", "create while another thread writes to stderr and fd 2")
def _():
    cache = fresh_cache()
    Spark.stderr_text = "WARNING: noise\na real line\n"

    def other_thread():
        print("WARNING: from another thread", file=sys.stderr)
        os.write(2, b"")

    def during_start(builder):
        thread = threading.Thread(target=other_thread)
        thread.start()
        thread.join()

    Spark.get_or_create_hook = during_start
    spark = strategy().get_spark_session()
    check(cache == {key_of({}): spark} and sys.stderr is H.sink, "state after the start")


@case("get_spark_session", "wait for another thread's start of the same configuration, then reuse it")
def _():
    cache = fresh_cache()
    in_start, asked = threading.Event(), threading.Event()
    Spark.get_or_create_hook = lambda builder: in_start.set() or asked.wait()
    started = []
    holder = threading.Thread(target=lambda: started.append(strategy().get_spark_session()))
    holder.start()
    in_start.wait()
    java_check = JAVA.get_pyspark_info
    JAVA.get_pyspark_info = lambda: asked.set() or java_check()  # then this thread waits for the holder's start
    try:
        spark = strategy().get_spark_session()
    finally:
        JAVA.get_pyspark_info = java_check
        asked.set()
        holder.join()
    check(started == [spark] and cache == {key_of({}): spark}, "not the start waited for")


@case("get_spark_session", "reuse a live cached session", weight=4)
def _():
    cache = fresh_cache()
    cached = cache[key_of({})] = Spark()
    check(strategy().get_spark_session(adapter_types=None) is cached, "not reused")


@case("get_spark_session", "evict a stopped session (_jsc None)")
def _():
    cache = fresh_cache()
    dead = Spark()
    dead.sparkContext._jsc = None
    cache[key_of({})] = dead
    spark = strategy().get_spark_session()
    check(spark is not dead and cache == {key_of({}): spark}, "not evicted")


@case("get_spark_session", "evict a session whose getConf raises")
def _():
    cache = fresh_cache()
    dead = Spark()
    dead.sparkContext.get_conf_error = Boom("dead")
    cache[key_of({})] = dead
    spark = strategy().get_spark_session()
    check(spark is not dead and cache == {key_of({}): spark}, "not evicted")


@case("get_spark_session", "getConf raises KeyboardInterrupt", weight=4)
def _():
    cache = fresh_cache()
    dead = Spark()
    dead.sparkContext.get_conf_error = KeyboardInterrupt()
    cache[key_of({})] = dead
    raises(KeyboardInterrupt, strategy().get_spark_session)
    check(cache[key_of({})] is dead, "cache changed")


@case("get_spark_session", "active session stopped, cache cleared")
def _():
    cache = fresh_cache()
    cache["other"] = Spark()
    Spark.active = active = Spark()
    spark = strategy().get_spark_session()
    check(active.stop_calls == 1 and cache == {key_of({}): spark}, "active not stopped")


@case("get_spark_session", "getActiveSession / active stop raise: dropped")
def _():
    fresh_cache()
    Spark.active_session_error = Boom("no active")
    strategy().get_spark_session()
    Spark.active_session_error = None
    Spark.active = Spark(stop_error=Boom("cannot stop"))
    strategy({"a": 1}).get_spark_session()


@case("get_spark_session", "getOrCreate raises (with console output)")
def _():
    cache = fresh_cache()
    Spark.stderr_text = "WARNING: noise\nwhy it failed\n"
    Spark.get_or_create_error = Boom("start failed")
    raises(Boom, strategy().get_spark_session, match="start failed")
    check(cache == {} and sys.stderr is H.sink, "state after failure")


@case("get_spark_session", "setLogLevel raises")
def _():
    cache = fresh_cache()
    Spark.set_log_level_error = Boom("no log level")
    raises(Boom, strategy().get_spark_session)
    check(cache == {}, "cached a failed start")


@case("get_spark_session", "replay to a failing stderr")
def _():
    cache = fresh_cache()
    Spark.stderr_text = "a real line\n"
    Spark.get_or_create_error = Boom("start failed")
    failing = RaisingSink()
    sys.stderr = failing
    try:
        raises(OSError, strategy().get_spark_session, match="stderr is gone")
        check(sys.stderr is failing, "stderr not restored")
    finally:
        sys.stderr = H.sink
    check(cache == {}, "cached")


def refuse_setting(key, value):
    raise Boom("bad setting")


@case("get_spark_session", "builder.config raises")
def _():
    fresh_cache()
    Spark.config_hook = refuse_setting
    raises(Boom, strategy({"spark.x": "1"}).get_spark_session, match="bad setting")


@case("get_spark_session", "PySpark unavailable: RukRuntimeError", weight=4)
def _():
    H.local.PYSPARK_AVAILABLE = False
    try:
        raises(H.RukRuntimeError, strategy().get_spark_session, match="PySpark is not available")
    finally:
        H.local.PYSPARK_AVAILABLE = True


@case("get_spark_session", "no Java: RukRuntimeError from the Java check", weight=4)
def _():
    fresh_cache()
    JAVA.best = None
    raises(H.RukRuntimeError, strategy().get_spark_session, match="No compatible Java")


@case("get_spark_session", "bad input: RukRuntimeError", weight=4)
def _():
    cache = fresh_cache()
    raises(H.RukRuntimeError, strategy({1: "a", "b": 2}).get_spark_session, match="names must be strings")
    raises(H.RukRuntimeError, strategy([("a", 1)]).get_spark_session, match="must be a dictionary")
    raises(H.RukRuntimeError, strategy({"master": 4}).get_spark_session, match="'master' must be a string")
    raises(H.RukRuntimeError, strategy({}, None).get_spark_session, match="app_name")
    check(cache == {}, "cached")


@case("get_spark_session", "temporary directory missing: file in ~/.mur", weight=4)
def _():
    cache = fresh_cache()
    tempfile.tempdir = H.missing_tmp
    try:
        spark = strategy().get_spark_session()
    finally:
        tempfile.tempdir = H.tmp
    check(list(cache.values()) == [spark], "not cached")


@case("get_spark_session", "shared name taken by a link: private directory", weight=4)
def _():
    cache = fresh_cache()
    shared = os.path.join(H.tmp, "mur_log4j2.properties")
    if os.path.lexists(shared):
        os.unlink(shared)
    os.symlink(os.path.join(H.root, "nowhere"), shared)
    try:
        spark = strategy().get_spark_session()
    finally:
        os.unlink(shared)
    check(list(cache.values()) == [spark], "not cached")


@case("get_spark_session", "HOME is a file: no JAR directory, the start goes on")
def _():
    cache = fresh_cache()
    os.environ["HOME"] = H.home_file
    try:
        spark = strategy().get_spark_session()
    finally:
        os.environ["HOME"] = H.home
    check(list(cache.values()) == [spark], "not cached")


@case("get_spark_session", "no place for the logging file: the start goes on")
def _():
    cache = fresh_cache()
    tempfile.tempdir = H.missing_tmp
    os.environ["HOME"] = H.home_file
    try:
        spark = strategy().get_spark_session()
    finally:
        tempfile.tempdir = H.tmp
        os.environ["HOME"] = H.home
    check(list(cache.values()) == [spark], "not cached")


@case("get_spark_session", "lock is not a context manager", weight=4)
def _():
    lock = H.local._SPARK_SESSION_LOCK
    H.local._SPARK_SESSION_LOCK = 1
    try:
        raises(TypeError, strategy().get_spark_session)
    finally:
        H.local._SPARK_SESSION_LOCK = lock


class _Inner(Exception):
    pass


class _ExitRaises:
    """A session lock whose __exit__ raises while the block's error is pending."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        try:
            raise Boom("exit, first")
        except Boom:
            raise Boom("exit")


class _BlockRaises(dict):
    def __contains__(self, key):
        raise _Inner("block")


@case("get_spark_session", "lock __exit__ raises over the block error", weight=4)
def _():
    lock, cache = H.local._SPARK_SESSION_LOCK, H.local._SPARK_SESSION_CACHE
    H.local._SPARK_SESSION_LOCK, H.local._SPARK_SESSION_CACHE = _ExitRaises(), _BlockRaises()

    def request():
        try:
            strategy().get_spark_session()
        except Boom as e:
            check(type(e.__context__.__context__) is _Inner, "not chained to the block error")
            return e
        raise CaseFailure("no exception")

    def in_generator():
        yield request()

    try:
        request()
        try:
            raise _Inner("handled by the caller")
        except _Inner:
            request()
            check(next(in_generator()).__context__.__context__.__context__ is not None, "caller's error")
    finally:
        H.local._SPARK_SESSION_LOCK, H.local._SPARK_SESSION_CACHE = lock, cache


@case("get_spark_session", "bad arguments", weight=4)
def _():
    s = H.strategy
    raises(TypeError, s.get_spark_session, ["pg"], match="expected set, got list")
    raises(TypeError, s.get_spark_session, frozenset(), match="expected set, got frozenset")
    raises(TypeError, s.get_spark_session, type("SubSet", (set,), {})(), match="Subclasses")
    raises(TypeError, s.get_spark_session, None, None, match="positional arguments but 3")
    raises(TypeError, s.get_spark_session, None, adapter_types=None, match="multiple values")
    raises(TypeError, s.get_spark_session, nope=1, match="unexpected keyword")
    raises(TypeError, H.local.LocalStrategy.get_spark_session, match="missing 1 required")


@case("_get_jdbc_jars", "success", weight=4)
def _():
    jars = H.strategy._get_jdbc_jars("/ignored")
    check(jars == H.jars, f"jars {jars}")


@case("_get_jdbc_jars", "bad arguments", weight=4)
def _():
    s = H.strategy
    raises(TypeError, s._get_jdbc_jars, 1, match="expected str, got int")
    raises(TypeError, s._get_jdbc_jars, type("S", (str,), {})("x"), match="Subclasses")
    raises(TypeError, s._get_jdbc_jars, match="missing 1 required positional argument: 'cache_dir'")
    raises(TypeError, H.local.LocalStrategy._get_jdbc_jars, match="'self' and 'cache_dir'")


@case("_get_jdbc_jars", "working directory deleted")
def _():
    gone = os.path.join(H.root, "gone")
    os.mkdir(gone)
    os.chdir(gone)
    os.rmdir(gone)
    try:
        raises(FileNotFoundError, H.strategy._get_jdbc_jars, "x")
    finally:
        os.chdir(H.project)


@case("close", "None", weight=4)
def _():
    check(H.strategy.close(None) is None, "result")


@case("close", "cached session released and stopped", weight=4)
def _():
    cache = fresh_cache()
    spark = cache["k"] = Spark()
    cache["other"] = other = Spark()
    H.strategy.close(spark)
    check(cache == {"other": other} and spark.stop_calls == 1, "not released")


@case("close", "uncached session stopped", weight=4)
def _():
    fresh_cache()
    spark = Spark()
    H.strategy.close(spark=spark)
    check(spark.stop_calls == 1, "not stopped")


@case("close", "stop raises Exception: dropped", weight=4)
def _():
    fresh_cache()
    H.strategy.close(Spark(stop_error=Boom("stop failed")))


@case("close", "stop raises KeyboardInterrupt", weight=4)
def _():
    fresh_cache()
    raises(KeyboardInterrupt, H.strategy.close, Spark(stop_error=KeyboardInterrupt()))


@case("close", "keep-alive", weight=4)
def _():
    cache = fresh_cache()
    spark = cache["k"] = Spark()
    os.environ["MUR_SPARK_KEEP_ALIVE"] = "1"
    try:
        H.strategy.close(spark)
    finally:
        del os.environ["MUR_SPARK_KEEP_ALIVE"]
    check(spark.stop_calls == 0 and cache == {"k": spark}, "released despite keep-alive")


@case("close", "truth of the session raises / broken cache / bad arguments", weight=4)
def _():
    raises(Boom, H.strategy.close, BadBool())
    H.local._SPARK_SESSION_CACHE = None
    H.strategy.close(Spark())  # the failed cache scan is dropped
    raises(TypeError, H.strategy.close, match="missing 1 required positional argument: 'spark'")
    raises(TypeError, H.strategy.close, 1, 2)


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 7


class BadFloat:
    def __float__(self):
        raise Boom("no float")


@case("estimate_cost", "numbers", weight=4)
def _():
    s = H.strategy
    for value in (1.5, 2, True, Floaty(), Indexy()):
        check(s.estimate_cost(value) == 0.0, "cost")
    check(s.estimate_cost(duration_minutes=3) == 0.0, "cost")


@case("estimate_cost", "conversion failures", weight=4)
def _():
    s = H.strategy
    raises(TypeError, s.estimate_cost, "5")
    raises(OverflowError, s.estimate_cost, 10**400)
    raises(Boom, s.estimate_cost, BadFloat())
    raises(TypeError, s.estimate_cost)


@case("get_platform_name", "success / bad arguments", weight=4)
def _():
    check(H.strategy.get_platform_name() == "local", "name")
    raises(TypeError, H.strategy.get_platform_name, 1)


@case("get_jar_provisioning_config", "project JARs", weight=4)
def _():
    config = H.strategy.get_jar_provisioning_config({"postgres"})
    check(config["spark.jars"] == ",".join(H.jars), f"config {config}")
    check(H.strategy.get_jar_provisioning_config(adapter_types=set()) == config, "config")


@case("get_jar_provisioning_config", "project without JARs", weight=4)
def _():
    os.chdir(H.empty_project)
    try:
        check(H.strategy.get_jar_provisioning_config(set()) == {}, "config")
    finally:
        os.chdir(H.project)


@case("get_jar_provisioning_config", "bad arguments", weight=4)
def _():
    s = H.strategy
    raises(TypeError, s.get_jar_provisioning_config, None, match="expected set, got NoneType")
    raises(TypeError, s.get_jar_provisioning_config, ["x"], match="expected set, got list")
    raises(TypeError, s.get_jar_provisioning_config, match="missing 1 required")


BROKEN_PROVISIONING = FakeJarProvisioning()


@case("get_jar_provisioning_config", "provisioning answers a list / None / raises", weight=4)
def _():
    real = sys.modules[JAR_PROVISIONING_NAME]
    try:
        fake = sys.modules[JAR_PROVISIONING_NAME] = BROKEN_PROVISIONING
        fake.result = ["spark.jars"]
        raises(TypeError, H.strategy.get_jar_provisioning_config, set(), match="Expected dict, got list")
        fake.result = None
        check(H.strategy.get_jar_provisioning_config(set()) is None, "None passed through")
        fake.init_error = Boom("no provisioning")
        raises(Boom, H.strategy.get_jar_provisioning_config, set())
    finally:
        sys.modules[JAR_PROVISIONING_NAME] = real
        BROKEN_PROVISIONING.init_error = None
        BROKEN_PROVISIONING.calls.clear()


def scripted_strategy(behaviour, sql_error=None):
    s = H.Scripted({})
    s.behaviour, s.sql_error = behaviour, sql_error
    return s


@case("test_connectivity", "subclass session: success", weight=4)
def _():
    result = scripted_strategy(None).test_connectivity()
    check(result == (True, "Local Spark session created and SQL test passed"), repr(result))


@case("test_connectivity", "subclass session request raises", weight=4)
def _():
    result = scripted_strategy(Boom("cluster down")).test_connectivity()
    check(result == (False, "Local Spark failed: cluster down"), repr(result))
    result = scripted_strategy(H.RukRuntimeError("no Java")).test_connectivity()
    check(result == (False, "Local Spark failed: no Java"), repr(result))


@case("test_connectivity", "query fails", weight=4)
def _():
    result = scripted_strategy(None, Boom("query failed")).test_connectivity()
    check(result == (False, "Local Spark failed: query failed"), repr(result))


@case("test_connectivity", "KeyboardInterrupt passes", weight=4)
def _():
    raises(KeyboardInterrupt, scripted_strategy(KeyboardInterrupt()).test_connectivity)


@case("test_connectivity", "through the real session request")
def _():
    fresh_cache()
    result = strategy().test_connectivity()
    check(result[0] is True, repr(result))
    Spark.get_or_create_error = Boom("no start")
    fresh_cache()
    check(strategy().test_connectivity() == (False, "Local Spark failed: no start"), "failure")


@case("test_connectivity", "pyspark.sql missing", weight=4)
def _():
    real = sys.modules["pyspark.sql"]
    sys.modules["pyspark.sql"] = None
    try:
        check(H.strategy.test_connectivity() == (False, "PySpark not installed"), "result")
    finally:
        sys.modules["pyspark.sql"] = real


SIGNATURES = {
    "validate_config": "(self) -> 'None'",
    "get_spark_session": "(self, adapter_types: 'Optional[Set[str]]' = None) -> 'SparkSession'",
    "_get_jdbc_jars": "(self, cache_dir: 'str') -> 'list'",
    "close": "(self, spark: 'Optional[SparkSession]') -> 'None'",
    "estimate_cost": "(self, duration_minutes: 'float') -> 'float'",
    "get_platform_name": "(self) -> 'str'",
    "get_jar_provisioning_config": "(self, adapter_types: 'Set[str]') -> 'Dict[str, str]'",
    "test_connectivity": "(self) -> 'Tuple[bool, str]'",
}
MODULE_FUNCTIONS = ("cleanup_all_spark_sessions", "_disable_multiprocessing_resource_tracker",
                    "_ensure_java_available")


@case("inspect.signature", "every method and module function")
def _():
    for name, text in SIGNATURES.items():
        function = getattr(H.local.LocalStrategy, name)
        check(str(inspect.signature(function)) == text, name)
        check(str(inspect.signature(getattr(H.strategy, name))) == text.replace("(self, ", "(").replace("(self)", "()"), name)
    for name in MODULE_FUNCTIONS:
        check(str(inspect.signature(getattr(H.local, name))) == "()", name)


@case("function attributes", "read, write, bind", weight=4)
def _():
    f = H.local.LocalStrategy.estimate_cost
    check(f.__name__ == "estimate_cost" and f.__qualname__ == "LocalStrategy.estimate_cost", "names")
    check(f.__module__ == MODULE_NAME and f.__doc__ and f.__globals__ is vars(H.local), "attributes")
    check(f.__annotations__ == {"duration_minutes": "float", "return": "float"}, "annotations")
    check(repr(f).startswith("<function LocalStrategy.estimate_cost at "), "repr")
    check(f.__get__(H.strategy, None).__self__ is H.strategy and f.__get__(None, int) is f, "bind")
    f.__defaults__ = (1.0,)
    try:
        check(H.strategy.estimate_cost() == 0.0, "default")
        check(str(inspect.signature(f)).endswith("= 1.0) -> 'float'"), "signature with default")
    finally:
        f.__defaults__ = None
    f.__signature__ = inspect.Signature()
    check(str(inspect.signature(f)) == "()", "assigned signature")
    del f.__signature__
    raises(AttributeError, delattr, f, "__signature__")
    f.marker = 1
    del f.marker
    raises(TypeError, setattr, f, "__name__", 1)
    raises(TypeError, setattr, f, "__annotations__", [])


@case("inspect.signature", "keys that rebind the function or raise", weight=4)
def _():
    f = H.local.LocalStrategy.get_spark_session
    defaults, annotations = f.__defaults__, f.__annotations__
    try:
        f.__annotations__ = {CollidingKey("self", lambda: setattr(f, "__defaults__", None)): 1, **annotations}
        check(list(inspect.signature(f).parameters) == ["self", "adapter_types"], "defaults dropped")
        f.__defaults__ = defaults
        f.__annotations__ = {CollidingKey("return", lambda: setattr(f, "__annotations__", {})): 1, **annotations}
        inspect.signature(f)
        f.__annotations__ = {CollidingKey("self", lambda: _raise(Boom("eq"))): 1, **annotations}
        raises(Boom, inspect.signature, f, match="eq")
        f.__annotations__ = annotations
        f.__dict__ = {CollidingKey("__signature__", lambda: setattr(f, "__dict__", {})): 1}
        inspect.signature(f)
    finally:
        f.__defaults__, f.__annotations__, f.__dict__ = defaults, annotations, {}


def _raise(error):
    raise error


@case("function objects", "pickle and copy by reference", weight=4)
def _():
    for f in (H.local.LocalStrategy.close, H.local.cleanup_all_spark_sessions):
        for protocol in (0, 2, 5):
            check(pickle.loads(pickle.dumps(f, protocol)) is f, f"pickle {protocol}")
        check(copy.copy(f) is f and copy.deepcopy([f])[0] is f, "copy")


@case("module import", "re-import after del sys.modules", weight=4)
def _():
    module = sys.modules.pop(MODULE_NAME)
    again = importlib.import_module(MODULE_NAME)
    check(again is module, "a new module object")


# --- the import before the first success (its own cases) ---------------------------------


def failing_import_cases() -> List[Case]:
    """Imports that fail while the module has never been imported: their
    objects must go with the dropped module."""

    def failing(blocked, error):
        def run():
            blocker = ImportBlocker(blocked, error)
            sys.meta_path.insert(0, blocker)
            saved = {name: sys.modules.pop(name) for name in list(sys.modules)
                     if name == blocked or name.startswith(blocked + ".")}
            try:
                raises(error, importlib.import_module, MODULE_NAME, match="blocked")
                check(MODULE_NAME not in sys.modules, "module left in sys.modules")
            finally:
                sys.meta_path.remove(blocker)
                sys.modules.update(saved)

        return run

    return [
        Case("module import", "fails: base module missing", failing(BASE_NAME, ModuleNotFoundError)),
        Case("module import", "fails: pyspark raises on import", failing("pyspark", RuntimeError)),
    ]


# --- self-test: the detectors find real leaks ------------------------------------------------

_HOARD: list = []
_libc = ctypes.CDLL(None)
_libc.malloc.restype = ctypes.c_void_p
_libc.malloc.argtypes = [ctypes.c_size_t]


def self_test_cases() -> List[Case]:
    def leak_reference():
        H.strategy.get_platform_name()
        _HOARD.append(H.strategy.get_platform_name())  # one reference kept per call

    def leak_memory():
        H.strategy.get_platform_name()
        _libc.malloc(256)  # never freed, invisible to the reference total

    return [
        Case("self-test", "keeps a reference per call (must be flagged)", leak_reference),
        Case("self-test", "loses 256 bytes per call (must be flagged)", leak_memory),
        Case("self-test", "clean (must pass)", lambda: H.strategy.get_platform_name()),
    ]


# --- set-up and the run ---------------------------------------------------------------------


def setup() -> None:
    H.root = tempfile.mkdtemp(prefix="ruk-leak-check-")
    H.project = os.path.join(H.root, "project")
    H.empty_project = os.path.join(H.root, "empty-project")
    H.home = os.path.join(H.root, "home")
    H.tmp = os.path.join(H.root, "tmp")
    H.java_home = os.path.join(H.root, "jdk")
    H.home_file = os.path.join(H.root, "home-file")
    H.missing_tmp = os.path.join(H.root, "no-such-tmp")
    for directory in (H.empty_project, H.home, H.tmp, os.path.join(H.java_home, "bin")):
        os.makedirs(directory)
    jars = jar_dir(H.project, "b-driver.jar", "a-driver.jar")
    H.jars = [str(jars / n) for n in ("a-driver.jar", "b-driver.jar")]
    with open(H.home_file, "w") as f:
        f.write("not a directory\n")

    os.chdir(H.project)
    os.environ["HOME"] = H.home
    os.environ.pop("MUR_SPARK_KEEP_ALIVE", None)
    os.environ["MUR_SPARK_CDS"] = "0"  # no archive builders from fake starts
    os.environ.pop("JAVA_HOME", None)
    H.base_path = os.environ.get("PATH", "/usr/bin:/bin")
    tempfile.tempdir = H.tmp
    # A stand-in `pyspark.sql` (the debug interpreter has no PySpark) for the
    # import inside test_connectivity, and the Java discovery.
    pyspark = types.ModuleType("pyspark")
    pyspark_sql = types.ModuleType("pyspark.sql")
    pyspark_sql.SparkSession = Spark
    pyspark.sql, pyspark.__version__ = pyspark_sql, "4.3.0"
    sys.modules.setdefault("pyspark", pyspark)
    sys.modules.setdefault("pyspark.sql", pyspark_sql)


def bind_module(local) -> None:
    H.local = local
    H.RukRuntimeError = local.RukRuntimeError
    sys.modules[JAVA_COMPAT_NAME] = JAVA
    local.SparkSession = Spark
    local.PYSPARK_AVAILABLE = True
    fresh_cache()
    H.strategy = local.LocalStrategy({}, "leak-check")

    class Scripted(local.LocalStrategy):
        behaviour = sql_error = None

        def get_spark_session(self, adapter_types=None):
            if self.behaviour is not None:
                raise self.behaviour
            return Spark(sql_error=self.sql_error)

    H.Scripted = Scripted
    H.best_java = types.SimpleNamespace(path=H.java_home)
    reset()


def run_calls(c: Case, count: int) -> None:
    fn = c.fn
    for _ in range(count * c.weight):
        try:
            fn()
        finally:
            reset()


def verify_state(c: Case) -> None:
    if H.local is not None and not lock_is_free():
        raise CaseFailure("_SPARK_SESSION_LOCK left held")
    if sys.stderr is not H.sink:
        raise CaseFailure(f"sys.stderr left as {sys.stderr!r}")


def measure(c: Case, count: int) -> None:
    settle()
    refs0, heap0, rss0 = sys.gettotalrefcount(), heap_bytes(), rss_bytes()
    start = time.perf_counter()
    run_calls(c, count)
    c.seconds += time.perf_counter() - start
    settle()
    c.refs.append(sys.gettotalrefcount() - refs0)
    c.heap.append(heap_bytes() - heap0)
    c.rss.append(rss_bytes() - rss0)
    c.calls += count * c.weight


def run_case_phase(cases: List[Case], count: int, measured: bool) -> None:
    for c in cases:
        if c.error:
            continue
        try:
            if measured:
                measure(c, count)
            else:
                run_calls(c, count)
            verify_state(c)
        except BaseException as error:  # a KeyboardInterrupt the case did not expect, too
            sys.stderr = H.sink
            c.error = "".join(traceback.format_exception(type(error), error, error.__traceback__))


def run_rounds(cases: List[Case], args) -> List[int]:
    """Warm-up, then a round of N and a round of 2N calls per case; the
    resident set size after each."""
    run_case_phase(cases, args.warmup, measured=False)
    marks = []
    for count in (args.iterations, 2 * args.iterations):
        run_case_phase(cases, count, measured=True)
        settle()
        marks.append(rss_bytes())
    return marks


def growth(values: List[int]) -> int:
    """What the N extra calls of the second round added: a constant offset
    (state a case leaves behind, say its last session in the cache) appears in
    both rounds and cancels out."""
    return values[1] - values[0] if len(values) == 2 else 0


def judge(c: Case, args) -> None:
    ref_leak = growth(c.refs) > args.ref_noise
    heap_leak = _heap_in_use is not None and growth(c.heap) > args.heap_noise
    c.leaked = ref_leak or heap_leak


def report(cases: List[Case], args, out) -> None:
    n = args.iterations
    width = max(len(f"{c.entry}: {c.label}") for c in cases)
    head = (f"{'entry point: case':<{width}}  {'runs':>6}  {'refs N|2N':>11}  {'heap B N|2N':>15}  "
            f"{'refs/call':>9}  {'heap B/call':>11}  {'rss KiB':>8}  {'µs/call':>8}")
    print(head, file=out)
    print("-" * len(head), file=out)
    for c in cases:
        name = f"{c.entry}: {c.label}"
        if c.error or len(c.refs) != 2:
            print(f"{name:<{width}}  ERROR (see below)", file=out)
            continue
        refs = f"{c.refs[0]:+d}|{c.refs[1]:+d}"
        heap = f"{c.heap[0]:+d}|{c.heap[1]:+d}" if _heap_in_use is not None else "n/a"
        rss = f"{sum(c.rss) // 1024:+d}"
        per_call = 1e6 * c.seconds / c.calls if c.calls else 0.0
        flag = "  <-- LEAK" if c.leaked else ""
        extra = n * c.weight
        print(f"{name:<{width}}  {c.calls:>6}  {refs:>11}  {heap:>15}  {growth(c.refs) / extra:>9.3f}  "
              f"{growth(c.heap) / extra:>11.1f}  {rss:>8}  {per_call:>8.1f}{flag}", file=out)
    totals: Dict[str, List[float]] = {}
    for c in cases:
        entry = totals.setdefault(c.entry, [0, 0.0])
        entry[0] += c.calls
        entry[1] += c.seconds
    print("\nmeasured case runs per entry point (a run may call the entry point more than once):", file=out)
    for entry, (calls, seconds) in totals.items():
        print(f"  {entry:<45} {calls:>8} runs  {seconds:6.1f} s", file=out)


def refcount_accounting_works(local) -> bool:
    """An extension compiled without Py_REF_DEBUG (the release pyconfig.h
    picked up by mistake) changes reference counts without telling the
    total, and every figure would be wrong: returning a kept object then
    shows as -1 reference per call."""
    strategy = local.LocalStrategy({}, "probe")
    for _ in range(100):
        strategy.get_platform_name()
    settle()
    before = sys.gettotalrefcount()
    for _ in range(1000):
        strategy.get_platform_name()
    settle()
    return abs(sys.gettotalrefcount() - before) < 100


def selected(c: Case, args) -> bool:
    name = f"{c.entry}: {c.label}"
    return args.only in name and not any(text in name for text in args.skip)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--iterations", type=int, default=2000,
                        help="N: calls per case in the first measured round; the second has 2N")
    parser.add_argument("--warmup", type=int, default=300, help="calls per case before measuring")
    parser.add_argument("--ref-noise", type=int, default=10,
                        help="references the N extra calls may add without being called a leak")
    # The smallest block any leak can lose is about 32 bytes (malloc(0) under
    # malloc_debug), so a leak on every run adds at least 64 KiB over 2000
    # extra runs; the noise of a clean case stays below about 25 KiB.
    parser.add_argument("--heap-noise", type=int, default=32 * 1024,
                        help="heap bytes the N extra calls may add without being called a leak")
    parser.add_argument("--rss-slack-mb", type=float, default=4.0,
                        help="resident-set growth from the first to the second round tolerated (MiB)")
    parser.add_argument("--only", default="",
                        help="run only the cases whose 'entry point: case' contains this text")
    parser.add_argument("--skip", action="append", default=[],
                        help="leave out the cases whose 'entry point: case' contains this text (repeatable)")
    parser.add_argument("--self-test", action="store_true",
                        help="check that the detectors flag deliberately leaking cases and pass a clean one")
    args = parser.parse_args(argv)
    out = sys.stdout

    if not hasattr(sys, "gettotalrefcount"):
        print("leak_check: needs a debug interpreter (sys.gettotalrefcount); run scripts/check_leaks.sh",
              file=out)
        return 2
    if "tcache_count=0" not in os.environ.get("GLIBC_TUNABLES", ""):
        print("leak_check: note: GLIBC_TUNABLES=glibc.malloc.tcache_count=0 is not set; the heap "
              "figures carry glibc's per-thread cache as noise", file=out)
    if os.environ.get("PYTHONMALLOC") != "malloc_debug":
        print("leak_check: note: PYTHONMALLOC is not malloc_debug; the heap figures miss "
              "objects held in pymalloc arenas", file=out)
    if _heap_in_use is None:
        print("leak_check: note: mallinfo2 unavailable; heap figures disabled", file=out)

    setup()
    real_stderr = sys.stderr
    sys.stderr = H.sink = Sink()
    early: List[Case] = []
    cases: List[Case] = []
    try:
        if MODULE_NAME not in sys.modules and not args.self_test:
            early = [c for c in failing_import_cases() if selected(c, args)]
            if early:
                run_rounds(early, args)

        local = importlib.import_module(MODULE_NAME)
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        if not local.__file__.endswith(suffix):
            print(f"leak_check: {local.__file__} is not built for this interpreter ({suffix})", file=out)
            return 2
        if not refcount_accounting_works(local):
            print(f"leak_check: {local.__file__} does not report its reference changes to the "
                  "interpreter's total: it was compiled without Py_DEBUG (release pyconfig.h?)", file=out)
            return 2
        bind_module(local)

        cases = self_test_cases() if args.self_test else list(CASES)
        cases = [c for c in cases if selected(c, args)]
        rss_marks = run_rounds(cases, args)
    finally:
        sys.stderr = real_stderr
        os.chdir("/")
        shutil.rmtree(H.root, ignore_errors=True)

    all_cases = early + cases
    for c in all_cases:
        judge(c, args)
    print(f"leak_check: {local.__file__}", file=out)
    print(f"interpreter {sys.version.split()[0]} (debug), PYTHONMALLOC={os.environ.get('PYTHONMALLOC', '')}; "
          f"per case {args.warmup} warm-up calls, then rounds of N={args.iterations} and 2N calls; "
          f"refs/call and heap B/call are (round 2N - round N) / N\n", file=out)
    report(all_cases, args, out)
    rss_growth = rss_marks[-1] - rss_marks[0]
    print(f"\nresident set after the N round and the 2N round: "
          + ", ".join(f"{m / 2**20:.1f} MiB" for m in rss_marks)
          + f"; growth {rss_growth / 2**20:+.2f} MiB (allowed {args.rss_slack_mb})", file=out)

    errors = [c for c in all_cases if c.error]
    for c in errors:
        print(f"\nERROR in {c.entry}: {c.label}\n{c.error}", file=out)
    leaks = [c for c in all_cases if c.leaked]
    rss_leak = rss_growth > args.rss_slack_mb * 2**20

    if args.self_test:
        flagged = {c.label for c in leaks}
        expected = {c.label for c in cases if "must be flagged" in c.label}
        ok = not errors and flagged == expected and _heap_in_use is not None
        print(f"\nself-test: {'the detectors work' if ok else 'FAILED'} (flagged: {sorted(flagged)})", file=out)
        return 0 if ok else 1

    if errors:
        print(f"\nleak_check: {len(errors)} case(s) misbehaved", file=out)
        return 2
    if leaks or rss_leak:
        for c in leaks:
            print(f"LEAK: {c.entry}: {c.label}: refs {c.refs}, heap {c.heap} (rounds of N and 2N calls)",
                  file=out)
        if rss_leak:
            print("LEAK: the resident set keeps growing", file=out)
        return 1
    print("\nleak_check: no leak found", file=out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
