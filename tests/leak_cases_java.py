"""Leak-check cases of the Java check and export, and of the resource
tracker's two attributes (module functions of the extension)."""

import multiprocessing.resource_tracker
import os
import sys
import types

from fake_spark import pyspark_info
from hostile import Boom, build_hostile
from leak_harness import H, JAVA, JAVA_COMPAT_NAME, case, check, raises


class Refusing:
    """multiprocessing.resource_tracker stand-in whose attributes cannot be set."""

    def __init__(self, error):
        object.__setattr__(self, "error", error)

    def __setattr__(self, name, value):
        raise self.error




@case("_disable_multiprocessing_resource_tracker", "success", weight=4)
def _():
    check(H.local._disable_multiprocessing_resource_tracker() is None, "result")


@case("_disable_multiprocessing_resource_tracker", "tracker refuses: Exception dropped", weight=4)
def _():
    real = multiprocessing.resource_tracker
    multiprocessing.resource_tracker = Refusing(Boom("read-only"))
    try:
        check(H.local._disable_multiprocessing_resource_tracker() is None, "result")
    finally:
        multiprocessing.resource_tracker = real


@case("_disable_multiprocessing_resource_tracker", "tracker refuses: KeyboardInterrupt passes", weight=4)
def _():
    real = multiprocessing.resource_tracker
    multiprocessing.resource_tracker = Refusing(KeyboardInterrupt())
    try:
        raises(KeyboardInterrupt, H.local._disable_multiprocessing_resource_tracker)
    finally:
        multiprocessing.resource_tracker = real


@case("_disable_multiprocessing_resource_tracker", "bad arguments", weight=4)
def _():
    raises(TypeError, H.local._disable_multiprocessing_resource_tracker, 1, match="takes 0 positional")
    raises(TypeError, H.local._disable_multiprocessing_resource_tracker, x=1, match="unexpected keyword")


@case("_ensure_java_available", "success: JAVA_HOME set, PATH prefixed", weight=4)
def _():
    os.environ["PATH"] = H.base_path
    check(H.local._ensure_java_available() is None, "result")
    check(os.environ["JAVA_HOME"] == H.java_home, "JAVA_HOME")
    check(os.environ["PATH"].startswith(os.path.join(H.java_home, "bin") + os.pathsep), "PATH")


@case("_ensure_java_available", "success: PATH unset, the bin directory alone", weight=4)
def _():
    del os.environ["PATH"]
    try:
        check(H.local._ensure_java_available() is None, "result")
        check(os.environ["PATH"] == os.path.join(H.java_home, "bin"), "PATH")
    finally:
        os.environ["PATH"] = H.base_path


@case("_ensure_java_available", "success: PATH already in front", weight=4)
def _():
    check(H.local._ensure_java_available() is None, "result")
    check(os.environ["PATH"].count(os.path.join(H.java_home, "bin")) == 1, "PATH grew")


@case("_ensure_java_available", "RukRuntimeError: PySpark missing", weight=4)
def _():
    JAVA.info = None
    raises(H.RukRuntimeError, H.local._ensure_java_available, match="PySpark is not installed")


@case("_ensure_java_available", "RukRuntimeError: no compatible Java", weight=4)
def _():
    JAVA.best = None
    raises(H.RukRuntimeError, H.local._ensure_java_available,
           match="No compatible Java found for PySpark 4.3.0.\nPySpark 4.3 requires Java 17, 21, 25.")


@case("_ensure_java_available", "discovery raises", weight=4)
def _():
    JAVA.info = Boom("discovery failed")
    raises(Boom, H.local._ensure_java_available, match="discovery failed")


@case("_ensure_java_available", "truth of the PySpark info raises", weight=4)
def _():
    JAVA.info = build_hostile("object", ("__bool__",), None)
    raises(Boom, H.local._ensure_java_available)


@case("_ensure_java_available", "supported versions not iterable", weight=4)
def _():
    JAVA.info = info = pyspark_info()
    info.java_supported = build_hostile("object", ("__iter__",), None)
    JAVA.best = None
    raises(Boom, H.local._ensure_java_available, match="hostile")


@case("_ensure_java_available", "java_compat lacks a name: ImportError", weight=4)
def _():
    real = sys.modules[JAVA_COMPAT_NAME]
    broken = types.ModuleType(JAVA_COMPAT_NAME)
    broken.get_pyspark_info = real.get_pyspark_info
    sys.modules[JAVA_COMPAT_NAME] = broken
    try:
        raises(ImportError, H.local._ensure_java_available, match="find_all_java_installations")
    finally:
        sys.modules[JAVA_COMPAT_NAME] = real


@case("_ensure_java_available", "error class not callable / missing", weight=4)
def _():
    JAVA.info = None
    H.local.RukRuntimeError = 42
    try:
        raises(TypeError, H.local._ensure_java_available, match="not callable")
    finally:
        H.local.RukRuntimeError = H.RukRuntimeError
    del H.local.RukRuntimeError
    try:
        raises(NameError, H.local._ensure_java_available, match="RukRuntimeError")
    finally:
        H.local.RukRuntimeError = H.RukRuntimeError


@case("_ensure_java_available", "error class gives a non-exception", weight=4)
def _():
    JAVA.best = None
    H.local.RukRuntimeError = str
    try:
        raises(TypeError, H.local._ensure_java_available, match="must derive from BaseException")
    finally:
        H.local.RukRuntimeError = H.RukRuntimeError
