"""Session extensions found on the driver's class path.

Spark asks every JAR on the class path for session extensions at each new
session. PySpark's own JARs hold one: Spark ML's SQL functions (vector_to_array,
array_to_vector and the summary aggregate), whose registration starts Scala's
runtime reflection, about a second of a cold start on 2 cores, paid by every
session whether it uses ML or not. The local strategy turns that search off
when no other JAR it adds could bring an extension, and registers Spark ML's
functions itself where ML is used: at the start when `pyspark.ml` is imported
already, else when it is first imported. The registration is Spark ML's own
and happens once per JVM; repeating it costs one round trip.
"""

from __future__ import annotations

import importlib.abc
import os
import sys
import threading
import warnings
import zipfile
from typing import Any, Sequence

from ruk.compute.jvm_settings import running_gateway

__all__ = ["class_path_search", "after_start", "register_ml_functions"]

# A JAR hands Spark session extensions to new sessions through this file.
PROVIDER_SERVICE = "META-INF/services/org.apache.spark.sql.SparkSessionExtensionsProvider"
ML_PROVIDER = "org.apache.spark.sql.ml.InternalFunctionRegistration"
ML_PACKAGE = "pyspark.ml"

# Settings and environment that can put JARs this module never sees on the
# driver's class path.
_OTHER_CLASS_PATH_SETTINGS = ("spark.jars", "spark.jars.packages", "spark.driver.extraClassPath")
_OTHER_CLASS_PATH_ENVIRONMENT = ("PYSPARK_SUBMIT_ARGS", "SPARK_CLASSPATH", "SPARK_DIST_CLASSPATH", "SPARK_CONF_DIR")


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


_lock = threading.Lock()
_warned = False


def register_ml_functions() -> None:
    """Registers Spark ML's SQL functions in the running JVM, if there is one.
    A failure gives one RuntimeWarning per process; it never raises."""
    global _warned
    gateway = running_gateway()
    if gateway is None:
        return  # the next start registers them
    try:
        jvm = gateway.jvm
        provider = getattr(jvm, ML_PROVIDER)
        if not callable(provider):
            return  # a Spark without ML
        provider().apply(jvm.org.apache.spark.sql.SparkSessionExtensions())
    except Exception as error:
        with _lock:
            if _warned:
                return
            _warned = True
        warnings.warn(f"Spark ML's SQL functions (vector_to_array, array_to_vector) could not be registered: "
                      f"{error}", RuntimeWarning, stacklevel=2)


def after_start() -> None:
    """After a session start: Spark ML's functions now when `pyspark.ml` is
    in use, else when it is first imported."""
    if ML_PACKAGE in sys.modules:
        register_ml_functions()
        return
    with _lock:
        if not any(isinstance(finder, _OnFirstImport) for finder in sys.meta_path):
            sys.meta_path.insert(0, _OnFirstImport())


class _OnFirstImport(importlib.abc.MetaPathFinder):
    """Finds `pyspark.ml` through the other finders and registers Spark ML's
    functions once the package has run; then steps aside for good."""

    def find_spec(self, fullname: str, path: Any, target: Any = None) -> Any:
        if fullname != ML_PACKAGE:
            return None
        self._remove()
        for finder in list(sys.meta_path):
            find = getattr(finder, "find_spec", None)
            spec = find(fullname, path, target) if find is not None else None
            if spec is not None:
                break
        else:
            return None
        if spec.loader is not None and hasattr(spec.loader, "exec_module"):
            spec.loader = _RegisterAfter(spec.loader)
        return spec

    def _remove(self) -> None:
        with _lock:
            try:
                sys.meta_path.remove(self)
            except ValueError:
                pass


class _RegisterAfter(importlib.abc.Loader):
    """Runs the package with its own loader, puts that loader back in its
    place, then registers."""

    def __init__(self, loader: Any) -> None:
        self.loader = loader

    def create_module(self, spec: Any) -> Any:
        return self.loader.create_module(spec)

    def exec_module(self, module: Any) -> None:
        spec = getattr(module, "__spec__", None)
        if spec is not None:
            spec.loader = self.loader
        module.__loader__ = self.loader
        self.loader.exec_module(module)
        register_ml_functions()
