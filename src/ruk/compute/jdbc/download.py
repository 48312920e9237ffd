"""Downloads from a Maven repository (https://, http:// or a local file:///
path), bounded: one deadline for the whole download, checksum included, and a
size limit. The JAR is checked against the .sha256 (else .sha1) the repository
publishes beside it."""

from __future__ import annotations

import hashlib
import os
import re
import socket
import stat
import threading
import time
from typing import BinaryIO, Callable, List, NamedTuple, Optional, TextIO, Tuple

from ruk.compute.jdbc.jar import CHUNK, DriverError, one_line

DEFAULT_REPOSITORY = "https://repo1.maven.org/maven2"
DEFAULT_TIMEOUT = 120.0  # seconds for a whole download, checksum included
DEFAULT_MAX_SIZE = 64_000_000  # bytes; drivers are 1-20 MB
_MAX_CHECKSUM_FILE = 4096
_PROGRESS_AFTER = 0.5  # seconds before a download shows progress


def artifact_url(repository: str, group: str, artifact: str, version: str) -> str:
    """Where a Maven repository keeps an artifact's JAR (the standard layout)."""
    return f"{repository.rstrip('/')}/{group.replace('.', '/')}/{artifact}/{version}/{artifact}-{version}.jar"


def _unusable_repository(repository: str, error: Exception) -> DriverError:
    return DriverError(f"{repository!r} is not a usable repository URL ({one_line(error)})")


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
                           f"({type(reason).__name__}: {one_line(reason, 100) or 'empty'}); nothing added")
    text = getattr(reason, "strerror", None) or one_line(reason) or type(reason).__name__
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
                chunk = stream.body.read1(CHUNK)
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


def check_repository(repository: str, warn: Callable[[str], None]) -> str:
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


def download(url: str, scheme: str, repository: str, label: str, sink: Callable[[bytes], None], timeout: float,
             max_size: int, progress_stream: Optional[TextIO]) -> int:
    """Feed the JAR at `url` to `sink`, chunk by chunk; its size. DriverError,
    once `sink` had it all, when it does not match the published checksum."""
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
            sink(chunk)

        progress = _Progress(label, stream.length, progress_stream)
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
