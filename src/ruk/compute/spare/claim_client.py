"""A start's claim of the spare driver JVM of its launch key.

Where a start would launch its driver JVM, it first asks for the spare of an
equal key. On success it holds what PySpark's own launch would have given
it: the JVM's stdin (the JVM ends at its end, when this process ends), its
stdout and stderr (read by the extension as for a launch), and a gateway
built as `launch_gateway` builds it from its connection file, installed as
PySpark's. Anything else (no spare, a dead or foreign one, a refused or slow
answer) gives None, silently, and the start launches its JVM as always.
"""

from __future__ import annotations

import os
import select
import signal
import socket
import subprocess
import threading
from typing import Any, Dict, List, Optional, Sequence, Tuple

from ruk.compute.start.jvm_settings import spark_context_class
from ruk.compute.spare import handover, registry
from ruk.compute.spare.launch_key import key_of, launch_inputs

__all__ = ["claim", "ClaimedProcess"]

# The whole exchange with a spare, from connect to its answer.
CLAIM_WAIT = 2.0
# What PySpark's launch_gateway imports into the gateway's JVM view.
JAVA_IMPORTS = ("org.apache.spark.SparkConf", "org.apache.spark.api.java.*", "org.apache.spark.api.python.*",
                "org.apache.spark.ml.python.*", "org.apache.spark.mllib.api.python.*",
                "org.apache.spark.resource.*", "org.apache.spark.sql.Encoders",
                "org.apache.spark.sql.OnSuccessCall", "org.apache.spark.sql.functions",
                "org.apache.spark.sql.classic.*", "org.apache.spark.sql.api.python.*",
                "org.apache.spark.sql.hive.*", "scala.Tuple2")


class ClaimedProcess(subprocess.Popen):
    """The claimed driver JVM, where PySpark keeps its launch's Popen
    (`gateway.proc`): `stdin` is the JVM's, `pid`, `poll`, `wait` and the
    signals work on it through a pidfd. It is no child of this process, so
    its exit status is not known: `returncode` is 0 once it has ended."""

    def __init__(self, pid: int, pidfd: int, stdin_fd: int) -> None:  # noqa: no Popen.__init__: nothing is spawned
        self.args = ["spare driver JVM"]
        self.pid = pid
        self.returncode: Optional[int] = None
        self._pidfd = pidfd
        self.stdin = os.fdopen(stdin_fd, "wb")
        self.stdout = self.stderr = None
        self.text_mode = False
        self.encoding = self.errors = None
        self._child_created = False  # nothing to reap, nothing to warn about
        self._sigint_wait_secs = 0.25
        self._waitpid_lock = threading.Lock()
        self._communication_started = False
        self._closed_child_pipe_fds = True
        self._input = None

    def _ended(self, timeout: Optional[float]) -> bool:
        with self._waitpid_lock:
            if self.returncode is None and select.select([self._pidfd], [], [], timeout)[0]:
                self.returncode = 0
                os.close(self._pidfd)
            return self.returncode is not None

    def _internal_poll(self, *args: Any, **kwargs: Any) -> Optional[int]:
        self._ended(0)
        return self.returncode

    def _wait(self, timeout: Optional[float]) -> int:
        if not self._ended(timeout):
            raise subprocess.TimeoutExpired(self.args, timeout)
        return self.returncode

    def send_signal(self, sig: int) -> None:
        with self._waitpid_lock:
            if self.returncode is None:
                try:
                    signal.pidfd_send_signal(self._pidfd, sig)
                except ProcessLookupError:
                    pass  # ended, not reaped yet

    def __del__(self) -> None:
        if self.returncode is None:
            os.close(self._pidfd)


def _gateway(port: int, secret: str, process: ClaimedProcess) -> Any:
    """The gateway to the claimed JVM, as launch_gateway makes it once it has the port and secret."""
    from py4j.clientserver import ClientServer, JavaParameters, PythonParameters
    from py4j.java_gateway import GatewayParameters, JavaGateway, java_import

    if os.environ.get("PYSPARK_PIN_THREAD", "true").lower() == "true":
        gateway = ClientServer(java_parameters=JavaParameters(port=port, auth_token=secret, auto_convert=True),
                               python_parameters=PythonParameters(port=0, eager_load=False))
    else:
        gateway = JavaGateway(gateway_parameters=GatewayParameters(port=port, auth_token=secret,
                                                                   auto_convert=True))
    gateway.proc = process
    for name in JAVA_IMPORTS:
        java_import(gateway.jvm, name)
    return gateway


def _ask(record: dict, folder: str, key: str) -> Tuple[Optional[dict], List[int]]:
    """The spare's answer to a claim, and the descriptors it passed."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM | socket.SOCK_CLOEXEC) as connection:
        connection.settimeout(CLAIM_WAIT)
        with registry.socket_address(folder, key) as address:
            connection.connect(address)
        if handover.peer(connection) != (record["pid"], os.geteuid()):
            return None, []
        handover.send_message(connection, {"key": key, "secret": record.get("secret")})
        return handover.receive_message(connection, len(handover.FD_NAMES))


def claim(app_name: Any, master: Any,
          settings: Sequence[Tuple[Any, Any]]) -> Tuple[Optional[Dict[str, Any]], Optional[Tuple[Any, int, int]]]:
    """Where a start would launch its driver JVM with these arguments: what
    that launch depends on (launch_key; None when spares are off or it
    can't be told), which the start hands `offer` once it succeeded, and the
    spare JVM of that launch when one answers: PySpark's gateway to it, now
    installed, and its stdout's and stderr's fds, for the caller to read and
    close. Without one (None) the start launches its own, as always."""
    if not registry.enabled():
        return None, None
    fds: List[int] = []
    process = None
    inputs = None
    try:
        inputs = launch_inputs(app_name, master, settings)
        folder = registry.directory() if inputs is not None else None
        if folder is None:
            return inputs, None
        key = key_of(inputs)
        record = registry.read_record(registry.record_path(folder, key))
        if record is None or record.get("state") != "ready" or not registry.is_live(record):
            return inputs, None
        answer, fds = _ask(record, folder, key)
        if answer is None:
            raise ConnectionError("the spare did not hand over")
        stdin_fd, stdout_fd, stderr_fd, pidfd = fds
        process = ClaimedProcess(int(answer["jvm_pid"]), pidfd, stdin_fd)
        fds = [stdout_fd, stderr_fd]
        gateway = _gateway(int(answer["port"]), str(answer["secret"]), process)
        # It answers, and it is the JVM launched for this directory.
        if gateway.jvm.java.lang.System.getProperty("user.dir") != inputs["directory"]:
            gateway.close()
            raise RuntimeError("another JVM")
        spark_context_class()._ensure_initialized(gateway=gateway)
        return inputs, (gateway, stdout_fd, stderr_fd)
    except BaseException as error:
        # A JVM received but not taken ends at its stdin's end; it is asked to now.
        handover.close_all(fds)
        if process is not None:
            process.stdin.close()
            process.terminate()
        if not isinstance(error, Exception):
            raise
        return inputs, None
