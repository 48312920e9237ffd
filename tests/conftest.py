import os
from pathlib import Path
from types import SimpleNamespace
from typing import Callable, Optional

import pytest

# No class-data-sharing archive builders in the background of the suite: each
# would start a Spark driver of its own. The tests of that feature turn it on
# for the processes they start.
os.environ["MUR_SPARK_CDS"] = "0"


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
