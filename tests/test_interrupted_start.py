"""Real starts that end early: Ctrl-C at four points of a cold start, each in
a fresh process, must leave no JVM behind, no noise on stderr and no other
process's line lost, and the process must start a session normally afterwards."""

import glob
import os
import re
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

CHAINED = ("", "Traceback (most recent call last):",
           "During handling of the above exception, another exception occurred:")
DEBIAN_JDKS = sorted(glob.glob("/usr/lib/jvm/java-17-openjdk-*"))
DEADLINE = 120

# The child: one interrupted start, its traceback on stderr, then a normal
# start of another configuration. Each start's configuration carries a marker
# that reaches the command line of every process of its launch. Another
# process writes a line to stderr as the start begins.
_CHILD = """
import os, subprocess, sys, threading, traceback
from ruk.compute.strategies.local import LocalStrategy

first, second = os.environ.pop("RUK_TEST_MARKERS").split()
point = sys.argv[1]
if point in ("before setLogLevel", "inside a JVM call"):
    from pyspark import SparkContext
    real_set_log_level = SparkContext.setLogLevel

    def announced(self, level):
        print("at setLogLevel", flush=True)
        if point == "inside a JVM call":  # blocks in the JVM until the parent holds the FIFO
            self._jvm.java.io.FileInputStream(os.path.abspath("jvm-call")).read()
        os.read(0, 1)  # until the signal comes
        return real_set_log_level(self, level)

    SparkContext.setLogLevel = announced
sibling = "import os; os.write(2, b'sibling line\\\\n'); open('sibling-done', 'w').close()"
threading.Thread(target=subprocess.run, args=([sys.executable, "-c", sibling],)).start()
print("starting", flush=True)
try:
    LocalStrategy({"spark.test.marker": first}, app_name="interrupted").get_spark_session()
    print("not interrupted", flush=True)
except KeyboardInterrupt:
    traceback.print_exc()
print("interrupted", flush=True)
os.read(0, 1)  # the parent has looked for leftovers
if point in ("before setLogLevel", "inside a JVM call"):
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


def _fifo_opened_by_the_jvm(root):
    """Open for writing once the JVM has the FIFO open: the child then waits
    inside a py4j call. Kept open until the child ends."""
    def attempt():
        try:
            return os.open(os.path.join(root, "jvm-call"), os.O_WRONLY | os.O_NONBLOCK)
        except OSError:
            return None

    return _poll(attempt, "JVM call")


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
    "inside a JVM call": lambda child, marker, tmp: (_read_line(child, "at setLogLevel")
                                                     and _fifo_opened_by_the_jvm(os.path.dirname(tmp))),
}


@pytest.mark.parametrize("point", list(POINTS))
def test_ctrl_c_during_a_cold_start_leaves_nothing_running(point):
    require(missing_pyspark_and_java())
    first, second = f"ruk-{uuid.uuid4()}", f"ruk-{uuid.uuid4()}"
    with tempfile.TemporaryDirectory() as root:
        home, tmp = os.path.join(root, "home"), os.path.join(root, "tmp")
        os.mkdir(home)
        os.mkdir(tmp)
        os.mkfifo(os.path.join(root, "jvm-call"))
        env = {**os.environ, "HOME": home, "TMPDIR": tmp, "PYTHONPATH": str(Path(__file__).parent),
               "RUK_TEST_MARKERS": f"{first} {second}"}  # not on its own command line
        env.pop("MUR_SPARK_KEEP_ALIVE", None)
        if DEBIAN_JDKS:
            env["JAVA_HOME"] = DEBIAN_JDKS[0]
        child = subprocess.Popen([sys.executable, "-c", _CHILD, point], cwd=root, env=env,
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        reached = None
        try:
            _read_line(child, "starting")
            reached = POINTS[point](child, first, tmp)
            _poll(lambda: os.path.exists(os.path.join(root, "sibling-done")), "sibling's end")
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
            if isinstance(reached, int):  # the FIFO the JVM reads
                os.close(reached)
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
    assert lines.count("sibling line") == 1, stderr
    lines.remove("sibling line")
    assert lines[0] == "Traceback (most recent call last):" and lines[-1] == "KeyboardInterrupt", stderr
    # Once the context runs, PySpark's own Ctrl-C handler asks the JVM to
    # cancel its jobs: its failure is chained to the KeyboardInterrupt.
    assert all(line.startswith("  ") or line in CHAINED or re.fullmatch(r"[\w.]+: .*", line)
               for line in lines[1:-1]), stderr
