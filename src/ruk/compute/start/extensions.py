"""Session extensions found on the driver's class path.

Spark asks every JAR on the class path for session extensions at each new
session. PySpark's own JARs hold one: Spark ML's SQL functions (vector_to_array,
array_to_vector and the summary aggregate), whose registration starts Scala's
runtime reflection, about a second of a cold start on 2 cores, paid by every
session whether it uses ML or not. The local strategy turns that search off
when no other JAR it adds could bring an extension, and registers Spark ML's
functions itself where ML is used: at the start when `pyspark.ml` is imported
already, else at its first import (the strategy's audit hook sees the import
event, before any finder or loader runs, and changes nothing of the user's),
and at the latest when the next session is handed out. The registration is
Spark ML's own and happens once per JVM, and only from the process that owns
the JVM's connection: a forked child shares the parent's socket.
"""

from __future__ import annotations

import os
import sys
import threading
import warnings
import zipfile
from typing import Any, Optional, Sequence, Tuple

from ruk.compute.start.jvm_settings import gateway_readable, running_gateway
from ruk.compute.start.pyspark_internals import pyspark_major, report_missing

__all__ = ["SEARCH_SETTING", "search_may_be_off", "class_path_search", "after_start", "on_ml_import", "on_reuse",
           "register_ml_functions"]

# A JAR hands Spark session extensions to new sessions through this file.
PROVIDER_SERVICE = "META-INF/services/org.apache.spark.sql.SparkSessionExtensionsProvider"
ML_PROVIDER = "org.apache.spark.sql.ml.InternalFunctionRegistration"
ML_PACKAGE = "pyspark.ml"

# Spark's test-only setting that switches the search off, taken from Spark
# 4.0 on (the release that moved Spark ML's functions into an extension).
SEARCH_SETTING = "spark.sql.extensions.test.loadFromCp"

# Settings and environment that can put JARs this module never sees on the
# driver's class path.
_OTHER_CLASS_PATH_SETTINGS = ("spark.jars", "spark.jars.packages", "spark.driver.extraClassPath")
_OTHER_CLASS_PATH_ENVIRONMENT = ("PYSPARK_SUBMIT_ARGS", "SPARK_CLASSPATH", "SPARK_DIST_CLASSPATH", "SPARK_CONF_DIR")


def search_may_be_off() -> bool:
    """Whether the imported PySpark lets a start switch Spark's class-path
    search off: its Spark takes SEARCH_SETTING, and Spark ML's functions can
    then be registered from here. Says once, in a RuntimeWarning, when its
    version is unknown."""
    if sys.modules.get("pyspark") is None:
        return False  # no PySpark loaded to ask (a stand-in session): Spark's default
    major = pyspark_major()
    if major is None:
        report_missing(SEARCH_SETTING, "leaves Spark's extension search on")
        return False
    # Spark 3 has neither the setting nor an extension of its own to skip.
    return major >= 4 and gateway_readable()


def class_path_search(jar_paths: Sequence[str], config: Any) -> str:
    """The value of Spark's class-path extension search for a start: "false"
    when the only JARs added to PySpark's are `jar_paths` and none of them
    provides an extension, else "true" (Spark's default). Extensions named in
    "spark.sql.extensions" load either way."""
    if any(key in config for key in _OTHER_CLASS_PATH_SETTINGS):
        return "true"
    if any(os.environ.get(name) for name in _OTHER_CLASS_PATH_ENVIRONMENT):
        return "true"
    for path in jar_paths:
        try:
            with zipfile.ZipFile(path) as jar:
                jar.getinfo(PROVIDER_SERVICE)
            return "true"
        except KeyError:
            continue  # no extension in this JAR
        except (OSError, zipfile.BadZipFile, ValueError):
            return "true"  # can't tell: leave the search on
    return "false"


# A process has one PySpark JVM at a time. All under _lock:
_lock = threading.RLock()
_owner: Optional[Tuple[Any, int]] = None  # the last gateway seen, and the pid it belongs to
_latest: Any = None  # the gateway of the latest start
_registered: Any = None  # the gateway whose JVM has Spark ML's functions
_warned = False
# Whether the latest start's JVM has them: the whole check of a warm request.
_done = False


def _owned_here(gateway: Any) -> bool:
    """Whether `gateway` is this process's own connection. One seen for the
    first time is; the one a fork inherits is marked as the parent's."""
    global _owner
    pid = os.getpid()
    if _owner is None or _owner[0] is not gateway:
        _owner = (gateway, pid)
    return _owner[1] == pid


def _after_fork_in_child() -> None:
    global _lock, _owner
    _lock = threading.RLock()  # another thread of the parent may have held it
    gateway = running_gateway()
    if gateway is not None and (_owner is None or _owner[0] is not gateway):
        _owner = (gateway, os.getppid())


os.register_at_fork(after_in_child=_after_fork_in_child)


def register_ml_functions() -> None:
    """Registers Spark ML's SQL functions in the running JVM, if there is one
    and this process owns the connection to it; once per JVM. A failure gives
    one RuntimeWarning per process; it never raises."""
    global _registered, _done
    gateway = running_gateway()
    if gateway is None:
        return  # the next start registers them
    with _lock:
        if not _owned_here(gateway):
            return  # a forked child: the parent's JVM calls would get our answers
        if _registered is gateway:
            return
        try:
            jvm = gateway.jvm
            provider = getattr(jvm, ML_PROVIDER)
            if callable(provider):  # else a Spark without ML: nothing to register
                provider().apply(jvm.org.apache.spark.sql.SparkSessionExtensions())
        except Exception as error:
            failure = error
        else:
            _registered = gateway
            _done = _latest is gateway
            return
    _warn(failure)


def _warn(error: Exception) -> None:
    global _warned
    with _lock:
        if _warned:
            return
        _warned = True
    try:
        warnings.warn(f"Spark ML's SQL functions (vector_to_array, array_to_vector) could not be registered: "
                      f"{error}", RuntimeWarning, stacklevel=3)
    except Exception:
        pass  # warnings as errors: an import or a session request must not fail for it


def after_start() -> bool:
    """After a session start: Spark ML's functions now when `pyspark.ml` is
    imported. True when they are still missing and it is not: the caller
    then watches for its first import, which calls `on_ml_import`."""
    global _latest, _done
    gateway = running_gateway()
    if gateway is None:
        return False
    with _lock:
        if not _owned_here(gateway):
            return False  # a forked child's start on the parent's JVM
        _latest = gateway
        _done = _registered is gateway
        if _done:
            return False
    if ML_PACKAGE in sys.modules:
        register_ml_functions()
        return False
    return True


def on_ml_import() -> None:
    """At the first import of `pyspark.ml` or a submodule after a start that
    left Spark ML's functions out (before the module is looked for): they are
    registered, unless something else did it meanwhile."""
    if not _done:
        register_ml_functions()


def on_reuse() -> None:
    """Before a cached session is handed out, when `pyspark.ml` is imported:
    Spark ML's functions, if no import or start has registered them yet."""
    if not _done and ML_PACKAGE in sys.modules:
        register_ml_functions()
