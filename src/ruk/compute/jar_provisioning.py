"""The project's JDBC driver JARs: which files a session uses, and the Spark
settings that put them on the class path. The local strategy and `mur jdbc`
both go through this module, so they always agree."""

from __future__ import annotations

import os
import stat
import warnings
from typing import Dict, List, NamedTuple, Optional, Sequence, Set, Tuple

from ruk.compute.host.home import JAR_DIR_NAME, MUR_NAME

__all__ = [
    "JarListing",
    "LocalJARProvisioning",
    "find_project_jars",
    "jar_folder",
    "project_mur_folder",
    "jar_spark_settings",
    "list_project_jars",
]

# "spark.jars" is split on ",", the class paths on ":": a path holding either
# would reach Spark as wrong entries.
LIST_SEPARATORS = (",", ":")


class JarListing(NamedTuple):
    """What the JAR folder holds: the JARs a session uses (sorted absolute
    paths when the project path is absolute), and the `*.jar` entries it
    skips, as (path, reason) pairs."""

    jars: List[str]
    skipped: List[Tuple[str, str]]


def project_mur_folder(project_dir: str) -> str:
    """The project's own .mur folder."""
    return os.path.join(project_dir, MUR_NAME)


def jar_folder(project_dir: str) -> str:
    """Where a project keeps its JDBC driver JARs."""
    return os.path.join(project_mur_folder(project_dir), JAR_DIR_NAME)


def _kind_of(mode: int) -> str:
    if stat.S_ISDIR(mode):
        return "a directory"
    if stat.S_ISFIFO(mode):
        return "a FIFO"
    if stat.S_ISSOCK(mode):
        return "a socket"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "a device"
    return "not a regular file"


def _skip_reason(folder: str, name: str, path: str) -> Optional[str]:
    """Why `path` can't go to Spark, or None when it can."""
    for separator in LIST_SEPARATORS:
        if separator in name:
            return f"its name contains {separator!r}"
        if separator in folder:
            return f"the folder's path contains {separator!r}"
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return "its name is not valid UTF-8"
    try:
        # stat follows links and never opens the file: a FIFO can't block here.
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return "a dangling symbolic link" if os.path.islink(path) else "it vanished while listed"
    except OSError as e:
        return f"it can't be read ({e.strerror or e})"
    return None if stat.S_ISREG(mode) else _kind_of(mode)


def list_project_jars(project_dir: str) -> JarListing:
    """The project's JAR folder, sorted by name: the regular files (after
    following links) named `*.jar` that Spark can take, and every other
    `*.jar` entry with the reason it is skipped.

    Hidden names and other suffixes (".JAR" included) are not looked at; a
    missing folder lists nothing, an unreadable one is itself skipped.
    """
    folder = jar_folder(project_dir)
    try:
        names = os.listdir(folder)
    except (FileNotFoundError, NotADirectoryError):
        return JarListing([], [])
    except OSError as e:
        return JarListing([], [(folder, f"the folder can't be read ({e.strerror or e})")])
    jars: List[str] = []
    skipped: List[Tuple[str, str]] = []
    for name in sorted(names):
        if name.startswith(".") or not name.endswith(".jar"):
            continue
        path = os.path.join(folder, name)
        reason = _skip_reason(folder, name, path)
        if reason is None:
            jars.append(path)
        else:
            skipped.append((path, reason))
    return JarListing(jars, skipped)


def find_project_jars(project_dir: str) -> List[str]:
    """The JARs a session of the project uses, sorted; [] when there are none.

    Skipped entries are named in one RuntimeWarning.
    """
    listing = list_project_jars(project_dir)
    if listing.skipped:
        named = "; ".join(f"{os.path.basename(path)} ({reason})" for path, reason in listing.skipped)
        warnings.warn(
            f"JDBC JARs skipped in {jar_folder(project_dir)}: {named}. "
            "Only regular files whose names hold no ',' or ':' are used.",
            RuntimeWarning,
            stacklevel=2,
        )
    return listing.jars


def jar_spark_settings(jar_paths: Sequence[str]) -> Dict[str, str]:
    """"spark.jars" and the driver and executor class paths for `jar_paths`,
    each "" when there are none."""
    return {
        "spark.jars": ",".join(jar_paths) if jar_paths else "",
        "spark.driver.extraClassPath": ":".join(jar_paths) if jar_paths else "",
        "spark.executor.extraClassPath": ":".join(jar_paths) if jar_paths else "",
    }


class LocalJARProvisioning:
    """JDBC JAR provisioning for Spark running on this machine: the project's own JARs."""

    def __init__(self, project_dir: str) -> None:
        self.project_dir = project_dir

    def get_spark_config(self, adapter_types: Optional[Set[str]] = None) -> Dict[str, str]:
        """Spark settings for the project's JARs, {} when it has none.

        `adapter_types` is accepted for the provisioning interface and not
        used: every JAR the project holds goes on the class path.
        """
        jars = find_project_jars(self.project_dir)
        return jar_spark_settings(jars) if jars else {}
