"""Leak-check cases of the session entry points: the request
(get_spark_session) on its create, reuse and eviction paths and each way a
start can fail, the release (close), and cleanup_all_spark_sessions."""

import os
import sys
import tempfile
import threading

from fake_spark import SetSub, key_of
from hostile import EXIT_BEHAVIOURS, BlockRaises, Boom, ExitRaises, Inner, Outer, build_hostile
from leak_harness import H, CaseFailure, RaisingSink, Spark, JAVA, case, check, fresh_cache, raises, strategy


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


# The lock's __exit__ raises (while handling an error of its own) over the block's error.
EXIT_RAISES = EXIT_BEHAVIOURS["raises while handling an error of its own"]


@case("get_spark_session", "lock __exit__ raises over the block error", weight=4)
def _():
    lock, cache = H.local._SPARK_SESSION_LOCK, H.local._SPARK_SESSION_CACHE
    H.local._SPARK_SESSION_LOCK, H.local._SPARK_SESSION_CACHE = ExitRaises(EXIT_RAISES, None), BlockRaises()

    def request():
        try:
            strategy().get_spark_session()
        except Outer as e:
            check(type(e.__context__.__context__) is Inner, "not chained to the block error")
            return e
        raise CaseFailure("no exception")

    def in_generator():
        yield request()

    try:
        request()
        try:
            raise Inner("handled by the caller")
        except Inner:
            request()
            check(next(in_generator()).__context__.__context__.__context__ is not None, "caller's error")
    finally:
        H.local._SPARK_SESSION_LOCK, H.local._SPARK_SESSION_CACHE = lock, cache


@case("get_spark_session", "bad arguments", weight=4)
def _():
    s = H.strategy
    raises(TypeError, s.get_spark_session, ["pg"], match="expected set, got list")
    raises(TypeError, s.get_spark_session, frozenset(), match="expected set, got frozenset")
    raises(TypeError, s.get_spark_session, SetSub(), match="Subclasses")
    raises(TypeError, s.get_spark_session, None, None, match="positional arguments but 3")
    raises(TypeError, s.get_spark_session, None, adapter_types=None, match="multiple values")
    raises(TypeError, s.get_spark_session, nope=1, match="unexpected keyword")
    raises(TypeError, H.local.LocalStrategy.get_spark_session, match="missing 1 required")



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
    raises(Boom, H.strategy.close, build_hostile("object", ("__bool__",), None))
    H.local._SPARK_SESSION_CACHE = None
    H.strategy.close(Spark())  # the failed cache scan is dropped
    raises(TypeError, H.strategy.close, match="missing 1 required positional argument: 'spark'")
    raises(TypeError, H.strategy.close, 1, 2)
