"""Whether a process still runs, asked of the pids that name leftovers
(partial downloads, archive work files); and the processes of a session (an
archive build: the builder, its build and the build's JVM, whatever process
groups they are in), their CPU time and their end."""

from __future__ import annotations

import os
import signal
import time
from typing import Callable, Dict

__all__ = ["pid_alive", "session_processes", "session_cpu", "end_session"]

# Fields of /proc/<pid>/stat after the command: the state, the session, then
# the process's and its reaped children's user and system time.
_STATE, _SESSION, _TIMES = 0, 3, slice(11, 15)
_TICKS = os.sysconf("SC_CLK_TCK") if hasattr(os, "sysconf") else 100


def pid_alive(pid: int) -> bool:
    """Whether process `pid` runs (or can't be told apart from running)."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (OverflowError, ValueError):
        return False  # a number no process can have (read from a file name)
    except OSError:
        return True  # another user's (EPERM): taken as running, its files kept
    return True


def _stat(pid: str) -> list:
    with open(f"/proc/{pid}/stat", "rb") as f:
        return f.read().rsplit(b")", 1)[1].split()


def session_processes(sid: int, live: bool = False) -> Dict[int, float]:
    """The processes of session `sid` (no zombies when `live`), each with the
    CPU time it and its reaped children used so far (seconds). A session
    holds its leader's descendants whatever their process group, and nothing
    else: only a process's own setsid() takes it out."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            fields = _stat(entry)
            if int(fields[_SESSION]) == sid and not (live and fields[_STATE] in (b"Z", b"X")):
                found[int(entry)] = sum(int(value) for value in fields[_TIMES]) / _TICKS
        except (OSError, IndexError, ValueError):
            continue
    return found


def session_cpu(sid: int) -> float:
    return sum(session_processes(sid).values())


def _signal(pid: int, sid: int, number: int) -> None:
    """`number` to `pid` if it is still of session `sid`: through a pidfd,
    so that a pid that ended and was reused meanwhile is never signalled."""
    try:
        fd = os.pidfd_open(pid)
    except ProcessLookupError:
        return
    except (AttributeError, OSError):  # a system without pidfds: the pid's check just before
        try:
            if int(_stat(str(pid))[_SESSION]) == sid:
                os.kill(pid, number)
        except (OSError, IndexError, ValueError):
            pass
        return
    try:
        if int(_stat(str(pid))[_SESSION]) == sid:
            signal.pidfd_send_signal(fd, number)
    except (OSError, IndexError, ValueError):
        pass
    finally:
        os.close(fd)


def end_session(sid: int, grace: float, reap: Callable[[], None] = lambda: None, spare: int = 0) -> bool:
    """SIGTERM to every process of session `sid` but `spare`, SIGKILL after
    `grace` seconds to what is left; `reap` (the caller reaping its child) is
    called while it waits. True when none is left within `grace` of the kill."""
    for number in (signal.SIGTERM, signal.SIGKILL):
        for pid in session_processes(sid, live=True):
            if pid != spare:
                _signal(pid, sid, number)
        deadline = time.monotonic() + grace
        while True:
            reap()
            if not set(session_processes(sid, live=True)) - {spare}:
                return True
            if time.monotonic() > deadline:
                break
            time.sleep(0.1)
    return False
