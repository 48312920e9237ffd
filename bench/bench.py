#!/usr/bin/env python3
"""Performance figures of the local Spark strategy, measured side by side.

    python3 bench/bench.py                    # full run, about 3 minutes on 2 cores
    python3 bench/bench.py --quick            # fewer repetitions, about 2 minutes
    python3 bench/bench.py --skip-jvm         # only groups 3 and 4 (no JVM), seconds
    python3 bench/bench.py --jvm-experiments  # adds group 5, about 3 minutes more
    python3 bench/bench.py --cds              # adds group 6, about 5 minutes more per JDK (--cds-only: alone)
    python3 bench/bench.py --warm-only        # group 7 alone (--warm: added to a run), about 6 minutes

Each figure is the median of several runs; each ratio is taken against a
comparison measured in the same run. Targets are printed next to the figures
("met" / "MISSED"); nothing here is a test.

1. Cold start to first result, every run in a fresh Python process:
   ``LocalStrategy({}, ...).get_spark_session()`` + ``SELECT 1`` collected,
   against PySpark's plain ``SparkSession.builder.master("local[2]")
   .getOrCreate()`` + the same query, both with the same JAVA_HOME
   (``--java-home``, default the Debian JDK 17). The two variants alternate,
   after one uncounted warm-up pair. The time runs from the child's spawn to
   the query's rows (the system-wide monotonic clock); the child then closes
   its JVM's stdin and waits for it to exit, so that its peak RSS shows, and
   spawn to exit, which adds the JVM's shutdown, is printed too. Peak memory of the Python process plus
   its JVM child is measured two ways:
   * tree RSS: the benchmark samples /proc every 10 ms and sums the resident
     set of the child and all of its descendants (the driver JVM, the
     launcher JVM, the spark-submit shell); the figure is the highest sum
     seen, the real simultaneous footprint up to the sampling interval.
   * self + children ru_maxrss: the child's own ``ru_maxrss`` plus
     ``getrusage(RUSAGE_CHILDREN).ru_maxrss`` read after the JVM has exited
     (its stdin is closed and it is waited for). RUSAGE_CHILDREN reports the
     largest single descendant (the driver JVM), so the sum is an upper bound
     that assumes both peaks coincide.
   Each child also records where the time goes: interpreter + imports, the
   module's work before PySpark is called, the JVM launch (spark-submit, the
   launcher JVM, the driver JVM up to its Py4J server), the JVM-side
   SparkContext construction, the rest of the session start, and the query.
2. Warm reuse on a real session: ``get_spark_session()`` returning the cached
   live session, against the bare liveness probe
   ``spark.sparkContext.getConf()`` on the same session, calls alternating.
3. The module's own cost with a fake ``SparkSession`` bound in the module (no
   JVM): warm path, create path, ``close``, ``cleanup_all_spark_sessions`` and
   ``_ensure_java_available`` with the Java discovery caches warm, plus the
   Python-level calls the warm path makes, each timed alone.
4. Throughput of 1, 2, 4 and 8 threads requesting the same cached fake
   session, with two plain-Python references (a ``threading.Lock`` taken with
   ``with`` and by try-acquire) that show the GIL/Lock interplay by itself.
5. (``--jvm-experiments``) strategy cold starts with JVM start-up options that
   are not among the launch settings: C1-only JIT and a class-data-sharing
   archive of the driver's classes.
5b. The import watch's audit hook, per audit event: the event alone
   (``sys.audit`` of an ``open`` and an ``import`` event) and a real
   ``open()``, in fresh processes with no hook (plain Python), with the hook
   added but idle (the start's JVM has Spark ML's functions), and with it
   armed (waiting for the first import of ``pyspark.ml``), and for
   comparison with an empty hook added by ``sys.addaudithook`` instead. Fake
   starts on a stand-in gateway add the watch's hook; no JVM. Any hook makes
   CPython build each event's arguments, which it skips while there is none.
6. (``--cds``) the driver's class-data-sharing archive as the strategy uses
   it: a first start builds one in the background (its size and build time
   are reported), then fresh-process starts alternate: with the archive, the
   plain builder, the strategy with ``MUR_SPARK_CDS=0``, and a first start
   into an empty archive directory (which starts a builder; it is ended after
   the measured start, whose tree RSS includes it); plus a first job of
   1,000,000 rows (``groupBy().count()``) with the archive and plain. Group 6
   runs once per JDK: each ``--java-home`` given, else every JDK installed in
   /usr/lib/jvm (one per major version). On Java 25 and later the strategy's
   archive is the JDK's ahead-of-time cache.
7. (``--warm``) the warm start: after one uncounted start in the project,
   each round waits until the spare driver JVM that start left is ready,
   then ``--warm-gap`` seconds (45), then runs the plain builder and the
   strategy, each in a fresh process, to the first ``SELECT 1``; the
   strategy's start claims the spare and leaves the next one. Also what a
   ready spare costs at rest during the gap: resident memory of the spare and
   its JVM, and their CPU. Archives stay off (``MUR_SPARK_CDS=0``), as in
   group 1.

The children run in a scratch directory (removed at the end) with HOME
pointed into it, so neither a project's ``.mur/jdbc_jars`` nor the user's
``~/.mur`` is touched. ``bench/profile_loop.py`` runs one entry point in a
tight loop for perf, callgrind or py-spy.
"""

from __future__ import annotations

import argparse
import glob
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

DEFAULT_JAVA_HOME = "/usr/lib/jvm/java-17-openjdk-amd64"
PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")

# Targets: (kind, bound). "max": value must be <= bound; "min": value >= bound;
# "lt": value < bound.
TARGETS = {
    "cold_ratio": ("lt", 1.0),
    "warm_reuse_ratio": ("max", 1.1),
    "fake_warm_us": ("max", 5.0),
    "fake_java_us": ("max", 2.5),
    "fake_create_us": ("max", 300.0),
    "threads_8_ratio": ("min", 0.8),
    "cds_archive_ratio": ("max", 0.45),
    "aot_archive_ratio": ("max", 0.3),
    "aot_job_ratio": ("max", 0.5),
    "cds_first_ratio": ("max", 1.05),
    "cds_rss_ratio": ("max", 1.1),
    "warm_ratio": ("max", 0.15),
}


# Where a cold start's time goes, as the child records it.
PHASES = [
    ("imports_s", "interpreter start + imports"),
    ("before_pyspark_s", "module work before PySpark"),
    ("jvm_launch_s", "JVM launch (spark-submit .. Py4J up)"),
    ("py_between_s", "Python side, gateway -> context"),
    ("context_init_s", "JVM SparkContext construction"),
    ("session_rest_s", "session wrap-up"),
    ("first_query_s", "first query SELECT 1"),
]


def verdict(name: str, value: float) -> str:
    kind, bound = TARGETS[name]
    ok = {"max": value <= bound, "min": value >= bound, "lt": value < bound}[kind]
    return "met" if ok else "MISSED"


def target_text(name: str, unit: str = "") -> str:
    kind, bound = TARGETS[name]
    sign = {"max": "<=", "min": ">=", "lt": "<"}[kind]
    return f"{sign} {bound:g}{unit}"


# ---------------------------------------------------------------------------
# Child: one cold start in a fresh process.
# ---------------------------------------------------------------------------

def child_cold(mode: str) -> None:
    t_start = time.perf_counter()
    marks = {}

    import pyspark.core.context as context_module
    import pyspark.java_gateway as java_gateway_module
    from pyspark.sql import SparkSession

    if mode == "strategy":
        import ruk.compute.strategies.local as local_module
    marks["imports"] = time.perf_counter()

    # Time the JVM launch and the JVM-side context construction separately.
    original_launch = context_module.launch_gateway

    def timed_launch(*args, **kwargs):
        marks["gateway_begin"] = time.perf_counter()
        gateway = original_launch(*args, **kwargs)
        marks["gateway_end"] = time.perf_counter()
        return gateway

    # PySpark's context calls its own import of it; the strategy, launching
    # the JVM itself, calls the module's.
    context_module.launch_gateway = java_gateway_module.launch_gateway = timed_launch
    original_init = context_module.SparkContext._initialize_context

    def timed_init(self, jconf):
        marks["context_begin"] = time.perf_counter()
        result = original_init(self, jconf)
        marks["context_end"] = time.perf_counter()
        return result

    context_module.SparkContext._initialize_context = timed_init

    if mode == "strategy":
        strategy = local_module.LocalStrategy({}, "bench")
        spark = strategy.get_spark_session()
    else:
        spark = SparkSession.builder.master("local[2]").getOrCreate()
    marks["session"] = time.perf_counter()
    # A start that claimed a spare JVM launched none: its launch took no time.
    marks.setdefault("gateway_begin", marks["context_begin"])
    marks.setdefault("gateway_end", marks["context_begin"])
    if os.environ.get("BENCH_FIRST_JOB") == "groupby":
        rows = spark.range(1_000_000).selectExpr("id % 10 AS k").groupBy("k").count().collect()
        assert sum(r[1] for r in rows) == 1_000_000
    else:
        rows = spark.sql("SELECT 1").collect()
        assert rows[0][0] == 1
    marks["query"] = time.perf_counter()
    first_result_at = time.monotonic()  # system-wide clock: the parent counts from the spawn

    result = {
        "first_result_at": first_result_at,
        "in_process_s": marks["query"] - t_start,
        "imports_s": marks["imports"] - t_start,
        "before_pyspark_s": marks["gateway_begin"] - marks["imports"],
        "jvm_launch_s": marks["gateway_end"] - marks["gateway_begin"],
        "py_between_s": marks["context_begin"] - marks["gateway_end"],
        "context_init_s": marks["context_end"] - marks["context_begin"],
        "session_rest_s": marks["session"] - marks["context_end"],
        "first_query_s": marks["query"] - marks["session"],
        "java_home": os.environ.get("JAVA_HOME", ""),
        "master": spark.sparkContext.master,
        "claimed": type(getattr(context_module.SparkContext._gateway, "proc", None)).__name__ == "ClaimedProcess",
    }

    # Let the JVM go (it exits when its stdin closes) and wait for it, so its
    # peak resident set shows in RUSAGE_CHILDREN.
    proc = getattr(context_module.SparkContext._gateway, "proc", None)
    if proc is not None:
        proc.stdin.close()
        try:
            proc.wait(timeout=180)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    result["self_maxrss_kb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    result["children_maxrss_kb"] = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    print("BENCH-RESULT " + json.dumps(result), flush=True)
    os._exit(0)  # the gateway is gone; skip PySpark's exit handlers


# ---------------------------------------------------------------------------
# Child: warm reuse on a real session.
# ---------------------------------------------------------------------------

def child_warm(calls: int) -> None:
    import ruk.compute.strategies.local as local_module

    strategy = local_module.LocalStrategy({}, "bench")
    spark = strategy.get_spark_session()
    spark.sql("SELECT 1").collect()
    context = spark.sparkContext
    for _ in range(30):  # warm both paths (Py4J connections, JIT on the JVM side)
        assert strategy.get_spark_session() is spark
        context.getConf()

    get = strategy.get_spark_session
    probe = context.getConf
    clock = time.perf_counter
    times_get, times_probe = [], []
    # One call of each per step, the order alternating, so load changes and
    # JVM garbage collections hit both sides alike.
    for i in range(calls):
        for which in ((0, 1) if i % 2 == 0 else (1, 0)):
            t0 = clock()
            if which == 0:
                get()
            else:
                probe()
            (times_get if which == 0 else times_probe).append(clock() - t0)
    print("BENCH-RESULT " + json.dumps({"get": times_get, "probe": times_probe}), flush=True)
    proc = getattr(type(context)._gateway, "proc", None)
    if proc is not None:
        proc.stdin.close()
        proc.wait(timeout=60)
    os._exit(0)


# ---------------------------------------------------------------------------
# Child: the import watch's cost per audit event.
# ---------------------------------------------------------------------------

AUDIT_STATES = ("no hook", "hook idle", "hook armed", "a Python hook instead")


def child_audit(state: str, calls: int) -> None:
    if state == "a Python hook instead":  # for comparison: the cheapest hook Python code can add
        sys.addaudithook(lambda event, args: None)
    elif state != "no hook":  # a start on a stand-in gateway adds the hook, armed: pyspark.ml is not imported
        import pyspark.core.context as context
        import ruk.compute.strategies.local as local_module

        fake = fake_spark()
        context.SparkContext._gateway = fake.FakeGateway()
        local_module.SparkSession = fake.FakeSparkSession.fresh()
        local_module._ensure_java_available = lambda: None
        local_module.LocalStrategy({}, "bench").get_spark_session()
        if state == "hook idle":
            import pyspark.ml  # noqa: F401  (registers: the watch goes off)
    path, audit = os.path.abspath(__file__), sys.audit
    events = {
        "sys.audit('open', ...)": lambda: audit("open", path, "r", 524288),
        "sys.audit('import', ...)": lambda: audit("import", "json", None, sys.path, sys.meta_path, sys.path_hooks),
        "open(file).close()": lambda: open(path, "rb").close(),
    }
    result = {name: per_call_stats(fn, calls, 7)[1] for name, fn in events.items()}
    print("BENCH-RESULT " + json.dumps(result), flush=True)


def bench_audit_hook(env: dict, cwd: str, runs: int) -> dict:
    """Best per-call µs of each event, median over `runs` fresh processes per state, states alternating."""
    per_state = {state: [] for state in AUDIT_STATES}
    for i in range(runs):
        for state in AUDIT_STATES[::1 if i % 2 == 0 else -1]:
            per_state[state].append(run_child(["--child", "audit", "--state", state, "--calls", "100000"],
                                              env, cwd, timeout=120))
    return {state: {name: statistics.median(r[name] for r in results) for name in results[0]
                    if name.endswith(")")} for state, results in per_state.items()}


# ---------------------------------------------------------------------------
# Parent: process-tree memory sampler and child runner.
# ---------------------------------------------------------------------------

def _process_table() -> dict:
    """pid -> (ppid, vsize, rss in pages) for every process."""
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                data = f.read()
        except OSError:
            continue
        fields = data[data.rindex(b")") + 2:].split()
        table[int(entry)] = (int(fields[1]), int(fields[20]), int(fields[21]))
    return table


def _tree_rss(root: int) -> int:
    """Resident bytes of `root` and its descendants. A child that shares its
    parent's address space (the JVM starts helpers with vfork-style
    posix_spawn; until the exec they show the JVM's own memory) has exactly
    the parent's vsize and rss and is not counted twice."""
    table = _process_table()
    children: dict = {}
    for pid, (ppid, _, _) in table.items():
        children.setdefault(ppid, []).append(pid)
    total, stack = 0, [root]
    while stack:
        pid = stack.pop()
        stack.extend(children.get(pid, ()))
        info = table.get(pid)
        if info is None:
            continue
        parent = table.get(info[0])
        if pid != root and parent is not None and parent[1:] == info[1:]:
            continue
        total += info[2] * PAGE_SIZE
    return total


def run_sampled(command: list, env: dict, cwd: str, timeout: float):
    """Runs `command` to its end while sampling its process tree's resident
    set: (stdout, stderr, return code, peak RSS in bytes, spawn time on the
    monotonic clock, wall seconds to exit)."""
    spawned = time.monotonic()
    t0 = time.perf_counter()
    proc = subprocess.Popen(command, env=env, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    peak = [0]
    done = threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], _tree_rss(proc.pid))
            done.wait(0.01)

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    try:
        out, err = proc.communicate(timeout=timeout)
    finally:
        done.set()
        sampler.join()
    return out, err, proc.returncode, peak[0], spawned, time.perf_counter() - t0


def run_child(args: list, env: dict, cwd: str, timeout: float) -> dict:
    """Runs one child; `wall_s` is spawn to exit, and for a cold start
    `first_result_s` is spawn to the first query's rows (the child then
    waits for its JVM to shut down, which `wall_s` includes)."""
    out, err, returncode, peak, spawned, wall = run_sampled(
        [sys.executable, os.path.abspath(__file__)] + args, env, cwd, timeout)
    for line in out.splitlines():
        if line.startswith("BENCH-RESULT "):
            result = json.loads(line[len("BENCH-RESULT "):])
            result["wall_s"] = wall
            if "first_result_at" in result:
                result["first_result_s"] = result.pop("first_result_at") - spawned
            result["tree_peak_rss_mb"] = peak / 2**20
            return result
    raise RuntimeError(f"child {args} failed (rc={returncode}):\n{err[-3000:]}")


def child_env(home: str, scratch: str, java_home: str) -> dict:
    env = dict(os.environ)
    for name in ("MUR_SPARK_KEEP_ALIVE", "PYSPARK_SUBMIT_ARGS", "_JAVA_OPTIONS",
                 "PYSPARK_GATEWAY_PORT", "PYSPARK_GATEWAY_SECRET", "SPARK_CONF_DIR"):
        env.pop(name, None)
    env["HOME"] = home
    env["JAVA_HOME"] = java_home
    env["PATH"] = os.path.join(java_home, "bin") + os.pathsep + env.get("PATH", "")
    env["TMPDIR"] = scratch
    env["MUR_SPARK_CDS"] = "0"  # groups 1 and 2 measure starts without an archive; group 6 adds it
    env["MUR_SPARK_SPARE"] = "0"  # nor spare driver JVMs, which group 7 measures
    return env


# ---------------------------------------------------------------------------
# Fake session for the module's own cost: the tests' one.
# ---------------------------------------------------------------------------

def fake_spark():
    """tests/fake_spark.py, imported on first use so that a cold-start child
    loads nothing of it."""
    tests = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests")
    if tests not in sys.path:
        sys.path.insert(0, tests)
    import fake_spark

    return fake_spark


def per_call_stats(fn, calls: int, rounds: int) -> tuple:
    """(median, best) over `rounds` batches of the per-call time of fn(), in µs.
    The best batch is the one least disturbed by other work on the machine."""
    samples = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        for _ in range(calls):
            fn()
        samples.append((time.perf_counter() - t0) / calls * 1e6)
    return statistics.median(samples), min(samples)


def per_call_us(fn, calls: int, rounds: int) -> float:
    return per_call_stats(fn, calls, rounds)[0]


def bench_fake(quick: bool) -> dict:
    import ruk.compute.java_compat as java_compat
    import ruk.compute.strategies.local as local_module

    rounds = 5 if quick else 11
    warm_calls = 20000 if quick else 50000
    create_calls = 200 if quick else 500

    saved = local_module.SparkSession
    os.environ.pop("MUR_SPARK_KEEP_ALIVE", None)
    local_module.SparkSession = Spark = fake_spark().FakeSparkSession.fresh()
    cache = local_module._SPARK_SESSION_CACHE
    try:
        cache.clear()
        strategy = local_module.LocalStrategy({}, "bench")
        session = strategy.get_spark_session()  # warms the Java discovery caches too
        assert strategy.get_spark_session() is session
        key = next(iter(cache))
        res = {}
        res["warm_us"], res["warm_best_us"] = per_call_stats(strategy.get_spark_session, warm_calls, rounds)
        res["java_us"], res["java_best_us"] = per_call_stats(local_module._ensure_java_available, warm_calls, rounds)

        get = strategy.get_spark_session
        clear = cache.clear

        def create():
            clear()
            get()
            del Spark.builders[:], Spark.created[:]  # the fake's records, kept small

        res["create_us"], res["create_best_us"] = per_call_stats(create, create_calls, rounds)

        # The create path rewrites the log4j2 file in the temporary directory
        # (temporary file + rename over the old one). On some file systems
        # that dominates; the same path with the temporary directory on
        # tmpfs shows the rest of the work.
        import tempfile as tempfile_module
        temp_dir = tempfile_module.gettempdir()
        content = b"#" * 700

        def replace_file():
            fd, path = tempfile_module.mkstemp(dir=temp_dir, prefix=".bench-replace.")
            os.write(fd, content)
            os.fchmod(fd, 0o644)
            os.close(fd)
            os.replace(path, os.path.join(temp_dir, "bench-replace-target"))

        try:
            res["replace_file_us"], res["replace_file_best_us"] = per_call_stats(replace_file, create_calls, rounds)
        finally:
            try:
                os.unlink(os.path.join(temp_dir, "bench-replace-target"))
            except OSError:
                pass
        res["temp_fs"] = _fs_type(temp_dir)
        if os.path.isdir("/dev/shm") and _fs_type("/dev/shm") == "tmpfs":
            shm_dir = tempfile_module.mkdtemp(dir="/dev/shm", prefix="ruk-bench-")
            saved_tempdir = tempfile_module.tempdir
            tempfile_module.tempdir = shm_dir
            try:
                res["create_tmpfs_us"], res["create_tmpfs_best_us"] = per_call_stats(create, create_calls, rounds)
            finally:
                tempfile_module.tempdir = saved_tempdir
                shutil.rmtree(shm_dir, ignore_errors=True)

        close = strategy.close

        def close_cached():
            cache[key] = session
            close(session)

        res["close_us"], res["close_best_us"] = per_call_stats(close_cached, warm_calls // 4, rounds)
        os.environ["MUR_SPARK_KEEP_ALIVE"] = "1"
        res["close_keep_alive_us"], res["close_keep_alive_best_us"] = per_call_stats(lambda: close(session), warm_calls // 4, rounds)
        del os.environ["MUR_SPARK_KEEP_ALIVE"]

        cleanup = local_module.cleanup_all_spark_sessions

        def cleanup_one():
            cache[key] = session
            cleanup()

        res["cleanup_us"], res["cleanup_best_us"] = per_call_stats(cleanup_one, warm_calls // 4, rounds)

        # What the warm path is made of: the Python-level calls it makes, timed alone.
        import hashlib
        cache[key] = session
        installs = java_compat.find_all_java_installations()
        supported = java_compat.get_pyspark_info().java_supported
        environ = os.environ
        config = strategy.config
        n = warm_calls // 2
        parts = {
            "_disable_multiprocessing_resource_tracker()":
                local_module._disable_multiprocessing_resource_tracker,
            "os.environ.get('_JAVA_OPTIONS', '')": lambda: environ.get("_JAVA_OPTIONS", ""),
            "java_compat.get_pyspark_info()": java_compat.get_pyspark_info,
            "java_compat.find_all_java_installations()": java_compat.find_all_java_installations,
            "java_compat.select_best_java(...)":
                lambda: java_compat.select_best_java(installs, supported),
            "os.environ['JAVA_HOME'] = home": lambda: environ.__setitem__("JAVA_HOME", environ["JAVA_HOME"]),
            "os.environ.get('PATH')": lambda: environ.get("PATH"),
            "str(sorted(config.items()))": lambda: str(sorted(config.items())),
            "hashlib.md5(text).hexdigest()": lambda: hashlib.md5(b"[]").hexdigest(),
            "import sys; import hashlib": _import_sys_hashlib,
            "with lock: probe (getConf)": lambda: _locked_probe(local_module, key),
        }
        res["parts_us"] = {name: per_call_us(fn, n, max(3, rounds // 2)) for name, fn in parts.items()}
        res["java_home"] = os.environ.get("JAVA_HOME")
        return res
    finally:
        cache.clear()
        local_module.SparkSession = saved


def _import_sys_hashlib():
    import sys
    import hashlib


def _fs_type(path: str) -> str:
    """File system type of the mount holding `path` (longest matching mount point)."""
    path = os.path.realpath(path)
    best, kind = "", "?"
    try:
        with open("/proc/mounts") as f:
            for line in f:
                fields = line.split()
                mount = fields[1]
                if (path == mount or path.startswith(mount.rstrip("/") + "/")) and len(mount) >= len(best):
                    best, kind = mount, fields[2]
    except OSError:
        pass
    return kind


def _locked_probe(local_module, key):
    with local_module._SPARK_SESSION_LOCK:
        if key in local_module._SPARK_SESSION_CACHE:
            local_module._SPARK_SESSION_CACHE[key].sparkContext.getConf()


def bench_threads(quick: bool) -> dict:
    import ruk.compute.strategies.local as local_module

    duration = 0.5 if quick else 1.0
    rounds = 3 if quick else 5
    saved = local_module.SparkSession
    local_module.SparkSession = fake_spark().FakeSparkSession.fresh()
    local_module._SPARK_SESSION_CACHE.clear()
    try:
        strategy = local_module.LocalStrategy({}, "bench")
        session = strategy.get_spark_session()

        def get_same_session():
            if strategy.get_spark_session() is not session:
                raise AssertionError("a different session came back")

        samples = {n: [] for n in (1, 2, 4, 8)}
        for _ in range(rounds):  # thread counts interleaved, so drift hits all alike
            for n_threads in samples:
                samples[n_threads].append(_throughput(get_same_session, n_threads, duration))
        return {n: statistics.median(v) for n, v in samples.items()}
    finally:
        local_module._SPARK_SESSION_CACHE.clear()
        local_module.SparkSession = saved


def _throughput(fn, n_threads: int, duration: float) -> float:
    counts = [0] * n_threads
    start = threading.Barrier(n_threads + 1)
    stop = threading.Event()

    def worker(i):
        local = 0
        start.wait()
        while not stop.is_set():
            for _ in range(100):
                fn()
            local += 100
        counts[i] = local

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(n_threads)]
    for t in threads:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    time.sleep(duration)
    stop.set()
    for t in threads:
        t.join()
    return sum(counts) / (time.perf_counter() - t0)


def bench_thread_references(quick: bool) -> dict:
    """Plain-Python references for the thread figures: some environment reads
    outside a threading.Lock, a Python-level call inside it, the lock taken
    (a) with `with`, as the module does, (b) by try-acquire, handing the GIL
    over while it is busy. Shows what the GIL and a blocking Lock do to each
    other, independent of the module."""
    import ruk.compute.java_compat as java_compat

    context = fake_spark().FakeSparkContext()
    lock = threading.Lock()
    environ = os.environ
    find = java_compat.find_all_java_installations

    def outside():
        environ.get("_JAVA_OPTIONS", "")
        find()
        environ.get("PATH")

    def with_lock():
        outside()
        with lock:
            context.getConf()

    def try_lock():
        outside()
        while not lock.acquire(False):
            time.sleep(0)  # releases the GIL so the holder can finish
        try:
            context.getConf()
        finally:
            lock.release()

    duration = 0.3 if quick else 0.5
    rounds = 3 if quick else 5
    res = {}
    for name, fn in (("with", with_lock), ("try", try_lock)):
        samples = {1: [], 8: []}
        for _ in range(rounds):
            for n in samples:
                samples[n].append(_throughput(fn, n, duration))
        res[name] = {n: statistics.median(v) for n, v in samples.items()}
    return res


def jvm_experiments(env: dict, project: str, scratch: str, quick: bool) -> None:
    """Cold starts of the strategy with extra JVM options, against the same
    start without them. Not part of the default run: the archive dump alone
    takes half a minute."""
    archive = os.path.join(scratch, "spark-driver.jsa")
    java = os.path.join(env["JAVA_HOME"], "bin", "java")
    clean_env = {k: v for k, v in env.items() if k != "_JAVA_OPTIONS"}
    version_lines = subprocess.run([java, "-version"], capture_output=True, text=True, env=clean_env).stderr
    version = next((line for line in version_lines.splitlines() if "version" in line), java)
    dump = dict(env, PYSPARK_SUBMIT_ARGS=f"--conf spark.driver.defaultJavaOptions=-XX:ArchiveClassesAtExit={archive} pyspark-shell")
    t0 = time.perf_counter()
    run_child(["--child", "strategy"], dump, project, timeout=600)
    print(f"\n5. JVM start-up options ({version}); class archive written in {time.perf_counter() - t0:.0f} s, "
          f"{os.path.getsize(archive) / 2**20:.0f} MB" if os.path.exists(archive) else "\n5. (no class archive written)")
    use_archive = f"--conf spark.driver.defaultJavaOptions=-XX:SharedArchiveFile={archive} pyspark-shell"
    variants = {
        "strategy as it is": {},
        "+ _JAVA_OPTIONS=-XX:TieredStopAtLevel=1": {"_JAVA_OPTIONS": "-XX:TieredStopAtLevel=1"},
        "+ driver class-data-sharing archive": {"PYSPARK_SUBMIT_ARGS": use_archive},
        "+ both": {"_JAVA_OPTIONS": "-XX:TieredStopAtLevel=1", "PYSPARK_SUBMIT_ARGS": use_archive},
    }
    if not os.path.exists(archive):
        del variants["+ driver class-data-sharing archive"], variants["+ both"]
    results = {k: [] for k in variants}
    for _ in range(2 if quick else 3):
        for name, extra in variants.items():
            results[name].append(run_child(["--child", "strategy"], dict(env, **extra), project, timeout=300))
    base = statistics.median(r["first_result_s"] for r in results["strategy as it is"])
    rows = []
    for name, rs in results.items():
        wall = statistics.median(r["first_result_s"] for r in rs)
        rows.append([name, f"{wall:.2f} s", f"{wall / base:.2f}x",
                     f"{statistics.median(r['jvm_launch_s'] for r in rs):.2f} s",
                     f"{statistics.median(r['context_init_s'] + r['session_rest_s'] for r in rs):.2f} s",
                     f"{statistics.median(r['first_query_s'] for r in rs):.2f} s",
                     f"{statistics.median(r['tree_peak_rss_mb'] for r in rs):.0f} MB"])
    print_table("   strategy cold start to first result (medians)",
                ["", "to result", "vs as it is", "JVM launch", "context+session", "first query", "peak RSS"], rows)


# ---------------------------------------------------------------------------
# 6. The driver's class-data-sharing archive.
# ---------------------------------------------------------------------------

def child_cold_cds() -> None:
    """A strategy cold start that writes the job file of the archive builder
    it starts (if any), which names the builder, to $BENCH_BUILDER_FILE."""
    from ruk.compute.archive import spawn as archive_builder

    spawn = archive_builder.spawn

    def recorded(*args, **kwargs):
        builder = spawn(*args, **kwargs)
        with open(os.environ["BENCH_BUILDER_FILE"], "w") as f:
            f.write(builder.args[-2])  # the job file's name
        return builder

    archive_builder.spawn = recorded
    child_cold("strategy")


def _stop_builder(builder_file: str) -> None:
    """Ends the builder a measured start left running: every process of the
    session it leads (its build and JVM lead a process group in it)."""
    try:
        with open(builder_file, "rb") as f:
            job = f.read()
        os.unlink(builder_file)
    except OSError:
        return
    processes = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmdline = f.read()
            with open(f"/proc/{entry}/stat") as f:
                session = int(f.read().rsplit(")", 1)[1].split()[3])
        except (OSError, ValueError, IndexError):
            continue
        processes[int(entry)] = (session, job in cmdline and b"build_main" in cmdline)
    leaders = {pid for pid, (session, named) in processes.items() if named and session == pid}
    for pid, (session, _) in processes.items():
        if session in leaders:
            try:
                os.kill(pid, 9)
            except OSError:
                pass
    _wait_for_builders()


def _wait_for_builders() -> None:
    """Blocks until no archive builder of this user runs (it holds the user's lock)."""
    import fcntl

    from ruk.compute.archive import spawn as archive_builder

    try:
        with open(os.path.join(archive_builder.lock_directory(), "builder.lock")) as f:
            fcntl.flock(f, fcntl.LOCK_EX)
    except OSError:
        pass


def installed_jdks() -> list:
    """One Java home per major version installed in /usr/lib/jvm."""
    from ruk.compute.java.homes import parse_java_major, release_version

    found = {}
    for java in sorted(glob.glob("/usr/lib/jvm/*/bin/java")):
        home = os.path.dirname(os.path.dirname(os.path.realpath(java)))
        major = parse_java_major(release_version(home) or "")
        if major is not None:
            found.setdefault(major, home)
    return [found[major] for major in sorted(found)]


def bench_class_data_sharing(env: dict, project: str, scratch: str, cold_runs: int) -> dict:
    """Fresh-process cold starts: with the archive against the plain builder,
    and the first start (no archive yet, so it starts a builder) against the
    start with the feature off, all alternating; plus the build itself."""
    from ruk.compute.archive import request as driver_archive

    base = dict(env)
    base.pop("MUR_SPARK_CDS", None)
    java_home = env["JAVA_HOME"]
    try:
        with open(os.path.join(java_home, "release")) as f:
            kind = driver_archive.cache_kind(f.read())
    except OSError:
        kind = "cds"
    scratch = tempfile.mkdtemp(prefix=f"{os.path.basename(java_home)}-", dir=scratch)
    builder_file = os.path.join(scratch, "builder.pid")
    built_dir = os.path.join(scratch, "cds-built")

    def with_archives(directory: str) -> dict:
        return dict(base, MUR_CDS_DIR=directory, BENCH_BUILDER_FILE=builder_file)

    t0 = time.perf_counter()
    run_child(["--child", "strategy-cds"], with_archives(built_dir), project, timeout=600)
    _wait_for_builders()
    build_wall = time.perf_counter() - t0
    metas = [n for n in os.listdir(built_dir) if n.endswith(".json")]
    if not metas:
        print(f"\n6. no archive was built; see {built_dir}/build.log:\n" + open(os.path.join(built_dir, "build.log")).read()[-3000:])
        return {}
    with open(os.path.join(built_dir, metas[0])) as f:
        meta = json.load(f)

    variants = {
        "plain": (["--child", "plain"], lambda i: base),
        "archive": (["--child", "strategy"], lambda i: with_archives(built_dir)),
        "off": (["--child", "strategy"], lambda i: dict(base, MUR_SPARK_CDS="0")),
        "first": (["--child", "strategy-cds"], lambda i: with_archives(os.path.join(scratch, f"cds-empty-{i}"))),
        "archive 1M": (["--child", "strategy"], lambda i: dict(with_archives(built_dir), BENCH_FIRST_JOB="groupby")),
        "plain 1M": (["--child", "plain"], lambda i: dict(base, BENCH_FIRST_JOB="groupby")),
    }
    names = list(variants)
    runs: dict = {name: [] for name in names}
    for i in range(cold_runs + 1):
        order = names[i % len(names):] + names[:i % len(names)]
        for name in order:
            args, make_env = variants[name]
            result = run_child(args, make_env(i), project, timeout=600)
            if name == "first":
                _stop_builder(builder_file)
            if i > 0:
                runs[name].append(result)
            print(f"  cold {name:10s} run {i}: {result['first_result_s']:.2f} s to the result, "
                  f"{result['wall_s']:.2f} s to exit"
                  f"{'  (warm-up, not counted)' if i == 0 else ''}", flush=True)
    med = {n: {k: statistics.median(r[k] for r in rs) for k in rs[0] if isinstance(rs[0][k], (int, float))}
           for n, rs in runs.items()}
    a, p, o, f = med["archive"], med["plain"], med["off"], med["first"]
    a1, p1 = med["archive 1M"], med["plain 1M"]
    archive_ratio = a["first_result_s"] / p["first_result_s"]
    job_ratio = a1["first_result_s"] / p1["first_result_s"]
    archive_target = "aot_archive_ratio" if kind == "aot" else "cds_archive_ratio"
    first_ratio = f["first_result_s"] / o["first_result_s"]
    rss_ratio = a["tree_peak_rss_mb"] / o["tree_peak_rss_mb"]
    rows = [
        ["with archive vs plain builder, spawn to result", f"{a['first_result_s']:.2f} s",
         f"{p['first_result_s']:.2f} s", f"{archive_ratio:.2f}x",
         target_text(archive_target, "x"), verdict(archive_target, archive_ratio)],
        ["  the same, spawn to exit (JVM shut down)", f"{a['wall_s']:.2f} s", f"{p['wall_s']:.2f} s",
         f"{a['wall_s'] / p['wall_s']:.2f}x", "", ""],
        ["first job of 1M rows (groupBy count), spawn to result", f"{a1['first_result_s']:.2f} s",
         f"{p1['first_result_s']:.2f} s", f"{job_ratio:.2f}x",
         target_text("aot_job_ratio", "x") if kind == "aot" else "",
         verdict("aot_job_ratio", job_ratio) if kind == "aot" else ""],
        ["with archive vs archive off", f"{a['first_result_s']:.2f} s", f"{o['first_result_s']:.2f} s",
         f"{a['first_result_s'] / o['first_result_s']:.2f}x", "", ""],
        ["first start (starts the builder) vs off", f"{f['first_result_s']:.2f} s", f"{o['first_result_s']:.2f} s",
         f"{first_ratio:.2f}x", target_text("cds_first_ratio", "x"), verdict("cds_first_ratio", first_ratio)],
        ["  first query SELECT 1: archive / off", f"{a['first_query_s']:.2f} s", f"{o['first_query_s']:.2f} s",
         f"{a['first_query_s'] / o['first_query_s']:.2f}x", "", ""],
        ["peak tree RSS: archive / off", f"{a['tree_peak_rss_mb']:.0f} MB", f"{o['tree_peak_rss_mb']:.0f} MB",
         f"{rss_ratio:.2f}x", target_text("cds_rss_ratio", "x"), verdict("cds_rss_ratio", rss_ratio)],
        ["peak tree RSS: first start (builder too) / off", f"{f['tree_peak_rss_mb']:.0f} MB",
         f"{o['tree_peak_rss_mb']:.0f} MB", f"{f['tree_peak_rss_mb'] / o['tree_peak_rss_mb']:.2f}x", "", ""],
    ]
    name = "ahead-of-time cache" if kind == "aot" else "class-data-sharing archive"
    print_table(f"6. Driver {name}, {java_home}, cold start to first result (median of {cold_runs} each)",
                ["", "value", "compared with", "ratio", "target", ""], rows)
    print_table("   where the time goes (medians)", ["phase", "archive", "off", "plain builder"],
                [[label, f"{a[k]:.3f} s", f"{o[k]:.3f} s", f"{p[k]:.3f} s"] for k, label in PHASES])
    print(f"   archive {meta['file']['size'] / 2**20:.0f} MB, built in {meta['build_seconds']:.0f} s by the niced builder "
          f"({build_wall:.0f} s from the triggering start to the archive in place)")
    return {"java_home": java_home, "kind": kind, "runs": runs, "archive_mb": meta["file"]["size"] / 2**20,
            "build_s": meta["build_seconds"], "build_wall_s": build_wall}


# ---------------------------------------------------------------------------
# 7. The warm start: a spare driver JVM claimed by the next start.
# ---------------------------------------------------------------------------

def _spare_folder(home: str):
    """The spare folder of the children's HOME."""
    from ruk.compute.host.home import SPARE_DIR_NAME

    return os.path.join(home, ".mur", SPARE_DIR_NAME)


def _ready_spare(home: str, limit: float = 900.0) -> dict:
    """The ready spare of the children's HOME (waits for it)."""
    from ruk.compute.spare import registry

    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        ready = [r for r in registry.live_records(_spare_folder(home)) if r.get("state") == "ready"]
        if ready:
            return ready[0]
        time.sleep(0.5)
    raise RuntimeError(f"no spare ready within {limit:.0f} s")


def _at_rest(pids: list, seconds: float) -> tuple:
    """Resident MB of `pids` at the end of `seconds`, and the share of a core they used meanwhile."""
    def cpu() -> float:
        total = 0
        for pid in pids:
            try:
                with open(f"/proc/{pid}/stat", "rb") as f:
                    fields = f.read().rsplit(b")", 1)[1].split()
                total += int(fields[11]) + int(fields[12])
            except (OSError, IndexError, ValueError):
                pass
        return total / os.sysconf("SC_CLK_TCK")

    before, started = cpu(), time.monotonic()
    time.sleep(seconds)
    used = (cpu() - before) / (time.monotonic() - started)
    from ruk.compute.spare import registry

    return sum(registry.memory_bytes(pid) for pid in pids) / 2**20, used


def bench_warm_start(env: dict, project: str, runs: int, gap: float) -> dict:
    """Rounds of plain builder then strategy, fresh processes, the strategy
    claiming the spare its previous start left."""
    env = dict(env)
    for name in ("MUR_SPARK_SPARE", "CI"):
        env.pop(name, None)
    from ruk.compute.spare import registry

    runs_of: dict = {"strategy": [], "plain": []}
    rest = []
    try:
        first = run_child(["--child", "strategy"], env, project, timeout=600)  # leaves the first spare
        print(f"  first start (cold, uncounted): {first['first_result_s']:.2f} s", flush=True)
        for i in range(runs):
            spare = _ready_spare(env["HOME"])
            rest.append(_at_rest([spare["pid"], spare["jvm_pid"]], gap))
            load = _loadavg()
            for mode in ("plain", "strategy"):
                result = run_child(["--child", mode], env, project, timeout=600)
                result["load"] = load
                runs_of[mode].append(result)
                print(f"  warm round {i + 1} {mode:8s}: {result['first_result_s']:.2f} s to the result"
                      f"{'' if mode == 'plain' or result['claimed'] else '  (no spare claimed)'}, load {load}",
                      flush=True)
    finally:
        registry.stop_all(_spare_folder(env["HOME"]))
    med = {m: {k: statistics.median(r[k] for r in rs) for k in rs[0] if isinstance(rs[0][k], (int, float))}
           for m, rs in runs_of.items()}
    s, p = med["strategy"], med["plain"]
    ratio = s["first_result_s"] / p["first_result_s"]
    claimed = sum(r["claimed"] for r in runs_of["strategy"])
    memory, cpu = statistics.median(r[0] for r in rest), statistics.median(r[1] for r in rest)
    print_table(f"7. Warm start to first result (median of {runs} rounds, {gap:.0f} s apart; "
                f"{claimed} of {runs} claimed a spare)",
                ["", "strategy", "plain builder", "ratio", "target", ""],
                [["wall time, spawn to first result", f"{s['first_result_s']:.2f} s", f"{p['first_result_s']:.2f} s",
                  f"{ratio:.2f}x", target_text("warm_ratio", "x"), verdict("warm_ratio", ratio)],
                 ["  spread of the runs (min - max)",
                  "%.1f - %.1f s" % (min(r["first_result_s"] for r in runs_of["strategy"]),
                                     max(r["first_result_s"] for r in runs_of["strategy"])),
                  "%.1f - %.1f s" % (min(r["first_result_s"] for r in runs_of["plain"]),
                                     max(r["first_result_s"] for r in runs_of["plain"])), "", "", ""],
                 ["in-process, interpreter start to result", f"{s['in_process_s']:.2f} s",
                  f"{p['in_process_s']:.2f} s", f"{s['in_process_s'] / p['in_process_s']:.2f}x", "", ""]])
    print_table("   where the time goes (medians)", ["phase", "strategy", "plain builder"],
                [[label, f"{s[k]:.3f} s", f"{p[k]:.3f} s"] for k, label in PHASES])
    print(f"   a ready spare at rest (the spare and its JVM, median of {runs} gaps): {memory:.0f} MB resident, "
          f"{cpu * 100:.2f} % of a core")
    return {"runs": runs_of, "rest": rest, "gap_s": gap}


def cds_java_homes(args) -> list:
    """Group 6's JDKs: those given with --java-home, else every one installed."""
    return args.java_home if args.java_homes_given else installed_jdks() or args.java_home


def main_one_group(args, number: int, name: str, run) -> int:
    """--cds-only, --warm-only: group `number` alone (`run(home, project,
    scratch)`), in the same scratch set-up as a full run."""
    print(f"local strategy benchmark, group {number} only: {os.cpu_count()} cores, Python {sys.version.split()[0]}, "
          f"load average {_loadavg()} at start")
    scratch = tempfile.mkdtemp(prefix="ruk-bench-")
    started = time.perf_counter()
    try:
        home, project = os.path.join(scratch, "home"), os.path.join(scratch, "project")
        os.makedirs(home)
        os.makedirs(project)
        import pyspark
        print(f"PySpark {pyspark.__version__}")
        raw = {"cores": os.cpu_count(), name: run(home, project, scratch)}
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"\ntotal {time.perf_counter() - started:.0f} s, load average {_loadavg()} at the end")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(raw, f, indent=1, default=str)
    return 0


# ---------------------------------------------------------------------------
# Report.
# ---------------------------------------------------------------------------

def _loadavg() -> str:
    try:
        return " ".join(f"{v:.2f}" for v in os.getloadavg())
    except OSError:
        return "?"


def row(cols, widths):
    return "  ".join(str(c).ljust(w) if i == 0 else str(c).rjust(w) for i, (c, w) in enumerate(zip(cols, widths)))


def print_table(title, header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    print(f"\n{title}")
    print(row(header, widths))
    print(row(["-" * w for w in widths], widths))
    for r in rows:
        print(row(r, widths))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions (about half the time)")
    parser.add_argument("--cold-runs", type=int, help="fresh processes per variant (default 5, quick 3)")
    parser.add_argument("--java-home", action="append",
                        help=f"JAVA_HOME for both cold-start variants (default {DEFAULT_JAVA_HOME}); "
                             "repeatable: group 6 runs once per JDK given (default: each one installed), "
                             "groups 1 and 2 use the first")
    parser.add_argument("--skip-jvm", action="store_true", help="only the fake-session figures (3 and 4)")
    parser.add_argument("--jvm-experiments", action="store_true",
                        help="also time strategy cold starts with JVM start-up options that are not "
                             "part of the launch settings (C1-only JIT, a class-data-sharing archive); "
                             "adds about 2-3 minutes")
    parser.add_argument("--cds", action="store_true",
                        help="also measure the driver's class-data-sharing archive (group 6): one build, "
                             "then starts with it, without it and with it off; adds about 5 minutes")
    parser.add_argument("--cds-only", action="store_true", help="only group 6")
    parser.add_argument("--warm", action="store_true",
                        help="also measure the warm start with a spare driver JVM (group 7), about 6 minutes")
    parser.add_argument("--warm-only", action="store_true", help="only group 7")
    parser.add_argument("--warm-gap", type=float, default=45.0, help="seconds between group 7's rounds (45)")
    parser.add_argument("--json", metavar="FILE", help="also write the raw figures to FILE")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--calls", type=int, default=100, help=argparse.SUPPRESS)
    parser.add_argument("--state", choices=AUDIT_STATES, help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.java_homes_given = bool(args.java_home)
    if not args.java_home:
        args.java_home = [os.environ.get("BENCH_JAVA_HOME", DEFAULT_JAVA_HOME)]

    if args.child in ("strategy", "plain"):
        child_cold(args.child)
        return 0
    if args.child == "warm":
        child_warm(args.calls)
        return 0
    if args.child == "audit":
        child_audit(args.state, args.calls)
        return 0
    if args.child == "strategy-cds":
        child_cold_cds()
        return 0
    runs = args.cold_runs or (3 if args.quick else 5)
    if args.cds_only:
        return main_one_group(args, 6, "cds", lambda home, project, scratch: [
            bench_class_data_sharing(child_env(home, scratch, java_home), project, scratch, runs)
            for java_home in cds_java_homes(args)])
    if args.warm_only:
        return main_one_group(args, 7, "warm_start", lambda home, project, scratch: bench_warm_start(
            child_env(home, scratch, args.java_home[0]), project, runs, args.warm_gap))

    cold_runs = args.cold_runs or (3 if args.quick else 5)
    json_path = os.path.abspath(args.json) if args.json else None
    started = time.perf_counter()
    print(f"local strategy benchmark: {os.cpu_count()} cores, Python {sys.version.split()[0]}, "
          f"{'quick' if args.quick else 'full'} run, load average {_loadavg()} at start")
    raw: dict = {"cores": os.cpu_count()}
    scratch = tempfile.mkdtemp(prefix="ruk-bench-")
    try:
        # The parent process itself must see no project JAR directory either.
        home, project = os.path.join(scratch, "home"), os.path.join(scratch, "project")
        os.makedirs(home)
        os.makedirs(project)
        os.environ["HOME"] = home
        os.environ["JAVA_HOME"] = args.java_home[0]
        os.environ.pop("MUR_SPARK_KEEP_ALIVE", None)
        os.environ["MUR_SPARK_CDS"] = "0"  # fake starts in this process start no archive builders
        os.chdir(project)
        if not args.skip_jvm:
            java_home = args.java_home[0]
            if not os.path.isfile(os.path.join(java_home, "bin", "java")):
                print(f"no java at {java_home}; pass --java-home", file=sys.stderr)
                return 2
            env = child_env(home, scratch, java_home)
            import pyspark
            print(f"PySpark {pyspark.__version__}, JAVA_HOME={java_home} for both cold-start variants")

            # 1. Cold start, interleaved so slow drift (page cache, CPU clock) hits both alike.
            runs = {"strategy": [], "plain": []}
            for i in range(cold_runs + 1):
                for mode in ("strategy", "plain") if i % 2 == 0 else ("plain", "strategy"):
                    result = run_child(["--child", mode], env, project, timeout=300)
                    if i > 0:  # the first pair only warms the page cache
                        runs[mode].append(result)
                    print(f"  cold {mode:8s} run {i}: {result['first_result_s']:.2f} s to the result, "
                          f"{result['wall_s']:.2f} s to exit"
                          f"{'  (warm-up, not counted)' if i == 0 else ''}", flush=True)
            raw["cold"] = runs
            med = {m: {k: statistics.median(r[k] for r in rs) for k in rs[0] if isinstance(rs[0][k], (int, float))}
                   for m, rs in runs.items()}
            s, p = med["strategy"], med["plain"]
            ratio = s["first_result_s"] / p["first_result_s"]
            spread = {m: (min(r["first_result_s"] for r in rs), max(r["first_result_s"] for r in rs))
                      for m, rs in runs.items()}
            rows = [
                ["wall time, spawn to first result", f"{s['first_result_s']:.2f} s", f"{p['first_result_s']:.2f} s",
                 f"{ratio:.2f}x", target_text("cold_ratio", "x"), verdict("cold_ratio", ratio)],
                ["  spread of the runs (min - max)", "%.1f - %.1f s" % spread["strategy"],
                 "%.1f - %.1f s" % spread["plain"], "", "", ""],
                ["wall time, spawn to exit (JVM shut down)", f"{s['wall_s']:.2f} s", f"{p['wall_s']:.2f} s",
                 f"{s['wall_s'] / p['wall_s']:.2f}x", "", ""],
                ["in-process, interpreter start to result", f"{s['in_process_s']:.2f} s", f"{p['in_process_s']:.2f} s",
                 f"{s['in_process_s'] / p['in_process_s']:.2f}x", "", ""],
                ["peak tree RSS (sampled /proc)", f"{s['tree_peak_rss_mb']:.0f} MB", f"{p['tree_peak_rss_mb']:.0f} MB",
                 f"{s['tree_peak_rss_mb'] / p['tree_peak_rss_mb']:.2f}x", "", ""],
                ["self + children ru_maxrss", f"{(s['self_maxrss_kb'] + s['children_maxrss_kb']) / 1024:.0f} MB",
                 f"{(p['self_maxrss_kb'] + p['children_maxrss_kb']) / 1024:.0f} MB",
                 f"{(s['self_maxrss_kb'] + s['children_maxrss_kb']) / (p['self_maxrss_kb'] + p['children_maxrss_kb']):.2f}x",
                 "", ""],
            ]
            print_table(f"1. Cold start to first result (median of {cold_runs} fresh processes each)",
                        ["", "strategy", "plain builder", "ratio", "target", ""], rows)
            phases = PHASES
            print_table("   where the time goes (medians)",
                        ["phase", "strategy", "plain builder", "difference"],
                        [[label, f"{s[k]:.3f} s", f"{p[k]:.3f} s", f"{s[k] - p[k]:+.3f} s"] for k, label in phases])
            print(f"   JVM: {runs['strategy'][0]['java_home']} (strategy), {runs['plain'][0]['java_home']} (plain)")

            # 2. Warm reuse on a real session.
            calls = 200 if args.quick else 500
            warm = run_child(["--child", "warm", "--calls", str(calls)], env, project, timeout=300)
            raw["warm"] = warm
            g = statistics.median(warm["get"]) * 1e6
            pr = statistics.median(warm["probe"]) * 1e6
            wr = g / pr
            rounds = calls
            print_table(f"2. Warm reuse on a real session (median of {rounds} calls each, alternating)",
                        ["", "per call", "target", ""],
                        [["get_spark_session() on a cached live session", f"{g:.0f} us", "", ""],
                         ["bare probe sparkContext.getConf()", f"{pr:.0f} us", "", ""],
                         ["ratio", f"{wr:.3f}x", target_text("warm_reuse_ratio", "x"), verdict("warm_reuse_ratio", wr)]])

        # 3. The module's own cost.
        fake = bench_fake(args.quick)
        raw["fake"] = fake

        def fake_row(label, key, target=None, digits=2):
            return [label, f"{fake[key + '_us']:.{digits}f} us", f"{fake[key + '_best_us']:.{digits}f} us",
                    target_text(target, " us") if target else "",
                    verdict(target, fake[key + "_us"]) if target else ""]

        rows = [
            fake_row("get_spark_session, warm (cached entry)", "warm", "fake_warm_us"),
            fake_row("_ensure_java_available", "java", "fake_java_us"),
            fake_row("get_spark_session, create (empty cache)", "create", "fake_create_us", 1),
            fake_row(f"  for comparison: one temp file + rename in the temp dir ({fake['temp_fs']})",
                     "replace_file", None, 1),
        ]
        if "create_tmpfs_us" in fake:
            rows.append(fake_row("  the create path with the temp dir on tmpfs", "create_tmpfs", None, 1))
        rows += [
            fake_row("close (keep-alive off, cached session)", "close"),
            fake_row("close (MUR_SPARK_KEEP_ALIVE=1)", "close_keep_alive"),
            fake_row("cleanup_all_spark_sessions (one session)", "cleanup"),
        ]
        print_table("3. The module's own cost, fake SparkSession, Java discovery cache warm (per call)",
                    ["", "median", "best batch", "target", ""], rows)
        print_table("   the Python-level calls of the warm path, each timed alone from Python",
                    ["call", "per call"], [[k, f"{v:.2f} us"] for k, v in fake["parts_us"].items()])

        # 4. Threads.
        thr = bench_threads(args.quick)
        raw["threads"] = thr
        refs = bench_thread_references(args.quick)
        raw["thread_references"] = refs
        base = thr[1]
        rows = []
        for n, v in thr.items():
            r = v / base
            rows.append([f"get_spark_session, {n} thread{'s' if n > 1 else ''}", f"{v:,.0f}", f"{r:.2f}x",
                         target_text("threads_8_ratio", "x") if n == 8 else "",
                         verdict("threads_8_ratio", r) if n == 8 else ""])
        for name, label in (("with", "`with Lock():`"), ("try", "try-acquire + GIL yield")):
            ref = refs[name]
            rows.append([f"reference, Python, {label}, 8 threads", f"{ref[8]:,.0f}",
                         f"{ref[8] / ref[1]:.2f}x", "", ""])
        print_table(f"4. Threads requesting the same cached fake session (median of {3 if args.quick else 5} runs)",
                    ["", "calls/s", "vs 1 thread", "target", ""], rows)

        # 5b. The import watch's audit hook.
        audit = bench_audit_hook(child_env(home, scratch, args.java_home[0]), project, 3 if args.quick else 5)
        raw["audit_hook"] = audit
        plain = audit["no hook"]
        print_table("5b. The import watch's audit hook, per event (best batch, median of fresh processes)",
                    ["", *plain], [[state, *(f"{audit[state][name]:.3f} us ({(audit[state][name] - plain[name]) * 1e3:+.0f} ns)"
                                             for name in plain)] for state in AUDIT_STATES])

        if args.jvm_experiments and not args.skip_jvm:
            jvm_experiments(env, project, scratch, args.quick)
        if args.warm and not args.skip_jvm:
            raw["warm_start"] = bench_warm_start(env, project, cold_runs, args.warm_gap)
        if args.cds and not args.skip_jvm:
            raw["cds"] = [bench_class_data_sharing(child_env(home, scratch, java_home), project, scratch, cold_runs)
                          for java_home in cds_java_homes(args)]
    finally:
        os.chdir("/")
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"\ntotal benchmark time {time.perf_counter() - started:.0f} s, load average {_loadavg()} at the end"
          " (figures from a busy machine are slower and noisier)")
    if json_path:
        with open(json_path, "w") as f:
            json.dump(raw, f, indent=1, default=str)
    return 0


if __name__ == "__main__":
    sys.exit(main())
