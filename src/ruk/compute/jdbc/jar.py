"""Reading a JDBC driver JAR, bounded: the driver classes its
`META-INF/services/java.sql.Driver` declares and whether the JAR holds them;
and the JARs a project's folder holds, by content and driver class.

At most 64 KB of the service file is read, whatever its entry claims, and the
table of contents only when it is of a sane size, so a zip bomb costs nothing."""

from __future__ import annotations

import hashlib
import os
import re
import struct
import zipfile
import zlib
from typing import BinaryIO, Dict, List, Optional, Tuple

from ruk.compute.jar_provisioning import list_project_jars
from ruk_common.exceptions import RukError

DRIVER_SERVICE = "META-INF/services/java.sql.Driver"
CHUNK = 1 << 16

_JAVA_NAME = r"(?:[^\W\d]|\$)[\w$]*"
_CLASS_NAME = re.compile(rf"{_JAVA_NAME}(?:\.{_JAVA_NAME})*")
_MAX_SERVICE_FILE = 64 * 1024
# A JAR's table of contents is read whole, each entry costing some hundred
# bytes of memory: 8 MB of it are about 100,000 entries, five times the
# largest drivers.
_MAX_DIRECTORY = 8 * 1024 * 1024


class DriverError(RukError):
    """A refusal or failure, told in one line."""


def one_line(text: object, limit: int = 160) -> str:
    """Text from elsewhere (a server, an archive) fit for a one-line message."""
    flat = " ".join("".join(c if c.isprintable() else " " for c in str(text)).split())
    return flat if len(flat) <= limit else flat[:limit] + "..."


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
        raise DriverError(f"it is not a valid JAR ({one_line(e)})") from None
    except zlib.error as e:
        raise DriverError(f"it is not a valid JAR (corrupt compressed data: {one_line(e)})") from None
    except OSError as e:
        raise DriverError(f"it can't be read ({e.strerror or one_line(e)})") from None
    except (RuntimeError, NotImplementedError, ValueError, EOFError, OverflowError, struct.error) as e:
        raise DriverError(f"it is not a usable JAR ({one_line(e)})") from None
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
        raise DriverError(f"it is not a JDBC driver ({DRIVER_SERVICE} names {one_line(missing[0], 100)}, "
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


def drivers_or_none(path: str) -> List[str]:
    try:
        return declared_drivers(path)
    except DriverError:
        return []


def file_digest(path: str, algorithm: str = "sha256") -> Optional[str]:
    digest = hashlib.new(algorithm)
    try:
        with open(path, "rb") as f:
            for chunk in iter(lambda: f.read(CHUNK), b""):
                digest.update(chunk)
    except OSError:
        return None
    return digest.hexdigest()


class PresentJars:
    """The JARs in the folder, with their sizes, digests and driver classes read on demand."""

    def __init__(self, project_dir: str) -> None:
        self.paths = list_project_jars(project_dir).jars
        self._drivers: Dict[str, List[str]] = {}

    def drivers(self, path: str) -> List[str]:
        if path not in self._drivers:
            self._drivers[path] = drivers_or_none(path)
        return self._drivers[path]

    def same_content(self, size: int, sha256: str, besides: str = "") -> Optional[str]:
        for path in self.paths:
            try:
                if path == besides or os.path.getsize(path) != size:
                    continue
            except OSError:
                continue
            if file_digest(path) == sha256:
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
