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
from typing import Optional

__all__ = ["home_directory", "mur_directory", "mur_entry", "jar_cache_directory", "trusted_path",
           "make_private_directory"]

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


def _trusted_component(info: os.stat_result, uid: int) -> bool:
    if not stat.S_ISDIR(info.st_mode) or info.st_uid not in (uid, 0):
        return False
    if not info.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        return True
    return info.st_uid == 0 and bool(info.st_mode & stat.S_ISVTX)  # /tmp and the like


def trusted_path(directory: str, stop_at_home: bool) -> Optional[str]:
    """`directory` without symbolic links when it and every parent up to the
    user's home (`stop_at_home`) or up to ``/`` are directories owned by the
    user or root that nobody else can write (a sticky root-owned one aside),
    and `directory` itself is the user's; else None.
    A path like that stays what it is until the user changes it, so a
    process that opens it later opens what was checked here."""
    uid = os.geteuid()
    try:
        real = os.path.realpath(directory, strict=True)
        leaf = os.lstat(real)
    except (OSError, RuntimeError):
        return None
    if not stat.S_ISDIR(leaf.st_mode) or leaf.st_uid != uid or leaf.st_mode & 0o022:
        return None
    home = home_directory() if stop_at_home else None
    real_home = os.path.realpath(home) if home is not None else None
    current = real
    while True:
        try:
            info = os.lstat(current)
        except OSError:
            return None
        if not _trusted_component(info, uid):
            return None
        parent = os.path.dirname(current)
        if current == real_home or parent == current:
            return real
        current = parent
