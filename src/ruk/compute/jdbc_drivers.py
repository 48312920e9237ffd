"""JDBC drivers for a project: fetched from a Maven repository or copied from
a file into `.mur/jdbc_jars`, checked, listed and removed. The `mur jdbc`
commands are thin wrappers around this module.

Everything that reads a repository or a JAR is bounded: one deadline for the
whole download, a size limit, at most 64 KB read from a JAR's service file
and a JAR's table of contents read only when it is of a sane size. A
download is written to a hidden `.<name>.<pid>.part` file and renamed once it
has passed every check; the next add, list or remove deletes the `.part`
files of processes that are gone."""

from __future__ import annotations

import errno
import hashlib
import os
import re
import signal
import socket
import stat
import struct
import threading
import time
import warnings
import zipfile
import zlib
from contextlib import contextmanager
from typing import BinaryIO, Callable, Dict, Iterator, List, NamedTuple, Optional, TextIO, Tuple

from ruk.compute.jar_provisioning import LIST_SEPARATORS, jar_folder, list_project_jars

__all__ = [
    "DEFAULT_MAX_SIZE",
    "DEFAULT_REPOSITORY",
    "DEFAULT_TIMEOUT",
    "KNOWN_DRIVERS",
    "KNOWN_DRIVER_CLASSES",
    "REPOSITORY_ENV",
    "AddResult",
    "DriverError",
    "add_driver",
    "artifact_url",
    "clear_leftovers",
    "declared_drivers",
    "describe_drivers",
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
# The driver class of each known name: what `remove NAME` looks for, and
# what makes `add NAME` a no-op when another JAR already provides it.
KNOWN_DRIVER_CLASSES: Dict[str, str] = {
    "postgresql": "org.postgresql.Driver",
    "mysql": "com.mysql.cj.jdbc.Driver",
    "mariadb": "org.mariadb.jdbc.Driver",
    "sqlite": "org.sqlite.JDBC",
    "sqlserver": "com.microsoft.sqlserver.jdbc.SQLServerDriver",
}
DEFAULT_REPOSITORY = "https://repo1.maven.org/maven2"
REPOSITORY_ENV = "MUR_MAVEN_REPOSITORY"
DRIVER_SERVICE = "META-INF/services/java.sql.Driver"
DEFAULT_TIMEOUT = 120.0  # seconds for a whole download, checksum included
DEFAULT_MAX_SIZE = 64_000_000  # bytes; drivers are 1-20 MB

_COORDINATE_PART = re.compile(r"[A-Za-z0-9_.\-]+")
_JAVA_NAME = r"(?:[^\W\d]|\$)[\w$]*"
_CLASS_NAME = re.compile(rf"{_JAVA_NAME}(?:\.{_JAVA_NAME})*")
_PART_FILE = re.compile(r"\.(.+)\.([0-9]{1,10})\.part")
_MAX_SERVICE_FILE = 64 * 1024
# A JAR's table of contents is read whole, each entry costing some hundred
# bytes of memory: 8 MB of it are about 100,000 entries, five times the
# largest drivers.
_MAX_DIRECTORY = 8 * 1024 * 1024
_MAX_CHECKSUM_FILE = 4096
_PROGRESS_AFTER = 0.5  # seconds before a download shows progress
_CHUNK = 1 << 16


class DriverError(Exception):
    """A refusal or failure, told in one line."""


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


def _one_line(text: object, limit: int = 160) -> str:
    """Text from elsewhere (a server, an archive) fit for a one-line message."""
    flat = " ".join("".join(c if c.isprintable() else " " for c in str(text)).split())
    return flat if len(flat) <= limit else flat[:limit] + "..."


def _unusable_repository(repository: str, error: Exception) -> DriverError:
    return DriverError(f"{repository!r} is not a usable repository URL ({_one_line(error)})")


# --- reading a JAR, bounded ------------------------------------------------------------------------


def _directory_size(f: BinaryIO) -> Optional[int]:
    """The size of a zip archive's central directory, from its end record; None when there is none."""
    f.seek(0, os.SEEK_END)
    size = f.tell()
    tail_size = min(size, 22 + 0xFFFF)  # the end record, after a comment of at most 64 KB
    f.seek(size - tail_size)
    tail = f.read(tail_size)
    at = tail.rfind(b"PK\x05\x06")
    if at < 0 or len(tail) - at < 22:
        return None
    directory = struct.unpack_from("<L", tail, at + 12)[0]
    if directory == 0xFFFFFFFF and at >= 20 and tail[at - 20:at - 16] == b"PK\x06\x07":
        f.seek(struct.unpack_from("<Q", tail, at - 12)[0])
        record = f.read(56)
        if len(record) == 56 and record[:4] == b"PK\x06\x06":
            directory = struct.unpack_from("<Q", record, 40)[0]
    return directory


def _jar_classes(path: str) -> Tuple[List[str], List[str]]:
    """The driver classes a JAR's service file names, and those of them the
    JAR does not contain. DriverError, worded "it ...", when it is no JAR or
    names none."""
    try:
        with open(path, "rb") as f:
            directory = _directory_size(f)
            if directory is not None and directory > _MAX_DIRECTORY:
                raise DriverError(f"it is not a usable JAR (its table of contents takes {directory:,} bytes, "
                                  f"more than {_MAX_DIRECTORY // 2**20} MB)")
            with zipfile.ZipFile(f) as jar:
                try:
                    info = jar.getinfo(DRIVER_SERVICE)
                except KeyError:
                    raise DriverError(f"it declares no JDBC driver (no {DRIVER_SERVICE})") from None
                if info.file_size > _MAX_SERVICE_FILE:
                    raise DriverError(f"it is not a JDBC driver ({DRIVER_SERVICE} claims {info.file_size:,} bytes, "
                                      f"more than {_MAX_SERVICE_FILE // 1024} KB)")
                if info.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
                    raise DriverError(f"it is not a JAR Java can read ({DRIVER_SERVICE} is compressed "
                                      f"with method {info.compress_type})")
                with jar.open(info) as entry:
                    # The declared size may lie: never read more than the limit.
                    data = entry.read(_MAX_SERVICE_FILE + 1)
                if len(data) > _MAX_SERVICE_FILE:
                    raise DriverError(f"it is not a JDBC driver ({DRIVER_SERVICE} is larger than "
                                      f"{_MAX_SERVICE_FILE // 1024} KB)")
                entries = set(jar.namelist())
    except DriverError:
        raise
    except zipfile.BadZipFile as e:
        if str(e) == "File is not a zip file":
            raise DriverError("it is not a JAR (not a zip archive)") from None
        raise DriverError(f"it is not a valid JAR ({_one_line(e)})") from None
    except zlib.error as e:
        raise DriverError(f"it is not a valid JAR (corrupt compressed data: {_one_line(e)})") from None
    except OSError as e:
        raise DriverError(f"it can't be read ({e.strerror or _one_line(e)})") from None
    except (RuntimeError, NotImplementedError, ValueError, EOFError, OverflowError, struct.error) as e:
        raise DriverError(f"it is not a usable JAR ({_one_line(e)})") from None
    text = data.decode("utf-8", "replace")
    classes = [line.split("#", 1)[0].strip() for line in text.splitlines()]
    classes = [c for c in classes if c]
    if not classes:
        raise DriverError(f"it declares no JDBC driver ({DRIVER_SERVICE} is empty)")
    missing = [c for c in classes
               if not _CLASS_NAME.fullmatch(c) or c.replace(".", "/") + ".class" not in entries]
    return classes, missing


def declared_drivers(path: str) -> List[str]:
    """The driver classes a JAR declares and contains; DriverError, worded
    "it ...", when it is no JAR, declares none, or names a class it lacks."""
    classes, missing = _jar_classes(path)
    if missing:
        raise DriverError(f"it is not a JDBC driver ({DRIVER_SERVICE} names {_one_line(missing[0], 100)}, "
                          "which is not in the JAR)")
    return classes


def describe_drivers(path: str) -> Tuple[List[str], str]:
    """The driver classes of a listed JAR and their names, or [] and why it
    has none, for `mur jdbc list`."""
    try:
        classes = declared_drivers(path)
    except DriverError as e:
        return [], f"({e})"
    return classes, ", ".join(classes)


def _drivers_or_none(path: str) -> List[str]:
    try:
        return declared_drivers(path)
    except DriverError:
        return []


def _file_digest(path: str, algorithm: str = "sha256") -> Optional[str]:
    digest = hashlib.new(algorithm)
    try:
        with open(path, "rb") as f:
            for chunk in iter(lambda: f.read(_CHUNK), b""):
                digest.update(chunk)
    except OSError:
        return None
    return digest.hexdigest()


# --- partial files ---------------------------------------------------------------------------------


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True  # another user's process
    except (OSError, OverflowError):
        return False
    return True


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
        if pid <= 0 or _alive(pid):
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
    return DriverError(f"disk error: can't write in {folder}: {e.strerror or _one_line(e)}; nothing added")


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


# --- the network, bounded ----------------------------------------------------------------------------


class _Deadline:
    """One time limit for everything a download does: when it passes, a
    timer shuts down the connections it opened, so a read that is waiting
    returns at once instead of at the socket's own timeout."""

    def __init__(self, seconds: float, repository: str) -> None:
        self.seconds, self.repository = seconds, repository
        self.end = time.monotonic() + seconds
        self.expired = False
        self._sockets: List[socket.socket] = []
        self._lock = threading.Lock()
        self._timer = threading.Timer(seconds, self._expire)
        self._timer.daemon = True
        self._timer.start()

    def _shut(self, sock: socket.socket) -> None:
        try:
            # The plain socket's shutdown: a TLS socket's own would drop its state under a reader.
            socket.socket.shutdown(sock, socket.SHUT_RDWR)
        except OSError:
            pass  # closed already

    def _expire(self) -> None:
        with self._lock:
            self.expired = True
            for sock in self._sockets:
                self._shut(sock)

    def track(self, sock: socket.socket) -> None:
        with self._lock:
            self._sockets.append(sock)
            if self.expired:
                self._shut(sock)

    def error(self) -> DriverError:
        return DriverError(f"time limit: the download from {self.repository} took more than "
                           f"{self.seconds:g} s; nothing added (--timeout sets the limit)")

    def remaining(self) -> float:
        left = self.end - time.monotonic()
        if self.expired or left <= 0:
            raise self.error()
        return left

    def cancel(self) -> None:
        self._timer.cancel()
        with self._lock:
            self._sockets.clear()


def _opener(deadline: _Deadline):
    """A urllib opener (proxies and redirects as usual) whose connections the deadline can cut."""
    import http.client
    import urllib.request

    def tracked(base):
        class Connection(base):
            def connect(self):
                self.timeout = deadline.remaining()
                super().connect()
                deadline.track(self.sock)

        return Connection

    http_connection = tracked(http.client.HTTPConnection)

    class HTTPHandler(urllib.request.HTTPHandler):
        def http_open(self, req):
            return self.do_open(http_connection, req)

    class RedirectHandler(urllib.request.HTTPRedirectHandler):
        def redirect_request(self, req, fp, code, msg, headers, newurl):
            fp.close()  # urllib would read the body of the redirect whole, however long it is
            return super().redirect_request(req, fp, code, msg, headers, newurl)

    handlers = [HTTPHandler(), RedirectHandler()]
    if hasattr(urllib.request, "HTTPSHandler"):
        https_connection = tracked(http.client.HTTPSConnection)

        class HTTPSHandler(urllib.request.HTTPSHandler):
            def https_open(self, req):
                return self.do_open(https_connection, req, context=self._context)

        handlers.append(HTTPSHandler())
    return urllib.request.build_opener(*handlers)


def _transfer_error(e: BaseException, repository: str, what: str, deadline: _Deadline, opening: bool) -> DriverError:
    import http.client

    if deadline.expired:
        return deadline.error()
    reason = getattr(e, "reason", None) or e  # a URLError carries the cause
    if isinstance(reason, http.client.HTTPException) and not isinstance(reason, ConnectionError):
        return DriverError(f"protocol error: {repository} sent a malformed HTTP answer for {what} "
                           f"({type(reason).__name__}: {_one_line(reason, 100) or 'empty'}); nothing added")
    text = getattr(reason, "strerror", None) or _one_line(reason) or type(reason).__name__
    if opening:
        return DriverError(f"network error: can't reach the repository {repository}: {text}")
    return DriverError(f"network error: the download of {what} from {repository} broke off: {text}; nothing added")


def _file_repository_path(url: str, repository: str) -> str:
    import urllib.parse
    import urllib.request

    parts = urllib.parse.urlsplit(url)
    if parts.netloc not in ("", "localhost"):
        raise DriverError(f"{repository} names the host {parts.netloc!r}: a file: repository must be on this "
                          "machine (file:///path)")
    return urllib.request.url2pathname(parts.path)


class _Stream(NamedTuple):
    body: BinaryIO  # has read1
    length: Optional[int]  # when announced


def _open(url: str, what: str, repository: str, deadline: _Deadline, opener) -> Optional[_Stream]:
    """What the repository holds at `url`; None when it has nothing there."""
    import http.client
    import urllib.error

    if opener is None:  # a file: repository
        path = _file_repository_path(url, repository)
        try:
            fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))  # a FIFO must not block
        except (FileNotFoundError, NotADirectoryError):
            return None
        except OSError as e:
            raise DriverError(f"can't read {path} in the repository {repository}: {e.strerror}") from None
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            os.close(fd)
            raise DriverError(f"{path} in the repository {repository} is not a regular file")
        return _Stream(os.fdopen(fd, "rb"), info.st_size)

    try:
        response = opener.open(url, timeout=deadline.remaining())
    except urllib.error.HTTPError as e:
        e.close()
        if e.code in (404, 410):
            return None
        raise DriverError(f"the repository answered HTTP {e.code} for {what} ({url})") from None
    except http.client.InvalidURL as e:
        raise _unusable_repository(repository, e) from None
    except (OSError, http.client.HTTPException) as e:  # a certificate error is a ValueError too
        raise _transfer_error(e, repository, what, deadline, opening=True) from None
    except ValueError as e:  # a URL urllib can't take apart
        raise _unusable_repository(repository, e) from None
    length = response.headers.get("Content-Length", "")
    return _Stream(response, int(length) if length.strip().isdigit() else None)


def _not_found(url: str, opener) -> DriverError:
    if opener is None:
        return DriverError(f"not found in the file: repository: {url} does not exist")
    return DriverError(f"not found in the repository (HTTP 404): {url}")


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


def _read_stream(stream: _Stream, url: str, what: str, repository: str, deadline: _Deadline, limit: int,
                 sink: Callable[[bytes], None], progress: Optional[_Progress] = None, cut: bool = False) -> int:
    """Feed the body to `sink` chunk by chunk; the number of bytes. Past
    `limit` bytes: a size error, or with `cut` the end of the reading."""
    import http.client

    def too_large() -> DriverError:
        return DriverError(f"size limit: {url} is larger than {limit / 1e6:g} MB; nothing added "
                           "(--max-size sets the limit)")

    if stream.length is not None and stream.length > limit and not cut:
        raise too_large()
    done = 0
    with stream.body:
        while True:
            try:
                chunk = stream.body.read1(_CHUNK)
            except (OSError, http.client.HTTPException, ValueError) as e:
                raise _transfer_error(e, repository, what, deadline, opening=False) from None
            if not chunk:
                break
            if cut and done + len(chunk) > limit:
                sink(chunk[:limit - done])
                return limit
            done += len(chunk)
            if done > limit:
                raise too_large()
            deadline.remaining()
            sink(chunk)
            if progress is not None:
                progress.update(done)
    if deadline.expired:  # a connection cut by the timer ends like a short body
        raise deadline.error()
    if stream.length is not None and done != stream.length:  # http.client takes an early close for the end
        raise DriverError(f"network error: the download of {what} from {repository} broke off after "
                          f"{done} of {stream.length} bytes; nothing added")
    return done


def _published_checksum(url: str, repository: str, deadline: _Deadline, opener) -> Tuple[str, str]:
    """(algorithm, hex digest) published beside `url`: .sha256, else .sha1."""
    for algorithm, length in (("sha256", 64), ("sha1", 40)):
        stream = _open(f"{url}.{algorithm}", "the checksum", repository, deadline, opener)
        if stream is None:
            continue
        received = bytearray()
        # A checksum file is a line: what follows its first 4 KB is not read.
        _read_stream(stream, f"{url}.{algorithm}", "the checksum", repository, deadline, _MAX_CHECKSUM_FILE,
                     received.extend, cut=True)
        text = bytes(received).decode("ascii", "replace").split()
        digest = text[0].lower() if text else ""
        if not re.fullmatch(f"[0-9a-f]{{{length}}}", digest):
            raise DriverError(f"checksum error: the checksum published at {url}.{algorithm} is malformed; "
                              "nothing added")
        return algorithm, digest
    raise DriverError(f"checksum error: no checksum (.sha256 or .sha1) is published beside {url}; nothing added")


def _is_loopback(host: Optional[str]) -> bool:
    import ipaddress

    if not host:
        return False
    host = host.lower()
    if host == "localhost" or host.endswith(".localhost"):
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _check_repository(repository: str, warn: Callable[[str], None]) -> str:
    """The scheme of a repository URL, lower-cased; DriverError for anything but http(s) and file."""
    import urllib.parse

    try:
        parts = urllib.parse.urlsplit(repository)
        host = parts.hostname
    except ValueError as e:
        raise _unusable_repository(repository, e) from None
    scheme = parts.scheme.lower()
    if scheme not in ("http", "https", "file"):
        raise DriverError(f"{repository!r} is not a repository URL (http://, https:// or file:)")
    if scheme == "file":
        root = _file_repository_path(repository, repository)
        if not os.path.isdir(root):
            raise DriverError(f"the file: repository {repository} is not a directory on this machine")
    if scheme == "http" and not _is_loopback(host):
        warn(f"{repository} is plain http://: its checksum then proves only that the download is intact, "
             "not that it comes from the repository; prefer https://")
    return scheme


# --- add, remove -----------------------------------------------------------------------------------


def _usable_name(name: str) -> str:
    if not name.endswith(".jar"):
        name += ".jar"
    if name.startswith(".") or any(s in name for s in LIST_SEPARATORS):
        raise DriverError(f"{name!r} can't be used as a JAR name (it starts with '.' or holds ',' or ':'); rename the file")
    return name


class _Present:
    """The JARs in the folder, with their sizes, digests and driver classes read on demand."""

    def __init__(self, project_dir: str) -> None:
        self.paths = list_project_jars(project_dir).jars
        self._drivers: Dict[str, List[str]] = {}

    def drivers(self, path: str) -> List[str]:
        if path not in self._drivers:
            self._drivers[path] = _drivers_or_none(path)
        return self._drivers[path]

    def same_content(self, size: int, sha256: str, besides: str = "") -> Optional[str]:
        for path in self.paths:
            try:
                if path == besides or os.path.getsize(path) != size:
                    continue
            except OSError:
                continue
            if _file_digest(path) == sha256:
                return path
        return None

    def providing(self, classes: List[str], besides: str = "") -> Optional[Tuple[str, str]]:
        for path in self.paths:
            if path == besides:
                continue
            for driver in self.drivers(path):
                if driver in classes:
                    return path, driver
        return None


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
        scheme = _check_repository(repository, warn)
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
    present = _Present(project_dir)
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
                size = _download(url, scheme, repository, name, fd, folder, timeout, max_size, sha256,
                                 progress_stream)
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

        if os.path.isfile(target) and _file_digest(target) == digest:
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


def _download(url, scheme, repository, name, fd, folder, timeout, max_size, sha256, progress_stream) -> int:
    deadline = _Deadline(timeout, repository)
    try:
        opener = None if scheme == "file" else _opener(deadline)
        # The JAR's answer first, so that a missing one is "not found" rather
        # than "no checksum"; its body waits for the checksum.
        stream = _open(url, "the JAR", repository, deadline, opener)
        if stream is None:
            raise _not_found(url, opener)
        try:
            algorithm, expected = _published_checksum(url, repository, deadline, opener)
        except BaseException:
            stream.body.close()
            raise
        published = hashlib.new(algorithm)

        def keep(chunk: bytes) -> None:
            published.update(chunk)
            sha256.update(chunk)
            _write_all(fd, chunk, folder)

        progress = _Progress(name, stream.length, progress_stream)
        try:
            size = _read_stream(stream, url, "the JAR", repository, deadline, max_size, keep, progress)
        finally:
            progress.close()
    finally:
        deadline.cancel()
    if published.hexdigest() != expected:
        raise DriverError(f"checksum error: the {algorithm} checksum of {url} does not match the published one; "
                          "nothing added")
    return size


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
                chunk = src.read(_CHUNK)
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
                    if known_class in _drivers_or_none(p)]
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
