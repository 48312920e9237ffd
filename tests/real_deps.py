"""What tests against real PySpark and Java need, and how their absence shows:
a skip on a developer's machine, a failure in CI (CI=true), so a missing
install step can't pass unnoticed."""

import glob
import os
import shutil

import pytest


def missing_pyspark_and_java():
    """Names of what is missing of PySpark and a Java installation."""
    missing = []
    try:
        import pyspark  # noqa: F401
    except ImportError:
        missing.append("PySpark")
    if not (shutil.which("java") or glob.glob("/usr/lib/jvm/*/bin/java")):
        missing.append("Java")
    return missing


def require(missing):
    """Skip, or fail under CI, when anything is missing."""
    if not missing:
        return
    message = " and ".join(missing) + " not installed"
    if os.environ.get("CI") == "true":
        pytest.fail(message + ": CI must install it")
    pytest.skip(message)
