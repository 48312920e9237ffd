"""Java homes on this machine: probing one (its `release` file, else what
`bin/java -version` prints) and scanning JAVA_HOME, PATH and the install
folders for them. No answer is kept but the versions of binaries already run."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from dataclasses import dataclass
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple, Union

SOURCE_JAVA_HOME = "JAVA_HOME"
SOURCE_PATH = "PATH"
SOURCE_USER_CHOICE = "user choice"

_JAVA_EXE = "java.exe" if os.name == "nt" else "java"
_VERSION_TIMEOUT = 30.0

_JAVA_MAJOR_RE = re.compile(r"\s*(\d+)(?:\.(\d+))?")
_JAVA_VERSION_OUTPUT_RE = re.compile(r'version\s+"([^"]+)"')


@dataclass(frozen=True)
class JavaInstallation:
    """One Java home: where it is, its major and full version, and where it was found."""

    path: str
    major: int
    version: str
    source: str


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


# `java -version` results by (real path of the binary, mtime, size): a rescan
# after JAVA_HOME changes must not start a JVM again for a home it already knows.
_binary_versions: Dict[Tuple[str, int, int], Optional[str]] = {}


def _executable_file(path: str) -> bool:
    return os.path.isfile(path) and os.access(path, os.X_OK)


def release_version(home: str) -> Optional[str]:
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
    version = release_version(home)
    major = parse_java_major(version) if version else None
    if major is None:
        version = _binary_version(java)
        major = parse_java_major(version) if version else None
    if major is None or version is None:
        return None
    return JavaInstallation(home, major, version, source)


def clear_version_cache() -> None:
    _binary_versions.clear()


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


def scan(java_home: Optional[str], path_value: Optional[str], roots: Iterable[Any]) -> Tuple[Tuple[JavaInstallation, ...], Optional[str]]:
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
