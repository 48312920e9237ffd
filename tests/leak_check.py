#!/usr/bin/env python3
"""Reference-leak and memory-growth check of the local strategy extension.

Calls every entry point of `ruk.compute.strategies.local` in loops, on its
success and error paths, and checks that neither the interpreter's reference
total nor its memory grows with the number of calls. It needs a debug CPython
(one with `sys.gettotalrefcount`, e.g. Debian's `python3.11-dbg`) and the
extension built for that interpreter; `scripts/check_leaks.sh` builds it and
runs this script. No JVM is started: PySpark's `SparkSession`, the Java
discovery module and `pyspark.sql` are replaced by the tests' stand-ins
(`fake_spark.py`, beside this script). The cases are in the
`leak_cases_*.py` modules beside it, by the part of the extension they
call; the harness that runs and measures them is `leak_harness.py`.

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
import importlib
import os
import shutil
import sys
import sysconfig
import tempfile
import types
from typing import List

from fake_spark import jar_dir
# The cases register themselves when imported, and run in this order.
import leak_cases_java  # noqa: F401
import leak_cases_sessions  # noqa: F401
import leak_cases_services  # noqa: F401
from leak_cases_frame import failing_import_cases
from leak_harness import (
    CASES, H, JAVA, JAVA_COMPAT_NAME, MODULE_NAME, Case, Sink, Spark, fresh_cache, heap_measured, judge, report,
    reset, run_rounds, self_test_cases, settle,
)


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
    os.environ["MUR_SPARK_CDS"] = os.environ["MUR_SPARK_SPARE"] = "0"  # no archive builders nor spares
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
    if not heap_measured():
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
        ok = not errors and flagged == expected and heap_measured()
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
