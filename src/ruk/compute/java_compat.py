"""Java installations on this machine and the Java versions the installed PySpark runs on.

The local Spark strategy asks on every session request, so repeat calls answer
from per-process caches and touch neither the file system nor a subprocess.
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple, Union

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

SOURCE_JAVA_HOME = "JAVA_HOME"
SOURCE_PATH = "PATH"
SOURCE_USER_CHOICE = "user choice"

# Directories whose sub-directories are Java homes, scanned in this order:
# (directory, path of the home inside each entry, source label). A plain
# string entry stands for (directory, "", directory). Read at scan time, so a
# rebinding (tests use fake homes) takes effect at the next call.
JVM_ROOTS: Tuple[Union[str, Tuple[str, str, str]], ...] = (
    ("/usr/lib/jvm", "", "/usr/lib/jvm"),
    ("/Library/Java/JavaVirtualMachines", "Contents/Home", "macOS"),
)

_JAVA_EXE = "java.exe" if os.name == "nt" else "java"
_VERSION_TIMEOUT = 30.0


@dataclass(frozen=True)
class PySparkInfo:
    """The installed PySpark release and the Java major versions it runs on."""

    version: str
    major_minor: str
    java_supported: Tuple[int, ...]


@dataclass(frozen=True)
class JavaInstallation:
    """One Java home: where it is, its major and full version, and where it was found."""

    path: str
    major: int
    version: str
    source: str


@dataclass(frozen=True)
class JavaChoice:
    """The user's recorded preference: a Java home or a major version (one of the two)."""

    home: Optional[str] = None
    major: Optional[int] = None


# --- versions -----------------------------------------------------------------

_RELEASE_RE = re.compile(r"\s*(?:\d+!)?(\d+)\.(\d+)")
_JAVA_MAJOR_RE = re.compile(r"\s*(\d+)(?:\.(\d+))?")
_JAVA_VERSION_OUTPUT_RE = re.compile(r'version\s+"([^"]+)"')


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


def parse_java_major(version: str) -> Optional[int]:
    """Major version of a Java version string: "17.0.15" -> 17, "1.8.0_442" -> 8."""
    match = _JAVA_MAJOR_RE.match(version)
    if match is None:
        return None
    major = int(match.group(1))
    if major == 1 and match.group(2) is not None:
        # Releases up to 8 were numbered 1.x.
        return int(match.group(2))
    return major


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
# os.environ.get decodes the value on every read (about half a microsecond a
# variable); the per-request cache checks only compare values, so they read the
# encoded mapping behind os.environ. Falls back to os.environ itself elsewhere.

_ENV_NAMES = ("JAVA_HOME", "PATH", "HOME")
_raw_env_state: Tuple[Any, Any, Any, Any] = (None, None, None, None)


def _raw_env() -> Tuple[Any, Any, Any]:
    """(mapping, (key of JAVA_HOME, of PATH, of HOME), value encoder)."""
    global _raw_env_state
    env = os.environ
    state = _raw_env_state
    if state[0] is env:
        return state[1], state[2], state[3]
    data = getattr(env, "_data", None)
    encodekey = getattr(env, "encodekey", None)
    encodevalue = getattr(env, "encodevalue", None)
    if type(data) is dict and callable(encodekey) and callable(encodevalue):
        keys = tuple(encodekey(name) for name in _ENV_NAMES)
    else:
        data, keys, encodevalue = env, _ENV_NAMES, _identity
    _raw_env_state = (env, data, keys, encodevalue)
    return data, keys, encodevalue


def _identity(value: Any) -> Any:
    return value


# --- probing one Java home ------------------------------------------------------------

# `java -version` results by (real path of the binary, mtime, size): a rescan
# after JAVA_HOME changes must not start a JVM again for a home it already knows.
_binary_versions: Dict[Tuple[str, int, int], Optional[str]] = {}


def _executable_file(path: str) -> bool:
    return os.path.isfile(path) and os.access(path, os.X_OK)


def _release_version(home: str) -> Optional[str]:
    try:
        with open(os.path.join(home, "release"), encoding="utf-8", errors="replace") as f:
            text = f.read()
    except OSError:
        return None
    for line in text.splitlines():
        key, sep, value = line.partition("=")
        if sep and key.strip() == "JAVA_VERSION":
            return value.strip().strip("\"'") or None
    return None


def _binary_version(java: str) -> Optional[str]:
    try:
        st = os.stat(java)
    except OSError:
        return None
    key = (os.path.realpath(java), st.st_mtime_ns, st.st_size)
    if key in _binary_versions:
        return _binary_versions[key]
    try:
        proc = subprocess.run(
            [java, "-version"],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            timeout=_VERSION_TIMEOUT,
            encoding="utf-8",
            errors="replace",
        )
    except (OSError, subprocess.SubprocessError):
        # Not remembered: a timeout or a busy binary may pass next time.
        return None
    match = _JAVA_VERSION_OUTPUT_RE.search(proc.stdout or "")
    version = match.group(1) if match else None
    _binary_versions[key] = version
    return version


def probe_java_home(home: str, source: str) -> Optional[JavaInstallation]:
    """The installation at `home`, or None unless it has an executable bin/java.

    The version comes from the home's `release` file, else from what
    `bin/java -version` prints.
    """
    java = os.path.join(home, "bin", _JAVA_EXE)
    if not _executable_file(java):
        return None
    version = _release_version(home)
    major = parse_java_major(version) if version else None
    if major is None:
        version = _binary_version(java)
        major = parse_java_major(version) if version else None
    if major is None or version is None:
        return None
    return JavaInstallation(home, major, version, source)


# --- discovery ----------------------------------------------------------------------------

def _root_entry(root: Union[str, Sequence[str]]) -> Tuple[str, str, str]:
    if isinstance(root, str):
        return root, "", root
    directory, inner, label = root
    return directory, inner, label


def _java_on_path(path_value: str) -> Tuple[Optional[str], Optional[str]]:
    """(PATH entry holding the first java, the Java home it belongs to)."""
    for entry in path_value.split(os.pathsep):
        if not entry:
            # An empty entry means the working directory: not a stable place.
            continue
        candidate = os.path.join(entry, _JAVA_EXE)
        if not _executable_file(candidate):
            continue
        real = os.path.realpath(candidate)
        if sys.platform == "darwin" and real == "/usr/bin/java":
            # macOS's stub launcher; the real homes come from the macOS root.
            return None, None
        home = os.path.dirname(os.path.dirname(real))
        parent = os.path.dirname(home)
        if os.path.basename(home) == "jre" and _executable_file(os.path.join(parent, "bin", _JAVA_EXE)):
            # Java 8 JDKs link java to jre/bin/java; the JDK is the home.
            home = parent
        return entry, home
    return None, None


def _scan(java_home: Optional[str], path_value: Optional[str], roots: Iterable[Any]) -> Tuple[Tuple[JavaInstallation, ...], Optional[str]]:
    found: List[JavaInstallation] = []
    seen = set()

    def add(home: str, source: str) -> None:
        real = os.path.realpath(home)
        if real in seen:
            return
        installation = probe_java_home(home, source)
        if installation is not None:
            seen.add(real)
            found.append(installation)

    if java_home:
        add(java_home, SOURCE_JAVA_HOME)
    path_entry = None
    if path_value:
        path_entry, home = _java_on_path(path_value)
        if home is not None:
            add(home, SOURCE_PATH)
    for root in roots:
        directory, inner, label = _root_entry(root)
        try:
            names = sorted(os.listdir(directory))
        except OSError:
            continue
        for name in names:
            if name.startswith("."):
                continue
            home = os.path.join(directory, name, inner) if inner else os.path.join(directory, name)
            add(os.path.realpath(home), label)
    return tuple(found), path_entry


# (raw JAVA_HOME, raw PATH, roots object, raw "<entry holding java><pathsep>" or None, result)
_installations_cache: Any = None


def find_all_java_installations() -> Tuple[JavaInstallation, ...]:
    """Every Java home found, deduplicated by real path, in a stable order.

    Order: JAVA_HOME, the java on PATH, then each of JVM_ROOTS in name order.
    The answer is kept while JAVA_HOME, PATH and JVM_ROOTS stay the same. A
    PATH that only gained entries in front of the directory that held the
    first java still finds that java first, so it keeps the answer too: the
    strategy puts the chosen Java's bin in front of PATH on every request.
    """
    global _installations_cache
    data, keys, encodevalue = _raw_env()
    raw_java_home = data.get(keys[0])
    raw_path = data.get(keys[1])
    roots = JVM_ROOTS
    cache = _installations_cache
    if cache is not None and raw_java_home == cache[0] and roots is cache[2]:
        if raw_path == cache[1]:
            return cache[4]
        prefix = cache[3]
        if prefix is not None and raw_path is not None and raw_path.startswith(prefix):
            return cache[4]
    env = os.environ
    result, path_entry = _scan(env.get("JAVA_HOME"), env.get("PATH"), roots)
    prefix = encodevalue(path_entry + os.pathsep) if path_entry is not None else None
    _installations_cache = (raw_java_home, raw_path, roots, prefix, result)
    return result


# --- the user's choice ---------------------------------------------------------------------

def java_choice_path() -> str:
    """The file `mur java set` writes: ~/.mur/java.json."""
    return os.path.join(os.path.expanduser("~"), ".mur", "java.json")


def read_java_choice(path: Optional[str] = None) -> Optional[JavaChoice]:
    """The recorded choice, or None when there is none or the file is unusable."""
    try:
        with open(path or java_choice_path(), encoding="utf-8") as f:
            data = json.load(f)
    except (OSError, ValueError):
        return None
    if not isinstance(data, dict):
        return None
    home = data.get("java_home")
    major = data.get("major")
    if isinstance(home, str) and home:
        return JavaChoice(home=home)
    if type(major) is int:
        return JavaChoice(major=major)
    return None


def save_java_choice(choice: JavaChoice, path: Optional[str] = None) -> str:
    """Write the choice atomically (a reader sees the old file or the new one); returns the path."""
    if (choice.home is None) == (choice.major is None):
        raise ValueError("a Java choice names either a home or a major version")
    target = path or java_choice_path()
    directory = os.path.dirname(target)
    os.makedirs(directory, exist_ok=True)
    payload = {"java_home": choice.home} if choice.home is not None else {"major": choice.major}
    fd, tmp = tempfile.mkstemp(prefix=".java.", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            json.dump(payload, f)
            f.write("\n")
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    return target


def clear_java_choice(path: Optional[str] = None) -> bool:
    """Forget the recorded choice; False when there was none."""
    try:
        os.unlink(path or java_choice_path())
    except FileNotFoundError:
        return False
    return True


# (raw HOME, choice, installation of a chosen home or None). Read once per
# process: the strategy runs one JVM per process, so `mur java set` takes
# effect from the next process on.
_choice_cache: Any = None


def _current_choice() -> Tuple[Optional[JavaChoice], Optional[JavaInstallation]]:
    global _choice_cache
    data, keys, _ = _raw_env()
    raw_home = data.get(keys[2])
    cache = _choice_cache
    if cache is not None and cache[0] == raw_home:
        return cache[1], cache[2]
    choice = read_java_choice()
    chosen = None
    if choice is not None and choice.home is not None:
        chosen = probe_java_home(choice.home, SOURCE_USER_CHOICE)
    _choice_cache = (raw_home, choice, chosen)
    return choice, chosen


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


# (installations, supported, choice, result): identity-keyed, kept only for
# tuples, whose contents cannot change under the cache.
_selection_cache: Any = None


def select_best_java(installations: Iterable[JavaInstallation], supported: Optional[Iterable[Any]]) -> Optional[JavaInstallation]:
    """The installation to run Spark on, or None when none is supported.

    Preference: the user's recorded choice (`mur java set`) when supported,
    else the JAVA_HOME installation when supported, else the highest
    supported major (the earlier one in `installations` on a tie).
    `supported` holds major versions as ints or strings.
    """
    global _selection_cache
    choice, chosen = _current_choice()
    cache = _selection_cache
    if cache is not None and cache[0] is installations and cache[1] is supported and cache[2] is choice:
        return cache[3]
    result = _select(installations, _supported_majors(supported), choice, chosen)
    if type(installations) is tuple and type(supported) is tuple:
        _selection_cache = (installations, supported, choice, result)
    return result


def _select(installations: Iterable[JavaInstallation], majors: frozenset, choice: Optional[JavaChoice], chosen: Optional[JavaInstallation]) -> Optional[JavaInstallation]:
    installations = tuple(installations)
    if choice is not None:
        if chosen is not None and chosen.major in majors:
            return chosen
        if choice.major is not None and choice.major in majors:
            pick = None
            for inst in installations:
                if inst.major == choice.major:
                    if inst.source == SOURCE_JAVA_HOME:
                        return inst
                    if pick is None:
                        pick = inst
            if pick is not None:
                return pick
    from_java_home = None
    best = None
    for inst in installations:
        if inst.major in majors:
            if from_java_home is None and inst.source == SOURCE_JAVA_HOME:
                from_java_home = inst
            if best is None or inst.major > best.major:
                best = inst
    return from_java_home if from_java_home is not None else best


def clear_cache() -> None:
    """Forget every per-process answer of this module (PySpark, installations, choice)."""
    global _pyspark_info, _installations_cache, _choice_cache, _selection_cache, _raw_env_state
    _pyspark_info = _UNSET
    _installations_cache = None
    _choice_cache = None
    _selection_cache = None
    _raw_env_state = (None, None, None, None)
    _binary_versions.clear()
