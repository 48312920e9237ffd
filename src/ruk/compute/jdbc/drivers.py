"""JDBC drivers for a project: added from a Maven repository or a file into
`.mur/jdbc_jars`, and removed; the `mur jdbc` commands are thin wrappers
around this module. A download or copy is written to a hidden
`.<name>.<pid>.part` file and renamed once it has passed every check; the
next add, list or remove deletes the `.part` files of processes that are gone."""

from __future__ import annotations

import errno
import hashlib
import os
import re
import signal
import stat
import threading
import warnings
from contextlib import contextmanager
from typing import Callable, Dict, Iterator, List, NamedTuple, Optional, TextIO, Tuple

from ruk.compute.jar_provisioning import LIST_SEPARATORS, jar_folder, list_project_jars
from ruk.compute.jdbc.download import (DEFAULT_MAX_SIZE, DEFAULT_REPOSITORY, DEFAULT_TIMEOUT, artifact_url,
                                       check_repository, download)
from ruk.compute.jdbc.jar import (CHUNK, DriverError, PresentJars, declared_drivers, drivers_or_none, file_digest,
                                  one_line)
from ruk.compute.host.processes import pid_alive

# Known names and the pinned Maven coordinate each one stands for.
KNOWN_DRIVERS: Dict[str, Tuple[str, str, str]] = {
    "postgresql": ("org.postgresql", "postgresql", "42.7.4"),
    "mysql": ("com.mysql", "mysql-connector-j", "9.1.0"),
    "mariadb": ("org.mariadb.jdbc", "mariadb-java-client", "3.5.1"),
    "sqlite": ("org.xerial", "sqlite-jdbc", "3.47.1.0"),
    "sqlserver": ("com.microsoft.sqlserver", "mssql-jdbc", "12.8.1.jre11"),
}
# The driver class of each known name: what `remove NAME` looks for, and
# what makes `add NAME` a no-op when another JAR already provides it.
KNOWN_DRIVER_CLASSES: Dict[str, str] = {
    "postgresql": "org.postgresql.Driver",
    "mysql": "com.mysql.cj.jdbc.Driver",
    "mariadb": "org.mariadb.jdbc.Driver",
    "sqlite": "org.sqlite.JDBC",
    "sqlserver": "com.microsoft.sqlserver.jdbc.SQLServerDriver",
}
REPOSITORY_ENV = "MUR_MAVEN_REPOSITORY"

_COORDINATE_PART = re.compile(r"[A-Za-z0-9_.\-]+")
_PART_FILE = re.compile(r"\.(.+)\.([0-9]{1,10})\.part")


class _Terminated(BaseException):
    """SIGTERM or SIGHUP during an add: unwinds like Ctrl-C, so the partial file goes."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class AddResult(NamedTuple):
    name: str  # the file name in the JAR folder
    drivers: List[str]  # the driver classes it declares
    added: bool  # False when it was there already
    created_folder: bool
    present_as: Optional[str] = None  # when not added: the file that has it already
    same: str = ""  # when not added: "name", "content" or "driver"


def known_names() -> str:
    return ", ".join(KNOWN_DRIVERS)


def _coordinate(source: str) -> Optional[Tuple[str, str, str]]:
    if source in KNOWN_DRIVERS:
        return KNOWN_DRIVERS[source]
    parts = source.split(":")
    if len(parts) == 3 and all(_COORDINATE_PART.fullmatch(p) for p in parts):
        return parts[0], parts[1], parts[2]
    return None


# --- partial files ---------------------------------------------------------------------------------


def clear_leftovers(folder: str) -> List[str]:
    """Delete the partial downloads in `folder` whose process is gone; their names."""
    try:
        names = os.listdir(folder)
    except OSError:
        return []
    cleared = []
    for name in names:
        match = _PART_FILE.fullmatch(name)
        if match is None:
            continue
        pid = int(match.group(2))
        if pid <= 0 or pid_alive(pid):
            continue
        path = os.path.join(folder, name)
        try:
            if stat.S_ISREG(os.lstat(path).st_mode):
                os.unlink(path)
                cleared.append(name)
        except OSError:
            pass  # a read-only folder: the next run with rights clears it
    return cleared


def _disk_error(e: OSError, folder: str) -> DriverError:
    if e.errno in (errno.ENOSPC, errno.EDQUOT):
        return DriverError(f"disk full: no space left in {folder} ({e.strerror}); nothing added")
    return DriverError(f"disk error: can't write in {folder}: {e.strerror or one_line(e)}; nothing added")


def _create_part(folder: str, name: str) -> Tuple[str, int]:
    path = os.path.join(folder, f".{name}.{os.getpid()}.part")
    try:
        os.unlink(path)  # our pid on a file we did not make: an earlier process that had it left it
    except FileNotFoundError:
        pass
    except OSError as e:
        raise _disk_error(e, folder) from None
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NOFOLLOW", 0)
    try:
        return path, os.open(path, flags, 0o600)
    except OSError as e:
        raise _disk_error(e, folder) from None


def _write_all(fd: int, data: bytes, folder: str) -> None:
    view = memoryview(data)
    while view:
        try:
            written = os.write(fd, view)
        except OSError as e:
            raise _disk_error(e, folder) from None
        view = view[written:]


@contextmanager
def _signals_unwind() -> Iterator[None]:
    """SIGTERM and SIGHUP raise _Terminated in the main thread while inside,
    so the cleanup that runs for Ctrl-C runs for them too."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def unwind(signum, frame):
        raise _Terminated(signum)

    previous = {}
    try:
        for signum in (signal.SIGTERM, signal.SIGHUP):
            handler = signal.getsignal(signum)
            if handler is signal.SIG_IGN or handler is None:
                continue  # ignored on purpose (nohup): keep it so
            previous[signum] = handler
            signal.signal(signum, unwind)
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


# --- add, remove -----------------------------------------------------------------------------------


def _usable_name(name: str) -> str:
    if not name.endswith(".jar"):
        name += ".jar"
    if name.startswith(".") or any(s in name for s in LIST_SEPARATORS):
        raise DriverError(f"{name!r} can't be used as a JAR name (it starts with '.' or holds ',' or ':'); rename the file")
    return name


def _source_kind(source: str) -> Optional[Tuple[str, str, str]]:
    """The coordinate `source` stands for, or None when it names a file."""
    if source in KNOWN_DRIVERS:
        return KNOWN_DRIVERS[source]
    if os.path.lexists(source) or "/" in source or source.endswith(".jar"):
        return None
    coordinate = _coordinate(source)
    if coordinate is None:
        raise DriverError(f"{source!r} is not a known driver name ({known_names()}), "
                          "a group:artifact:version coordinate or an existing file")
    return coordinate


def add_driver(
    source: str,
    project_dir: str,
    repository: Optional[str] = None,
    progress_stream: Optional[TextIO] = None,
    *,
    timeout: float = DEFAULT_TIMEOUT,
    max_size: int = DEFAULT_MAX_SIZE,
    force: bool = False,
    warn: Optional[Callable[[str], None]] = None,
) -> AddResult:
    """Put a driver into the project's JAR folder: a known name, a
    group:artifact:version coordinate, or a path to a JAR file.

    The file is written under a hidden temporary name and renamed once it
    has passed every check, so a refusal or an interruption (Ctrl-C,
    SIGTERM, SIGHUP) leaves the folder as it was. A JAR whose content or
    driver class is there already is not added unless `force`.
    """
    if warn is None:
        def warn(message: str) -> None:
            warnings.warn(message, UserWarning, stacklevel=3)

    coordinate = _source_kind(source)
    url = scheme = None
    if coordinate is not None:
        group, artifact, version = coordinate
        name = _usable_name(f"{artifact}-{version}")
        repository = repository or os.environ.get(REPOSITORY_ENV) or DEFAULT_REPOSITORY
        scheme = check_repository(repository, warn)
        url = artifact_url(repository, group, artifact, version)
    else:
        if not os.path.lexists(source):
            raise DriverError(f"{source}: no such file")
        if os.path.isdir(source):
            raise DriverError(f"{source} is a directory, not a JAR file")
        if not os.path.isfile(source):
            raise DriverError(f"{source} is not a regular file" if os.path.exists(source)
                              else f"{source} is a dangling symbolic link")
        name = _usable_name(os.path.basename(source))

    folder = jar_folder(project_dir)
    created = [d for d in (os.path.dirname(folder), folder) if not os.path.isdir(d)]
    try:
        with _signals_unwind():
            try:
                os.makedirs(folder, exist_ok=True)
            except OSError as e:
                raise DriverError(f"can't create the JAR folder {folder}: {e.strerror or e}") from None
            clear_leftovers(folder)
            return _add_into(source, coordinate, url, scheme, repository, name, folder, project_dir,
                             bool(created), progress_stream, timeout, max_size, force)
    except BaseException as e:
        for directory in reversed(created):
            try:
                os.rmdir(directory)
            except FileNotFoundError:
                continue  # never made
            except OSError:
                break  # not empty: someone else put something there
        if isinstance(e, _Terminated):
            # The handlers are the caller's again: let theirs (or the default, death) take it.
            signal.raise_signal(e.signum)
            raise DriverError(f"stopped by signal {e.signum}; nothing added") from None
        raise


def _add_into(source, coordinate, url, scheme, repository, name, folder, project_dir, created, progress_stream,
              timeout, max_size, force) -> AddResult:
    target = os.path.join(folder, name)
    present = PresentJars(project_dir)
    if os.path.lexists(target) and not os.path.isfile(target):  # never open a FIFO or follow a dangling link
        raise DriverError(f"{target} exists and is not a regular file; remove it first with "
                          f"'mur jdbc remove {name}'")
    # A download's own file name that holds no usable driver (cut short by
    # an older version, say) is fetched again.
    broken = coordinate is not None and os.path.isfile(target) and not present.drivers(target)
    if coordinate is not None and not force:
        if os.path.isfile(target) and not broken:
            return AddResult(name, present.drivers(target), False, created, name, "name")
        known_class = KNOWN_DRIVER_CLASSES.get(source)
        provider = present.providing([known_class]) if known_class else None
        if provider is not None:
            path, driver = provider
            return AddResult(name, [driver], False, created, os.path.basename(path), "driver")

    temp_path, fd = _create_part(folder, name)
    try:
        sha256 = hashlib.sha256()
        try:
            if coordinate is not None:
                def write(chunk: bytes) -> None:
                    sha256.update(chunk)
                    _write_all(fd, chunk, folder)

                size = download(url, scheme, repository, name, write, timeout, max_size, progress_stream)
            else:
                size = _copy(source, fd, folder, sha256)
            try:
                os.fsync(fd)
            except OSError as e:
                raise _disk_error(e, folder) from None
        finally:
            os.close(fd)
        what = url if coordinate is not None else source
        try:
            drivers = declared_drivers(temp_path)
        except DriverError as e:
            lead = f"{what} was downloaded, but" if coordinate is not None else f"{what} exists, but"
            raise DriverError(f"{lead} {e}; not added") from None
        digest = sha256.hexdigest()

        if os.path.isfile(target) and file_digest(target) == digest:
            return AddResult(name, drivers, False, created, name, "name")
        if not force:
            same = present.same_content(size, digest, besides=target)
            if same is not None:
                return AddResult(name, drivers, False, created, os.path.basename(same), "content")
            provider = present.providing(drivers, besides=target)
            if provider is not None:
                path, driver = provider
                raise DriverError(f"{name} provides {driver}, which {os.path.basename(path)} in {folder} provides "
                                  f"already; not added (remove that one first with 'mur jdbc remove "
                                  f"{os.path.basename(path)}', or add with --force)")
            if os.path.lexists(target) and not broken:
                raise DriverError(f"another file named {name} is already in {folder}; remove it first with "
                                  f"'mur jdbc remove {name}', or add with --force")
        try:
            os.chmod(temp_path, 0o644)
            os.replace(temp_path, target)
        except OSError as e:
            raise _disk_error(e, folder) from None
    except BaseException:
        try:
            os.unlink(temp_path)
        except OSError:
            pass
        raise
    return AddResult(name, drivers, True, created)


def _unreadable(source: str, error: OSError) -> DriverError:
    return DriverError(f"can't read {source}: {error.strerror or error}")


def _copy(source: str, fd: int, folder: str, sha256) -> int:
    try:
        src = open(source, "rb")
    except OSError as e:
        raise _unreadable(source, e) from None
    size = 0
    with src:
        while True:
            try:
                chunk = src.read(CHUNK)
            except OSError as e:
                raise _unreadable(source, e) from None
            if not chunk:
                return size
            size += len(chunk)
            sha256.update(chunk)
            _write_all(fd, chunk, folder)


def _known_file_names(known: str, names: List[str]) -> List[str]:
    """The files a known name stands for by their name: its pinned JAR, or any version of it."""
    _, artifact, version = KNOWN_DRIVERS[known]
    prefix = f"{artifact}-"
    return [
        n for n in names
        if n == f"{artifact}-{version}.jar"
        or (n.startswith(prefix) and n.endswith(".jar") and n[len(prefix):len(prefix) + 1].isdigit())
    ]


def remove_driver(name: str, project_dir: str) -> List[str]:
    """Remove a JAR from the project's folder by file name, or by known name:
    every JAR that provides its driver class, whatever the file is called. The
    names removed."""
    folder = jar_folder(project_dir)
    if "/" in name or name in ("", ".", ".."):
        raise DriverError(f"{name!r} is not a file name; 'mur jdbc list' shows the names")
    clear_leftovers(folder)
    try:
        present = sorted(os.listdir(folder))
    except OSError as e:
        raise DriverError(f"can't read {folder}: {e.strerror or e}") from None
    if name in present:
        chosen = [name]
    elif name in KNOWN_DRIVERS:
        known_class = KNOWN_DRIVER_CLASSES[name]
        by_class = [os.path.basename(p) for p in list_project_jars(project_dir).jars
                    if known_class in drivers_or_none(p)]
        chosen = sorted(set(by_class) | set(_known_file_names(name, present)))
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
