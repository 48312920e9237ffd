"""Reliability of the local strategy: worker threads hammering the session cache,
and every way a session request can fail half-way.

The unit-level tests run against a fake PySpark (no JVM). The last test starts
real sessions from four threads at once.
"""

import glob
import io
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import types
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

import ruk.compute.strategies.local as local
from real_deps import missing_pyspark_and_java, require
from fake_spark import (
    FAKE_JDK, JAVA_FLAGS, NO_JAVA_TAIL, NO_PYSPARK_INFO, FakeJavaCompat, FakeSparkSession, ReusingSparkSession,
    key_of, lock_is_free, pyspark_info,
)

# What a fake start prints: noise, plus one line that must survive the filter.
# Starting and ending with a line break keeps it whole even when another
# thread's replay lands in the same capture buffer.
START_OUTPUT = "\nWARNING: Using incubator modules: jdk.incubator.vector\n   kept line   \nSLF4J: No providers\n"
KEPT = "kept line"
# A hang here means a lock was left held; fail instead of blocking the suite.
HANG_GUARD = 60


def is_live(session):
    return not session.stopped and session.sparkContext._jsc is not None


class SlowSpark(FakeSparkSession):
    """Start and stop take a little time, so other threads run in between; the
    active session is per thread, as PySpark reports it."""

    start_delay = 0.0003
    stop_delay = 0.0002

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        cls.local = threading.local()
        cls.fault_rate = 0.0  # share of starts, log-level calls and stops that fail
        cls.attempts = 0

    @classmethod
    def _injected(cls):
        rng = getattr(cls.local, "rng", None)
        if rng is None:
            rng = cls.local.rng = random.Random(threading.get_ident())
        return rng.random() < cls.fault_rate

    @classmethod
    def _start_hook(cls, builder):
        # Runs inside getOrCreate, after the start-up output was written.
        cls.attempts += 1  # starts are serialised by the start window
        if cls._injected():
            raise InjectedFault("getOrCreate")

    @classmethod
    def _get_or_create(cls, builder):
        time.sleep(cls.start_delay)  # widens the race window; nobody waits on it
        if cls.get_or_create_hook is None:
            cls.get_or_create_hook = cls._start_hook
        session = super()._get_or_create(builder)
        if cls._injected():
            session.sparkContext.set_log_level_error = InjectedFault("setLogLevel")
        cls.local.active = session
        return session

    @classmethod
    def getActiveSession(cls):
        if cls.active is not None or cls.active_session_error is not None:
            return super().getActiveSession()  # a test chose what is active
        cls.active_session_calls += 1
        active = getattr(cls.local, "active", None)
        return active if active is not None and not active.stopped else None

    def stop(self):
        time.sleep(self.stop_delay)
        if type(self)._injected():
            self.stop_calls += 1
            raise InjectedFault("stop")
        super().stop()


class InjectedFault(RuntimeError):
    """A failure the stress test injects on purpose."""


@pytest.fixture
def env(fake_module, monkeypatch):
    ns = fake_module  # the real tracker suppression runs
    monkeypatch.setenv("PATH", "/usr/bin" + os.pathsep + "/bin")
    ns.Spark = SlowSpark.fresh()
    ns.Spark.start_delay = ns.Spark.stop_delay = 0
    monkeypatch.setattr(local, "SparkSession", ns.Spark)
    ns.real_ensure_java = local._ensure_java_available
    monkeypatch.setattr(local, "_ensure_java_available", lambda: None)

    def console():
        # Installed from the test body: pytest swaps its own capture in per phase.
        ns.stderr = io.StringIO()
        monkeypatch.setattr(sys, "stderr", ns.stderr)
        return ns.stderr

    def shown():
        text = ns.stderr.getvalue()
        ns.stderr.seek(0)
        ns.stderr.truncate()
        return text

    ns.console, ns.shown = console, shown
    return ns


def assert_untouched(env, cache_before):
    """A failed or refused request leaves no trace in the shared state."""
    assert lock_is_free()
    assert sys.stderr is env.stderr
    assert local._SPARK_SESSION_CACHE is env.cache
    assert list(env.cache.items()) == list(cache_before.items())
    assert all(env.cache[k] is v for k, v in cache_before.items())
    assert glob.glob(str(env.tmp / ".mur_log4j2.properties.*")) == []  # no temporary file left behind


def run_in_other_thread(fn):
    """Runs fn in a fresh thread; a lock left held by the calling thread shows
    up as a hang there, which the guard turns into a failure."""
    outcome, done = {}, threading.Event()

    def body():
        try:
            outcome["result"] = fn()
        except BaseException as e:  # reported by the caller
            outcome["error"] = e
        finally:
            done.set()

    threading.Thread(target=body, daemon=True).start()
    assert done.wait(HANG_GUARD), "a lock was left held: the call from another thread never finished"
    if "error" in outcome:
        raise outcome["error"]
    return outcome["result"]


def assert_next_start_works(env):
    """The start-up capture and the cache lock are usable from another thread."""
    before = len(env.Spark.created)
    spark = run_in_other_thread(lambda: env.strategy({"spark.probe": "after-fault"}).get_spark_session())
    assert spark is env.Spark.created[before] and is_live(spark)
    assert env.cache[key_of({"spark.probe": "after-fault"})] is spark
    assert sys.stderr is env.stderr
    env.cache.pop(key_of({"spark.probe": "after-fault"}))


# --- threads -----------------------------------------------------------------------------

CONFIGS = [
    {},
    {"master": "local[4]", "spark.driver.memory": "2g"},
    {"spark.sql.shuffle.partitions": 16, "spark.app.tag": "reliability"},
]
THREADS = 8
OPS_PER_THREAD = 300


def hammer(env, keep_alive_mode):
    """8 threads run mixed requests, releases and cleanups against the shared cache.

    keep_alive_mode: "off" and "on" fix MUR_SPARK_KEEP_ALIVE for the whole run;
    "flipping" lets thread 0 rewrite it before each of its steps, so the other
    threads' releases see it change under them.
    """
    if keep_alive_mode == "on":
        os.environ["MUR_SPARK_KEEP_ALIVE"] = "1"
    else:
        os.environ["MUR_SPARK_KEEP_ALIVE"] = "0"
    start = threading.Barrier(THREADS)
    errors, received, injected = [], [], []

    def worker(index):
        rng = random.Random(index)
        strategies = [local.LocalStrategy(dict(c), app_name=f"worker-{index}") for c in CONFIGS]
        held = []
        try:
            start.wait()
            for step in range(OPS_PER_THREAD):
                if keep_alive_mode == "flipping" and index == 0:
                    os.environ["MUR_SPARK_KEEP_ALIVE"] = "1" if step % 2 else "0"
                roll = rng.random()
                if roll < 0.04:
                    local.cleanup_all_spark_sessions()
                    continue
                strategy = rng.choice(strategies)
                try:
                    spark = strategy.get_spark_session()
                except InjectedFault as e:
                    injected.append(e)
                    continue
                if not isinstance(spark, env.Spark):
                    raise AssertionError(f"get_spark_session returned {spark!r}")
                received.append(spark)
                if roll < 0.75:
                    strategy.close(spark)
                else:  # used a while before release: others may reuse it meanwhile
                    held.append((strategy, spark))
                    if len(held) > 3:
                        s, sp = held.pop(0)
                        s.close(sp)
            for s, sp in held:
                s.close(sp)
        except BaseException as e:  # collected and asserted by the main thread
            errors.append((index, e))
            start.abort()

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors, received, injected


@pytest.mark.parametrize(
    "keep_alive_mode, fault_rate",
    [("off", 0.0), ("on", 0.0), ("flipping", 0.0), ("off", 0.1), ("flipping", 0.1)],
    ids=["keep-alive off", "keep-alive on", "keep-alive flipping", "off, with faults", "flipping, with faults"],
)
def test_eight_threads_mixed_calls_keep_the_shared_state_sound(env, monkeypatch, keep_alive_mode, fault_rate):
    env.console()
    env.Spark.start_delay, env.Spark.stop_delay = SlowSpark.start_delay, SlowSpark.stop_delay
    env.Spark.fault_rate = fault_rate
    env.Spark.stderr_text = START_OUTPUT
    real_stderr = env.stderr
    # The real Java check, against a discovery that answers at once: PATH must
    # not grow however many requests run.
    monkeypatch.setitem(sys.modules, "ruk.compute.java_compat", FakeJavaCompat())
    monkeypatch.setattr(local, "_ensure_java_available", env.real_ensure_java)
    path_before = os.environ["PATH"]
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads often, inside the module's calls too
    try:
        errors, received, injected = hammer(env, keep_alive_mode)
    finally:
        sys.setswitchinterval(old_interval)

    assert errors == []
    assert lock_is_free()
    assert sys.stderr is real_stderr
    assert local._SPARK_SESSION_CACHE is env.cache
    cached = list(env.cache.values())
    assert all(is_live(s) for s in cached), [s for s in cached if not is_live(s)]
    assert set(env.cache) <= {key_of(c) for c in CONFIGS}
    created = env.Spark.created
    assert len(received) + len(injected) > THREADS * OPS_PER_THREAD * 0.9 and len(created) > 0
    assert bool(injected) is (fault_rate > 0)

    # Each start's own output was filtered and shown exactly once, nothing else,
    # whether the start worked or failed.
    shown = real_stderr.getvalue()
    assert shown.count(KEPT) == env.Spark.attempts
    assert set(shown.split("\n")) <= {KEPT, ""}

    assert os.environ["PATH"] == os.path.join(FAKE_JDK, "bin") + os.pathsep + path_before
    assert os.environ["JAVA_HOME"] == FAKE_JDK
    assert os.environ["_JAVA_OPTIONS"] == JAVA_FLAGS

    if keep_alive_mode == "off" and not fault_rate:
        # Every session was released by whoever got it: none is left running or cached.
        assert env.cache == {}
        assert all(s.stopped for s in created)

    env.Spark.fault_rate = 0.0
    local.cleanup_all_spark_sessions()
    assert env.cache == {} and all(not is_live(s) for s in cached)


# Two kinds of model in a thread pool, each with its own master and settings.
POOL_CONFIGS = ({"master": "local[1]", "spark.sql.shuffle.partitions": "3"},
                {"master": "local[2]", "spark.sql.shuffle.partitions": "5"})


def test_a_thread_pool_with_two_configurations_gets_each_its_own_session(env, monkeypatch):
    """Both asked for at once, round after round, from a builder that reuses
    a running session as PySpark's does: each session handed out or cached
    was started with its own configuration's master and settings, and one
    that another thread's start stopped is stopped, not swapped."""
    env.console()
    env.Spark = ReusingSparkSession.fresh()
    env.Spark.start_delay = 0.001  # widens the race; nobody waits on it
    monkeypatch.setattr(local, "SparkSession", env.Spark)
    handed = []
    with ThreadPoolExecutor(2) as pool:
        for _ in range(10):
            asked = pool.map(lambda config: env.strategy(dict(config)).get_spark_session(), POOL_CONFIGS)
            handed += zip(POOL_CONFIGS, asked)
    shuffle = "spark.sql.shuffle.partitions"
    handed += [(c, env.cache[key_of(c)]) for c in POOL_CONFIGS if key_of(c) in env.cache]
    assert [(c["master"], s.master, s.started_with[shuffle]) for c, s in handed
            if (s.master, s.started_with[shuffle]) != (c["master"], c[shuffle])] == []
    assert len({id(s) for _, s in handed if not s.stopped}) == 1  # one runs; the others were stopped
    # One that can't be stopped fails the next start of the other configuration, which it would be handed as.
    running = env.Spark._instantiatedSession
    running.stop_error = RuntimeError("no stop")
    with pytest.raises(RuntimeError, match="no stop"):
        env.strategy(dict(POOL_CONFIGS[running.master == "local[1]"])).get_spark_session()
    assert list(env.cache.values()) in ([], [running])


def test_release_lookup_and_cleanup_racing_a_blocked_start(env):
    """A start that is still running while other threads release, reuse and
    clean up: none of them waits for it, and it is cached once it finishes.
    (Other starts do wait: starts are serialised.)"""
    env.console()
    in_start, release_start = threading.Event(), threading.Event()
    config = {"spark.slow": "yes"}

    def slow_start(builder):
        if ("config", "spark.slow", "yes") in builder.calls:
            in_start.set()
            release_start.wait()

    env.Spark.get_or_create_hook = slow_start
    other = env.strategy().get_spark_session()
    reused = env.strategy({"spark.other": 1}).get_spark_session()
    result = {}
    starter = threading.Thread(target=lambda: result.update(spark=env.strategy(config).get_spark_session()))
    starter.start()
    try:
        assert in_start.wait(HANG_GUARD)
        # The slow start holds no cache lock: lookups, release and cleanup go through.
        assert lock_is_free()
        assert run_in_other_thread(lambda: env.strategy({"spark.other": 1}).get_spark_session()) is reused
        env.strategy().close(other)
        assert other.stopped and env.cache == {key_of({"spark.other": 1}): reused}
        run_in_other_thread(local.cleanup_all_spark_sessions)
        assert env.cache == {} and reused.stopped
    finally:
        release_start.set()
        starter.join()
    assert env.cache == {key_of(config): result["spark"]} and is_live(result["spark"])
    assert sys.stderr is env.stderr


def test_cleanup_holds_the_lock_while_stopping_so_requests_wait(env):
    """A stop() that blocks inside cleanup: a request from another thread waits
    for the lock and then creates a fresh session, never the stopped one."""
    env.console()
    in_stop, finish_stop = threading.Event(), threading.Event()
    old = env.strategy().get_spark_session()

    def blocking_stop(session):
        in_stop.set()
        finish_stop.wait()

    old.stop_hook = blocking_stop
    cleaner = threading.Thread(target=local.cleanup_all_spark_sessions)
    cleaner.start()
    result = {}
    requester = None
    try:
        assert in_stop.wait(HANG_GUARD)
        assert not lock_is_free()
        requester = threading.Thread(target=lambda: result.update(spark=env.strategy().get_spark_session()))
        requester.start()
    finally:
        finish_stop.set()
        cleaner.join()
        if requester is not None:
            requester.join()
    assert result["spark"] is not old and is_live(result["spark"])
    assert env.cache == {key_of({}): result["spark"]}


def test_nested_request_from_inside_a_start_does_not_deadlock(env):
    """A builder that itself asks for a session (another configuration) while
    starting: the start holds no lock, so the inner request completes."""
    env.console()
    inner = {}

    def nested(builder):
        if ("config", "spark.outer", 1) in builder.calls:
            inner["spark"] = env.strategy({"spark.inner": 1}).get_spark_session()

    env.Spark.get_or_create_hook = nested
    env.Spark.stderr_text = "\nouter or inner\n"
    outer = run_in_other_thread(lambda: env.strategy({"spark.outer": 1}).get_spark_session())
    assert env.cache == {key_of({"spark.inner": 1}): inner["spark"], key_of({"spark.outer": 1}): outer}
    assert sys.stderr is env.stderr
    assert env.shown().count("outer or inner\n") == 2


# --- faults ------------------------------------------------------------------------------

Interrupt = KeyboardInterrupt


def _seed_cache(env):
    """Two sessions of other configurations that a failing request must leave alone."""
    seeded = {"k-one": FakeSparkSession("one"), "k-two": FakeSparkSession("two")}
    env.cache.update(seeded)
    return dict(env.cache)


@pytest.mark.parametrize("entry", ["get_spark_session", "test_connectivity"])
@pytest.mark.parametrize("where", ["getOrCreate", "setLogLevel"])
@pytest.mark.parametrize("error", [RuntimeError("start failed"), Interrupt()], ids=["Exception", "KeyboardInterrupt"])
def test_failing_start(env, entry, where, error):
    env.console()
    before = _seed_cache(env)
    env.Spark.stderr_text = "WARNING: noise\nwhy it failed\n"
    if where == "getOrCreate":
        env.Spark.get_or_create_error = error
    else:
        env.Spark.set_log_level_error = error
    strategy = env.strategy()
    if entry == "test_connectivity" and isinstance(error, Exception):
        assert strategy.test_connectivity() == (False, "Local Spark failed: start failed")
    else:
        with pytest.raises(type(error)) as info:
            getattr(strategy, entry)()
        assert info.value is error
    # The console came back, with the meaningful line shown before the error left.
    assert env.shown() == "why it failed\n"
    assert_untouched(env, before)
    assert all(s.stop_calls == 0 for s in before.values())
    if where == "setLogLevel":
        (made,) = env.Spark.created  # made, then stopped: never cached
        assert made.stop_calls == 1
    env.Spark.get_or_create_error = env.Spark.set_log_level_error = None
    assert_next_start_works(env)


@pytest.mark.parametrize("error", [RuntimeError("cache refused"), Interrupt()], ids=["Exception", "KeyboardInterrupt"])
def test_session_that_cannot_be_cached_is_stopped(env, monkeypatch, error):
    """A session nobody could find or stop again does not outlive the failed call."""

    class Refusing(dict):
        def __setitem__(self, key, value):
            raise error

    monkeypatch.setattr(local, "_SPARK_SESSION_CACHE", Refusing())
    with pytest.raises(type(error)) as info:
        env.strategy().get_spark_session()
    assert info.value is error
    (made,) = env.Spark.created
    assert made.stop_calls == 1 and local._SPARK_SESSION_CACHE == {}
    monkeypatch.setattr(local, "_SPARK_SESSION_CACHE", env.cache)
    env.console()
    assert_next_start_works(env)


@pytest.mark.parametrize("error", [RuntimeError("stop failed"), Interrupt()], ids=["Exception", "KeyboardInterrupt"])
def test_failing_stop_in_close(env, error):
    env.console()
    spark = env.strategy().get_spark_session()
    keep = env.cache["k-keep"] = FakeSparkSession("keep")
    spark.stop_error = error
    if isinstance(error, Exception):
        assert env.strategy().close(spark) is None
    else:
        with pytest.raises(KeyboardInterrupt):
            env.strategy().close(spark)
    assert env.cache == {"k-keep": keep}  # removed before stop() was tried
    assert spark.stop_calls == 1 and keep.stop_calls == 0
    assert env.shown() == ""
    assert_untouched(env, {"k-keep": keep})
    assert_next_start_works(env)


@pytest.mark.parametrize("error", [RuntimeError("stop failed"), Interrupt()], ids=["Exception", "KeyboardInterrupt"])
def test_failing_stop_in_cleanup(env, error):
    env.console()
    log = []
    one, two, three = (FakeSparkSession(n, stop_log=log) for n in ("one", "two", "three"))
    env.cache.update({"k1": one, "k2": two, "k3": three})
    two.stop_error = error
    if isinstance(error, Exception):
        assert local.cleanup_all_spark_sessions() is None
        assert log == ["one", "two", "three"] and env.cache == {}
    else:
        before = dict(env.cache)
        with pytest.raises(KeyboardInterrupt):
            local.cleanup_all_spark_sessions()
        # The walk ended at the interrupt; nothing was forgotten.
        assert log == ["one", "two"] and three.stop_calls == 0
        assert_untouched(env, before)
    assert env.shown() == ""
    assert lock_is_free()
    assert_next_start_works(env)


@pytest.mark.parametrize("error", [RuntimeError("stop failed"), Interrupt()], ids=["Exception", "KeyboardInterrupt"])
def test_failing_stop_of_the_active_session(env, error):
    env.console()
    before = _seed_cache(env)
    active = env.Spark.active = FakeSparkSession("active")
    active.stop_error = error
    if isinstance(error, Exception):
        spark = env.strategy().get_spark_session()
        # Dropped silently: the cache was not cleared, the new session joined it.
        assert env.cache == {**before, key_of({}): spark}
        assert env.shown() == ""
    else:
        with pytest.raises(KeyboardInterrupt):
            env.strategy().get_spark_session()
        assert env.Spark.builders == []
        assert_untouched(env, before)
    assert active.stop_calls == 1
    assert lock_is_free()
    env.Spark.active = None
    assert_next_start_works(env)


@pytest.mark.parametrize("error", [RuntimeError("getActiveSession failed"), Interrupt()], ids=["Exception", "KeyboardInterrupt"])
def test_failing_active_session_lookup(env, error):
    env.console()
    before = _seed_cache(env)
    env.Spark.active_session_error = error
    if isinstance(error, Exception):
        spark = env.strategy().get_spark_session()
        assert env.cache == {**before, key_of({}): spark}
    else:
        with pytest.raises(KeyboardInterrupt):
            env.strategy().get_spark_session()
        assert_untouched(env, before)
    assert lock_is_free() and env.shown() == ""
    env.Spark.active_session_error = None
    assert_next_start_works(env)


# The Java discovery, failing in each way it can.
class _Unprintable:
    def __str__(self):
        raise ValueError("no text")


JAVA_FAULTS = {
    "pyspark info raises": (dict(info=RuntimeError("info broke")), RuntimeError, "info broke"),
    "pyspark info interrupted": (dict(info=Interrupt()), KeyboardInterrupt, None),
    "search raises": (dict(installations=OSError("scan failed")), OSError, "scan failed"),
    "selection raises": (dict(best=LookupError("no pick")), LookupError, "no pick"),
    "no pyspark": (dict(info=None), local.RukRuntimeError, NO_PYSPARK_INFO),
    "no compatible java": (
        dict(best=None), local.RukRuntimeError,
        "No compatible Java found for PySpark 4.0.1.\nPySpark 4.0 requires Java 17, 21" + NO_JAVA_TAIL,
    ),
    "record without java_supported": (dict(info=types.SimpleNamespace(version="4")), AttributeError, None),
    "unprintable supported version": (dict(best=None, info=pyspark_info([_Unprintable()])), ValueError, "no text"),
    "home not a string": (dict(best=types.SimpleNamespace(path=Path("/opt/jdk"))), TypeError, None),
    "installation without path": (dict(best=types.SimpleNamespace()), AttributeError, None),
    "module missing": (dict(module=None), ImportError, None),
    "function missing": (dict(drop="select_best_java"), ImportError, None),
}


def _java_compat_module(fault):
    if "module" in fault:
        return fault["module"]
    module = FakeJavaCompat()
    for field in ("info", "installations", "best"):
        if field in fault:
            setattr(module, field, fault[field])
    if "drop" in fault:
        delattr(module, fault["drop"])
    return module


@pytest.mark.parametrize("fault_name", list(JAVA_FAULTS))
def test_failing_java_discovery(env, monkeypatch, fault_name):
    env.console()
    fault, error_type, message = JAVA_FAULTS[fault_name]
    monkeypatch.setitem(sys.modules, "ruk.compute.java_compat", _java_compat_module(fault))
    monkeypatch.setattr(local, "_ensure_java_available", env.real_ensure_java)
    before = _seed_cache(env)
    with pytest.raises(error_type) as info:
        env.strategy().get_spark_session()
    if message is not None:
        assert str(info.value) == message
    # Raised before the lookup: no file, no directory, no builder, environment as it was.
    assert env.Spark.builders == [] and env.Spark.active_session_calls == 0
    assert os.listdir(env.tmp) == [] and os.listdir(env.home) == []
    assert os.environ["JAVA_HOME"] == "/previous/jdk"
    assert os.environ["PATH"] == "/usr/bin" + os.pathsep + "/bin"
    assert os.environ["_JAVA_OPTIONS"] == JAVA_FLAGS  # adjusted before the Java check
    assert_untouched(env, before)
    if isinstance(info.value, Exception):
        expected = (False, "Local Spark failed: " + str(info.value))
        assert env.strategy().test_connectivity() == expected
        assert_untouched(env, before)
    monkeypatch.setitem(sys.modules, "ruk.compute.java_compat", FakeJavaCompat())
    assert_next_start_works(env)


def _file(env):
    path = env.root / "a-file"
    path.write_text("not a directory")
    return path


def _temp_dir(make_path):
    def use(env, monkeypatch):
        bad = str(make_path(env))
        monkeypatch.setenv("TMPDIR", bad)
        monkeypatch.setattr(tempfile, "tempdir", bad)
    return use


def _home_file(env, monkeypatch):
    monkeypatch.setenv("HOME", str(_file(env)))


def _jdbc_jars_file(env, monkeypatch):
    (env.home / ".mur").mkdir()
    (env.home / ".mur" / "jdbc_jars").write_text("not a directory")


# An unusable temporary directory or home -> where the logging file goes; the start goes on.
UNUSABLE_PLACES = {
    "temp dir missing": (_temp_dir(lambda env: env.root / "gone" / "tmp"), "home"),
    "temp dir is a file": (_temp_dir(_file), "home"),
    "temp dir below a file": (_temp_dir(lambda env: _file(env) / "tmp"), "home"),
    "home is a file": (_home_file, "tmp"),
    "jdbc_jars is a file": (_jdbc_jars_file, "tmp"),
}


@pytest.mark.parametrize("layout", list(UNUSABLE_PLACES))
def test_unusable_temporary_directory_or_home(env, monkeypatch, layout):
    env.console()
    spoil, place = UNUSABLE_PLACES[layout]
    spoil(env, monkeypatch)
    home = os.environ["HOME"]
    jar_dirs = []

    class Recording(local.LocalStrategy):
        def _get_jdbc_jars(self, cache_dir):
            jar_dirs.append(cache_dir)
            return super()._get_jdbc_jars(cache_dir)

    spark = Recording({}, "app").get_spark_session()
    assert spark is env.Spark.created[0] and env.shown() == ""
    # The JAR directory is made when it can be, and its path is handed on either way.
    assert jar_dirs == [os.path.join(home, ".mur", "jdbc_jars")]
    assert os.path.isdir(jar_dirs[0]) is (place == "home")
    log4j = {"home": env.home / ".mur" / "mur_log4j2.properties", "tmp": env.tmp / "mur_log4j2.properties"}[place]
    options = dict(c[1:] for c in env.Spark.builders[0].calls if c[0] == "config")["spark.driver.extraJavaOptions"]
    assert options.startswith(f"-Dlog4j2.configurationFile=file:{log4j} ") and log4j.is_file()
    if os.path.exists(env.root / "a-file"):
        assert (env.root / "a-file").read_text() == "not a directory"
    if layout == "jdbc_jars is a file":
        assert (env.home / ".mur" / "jdbc_jars").read_text() == "not a directory"
    assert_next_start_works(env)


def test_deleted_working_directory(env, monkeypatch):
    env.console()
    gone = env.root / "gone"
    gone.mkdir()
    monkeypatch.chdir(gone)
    gone.rmdir()
    before = _seed_cache(env)
    try:
        with pytest.raises(FileNotFoundError):
            env.strategy().get_spark_session()
        with pytest.raises(FileNotFoundError):
            env.strategy()._get_jdbc_jars("/anywhere")
        with pytest.raises(FileNotFoundError):
            env.strategy().get_jar_provisioning_config(set())
        ok, message = env.strategy().test_connectivity()
    finally:
        os.chdir(env.project)
    assert ok is False and message.startswith("Local Spark failed: ")
    assert env.Spark.builders == []
    assert_untouched(env, before)
    assert_next_start_works(env)


def test_stderr_restored_and_lock_free_when_the_capture_buffer_cannot_be_read(env, monkeypatch):
    env.console()
    class Unreadable(io.StringIO):
        def getvalue(self):
            raise OSError("unreadable")

    before = _seed_cache(env)
    monkeypatch.setitem(sys.modules, "io", types.SimpleNamespace(StringIO=Unreadable))
    for start_error in (None, RuntimeError("start failed")):
        env.Spark.get_or_create_error = start_error
        env.Spark.local.active = None  # the last half-started session would be stopped as active
        with pytest.raises(OSError, match="unreadable") as info:
            env.strategy().get_spark_session()
        if start_error is not None:
            assert info.value.__context__ is start_error  # as a failing `finally` would chain it
        assert_untouched(env, before)
    monkeypatch.delitem(sys.modules, "io")
    env.Spark.get_or_create_error = None
    assert_next_start_works(env)


class _BrokenStream:
    def write(self, text):
        raise OSError("console gone")

    def flush(self):
        pass


def _closed_stream():
    stream = io.StringIO()
    stream.close()
    return stream


CONSOLE_FAULTS = {
    # name: (what sys.stderr is before the start, what the request gives)
    "no stderr at all": ("missing", AttributeError),
    "stderr is None": (None, "session"),
    "stderr closed": (_closed_stream, ValueError),
    "stderr write raises": (_BrokenStream, OSError),
    "buffer cannot be made": ("no StringIO", LookupError),
}


@pytest.mark.parametrize("fault_name", list(CONSOLE_FAULTS))
def test_console_faults_around_the_start(env, monkeypatch, fault_name):
    env.console()
    before = _seed_cache(env)
    env.Spark.stderr_text = "WARNING: noise\nshown line\n"
    console, expected = CONSOLE_FAULTS[fault_name]
    if console == "no StringIO":
        def no_buffer():
            raise LookupError("no buffer")

        monkeypatch.setitem(sys.modules, "io", types.SimpleNamespace(StringIO=no_buffer))
        stream = env.stderr
    elif console == "missing":
        monkeypatch.delattr(sys, "stderr")
        stream = "missing"
    else:
        stream = console() if callable(console) else console
        monkeypatch.setattr(sys, "stderr", stream)
    outcome = {}
    try:
        try:
            outcome["spark"] = env.strategy().get_spark_session()
        except Exception as e:  # compared below
            outcome["error"] = e
        after = getattr(sys, "stderr", "missing")
    finally:
        sys.stderr = env.stderr  # the monkeypatch undo puts everything back after the test too
        monkeypatch.delitem(sys.modules, "io", raising=False)
    assert after is stream  # whatever the console was, it is back
    if expected == "session":
        assert outcome["spark"] is env.Spark.created[0]
        assert env.cache == {**before, key_of({}): outcome["spark"]}
    else:
        assert type(outcome.get("error")) is expected, outcome
        assert_untouched(env, before)  # a start whose console failed is not cached
    assert lock_is_free()
    env.Spark.stderr_text = ""
    env.Spark.local.active = None
    assert_next_start_works(env)


def test_start_that_swaps_stderr_itself(env):
    """A start that installs a stream of its own: the capture still reads its
    buffer and puts the real stream back."""
    env.console()
    foreign = io.StringIO()

    def swap(builder):
        sys.stderr.write("\nbefore the swap\n")
        sys.stderr = foreign
        sys.stderr.write("after the swap\n")

    env.Spark.get_or_create_hook = swap
    env.strategy().get_spark_session()
    assert sys.stderr is env.stderr
    assert env.shown() == "before the swap\n"
    assert foreign.getvalue() == "after the swap\n"
    assert_next_start_works(env)


def test_ctrl_c_ends_a_wait_for_another_threads_start(env, monkeypatch):
    """The main thread asks for a session while a worker's start is under way:
    Ctrl-C ends that wait at once, as it ends a threading.Lock.acquire(), with
    nothing left held and sys.stderr as it was."""
    env.console()
    in_start, release_start, start_done = threading.Event(), threading.Event(), threading.Event()
    main_configured, handled, interrupted = threading.Event(), threading.Event(), threading.Event()

    def hold_worker(builder):
        if ("config", "spark.who", "worker") in builder.calls:
            in_start.set()
            release_start.wait()

    env.Spark.get_or_create_hook = hold_worker
    # The main thread's last call out before its lookup, after which it waits for the worker's start.
    monkeypatch.setattr(local, "_ensure_java_available",
                        lambda: threading.current_thread() is threading.main_thread() and main_configured.set())

    def wait_for_start():
        return env.strategy({"spark.who": "main"}).get_spark_session()

    def on_sigint(signum, frame):
        handled.set()
        # Raise only where the module waits: past the builder's set-up, with
        # no Python frame above the caller's. A signal that lands earlier is sent again.
        if main_configured.is_set() and frame is not None and frame.f_code is wait_for_start.__code__:
            interrupted.set()
            raise KeyboardInterrupt

    def press_ctrl_c():
        main_configured.wait(HANG_GUARD)
        while not interrupted.is_set():
            handled.clear()
            signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
            if not handled.wait(HANG_GUARD / 6):
                release_start.set()  # never delivered while waiting: let the test end
                return

    def worker_body():
        env.strategy({"spark.who": "worker"}).get_spark_session()
        start_done.set()

    worker = threading.Thread(target=worker_body)
    presser = threading.Thread(target=press_ctrl_c)
    previous = signal.signal(signal.SIGINT, on_sigint)
    try:
        worker.start()
        assert in_start.wait(HANG_GUARD)
        presser.start()
        with pytest.raises(KeyboardInterrupt):
            wait_for_start()
        assert not start_done.is_set()  # delivered while the other start still ran
    finally:
        release_start.set()
        worker.join()
        presser.join()
        signal.signal(signal.SIGINT, previous)
    assert start_done.is_set() and list(env.cache) == [key_of({"spark.who": "worker"})]
    assert sys.stderr is env.stderr
    assert_next_start_works(env)


def _run_fake_script(tmp_path, body, timeout=60):
    """Runs body in a fresh interpreter against the fake PySpark; its files
    stay in tmp_path. Returns the finished process (text output)."""
    prelude = f"""
import os, sys, threading
sys.path.insert(0, {str(Path(__file__).parent)!r})
import ruk.compute.strategies.local as local
from fake_spark import FakeSparkSession
Spark = FakeSparkSession.fresh()
local.SparkSession, local.PYSPARK_AVAILABLE = Spark, True
local._ensure_java_available = lambda: None
"""
    for d in ("home", "tmp"):
        (tmp_path / d).mkdir(exist_ok=True)
    env = {**os.environ, "HOME": str(tmp_path / "home"), "TMPDIR": str(tmp_path / "tmp")}
    return subprocess.run([sys.executable, "-c", prelude + body], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=timeout)


def test_fork_during_another_threads_start(tmp_path):
    """A child forked while a worker thread is inside its start: the capture
    lock is free there, sys.stderr and fd 2 are what they were before the
    start, and a request works."""
    result = _run_fake_script(tmp_path, r"""
real_stderr, real_fd = sys.stderr, os.dup(2)
in_start, release = threading.Event(), threading.Event()

def hold(builder):
    in_start.set()
    release.wait()

Spark.get_or_create_hook = hold
worker = threading.Thread(target=lambda: local.LocalStrategy({"spark.who": "worker"}, "w").get_spark_session())
worker.start()
in_start.wait()
Spark.get_or_create_hook = None  # the child's own start goes straight through
pid = os.fork()
if pid == 0:
    restored = sys.stderr is real_stderr and os.path.sameopenfile(2, real_fd)
    print("WARNING: child's sys.stderr", file=sys.stderr, flush=True)
    os.write(2, b"WARNING: child's fd 2\n")
    spark = local.LocalStrategy({"spark.who": "child"}, "c").get_spark_session()
    os._exit(0 if restored and spark is Spark.created[-1] else 1)
child_status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
release.set()
worker.join()
print(child_status, sys.stderr is real_stderr)
""", timeout=HANG_GUARD)
    assert result.stdout.split() == ["0", "True"], result.stderr
    assert "WARNING: child's sys.stderr\n" in result.stderr and "WARNING: child's fd 2\n" in result.stderr


# --- interpreter exit --------------------------------------------------------------------

# A child interpreter whose daemon threads are inside the module when the main
# thread returns. Threads that take the GIL back during finalisation are ended
# by the interpreter (pthread_exit): their stacks unwind through the module's
# frames wherever they are.
EXIT_CHILD = """
import inspect, sys, threading, time
sys.modules["pyspark"] = None  # a fake PySpark is all the child needs
import ruk.compute.strategies.local as local
from fake_spark import FakeSparkSession

scenario = sys.argv[1]
Spark = FakeSparkSession.fresh()
local.SparkSession, local.PYSPARK_AVAILABLE = Spark, True
local._ensure_java_available = lambda: None
ready = []

def start_hook(builder):
    if scenario == "inside a start":
        ready[0].set()
        while True:
            time.sleep(0.0001)  # gives the GIL up and takes it back
    time.sleep(0.0001)

def requests(done):
    strategy = local.LocalStrategy({"spark.thread": threading.get_ident()}, "exit")
    while True:
        strategy.close(strategy.get_spark_session())
        inspect.signature(local.LocalStrategy.get_spark_session)
        local.cleanup_all_spark_sessions()
        done.set()

Spark.get_or_create_hook = start_hook
sys.setswitchinterval(1e-5)
for _ in range(1 if scenario == "inside a start" else 3):
    ready.append(threading.Event())
    threading.Thread(target=requests, args=(ready[-1],), daemon=True).start()
for event in ready:
    event.wait()
"""


@pytest.mark.parametrize("scenario", ["inside a start", "requests in a loop"])
def test_interpreter_exit_with_daemon_threads_inside_the_module(tmp_path, scenario):
    """A daemon thread inside any call of the module does not take the process
    down at exit: status 0 and no abort, run after run (the abort came in most
    runs when the frames did not let the thread's unwind through)."""
    src_root = Path(local.__file__).parents[3]
    tests_dir = Path(__file__).parent
    env = dict(os.environ, HOME=str(tmp_path), TMPDIR=str(tmp_path),
               PYTHONPATH=os.pathsep.join([str(src_root), str(tests_dir), os.environ.get("PYTHONPATH", "")]))
    failures = []
    for _ in range(10):
        r = subprocess.run([sys.executable, "-c", EXIT_CHILD, scenario], cwd=tmp_path, env=env,
                           capture_output=True, text=True, timeout=HANG_GUARD)
        if r.returncode != 0 or r.stderr:
            failures.append((r.returncode, r.stderr[-300:]))
    assert failures == []


# --- real PySpark --------------------------------------------------------------------------

DEBIAN_JDK = "/usr/lib/jvm/java-17-openjdk-amd64"


# Two threads' first starts, then the thread pool of two configurations, in
# a process started from "/" (a container's WORKDIR): what each start hands
# out, how many driver JVMs the process has, and a last start's answer.
POOL_PROCESS = f"""
import json, os, threading
from concurrent.futures import ThreadPoolExecutor
import ruk.compute.strategies.local as local

def ask(config):
    spark = local.LocalStrategy(dict(config), "pool").get_spark_session()
    context = spark.sparkContext
    got = [context.master, context.getConf().get("spark.sql.shuffle.partitions")]
    try:
        return got, spark.sql("SELECT 1 AS one").collect()[0].one
    except Exception as e:  # stopped meanwhile by the other thread's start
        return got, f"{{type(e).__name__}}: {{e}}"

def driver_jvms():
    me = str(os.getpid())
    found = 0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            parent = open(f"/proc/{{pid}}/stat").read().rsplit(")", 1)[1].split()[1]
            found += parent == me and b"SparkSubmit" in open(f"/proc/{{pid}}/cmdline", "rb").read()
        except OSError:
            pass
    return found

def first(config):
    barrier.wait()  # both threads' first starts at once
    return ask(config)

def same(config):
    barrier.wait()
    spark = local.LocalStrategy(dict(config), "pool").get_spark_session()
    return id(spark), spark.sql("SELECT 2 AS two").collect()[0].two

configs = {list(POOL_CONFIGS)!r}
barrier = threading.Barrier(2)
with ThreadPoolExecutor(2) as pool:
    handed = list(zip(configs, pool.map(first, configs)))
    jvms = driver_jvms()
    for _ in range(10):
        handed += zip(configs, pool.map(ask, configs))
    # A third configuration from both threads at once: one start serves both.
    shared = list(pool.map(same, [dict(configs[0], **{{"spark.sql.shuffle.partitions": "7"}})] * 2))
print(json.dumps([jvms, handed, ask(configs[0]), shared]))
"""


def test_thread_pool_of_two_configurations_on_one_jvm_started_from_root(tmp_path):
    require(missing_pyspark_and_java())
    env = dict(os.environ, HOME=str(tmp_path), TMPDIR=str(tmp_path))
    if os.path.isdir(DEBIAN_JDK):
        env["JAVA_HOME"] = DEBIAN_JDK
    result = subprocess.run([sys.executable, "-c", POOL_PROCESS], cwd="/", env=env, capture_output=True, text=True,
                            timeout=600)
    assert result.returncode == 0 and result.stderr == "", result.stderr
    jvms, handed, last, shared = json.loads(result.stdout)
    assert jvms == 1  # the two first starts launched one JVM
    shuffle = "spark.sql.shuffle.partitions"
    assert [(c, got) for c, (got, _) in handed if got != [c["master"], c[shuffle]]] == []
    # A session another thread's start stopped fails in Spark's own words; the later start of each round answers.
    assert all(1 in (handed[i][1][1], handed[i + 1][1][1]) for i in range(0, len(handed), 2))
    assert last == [["local[1]", "3"], 1]  # from "/": no empty class path for Spark to read as it
    assert shared[0] == shared[1] and shared[0][1] == 2
