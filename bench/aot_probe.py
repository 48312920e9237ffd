#!/usr/bin/env python3
"""Probe of the JDK's ahead-of-time cache (Java 25) for the Spark driver JVM.

    python3 bench/aot_probe.py train CACHE [--java-home J] [--strategy] [--two-step]
    python3 bench/aot_probe.py compare SCRATCH_FILE --variant 'name=JAVA_HOME|plain|OPTIONS' ...
                                       [--runs 5] [--job select1|groupby]
    python3 bench/aot_probe.py child plain|strategy select1|groupby|train [EXTRA_JVM_OPTIONS]

`train` runs the training workload (a start, SELECT 1, a small aggregation and
a small join) in a fresh process whose driver JVM writes CACHE when it exits
(-XX:AOTCacheOutput; --two-step only records CACHE.aotconf with
AOTMode=record, for a separate AOTMode=create run). `compare` runs the named
variants in turn (A B C A B C ..., one uncounted round first) and prints
medians of spawn to the job's rows, spawn to exit, the process tree's CPU
time and peak RSS, and each variant's pair ratio against the first.

The extra options go to spark.driver.extraJavaOptions for the plain builder
and to spark.driver.defaultJavaOptions for the strategy (its own
extraJavaOptions stay). The child closes its JVM's stdin and waits for it to
exit, so a training run's cache is written. AOT_PROBE_REPORT=1 adds the
driver JVM's own report (arguments, java.vm.info, VM.info's CDS lines),
AOT_PROBE_THREADS=1 its threads' CPU time at the first result.
"""

from __future__ import annotations

import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import run_sampled  # noqa: E402  (the benchmark's sampled child run)

PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")
TEMURIN_25 = "/usr/lib/jvm/temurin-25-jdk-amd64"
# The driver JVM's own report of the cache, quiet on rejection: the JVM logs
# AOT and CDS trouble on standard output unless these tag sets are off.
SILENT = "-Xlog:aot=off -Xlog:cds=off -Xlog:aot+codecache=off"


# ---------------------------------------------------------------------------
# Child: one fresh process.
# ---------------------------------------------------------------------------

def run_job(spark, job: str) -> None:
    if job in ("select1", "train"):
        assert spark.sql("SELECT 1").collect()[0][0] == 1
    if job == "train":
        spark.range(1000).selectExpr("id % 7 AS k", "id AS v").groupBy("k").agg({"v": "sum"}).collect()
        left = spark.range(1000).selectExpr("id AS k", "id * 2 AS a")
        right = spark.range(500).selectExpr("id AS k", "id * 3 AS b")
        left.join(right, "k").groupBy().count().collect()
    if job == "groupby":
        rows = spark.range(1_000_000).selectExpr("id % 10 AS k").groupBy("k").count().collect()
        assert sum(r[1] for r in rows) == 1_000_000


def child(variant: str, job: str, extra: str) -> None:
    from pyspark.sql import SparkSession

    if variant == "plain":
        builder = SparkSession.builder.master("local[2]")
        if extra:
            builder = builder.config("spark.driver.extraJavaOptions", extra)
        spark = builder.getOrCreate()
    else:
        from ruk.compute.strategies.local import LocalStrategy

        # The strategy's own extraJavaOptions stay; ours go before them.
        config = {"spark.driver.defaultJavaOptions": extra} if extra else {}
        spark = LocalStrategy(config, "aot-probe").get_spark_session()
    run_job(spark, job)
    first_result_at = time.monotonic()
    result = {"first_result_at": first_result_at}
    if os.environ.get("AOT_PROBE_THREADS"):
        from pyspark import SparkContext as _context

        result["threads"] = thread_cpu(_context._gateway.proc.pid)
    if os.environ.get("AOT_PROBE_REPORT"):
        result["report"] = jvm_report(spark.sparkContext._gateway)
    from pyspark import SparkContext

    proc = SparkContext._gateway.proc
    proc.stdin.close()  # the driver JVM exits, which writes a training run's cache
    result["jvm_exit"] = proc.wait(timeout=600)
    result["jvm_exit_s"] = time.monotonic() - first_result_at
    print("PROBE-RESULT " + json.dumps(result), flush=True)
    os._exit(0)


def thread_cpu(pid: int) -> dict:
    """CPU seconds of the driver JVM's threads so far, by kind (the JIT
    compilers, the garbage collector, the rest)."""
    ticks = os.sysconf("SC_CLK_TCK")
    groups: dict = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/stat", "rb") as f:
                data = f.read()
        except OSError:
            continue
        name = data[data.index(b"(") + 1:data.rindex(b")")].decode()
        fields = data[data.rindex(b")") + 2:].split()
        cpu = (int(fields[11]) + int(fields[12])) / ticks
        kind = ("C2" if name.startswith("C2 ") else "C1" if name.startswith("C1 ")
                else "GC" if name.startswith(("GC ", "G1 ")) else "other")
        groups[kind] = round(groups.get(kind, 0) + cpu, 2)
    return groups


def jvm_report(gateway) -> dict:
    """What the driver JVM says about its cache: its arguments and VM.info's CDS/AOT lines."""
    from ruk.compute.archive.status import vm_info

    jvm = gateway.jvm
    lang = jvm.java.lang
    runtime = lang.management.ManagementFactory.getRuntimeMXBean()
    arguments = [str(a) for a in runtime.getInputArguments() if "AOT" in str(a) or "Shared" in str(a)]
    info = vm_info(gateway)
    # "sharing" leaves java.vm.info when the JVM rejects the cache: it then maps no archive at all.
    counters = {"java.vm.info": str(lang.System.getProperty("java.vm.info"))}
    lines = [line for line in info.splitlines()
             if any(word in line for word in ("CDS", "AOT", "sharing", "archive", "Narrow klass"))]
    hotspot = lang.management.ManagementFactory.getPlatformMXBean(
        lang.Class.forName("com.sun.management.HotSpotDiagnosticMXBean"))
    flags = {}
    for flag in ("AOTCache", "AOTMode", "UseSharedSpaces", "SharedArchiveFile", "AOTClassLinking"):
        try:
            option = hotspot.getVMOption(flag)
            flags[flag] = [str(option.getValue()), str(option.getOrigin())]
        except Exception as error:  # noqa: BLE001 - a flag this JDK lacks
            flags[flag] = repr(error)[:80]
    return {"arguments": arguments, "vm_info": lines[:20], "flags": flags, "counters": counters,
            "vm_version": str(lang.System.getProperty("java.vm.info"))}


# ---------------------------------------------------------------------------
# Parent: fresh processes, timed from their spawn.
# ---------------------------------------------------------------------------

def child_env(java_home: str, home: str) -> dict:
    env = dict(os.environ)
    for name in ("_JAVA_OPTIONS", "JDK_JAVA_OPTIONS", "PYSPARK_SUBMIT_ARGS", "SPARK_CONF_DIR",
                 "PYSPARK_GATEWAY_PORT", "PYSPARK_GATEWAY_SECRET", "MUR_SPARK_KEEP_ALIVE"):
        env.pop(name, None)
    env["JAVA_HOME"] = java_home
    env["PATH"] = os.path.join(java_home, "bin") + os.pathsep + env.get("PATH", "")
    env["HOME"] = home
    env["TMPDIR"] = home
    env["MUR_SPARK_CDS"] = env["MUR_SPARK_SPARE"] = "0"
    return env


def run(variant: str, job: str, extra: str, env: dict, timeout: float = 900) -> dict:
    import resource

    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    out, err, returncode, peak, spawned, wall = run_sampled(
        [sys.executable, os.path.abspath(__file__), "child", variant, job, extra], env, env["HOME"], timeout)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    for line in out.splitlines():
        if line.startswith("PROBE-RESULT "):
            result = json.loads(line[len("PROBE-RESULT "):])
            result["first_result_s"] = result.pop("first_result_at") - spawned
            result["wall_s"] = wall
            result["cpu_s"] = cpu  # the whole tree, to its exit: less sensitive to others' load
            result["peak_rss_mb"] = peak / 2**20
            result["stdout"] = [l for l in out.splitlines() if not l.startswith("PROBE-RESULT ")]
            result["stderr"] = err.splitlines()
            return result
    raise RuntimeError(f"child failed (rc={returncode}):\n{out[-3000:]}\n{err[-3000:]}")


def loadavg() -> str:
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def train(cache: str, java_home: str, two_step: bool, variant: str) -> None:
    home = tempfile.mkdtemp(prefix="aot-home-", dir=os.path.dirname(cache))
    try:
        env = child_env(java_home, home)
        started = time.monotonic()
        if two_step:
            config = cache + ".aotconf"
            result = run(variant, "train", f"-XX:AOTMode=record -XX:AOTConfiguration={config}", env)
            recorded = time.monotonic()
            print(f"record run: {recorded - started:.1f} s, config {os.path.getsize(config) / 2**20:.1f} MB")
            # The create step needs the same class path; the driver's is recorded in the config.
            print("create step: java <the driver's class path and module options> -XX:AOTMode=create "
                  f"-XX:AOTConfiguration={config} -XX:AOTCache={cache}")
        else:
            result = run(variant, "train", f"-XX:AOTCacheOutput={cache}", env)
        total = time.monotonic() - started
        print(f"load {loadavg()}; first result {result['first_result_s']:.1f} s, JVM exit after "
              f"{result['jvm_exit_s']:.1f} s (status {result['jvm_exit']}), whole run {total:.1f} s, "
              f"peak RSS {result['peak_rss_mb']:.0f} MB")
        if os.path.exists(cache):
            print(f"cache {cache}: {os.path.getsize(cache) / 2**20:.0f} MB")
        for stream in ("stdout", "stderr"):
            for line in result[stream][-15:]:
                print(f"  {stream}: {line[:300]}")
    finally:
        shutil.rmtree(home, ignore_errors=True)


def compare(variants: list, runs: int, job: str, scratch: str) -> None:
    """`variants`: "name=JAVA_HOME|plain-or-strategy|extra JVM options", run in
    turn (A B C A B C ...) after one uncounted round."""
    home = tempfile.mkdtemp(prefix="aot-home-", dir=scratch)
    parsed = []
    for text in variants:
        name, rest = text.split("=", 1)
        java_home, variant, extra = rest.split("|", 2)
        parsed.append((name, java_home, variant, extra))
    results: dict = {name: [] for name, *_ in parsed}
    try:
        print(f"{job}: load before {loadavg()}", flush=True)
        for i in range(runs + 1):
            for name, java_home, variant, extra in parsed:
                r = run(variant, job, extra, child_env(java_home, home))
                if i:
                    results[name].append(r)
                print(f"  {i} {name}: {r['first_result_s']:.2f} s, exit {r['wall_s']:.2f} s, cpu {r['cpu_s']:.1f} s, "
                      f"RSS {r['peak_rss_mb']:.0f} MB, load {loadavg()}", flush=True)
        base = parsed[0][0]
        for name, *_ in parsed:
            rs = results[name]
            ratios = [a["first_result_s"] / b["first_result_s"] for a, b in zip(rs, results[base])]
            print(f"{name:>14}: to result {statistics.median(r['first_result_s'] for r in rs):6.2f} s "
                  f"[{min(r['first_result_s'] for r in rs):.2f}-{max(r['first_result_s'] for r in rs):.2f}], "
                  f"to exit {statistics.median(r['wall_s'] for r in rs):6.2f} s, "
                  f"cpu {statistics.median(r['cpu_s'] for r in rs):5.1f} s, "
                  f"peak RSS {statistics.median(r['peak_rss_mb'] for r in rs):4.0f} MB, "
                  f"pair ratio vs {base} {statistics.median(ratios):.2f}")
        print(f"load after {loadavg()}")
    finally:
        shutil.rmtree(home, ignore_errors=True)


def main() -> int:
    args = sys.argv[1:]
    if args[0] == "child":
        child(args[1], args[2], args[3] if len(args) > 3 else "")
        return 0
    java_home = TEMURIN_25
    if "--java-home" in args:
        java_home = args[args.index("--java-home") + 1]
    variant = "strategy" if "--strategy" in args else "plain"
    if args[0] == "train":
        train(os.path.abspath(args[1]), java_home, "--two-step" in args, variant)
    elif args[0] == "compare":
        runs = int(args[args.index("--runs") + 1]) if "--runs" in args else 5
        job = args[args.index("--job") + 1] if "--job" in args else "select1"
        variants = [args[i + 1] for i, a in enumerate(args) if a == "--variant"]
        compare(variants, runs, job, os.path.dirname(os.path.abspath(args[1])))
    return 0


if __name__ == "__main__":
    sys.exit(main())
