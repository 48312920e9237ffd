"""Where the spares of a user are found: ``~/.mur/spare``, private to the user.

Each spare keeps a record, ``<key>.json`` (its pid and start time, its
directory, since when it runs, whether it is ready, the secret a claim must
bring), and its socket, ``<key>.sock``, where a start claims it. The folder
and every parent up to the home must be the user's and closed to others:
nobody else can read a record, reach a socket or plant either. A record
names a live spare only while its pid runs with the recorded start time, so
a reused pid is never taken for a spare.
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
import select
import signal
import time
from typing import Any, Dict, Iterator, List, Optional

from ruk.compute.host import home as mur_home

__all__ = ["SWITCH_ENV", "IDLE_ENV", "enabled", "idle_limit", "directory", "record_path", "socket_path", "socket_address",
           "read_record", "write_record", "live_records", "remove", "remove_stale", "lock", "process_start", "is_live", "end",
           "memory_bytes", "stop_all"]

SWITCH_ENV = "MUR_SPARK_SPARE"
IDLE_ENV = "MUR_SPARK_SPARE_IDLE"
IDLE_DEFAULT = 900.0
MAX_PER_USER = 2
_RECORD_LIMIT = 1 << 16
_LOCK_NAME = ".lock"
# Between asking spares to end and making sure.
STOP_WAIT = 15.0


def enabled() -> bool:
    """Spares are off under CI and with MUR_SPARK_SPARE=0."""
    return "CI" not in os.environ and os.environ.get(SWITCH_ENV) != "0"


def idle_limit(environ: Optional[Dict[str, str]] = None) -> float:
    """How long a spare waits to be claimed, in seconds, from its start."""
    text = (os.environ if environ is None else environ).get(IDLE_ENV, "")
    try:
        value = float(text)
    except ValueError:
        return IDLE_DEFAULT
    return value if 0 < value < float("inf") else IDLE_DEFAULT


def directory(create: bool = False) -> Optional[str]:
    """``~/.mur/spare`` when it is the user's alone (made so when `create`
    asks), else None."""
    path = mur_home.mur_entry(mur_home.SPARE_DIR_NAME)
    if path is None:
        return None
    if create:
        try:
            mur_home.mur_directory(create=True)
            mur_home.make_private_directory(path)
        except OSError:
            return None
    real = mur_home.trusted_path(path, stop_at_home=True)
    try:
        if real is None or os.lstat(real).st_mode & 0o077:
            return None
    except OSError:
        return None
    return real


def record_path(folder: str, key: str) -> str:
    return os.path.join(folder, key + ".json")


def socket_path(folder: str, key: str) -> str:
    return os.path.join(folder, key + ".sock")


@contextlib.contextmanager
def socket_address(folder: str, key: str) -> Iterator[str]:
    """The key's socket by a path short enough whatever the folder's (a
    socket's path has at most 107 bytes): through a descriptor of the folder."""
    fd = os.open(folder, os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        yield f"/proc/self/fd/{fd}/{key}.sock"
    finally:
        os.close(fd)


def read_record(path: str) -> Optional[Dict[str, Any]]:
    """A record of the user's own, or None."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK)
    except OSError:
        return None
    try:
        info = os.fstat(fd)
        if info.st_uid != os.geteuid() or info.st_size > _RECORD_LIMIT:
            return None
        record = json.loads(os.read(fd, _RECORD_LIMIT))
    except (OSError, ValueError):
        return None
    finally:
        os.close(fd)
    return record if isinstance(record, dict) and isinstance(record.get("pid"), int) else None


def write_record(folder: str, key: str, record: Dict[str, Any]) -> None:
    """Replaces the record at once: a reader sees the old one or the new one."""
    temporary = os.path.join(folder, f".{key}.{os.getpid()}.tmp")
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    try:
        with os.fdopen(fd, "w") as f:
            json.dump(record, f)
        os.replace(temporary, record_path(folder, key))
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def process_start(pid: Any) -> Optional[int]:
    """When `pid` started (clock ticks since boot), None when it does not run."""
    try:
        with open(f"/proc/{int(pid)}/stat", "rb") as f:
            fields = f.read().rsplit(b")", 1)[1].split()
    except (OSError, ValueError, IndexError, TypeError):
        return None
    return int(fields[19]) if len(fields) > 19 and fields[0] not in (b"Z", b"X") else None


def is_live(record: Dict[str, Any], prefix: str = "") -> bool:
    """Whether the record's process (or its JVM, with `prefix` "jvm_") runs."""
    start = record.get(prefix + "start")
    return start is not None and process_start(record.get(prefix + "pid")) == start


def live_records(folder: str) -> List[Dict[str, Any]]:
    """The records of live spares, oldest first, each with its "key"."""
    found = []
    try:
        names = os.listdir(folder)
    except OSError:
        return found
    for name in names:
        if name.endswith(".json") and not name.startswith("."):
            record = read_record(os.path.join(folder, name))
            if record is not None and is_live(record):
                found.append(dict(record, key=name[:-5]))
    return sorted(found, key=lambda record: record.get("created", 0))


def remove(folder: str, key: str, pid: int) -> None:
    """The record and socket of `key`, when they are the spare `pid`'s (or
    its process is gone): a successor's are left alone."""
    record = read_record(record_path(folder, key))
    if record is not None and record["pid"] != pid and is_live(record):
        return
    for path in (socket_path(folder, key), record_path(folder, key)):
        with contextlib.suppress(OSError):
            os.unlink(path)


def remove_stale(folder: str) -> None:
    """Records and sockets of spares that are gone (killed)."""
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for name in names:
        if name.endswith(".json") and not name.startswith("."):
            record = read_record(os.path.join(folder, name))
            if record is None or not is_live(record):
                remove(folder, name[:-5], -1)


@contextlib.contextmanager
def lock(folder: str) -> Iterator[None]:
    """The folder's lock: who registers a spare, and how many run, is decided under it."""
    fd = os.open(os.path.join(folder, _LOCK_NAME), os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def memory_bytes(pid: Any) -> int:
    """The resident memory of a process, 0 when it is gone."""
    try:
        with open(f"/proc/{int(pid)}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError, TypeError):
        pass
    return 0


def _pidfd(record: Dict[str, Any]) -> Optional[int]:
    """A pidfd of the record's spare, opened while it is the recorded process."""
    try:
        pidfd = os.pidfd_open(int(record["pid"]))
    except (OSError, TypeError, ValueError):
        return None
    if not is_live(record):
        os.close(pidfd)
        return None
    return pidfd


def end(record: Dict[str, Any]) -> None:
    """Asks a spare to end: it ends its JVM and removes its files."""
    pidfd = _pidfd(record)
    if pidfd is not None:
        with contextlib.suppress(OSError):
            signal.pidfd_send_signal(pidfd, signal.SIGTERM)
        os.close(pidfd)


def stop_all(folder: str, wait: float = STOP_WAIT) -> int:
    """Ends every live spare of the folder: SIGTERM, and SIGKILL to the
    process group of each that still runs after `wait` (the spare, its JVM
    and its launch). Returns how many ran."""
    waiting = []
    for record in live_records(folder):
        pidfd = _pidfd(record)
        if pidfd is not None:
            with contextlib.suppress(OSError):
                signal.pidfd_send_signal(pidfd, signal.SIGTERM)
            waiting.append((record, pidfd))
    deadline = time.monotonic() + wait
    for record, pidfd in waiting:
        if not select.select([pidfd], [], [], max(0.0, deadline - time.monotonic()))[0]:
            with contextlib.suppress(OSError):
                os.killpg(record["pid"], signal.SIGKILL)  # it runs: the group is still its own
        os.close(pidfd)
    remove_stale(folder)
    return len(waiting)
