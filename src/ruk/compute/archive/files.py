"""The directory of the driver's class-data-sharing archives and the files in it.

An archive is ``<key><suffix>`` with its record ``<key>.json`` (the file's
inode, size and times as its builder left it: an archive is only handed to
the JVM while they still hold). ``<key>.failed`` records the last failed
build of a key, ``build.log`` what builders did. Work files carry the host
name and the pid of the process that made them (``.<tag>~<host>~<pid>~...``):
a home shared between machines holds the work of several builders, and each
removes only its own host's leftovers whose process is gone.

Archives live in ``~/.mur/cds`` (``MUR_CDS_DIR`` overrides it). That
directory and every parent up to the home (or ``/``) must be safe from other
users, or no archive is used or built.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import socket
import stat
import time
import traceback
from typing import Any, Dict, List, Optional, Sequence, Tuple

from ruk.compute.host import home as mur_home
from ruk.compute.host.processes import pid_alive

__all__ = ["DIRECTORY_ENV", "KINDS", "archive_directory", "trusted_directory", "directory_problem", "valid_archive",
           "write_meta", "own_files", "prune", "record_failure", "failure", "log", "log_error"]

DIRECTORY_ENV = "MUR_CDS_DIR"

# About 150 MB each: those used most recently, within both bounds.
KEEP_ARCHIVES = 3
KEEP_BYTES = 600 << 20
# A build the JVM refused is not tried again for this long (seconds); one
# that was starved or ran out of time is tried again at the next start.
RETRY_AFTER = 6 * 3600
REFUSED = "refused"
# Wall time from a builder's start to its end, whatever the load: a build
# whose status file is older than this is abandoned (its host went down).
WALL_LIMIT = 2 * 3600.0
# The JVM writes the whole archive before it exits; anything smaller is not one.
MIN_ARCHIVE_SIZE = 1 << 20
LOG_NAME = "build.log"
LOG_LIMIT = 1 << 20
# How the log marks an error of this module's own (a bug, a PySpark change).
ERROR_MARK = "unexpected error in "

# First bytes of a dynamic (top-layer) archive: the magic 0xf00baba8, little-endian;
# an ahead-of-time cache is a static archive: 0xf00baba2.
DYNAMIC_MAGIC = b"\xa8\xab\x0b\xf0"
STATIC_MAGIC = b"\xa2\xab\x0b\xf0"

# A rejected archive is reported on standard output unless these tag sets are
# off. The JVM checks an archive's header, not its contents (unless
# -XX:+VerifySharedSpaces, which costs about a tenth of a start): a damaged
# archive of the right size would be mapped and break the JVM, so an archive
# is only used while its inode, size and times are those its builder recorded.
SILENT_OPTIONS = "-Xlog:cds=off -Xlog:cds+dynamic=off"
# The same for the ahead-of-time cache. Never -XX:AOTMode=on: it makes a
# rejected cache fatal. Not -XX:+VerifySharedSpaces either: its checksum of
# the 150 MB cache costs about 0.08 s of CPU at every start, and the record
# of the file (its inode and change time) already refuses any write to it.
AOT_SILENT_OPTIONS = "-Xlog:aot=off -Xlog:cds=off"

# What a builder can make, by kind: the option of the run that writes one
# into a file and of a start that uses it (each then the path), the logging
# options of both, and its first bytes. A kind's files are named <key><suffix>.
KINDS = {
    # About 150 MB.
    "cds": {"suffix": ".jsa", "magic": DYNAMIC_MAGIC, "min_java": 0, "silent": SILENT_OPTIONS,
            "dump_flag": "-XX:ArchiveClassesAtExit=", "use_flag": "-XX:SharedArchiveFile=", "space": 200 << 20},
    # The JVM writes <path>.config (about 175 MB) at exit, then a second JVM
    # assembles the cache (about 160 MB) from it and removes it.
    "aot": {"suffix": ".aot", "magic": STATIC_MAGIC, "min_java": 25, "silent": AOT_SILENT_OPTIONS,
            "dump_flag": "-XX:AOTCacheOutput=", "use_flag": "-XX:AOTCache=", "space": 400 << 20},
}

# The only names a builder gives its files: <key><suffix>, its record
# <key>.json and failure mark <key>.failed, and work files (below).
_OWN_NAME = re.compile(r"[0-9a-f]{32}(%s|\.json|\.failed)" % "|".join(re.escape(k["suffix"]) for k in KINDS.values()))
# .<tag>~<host>~<pid>~<rest>: temporary files, the build's working
# directory, the job handed to a builder, a builder's status.
_WORK_NAME = re.compile(r"\.(tmp|work|job|build)~([A-Za-z0-9._-]+)~([0-9]{1,10})~(.+)", re.DOTALL)


def archive_directory() -> Optional[str]:
    """Where archives go: MUR_CDS_DIR when absolute, else ~/.mur/cds; None
    when neither is usable (a relative MUR_CDS_DIR, no usable home)."""
    configured = os.environ.get(DIRECTORY_ENV)
    if configured:
        return configured if os.path.isabs(configured) else None
    return mur_home.mur_entry(mur_home.CDS_DIR_NAME)


def _from_home() -> bool:
    return not os.environ.get(DIRECTORY_ENV)


def trusted_directory(directory: str, create: bool = False) -> Optional[str]:
    """`directory` as the JVM will be given it, when no other user can change
    it or any of its parents; made private first when `create` asks."""
    from_home = _from_home()
    if create:
        try:
            if from_home:
                mur_home.mur_directory(create=True)
            mur_home.make_private_directory(directory)
        except OSError:
            return None
    return mur_home.trusted_path(directory, stop_at_home=from_home)


def directory_problem(directory: str, kind: str) -> Optional[str]:
    """Why no `kind` archive can ever be built in `directory` as things
    stand ("<path> is ..."), or None. A missing one is judged by the folder
    it would be made in."""
    from_home = _from_home()
    base, missing = directory, 0
    while not os.path.lexists(base) and os.path.dirname(base) != base:
        base, missing = os.path.dirname(base), missing + 1
    # What trusted_directory(create=True) makes: the folder, and ~/.mur for the default.
    made = 2 if from_home else 1
    if missing > made:
        return f"{os.path.dirname(os.path.dirname(directory)) if from_home else os.path.dirname(directory)} " \
               "does not exist"
    problem = mur_home.path_problem(base, from_home, leaf=not missing)
    if problem is not None:
        return problem
    real = os.path.realpath(base)
    if not mur_home.can_write(real):
        return f"{real} can't be written by you"
    try:
        info = os.statvfs(real)
    except OSError:
        return None
    free, needed = info.f_bavail * info.f_frsize, KINDS[kind]["space"]
    if free < needed:
        return f"{real} has too little room: {free >> 20} MB free, a build needs about {needed >> 20} MB"
    return None


def unpassable(path: str) -> Optional[str]:
    """Why the JVM can't be given `path` in an option, or None. Blanks and
    quotes are quoted (launch_plan), any letter passes as UTF-8."""
    if ":" in path:
        return "':' separates archives in the JVM's option"
    if any(not c.isprintable() for c in path):
        return "it holds a control character"
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return "it is not valid UTF-8"
    return None


# ---------------------------------------------------------------------------
# Work files: named for their host and process.
# ---------------------------------------------------------------------------


def host_name() -> str:
    return re.sub(r"[^A-Za-z0-9.-]", "_", socket.gethostname() or "localhost")


def work_name(tag: str, rest: str = "", pid: Optional[int] = None) -> str:
    return f".{tag}~{host_name()}~{os.getpid() if pid is None else pid}~{rest}"


def parse_work_name(name: str) -> Optional[List[str]]:
    """[tag, host, pid, rest] of a builder's work file's name, else None."""
    match = _WORK_NAME.fullmatch(name)
    return list(match.groups()) if match else None


def remove_leftovers(directory: str, gone: Sequence[Tuple[str, int]] = ()) -> None:
    """The user's work files that processes of this host that are gone left,
    and those of the (host, pid) pairs `gone` (abandoned builds); the work
    of other hosts (a shared home) and of live processes stays."""
    try:
        names = os.listdir(directory)
    except OSError:
        return
    host = host_name()
    for name in names:
        parts = parse_work_name(name)
        if parts is None:
            continue
        pid = int(parts[2])
        if (parts[1], pid) not in gone and (parts[1] != host or pid_alive(pid)):
            continue
        path = os.path.join(directory, name)
        try:
            info = os.lstat(path)
        except OSError:
            continue
        if info.st_uid != os.geteuid():
            continue
        if stat.S_ISDIR(info.st_mode):
            shutil.rmtree(path, ignore_errors=True)
        elif stat.S_ISREG(info.st_mode):
            unlink(path)


def unlink(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


# ---------------------------------------------------------------------------
# Validation and records.
# ---------------------------------------------------------------------------


def _ours(info: os.stat_result) -> bool:
    """Owned by this user and writable by nobody else: nobody else can plant it."""
    return info.st_uid == os.geteuid() and not info.st_mode & 0o022


def private_directory(directory: str) -> bool:
    return mur_home.folder_problem(directory, writable=False) is None


def read_json(path: str) -> Optional[Dict[str, Any]]:
    """A small JSON object from our own regular file, else None."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK)
    except OSError:
        return None
    with os.fdopen(fd, "rb") as f:
        info = os.fstat(f.fileno())
        if not stat.S_ISREG(info.st_mode) or not _ours(info):
            return None
        try:
            data = json.loads(f.read(1 << 16))
        except ValueError:
            return None
    return data if isinstance(data, dict) else None


def write_json(directory: str, name: str, data: Dict[str, Any]) -> None:
    """`name` in `directory` replaced atomically and durably by `data`; a
    failed write leaves the old file and no temporary one."""
    temp = os.path.join(directory, work_name("tmp", name))
    try:
        with open(os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600),
                  "w") as f:
            json.dump(data, f)
            f.flush()
            os.fsync(f.fileno())
        os.rename(temp, os.path.join(directory, name))
    except BaseException:
        unlink(temp)
        raise
    try:
        dir_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return
    try:
        os.fsync(dir_fd)  # the rename itself
    except OSError:
        pass
    finally:
        os.close(dir_fd)


def file_record(info: os.stat_result) -> Dict[str, int]:
    """What changes whenever a file is written, replaced or copied: a write
    moves the change time, which no user can set back."""
    return {"ino": info.st_ino, "size": info.st_size, "mtime_ns": info.st_mtime_ns, "ctime_ns": info.st_ctime_ns}


def archive_file_ok(path: str, record: Optional[Dict[str, Any]], kind: str = "cds") -> Optional[os.stat_result]:
    """The file's status when `path` is our own regular file with the magic
    of a `kind` archive and, given a `record`, unchanged since then; else None."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK)
    except OSError:
        return None
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode) or not _ours(info) or info.st_size < MIN_ARCHIVE_SIZE:
            return None
        if record is not None and any(record.get(k) != v for k, v in file_record(info).items()):
            return None
        magic = KINDS[kind]["magic"]
        if os.pread(fd, len(magic), 0) != magic:
            return None
        return info
    finally:
        os.close(fd)


def valid_archive(directory: str, key: str, kind: str = "cds") -> Optional[str]:
    """The path of the `kind` archive for `key` when it can be used, else None."""
    path = os.path.join(directory, key + KINDS[kind]["suffix"])
    if unpassable(path) or not private_directory(directory):
        return None
    meta = read_json(os.path.join(directory, key + ".json"))
    if meta is None or meta.get("key") != key or not isinstance(meta.get("file"), dict):
        return None
    if meta.get("kind", "cds") != kind:
        return None
    return path if archive_file_ok(path, meta["file"], kind) is not None else None


def write_meta(directory: str, key: str, kind: str = "cds", **extra: Any) -> None:
    """Records the archive now in place for `key` (its side file, replaced atomically)."""
    info = os.lstat(os.path.join(directory, key + KINDS[kind]["suffix"]))
    write_json(directory, key + ".json", dict(extra, key=key, kind=kind, file=file_record(info)))


def note_use(directory: str, key: str) -> None:
    """The archive's side file's time is its last use: eviction keeps the
    archives in use, not the newest builds."""
    try:
        os.utime(os.path.join(directory, key + ".json"), follow_symlinks=False)
    except OSError:
        pass


def record_failure(directory: str, key: str, reason: str, why: str) -> None:
    """`key`'s last build failed for `reason` (REFUSED: the JVM refused the
    set-up, which waits RETRY_AFTER; anything else is tried at the next start)."""
    try:
        write_json(directory, key + ".failed", {"reason": reason, "why": why[:2000], "at": time.time()})
    except OSError:
        pass


def failure(directory: str, key: str) -> Optional[Dict[str, Any]]:
    """The record of `key`'s last failed build, with "retry_at" (the time a
    start tries again; 0 for the next start)."""
    record = read_json(os.path.join(directory, key + ".failed"))
    if record is None:
        return None
    at = record.get("at") if isinstance(record.get("at"), (int, float)) else 0.0
    record["retry_at"] = at + RETRY_AFTER if record.get("reason") == REFUSED else 0.0
    return record


def blocked(directory: str, key: str) -> bool:
    """Whether a build of `key` waits after the JVM refused it lately."""
    record = failure(directory, key)
    return record is not None and record["retry_at"] > time.time()


def prune(directory: str, keep_key: Optional[str] = None, keep: int = KEEP_ARCHIVES,
          keep_bytes: int = KEEP_BYTES) -> None:
    """Keeps the archives used most recently (`keep_key`'s first) within
    `keep` files and `keep_bytes`; removes the others with their side files,
    and failure records older than RETRY_AFTER."""
    now = time.time()
    archives = []
    for name, path, info in own_files(directory):
        stem, _, suffix = name.rpartition(".")
        if suffix == "failed" and now - info.st_mtime > RETRY_AFTER:
            unlink(path)
        elif "." + suffix in [kind["suffix"] for kind in KINDS.values()]:
            try:
                used = max(info.st_mtime, os.lstat(os.path.join(directory, stem + ".json")).st_mtime)
            except OSError:
                used = info.st_mtime
            archives.append((stem == keep_key, used, info.st_size, stem, name))
    archives.sort(reverse=True)
    kept, total = set(), 0
    for _, _, size, stem, _ in archives:
        if len(kept) < keep and (not kept or total + size <= keep_bytes):
            kept.add(stem)
            total += size
    for _, _, _, stem, name in archives:
        if stem not in kept:
            for leftover in (name, stem + ".json"):
                unlink(os.path.join(directory, leftover))


def own_files(directory: str) -> List[Any]:
    """(name, path, lstat) of what builders made in the directory, work files
    aside: the user's regular files named as a builder names them."""
    found = []
    try:
        names = os.listdir(directory)
    except OSError:
        return found
    for name in names:
        if not _OWN_NAME.fullmatch(name):
            continue
        path = os.path.join(directory, name)
        try:
            info = os.lstat(path)
        except OSError:
            continue
        if stat.S_ISREG(info.st_mode) and info.st_uid == os.geteuid():
            found.append((name, path, info))
    return found


# ---------------------------------------------------------------------------
# The build log: what builders did, and this module's own errors.
# ---------------------------------------------------------------------------


def log(directory: Optional[str], message: str, create: bool = False) -> None:
    """A line in `directory`'s build log (made when `create` asks), when it
    is a safe directory; never raises."""
    try:
        real = trusted_directory(directory, create) if directory else None
        if real is None:
            return
        fd = os.open(os.path.join(real, LOG_NAME), os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_NOFOLLOW
                     | os.O_CLOEXEC, 0o600)
        with os.fdopen(fd, "a", encoding="utf-8", errors="replace") as f:
            if os.fstat(fd).st_size > LOG_LIMIT:
                os.ftruncate(fd, 0)
            f.write(f"{time.strftime('%Y-%m-%d %H:%M:%S')} [{os.getpid()}@{host_name()}] {message}\n")
    except Exception:
        pass


def log_error(where: str) -> None:
    """The exception being handled, with its traceback, in the build log: the
    start goes on without an archive, but the error stays visible."""
    log(archive_directory(), ERROR_MARK + where + ":\n" + traceback.format_exc().rstrip())
