"""The spare: a program of its own (started by starter) that launches a driver
JVM as the next start with its key would, warms it, and waits for that start.

It runs in a session of its own, in the start's directory, with the start's
environment, umask and user, and first checks that it computes the same key.
Its JVM is launched through PySpark's `launch_gateway` with the same
settings in the same order, its stdout and stderr on pipes that the spare
drains until the hand-over. The warm-up is a throwaway session with the
same settings running a few representative queries; it is stopped, and the
scratch folders Spark made for it are removed and forgotten by the JVM, so
that the claiming start makes its own as on a fresh JVM.

A spare ends itself: after the hand-over, at the idle limit counted from its
start (the warm-up included), when a file of its key changes, when its JVM
ends, and on SIGTERM, SIGHUP or SIGINT (`mur spark spare stop`). Until it
hands the JVM's stdin over it holds it, so the JVM never outlives it. The
launch runs in the spare's own process group: a spare that ends unclaimed,
at whatever point, ends its JVM (through its stdin, then by signals) and
whatever else of the launch still runs in that group, and removes its
record and socket. While it
launches and warms up its session's scheduling group runs at a considerate
niceness for a minute at most, put back before the hand-over.
"""

from __future__ import annotations

import contextlib
import gc
import hmac
import os
import secrets
import select
import shutil
import signal
import socket
import subprocess
import threading
import time
import traceback
from typing import Any, Dict, List, Optional, Sequence

from ruk.compute.start.jvm_settings import spark_context_class
from ruk.compute.spare import handover, registry
from ruk.compute.spare.launch_key import fingerprints, key_of, launch_inputs

__all__ = ["spare_main"]

# From the spare's start to a warm JVM, whatever the load; within the idle limit.
WARM_LIMIT = 600.0
# How often a waiting spare looks at its key's files.
CHECK_INTERVAL = 5.0
# How long a claimer may take to say who it is.
REQUEST_WAIT = 2.0
# Between closing the JVM's stdin and SIGTERM, then SIGKILL.
END_WAIT = 5.0
TERM_WAIT = 3.0
# The niceness of the warm-up, which yields to the start's own work; held
# this long at most, so that other sessions' load can't starve it.
WARM_NICE = 10
WARM_NICE_FOR = 60.0
# What the next start's first queries run: the SQL parser and analyzer, a
# shuffle, generated code for an aggregation and a join, local data.
WARM_QUERIES = (
    lambda spark: spark.sql("SELECT 1").collect(),
    lambda spark: spark.sql("SELECT k, count(*) AS n, max(v) FROM VALUES (1, 'a'), (2, 'b'), (1, 'c') AS t(k, v) "
                            "WHERE k > 0 GROUP BY k ORDER BY k").collect(),
    lambda spark: spark.range(20000).selectExpr("id % 7 AS k", "id * 2 AS v").groupBy("k").sum("v").collect(),
    lambda spark: spark.range(2000).join(spark.range(1000).selectExpr("id", "id % 3 AS m"), "id").count(),
    lambda spark: spark.createDataFrame([(1, "x", 1.5), (2, "y", None)], ["a", "b", "c"]).filter("a > 1").collect(),
)
_SIGNALS = (signal.SIGTERM, signal.SIGHUP, signal.SIGINT)


class _Ended(BaseException):
    """The spare is asked to end, or its time is up: past any `except Exception`."""


def _log(message: str) -> None:
    print(f"{time.strftime('%Y-%m-%d %H:%M:%S')} [{os.getpid()}] {message}", flush=True)


def _raise_ended(number: int, frame: Any) -> None:
    raise _Ended(signal.Signals(number).name)


def _considerate(nice: int) -> None:
    """The niceness of the spare's session's scheduling group (autogroup),
    which its JVM shares; the processes' own niceness stays as the start's."""
    for _ in range(3):
        try:
            with open("/proc/self/autogroup", "w") as f:
                f.write(str(nice))
            return
        except BlockingIOError:  # the kernel takes one change per 100 ms
            time.sleep(0.1)
        except OSError:
            return


def spare_main(job: Dict[str, Any]) -> int:
    """The spare's life; what it started ends with it unless it was handed over."""
    key = job.get("key")
    held: Dict[str, Any] = {}
    try:
        return _main(job, held)
    except _Ended as why:
        _log(f"{key}: ended ({why})")
        return 0
    except Exception:
        _log(f"{key}: failed:\n" + traceback.format_exc().rstrip())
        return 1
    finally:
        _end_all(held)
        if "record" in held:
            registry.remove(job["folder"], key, os.getpid())


def _main(job: Dict[str, Any], held: Dict[str, Any]) -> int:
    started = time.monotonic()
    folder, key, inputs = job["folder"], job["key"], job["inputs"]
    for number in _SIGNALS:
        signal.signal(number, _raise_ended)
    # The environment exactly as the start had it (Python's own start may add to it).
    os.environ.clear()
    os.environ.update(inputs["environment"])
    pairs = inputs["conf"]
    app_name, master, settings = pairs[0][1], pairs[1][1], [tuple(pair) for pair in pairs[2:]]
    mine = launch_inputs(app_name, master, settings)
    if mine is None or key_of(mine) != key:
        _log(f"{key}: this process would not launch the JVM of its key; no spare")
        return 1
    deadline = started + registry.idle_limit()
    with registry.lock(folder):
        registry.remove_stale(folder)
        live = registry.live_records(folder)
        if any(record["key"] == key for record in live):
            return 0
        for record in live[:max(0, len(live) + 1 - registry.MAX_PER_USER)]:
            registry.end(record)  # the oldest make room
        held["record"] = record = {"pid": os.getpid(), "start": registry.process_start(os.getpid()),
                                   "directory": inputs["directory"], "created": time.time(),
                                   "secret": secrets.token_hex(16), "state": "warming"}
        registry.write_record(folder, key, record)
    _log(f"{key}: warming a driver JVM for {inputs['directory']}")
    _considerate(WARM_NICE)
    normal_priority = threading.Timer(WARM_NICE_FOR, _considerate, (0,))
    normal_priority.daemon = True
    normal_priority.start()
    signal.signal(signal.SIGALRM, _raise_ended)
    signal.setitimer(signal.ITIMER_REAL, max(0.01, min(WARM_LIMIT, deadline - time.monotonic())))
    answer = _launch_and_warm(held, app_name, master, settings, pairs)
    signal.setitimer(signal.ITIMER_REAL, 0)
    process = held["process"]
    pidfd = os.pidfd_open(process.pid)
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM | socket.SOCK_CLOEXEC) as listener:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(registry.socket_path(folder, key))  # a killed spare's
        with registry.socket_address(folder, key) as address:
            listener.bind(address)
        listener.listen(4)
        registry.write_record(folder, key, dict(record, state="ready", jvm_pid=process.pid,
                                                jvm_start=registry.process_start(process.pid)))
        normal_priority.cancel()
        _considerate(0)
        _log(f"{key}: ready after {time.monotonic() - started:.1f} s, {_cpu_seconds(process.pid):.1f} s of CPU")
        why = _serve(listener, process, pidfd, answer, key, record["secret"], deadline, mine)
    if why is None:  # handed over: the JVM is the claimer's now, nothing of it is ended here
        registry.remove(folder, key, os.getpid())
        _log(f"{key}: claimed")
        os._exit(0)
    _log(f"{key}: ended ({why})")
    return 0


class _Drain:
    """Reads and drops what the JVM writes while nobody else reads it."""

    def __init__(self, fds: Sequence[int]) -> None:
        self.fds = list(fds)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self) -> None:
        while not self.stop.is_set() and self.fds:
            for fd in select.select(self.fds, [], [], 0.1)[0]:
                if not os.read(fd, 1 << 16):
                    self.fds.remove(fd)

    def end(self) -> None:
        self.stop.set()
        self.thread.join()


def _launch_and_warm(held: Dict[str, Any], app_name: Any, master: Any, settings: List[Any],
                     pairs: List[List[Any]]) -> Dict[str, Any]:
    """The JVM, launched as a start launches it (in the spare's process
    group), then warmed; returns what a claimer is told (port, secret, pid)."""
    from pyspark.conf import SparkConf
    from pyspark.java_gateway import launch_gateway
    from pyspark.sql import SparkSession

    conf = SparkConf()
    for name, value in pairs:
        conf.set(name, value)
    gateway = launch_gateway(conf, {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE})
    held["process"] = process = gateway.proc
    drain = _Drain([process.stdout.fileno(), process.stderr.fileno()])
    try:
        parameters = getattr(gateway, "java_parameters", None) or gateway.gateway_parameters
        answer = {"port": parameters.port, "secret": parameters.auth_token, "jvm_pid": process.pid}
        spark_context_class()._ensure_initialized(gateway=gateway)
        builder = SparkSession.builder.appName(app_name).master(master)
        for name, value in settings:
            builder = builder.config(name, value)
        spark = builder.getOrCreate()
        for query in WARM_QUERIES:
            query(spark)
        _stop_leaving_nothing(spark, gateway)
        del spark, builder
        gc.collect()  # the session's JVM objects go with their Python handles
        gateway.jvm.java.lang.System.gc()
        gateway.close(keep_callback_server=True)
    finally:
        drain.end()
    return answer


def _stop_leaving_nothing(spark: Any, gateway: Any) -> None:
    """Stops the warm-up's session; the JVM forgets the scratch folders it
    made for it (they are cached for the JVM's life), which are removed."""
    utils = getattr(getattr(gateway.jvm.org.apache.spark.util, "Utils$"), "MODULE$")
    roots = list(utils.getOrCreateLocalRootDirs(spark.sparkContext._jsc.sc().conf()))
    spark.stop()
    utils.clearLocalRootDirs()
    for root in roots:
        shutil.rmtree(root, ignore_errors=True)


def _serve(listener: socket.socket, process: subprocess.Popen, pidfd: int, answer: Dict[str, Any], key: str,
           secret: str, deadline: float, inputs: Dict[str, Any]) -> Optional[str]:
    """Waits for the claim; None once the JVM is handed over, else why the spare ends."""
    outputs = [process.stdout.fileno(), process.stderr.fileno()]
    next_check = time.monotonic() + CHECK_INTERVAL
    while True:
        now = time.monotonic()
        if now >= deadline:
            return "idle limit"
        ready = select.select([listener, pidfd] + outputs, [], [], min(deadline, next_check) - now)[0]
        if pidfd in ready:
            return "its JVM ended"
        for fd in outputs:
            if fd in ready and not os.read(fd, 1 << 16):
                return "its JVM ended"
        if listener in ready and _hand_over(listener, process, pidfd, answer, key, secret):
            return None
        if time.monotonic() >= next_check:
            if fingerprints(inputs["files"]) != inputs["fingerprints"]:
                return "a file of its launch changed"
            next_check = time.monotonic() + CHECK_INTERVAL


def _hand_over(listener: socket.socket, process: subprocess.Popen, pidfd: int, answer: Dict[str, Any], key: str,
               secret: str) -> bool:
    """One claim: True once the JVM's descriptors are sent to a process of
    this user that brought the key and the secret. The signals that end the
    spare are held from then on: the JVM is no longer the spare's to end."""
    connection, _ = listener.accept()
    with connection:
        try:
            connection.settimeout(REQUEST_WAIT)
            if handover.peer(connection)[1] != os.geteuid():
                return False
            request, fds = handover.receive_message(connection)
            handover.close_all(fds)
            if (request is None or request.get("key") != key
                    or not hmac.compare_digest(str(request.get("secret")).encode(), secret.encode())):
                return False
            signal.pthread_sigmask(signal.SIG_BLOCK, _SIGNALS)
            sent = [process.stdin.fileno(), process.stdout.fileno(), process.stderr.fileno(), pidfd]
            handover.send_message(connection, answer, sent)
        except OSError:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, _SIGNALS)
            return False
    return True


def _cpu_seconds(jvm: int) -> float:
    """The CPU time the spare and its launch used: its own, its JVM's, and
    that of the JVM's reaped children (the launcher)."""
    times = os.times()
    used = times.user + times.system
    with contextlib.suppress(OSError, ValueError, IndexError):
        with open(f"/proc/{jvm}/stat", "rb") as f:
            fields = f.read().rsplit(b")", 1)[1].split()
        used += sum(int(value) for value in fields[11:15]) / os.sysconf("SC_CLK_TCK")
    return used


def _group_members() -> List[int]:
    """The other processes of the spare's process group: its JVM and the
    launch's processes, whatever state the launch reached."""
    group, me, found = os.getpgrp(), os.getpid(), []
    for entry in os.listdir("/proc"):
        if entry.isdigit() and int(entry) != me:
            with contextlib.suppress(OSError, ValueError, IndexError):
                with open(f"/proc/{entry}/stat", "rb") as f:
                    fields = f.read().rsplit(b")", 1)[1].split()
                if int(fields[2]) == group and fields[0] not in (b"Z", b"X"):
                    found.append(int(entry))
    return found


def _end_all(held: Dict[str, Any]) -> None:
    """Ends what the spare started: the JVM at its stdin's end (Spark's
    shutdown hooks remove its folders), then SIGTERM and SIGKILL to whatever
    of the spare's process group still runs. The signals that end the spare
    are held meanwhile: this is how it ends."""
    signal.pthread_sigmask(signal.SIG_BLOCK, _SIGNALS)
    signal.setitimer(signal.ITIMER_REAL, 0)
    process = held.get("process")
    if process is not None:
        with contextlib.suppress(OSError):
            process.stdin.close()
        with contextlib.suppress(subprocess.TimeoutExpired):
            process.wait(END_WAIT)
    for number in (signal.SIGTERM, signal.SIGKILL):
        deadline = time.monotonic() + TERM_WAIT
        members = _group_members()
        for pid in members:
            with contextlib.suppress(OSError):
                os.kill(pid, number)
        while members and time.monotonic() < deadline:
            time.sleep(0.05)
            members = _group_members()
        if not members:
            break
    if process is not None:
        with contextlib.suppress(subprocess.TimeoutExpired):
            process.wait(TERM_WAIT)
