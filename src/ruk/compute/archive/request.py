"""Which class-data-sharing archive a start's driver JVM maps, if any.

On Java 25 and later the archive is the JDK's ahead-of-time cache (classes
loaded and linked, resolved lambdas, method profiles of a training run); on
earlier Javas a dynamic archive. Both are made, checked and kept alike
(archive_files).

A JVM that maps an archive of the classes a Spark start loads skips most of
their loading and linking: a fresh process reaches its first query in about
half the time. An archive only fits one driver set-up (Java build, PySpark,
class path, sharing-related JVM options, the extension search), so each
set-up has a key; a start that finds a valid archive under its key adds the
options that map it. A start that finds none goes on unchanged and, once it
has really launched a driver JVM, hands the builder (archive_builder) the job
of making one for the next start.

``MUR_SPARK_CDS=0`` turns the feature off. Nothing here may fail or slow a
start: an unexpected error goes to the build log with its traceback and the
start goes on without an archive.
"""

from __future__ import annotations

import hashlib
import json
import os
import re
import stat
import sys
from typing import Any, Dict, List, Optional, Sequence

from ruk.compute.archive import files
from ruk.compute.jar_provisioning import jar_spark_settings
from ruk.compute.java_compat import parse_java_major
from ruk.compute.start.jvm_settings import DEFAULTS, memory_bytes, quote_java_option, running_gateway, split_java_options
from ruk.compute.start.pyspark_internals import MISSING, internal

__all__ = ["SWITCH_ENV", "start_request", "after_start", "request", "use_options", "dump_options"]

SWITCH_ENV = "MUR_SPARK_CDS"
NO_ARCHIVE = "uses no class-data-sharing archive"

# Settings that already manage sharing: left to the user, nothing added.
# ("AOTCache" also stands for AOTCacheOutput.) The JVM refuses to start with
# an ahead-of-time cache and any of the others together.
_SHARING_OWNED = ("SharedArchiveFile", "ArchiveClassesAtExit", "AutoCreateSharedArchive", "-Xshare",
                  "AOTCache", "AOTMode", "AOTConfiguration", "SharedClassListFile", "DumpLoadedClassList")

# Environment that shapes the driver JVM's command line or class path.
SETUP_ENV = ("_JAVA_OPTIONS", "JDK_JAVA_OPTIONS", "JAVA_TOOL_OPTIONS", "SPARK_HOME", "SPARK_CONF_DIR",
             "SPARK_DIST_CLASSPATH", "SPARK_CLASSPATH", "HADOOP_CONF_DIR", "YARN_CONF_DIR",
             "SPARK_SUBMIT_OPTS", "PYSPARK_SUBMIT_ARGS", "SPARK_PREPEND_CLASSES", "SPARK_DRIVER_MEMORY")

_MEMORY_KEY = "spark.driver.memory"
# Whether Spark searches the class path for session extensions: a session
# that loads one runs other classes than the archive's training run did.
_EXTENSION_SEARCH_KEY = "spark.sql.extensions.test.loadFromCp"


def use_options(kind: str, path: str) -> str:
    """The driver options that map the `kind` archive at `path`."""
    return quote_java_option(files.KINDS[kind]["use_flag"] + path) + " " + files.KINDS[kind]["silent"]


def dump_options(kind: str, path: str) -> str:
    """The driver options of a run that writes a `kind` archive to `path`."""
    return quote_java_option(files.KINDS[kind]["dump_flag"] + path) + " " + files.KINDS[kind]["silent"]


def start_request(java_options: str, jar_paths: Sequence[str], config: Dict[Any, Any]) -> Optional[Dict[str, Any]]:
    """request() for a start that launches its driver JVM, with "options":
    those that map the valid archive (with a leading blank, its use noted),
    else "". Best effort: None after an unexpected error, which is logged.

    `java_options` is the driver's JVM options for this start (ours, then the
    user's extraJavaOptions when ours go in defaultJavaOptions), `jar_paths`
    the project's JARs, `config` the settings the start hands the builder
    (the fast defaults the strategy's configuration lacks, then its entries).
    """
    try:
        asked = request(java_options, jar_paths, config)
        if asked is not None:
            asked["options"] = ""
            if asked["archive"] is not None:
                files.note_use(asked["directory"], asked["key"])
                asked["options"] = " " + use_options(asked["kind"], asked["archive"])
        return asked
    except Exception:
        files.log_error("the choice of a start's archive")
        return None


def request(java_options: str, jar_paths: Sequence[str], config: Dict[Any, Any]) -> Optional[Dict[str, Any]]:
    """What a start asks of the archive directory: its "directory" (the
    trusted one when it exists), the set-up's "key" and "kind", the valid
    "archive" (a path or None), the builder's "spec", and "unusable": why no
    archive can be used or built there (None when one can). None when the
    feature is off or this start must not use an archive at all."""
    if os.environ.get(SWITCH_ENV) == "0" or os.environ.get("PYSPARK_GATEWAY_PORT"):
        return None  # off, or PySpark attaches to a JVM started elsewhere
    setup = driver_setup(java_options, jar_paths, config)
    directory = files.archive_directory() if setup is not None else None
    if directory is None:
        return None
    kind = setup["kind"]
    key = setup_key(setup)
    real = files.trusted_directory(directory)
    found = {"directory": real or directory, "key": key, "kind": kind, "archive": None, "unusable": None}
    if real is not None:
        found["archive"] = files.valid_archive(real, key, kind)
    if found["archive"] is None:
        from ruk.compute.archive import spawn as archive_builder

        found["unusable"] = archive_builder.build_problem(directory, kind)
        found["spec"] = builder_spec(java_options, jar_paths, config, kind)
    why = files.unpassable(os.path.join(found["directory"], key + files.KINDS[kind]["suffix"]))
    if why is not None:
        found["unusable"] = f"the JVM can't be given the path {found['directory']!r}: {why}"
    return found


def after_start(spark: Any, plan: Any) -> None:
    """After a start that succeeded (`plan`, start.plan.StartPlan): the build
    its archive request asked for, when it really launched PySpark's driver
    JVM (not for a stand-in session)."""
    asked = plan.archive
    if asked is None or asked["archive"] is not None:
        return
    try:
        gateway = running_gateway()
        if gateway is None:
            return
        context = getattr(spark, "sparkContext", None)
        if internal(context, "_gateway", NO_ARCHIVE) is not gateway:
            return
        if asked["unusable"] is not None:
            files.log(asked["directory"], f"no archive: {asked['unusable']}", create=True)
            return
        from ruk.compute.archive import spawn as archive_builder

        archive_builder.start_builder(asked["directory"], asked["key"], asked["spec"])
    except Exception:
        files.log_error("the start of an archive's build")


# ---------------------------------------------------------------------------
# The key: what an archive is valid for.
# ---------------------------------------------------------------------------


def _file_identity(path: str) -> List[Any]:
    try:
        info = os.stat(path)
    except OSError:
        return [path, None]
    return [path, info.st_size, info.st_mtime_ns, stat.S_ISDIR(info.st_mode)]


def _heap_needs_own_archive(memory: str) -> Any:
    """Beyond about 32 GB the JVM drops compressed object pointers, which an
    archive depends on; below, the heap size does not matter."""
    size = memory_bytes(memory)
    return memory if size is None else size >= 31 << 30


def _sharing_options(text: str) -> List[str]:
    # Logging options change nothing that sharing depends on. Split as Spark
    # splits them: a quoted option (a path with a blank) is one option.
    return [option for option in split_java_options(text) if not option.startswith(("-Xlog", "-D"))]


def cache_kind(release: Optional[str]) -> str:
    """The kind of archive for a Java home's `release` file: the ahead-of-time
    cache from Java 25 on, else the dynamic archive."""
    match = re.search(r'^JAVA_VERSION\s*=\s*"?([^"\s]+)', release or "", re.MULTILINE)
    major = parse_java_major(match.group(1)) if match else None
    return "aot" if major is not None and major >= files.KINDS["aot"]["min_java"] else "cds"


def _spark_home() -> Optional[str]:
    import pyspark.find_spark_home as module

    find = internal(module, "_find_spark_home", NO_ARCHIVE)
    return None if find is MISSING else os.path.realpath(find())


def driver_setup(java_options: str, jar_paths: Sequence[str], config: Dict[Any, Any]) -> Optional[Dict[str, Any]]:
    """Everything an archive's validity depends on, or None when this start
    must not use one (no Java home, or the user manages sharing)."""
    java_home = os.environ.get("JAVA_HOME")
    if not java_home:
        return None
    defaults = str(config.get("spark.driver.defaultJavaOptions", ""))
    environment = {name: os.environ.get(name) for name in SETUP_ENV}
    owned = [java_options, defaults] + [value for value in environment.values() if value]
    if any(marker in text for text in owned for marker in _SHARING_OWNED):
        return None
    spark_home = _spark_home()
    if spark_home is None:
        return None

    java_home = os.path.realpath(java_home)
    try:
        with open(os.path.join(java_home, "release"), "rb") as f:
            release = f.read(1 << 16).decode("utf-8", "replace")
    except OSError:
        release = None
    libjvm = os.path.join(java_home, "lib", "server", "libjvm.so")
    jars_dir = os.path.join(spark_home, "jars")
    # Names and the directory's own times: a file's stat each would cost a
    # millisecond or more per start; the JVM still checks every JAR it uses.
    spark_jars = [_file_identity(jars_dir), sorted(os.listdir(jars_dir))]
    class_path_key = "spark.driver.extraClassPath"
    class_path = str(config.get(class_path_key, jar_spark_settings(jar_paths)[class_path_key]))
    return {
        "kind": cache_kind(release),
        "java": [java_home, release, _file_identity(libjvm)],
        "pyspark": [getattr(sys.modules.get("pyspark"), "__version__", None), spark_home, spark_jars],
        "class_path": [_file_identity(entry) for entry in class_path.split(":") if entry],
        "options": _sharing_options(java_options) + _sharing_options(defaults),
        # A configuration without the key gets Spark's own default heap.
        "large_heap": _heap_needs_own_archive(str(config.get(_MEMORY_KEY, DEFAULTS[_MEMORY_KEY]))),
        "extension_search": str(config.get(_EXTENSION_SEARCH_KEY, "true")).strip().lower(),
        "environment": environment,
    }


def setup_key(setup: Dict[str, Any]) -> str:
    text = json.dumps(setup, sort_keys=True, default=str)
    return hashlib.sha256(text.encode("utf-8", "surrogateescape")).hexdigest()[:32]


def builder_spec(java_options: str, jar_paths: Sequence[str], config: Dict[Any, Any],
                 kind: str = "cds") -> Dict[str, Any]:
    """What the builder needs to start the same driver set-up."""
    settings = {str(k): (v if isinstance(v, (str, int, float, bool)) else str(v)) for k, v in config.items()}
    jar_settings = jar_spark_settings(jar_paths)
    for key in ("spark.driver.extraClassPath", "spark.jars") if jar_paths else ():  # never an empty class path
        settings.setdefault(key, jar_settings[key])
    settings["master"] = "local[1]"  # only the driver's classes matter, never a cluster
    defaults = settings.get("spark.driver.defaultJavaOptions")
    if isinstance(defaults, str):  # the builder's JVM writes no logs of the user's
        settings["spark.driver.defaultJavaOptions"] = " ".join(
            option for option in defaults.split() if not option.startswith("-Xlog"))
    return {"kind": kind, "java_options": java_options, "config": settings}
