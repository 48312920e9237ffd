"""The user's own directories: the home, ``~/.mur`` in it, and whether a
path is one that no other user can change.

The names of ``~/.mur`` and of what it holds are written here only (the
project's own ``.mur/jdbc_jars`` takes the same names, through
jar_provisioning.jar_folder). Every place that keeps files in the user's home
asks here, so that a process
without a usable home (``HOME`` unset with no passwd entry, ``~``, a relative
path: arbitrary-uid containers, stripped environments) never creates anything
relative to its working directory.
"""

from __future__ import annotations

import os
import stat
from typing import Optional, Tuple

__all__ = ["home_directory", "mur_directory", "mur_entry", "jar_cache_directory", "trusted_path", "path_problem",
           "make_private_directory", "private_folder", "folder_problem", "can_write"]

MUR_NAME = ".mur"
JAR_DIR_NAME = "jdbc_jars"  # the JDBC driver JARs, in ~/.mur and in a project's .mur
CDS_DIR_NAME = "cds"  # class-data-sharing archives
JAVA_CHOICE_NAME = "java.json"  # the Java that `mur java set` recorded
SPARE_DIR_NAME = "spare"  # the spare driver JVMs' records and sockets


def home_directory() -> Optional[str]:
    """The user's home as an absolute path, or None when there is no usable one."""
    home = os.environ.get("HOME")
    if home is None:
        try:
            import pwd

            home = pwd.getpwuid(os.getuid()).pw_dir
        except (KeyError, ImportError):
            return None
    if not home or not os.path.isabs(home):
        return None
    return os.path.normpath(home)


def make_private_directory(path: str) -> None:
    """Creates `path` (its parent must exist) with mode 0700 whatever the
    umask; an existing one is left as it is."""
    try:
        os.mkdir(path, 0o700)
    except FileExistsError:
        return
    os.chmod(path, 0o700)  # a umask such as 0o277 would have taken more than group and other bits


_FILE_KINDS = ((stat.S_ISREG, "a file"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
               (stat.S_ISLNK, "a symbolic link"), (stat.S_ISCHR, "a device"), (stat.S_ISBLK, "a device"))


def folder_problem(path: str, writable: bool = True, info: Optional[os.stat_result] = None) -> Optional[str]:
    """Why `path` is no private folder of the user's, as "is ..." (or None
    when it is one): a directory, not a link, that the user owns and nobody
    else can write, and, when `writable` asks, that the user can write.
    `info` is its lstat when the caller has it (an fstat of what it opened)."""
    try:
        info = os.lstat(path) if info is None else info
    except FileNotFoundError:
        return "does not exist"
    except OSError as e:
        return f"can't be looked at ({e.strerror})"
    if not stat.S_ISDIR(info.st_mode):
        kind = next((name for test, name in _FILE_KINDS if test(info.st_mode)), "no folder")
        return f"is {kind}, not a folder"
    if info.st_uid != os.geteuid():
        return f"belongs to another user (uid {info.st_uid})"
    if info.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        return "is open to other users (others can write to it)"
    if writable and not can_write(path):
        return "can't be written by you"
    return None


def can_write(path: str) -> bool:
    """Whether this process can make files in the folder `path` (a read-only
    file system included)."""
    return os.access(path, os.W_OK | os.X_OK, effective_ids=os.access in os.supports_effective_ids)


def private_folder(path: str) -> Optional[str]:
    """Makes `path` (its parent must exist) a private folder when it is
    missing; why it is none (folder_problem), or None."""
    try:
        make_private_directory(path)
    except OSError as e:
        return f"can't be made ({e.strerror})"
    return folder_problem(path)


def mur_directory(create: bool = False) -> Optional[str]:
    """``~/.mur``, made private when `create` asks for it and it is missing;
    None without a usable home. OSError when it cannot be made."""
    home = home_directory()
    if home is None:
        return None
    path = os.path.join(home, MUR_NAME)
    if create:
        make_private_directory(path)
    return path


def mur_entry(name: str) -> Optional[str]:
    """``~/.mur/<name>``, made or not; None without a usable home."""
    mur = mur_directory()
    return None if mur is None else os.path.join(mur, name)


def jar_cache_directory() -> str:
    """``~/.mur/jdbc_jars``, made when it can be; its path is handed on
    either way. Without a usable home nothing is made and the path is the
    unexpanded one, which nothing creates."""
    mur = mur_directory()
    if mur is None:
        return os.path.join(os.path.expanduser("~/" + MUR_NAME), JAR_DIR_NAME)
    path = os.path.join(mur, JAR_DIR_NAME)
    try:
        mur_directory(create=True)
        make_private_directory(path)
    except OSError:
        pass  # a read-only home, a file in the way: nothing reads it yet
    return path


def _component_problem(info: os.stat_result, uid: int) -> Optional[str]:
    if not stat.S_ISDIR(info.st_mode):
        return "is no folder"
    if info.st_uid not in (uid, 0):
        return f"belongs to another user (uid {info.st_uid})"
    if not info.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        return None
    if info.st_uid == 0 and info.st_mode & stat.S_ISVTX:
        return None  # /tmp and the like
    return "is open to other users (others can write to it)"


def path_problem(directory: str, stop_at_home: bool, leaf: bool = True) -> Optional[str]:
    """Why `directory` is not a path that no other user can change, as
    "<path> is ..." (or None): every folder on it, links resolved, up to the
    user's home (`stop_at_home`) or up to ``/`` must be owned by the user or
    root and writable by nobody else (a sticky root-owned one aside), and
    `directory` itself a private folder of the user's (`leaf`; otherwise it
    is held to the rule of the folders above it)."""
    return _checked(directory, stop_at_home, leaf)[1]


def trusted_path(directory: str, stop_at_home: bool) -> Optional[str]:
    """`directory` without symbolic links when path_problem finds none, else None.
    A path like that stays what it is until the user changes it, so a
    process that opens it later opens what was checked here."""
    real, problem = _checked(directory, stop_at_home, leaf=True)
    return real if problem is None else None


def _checked(directory: str, stop_at_home: bool, leaf: bool) -> Tuple[Optional[str], Optional[str]]:
    uid = os.geteuid()
    try:
        real = os.path.realpath(directory, strict=True)
    except (OSError, RuntimeError) as e:
        return None, f"{directory} can't be followed ({getattr(e, 'strerror', None) or e})"
    problem = folder_problem(real, writable=False) if leaf else None
    if problem is not None:
        return real, f"{real} {problem}"
    home = home_directory() if stop_at_home else None
    real_home = os.path.realpath(home) if home is not None else None
    current = real
    while True:
        try:
            problem = _component_problem(os.lstat(current), uid)
        except OSError as e:
            problem = f"can't be looked at ({e.strerror})"
        if problem is not None:
            return real, f"{current} {problem}"
        parent = os.path.dirname(current)
        if current == real_home or parent == current:
            return real, None
        current = parent
