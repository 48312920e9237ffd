"""The strategy against a real Spark standalone cluster.

A master and one worker run on 127.0.0.1, started from the installed PySpark
distribution (`pyspark/bin/spark-class`); the strategy's configuration names the
master as "spark://127.0.0.1:PORT". PySpark runs one JVM per process and other
tests of the session may already have started a local one, so the client side
runs in a fresh interpreter.
"""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import time
from pathlib import Path
from types import SimpleNamespace

import pytest

import ruk
from real_deps import require

JAVA_17 = Path("/usr/lib/jvm/java-17-openjdk-amd64")
APP_NAME = "ruk-cluster-check"
CLUSTER_START_TIMEOUT = 60.0  # master up and worker registered
CLIENT_TIMEOUT = 120.0  # session start, queries, release
STOP_TIMEOUT = 20.0  # per daemon, after SIGTERM

# Runs in a fresh interpreter: starts a session on the cluster, runs work that
# the worker's executor has to do, releases the session, prints one JSON line.
CLIENT = textwrap.dedent(
    """
    import json, os, sys
    import ruk.compute.strategies.local as local

    strategy = local.LocalStrategy({"master": sys.argv[1]}, app_name=sys.argv[2])
    strategy.validate_config()
    spark = strategy.get_spark_session()
    context = spark.sparkContext
    report = {"master": context.master, "client_pid": os.getpid()}
    # Python workers report where they run: an executor's working directory
    # is <worker work dir>/<application id>/<executor id>.
    report["tasks"] = (
        context.parallelize(range(4), 2).map(lambda x: (x, os.getpid(), os.getcwd())).collect()
    )
    report["total"] = spark.range(100).selectExpr("sum(id) AS total").collect()[0]["total"]
    report["connectivity"] = list(strategy.test_connectivity())
    report["same_session"] = strategy.get_spark_session() is spark
    strategy.close(spark)
    report["cached_after_close"] = len(local._SPARK_SESSION_CACHE)
    report["stopped_after_close"] = context._jsc is None
    local.cleanup_all_spark_sessions()
    print(json.dumps(report))
    """
)


def java_home():
    if JAVA_17.is_dir():
        return str(JAVA_17)
    return os.environ.get("JAVA_HOME")


def require_cluster_tools():
    """The PySpark distribution (with bin/spark-class) and a Java."""
    missing = []
    try:
        import pyspark
    except ImportError:
        pyspark = None
        missing.append("PySpark")
    if pyspark is not None and not (Path(pyspark.__file__).parent / "bin" / "spark-class").exists():
        missing.append("pyspark/bin/spark-class")
    home = java_home()
    if not ((home and Path(home, "bin", "java").exists()) or shutil.which("java")):
        missing.append("Java")
    require(missing)
    return Path(pyspark.__file__).parent


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tail(path, lines=40):
    try:
        return "\n".join(Path(path).read_text(errors="replace").splitlines()[-lines:])
    except OSError:
        return "<no log>"


def wait_for_log(path, pattern, process, timeout, what):
    """Poll a daemon's log until `pattern` matches; fail if the daemon exits
    or the deadline passes."""
    deadline = time.monotonic() + timeout
    regex = re.compile(pattern)
    while True:
        match = regex.search(Path(path).read_text(errors="replace")) if Path(path).exists() else None
        if match:
            return match
        if process is not None and process.poll() is not None:
            pytest.fail(f"{what}: the process exited with {process.returncode}\n{tail(path)}")
        if time.monotonic() > deadline:
            pytest.fail(f"{what}: not seen within {timeout:.0f} s\n{tail(path)}")
        time.sleep(0.2)


def live_members(group):
    """Processes (not zombies) in a process group."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = Path("/proc", entry, "stat").read_text()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        if int(fields[2]) == group and fields[0] != "Z":
            members.append(int(entry))
    return members


def stop_daemon(process):
    """SIGTERM to the daemon's process group (it holds the executors the worker
    launched), a bounded wait, then SIGKILL. Returns what is still alive."""
    group = process.pid  # started with start_new_session=True
    for sig in (signal.SIGTERM, signal.SIGKILL):
        if sig == signal.SIGKILL and not live_members(group):
            break
        try:
            os.killpg(group, sig)
        except ProcessLookupError:
            pass
        try:
            process.wait(timeout=STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            pass
        deadline = time.monotonic() + STOP_TIMEOUT
        while live_members(group) and time.monotonic() < deadline:
            time.sleep(0.2)
    return live_members(group)


@pytest.fixture
def cluster(tmp_path):
    spark_home = require_cluster_tools()
    logs = tmp_path / "logs"
    work_dir = tmp_path / "worker-work"
    local_dirs = tmp_path / "local-dirs"
    for d in (logs, work_dir, local_dirs):
        d.mkdir()
    env = dict(os.environ)
    for name in ("PYSPARK_SUBMIT_ARGS", "SPARK_CONF_DIR", "MUR_SPARK_KEEP_ALIVE"):
        env.pop(name, None)
    env.update(
        SPARK_HOME=str(spark_home),
        SPARK_LOCAL_IP="127.0.0.1",
        SPARK_LOCAL_DIRS=str(local_dirs),
        # The REST submission server would take the fixed port 6066.
        SPARK_MASTER_OPTS="-Dspark.master.rest.enabled=false",
        PYSPARK_PYTHON=sys.executable,
    )
    if java_home():
        env["JAVA_HOME"] = java_home()
    spark_class = str(spark_home / "bin" / "spark-class")

    daemons = []

    def start(name, args):
        log = open(logs / f"{name}.log", "wb")
        try:
            process = subprocess.Popen(
                [spark_class, *args], stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                env=env, cwd=tmp_path, start_new_session=True,
            )
        finally:
            log.close()
        daemons.append(process)
        return process, logs / f"{name}.log"

    try:
        master, master_log = start("master", [
            "org.apache.spark.deploy.master.Master", "--host", "127.0.0.1",
            "--port", str(free_port()), "--webui-port", str(free_port()),
        ])
        # The URL as the master reports it (it moves to the next port if its own was taken meanwhile).
        url = wait_for_log(master_log, r"Starting Spark master at (spark://127\.0\.0\.1:\d+)", master,
                           CLUSTER_START_TIMEOUT, "master start").group(1)
        wait_for_log(master_log, r"I have been elected leader! New state: ALIVE", master,
                     CLUSTER_START_TIMEOUT, "master ready")
        worker, worker_log = start("worker", [
            "org.apache.spark.deploy.worker.Worker", url, "--host", "127.0.0.1",
            "--webui-port", str(free_port()), "--cores", "1", "--memory", "1g",
            "--work-dir", str(work_dir),
        ])
        wait_for_log(worker_log, re.escape(f"Successfully registered with master {url}"), worker,
                     CLUSTER_START_TIMEOUT, "worker registration")
        wait_for_log(master_log, r"Registering worker 127\.0\.0\.1:\d+ with 1 cores", master,
                     CLUSTER_START_TIMEOUT, "worker known to the master")
        yield SimpleNamespace(url=url, env=env, work_dir=work_dir, master_log=master_log,
                              worker_log=worker_log, master=master, worker=worker)
    finally:
        left = {}
        for process in reversed(daemons):  # worker first
            alive = stop_daemon(process)
            if alive:
                left[process.args[1]] = alive
        assert not left, f"processes still running after SIGKILL: {left}"


def run_client(cluster, tmp_path):
    project = tmp_path / "project"
    home = tmp_path / "home"
    project.mkdir()
    home.mkdir()
    script = tmp_path / "cluster_client.py"
    script.write_text(CLIENT)
    package_root = Path(ruk.__file__).resolve().parents[1]  # the ruk this session tests
    env = dict(cluster.env)
    env.update(
        HOME=str(home),
        PYTHONPATH=os.pathsep.join(p for p in (str(package_root), os.environ.get("PYTHONPATH", "")) if p),
    )
    try:
        return subprocess.run(
            [sys.executable, str(script), cluster.url, APP_NAME],
            cwd=project, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
            timeout=CLIENT_TIMEOUT,
        )
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"the client did not finish within {CLIENT_TIMEOUT:.0f} s\n{e.stderr}\n"
                    f"--- master\n{tail(cluster.master_log)}\n--- worker\n{tail(cluster.worker_log)}")


def test_strategy_runs_tasks_on_a_standalone_worker(cluster, tmp_path):
    result = run_client(cluster, tmp_path)
    assert result.returncode == 0, (
        f"client failed\n--- stdout\n{result.stdout}\n--- stderr\n{result.stderr[-6000:]}\n"
        f"--- master\n{tail(cluster.master_log)}\n--- worker\n{tail(cluster.worker_log)}"
    )
    report = json.loads(result.stdout.strip().splitlines()[-1])

    assert report["master"] == cluster.url
    registered = wait_for_log(cluster.master_log, rf"Registered app {APP_NAME} with ID (app-[\w-]+)",
                              None, 10, "application registration")
    app_id = registered.group(1)

    # Every task ran in a Python worker of an executor the standalone worker
    # launched for this application: its working directory is that executor's
    # directory under the worker's work dir, and it is not the client process.
    executor_dirs = set()
    assert sorted(x for x, _, _ in report["tasks"]) == [0, 1, 2, 3]
    for _, pid, cwd in report["tasks"]:
        assert pid != report["client_pid"]
        path = Path(cwd)
        assert path.parent == cluster.work_dir / app_id, cwd
        executor_dirs.add(path)
    assert all(d.name.isdigit() for d in executor_dirs)
    wait_for_log(cluster.master_log, rf"Launching executor {app_id}/\d+ on worker", None, 10,
                 "executor launch")

    assert report["total"] == 4950
    assert report["connectivity"] == [True, "Local Spark session created and SQL test passed"]
    assert report["same_session"] is True

    # close() released the session: out of the cache, context stopped, and the
    # master saw the application go.
    assert report["cached_after_close"] == 0
    assert report["stopped_after_close"] is True
    wait_for_log(cluster.master_log, rf"Removing app {app_id}", None, 20, "application removal")
    # The cluster outlives its client.
    assert cluster.master.poll() is None and cluster.worker.poll() is None
