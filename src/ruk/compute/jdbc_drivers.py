"""JDBC drivers for a project: fetched from a Maven repository or copied from
a file into `.mur/jdbc_jars`, checked, listed and removed. The `mur jdbc`
commands are thin wrappers around this module."""

from __future__ import annotations

import hashlib
import os
import re
import shutil
import tempfile
import time
import zipfile
from typing import BinaryIO, Dict, List, NamedTuple, Optional, TextIO, Tuple

from ruk.compute.jar_provisioning import LIST_SEPARATORS, jar_folder

__all__ = [
    "DEFAULT_REPOSITORY",
    "KNOWN_DRIVERS",
    "REPOSITORY_ENV",
    "DriverError",
    "add_driver",
    "artifact_url",
    "declared_drivers",
    "remove_driver",
]

# Known names and the pinned Maven coordinate each one stands for.
KNOWN_DRIVERS: Dict[str, Tuple[str, str, str]] = {
    "postgresql": ("org.postgresql", "postgresql", "42.7.4"),
    "mysql": ("com.mysql", "mysql-connector-j", "9.1.0"),
    "mariadb": ("org.mariadb.jdbc", "mariadb-java-client", "3.5.1"),
    "sqlite": ("org.xerial", "sqlite-jdbc", "3.47.1.0"),
    "sqlserver": ("com.microsoft.sqlserver", "mssql-jdbc", "12.8.1.jre11"),
}
DEFAULT_REPOSITORY = "https://repo1.maven.org/maven2"
REPOSITORY_ENV = "MUR_MAVEN_REPOSITORY"
DRIVER_SERVICE = "META-INF/services/java.sql.Driver"

_COORDINATE_PART = re.compile(r"[A-Za-z0-9_.\-]+")
_TIMEOUT = 60.0
_PROGRESS_AFTER = 0.5  # seconds before a download shows progress
_CHUNK = 1 << 16


class DriverError(Exception):
    """A refusal or failure, told in one line."""


class AddResult(NamedTuple):
    name: str  # the file name in the JAR folder
    drivers: List[str]  # the driver classes it declares
    added: bool  # False when it was there already
    created_folder: bool


def known_names() -> str:
    return ", ".join(KNOWN_DRIVERS)


def artifact_url(repository: str, group: str, artifact: str, version: str) -> str:
    """Where a Maven repository keeps an artifact's JAR (the standard layout)."""
    return f"{repository.rstrip('/')}/{group.replace('.', '/')}/{artifact}/{version}/{artifact}-{version}.jar"


def _coordinate(source: str) -> Optional[Tuple[str, str, str]]:
    if source in KNOWN_DRIVERS:
        return KNOWN_DRIVERS[source]
    parts = source.split(":")
    if len(parts) == 3 and all(_COORDINATE_PART.fullmatch(p) for p in parts):
        return parts[0], parts[1], parts[2]
    return None


def declared_drivers(path: str) -> List[str]:
    """The driver classes a JAR declares; DriverError when it is no JAR or declares none."""
    try:
        with zipfile.ZipFile(path) as jar:
            try:
                text = jar.read(DRIVER_SERVICE).decode("utf-8", "replace")
            except KeyError:
                raise DriverError(f"declares no JDBC driver (no {DRIVER_SERVICE})") from None
    except (zipfile.BadZipFile, OSError, RuntimeError, ValueError, EOFError) as e:
        raise DriverError(f"is not a JAR ({e})") from None
    classes = [line.split("#", 1)[0].strip() for line in text.splitlines()]
    classes = [c for c in classes if c]
    if not classes:
        raise DriverError(f"declares no JDBC driver ({DRIVER_SERVICE} is empty)")
    return classes


def _usable_name(name: str) -> str:
    if not name.endswith(".jar"):
        name += ".jar"
    if name.startswith(".") or any(s in name for s in LIST_SEPARATORS):
        raise DriverError(f"{name!r} can't be used as a JAR name (it starts with '.' or holds ',' or ':'); rename the file")
    return name


def _same_content(a: str, b: str) -> bool:
    try:
        if os.path.getsize(a) != os.path.getsize(b):
            return False
        with open(a, "rb") as fa, open(b, "rb") as fb:
            while True:
                ca, cb = fa.read(_CHUNK), fb.read(_CHUNK)
                if ca != cb:
                    return False
                if not ca:
                    return True
    except OSError:
        return False


class _Progress:
    """Bytes received, shown on a terminal once a download takes more than a moment."""

    def __init__(self, label: str, total: Optional[int], stream: Optional[TextIO]) -> None:
        self.label, self.total, self.stream = label, total, stream
        self.started = time.monotonic()
        self.shown = 0.0
        try:
            self.active = bool(stream is not None and stream.isatty())
        except (AttributeError, ValueError, OSError):
            self.active = False

    def update(self, done: int) -> None:
        if not self.active:
            return
        now = time.monotonic()
        if now - self.started < _PROGRESS_AFTER or now - self.shown < 0.1:
            return
        self.shown = now
        amount = f"{done / 1e6:.1f} MB"
        if self.total:
            amount += f" of {self.total / 1e6:.1f} MB ({100 * done // self.total}%)"
        self.stream.write(f"\r\x1b[Kdownloading {self.label}: {amount}")
        self.stream.flush()

    def close(self) -> None:
        if self.active and self.shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


def _open_url(url: str, what: str, repository: str):
    """The response for `url`; None on 404; DriverError for anything else."""
    import urllib.error
    import urllib.request

    try:
        return urllib.request.urlopen(url, timeout=_TIMEOUT)
    except urllib.error.HTTPError as e:
        e.close()
        if e.code == 404:
            return None
        raise DriverError(f"the repository answered HTTP {e.code} for {what} ({url})") from None
    except (urllib.error.URLError, OSError, ValueError) as e:
        reason = getattr(e, "reason", None) or e
        if isinstance(reason, FileNotFoundError):  # a file: repository's 404
            return None
        raise DriverError(f"can't reach the repository {repository}: {reason}") from None


def _published_checksum(url: str, repository: str) -> Tuple[str, str]:
    """(algorithm, hex digest) published beside `url`: .sha256, else .sha1."""
    for algorithm, length in (("sha256", 64), ("sha1", 40)):
        response = _open_url(f"{url}.{algorithm}", "the checksum", repository)
        if response is None:
            continue
        with response:
            text = response.read(4096).decode("ascii", "replace").split()
        digest = text[0].lower() if text else ""
        if not re.fullmatch(f"[0-9a-f]{{{length}}}", digest):
            raise DriverError(f"the checksum published at {url}.{algorithm} is malformed; JAR refused")
        return algorithm, digest
    raise DriverError(f"no checksum (.sha256 or .sha1) is published beside {url}; JAR refused")


def _download(url: str, repository: str, into: BinaryIO, label: str, progress_stream: Optional[TextIO]) -> None:
    response = _open_url(url, "the JAR", repository)
    if response is None:
        raise DriverError(f"not found in the repository (HTTP 404): {url}")
    with response:
        length = response.headers.get("Content-Length")
        total = int(length) if length and length.isdigit() else None
        progress = _Progress(label, total, progress_stream)
        done = 0
        try:
            while True:
                try:
                    chunk = response.read(_CHUNK)
                except OSError as e:
                    raise DriverError(f"the download from {repository} broke off: {e}") from None
                if not chunk:
                    break
                into.write(chunk)
                done += len(chunk)
                progress.update(done)
        finally:
            progress.close()
    if total is not None and done != total:  # http.client takes an early close for the end
        raise DriverError(f"the download from {repository} broke off after {done} of {total} bytes")


def _file_digest(path: str, algorithm: str) -> str:
    digest = hashlib.new(algorithm)
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(_CHUNK), b""):
            digest.update(chunk)
    return digest.hexdigest()


def add_driver(
    source: str,
    project_dir: str,
    repository: Optional[str] = None,
    progress_stream: Optional[TextIO] = None,
) -> AddResult:
    """Put a driver into the project's JAR folder: a known name, a
    group:artifact:version coordinate, or a path to a JAR file.

    The file is written under a hidden temporary name and renamed once it
    has passed every check, so a refusal or an interruption leaves nothing.
    """
    coordinate = None
    if source in KNOWN_DRIVERS or not (os.path.exists(source) or "/" in source or source.endswith(".jar")):
        coordinate = _coordinate(source)
        if coordinate is None:
            raise DriverError(f"{source!r} is not a known driver name ({known_names()}), "
                              "a group:artifact:version coordinate or an existing JAR file")
    if coordinate is not None:
        group, artifact, version = coordinate
        name = _usable_name(f"{artifact}-{version}")
        repository = repository or os.environ.get(REPOSITORY_ENV) or DEFAULT_REPOSITORY
        if not repository.startswith(("http://", "https://", "file:")):
            raise DriverError(f"{repository!r} is not a repository URL (http://, https:// or file:)")
        url = artifact_url(repository, group, artifact, version)
    else:
        if not os.path.isfile(source):
            raise DriverError(f"{source} is not a file")
        name = _usable_name(os.path.basename(source))

    folder = jar_folder(project_dir)
    created = not os.path.isdir(folder)
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as e:
        raise DriverError(f"can't create the JAR folder {folder}: {e.strerror or e}") from None
    target = os.path.join(folder, name)
    if os.path.lexists(target):
        if not os.path.isfile(target):  # never open a FIFO or follow a dangling link
            raise DriverError(f"{target} exists and is not a regular file; remove it first with "
                              f"'mur jdbc remove {name}'")
        if coordinate is not None or _same_content(source, target):
            try:
                drivers = declared_drivers(target)
            except DriverError:
                drivers = []
            return AddResult(name, drivers, False, created)
        raise DriverError(f"another file named {name} is already in {folder}; remove it first with 'mur jdbc remove {name}'")

    fd, temp_path = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder)
    try:
        with os.fdopen(fd, "wb") as out:
            if coordinate is not None:
                _download(url, repository, out, name, progress_stream)
            else:
                try:
                    with open(source, "rb") as src:
                        shutil.copyfileobj(src, out, _CHUNK)
                except OSError as e:
                    raise DriverError(f"can't read {source}: {e.strerror or e}") from None
        if coordinate is not None:
            algorithm, expected = _published_checksum(url, repository)
            if _file_digest(temp_path, algorithm) != expected:
                raise DriverError(f"the {algorithm} checksum of {url} does not match the published one; JAR refused")
        try:
            drivers = declared_drivers(temp_path)
        except DriverError as e:
            raise DriverError(f"{source} {e}; not added") from None
        os.chmod(temp_path, 0o644)
        os.rename(temp_path, target)
    except BaseException:
        try:
            os.unlink(temp_path)
        except OSError:
            pass
        raise
    return AddResult(name, drivers, True, created)


def _known_file_names(known: str, names: List[str]) -> List[str]:
    """The files a known name stands for: its pinned JAR, or any version of it."""
    _, artifact, version = KNOWN_DRIVERS[known]
    prefix = f"{artifact}-"
    return [
        n for n in names
        if n == f"{artifact}-{version}.jar"
        or (n.startswith(prefix) and n.endswith(".jar") and n[len(prefix):len(prefix) + 1].isdigit())
    ]


def remove_driver(name: str, project_dir: str) -> List[str]:
    """Remove a JAR from the project's folder by file name or known name; the names removed."""
    folder = jar_folder(project_dir)
    if "/" in name or name in ("", ".", ".."):
        raise DriverError(f"{name!r} is not a file name; 'mur jdbc list' shows the names")
    try:
        present = sorted(os.listdir(folder))
    except OSError as e:
        raise DriverError(f"can't read {folder}: {e.strerror or e}") from None
    if name in present:
        chosen = [name]
    elif name in KNOWN_DRIVERS:
        chosen = _known_file_names(name, present)
    else:
        chosen = []
    if not chosen:
        jars = [n for n in present if n.endswith(".jar") and not n.startswith(".")]
        have = ", ".join(jars) if jars else "none"
        raise DriverError(f"no JAR named {name!r} in {folder} (present: {have})")
    for n in chosen:
        path = os.path.join(folder, n)
        try:
            os.unlink(path)
        except IsADirectoryError:
            raise DriverError(f"{path} is a directory; remove it yourself") from None
        except OSError as e:
            raise DriverError(f"can't remove {path}: {e.strerror or e}") from None
    return chosen


def describe_drivers(path: str) -> str:
    """The driver classes of a listed JAR, or why it has none, for `mur jdbc list`."""
    try:
        return ", ".join(declared_drivers(path))
    except DriverError as e:
        return f"(it {e})"
