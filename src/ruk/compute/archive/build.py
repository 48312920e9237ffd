"""The archive builder: a program of its own (started by archive_builder)
that makes one archive of one kind for one key, its output in the build log.

It is bounded by the CPU time its build uses (CPU_LIMIT, the JVM's and its
children's included), not by wall time: on a busy machine a considerate build
takes longer but is no failed build. A wall-clock bound (WALL_LIMIT) only
guards against a build that hangs. At either bound the whole process group of
the build (the JVM included) is ended and the next start tries again; only a
build the JVM refused waits (archive_files.RETRY_AFTER). The build runs in
its own working and temporary directory inside the archive directory.
"""

from __future__ import annotations

import os
import shutil
import signal
import sys
import tempfile
import time
import traceback
from typing import Any, Dict, Iterable, Optional, Tuple

from ruk.compute.archive import spawn as archive_builder
from ruk.compute.archive import files
from ruk.compute.host import home as mur_home
from ruk.compute.archive.request import NO_ARCHIVE, dump_options
from ruk.compute.start.pyspark_internals import MISSING, internal
from ruk.compute.host.processes import group_alive

__all__ = ["build_main", "processes", "cpu_seconds"]

# A build uses about 25 s of CPU (Java 17) to a minute (Java 25's two runs).
CPU_LIMIT = 600.0
# Wall time from the builder's start to its end, whatever the load.
WALL_LIMIT = 2 * 3600.0
# Between asking the build's process group to end and killing it: a JVM
# whose py4j server waits for a connection ignores SIGTERM.
TERM_GRACE = 5.0
# A background builder first waits, this long at most, until the machine has
# about a core to spare, so that the start that asked for it and its first
# queries come first; then it builds whatever the load.
SPARE_CORE_WAIT = 60.0
# A background build still running after this many seconds gets its
# session's group this niceness: one starved by other sessions' load still
# ends within minutes. (A process's own niceness can't be lowered without
# privileges; its autogroup's can, down to 0.)
RAISE_PRIORITY = ((300.0, 5), (600.0, 0))
# Fields of /proc/<pid>/stat after the command: process group, session, then
# the process's and its reaped children's user and system time.
_PGRP, _SESSION, _TIMES = 2, 3, slice(11, 15)
_TICKS = os.sysconf("SC_CLK_TCK") if hasattr(os, "sysconf") else 100


def _log(message: str) -> None:
    print(f"{time.strftime('%Y-%m-%d %H:%M:%S')} [{os.getpid()}@{files.host_name()}] {message}", flush=True)


def _considerate_priority(nice: int = archive_builder.BUILDER_NICE) -> None:
    """The niceness the bootstrap set for the builder (its JVM inherits it),
    also for its scheduling group: where the kernel groups by session
    (autogroup) the group's weight, not the process's, decides its share
    against other sessions. The builder leads its session: the group is its alone."""
    try:
        if os.getsid(0) == os.getpid():
            with open("/proc/self/autogroup", "w") as f:
                f.write(str(nice))
    except OSError:
        pass


def _cpu_times() -> Optional[Tuple[int, int]]:
    """(busy, total) time of all CPUs since boot, in ticks, from /proc/stat."""
    try:
        with open("/proc/stat") as f:
            ticks = [int(value) for value in f.readline().split()[1:9]]
    except (OSError, ValueError):
        return None
    if len(ticks) < 5:
        return None
    idle = ticks[3] + ticks[4]  # idle, iowait
    return sum(ticks) - idle, sum(ticks)


def _wait_for_spare_core(limit: float = SPARE_CORE_WAIT, interval: float = 1.0) -> bool:
    """True once the CPUs were busy at most (cores - 1) / cores of an
    `interval`, False when that did not happen within `limit` seconds."""
    started = time.monotonic()
    spare = 1 - 1 / (os.cpu_count() or 1)
    before = _cpu_times()
    if before is None:
        return True  # no way to tell
    while time.monotonic() - started < limit:
        time.sleep(interval)
        now = _cpu_times()
        if now is None:
            return True
        busy, total = now[0] - before[0], now[1] - before[1]
        if total > 0 and busy <= spare * total:
            return True
        before = now
    return False


def processes(ids: Iterable[int], session: bool = False) -> Dict[int, float]:
    """The processes of process groups (or sessions) `ids`, each with the CPU
    time it and its reaped children used so far (seconds)."""
    wanted, field, found = set(ids), _SESSION if session else _PGRP, {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                fields = f.read().rsplit(b")", 1)[1].split()
            if int(fields[field]) in wanted:
                found[int(entry)] = sum(int(value) for value in fields[_TIMES]) / _TICKS
        except (OSError, IndexError, ValueError):
            continue
    return found


def cpu_seconds(ids: Iterable[int], session: bool = False) -> float:
    return sum(processes(ids, session).values())


def _status(directory: str, key: str, **status: Any) -> None:
    try:
        files.write_json(directory, files.work_name("build", key + ".json"), status)
    except OSError:
        pass


def build_main(job: Dict[str, Any]) -> int:
    """The builder process: one file of one kind for one key. An error of
    its own goes to the build log with its traceback, as the start's do."""
    try:
        return _build_main(job)
    except Exception:
        _log(files.ERROR_MARK + "the builder:\n" + traceback.format_exc().rstrip())
        return 1


def _build_main(job: Dict[str, Any]) -> int:
    started, since = time.monotonic(), time.time()
    foreground = job.get("foreground", False)
    if not foreground:
        _considerate_priority()
    directory, key, kind = job["directory"], job["key"], job.get("kind", "cds")
    lock_fd = job.get("lock_fd")
    if not archive_builder.holds_lock(lock_fd):  # a builder started by hand
        lock_fd = archive_builder.user_lock()
        if lock_fd is None:
            _log(f"{key}: another builder of this user is at work")
            return 0
    os.set_inheritable(lock_fd, False)  # the lock ends with the builder, not with its JVM
    if mur_home.trusted_path(directory, job.get("stop_at_home", True)) != directory:
        _log(f"{directory} or a parent of it is open to other users; nothing built")
        return 1
    files.remove_leftovers(directory)
    status_file = os.path.join(directory, files.work_name("build", key + ".json"))
    try:
        if files.valid_archive(directory, key, kind) is not None:
            _log(f"{key}: already there")
            return 0
        if not foreground:
            _status(directory, key, since=since, phase="waiting for a spare core")
            if not _wait_for_spare_core():
                _log(f"{key}: no core to spare within {SPARE_CORE_WAIT:.0f} s; building at low priority")
        _status(directory, key, since=since, phase="building")
        return _supervise(job, directory, key, kind, started)
    finally:
        files.unlink(status_file)
        files.prune(directory, keep_key=key)


def _supervise(job: Dict[str, Any], directory: str, key: str, kind: str, started: float) -> int:
    """Runs the build in a child that leads a process group of its own (its
    JVM joins it), and ends that whole group at either bound."""
    work = tempfile.mkdtemp(prefix=files.work_name("work"), dir=directory)
    temp = os.path.join(directory, files.work_name("tmp", key + files.KINDS[kind]["suffix"]))
    sys.stdout.flush()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.setpgid(0, 0)
            # Its own working and temporary directory: the JVM's connection
            # file and logging file go there, whatever happens to the
            # starter's TMPDIR.
            os.chdir(work)
            os.environ["TMPDIR"] = work
            tempfile.tempdir = None
            status = _build(job, directory, key, temp)
        finally:
            sys.stdout.flush()
            os._exit(status)
    try:
        os.setpgid(pid, pid)  # also here: the group exists before any kill
    except OSError:
        pass
    status, why = _wait_within_bounds(pid, started, raise_priority=not job.get("foreground", False))
    if status is None:
        _end_group(pid)
        _log(f"{key}: {why}; the build was ended and is tried again at the next start")
        files.record_failure(directory, key, "bound", why)
        status = 1
    for leftover in (temp, temp + ".config"):  # .config: an AOT training run's, when ended
        files.unlink(leftover)
    shutil.rmtree(work, ignore_errors=True)
    return status


def _wait_within_bounds(pid: int, started: float, raise_priority: bool = False,
                        interval: float = 1.0) -> Tuple[Optional[int], str]:
    """The child's exit code, or None and which bound it reached."""
    steps = list(RAISE_PRIORITY) if raise_priority else []
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status), ""
        if steps and time.monotonic() - started > steps[0][0]:
            _considerate_priority(steps.pop(0)[1])
        used = cpu_seconds([pid])
        if used > CPU_LIMIT:
            return None, f"the build used more than {CPU_LIMIT:.0f} s of CPU"
        if time.monotonic() - started > WALL_LIMIT:
            return None, f"no archive within {WALL_LIMIT:.0f} s ({used:.0f} s of CPU)"
        time.sleep(interval)



def _end_group(pgid: int) -> None:
    """SIGTERM to the build's process group, SIGKILL after TERM_GRACE to
    whatever ignored it; the group's leader (our child) reaped."""
    try:
        os.killpg(pgid, signal.SIGTERM)
    except OSError:
        pass
    reaped = False
    limit = time.monotonic() + TERM_GRACE
    while time.monotonic() < limit:
        reaped = reaped or os.waitpid(pgid, os.WNOHANG)[0] != 0
        if reaped and not group_alive(pgid):
            return
        time.sleep(0.1)
    try:
        os.killpg(pgid, signal.SIGKILL)
    except OSError:
        pass
    if not reaped:
        os.waitpid(pgid, 0)


def _build(job: Dict[str, Any], directory: str, key: str, temp: str) -> int:
    kind = job.get("kind", "cds")
    archive = os.path.join(directory, key + files.KINDS[kind]["suffix"])
    started = time.monotonic()
    _log(f"{key}: building {archive}")
    try:
        _dump(job, temp)
        os.chmod(temp, 0o600)
        info = files.archive_file_ok(temp, None, kind)
        if info is None:
            raise RuntimeError("the JVM wrote no usable archive")
        seconds = round(time.monotonic() - started, 1)
        # The archive first, then its record: a reader never pairs the new
        # record with the old file.
        os.rename(temp, archive)
        files.write_meta(directory, key, kind, built=time.time(), build_seconds=seconds)
        files.unlink(os.path.join(directory, key + ".failed"))
        _log(f"{key}: {info.st_size / 2**20:.0f} MB in {seconds} s")
        return 0
    except Exception as error:
        _log(f"{key}: build failed: {error!r}")
        files.unlink(temp)
        files.record_failure(directory, key, files.REFUSED, str(error) or repr(error))
        return 1


def _dump(job: Dict[str, Any], temp: str) -> None:
    """Starts the driver with the kind's dump options, runs the training
    queries and lets the JVM exit, which writes the file."""
    from pyspark import SparkContext

    from ruk.compute.strategies.local import LocalStrategy

    config = dict(job["config"])
    config["spark.driver.extraJavaOptions"] = job["java_options"] + " " + dump_options(job.get("kind", "cds"), temp)
    strategy = LocalStrategy(config, app_name="mur-cds-build")
    spark = strategy.get_spark_session()
    # What a session's first queries run: a start, an aggregation and a join,
    # so that their classes and (for the AOT cache) profiles are in the file.
    spark.sql("SELECT 1").collect()
    spark.range(1000).selectExpr("id % 7 AS k", "id").groupBy("k").sum("id").collect()
    left = spark.range(1000).selectExpr("id % 500 AS k")
    left.join(spark.range(500).withColumnRenamed("id", "k"), "k").count()
    spark.stop()
    gateway = internal(SparkContext, "_gateway", NO_ARCHIVE)
    process = internal(gateway, "proc", NO_ARCHIVE) if gateway is not MISSING else MISSING
    if process is MISSING:
        raise RuntimeError("PySpark gives no handle on its driver JVM")
    process.stdin.close()  # the gateway JVM exits when its stdin closes
    status = process.wait()  # bounded by the supervisor
    if status != 0:
        raise RuntimeError(f"the driver JVM exited with status {status}")
