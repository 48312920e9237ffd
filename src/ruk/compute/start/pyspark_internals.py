"""PySpark's private names that the local strategy reads, each behind one guard.

The strategy leans on a few of PySpark's internals (the gateway and its
process, the active context, the builder's cached session, where Spark is
installed). A PySpark release may rename or drop any of them. Every read goes
through `internal`: a name that is missing makes the caller fall back to what
plain PySpark does (no archive, the extension search on, no clean-up), and
says so once per process in a RuntimeWarning naming the PySpark version.
"""

from __future__ import annotations

import re
import sys
import threading
import types
import warnings
from typing import Any, Optional, Set, Tuple

__all__ = ["MISSING", "internal", "pyspark_major", "pyspark_version", "report_missing"]

# What `internal` returns for a name PySpark lacks: None is a value some of
# these names hold (no JVM yet).
MISSING: Any = type("Missing", (), {"__repr__": lambda self: "MISSING", "__bool__": lambda self: False})()

_warned: Set[Tuple[str, str]] = set()
_warned_lock = threading.Lock()


def pyspark_version() -> str:
    """The loaded PySpark's version text, "unknown" when it has none."""
    version = getattr(sys.modules.get("pyspark"), "__version__", None)
    return version if isinstance(version, str) else "unknown"


def pyspark_major() -> Optional[int]:
    """The loaded PySpark's major version, None when unknown."""
    match = re.match(r"(\d+)\.", pyspark_version())
    return int(match.group(1)) if match else None


def report_missing(where: str, fallback: str) -> None:
    """One RuntimeWarning per process for each missing internal `where`,
    saying what the strategy does without it (`fallback`). Never raises for
    warnings turned into errors: a session request must not fail for it."""
    with _warned_lock:
        if (where, fallback) in _warned:
            return
        _warned.add((where, fallback))
    try:
        warnings.warn(f"PySpark {pyspark_version()} has no {where}: the local strategy {fallback}.",
                      RuntimeWarning, stacklevel=3)
    except Exception:
        pass


def internal(owner: Any, name: str, fallback: str) -> Any:
    """`owner.name`, or MISSING (after report_missing) when `owner` has no
    such attribute. `owner` is a PySpark class or object; `fallback` says
    what the caller does without it, as in "leaves Spark's extension search on"."""
    try:
        return getattr(owner, name)
    except AttributeError:
        if isinstance(owner, types.ModuleType):
            owner_name = owner.__name__
        else:
            owner_name = getattr(owner, "__qualname__", None) or type(owner).__qualname__
        report_missing(f"{owner_name}.{name}", fallback)
        return MISSING
