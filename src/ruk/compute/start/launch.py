"""The driver JVM's launch, when a local session start owns it.

PySpark launches one JVM per process, writing straight to the process's
stderr. When the start is the process's first with PySpark's own
SparkSession, the local strategy launches that JVM itself, through PySpark's
`launch_gateway` hook, with the same settings the builder is given: the JVM's
stderr is then a pipe the extension reads (it drops the start-up noise), and
a start that fails or is interrupted ends exactly the process it launched.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
from types import TracebackType
from typing import Any, Optional, Sequence, Tuple

from ruk.compute.start.jvm_settings import setting_text, spark_context_class as _context_class
from ruk.compute.start.pyspark_internals import MISSING, internal, pyspark_major, report_missing

__all__ = ["owns_launch", "launch", "end_launch", "without_interrupt_log"]

# A JVM whose main thread has ended may never act on SIGTERM: SIGKILL follows.
TERMINATE_WAIT = 3.0
KILL_WAIT = 5.0

_PLAIN_LAUNCH = "lets PySpark launch the JVM (its start-up notices reach stderr)"
_NO_CLEANUP = "leaves a failed start's JVM to PySpark"

# How py4j's records of a failed exchange with the JVM end ("KeyboardInterrupt
# while sending command.", "Exception while sending command."), logged through
# the root logger, with the traceback after them.
SENDING_COMMAND = " while sending command."
_CHAINS = ("During handling of the above exception", "The above exception was the direct cause")
_TRACEBACK_LINES = ("Traceback (most recent call last):",) + _CHAINS


def _connect_mode(given: dict) -> bool:
    """Whether getOrCreate would take Spark Connect's road, which launches no gateway."""
    environ = os.environ
    if "spark.remote" in given or any(name in environ for name in
                                      ("SPARK_REMOTE", "SPARK_CONNECT_MODE_ENABLED", "SPARK_LOCAL_REMOTE")):
        return True
    major = pyspark_major()
    if major is not None and major < 4:
        return False  # the API mode came with PySpark 4.0: classic unless remote
    mode = str(given.get("spark.api.mode", environ.get("SPARK_API_MODE", ""))).lower()
    if mode not in ("classic", "connect"):
        util = sys.modules.get("pyspark.util")
        default_mode = internal(util, "default_api_mode", _PLAIN_LAUNCH) if util else MISSING
        if default_mode is MISSING:
            return True
        mode = default_mode()
    return mode == "connect"


def owns_launch(session_class: Any, settings: Sequence[Tuple[Any, Any]]) -> bool:
    """Whether a start with `session_class` (the strategy's SparkSession) and
    the builder `settings` launches the driver JVM itself: only PySpark's own
    class, while no JVM runs in the process, with no JVM started elsewhere
    (PYSPARK_GATEWAY_PORT) and no Spark Connect."""
    sql_session = sys.modules.get("pyspark.sql.session")
    if sql_session is None or session_class is not getattr(sql_session, "SparkSession", None):
        return False
    if "PYSPARK_GATEWAY_PORT" in os.environ or _connect_mode(dict(settings)):
        return False
    context = _context_class()
    java_gateway = sys.modules.get("pyspark.java_gateway")
    if context is None or java_gateway is None:
        return False
    if internal(context, "_gateway", _PLAIN_LAUNCH) is not None:  # a JVM runs, or PySpark lacks the name
        return False
    return (internal(context, "_ensure_initialized", _PLAIN_LAUNCH) is not MISSING
            and internal(java_gateway, "launch_gateway", _PLAIN_LAUNCH) is not MISSING)


def launch(stderr_fd: int, app_name: Any, master: Any, settings: Sequence[Tuple[Any, Any]]) -> Any:
    """Launches the driver JVM with what the builder is given (`app_name`,
    `master`, then `settings` in order) and its stderr on `stderr_fd`, in a
    process group of its own, and makes it PySpark's gateway. Returns the
    gateway. Call only when owns_launch said so."""
    from pyspark.conf import SparkConf

    conf = SparkConf()
    conf.set("spark.app.name", setting_text(app_name))
    conf.set("spark.master", setting_text(master))
    for key, value in settings:
        conf.set(key, setting_text(value))
    launch_gateway = sys.modules["pyspark.java_gateway"].launch_gateway
    gateway = launch_gateway(conf, {"stderr": stderr_fd, "process_group": 0})
    _context_class()._ensure_initialized(gateway=gateway)
    return gateway


def _launched(gateway: Any, error: Optional[BaseException]) -> Tuple[Any, Any]:
    """The launch's Popen and gateway: from `gateway`, else from the frames
    `error` passed through, where launch_gateway (or Popen itself) still
    holds them when the start failed inside it."""
    from py4j.java_gateway import JavaGateway

    found_gateway = gateway
    proc = gateway.__dict__.get("proc") if isinstance(gateway, JavaGateway) else None
    tb: Optional[TracebackType] = error.__traceback__ if error is not None else None
    while tb is not None and proc is None:
        for value in tb.tb_frame.f_locals.values():
            if isinstance(value, JavaGateway) and found_gateway is None:
                found_gateway = value
                proc = value.__dict__.get("proc")
            elif isinstance(value, subprocess.Popen) and isinstance(getattr(value, "pid", None), int):
                proc = value  # Popen's own `self` has no pid before its fork
        tb = tb.tb_next
    if not isinstance(proc, subprocess.Popen):
        if isinstance(found_gateway, JavaGateway):  # launch_gateway always sets it
            report_missing("JavaGateway.proc", _NO_CLEANUP)
        return None, found_gateway
    return proc, found_gateway


def _signal(proc: subprocess.Popen, number: int, group: bool) -> None:
    try:
        if group:
            os.killpg(proc.pid, number)
        else:
            proc.send_signal(number)
    except (ProcessLookupError, PermissionError):
        pass


def _end_process(proc: subprocess.Popen) -> None:
    """Closes the JVM's stdin (PySpark's JVM ends on it), then SIGTERM, so
    that Spark's shutdown hooks remove its temporary directories, and SIGKILL
    for whatever still runs after a bounded wait. The launch runs in a
    process group of its own: the launcher's shell and JVM while it runs,
    then the driver JVM with whatever that started."""
    try:
        if proc.stdin is not None:
            proc.stdin.close()
    except OSError:
        pass
    if proc.poll() is not None:
        return  # it ended by itself (a JVM that could not start) and was reaped
    try:
        group = os.getpgid(proc.pid) == proc.pid  # asked before it is reaped
    except ProcessLookupError:
        return
    _signal(proc, signal.SIGTERM, group)
    try:
        proc.wait(TERMINATE_WAIT)
    except subprocess.TimeoutExpired:
        pass
    # A group outlives its leader while a member runs, and its id is not
    # handed out again meanwhile.
    _signal(proc, signal.SIGKILL, group)
    try:
        proc.wait(KILL_WAIT)
    except subprocess.TimeoutExpired:
        pass


def _forget(gateway: Any) -> None:
    """PySpark is told that its gateway's JVM is gone, without asking that
    JVM anything, so the next start launches a new one."""
    context_class = _context_class()
    if context_class is None or internal(context_class, "_gateway", _NO_CLEANUP) is not gateway:
        return
    context = internal(context_class, "_active_spark_context", _NO_CLEANUP)
    if context:
        context._jsc = None
        try:
            context.stop()  # ends its accumulator server; nothing JVM-side is left to stop
        except Exception:
            pass
    session_class = getattr(sys.modules.get("pyspark.sql.session"), "SparkSession", None)
    for name in ("_instantiatedSession", "_activeSession"):
        if session_class is not None and internal(session_class, name, _NO_CLEANUP) is not MISSING:
            setattr(session_class, name, None)
    try:
        gateway.shutdown()  # py4j's own threads and sockets
    except Exception:
        pass
    context_class._gateway = None
    context_class._jvm = None


def end_launch(gateway: Any, error: Optional[BaseException]) -> None:
    """A start that launched the driver JVM failed with `error`: that JVM
    (`gateway`'s, or the one the frames of `error` hold when the launch
    itself failed) is ended with its process group, and PySpark forgets it.
    Best effort: raises nothing but what the waits let through."""
    try:
        proc, gateway = _launched(gateway, error)
    except Exception:
        return
    if proc is not None:
        _end_process(proc)
    if gateway is not None:
        _forget(gateway)


def _ends_record(lines: Sequence[str], at: int) -> bool:
    """Whether lines[at], an exception's line of a logged traceback, is its
    last: no chained traceback follows."""
    following = next((line for line in lines[at + 1:] if line.strip()), "")
    return not following.startswith(_CHAINS)


def without_interrupt_log(captured: str) -> str:
    """`captured` less what py4j logged while Ctrl-C interrupted its
    exchange with the JVM (PySpark's own Ctrl-C handler talks to the JVM
    too): each record's line and its traceback. The user's own traceback
    tells of the interrupt already."""
    if SENDING_COMMAND not in captured:
        return captured
    lines = captured.split("\n")
    kept = []
    in_record = False
    for at, line in enumerate(lines):
        if not in_record:
            if line.rstrip().endswith(SENDING_COMMAND):
                in_record = True
            else:
                kept.append(line)
        elif not (line[:1].isspace() or not line or line.startswith(_TRACEBACK_LINES)):
            in_record = not _ends_record(lines, at)  # the exception's own line
    return "\n".join(kept)
