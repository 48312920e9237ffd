"""What the `mur` command families share: the expected-failure error, the
Java choice as the commands report it, and the live indicator."""

from __future__ import annotations

import os
import sys
import threading
import time
import warnings
from typing import List, Optional, Sequence, TextIO

from ruk.compute import java_compat as jc
from ruk_common.exceptions import RukError


class CliError(RukError):
    """An expected failure: its message is printed as one line, exit status 1."""


def majors_text(majors: Sequence[int]) -> str:
    return ", ".join(str(m) for m in majors) if majors else "none known"


def require_pyspark(purpose: str) -> jc.PySparkInfo:
    info = jc.get_pyspark_info()
    if info is None:
        raise CliError(f"PySpark is not installed, so {purpose}; run 'mur spark set-version VERSION' first")
    return info


def installations_with_choice() -> List[jc.JavaInstallation]:
    """What discovery finds, plus a recorded home that discovery does not reach."""
    found = list(jc.find_all_java_installations())
    choice = jc.read_java_choice()
    if choice is not None and choice.home is not None:
        chosen = jc.probe_java_home(choice.home, jc.SOURCE_USER_CHOICE)
        if chosen is not None:
            real = os.path.realpath(chosen.path)
            if all(os.path.realpath(i.path) != real for i in found):
                found.append(chosen)
    return found


def select_java(installations: Sequence[jc.JavaInstallation], supported: Sequence[int]) -> Optional[jc.JavaInstallation]:
    """select_best_java, with a skipped JAVA_HOME or choice reported as a "mur: warning:" line."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        selected = jc.select_best_java(tuple(installations), supported)
    for caught_warning in caught:
        warning(str(caught_warning.message))
    return selected


def warning(message: str) -> None:
    print(f"mur: warning: {message}", file=sys.stderr, flush=True)


class Spinner:
    """A live indicator on a terminal while something slow runs; silent otherwise.

    The stream is bound at creation: the strategy swaps sys.stderr for a
    buffer while Spark starts, and the indicator must not end up in it.
    """

    FRAMES = "|/-\\"

    def __init__(self, label: str, stream: Optional[TextIO] = None, interval: float = 0.1) -> None:
        self.label = label
        self.stream = stream if stream is not None else sys.stderr
        self.interval = interval
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None
        self._started = 0.0

    def _active(self) -> bool:
        try:
            return bool(self.stream.isatty())
        except (AttributeError, ValueError, OSError):
            return False

    def _draw(self, frame: int) -> None:
        elapsed = time.monotonic() - self._started
        # Cursor back at the start afterwards: what the JVM prints meanwhile
        # overwrites the indicator instead of running on after it.
        self.stream.write(f"\r\x1b[K{self.FRAMES[frame % len(self.FRAMES)]} {self.label} {elapsed:.0f}s\r")
        self.stream.flush()

    def _run(self) -> None:
        frame = 1
        while not self._stop.wait(self.interval):
            self._draw(frame)
            frame += 1

    def __enter__(self) -> "Spinner":
        if self._active():
            self._started = time.monotonic()
            self._draw(0)
            self._thread = threading.Thread(target=self._run, name="mur-spinner", daemon=True)
            self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        if self._thread is not None:
            self._stop.set()
            self._thread.join()
            self._thread = None
            self.stream.write("\r\x1b[K")
            self.stream.flush()
