"""Java installations on this machine and the Java versions the installed PySpark runs on.

The local Spark strategy asks on every session request, so repeat calls answer
from per-process caches and touch neither the file system nor a subprocess.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass
from typing import Any, Callable, Iterable, List, Optional, Tuple, Union

from ruk.compute.java.choice import JavaChoice, clear_java_choice, java_choice_path, read_java_choice, save_java_choice
from ruk.compute.java.homes import (SOURCE_JAVA_HOME, SOURCE_PATH, SOURCE_USER_CHOICE, JavaInstallation,
                                    clear_version_cache, parse_java_major, probe_java_home, scan)
from ruk_common.warn_once import WarnOnce

__all__ = [
    "JVM_ROOTS",
    "SOURCE_JAVA_HOME",
    "SOURCE_PATH",
    "SOURCE_USER_CHOICE",
    "JavaChoice",
    "JavaInstallation",
    "PySparkInfo",
    "clear_cache",
    "clear_java_choice",
    "find_all_java_installations",
    "get_pyspark_info",
    "java_choice_path",
    "java_majors_for_pyspark",
    "parse_java_major",
    "probe_java_home",
    "read_java_choice",
    "save_java_choice",
    "select_best_java",
]

# Directories whose sub-directories are Java homes, scanned in this order:
# (directory, path of the home inside each entry, source label). A plain
# string entry stands for (directory, "", directory). Read at scan time, so a
# rebinding (tests use fake homes) takes effect at the next call.
JVM_ROOTS: Tuple[Union[str, Tuple[str, str, str]], ...] = (
    ("/usr/lib/jvm", "", "/usr/lib/jvm"),
    ("/Library/Java/JavaVirtualMachines", "Contents/Home", "macOS"),
)


@dataclass(frozen=True)
class PySparkInfo:
    """The installed PySpark release and the Java major versions it runs on."""

    version: str
    major_minor: str
    java_supported: Tuple[int, ...]


# --- versions -----------------------------------------------------------------

_RELEASE_RE = re.compile(r"\s*(?:\d+!)?(\d+)\.(\d+)")


def java_majors_for_pyspark(version: str) -> Tuple[int, ...]:
    """Java major versions a PySpark release runs on, per Spark's documentation.

    An unparsable version gives an empty tuple: nothing is known to work.
    """
    match = _RELEASE_RE.match(version)
    if match is None:
        return ()
    major, minor = int(match.group(1)), int(match.group(2))
    if major < 3:
        return (8,)
    if major == 3:
        return (8, 11, 17)
    if major == 4 and minor < 2:
        return (17, 21)
    return (17, 21, 25)


# --- PySpark --------------------------------------------------------------------

_UNSET: Any = object()
_pyspark_info: Any = _UNSET


def get_pyspark_info() -> Optional[PySparkInfo]:
    """The installed PySpark, read from its distribution metadata; None when absent.

    PySpark itself is not imported. The answer is kept for the life of the
    process (metadata lookups take milliseconds); clear_cache() forgets it.
    """
    global _pyspark_info
    info = _pyspark_info
    if info is _UNSET:
        info = _pyspark_info = _read_pyspark_info()
    return info


def _read_pyspark_info() -> Optional[PySparkInfo]:
    from importlib import metadata

    try:
        version = metadata.version("pyspark")
    except metadata.PackageNotFoundError:
        return None
    if not version:
        # A distribution left half-removed has no version: treat it as absent.
        return None
    match = _RELEASE_RE.match(version)
    major_minor = f"{match.group(1)}.{match.group(2)}" if match else version
    return PySparkInfo(version, major_minor, java_majors_for_pyspark(version))


# --- raw environment access ---------------------------------------------------------
#
# The per-request cache checks only compare the values of JAVA_HOME, PATH and
# HOME, so they read the encoded mapping behind os.environ (a private field):
# os.environ.get encodes the key and decodes the value in Python on every
# read, and the three reads would add about 0.8 us to a cached request that
# costs about 2 us in all. Anything but a plain os._Environ is read as is.

@dataclass(frozen=True, slots=True)
class _RawEnv:
    environ: Any  # the os.environ object the rest was read from
    data: Any  # its encoded mapping
    java_home: Any  # the key of JAVA_HOME in `data`
    path: Any  # ... of PATH
    home: Any  # ... of HOME
    encodevalue: Callable[[str], Any]


_ENV_NAMES = ("JAVA_HOME", "PATH", "HOME")
_raw_env_state: Optional[_RawEnv] = None


def _raw_env() -> _RawEnv:
    global _raw_env_state
    env = os.environ
    state = _raw_env_state
    if state is not None and state.environ is env:
        return state
    data = getattr(env, "_data", None)
    encodekey = getattr(env, "encodekey", None)
    encodevalue = getattr(env, "encodevalue", None)
    if type(data) is dict and callable(encodekey) and callable(encodevalue):
        keys = tuple(encodekey(name) for name in _ENV_NAMES)
    else:
        data, keys, encodevalue = env, _ENV_NAMES, _identity
    state = _raw_env_state = _RawEnv(env, data, *keys, encodevalue)
    return state


def _identity(value: Any) -> Any:
    return value


@dataclass(frozen=True, slots=True)
class _Installations:
    """A scan's answer and what it was computed from (raw environment values)."""

    java_home: Any
    path: Any
    roots: Any  # the JVM_ROOTS object, compared by identity
    path_prefix: Any  # raw "<entry holding the first java><pathsep>", or None
    found: Tuple[JavaInstallation, ...]


_installations_cache: Optional[_Installations] = None


def find_all_java_installations() -> Tuple[JavaInstallation, ...]:
    """Every Java home found, deduplicated by real path, in a stable order.

    Order: JAVA_HOME, the java on PATH, then each of JVM_ROOTS in name order.
    The answer is kept while JAVA_HOME, PATH and JVM_ROOTS stay the same. A
    PATH that only gained entries in front of the directory that held the
    first java still finds that java first, so it keeps the answer too: the
    strategy puts the chosen Java's bin in front of PATH on every request.
    """
    global _installations_cache
    raw = _raw_env()
    raw_java_home = raw.data.get(raw.java_home)
    raw_path = raw.data.get(raw.path)
    roots = JVM_ROOTS
    cache = _installations_cache
    if cache is not None and raw_java_home == cache.java_home and roots is cache.roots:
        if raw_path == cache.path:
            return cache.found
        prefix = cache.path_prefix
        if prefix is not None and raw_path is not None and raw_path.startswith(prefix):
            return cache.found
    env = os.environ
    found, path_entry = scan(env.get("JAVA_HOME"), env.get("PATH"), roots)
    prefix = raw.encodevalue(path_entry + os.pathsep) if path_entry is not None else None
    _installations_cache = _Installations(raw_java_home, raw_path, roots, prefix, found)
    return found
@dataclass(frozen=True, slots=True)
class _Choice:
    """The recorded choice as read for one HOME, and the chosen home probed."""

    home: Any  # raw HOME
    choice: Optional[JavaChoice]
    chosen: Optional[JavaInstallation]  # None unless the choice names a usable home


# Read once per process (per HOME): the strategy runs one JVM per process, so
# `mur java set` takes effect from the next process on.
_choice_cache: Optional[_Choice] = None


def _current_choice() -> _Choice:
    global _choice_cache
    raw = _raw_env()
    raw_home = raw.data.get(raw.home)
    cache = _choice_cache
    if cache is not None and cache.home == raw_home:
        return cache
    choice = read_java_choice()
    chosen = None
    if choice is not None and choice.home is not None:
        chosen = probe_java_home(choice.home, SOURCE_USER_CHOICE)
    cache = _choice_cache = _Choice(raw_home, choice, chosen)
    return cache


# --- selection ----------------------------------------------------------------------------------

def _supported_majors(supported: Optional[Iterable[Any]]) -> frozenset:
    majors = set()
    for item in supported or ():
        if type(item) is int:
            majors.add(item)
        elif isinstance(item, str):
            major = parse_java_major(item)
            if major is not None:
                majors.add(major)
    return frozenset(majors)


@dataclass(frozen=True, slots=True)
class _Selection:
    """The last answer, keyed by identity: kept only for tuples, which cannot change under it."""

    installations: Any
    supported: Any
    choice: _Choice
    best: Optional[JavaInstallation]


_selection_cache: Optional[_Selection] = None

# What a warning was given for, once per process: (setting, value).
_warnings = WarnOnce()

_NOT_A_HOME = "not a Java home (no executable bin/java reporting a version)"


def select_best_java(installations: Iterable[JavaInstallation], supported: Optional[Iterable[Any]]) -> Optional[JavaInstallation]:
    """The installation to run Spark on, or None when none is supported.

    Order: the user's recorded choice (`mur java set`), else the JAVA_HOME
    installation, else the java on PATH, each when supported; else the
    highest supported major (the earlier one in `installations` on a tie).
    A recorded choice or a JAVA_HOME that is set but unusable or unsupported
    is skipped with a RuntimeWarning naming the Java used instead, once per
    process. `supported` holds major versions as ints or strings.
    """
    global _selection_cache
    choice = _current_choice()
    cache = _selection_cache
    if (cache is not None and cache.installations is installations and cache.supported is supported
            and cache.choice is choice):
        return cache.best
    best, skipped = _select(tuple(installations), _supported_majors(supported), choice, os.environ.get("JAVA_HOME"))
    if best is not None:
        for key, text in skipped:
            # Attributed to select_best_java's caller.
            _warnings.warn(key, f"{text}; using Java {best.major} at {best.path} instead.", stacklevel=2)
    if type(installations) is tuple and type(supported) is tuple:
        _selection_cache = _Selection(installations, supported, choice, best)
    return best


_Skipped = List[Tuple[Tuple[str, Any], str]]  # [((setting, value), "Skipping ...: why")]


def _select(
    installations: Tuple[JavaInstallation, ...], majors: frozenset, current: _Choice, java_home: Optional[str]
) -> Tuple[Optional[JavaInstallation], _Skipped]:
    """The installation to use, and what was skipped on the way."""
    skipped: _Skipped = []
    supported_text = ", ".join(str(m) for m in sorted(majors))

    def unsupported(major: int) -> str:
        return f"Java {major} is not supported by the installed PySpark (it runs on Java {supported_text})"

    choice = current.choice
    if choice is not None:
        if choice.home is not None:
            named, chosen = f"the Java home {choice.home}", current.chosen
            if chosen is not None and chosen.major in majors:
                return chosen, skipped
            reason = _NOT_A_HOME if chosen is None else unsupported(chosen.major)
        else:
            named = f"Java {choice.major}"
            of_major = [i for i in installations if i.major == choice.major]
            if choice.major in majors and of_major:
                return _by_source(of_major), skipped
            if choice.major not in majors:
                reason = unsupported(choice.major)
            else:
                reason = f"no Java {choice.major} installation found"
        skipped.append((("choice", choice), f"Skipping the Java chosen with 'mur java set' ({named}): {reason}"))

    from_java_home = next((i for i in installations if i.source == SOURCE_JAVA_HOME), None)
    if from_java_home is not None:
        if from_java_home.major in majors:
            return from_java_home, skipped
        skipped.append(((SOURCE_JAVA_HOME, from_java_home.path),
                        f"Skipping JAVA_HOME ({from_java_home.path}): {unsupported(from_java_home.major)}"))
    elif java_home:
        skipped.append(((SOURCE_JAVA_HOME, java_home), f"Skipping JAVA_HOME ({java_home}): {_NOT_A_HOME}"))

    from_path = next((i for i in installations if i.source == SOURCE_PATH), None)
    if from_path is not None and from_path.major in majors:
        return from_path, skipped
    best = None
    for inst in installations:
        if inst.major in majors and (best is None or inst.major > best.major):
            best = inst
    return best, skipped


def _by_source(candidates: List[JavaInstallation]) -> JavaInstallation:
    """The JAVA_HOME one, else the one on PATH, else the first."""
    for source in (SOURCE_JAVA_HOME, SOURCE_PATH):
        for inst in candidates:
            if inst.source == source:
                return inst
    return candidates[0]


def clear_cache() -> None:
    """Forget every per-process answer of this module (PySpark, installations, choice, warnings given)."""
    global _pyspark_info, _installations_cache, _choice_cache, _selection_cache, _raw_env_state
    _pyspark_info = _UNSET
    _installations_cache = None
    _choice_cache = None
    _selection_cache = None
    _raw_env_state = None
    clear_version_cache()
    _warnings.clear()
