"""Whether a process, or a process group, still runs: asked of the pids that
name leftovers (partial downloads, archive work files) and of the archive
builder's own build group."""

from __future__ import annotations

import os
from typing import Callable

__all__ = ["group_alive", "pid_alive"]


def _answers(send: Callable[[int, int], None], number: int) -> bool:
    try:
        send(number, 0)
    except ProcessLookupError:
        return False
    except (OverflowError, ValueError):
        return False  # a number no process can have (read from a file name)
    except OSError:
        return True  # another user's (EPERM): taken as running, its files kept
    return True


def pid_alive(pid: int) -> bool:
    """Whether process `pid` runs (or can't be told apart from running)."""
    return _answers(os.kill, pid)


def group_alive(pgid: int) -> bool:
    """Whether any process of group `pgid` runs."""
    return _answers(os.killpg, pgid)
