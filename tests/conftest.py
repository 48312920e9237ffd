import os
import shutil
import sys
import tempfile
from pathlib import Path
from types import SimpleNamespace
from typing import Callable, Optional

import pytest

# No class-data-sharing archive builders in the background of the suite: each
# would start a Spark driver of its own. The tests of that feature turn it on
# for the processes they start.
os.environ["MUR_SPARK_CDS"] = "0"
# Nor spare driver JVMs (each a JVM waiting for minutes); their tests turn
# them on for the processes they start.
os.environ["MUR_SPARK_SPARE"] = "0"

# The suite's own temporary directory, inherited by every process it starts
# (Spark's scratch space too, which would otherwise go to the JVM's /tmp). At
# the end it must hold nothing but pytest's own folder (removed by pytest, see
# tmp_path_retention_policy), and is removed with whatever it holds, so that a
# run leaves the machine's temporary directory as it found it.
SUITE_TMP = tempfile.mkdtemp(prefix="ruk-tests-")
os.environ["TMPDIR"] = os.environ["SPARK_LOCAL_DIRS"] = SUITE_TMP
tempfile.tempdir = SUITE_TMP  # gettempdir() caches its first answer
# The archive builders' lock of the suite's own: the suite neither waits for
# nor blocks the user's own builder (which holds /tmp/mur-cds-<uid>).
os.environ["MUR_CDS_LOCK_DIR"] = os.path.join(SUITE_TMP, "mur-cds-lock")
# Written by every session start into the temporary directory, by design;
# the lock's directory.
_EXPECTED_IN_TMP = {"mur_log4j2.properties", "mur-cds-lock"}


def _leftovers(root: str) -> list:
    """What the suite left below `root` outside pytest's folder, with sizes."""
    found = []
    for entry in sorted(os.scandir(root), key=lambda e: e.name):
        if entry.name.startswith("pytest-of-") or entry.name in _EXPECTED_IN_TMP:
            continue
        size = entry.stat(follow_symlinks=False).st_size
        if entry.is_dir(follow_symlinks=False):
            size = sum(f.stat(follow_symlinks=False).st_size for f in Path(entry.path).rglob("*"))
        found.append(f"{entry.name} ({size // 1024} KiB)")
    return found


def _end_the_jvm_of_this_process() -> None:
    """Spark removes its scratch folder when its JVM exits, which for the JVM
    of this process would be after the check: end it first, as the
    interpreter's exit would."""
    if "pyspark" not in sys.modules:
        return
    from pyspark import SparkContext

    gateway = SparkContext._gateway
    if SparkContext._active_spark_context is not None:
        SparkContext._active_spark_context.stop()
    process = getattr(gateway, "proc", None)
    if process is not None and process.poll() is None:
        process.stdin.close()  # the JVM exits at the end of its input
        process.wait(timeout=120)


@pytest.hookimpl(wrapper=True)
def pytest_sessionfinish(session):
    result = yield  # after every fixture's teardown
    if not os.path.isdir(SUITE_TMP):
        return result
    _end_the_jvm_of_this_process()
    leftovers = _leftovers(SUITE_TMP)
    shutil.rmtree(SUITE_TMP, ignore_errors=True)
    if leftovers:
        reporter = session.config.pluginmanager.get_plugin("terminalreporter")
        text = f"the suite left in its temporary directory {SUITE_TMP}: {', '.join(leftovers)}"
        if reporter is not None:
            reporter.write_line(f"\nERROR: {text}", red=True)
        if session.exitstatus == 0:
            session.exitstatus = pytest.ExitCode.TESTS_FAILED
    return result


# --- the extension's module on the stand-ins of fake_spark --------------------------


@pytest.fixture
def fake_module(tmp_path, monkeypatch):
    """The extension's module on a fresh stand-in PySpark (`.Spark`) and an
    empty session cache (`.cache`), with the files of isolate_files, a JAVA_HOME
    of its own, and PATH and the resource tracker put back afterwards.
    `.strategy(config, app_name)` makes a strategy; the session lock must be
    free at the end."""
    from multiprocessing import resource_tracker

    import ruk.compute.strategies.local as local
    from fake_spark import FakeSparkSession, isolate_files

    ns = isolate_files(tmp_path, monkeypatch)
    monkeypatch.setenv("JAVA_HOME", "/previous/jdk")
    monkeypatch.setenv("PATH", os.environ["PATH"])  # a Java check changes it
    monkeypatch.setattr(resource_tracker, "_resource_tracker", resource_tracker._resource_tracker)
    monkeypatch.setattr(resource_tracker, "_fd", getattr(resource_tracker, "_fd", None), raising=False)
    ns.Spark, ns.cache = FakeSparkSession.fresh(), {}
    monkeypatch.setattr(local, "SparkSession", ns.Spark)
    monkeypatch.setattr(local, "PYSPARK_AVAILABLE", True)
    monkeypatch.setattr(local, "_SPARK_SESSION_CACHE", ns.cache)
    ns.strategy = lambda config=None, app_name="app": local.LocalStrategy({} if config is None else config, app_name)
    lock = local._SPARK_SESSION_LOCK  # the module's own, whatever a test puts in its place
    yield ns
    assert lock.acquire(blocking=False), "the session lock was left held"
    lock.release()


# --- Java discovery fixtures (java_compat and the mur command line) ----------------


def _write_fake_java_home(
    home: Path,
    version: Optional[str] = "17.0.15",
    *,
    release: bool = True,
    printed_version: Optional[str] = None,
    executable: bool = True,
) -> Path:
    """A directory that looks like a Java home: `release` and a `bin/java` script.

    `release=False` leaves the file out, so the version has to come from what
    the script prints (`printed_version`, else `version`), as a JVM prints it on
    standard error.
    """
    bin_dir = home / "bin"
    bin_dir.mkdir(parents=True)
    if release:
        (home / "release").write_text(f'IMPLEMENTOR="Fake"\nJAVA_VERSION="{version}"\n')
    shown = printed_version if printed_version is not None else version
    java = bin_dir / "java"
    java.write_text(
        "#!/bin/sh\n"
        f"echo 'openjdk version \"{shown}\" 2025-04-15' >&2\n"
        "echo 'OpenJDK Runtime Environment (build fake)' >&2\n"
    )
    mode = 0o755 if executable else 0o644
    java.chmod(mode)
    return home


@pytest.fixture
def make_fake_java_home() -> Callable[..., Path]:
    return _write_fake_java_home


@pytest.fixture
def isolated_java_env(tmp_path, monkeypatch):
    """java_compat looking only at fake places: no JAVA_HOME, an empty PATH
    directory, a fresh HOME and one scan root, with its caches cleared."""
    from ruk.compute import java_compat

    ns = SimpleNamespace(
        jvm_root=tmp_path / "jvm",
        path_dir=tmp_path / "pathbin",
        home=tmp_path / "home",
    )
    for d in (ns.jvm_root, ns.path_dir, ns.home):
        d.mkdir()
    monkeypatch.delenv("JAVA_HOME", raising=False)
    monkeypatch.setenv("PATH", str(ns.path_dir))
    monkeypatch.setenv("HOME", str(ns.home))
    monkeypatch.setattr(java_compat, "JVM_ROOTS", ((str(ns.jvm_root), "", "/usr/lib/jvm"),))
    java_compat.clear_cache()
    yield ns
    java_compat.clear_cache()


# --- end of Java discovery fixtures --------------------------------------------------
