"""The launch key: what makes two driver JVM launches the same one.

A spare's JVM may serve a start only when that start would have launched the
very same JVM: the same spark-submit settings in the same order, the same
environment (Python workers inherit it, UDFs read it), working directory
(Spark's `user.dir`), umask, user, and the same files behind them (the Java,
PySpark's JARs, the project's JARs, the archive, the logging file). The key
is a digest of all of that; the files are also kept as paths, so that a
waiting spare can tell when one of them changes and end itself.
"""

from __future__ import annotations

import hashlib
import json
import os
import re
import shlex
import sys
from typing import Any, Dict, List, Optional, Sequence, Tuple

from ruk.compute.jar_provisioning import jar_folder
from ruk.compute.start.jvm_settings import setting_text
from ruk.compute.start.pyspark_internals import MISSING, internal

__all__ = ["launch_inputs", "key_of", "fingerprints", "conf_pairs"]

# Raised whenever what a spare hands over, or how it launches, changes.
PROTOCOL = 1

_CLASS_PATHS = ("spark.jars", "spark.driver.extraClassPath", "spark.executor.extraClassPath")
_JAVA_OPTIONS = ("spark.driver.defaultJavaOptions", "spark.driver.extraJavaOptions")
# Options whose value is a file the JVM reads at its start.
_OPTION_FILES = (("-XX:SharedArchiveFile=", "file"), ("-XX:AOTCache=", "file"),
                 ("-Dlog4j2.configurationFile=file:", "content"))
_CONTENT_LIMIT = 1 << 16
_NO_SPARK_HOME = "starts no spare driver JVM"


def conf_pairs(app_name: Any, master: Any, settings: Sequence[Tuple[Any, Any]]) -> List[List[Any]]:
    """The settings a launch hands spark-submit, in order, as text."""
    pairs = [["spark.app.name", setting_text(app_name)], ["spark.master", setting_text(master)]]
    return pairs + [[key, setting_text(value)] for key, value in settings]


def _umask() -> Optional[int]:
    # Read, not set and put back: another thread may be creating a file.
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    return None


def _spark_home() -> Optional[str]:
    import pyspark.find_spark_home as module

    find = internal(module, "_find_spark_home", _NO_SPARK_HOME)
    return None if find is MISSING else os.path.realpath(find())


def _option_files(text: str) -> List[List[str]]:
    try:
        options = shlex.split(text)  # close enough to Spark's own splitting for paths
    except ValueError:
        return []
    found = []
    for option in options:
        for prefix, kind in _OPTION_FILES:
            if option.startswith(prefix):
                found.append([option[len(prefix):], kind])
    return found


def _key_files(pairs: Sequence[Sequence[Any]], environ: Dict[str, str], directory: str,
               spark_home: str) -> List[List[str]]:
    """The files a launch reads, each with what of it counts."""
    files = [[directory, "directory"], [jar_folder(directory), "listing"],
             [os.path.join(spark_home, "jars"), "listing"],
             [environ.get("SPARK_CONF_DIR") or os.path.join(spark_home, "conf"), "listing"]]
    java_home = environ.get("JAVA_HOME")
    if java_home:
        files += [[os.path.join(java_home, "lib", "modules"), "file"],
                  [os.path.join(java_home, "lib", "server", "libjvm.so"), "file"]]
    for key, value in pairs:
        if not isinstance(value, str):
            continue
        if key in _CLASS_PATHS:
            files += [[entry, "file"] for entry in re.split("[,:]", value) if entry]
        elif key in _JAVA_OPTIONS:
            files += _option_files(value)
    return files


def _fingerprint(path: str, kind: str) -> Any:
    """What of `path` counts for its `kind`: a directory's identity, a
    listing's change time too, a file's size and change time, a small
    file's content (the logging file is rewritten at every start). None
    when it is missing."""
    try:
        info = os.stat(path)
        if kind == "directory":
            return [info.st_dev, info.st_ino]
        if kind == "content":
            with open(path, "rb") as f:
                return hashlib.sha256(f.read(_CONTENT_LIMIT)).hexdigest()
        if kind == "listing":
            return [info.st_dev, info.st_ino, info.st_mtime_ns]
        return [info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns]
    except OSError:
        return None


def fingerprints(files: Sequence[Sequence[str]]) -> List[Any]:
    return [_fingerprint(path, kind) for path, kind in files]


def launch_inputs(app_name: Any, master: Any, settings: Sequence[Tuple[Any, Any]]) -> Optional[Dict[str, Any]]:
    """Everything the launch of a driver JVM with these settings, from this
    process now, depends on; None when it can't be told (no umask to read,
    no Spark home)."""
    umask = _umask()
    spark_home = _spark_home()
    if umask is None or spark_home is None:
        return None
    pairs = conf_pairs(app_name, master, settings)
    environ = dict(os.environ)
    directory = os.getcwd()
    files = _key_files(pairs, environ, directory, spark_home)
    return {
        "protocol": PROTOCOL,
        "conf": pairs,
        "environment": environ,
        "directory": directory,
        "umask": umask,
        "user": [os.getuid(), os.geteuid(), os.getgid(), os.getegid(), sorted(os.getgroups())],
        "python": [sys.executable, getattr(sys.modules.get("pyspark"), "__version__", None)],
        "spark_home": spark_home,
        "files": files,
        "fingerprints": fingerprints(files),
    }


def key_of(inputs: Dict[str, Any]) -> str:
    text = json.dumps(inputs, sort_keys=True)
    return hashlib.sha256(text.encode("utf-8", "surrogateescape")).hexdigest()[:32]
