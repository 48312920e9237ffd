"""Real local sessions: PySpark from PyPI and the machine's Java.

Session starts cost seconds, so the tests share one project and the sessions
it yields; the order of the tests below follows a session's life.
"""

import glob
import json
import os
import select
import shutil
import sqlite3
import subprocess
import sys
from pathlib import Path

import pytest

import ruk.compute.strategies.local as local
from ruk.compute.java_compat import probe_java_home
from jvm_reuse_probe import read_sqlite_table
from real_deps import missing_pyspark_and_java, require

pytestmark = pytest.mark.filterwarnings("ignore:JDBC JARs skipped:RuntimeWarning")

SQLITE_DRIVER = Path("/usr/share/java/sqlite-jdbc.jar")
# Debian's JDK has the JNI directory of Debian's SQLite driver on its library path.
DEBIAN_JDKS = sorted(glob.glob("/usr/lib/jvm/java-17-openjdk-*"))
ROWS = [(1, "one"), (2, "two"), (3, "three")]
_SCRIPT = Path(sys.executable).with_name("mur")
MUR = [str(_SCRIPT)] if _SCRIPT.exists() else [sys.executable, "-m", "ruk.cli"]


def require_real_spark():
    missing = missing_pyspark_and_java()
    if not SQLITE_DRIVER.exists():
        missing.append(f"the SQLite JDBC driver ({SQLITE_DRIVER})")
    require(missing)


def make_project(root: Path) -> Path:
    """A project folder with the SQLite driver added by `mur jdbc add PATH`, entries
    beside it that sessions must skip, and a database."""
    root.mkdir(parents=True, exist_ok=True)
    added = subprocess.run([*MUR, "jdbc", "add", str(SQLITE_DRIVER)], cwd=root, capture_output=True,
                           text=True, timeout=120)
    assert added.returncode == 0 and "Added sqlite-jdbc.jar (org.sqlite.JDBC)." in added.stdout, added
    jars = root / ".mur" / "jdbc_jars"
    os.mkfifo(jars / "pipe.jar")
    (jars / "dir.jar").mkdir()
    (jars / "gone.jar").symlink_to(root / "missing.jar")
    (jars / "a,b.jar").write_bytes(b"PK")
    with sqlite3.connect(root / "shop.db") as db:
        db.execute("CREATE TABLE t (id INTEGER, name TEXT)")
        db.executemany("INSERT INTO t VALUES (?, ?)", ROWS)
    return root


@pytest.fixture(scope="module")
def project(tmp_path_factory):
    require_real_spark()
    root = make_project(tmp_path_factory.mktemp("project"))
    patch = pytest.MonkeyPatch()
    patch.chdir(root)
    patch.setenv("HOME", str(tmp_path_factory.mktemp("home")))
    patch.delenv("MUR_SPARK_KEEP_ALIVE", raising=False)
    if DEBIAN_JDKS:
        patch.setenv("JAVA_HOME", DEBIAN_JDKS[0])
    yield root
    local.cleanup_all_spark_sessions()
    patch.undo()


@pytest.fixture(scope="module")
def strategy(project):
    return local.LocalStrategy({}, app_name="mur-it")


def test_empty_configuration_gives_a_fast_quiet_local_session(strategy, project):
    with pytest.warns(RuntimeWarning, match=r"a,b\.jar .*dir\.jar \(a directory\); gone\.jar .*pipe\.jar \(a FIFO\)"):
        spark = strategy.get_spark_session()
    assert spark.sql("SELECT 1 AS x").collect()[0].x == 1
    conf = spark.sparkContext.getConf()
    assert conf.get("spark.ui.enabled") == "false"
    assert spark.conf.get("spark.sql.shuffle.partitions") == "8"
    assert spark.sparkContext.master == "local[2]"
    assert spark.sparkContext.appName == "mur-it"
    jar = str(project / ".mur" / "jdbc_jars" / "sqlite-jdbc.jar")
    assert conf.get("spark.jars") == jar
    assert conf.get("spark.driver.extraClassPath") == jar
    assert conf.get("spark.executor.extraClassPath") == jar
    assert (Path(os.environ["HOME"]) / ".mur" / "jdbc_jars").is_dir()

    assert strategy.get_spark_session() is spark
    assert local.LocalStrategy({}, app_name="other").get_spark_session() is spark
    assert strategy.test_connectivity() == (True, "Local Spark session created and SQL test passed")
    assert list(local._SPARK_SESSION_CACHE.values()) == [spark]


def test_driver_added_with_mur_reads_a_sqlite_table_past_skipped_entries(strategy, project):
    rows = read_sqlite_table(strategy.get_spark_session(), str(project / "shop.db"))
    assert sorted(tuple(row) for row in rows) == ROWS


def test_close_stops_the_session_and_the_next_request_starts_a_new_one(strategy):
    spark = strategy.get_spark_session()
    strategy.close(spark)
    assert spark.sparkContext._jsc is None
    assert local._SPARK_SESSION_CACHE == {}

    fresh = strategy.get_spark_session()
    assert fresh is not spark
    assert fresh.sql("SELECT 2 AS x").collect()[0].x == 2


def test_session_stopped_behind_the_cache_is_never_handed_out(strategy):
    spark = strategy.get_spark_session()
    spark.stop()  # getConf() still answers now: the JVM keeps running
    spark.sparkContext.getConf()

    fresh = strategy.get_spark_session()
    assert fresh is not spark
    assert fresh.sql("SELECT 3 AS x").collect()[0].x == 3


def test_keep_alive_then_cleanup_stops_every_cached_session(strategy, monkeypatch):
    spark = strategy.get_spark_session()
    monkeypatch.setenv("MUR_SPARK_KEEP_ALIVE", "1")
    strategy.close(spark)
    assert strategy.get_spark_session() is spark

    local.cleanup_all_spark_sessions()
    assert local._SPARK_SESSION_CACHE == {}
    assert spark.sparkContext._jsc is None


def test_fresh_process_start_is_quiet_and_jvm_settings_stay_with_the_first_session(tmp_path, project):
    """A second configuration in the same process runs on the first one's JVM:
    its driver memory and its JDBC JARs do not reach the running JVM."""
    late_project = make_project(tmp_path / "late")
    elsewhere = tmp_path / "no-jars"
    elsewhere.mkdir()
    result = subprocess.run(
        [sys.executable, str(Path(__file__).with_name("jvm_reuse_probe.py")), str(late_project),
         str(late_project / "shop.db")],
        cwd=elsewhere, capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout.strip().splitlines()[-1])

    # Quiet from start to end: Spark's logging is off and the JVMs' start-up
    # notices on file descriptor 2 are filtered out.
    assert result.stderr == ""

    assert report["same_gateway"] is True
    assert report["second_conf_memory"] == "2g"
    assert report["second_max_memory"] == report["first_max_memory"]
    assert report["second_jars"].endswith("sqlite-jdbc.jar")
    assert report["late_jdbc"] == "ClassNotFoundException"

    # ... and the process is told so, once per difference; identical settings say nothing.
    assert report["identical_warnings"] == []
    memory, jars = report["second_warnings"]
    assert memory == ("spark.driver.memory: the running JVM was started with '1g', not '2g'; "
                      "a new process is needed for it to take effect.")
    assert jars.startswith("spark.jars, spark.driver.extraClassPath: the running JVM was started with other values")
    assert "(JARs it lacks: sqlite-jdbc.jar)" in jars and "new process" in jars
    assert report["repeat_warnings"] == []

    # A forked child's import of pyspark.ml left the parent's connection alone.
    assert report["fork_child_jvm_calls"] == []
    assert report["parent_after_fork"] == [11, 42, 5]

    # No start searched the class path for session extensions; Spark ML's
    # functions came with the first import of pyspark.ml.
    assert report["extension_search"] == "false"
    assert report["ml_before_import"] is False
    assert (report["ml_after_import"], report["ml_summary"], report["udf_partitions"]) == ([[1.0, 2.0], [3.0, 4.0]],
                                                                                          [2.0, 3.0], [0, 1])


# Run in a fresh process: the session start, then what the README's JDBC example does.
_FRESH_JDBC_READ = """
import json, os, sys, warnings
warnings.simplefilter("always")
from jvm_reuse_probe import read_sqlite_table
from ruk.compute.strategies.local import LocalStrategy
strategy = LocalStrategy({}, app_name="which-java")
spark = strategy.get_spark_session()
system = spark.sparkContext._jvm.java.lang.System
rows = read_sqlite_table(spark, sys.argv[1])
print(json.dumps({"exported": os.environ["JAVA_HOME"], "jvm_home": system.getProperty("java.home"),
                  "jvm_major": system.getProperty("java.specification.version"),
                  "rows": sorted(list(row) for row in rows)}))
strategy.close(spark)
"""


def test_without_java_home_the_java_on_path_runs_spark_and_the_readme_jdbc_read(tmp_path):
    """JAVA_HOME unset: the Java that `java` on PATH runs (Debian's 17 here,
    whose library path has the SQLite driver's native part) is the one used,
    and `mur java search` marks that same one."""
    require_real_spark()
    root = make_project(tmp_path / "project")
    env = dict(os.environ, HOME=str(tmp_path), PYTHONPATH=os.pathsep.join(
        [str(Path(__file__).parent)] + [p for p in [os.environ.get("PYTHONPATH")] if p]))
    env.pop("JAVA_HOME", None)
    env.pop("MUR_SPARK_KEEP_ALIVE", None)
    java = shutil.which("java", path=env["PATH"])
    if java is None:
        require(["Java on PATH"])
    on_path = os.path.dirname(os.path.dirname(os.path.realpath(java)))

    result = subprocess.run([sys.executable, "-c", _FRESH_JDBC_READ, str(root / "shop.db")],
                            cwd=root, env=env, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout.strip().splitlines()[-1])
    assert "Skipping" not in result.stderr  # nothing of the Java choice was skipped
    assert report["exported"] == on_path
    assert os.path.realpath(report["jvm_home"]) == os.path.realpath(on_path)
    assert report["jvm_major"] == str(probe_java_home(on_path, "PATH").major)
    assert [tuple(row) for row in report["rows"]] == ROWS

    search = subprocess.run(MUR + ["java", "search"],
                            env=env, capture_output=True, text=True, timeout=120)
    assert search.returncode == 0, search.stderr
    rows = [line.split() for line in search.stdout.splitlines() if on_path in line.split()]
    assert [row[0] for row in rows] == ["*"], search.stdout


LOG4J_PROBE = """
import json
from ruk.compute.strategies.local import LocalStrategy
strategy = LocalStrategy({}, "quoting-probe")
spark = strategy.get_spark_session()
jvm = spark.sparkContext._jvm
config = jvm.org.apache.logging.log4j.LogManager.getContext(False).getConfiguration()
print(json.dumps({
    "property": jvm.java.lang.System.getProperty("log4j2.configurationFile"),
    "read_from": config.getConfigurationSource().getLocation(),
}))
strategy.close(spark)
"""


def test_temp_dir_path_with_a_blank_and_a_quote_reaches_the_jvm_whole(tmp_path, project):
    """Spark splits the driver options at blanks and quotes: the logging option
    must still arrive as one argument, and log4j must read that file."""
    temp_dir = tmp_path / "temp dir's"
    temp_dir.mkdir()
    result = subprocess.run(
        [sys.executable, "-c", LOG4J_PROBE], cwd=tmp_path, env={**os.environ, "TMPDIR": str(temp_dir)},
        capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout.strip().splitlines()[-1])
    log4j_file = str(temp_dir / "mur_log4j2.properties")
    assert report == {"property": "file:" + log4j_file, "read_from": log4j_file}
    noise = [line for line in result.stderr.splitlines() if line.strip()]
    assert noise == []  # a quiet start


COLD_START_CONSOLE = r"""
import json, logging, os, sys
sys.path.insert(0, sys.argv[1])
from fake_spark import StderrPipe
from ruk.compute.strategies.local import LocalStrategy

# py4j's finalizer thread may send the delete of a dropped proxy after the JVM
# has gone, and logs that failure to the root logger: not console output of ours.
shown_logging = logging.StreamHandler()
shown_logging.addFilter(lambda record: "py4j" not in record.pathname)
logging.getLogger().addHandler(shown_logging)

with StderrPipe(timeout=300) as console:
    spark = LocalStrategy(json.loads(sys.argv[2]), app_name="mur-console").get_spark_session()
    os.write(2, b"--- started\n")
    jvm = spark.sparkContext._jvm
    foo = jvm.java.lang.System.getProperty("foo")
    java = jvm.java.lang.System.getProperty("java.specification.version")
    jvm.org.apache.logging.log4j.LogManager.getLogger("mur.check").error("log4j error after the start")
    jvm.java.lang.System.err.println("System.err after the start")
    gateway = spark.sparkContext._gateway
    spark.stop()
    gateway.proc.stdin.close()  # the JVM ends: its last output must still come through
    gateway.proc.wait()
    shown = console.text()
print(json.dumps({"shown": shown, "foo": foo, "java": java}))
"""


JDK_17, JDK_25 = DEBIAN_JDKS[0] if DEBIAN_JDKS else None, "/usr/lib/jvm/temurin-25-jdk-amd64"
# An interpreter with the lowest PySpark we accept (3.5) and this package, where
# a developer made one; CI does not install a second PySpark.
PYSPARK_35 = os.environ.get("MUR_TEST_PYSPARK35_PYTHON")
COLD_STARTS = {
    "defaults, Java 17": ({}, JDK_17, sys.executable),
    "user's extraJavaOptions, Java 17": ({"spark.driver.extraJavaOptions": "-Dfoo=bar"}, JDK_17, sys.executable),
    "defaults, Java 25": ({}, JDK_25, sys.executable),
    "defaults, PySpark 3.5, Java 17": ({}, JDK_17, PYSPARK_35),
}


@pytest.mark.parametrize("case", list(COLD_STARTS))
def test_cold_start_prints_nothing_and_later_jvm_output_reaches_stderr(tmp_path, project, case):
    """In a fresh process: the JVMs' start-up notices are dropped, and no
    warning of ours is shown, while Spark's log and the JVM's own stderr
    after the start reach stderr, not stdout. The user's own driver options
    reach the JVM without bringing the noise back."""
    config, java_home, python = COLD_STARTS[case]
    if java_home and not os.path.isdir(java_home):
        pytest.skip(f"no {java_home}")
    if python is None:
        pytest.skip("MUR_TEST_PYSPARK35_PYTHON names no interpreter with PySpark 3.5 and this package")
    env = {**os.environ, "TMPDIR": str(tmp_path)}  # its own logging file
    if java_home:
        env["JAVA_HOME"] = java_home
    result = subprocess.run(
        [python, "-W", "always::RuntimeWarning", "-c", COLD_START_CONSOLE, str(Path(__file__).parent),
         json.dumps(config)],
        cwd=tmp_path, capture_output=True, text=True, timeout=600, env=env,
    )
    assert result.returncode == 0, result.stderr
    *printed, report = result.stdout.strip().splitlines()
    report = json.loads(report)
    assert report["foo"] == ("bar" if config else None)
    assert java_home is None or report["java"] == ("25" if java_home == JDK_25 else "17")
    cold_start, after = report["shown"].split("--- started\n")
    assert cold_start == ""
    assert after.splitlines() == ["log4j error after the start", "System.err after the start"]
    assert not any("log4j error" in line for line in printed)  # Spark's log stays off stdout


# The child: a watcher thread notes every identity fd 2 has while the start
# runs; the start itself waits before setLogLevel (its JVM runs by then) for
# what the case does meanwhile. A start that fails is followed by a good one.
CONSOLE_DURING_A_START = r"""
import os, subprocess, sys, threading
from pyspark import SparkContext
from ruk.compute.strategies.local import LocalStrategy

case = sys.argv[1]
identities, started = set(), threading.Event()

def watch_fd_2():
    while not started.is_set():
        stat = os.fstat(2)
        identities.add((stat.st_dev, stat.st_ino))

real_set_log_level = SparkContext.setLogLevel

def in_the_start(self, level):
    if case == "a sibling's line":
        subprocess.run([sys.executable, "-c", "import os; os.write(2, b'sibling line\\n')"], check=True)
        print("sibling ended", flush=True)
        os.read(0, 1)  # until the parent has seen its line
    return real_set_log_level(self, level)

SparkContext.setLogLevel = in_the_start
watcher = threading.Thread(target=watch_fd_2)
watcher.start()
config = {"spark.driver.memory": "1q"} if case == "a JVM that cannot start" else {}
try:
    spark = LocalStrategy(config, app_name="console").get_spark_session()
except Exception as error:
    print("failed", type(error).__name__, flush=True)
    spark = LocalStrategy({}, app_name="console").get_spark_session()
started.set()
watcher.join()
print("fd 2 identities", len(identities), flush=True)
print("answer", spark.sql("SELECT 1 AS one").collect()[0].one, flush=True)
"""
CONSOLE_CASES = ["fd 2 untouched", "a sibling's line", "a JVM that cannot start"]


@pytest.mark.parametrize("case", CONSOLE_CASES)
def test_console_during_a_real_start(tmp_path, project, case):
    """fd 2 keeps its identity through a start; another process's line reaches
    stderr while the start still runs; a JVM that cannot start shows its own
    error, and the next start works."""
    child = subprocess.Popen([sys.executable, "-c", CONSOLE_DURING_A_START, case], cwd=tmp_path,
                             env={**os.environ, "TMPDIR": str(tmp_path), "PYTHONPATH": str(Path(__file__).parent)},
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    stdout, stderr = b"", b""
    try:
        if case == "a sibling's line":
            assert child.stdout.readline() == b"sibling ended\n"
            while b"sibling line\n" not in stderr:  # fails on the timeout if the line is held
                ready, _, _ = select.select([child.stderr], [], [], 120)
                assert ready, f"the sibling's line did not come during the start: {stderr!r}"
                stderr += os.read(child.stderr.fileno(), 65536)
            child.stdin.write(b"\n")
            child.stdin.flush()
        out, err = child.communicate(timeout=600)
        stdout, stderr = stdout + out, stderr + err
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, stderr
    lines = stdout.decode().splitlines()
    assert lines[-2:] == ["fd 2 identities 1", "answer 1"], stdout
    shown = stderr.decode()
    if case == "a JVM that cannot start":
        assert lines[0] == "failed PySparkRuntimeError"
        assert "Invalid maximum heap size: -Xmx1q" in shown and "Picked up" not in shown, shown
    else:
        assert shown == ("sibling line\n" if case == "a sibling's line" else ""), shown
