"""The archive builder: a program of its own (started by archive_builder)
that makes one archive of one kind for one key, its output in the build log.

The builder leads a session of its own, and the build is that session: the
builder, the child that runs the build, the JVM that child's start launches
(in whatever process group) and its children. The build is bounded by the
CPU time the session uses (CPU_LIMIT, lowered by MUR_CDS_BUILD_CPU_LIMIT),
not by wall time: on a busy machine a considerate build takes longer but is
no failed build. A wall-clock bound (archive_files.WALL_LIMIT) only guards
against a build that hangs. At either bound, at a signal to the builder and
when the build's child ends, every other process of the session is ended;
after a bound the next start tries again; only a build the JVM refused waits
(archive_files.RETRY_AFTER). The build runs in its own working and temporary
directory inside the archive directory.
"""

from __future__ import annotations

import os
import shutil
import signal
import sys
import tempfile
import time
import traceback
from typing import Any, Dict, Optional, Tuple

from ruk.compute.archive import spawn as archive_builder
from ruk.compute.archive import files
from ruk.compute.host import home as mur_home
from ruk.compute.archive.request import NO_ARCHIVE, dump_options
from ruk.compute.start.pyspark_internals import MISSING, internal
from ruk.compute.host.processes import end_session, session_cpu

__all__ = ["build_main", "CPU_LIMIT_ENV"]

# A build uses about 25 s of CPU (Java 17) to a minute (Java 25's two runs).
CPU_LIMIT = 600.0
# Seconds of CPU: a lower bound than CPU_LIMIT (tests).
CPU_LIMIT_ENV = "MUR_CDS_BUILD_CPU_LIMIT"
# Between asking the build's processes to end and killing them: a JVM
# whose py4j server waits for a connection ignores SIGTERM.
TERM_GRACE = 5.0
# How often a running build touches its status file: an untouched one is abandoned.
HEARTBEAT = 60.0
# A background builder first waits, this long at most, until the machine has
# about a core to spare, so that the start that asked for it and its first
# queries come first; then it builds whatever the load.
SPARE_CORE_WAIT = 60.0
# A background build still running after this many seconds gets its
# session's group this niceness: one starved by other sessions' load still
# ends within minutes. (A process's own niceness can't be lowered without
# privileges; its autogroup's can, down to 0.)
RAISE_PRIORITY = ((300.0, 5), (600.0, 0))
# Signals that end a builder, its build with it.
_ENDING_SIGNALS = (signal.SIGTERM, signal.SIGHUP, signal.SIGINT)


class _Ended(BaseException):
    """The builder was asked to end (a signal), wherever it was."""


def _ignore_signals() -> None:
    for number in _ENDING_SIGNALS:
        signal.signal(number, signal.SIG_IGN)


def _on_signal(number: int, frame: Any) -> None:
    _ignore_signals()  # once: the clean-up runs undisturbed
    raise _Ended(f"stopped by {signal.Signals(number).name}")


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


def cpu_limit() -> float:
    """CPU_LIMIT, or the lower bound MUR_CDS_BUILD_CPU_LIMIT asks for."""
    try:
        asked = float(os.environ.get(CPU_LIMIT_ENV, ""))
    except ValueError:
        return CPU_LIMIT
    return min(asked, CPU_LIMIT) if asked > 0 else CPU_LIMIT


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
    except _Ended as e:
        _log(f"{job.get('key')}: {e}; nothing built")
        return 1
    except Exception:
        _log(files.ERROR_MARK + "the builder:\n" + traceback.format_exc().rstrip())
        return 1


def _build_main(job: Dict[str, Any]) -> int:
    started, since = time.monotonic(), time.time()
    if os.getsid(0) != os.getpid():
        # A builder started by hand: its session is the bound of its build.
        try:
            os.setsid()
        except OSError:
            _log("the builder can't lead a session of its own (it leads a process group); nothing built")
            return 1
    for number in _ENDING_SIGNALS:
        signal.signal(number, _on_signal)
    foreground = job.get("foreground", False)
    if not foreground:
        _considerate_priority()
    directory, key, kind = job["directory"], job["key"], job.get("kind", "cds")
    lock_fd = job.get("lock_fd")
    if archive_builder.holds_lock(lock_fd):
        archive_builder.note_holder(lock_fd, directory=directory, key=key)
    else:  # a builder started by hand
        lock_fd = archive_builder.user_lock(directory=directory, key=key)
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
        return _supervise(job, directory, key, kind, started, status_file)
    finally:
        files.unlink(status_file)
        files.prune(directory, keep_key=key)


def _supervise(job: Dict[str, Any], directory: str, key: str, kind: str, started: float,
               status_file: str) -> int:
    """Runs the build in a child, and ends every other process of the
    builder's session (the JVM among them) at either bound, at a signal, and
    when the child has ended."""
    work = tempfile.mkdtemp(prefix=files.work_name("work"), dir=directory)
    temp = os.path.join(directory, files.work_name("tmp", key + files.KINDS[kind]["suffix"]))
    sys.stdout.flush()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            signal.signal(signal.SIGINT, signal.default_int_handler)
            for number in _ENDING_SIGNALS[:2]:
                signal.signal(number, signal.SIG_DFL)
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
    reaped = []
    try:
        status, why = _wait_within_bounds(pid, started, status_file, reaped,
                                          raise_priority=not job.get("foreground", False))
        if status is None:
            _log(f"{key}: {why}; tried again at the next start")
            files.record_failure(directory, key, "bound", why)
            status = 1
    finally:
        _ignore_signals()  # what is left runs to its end
        _end_build(pid, reaped)
        for leftover in (temp, temp + ".config"):  # .config: an AOT training run's, when ended
            files.unlink(leftover)
        shutil.rmtree(work, ignore_errors=True)
    return status


def _wait_within_bounds(pid: int, started: float, status_file: str, reaped: list, raise_priority: bool = False,
                        interval: float = 1.0) -> Tuple[Optional[int], str]:
    """The child's exit code (`reaped` then holds it), or None and the
    bound that the build's session reached."""
    steps = list(RAISE_PRIORITY) if raise_priority else []
    limit, beat = cpu_limit(), time.monotonic()
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            reaped.append(status)
            return os.waitstatus_to_exitcode(status), ""
        now = time.monotonic()
        if steps and now - started > steps[0][0]:
            _considerate_priority(steps.pop(0)[1])
        if now - beat > HEARTBEAT:
            beat = now
            try:
                os.utime(status_file, follow_symlinks=False)
            except OSError:
                pass
        used = session_cpu(os.getpid())
        if used > limit:
            named = f", {CPU_LIMIT_ENV}" if limit < CPU_LIMIT else ""
            return None, f"the CPU bound ({limit:g} s{named}) ended the build at {used:.1f} s of CPU"
        if now - started > files.WALL_LIMIT:
            return None, f"the wall-clock bound ({files.WALL_LIMIT:g} s) ended the build at {used:.0f} s of CPU"
        time.sleep(interval)



def _end_build(pid: int, reaped: list) -> None:
    """Every process of the builder's session but the builder (the build's
    child `pid`, its JVM, theirs): SIGTERM, SIGKILL after TERM_GRACE to what
    ignored it; the child reaped unless `reaped` says it was."""
    def reap(block: bool = False) -> None:
        try:
            if not reaped and os.waitpid(pid, 0 if block else os.WNOHANG)[0]:
                reaped.append(0)
        except ChildProcessError:
            reaped.append(0)

    end_session(os.getpid(), TERM_GRACE, reap, spare=os.getpid())
    reap(block=True)


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
