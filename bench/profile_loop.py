#!/usr/bin/env python3
"""A tight loop over one entry point of the local strategy, for a profiler.

    python3 bench/profile_loop.py warm 200000
    valgrind --tool=callgrind python3 bench/profile_loop.py warm 20000
    perf record -g python3 bench/profile_loop.py create 5000

Modes: warm (get_spark_session on a cached entry), create (cache cleared
before each call), java (_ensure_java_available), close. A fake SparkSession
is bound in the module, so no JVM starts. HOME and the working directory are
a scratch directory.

For callgrind, run the interpreter binary itself (not a pyenv shim) and take
the difference between two runs with different counts to drop the start-up
cost (imports, first Java discovery).
"""

import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench  # noqa: E402  (the fake session)


def main() -> int:
    mode = sys.argv[1] if len(sys.argv) > 1 else "warm"
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
    scratch = tempfile.mkdtemp(prefix="ruk-profile-")
    os.makedirs(os.path.join(scratch, "home"))
    os.makedirs(os.path.join(scratch, "project"))
    os.environ["HOME"] = os.path.join(scratch, "home")
    os.environ.setdefault("JAVA_HOME", bench.DEFAULT_JAVA_HOME)
    os.environ.pop("MUR_SPARK_KEEP_ALIVE", None)
    os.chdir(os.path.join(scratch, "project"))

    import ruk.compute.strategies.local as local_module

    local_module.SparkSession = bench.fake_spark().FakeSparkSession.fresh()
    strategy = local_module.LocalStrategy({}, "profile")
    session = strategy.get_spark_session()
    try:
        return run(mode, count, local_module, strategy, session)
    finally:
        os.chdir("/")
        shutil.rmtree(scratch, ignore_errors=True)


def run(mode, count, local_module, strategy, session) -> int:
    cache = local_module._SPARK_SESSION_CACHE
    key = next(iter(cache))
    get = strategy.get_spark_session
    t0 = time.perf_counter()
    if mode == "warm":
        for _ in range(count):
            get()
    elif mode == "create":
        for _ in range(count):
            cache.clear()
            get()
    elif mode == "java":
        check = local_module._ensure_java_available
        for _ in range(count):
            check()
    elif mode == "close":
        close = strategy.close
        for _ in range(count):
            cache[key] = session
            close(session)
    else:
        print(f"unknown mode {mode!r}", file=sys.stderr)
        return 2
    print(f"{mode}: {(time.perf_counter() - t0) / count * 1e6:.2f} us per call")
    return 0


if __name__ == "__main__":
    sys.exit(main())
