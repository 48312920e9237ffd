"""Real starts that end early: Ctrl-C at three points of a cold start, each in
a fresh process, must leave no JVM behind and no noise on stderr, and the
process must start a session normally afterwards."""

import glob
import os
import select
import signal
import subprocess
import sys
import tempfile
import time
import uuid
from pathlib import Path

import pytest

from real_deps import missing_pyspark_and_java, require

DEBIAN_JDKS = sorted(glob.glob("/usr/lib/jvm/java-17-openjdk-*"))
DEADLINE = 120

# The child: one interrupted start, its traceback on stderr, then a normal
# start of another configuration. Each start's configuration carries a marker
# that reaches the command line of every process of its launch.
_CHILD = """
import os, sys, traceback
from ruk.compute.strategies.local import LocalStrategy

first, second = os.environ.pop("RUK_TEST_MARKERS").split()
point = sys.argv[1]
if point == "before setLogLevel":
    from pyspark import SparkContext
    real_set_log_level = SparkContext.setLogLevel

    def announced(self, level):
        print("at setLogLevel", flush=True)
        os.read(0, 1)  # until the signal comes
        return real_set_log_level(self, level)

    SparkContext.setLogLevel = announced
print("starting", flush=True)
try:
    LocalStrategy({"spark.test.marker": first}, app_name="interrupted").get_spark_session()
    print("not interrupted", flush=True)
except KeyboardInterrupt:
    traceback.print_exc()
print("interrupted", flush=True)
os.read(0, 1)  # the parent has looked for leftovers
if point == "before setLogLevel":
    SparkContext.setLogLevel = real_set_log_level
spark = LocalStrategy({"spark.test.marker": second}, app_name="after").get_spark_session()
print("answer", spark.sql("SELECT 1 AS one").collect()[0].one, flush=True)
"""


def _processes_with(marker):
    """Running processes whose command line holds the marker."""
    found = []
    for entry in os.scandir("/proc"):
        if not entry.name.isdigit():
            continue
        try:
            with open(f"/proc/{entry.name}/cmdline", "rb") as f:
                command = f.read()
            with open(f"/proc/{entry.name}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if marker.encode() in command and state not in "ZX":
            found.append((int(entry.name), command.split(b"\0")[0].decode(errors="replace")))
    return found


def _poll(check, what):
    deadline = time.monotonic() + DEADLINE
    while time.monotonic() < deadline:
        result = check()
        if result:
            return result
        time.sleep(0.005)
    pytest.fail(f"no {what} within {DEADLINE} s")


def _read_line(child, expected):
    ready, _, _ = select.select([child.stdout], [], [], DEADLINE)
    assert ready, f"the child never printed {expected!r}"
    line = child.stdout.readline()
    assert line == expected + "\n", line
    return line


def _launched_java(marker):
    return [pid for pid, program in _processes_with(marker) if os.path.basename(program) == "java"]


def _connection_file(tmp):
    # PySpark's launch waits for the JVM to write its port to tmp*/tmp*. The
    # JVM writes a connection*.info file beside it first and then renames it:
    # seen before the rename, the signal would race the JVM's own write.
    return [p for p in glob.glob(os.path.join(tmp, "tmp*", "tmp*")) if os.path.isfile(p)]


POINTS = {
    "a JVM of the launch runs": lambda child, marker, tmp: _poll(lambda: _launched_java(marker), "JVM"),
    "the connection file appears": lambda child, marker, tmp: _poll(lambda: _connection_file(tmp),
                                                                    "connection file"),
    "before setLogLevel": lambda child, marker, tmp: _read_line(child, "at setLogLevel"),
}


@pytest.mark.parametrize("point", list(POINTS))
def test_ctrl_c_during_a_cold_start_leaves_nothing_running(point):
    require(missing_pyspark_and_java())
    first, second = f"ruk-{uuid.uuid4()}", f"ruk-{uuid.uuid4()}"
    with tempfile.TemporaryDirectory() as root:
        home, tmp = os.path.join(root, "home"), os.path.join(root, "tmp")
        os.mkdir(home)
        os.mkdir(tmp)
        env = {**os.environ, "HOME": home, "TMPDIR": tmp, "PYTHONPATH": str(Path(__file__).parent),
               "RUK_TEST_MARKERS": f"{first} {second}"}  # not on its own command line
        env.pop("MUR_SPARK_KEEP_ALIVE", None)
        if DEBIAN_JDKS:
            env["JAVA_HOME"] = DEBIAN_JDKS[0]
        child = subprocess.Popen([sys.executable, "-c", _CHILD, point], cwd=root, env=env,
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            _read_line(child, "starting")
            POINTS[point](child, first, tmp)
            child.send_signal(signal.SIGINT)
            _read_line(child, "interrupted")
            assert _processes_with(first) == []
            child.stdin.write("\n")
            child.stdin.flush()
            _read_line(child, "answer 1")
            child.stdin.close()
            assert child.wait(DEADLINE) == 0
            stderr = child.stderr.read()
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
            for stream in (child.stdout, child.stderr):
                stream.close()
        # Once the process has ended, its second JVM follows (its stdin closes).
        _poll(lambda: _processes_with(second) == [], "end of the second JVM")
        # Spark's own temporary directories went with the JVMs (shutdown hooks ran).
        assert os.listdir(tmp) == ["mur_log4j2.properties"]
    lines = stderr.splitlines()
    assert lines[0] == "Traceback (most recent call last):" and lines[-1] == "KeyboardInterrupt", stderr
    assert all(line.startswith("  ") for line in lines[1:-1]), stderr
